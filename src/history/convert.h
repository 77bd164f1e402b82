// Record conversion for the history queries: the per-record steps written
// natively, each one indistinguishable from the Python expression it
// replaces.
#pragma once

#include "common/py.h"

namespace norvix {

// record[key]: a missing key in an exact dict raises KeyError(key) as the
// dict would; other objects are subscripted.
Ref subscript(PyObject* record, PyObject* key) noexcept;

// float(value), with `float` read from the module globals first.
Ref to_float(Context* ctx, PyObject* value) noexcept;

// float(record.get(key, 0))
Ref member_float(Context* ctx, PyObject* record, Name key) noexcept;

// float(record[key])
Ref required_float(Context* ctx, PyObject* record, Name key) noexcept;

// datetime.strptime(record[field], fmt).replace(tzinfo=CHINA_TZ)
Ref record_time(Context* ctx, PyObject* record, Name field, bool with_time) noexcept;

// Runs `convert` for every item of `records` (any iterable), appending each
// result to `out`.  A KeyError or ValueError from one record is logged as
// f"{prefix}{e}" and the record skipped; anything else propagates.
template <class Convert>
int convert_all(Context* ctx, PyObject* records, PyObject* out, const char* prefix,
                Convert&& convert) noexcept;

// The guard around one record: 1 when the pending exception was a KeyError
// or ValueError and has been logged, 0 when it must propagate, -1 when
// handling raised.
int skip_bad_record(Context* ctx, const char* prefix) noexcept;

template <class Convert>
int convert_all(Context* ctx, PyObject* records, PyObject* out, const char* prefix,
                Convert&& convert) noexcept {
    auto one = [&](PyObject* item) -> int {
        Ref value = convert(item);
        if (value) return PyList_Append(out, value.get());
        int skipped = skip_bad_record(ctx, prefix);
        return skipped == 1 ? 0 : -1;
    };
    if (PyList_CheckExact(records)) {
        // Same walk as the list iterator: the length is read on every step.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(records, i));
            if (one(item.get()) < 0) return -1;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(records));
    if (!it) return -1;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return PyErr_Occurred() ? -1 : 0;
        if (one(item.get()) < 0) return -1;
    }
}

// The summary line after conversion:
//     f"NorvixData获取{symbol}{success}{len(out)}条"  or  f"NorvixData未获取到{symbol}{nodata}"
int log_summary(Context* ctx, PyObject* out, PyObject* symbol, const char* success,
                const char* nodata) noexcept;

}  // namespace norvix
