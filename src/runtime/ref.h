// Owning reference to a Python object.
//
// Move-only: copying would hide reference-count traffic, so every new
// reference is either stolen (Ref::steal) or taken explicitly (Ref::borrow).
// Move-assignment releases the reference held before.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace norvix {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (NULL allowed: it means an exception is set).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference of our own to a borrowed one.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // Slot for APIs that write a new reference through a PyObject**.
    PyObject** out() noexcept {
        Py_CLEAR(p_);
        return &p_;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace norvix
