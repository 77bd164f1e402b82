// Bodies of the module's native functions, one per method.
#pragma once

#include "module/function.h"

namespace norvix {

// NorvixBarData
PyObject* bar_post_init(FunctionObject* f, PyObject* const* args) noexcept;

// NorvixDatafeed: construction, credentials and the request layer
PyObject* datafeed_init(FunctionObject* f, PyObject* const* args) noexcept;
PyObject* datafeed_initialize(FunctionObject* f, PyObject* const* args) noexcept;
PyObject* datafeed_make_request(FunctionObject* f, PyObject* const* args) noexcept;

// NorvixDatafeed: market history
PyObject* query_bar_history(FunctionObject* f, PyObject* const* args) noexcept;
PyObject* query_day_bar_history(FunctionObject* f, PyObject* const* args) noexcept;
PyObject* query_minute_bar_history(FunctionObject* f, PyObject* const* args) noexcept;
PyObject* query_tick_history(FunctionObject* f, PyObject* const* args) noexcept;

// NorvixDatafeed: reference data
PyObject* query_dominant(FunctionObject* f, PyObject* const* args) noexcept;
PyObject* query_contracts(FunctionObject* f, PyObject* const* args) noexcept;
PyObject* query_ex_factor(FunctionObject* f, PyObject* const* args) noexcept;
PyObject* query_contract_multiplier(FunctionObject* f, PyObject* const* args) noexcept;

}  // namespace norvix
