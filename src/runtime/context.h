// Per-import state of the module.
//
// Every object the module creates that needs interned names, keyword-name
// tuples or the module namespace reaches them through one Context object,
// created by the module's execution and owned by the functions it made.
// Nothing here is a C++ static, so a second import builds a second,
// independent Context.
#pragma once

#include <atomic>

#include "runtime/ref.h"

// After Python.h, which ref.h brings.
#include <datetime.h>

namespace norvix {

// Interned names: identifiers of module globals, attributes, members and
// keyword arguments.  The entry name is the text unless given explicitly.
// clang-format off
#define NORVIX_NAMES(X) \
    X(logger) \
    X(requests) \
    X(json) \
    X(SETTINGS) \
    X(CHINA_TZ) \
    X(BarData) \
    X(TickData) \
    X(Interval) \
    X(datetime) \
    X(float_, "float") \
    X(info) \
    X(error) \
    X(get) \
    X(post) \
    X(raise_for_status) \
    X(status_code) \
    X(response) \
    X(text) \
    X(exceptions) \
    X(Timeout) \
    X(ConnectionError) \
    X(HTTPError) \
    X(JSONDecodeError) \
    X(loads) \
    X(Exception) \
    X(KeyError) \
    X(ValueError) \
    X(DAILY) \
    X(MINUTE) \
    X(strptime) \
    X(replace) \
    X(tzinfo) \
    X(strftime) \
    X(symbol) \
    X(exchange) \
    X(interval) \
    X(start) \
    X(end) \
    X(code) \
    X(message) \
    X(data) \
    X(base_url) \
    X(username) \
    X(password) \
    X(value) \
    X(instrument_id) \
    X(vt_symbol) \
    X(url) \
    X(params) \
    X(headers) \
    X(timeout) \
    X(method) \
    X(endpoint) \
    X(json_data) \
    X(make_request, "_make_request") \
    X(query_day_bar_history) \
    X(query_minute_bar_history) \
    X(query_contract_multiplier) \
    X(init, "__init__") \
    X(name_, "__name__") \
    X(start_date) \
    X(end_date) \
    X(limit) \
    X(trading_date) \
    X(trading_datetime) \
    X(open_price) \
    X(high_price) \
    X(low_price) \
    X(close_price) \
    X(volume) \
    X(turnover) \
    X(open_interest) \
    X(gateway_name) \
    X(name) \
    X(last_price) \
    X(last_volume) \
    X(limit_up) \
    X(limit_down) \
    X(open) \
    X(high) \
    X(low) \
    X(pre_close) \
    X(bid_price_1) \
    X(bid_price_2) \
    X(bid_price_3) \
    X(bid_price_4) \
    X(bid_price_5) \
    X(ask_price_1) \
    X(ask_price_2) \
    X(ask_price_3) \
    X(ask_price_4) \
    X(ask_price_5) \
    X(bid_volume_1) \
    X(bid_volume_2) \
    X(bid_volume_3) \
    X(bid_volume_4) \
    X(bid_volume_5) \
    X(ask_volume_1) \
    X(ask_volume_2) \
    X(ask_volume_3) \
    X(ask_volume_4) \
    X(ask_volume_5) \
    X(len_, "len")
// clang-format on

#define NORVIX_NAME_ENUM(id, ...) id,
enum class Name : int { NORVIX_NAMES(NORVIX_NAME_ENUM) count_ };
#undef NORVIX_NAME_ENUM

// Prebuilt tuples of keyword names for the calls the module makes.
enum class Kw : int {
    make_request,  // method, endpoint, json_data, timeout
    get,           // url, params, headers, timeout
    post,          // url, json, headers, timeout
    replace,       // tzinfo
    bar,           // the twelve BarData keywords
    tick,          // the thirty-six TickData keywords
    count_
};

// Constants used on hot or frequent paths.
enum class Const : int {
    empty,     // ""
    zero,      // 0
    ten,       // 10
    post,      // "POST"
    get,       // "GET"
    gateway,   // "NorviX"
    date_fmt,  // "%Y-%m-%d"
    time_fmt,  // "%Y-%m-%d %H:%M:%S"
    // endpoints
    daybar,
    minutebar,
    tickdata,
    dominant,
    current,
    exfactor,
    multiplier,
    // the `limit` of the two bar queries
    day_limit,
    minute_limit,
    // request headers: names and fixed values
    content_type_header,
    content_type,
    user_agent_header,
    user_agent,
    mobile_header,
    token_header,
    count_
};

// The module's functions, as the frames of their log lines and tracebacks
// name them.
enum class Method : int {
    module_body,  // "<module>": the self-test of the main program
    bar_post_init,
    init,
    initialize,
    make_request,
    query_bar_history,
    query_day_bar_history,
    query_minute_bar_history,
    query_tick_history,
    query_dominant,
    query_contracts,
    query_ex_factor,
    query_contract_multiplier,
    count_
};

// Memory a layer above keeps from one call to the next; it knows how to free
// itself.
struct Kept {
    void (*release)(Kept*) noexcept;
};

struct Context {
    PyObject_HEAD
    PyObject* globals;    // the module's namespace
    PyObject* builtins;   // the builtins the module body saw
    PyDateTime_CAPI* dt;  // the datetime C API (a capsule pointer, not an object)
    PyObject* names[static_cast<int>(Name::count_)];
    PyObject* kw[static_cast<int>(Kw::count_)];
    PyObject* consts[static_cast<int>(Const::count_)];
    PyObject* function_type;  // type of the module's native functions

    // Per method, a Python function `lambda log, message: log(message)`
    // whose code carries the method's name and the module's file, and whose
    // globals are the module namespace: log lines are written from its
    // frame, and tracebacks name the method through its code.
    PyObject* frames[static_cast<int>(Method::count_)];

    // Module globals resolved earlier, valid while no watched namespace has
    // changed since (see load_global).  Borrowed from the dict that holds
    // them: any change to it starts a new epoch before the value can go.
    PyObject* cache[static_cast<int>(Name::count_)];
    unsigned long long cache_epoch;
    bool cacheable;  // both namespaces have exact str keys only, this epoch
    PyObject*
        watcher;  // the shared dict watcher (runtime/as_python/watchers.h); nullptr: no caching

    // The JSON reader's parser between answers (records/reader.cpp), taken
    // and given back whole; released with the Context.
    std::atomic<Kept*> parser;

    PyObject* operator[](Name n) const noexcept { return names[static_cast<int>(n)]; }
    PyObject* operator[](Kw k) const noexcept { return kw[static_cast<int>(k)]; }
    PyObject* operator[](Const c) const noexcept { return consts[static_cast<int>(c)]; }
    PyObject* operator[](Method m) const noexcept { return frames[static_cast<int>(m)]; }
};

// Creates the Context type and one Context for the module being executed.
Ref make_context(PyObject* module) noexcept;

// Module global lookup as a Python function does it: the module namespace,
// then the builtins; NameError when neither has the name.
Ref load_global(Context* ctx, PyObject* name) noexcept;

// The same for a known name, answered from the cache while neither the
// module namespace nor the builtins have changed.  Both dicts are watched;
// any change to either starts a new epoch and empties the cache, so the
// next lookup sees exactly what Python code would see.
Ref load_global(Context* ctx, Name n) noexcept;

// Raises NameError "name '...' is not defined" with its `name` attribute set.
void raise_name_error(PyObject* name) noexcept;

}  // namespace norvix
