// The service's queries as requests: method, endpoint, body members and the
// most records one answer holds.  The one table both the datafeed's queries
// and the engine's entry read.
#pragma once

#include "runtime/py.h"

namespace norvix {

enum class Query : int { day, minute, tick, dominant, contracts, ex_factor, multiplier, count_ };

// Where a body member's value comes from.
enum class Origin : unsigned char {
    symbol,  // the query's symbol
    first,   // its first (or only) date
    last,    // its last date
    limit,   // the request's `limit`
};

struct Member {
    Name key;
    Origin origin;
};

struct Request {
    const char* name;  // the name the engine's entry knows it by
    Const method;
    Const endpoint;
    Member members[4];
    int n;
    Const limit;  // Const::count_: no limit
};

const Request& request_of(Query q) noexcept;

// The body of the request, its members in the table's order.  For a GET the
// same dict is the query string.
Ref request_body(Context* ctx, Query q, PyObject* symbol, PyObject* first, PyObject* last) noexcept;

// The four request headers, in order: Content-Type, User-Agent, mobile, token.
Ref request_headers(Context* ctx, PyObject* username, PyObject* password) noexcept;

}  // namespace norvix
