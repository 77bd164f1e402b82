// Rows as CSV text, as the PostgreSQL writer's COPY reads them.
//
// What csv.writer(f, quoting=csv.QUOTE_STRINGS, lineterminator="\n") writes
// (the excel dialect otherwise: "," between fields, '"' around a text, a '"'
// inside one doubled), for the values the writer's rows hold:
//   None      nothing;
//   str       the text in quotes (QUOTE_STRINGS quotes every str);
//   float     repr(), as str() gives it: no character of the dialect's;
//   int       str();
//   datetime  str(): digits, "-", " ", ":", "." and "+", none of them the
//             dialect's either.
// A row of anything else is not written here: the whole text is left to
// csv.writer, so that what it does with such values stays what happens.
#include <cstring>

#include "rows/rows.h"
#include "rows/text.h"

namespace norvix::rows {
namespace {

// Whether csv.writer's text for `v` is written here (a text UTF-8 can hold).
bool handled(Context* ctx, PyObject* v) noexcept {
    if (v == Py_None || PyFloat_CheckExact(v) || PyLong_CheckExact(v) ||
        Py_IS_TYPE(v, ctx->dt->DateTimeType))
        return true;
    // A lone surrogate: csv.writer writes it, and the COPY's encoding decides.
    return PyUnicode_Check(v) && has_utf8(v);
}

int field(Text& out, PyObject* v) noexcept {
    if (v == Py_None) return 0;
    Py_ssize_t n;
    if (PyUnicode_Check(v)) {
        const char* s = PyUnicode_AsUTF8AndSize(v, &n);
        return s ? out.quoted(s, static_cast<size_t>(n)) : -1;
    }
    if (PyFloat_CheckExact(v)) {
        return float_repr(out, PyFloat_AS_DOUBLE(v));  // float.__repr__ itself
    }
    Ref text = Ref::steal(PyObject_Str(v));  // an int or a datetime
    if (!text) return -1;
    const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
    return s ? out.append(s, static_cast<size_t>(n)) : -1;
}

}  // namespace

Ref csv_text(Context* ctx, PyObject* rows) noexcept {
    if (!PyList_Check(rows)) {
        PyErr_SetString(PyExc_TypeError, "csv_text() takes a list of tuples");
        return {};
    }
    // Looked at whole first: a text left to csv.writer is one no str() ran
    // for.  Below, only an aware datetime's tzinfo runs code that is not the
    // interpreter's (its utcoffset); the row is held against what it may do.
    // Rows of two fields or more: csv.writer writes a row of one empty field as
    // "" and any other value as it does.
    if (!every_value(rows, 2, [ctx](PyObject* v) { return handled(ctx, v); }))
        return Ref::borrow(Py_None);
    Text out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        Ref hold = Ref::borrow(PyList_GET_ITEM(rows, i));
        PyObject* row = hold.get();
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(row); ++j) {
            if (j && out.push(',') < 0) return {};
            if (field(out, PyTuple_GET_ITEM(row, j)) < 0) return {};
        }
        if (out.push('\n') < 0) return {};
    }
    return out.str();
}

}  // namespace norvix::rows
