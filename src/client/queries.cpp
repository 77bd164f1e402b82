#include "client/queries.h"

namespace norvix {
namespace {

// clang-format off
constexpr Request kRequests[] = {
    {"day", Const::post, Const::daybar,
     {{Name::instrument_id, Origin::symbol}, {Name::start_date, Origin::first},
      {Name::end_date, Origin::last}, {Name::limit, Origin::limit}}, 4, Const::day_limit},
    {"minute", Const::post, Const::minutebar,
     {{Name::instrument_id, Origin::symbol}, {Name::start_date, Origin::first},
      {Name::end_date, Origin::last}, {Name::limit, Origin::limit}}, 4, Const::minute_limit},
    {"tick", Const::post, Const::tickdata,
     {{Name::instrument_id, Origin::symbol}, {Name::trading_date, Origin::first}}, 2, Const::count_},
    {"dominant", Const::post, Const::dominant,
     {{Name::symbol, Origin::symbol}, {Name::start_date, Origin::first},
      {Name::end_date, Origin::last}}, 3, Const::count_},
    {"contracts", Const::post, Const::current,
     {{Name::symbol, Origin::symbol}, {Name::trading_date, Origin::first}}, 2, Const::count_},
    {"ex_factor", Const::post, Const::exfactor,
     {{Name::symbol, Origin::symbol}, {Name::start_date, Origin::first},
      {Name::end_date, Origin::last}}, 3, Const::count_},
    {"multiplier", Const::get, Const::multiplier,
     {{Name::symbol, Origin::symbol}}, 1, Const::count_},
};
// clang-format on
static_assert(sizeof(kRequests) / sizeof(kRequests[0]) == static_cast<int>(Query::count_));

}  // namespace

const Request& request_of(Query q) noexcept { return kRequests[static_cast<int>(q)]; }

Ref request_body(Context* ctx, Query q, PyObject* symbol, PyObject* first,
                 PyObject* last) noexcept {
    const Request& r = request_of(q);
    Ref body = Ref::steal(PyDict_New());
    if (!body) return {};
    for (int i = 0; i < r.n; ++i) {
        const Member& m = r.members[i];
        PyObject* value = m.origin == Origin::symbol  ? symbol
                          : m.origin == Origin::first ? first
                          : m.origin == Origin::last  ? last
                                                      : (*ctx)[r.limit];
        if (PyDict_SetItem(body.get(), (*ctx)[m.key], value ? value : Py_None) < 0) return {};
    }
    return body;
}

Ref request_headers(Context* ctx, PyObject* username, PyObject* password) noexcept {
    Ref headers = Ref::steal(PyDict_New());
    if (!headers) return {};
    const std::pair<Const, PyObject*> items[] = {
        {Const::content_type_header, (*ctx)[Const::content_type]},
        {Const::user_agent_header, (*ctx)[Const::user_agent]},
        {Const::mobile_header, username},
        {Const::token_header, password},
    };
    for (const auto& [name, value] : items)
        if (PyDict_SetItem(headers.get(), (*ctx)[name], value) < 0) return {};
    return headers;
}

}  // namespace norvix
