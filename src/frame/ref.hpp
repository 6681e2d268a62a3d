// Owning handle for Python references.
//
// A `Ref` owns exactly one reference or nothing. It is created explicitly:
// `Ref::steal(p)` adopts the new reference that an API call returned,
// `Ref::borrow(p)` takes a new reference to a borrowed pointer. There is no
// implicit construction from `PyObject*`, so every ownership transfer is
// visible at the call site. `get()` lends, `release()` hands the reference
// back to the caller.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <utility>

namespace vk {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        // Store first, release after: the decref may run arbitrary code.
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A second owning handle to the same object.
    Ref dup() const noexcept { return borrow(p_); }
    void reset() noexcept {
        PyObject* old = std::exchange(p_, nullptr);
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Replace a strong field in place (the Py_SETREF order).
inline void set_field(PyObject*& field, Ref value) noexcept {
    PyObject* old = field;
    field = value.release();
    Py_XDECREF(old);
}

}  // namespace vk
