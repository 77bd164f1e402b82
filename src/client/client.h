// The service client core shared by every query: the call of the request
// routine and the envelope check.
#pragma once

#include "client/queries.h"
#include "common/py.h"

namespace norvix {

namespace decode {
class Decoder;
}

// self._make_request(method=..., endpoint=..., json_data=..., timeout=10).
// With a decoder, the module's own _make_request (not one overridden on a
// subclass or the object) lets it read the body natively.
Ref send_request(Context* ctx, PyObject* self, Query query, PyObject* json_data,
                 decode::Decoder* decoder = nullptr) noexcept;

// The body of _make_request; args are self, method, endpoint, json_data and
// timeout.
Ref make_request(Context* ctx, PyObject* const* args, decode::Decoder* decoder) noexcept;

// What an answer's envelope says:
//
//     if not data: empty
//     elif (code := data.get("code")) != 0: refused
//     else: ok, records = data.get("data", [])
enum class Envelope : int { ok = 1, empty, refused };

// The Envelope as an int with `code` (refused) or `records` (ok) set, -1 with
// an exception set.
int read_envelope(Context* ctx, PyObject* data, Ref& code, Ref& records) noexcept;

// The envelope check every query applies to what _make_request returned:
//
//     if not data:
//         logger.info(f"{prefix}{symbol}"); return []
//     if data.get("code") != 0:
//         logger.info(f"{prefix}{symbol},{data.get('message')}"); return []
//     records = data.get("data", [])
//
// Returns 1 with `records` set, 0 after logging a failure (the query then
// returns a new empty list), -1 with an exception set.
int check_envelope(Context* ctx, PyObject* self, PyObject* data, const char* prefix,
                   PyObject* symbol, Ref& records) noexcept;

}  // namespace norvix
