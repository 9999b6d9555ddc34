// Ref: the one owning reference to a Python object.
//
// Rules of use:
// - Ref::steal(p) takes over a reference the caller owns (a "new reference"
//   from the C API); Ref::borrow(p) adds a reference of its own.
// - get() lends the object without giving up ownership; release() hands the
//   reference to whoever takes it (a C API that steals, or Python as a
//   return value).
// - Ref moves but never copies; there is no conversion from PyObject*, so
//   every steal and borrow is spelled out where it happens.
#pragma once

#include <Python.h>

#include <utility>

namespace sorva {

class Ref {
public:
    Ref() = default;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept
    {
        Ref old(std::move(*this));
        p_ = std::exchange(other.p_, nullptr);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p)
    {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace sorva
