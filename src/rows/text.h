// What the makers of the texts the writers hand to their drivers share: a
// growing byte buffer, and the look at the rows before any text is made.
#pragma once

#include <charconv>
#include <cmath>
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

// repr(d): for a finite double its shortest digits that read back as d, laid
// out as float.__repr__ lays them out.
//     digits, point = shortest(d)              # d == 0.digits * 10**point
//     if point <= -4 or point > 16: d.ddd e+XX (a sign, two digits or more)
//     else: fixed, with ".0" where nothing follows the point
// std::to_chars picks the same digits as CPython's dtoa (the shortest, and of
// those the nearest), without its allocation.
inline int float_repr(Text& out, double d) noexcept {
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    char sci[40];  // [-]d[.ddd]e[+-]XX: 17 digits at most
    const auto made = std::isfinite(d)
                          ? std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific)
                          : std::to_chars_result{sci, std::errc::invalid_argument};
    if (made.ec == std::errc()) {  // else "nan", "inf", "-inf" below
        const char* p = sci;
        char text[40];
        char* t = text;
        if (*p == '-') *t++ = *p++;
        char digits[20];
        int n = 0;
        for (; *p != 'e'; ++p)
            if (*p != '.') digits[n++] = *p;
        const bool below = p[1] == '-';  // the exponent: a sign, then two digits or more
        int exponent = 0;
        for (const char* e = p + 2; e < made.ptr; ++e) exponent = exponent * 10 + (*e - '0');
        const int point = (below ? -exponent : exponent) + 1;
        if (point <= -4 || point > 16) {
            *t++ = digits[0];
            if (n > 1) {
                *t++ = '.';
                std::memcpy(t, digits + 1, n - 1);
                t += n - 1;
            }
            const int e = point - 1;
            *t++ = 'e';
            *t++ = e < 0 ? '-' : '+';
            const int a = e < 0 ? -e : e;
            if (a >= 100) *t++ = static_cast<char>('0' + a / 100);
            *t++ = static_cast<char>('0' + a / 10 % 10);
            *t++ = static_cast<char>('0' + a % 10);
        } else if (point <= 0) {
            *t++ = '0';
            *t++ = '.';
            std::memset(t, '0', -point);
            t += -point;
            std::memcpy(t, digits, n);
            t += n;
        } else if (point >= n) {
            std::memcpy(t, digits, n);
            t += n;
            std::memset(t, '0', point - n);
            t += point - n;
            *t++ = '.';
            *t++ = '0';
        } else {
            std::memcpy(t, digits, point);
            t += point;
            *t++ = '.';
            std::memcpy(t, digits + point, n - point);
            t += n - point;
        }
        return out.append(text, t - text);
    }
#endif
    char* s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!s) return -1;
    const int r = out.append(s, std::strlen(s));
    PyMem_Free(s);
    return r;
}

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
