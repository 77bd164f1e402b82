// Entry point and module body.
//
// The body runs once per import, on the module object the import system
// created:
//
//     import json
//     from dataclasses import dataclass
//     from datetime import datetime
//     from typing import List, Callable
//     import requests
//     from loguru import logger
//     from vnpy.trader.constant import Exchange, Interval
//     from vnpy.trader.datafeed import BaseDatafeed
//     from vnpy.trader.object import BarData, TickData, HistoryRequest
//     from vnpy.trader.setting import SETTINGS
//     from vnpy.trader.utility import ZoneInfo
//
//     @dataclass
//     class NorvixBarData(BarData): ...
//
//     CHINA_TZ = ZoneInfo("Asia/Shanghai")
//
//     class NorvixDatafeed(BaseDatafeed): ...
//
//     if __name__ == "__main__":
//         norvixDatafeed = NorvixDatafeed()
//         multiplier_list = norvixDatafeed.query_contract_multiplier(symbol="")
//         logger.info(len(multiplier_list))
#include "module/classes.h"
#include "runtime/as_python/function.h"
#include "runtime/imports.h"
#include "runtime/py.h"

namespace norvix {
namespace {

int set_global(PyObject* globals, const char* name, PyObject* value) noexcept {
    return PyDict_SetItemString(globals, name, value);
}

// __doc__, __file__, __spec__.origin, __spec__.has_location, __cached__.
int set_module_attributes(PyObject* globals) noexcept {
    if (set_global(globals, "__doc__", Py_None) < 0) return -1;
    Ref spec;
    if (PyDict_GetItemStringRef(globals, "__spec__", spec.out()) < 0) return -1;
    Ref location;
    if (PyDict_GetItemStringRef(globals, "__file__", location.out()) < 0) return -1;
    if (!location && spec && spec.get() != Py_None) {
        if (PyObject_GetOptionalAttrString(spec.get(), "origin", location.out()) < 0) return -1;
    }
    if (location && location.get() != Py_None) {
        if (set_global(globals, "__file__", location.get()) < 0) return -1;
        if (spec && spec.get() != Py_None) {
            if (PyObject_SetAttrString(spec.get(), "origin", location.get()) < 0) return -1;
            if (PyObject_SetAttrString(spec.get(), "has_location", Py_True) < 0) return -1;
        }
    }
    return set_global(globals, "__cached__", Py_None);
}

int run_self_test(Context* ctx, PyObject* globals) noexcept {
    MethodScope scope(Method::module_body);
    Ref cls = load_global(ctx, Ref::steal(PyUnicode_InternFromString("NorvixDatafeed")).get());
    if (!cls) return -1;
    Ref feed = Ref::steal(PyObject_CallNoArgs(cls.get()));
    if (!feed || set_global(globals, "norvixDatafeed", feed.get()) < 0) return -1;
    Ref kwnames = Ref::steal(PyTuple_Pack(1, (*ctx)[Name::symbol]));
    if (!kwnames) return -1;
    Ref result = call_method((*ctx)[Name::query_contract_multiplier],
                             {feed.get(), (*ctx)[Const::empty]}, kwnames.get());
    if (!result || set_global(globals, "multiplier_list", result.get()) < 0) return -1;
    Ref logger = load_global(ctx, Name::logger);
    if (!logger) return -1;
    Ref info = Ref::steal(PyObject_GetAttr(logger.get(), (*ctx)[Name::info]));
    if (!info) return -1;
    Ref len = load_global(ctx, Name::len_);
    if (!len) return -1;
    Ref name = Ref::steal(PyUnicode_InternFromString("multiplier_list"));
    if (!name) return -1;
    Ref current = load_global(ctx, name.get());
    if (!current) return -1;
    Ref count = Ref::steal(PyObject_CallOneArg(len.get(), current.get()));
    if (!count) return -1;
    return write_log(ctx, info.get(), count.get());
}

int module_exec(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    if (set_module_attributes(globals) < 0) return -1;

    if (import_module(globals, "json", "json") < 0) return -1;
    if (import_from_names(globals, "dataclasses", {"dataclass"}) < 0) return -1;
    if (import_from_names(globals, "datetime", {"datetime"}) < 0) return -1;
    if (import_from_names(globals, "typing", {"List", "Callable"}) < 0) return -1;
    if (import_module(globals, "requests", "requests") < 0) return -1;
    if (import_from_names(globals, "loguru", {"logger"}) < 0) return -1;
    if (import_from_names(globals, "vnpy.trader.constant", {"Exchange", "Interval"}) < 0) return -1;
    if (import_from_names(globals, "vnpy.trader.datafeed", {"BaseDatafeed"}) < 0) return -1;
    if (import_from_names(globals, "vnpy.trader.object",
                          {"BarData", "TickData", "HistoryRequest"}) < 0)
        return -1;
    if (import_from_names(globals, "vnpy.trader.setting", {"SETTINGS"}) < 0) return -1;
    if (import_from_names(globals, "vnpy.trader.utility", {"ZoneInfo"}) < 0) return -1;

    Ref context = make_context(module);
    if (!context) return -1;
    auto* ctx = reinterpret_cast<Context*>(context.get());
    if (make_frame(ctx, Method::module_body, "<module>", "<module>") < 0) return -1;
    Ref function_type = make_function_type(module);
    if (!function_type) return -1;
    ctx->function_type = function_type.release();

    Ref record = make_bar_record_class(ctx);
    if (!record || set_global(globals, "NorvixBarData", record.get()) < 0) return -1;

    Ref zoneinfo = load_global(ctx, Ref::steal(PyUnicode_InternFromString("ZoneInfo")).get());
    if (!zoneinfo) return -1;
    Ref tz = Ref::steal(PyObject_CallOneArg(
        zoneinfo.get(), Ref::steal(PyUnicode_FromString("Asia/Shanghai")).get()));
    if (!tz || set_global(globals, "CHINA_TZ", tz.get()) < 0) return -1;

    Ref feed_class = make_datafeed_class(ctx);
    if (!feed_class || set_global(globals, "NorvixDatafeed", feed_class.get()) < 0) return -1;

    Ref main_name = load_global(ctx, Name::name_);
    if (!main_name) return -1;
    Ref main_text = Ref::steal(PyUnicode_FromString("__main__"));
    if (!main_text) return -1;
    int is_main = PyObject_RichCompareBool(main_name.get(), main_text.get(), Py_EQ);
    if (is_main < 0) return -1;
    if (is_main) return run_self_test(ctx, globals);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "norvix_datafeed",
    nullptr,  // no docstring
    0,        // no per-module state: per-import state lives in objects the body creates
    nullptr,  // no module-level functions
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace norvix

// PyMODINIT_FUNC gives C linkage and exports the function on every platform (dllexport on
// Windows, default visibility elsewhere); it is the module's only exported symbol.
PyMODINIT_FUNC PyInit_norvix_datafeed() noexcept { return PyModuleDef_Init(&norvix::module_def); }
