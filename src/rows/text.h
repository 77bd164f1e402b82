// What the makers of the texts the writers hand to their drivers share: a
// growing byte buffer, and the look at the rows before any text is made.
#pragma once

#include <cstring>

#include "runtime/context.h"

namespace norvix::rows {

// On PyMem (no C++ exceptions in this build).
class Text {
public:
    Text() noexcept = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text() { PyMem_Free(data_); }

    int append(const char* s, size_t n) noexcept {
        if (reserve(n) < 0) return -1;
        std::memcpy(data_ + size_, s, n);
        size_ += n;
        return 0;
    }
    int push(char c) noexcept { return append(&c, 1); }
    // `s` in quotes, every quote doubled.
    int quoted(const char* s, size_t n) noexcept {
        if (push('"') < 0) return -1;
        for (const char* end = s + n; s < end;) {
            const char* q = static_cast<const char*>(std::memchr(s, '"', end - s));
            const char* stop = q ? q + 1 : end;
            if (append(s, stop - s) < 0) return -1;
            if (q && push('"') < 0) return -1;
            s = stop;
        }
        return push('"');
    }
    Ref str() const noexcept { return Ref::steal(PyUnicode_DecodeUTF8(data_, size_, "strict")); }
    size_t size() const noexcept { return size_; }
    const char* data() const noexcept { return data_; }
    void clear() noexcept { size_ = 0; }

private:
    int reserve(size_t n) noexcept {
        if (size_ + n <= capacity_) return 0;
        size_t want = capacity_ ? capacity_ : 1 << 16;
        while (want < size_ + n) want *= 2;
        char* grown = static_cast<char*>(PyMem_Realloc(data_, want));
        if (!grown) {
            PyErr_NoMemory();
            return -1;
        }
        data_ = grown;
        capacity_ = want;
        return 0;
    }

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Whether the str `v` has a UTF-8 form (no lone surrogate); no exception is
// left set.
inline bool has_utf8(PyObject* v) noexcept {
    if (PyUnicode_AsUTF8AndSize(v, nullptr)) return true;
    PyErr_Clear();
    return false;
}

// Whether `rows` (a list) holds tuples of `fewest` values or more, every one of
// them one `handled(v)` takes.
template <class Handled>
bool every_value(PyObject* rows, Py_ssize_t fewest, Handled handled) noexcept {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        PyObject* row = PyList_GET_ITEM(rows, i);
        if (!PyTuple_CheckExact(row) || PyTuple_GET_SIZE(row) < fewest) return false;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(row); ++j)
            if (!handled(PyTuple_GET_ITEM(row, j))) return false;
    }
    return true;
}

}  // namespace norvix::rows
