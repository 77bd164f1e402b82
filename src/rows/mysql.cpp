// Rows as the VALUES text of the MySQL writer's multi-row REPLACE statements.
//
// The literal pymysql's Connection.escape writes for each value the writer's
// rows hold (the server not in NO_BACKSLASH_ESCAPES mode, which the caller
// leaves to the driver):
//   None      NULL;
//   str       in single quotes, with \0 \n \r \x1a " ' and \ escaped by a
//             backslash (0, n, r, Z, and the character itself);
//   float     repr(), with "e0" added where it has no exponent of its own;
//             NaN and the infinities are refused by the driver, so a row
//             holding one is not written here;
//   int       str();
//   datetime  in single quotes, its fields without the zone:
//             "YYYY-MM-DD HH:MM:SS[.ffffff]".
// A row of anything else (a subclass included) leaves the whole text to the
// driver's literals, so that whatever they do with such values still happens.
#include <cmath>
#include <cstring>

#include "rows/rows.h"
#include "rows/text.h"

namespace norvix::rows {
namespace {

// Whether the driver's literal for `v` is written here.
bool handled(Context* ctx, PyObject* v) noexcept {
    if (v == Py_None || PyLong_CheckExact(v) || Py_IS_TYPE(v, ctx->dt->DateTimeType)) return true;
    if (PyFloat_CheckExact(v)) return std::isfinite(PyFloat_AS_DOUBLE(v));
    // A lone surrogate: the driver's encoding decides.
    return PyUnicode_CheckExact(v) && has_utf8(v);
}

// What follows the backslash pymysql's escape_string puts before `c` (its
// translation table, converters.py), or 0 where `c` is written as it is.
char escape_of(char c) noexcept {
    switch (c) {
        case '\0':
            return '0';
        case '\n':
            return 'n';
        case '\r':
            return 'r';
        case '\x1a':
            return 'Z';
        case '"':
        case '\'':
        case '\\':
            return c;
        default:
            return 0;
    }
}

// The text in single quotes, escaped.
int escaped(Text& out, const char* s, size_t n) noexcept {
    if (out.push('\'') < 0) return -1;
    const char* run = s;
    for (const char* end = s + n; s < end; ++s) {
        const char swap = escape_of(*s);
        if (!swap) continue;
        if (out.append(run, s - run) < 0 || out.push('\\') < 0 || out.push(swap) < 0) return -1;
        run = s + 1;
    }
    if (out.append(run, s - run) < 0) return -1;
    return out.push('\'');
}

int literal(Text& out, PyObject* v) noexcept {
    if (v == Py_None) return out.append("NULL", 4);
    Py_ssize_t n;
    if (PyUnicode_Check(v)) {
        const char* s = PyUnicode_AsUTF8AndSize(v, &n);
        return s ? escaped(out, s, static_cast<size_t>(n)) : -1;
    }
    if (PyFloat_CheckExact(v)) {
        // float.__repr__ itself; finite (handled() above).
        const size_t start = out.size();
        if (float_repr(out, PyFloat_AS_DOUBLE(v)) < 0) return -1;
        const bool exponent = std::memchr(out.data() + start, 'e', out.size() - start);
        return exponent ? 0 : out.append("e0", 2);
    }
    if (PyLong_CheckExact(v)) {
        Ref text = Ref::steal(PyObject_Str(v));
        if (!text) return -1;
        const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
        return s ? out.append(s, static_cast<size_t>(n)) : -1;
    }
    char buf[kWallChars + 2];  // a datetime: its fields, whatever its tzinfo
    buf[0] = '\'';
    char* end = wall_chars(v, buf + 1);
    *end++ = '\'';
    return out.append(buf, end - buf);
}

int row_text(Text& out, PyObject* row) noexcept {
    if (out.push('(') < 0) return -1;
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(row); ++j) {
        if (j && out.push(',') < 0) return -1;
        if (literal(out, PyTuple_GET_ITEM(row, j)) < 0) return -1;
    }
    return out.push(')');
}

int flush(Text& piece, PyObject* pieces) noexcept {
    Ref text = piece.str();
    if (!text || PyList_Append(pieces, text.get()) < 0) return -1;
    piece.clear();
    return 0;
}

}  // namespace

bool mysql_written(Context* ctx, PyObject* rows) noexcept {
    return every_value(rows, 1, [ctx](PyObject* v) { return handled(ctx, v); });
}

Ref mysql_values(Context* ctx, PyObject* rows, Py_ssize_t limit) noexcept {
    if (!PyList_Check(rows)) {
        PyErr_SetString(PyExc_TypeError, "mysql_values() takes a list of tuples");
        return {};
    }
    // Looked at whole first: nothing is written for rows the driver is left.
    // Nothing below runs code that is not the interpreter's (a datetime's
    // tzinfo is not asked anything), so the list cannot change under the loop.
    if (!mysql_written(ctx, rows)) return Ref::borrow(Py_None);
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return {};
    Text piece, row;
    const size_t most = limit > 0 ? static_cast<size_t>(limit) : 1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        row.clear();
        if (row_text(row, PyList_GET_ITEM(rows, i)) < 0) return {};
        if (piece.size() && piece.size() + 1 + row.size() > most && flush(piece, pieces.get()) < 0)
            return {};
        if (piece.size() && piece.push(',') < 0) return {};
        if (piece.append(row.data(), row.size()) < 0) return {};
    }
    if (piece.size() && flush(piece, pieces.get()) < 0) return {};
    return pieces;
}

}  // namespace norvix::rows
