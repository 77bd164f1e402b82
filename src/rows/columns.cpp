// Database rows made from a window's columns, for the ticks the writers take
// as columns (no Python object per tick until their rows are made).
//
//     def column_rows(columns, count):
//         def values(column):
//             if type(column) is tuple:  # (value,): that value in every row
//                 return repeat(column[0], count)
//             if type(column) is list:   # the values, as they are
//                 return column
//             return memoryview(column).tolist()  # doubles: a float each (*)
//         return list(zip(*map(values, columns)))
// with every column `count` long (ValueError otherwise) and each buffer
// contiguous. (*) A double the same bit for bit as the one above it takes that
// row's float: prices repeat from tick to tick, and a float made is a float
// freed with the rows.
#include <cstdint>
#include <cstring>

#include "rows/rows.h"

namespace norvix::rows {
namespace {

struct Source {
    PyObject* list = nullptr;       // borrowed from the columns
    PyObject* constant = nullptr;   // borrowed from the column's tuple
    const double* reals = nullptr;  // within a view the Views below hold
    PyObject* last = nullptr;       // the float of the row above, held by it
    std::uint64_t last_bits = 0;    // the double it was made from
};

Ref unequal() noexcept {
    PyErr_SetString(PyExc_ValueError, "column_rows() columns must all be count long");
    return {};
}

// Whether a buffer's items are this machine's doubles.
bool native_doubles(const char* format) noexcept {
    if (format[0] == '=' || format[0] == '@' || format[0] == (PY_LITTLE_ENDIAN ? '<' : '>'))
        ++format;
    return std::strcmp(format, "d") == 0;
}

// The buffers the doubles are read from, released on every way out.
class Views {
public:
    Views() noexcept = default;
    Views(const Views&) = delete;
    Views& operator=(const Views&) = delete;
    ~Views() {
        for (Py_ssize_t i = 0; i < n_; ++i) PyBuffer_Release(&views_[i]);
    }
    // The doubles of `column`, a contiguous buffer of `count` of them; null
    // with an exception set otherwise.
    const double* doubles(PyObject* column, Py_ssize_t count) noexcept {
        Py_buffer& view = views_[n_];
        if (PyObject_GetBuffer(column, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0)
            return nullptr;
        ++n_;
        const char* format = view.format ? view.format : "B";
        if (!native_doubles(format) || view.itemsize != sizeof(double)) {
            PyErr_Format(PyExc_TypeError, "column_rows() takes buffers of doubles, not '%s'",
                         format);
            return nullptr;
        }
        constexpr Py_ssize_t kSize = sizeof(double);
        if (view.len % kSize != 0 || view.len / kSize != count) {
            unequal();
            return nullptr;
        }
        return static_cast<const double*>(view.buf);
    }

private:
    Py_buffer views_[kMaxColumns];
    Py_ssize_t n_ = 0;
};

}  // namespace

Ref column_rows(PyObject* columns, Py_ssize_t count) noexcept {
    if (!PyList_Check(columns)) {
        PyErr_SetString(PyExc_TypeError, "column_rows() takes a list of columns");
        return {};
    }
    const Py_ssize_t width = PyList_GET_SIZE(columns);
    if (width > kMaxColumns || count < 0) {
        PyErr_Format(PyExc_ValueError,
                     "column_rows() takes at most %zd columns and a count of 0 or more",
                     kMaxColumns);
        return {};
    }
    Source sources[kMaxColumns];
    Views views;
    // Our own reference to each column: the list may change under a buffer's export.
    Ref held[kMaxColumns];
    for (Py_ssize_t j = 0; j < width; ++j) {
        if (j >= PyList_GET_SIZE(columns)) return unequal();
        held[j] = Ref::borrow(PyList_GET_ITEM(columns, j));
        PyObject* column = held[j].get();
        Source& source = sources[j];
        if (PyTuple_CheckExact(column) && PyTuple_GET_SIZE(column) == 1) {
            source.constant = PyTuple_GET_ITEM(column, 0);
        } else if (PyList_CheckExact(column)) {
            if (PyList_GET_SIZE(column) != count) return unequal();
            source.list = column;
        } else if (!(source.reals = views.doubles(column, count))) {
            return {};
        }
    }
    Ref rows = Ref::steal(PyList_New(width ? count : 0));  // zip() of nothing is empty
    if (!rows) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        Ref row = Ref::steal(PyTuple_New(width));
        if (!row) return {};
        for (Py_ssize_t j = 0; j < width; ++j) {
            Source& source = sources[j];
            PyObject* value;
            if (source.reals) {
                std::uint64_t bits;
                std::memcpy(&bits, &source.reals[i], sizeof bits);
                if (source.last && bits == source.last_bits) {
                    value = Py_NewRef(source.last);
                } else {
                    value = PyFloat_FromDouble(source.reals[i]);
                    if (!value) return {};
                    source.last = value;
                    source.last_bits = bits;
                }
            } else if (source.constant) {
                value = Py_NewRef(source.constant);
            } else {
                // A finalizer run by an allocation may have shortened the list.
                if (i >= PyList_GET_SIZE(source.list)) return unequal();
                value = Py_NewRef(PyList_GET_ITEM(source.list, i));
            }
            PyTuple_SET_ITEM(row.get(), j, value);
        }
        PyList_SET_ITEM(rows.get(), i, row.release());
    }
    return rows;
}

}  // namespace norvix::rows
