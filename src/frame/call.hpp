// Calls into Python from C: a vectorcall stack, calls of functions and of
// methods by name, attribute access, and `StandIn`, which a shortcut uses
// where it makes in C, or skips, calls of Python-level functions.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <utility>

#include "cpython311.hpp"
#include "function.hpp"
#include "profiling.hpp"
#include "ref.hpp"
#include "shortcut.hpp"

namespace vk {

// A vectorcall stack for `args`: slot 0 is left free for
// PY_VECTORCALL_ARGUMENTS_OFFSET; a long argument list goes to the heap.
class CallStack {
public:
    explicit CallStack(std::initializer_list<PyObject*> args) noexcept : n_(args.size()) {
        if (n_ + 1 > kInline) {
            heap_ = static_cast<PyObject**>(PyMem_Malloc((n_ + 1) * sizeof(PyObject*)));
            if (!heap_) PyErr_NoMemory();
        }
        if (PyObject** s = slots()) {
            size_t i = 1;
            for (PyObject* a : args) s[i++] = a;
        }
    }
    CallStack(const CallStack&) = delete;
    CallStack& operator=(const CallStack&) = delete;
    ~CallStack() { PyMem_Free(heap_); }
    // nullptr (MemoryError set) when the heap stack could not be had.
    PyObject** args() noexcept { return slots() ? slots() + 1 : nullptr; }
    size_t nargsf() const noexcept { return n_ | PY_VECTORCALL_ARGUMENTS_OFFSET; }

private:
    static constexpr size_t kInline = 8;
    PyObject** slots() noexcept { return n_ + 1 > kInline ? heap_ : local_; }
    PyObject* local_[kInline];
    PyObject** heap_ = nullptr;
    size_t n_;
};

// Calls `callable` with positional arguments (borrowed).
// CAUTION: may run arbitrary Python code
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) noexcept {
    CallStack stack(args);
    if (!stack.args()) return Ref();
    return Ref::steal(PyObject_Vectorcall(callable, stack.args(), stack.nargsf(), nullptr));
}

// Calls the method `name` on `args[0]`, dispatched through the instance
// (instance attributes and subclass overrides are honoured), without creating
// a bound method.
// CAUTION: may run arbitrary Python code
inline Ref call_method(PyObject* name, std::initializer_list<PyObject*> args) noexcept {
    CallStack stack(args);
    if (!stack.args()) return Ref();
    return Ref::steal(PyObject_VectorcallMethod(name, stack.args(), stack.nargsf(), nullptr));
}

// `o.<name>`, through the object's type (descriptors, `__getattr__`).
// CAUTION: may run arbitrary Python code
inline Ref getattr(PyObject* o, PyObject* name) noexcept { return Ref::steal(PyObject_GetAttr(o, name)); }

// `o.<name> = value`, through the object's type (`__setattr__`, descriptors).
// CAUTION: may run arbitrary Python code
inline int setattr(PyObject* o, PyObject* name, PyObject* value) noexcept {
    return PyObject_SetAttr(o, name, value);
}

// A shortcut that does in C what calls of Python-level functions would do
// (a module's own methods called on `self`, a construction through a module
// global and the `__init__` it runs, the resumptions of a generator, a
// module function) stands in for those calls, and two things must then
// hold: nobody is told of the calls (no profile function is set: it would
// see them in one build and not in the other), and a failure carries the
// traceback entry that the failing call would have added. A `StandIn` does
// both: made once the shortcut's other guards held, it is false while a
// profile function is set (the shortcut is then not taken), and the
// shortcut reports each skipped call's answer through it.
//
//     vk::StandIn calls;
//     if (!calls) return vk::Shortcut::not_taken();
//     if (Shortcut s = calls.answer(F.clean, store_fresh_caches(d)); ...
//
// A Python function of another module is stood in for only while
// no trace function would see its call either: `StandIn(StandIn::python)`.
//
// A StandIn also refuses near the recursion limit: the calls it stands in
// for, and the calls they would make, count towards the limit, and a
// shortcut that makes fewer nested calls must not succeed where the steps
// raise RecursionError. Within `kStandInDepth` calls of the limit (far more
// than any shortcut's steps nest) the steps run, and reach the limit as
// they would.
inline constexpr int kStandInDepth = 64;

// The thread is at least kStandInDepth nested calls away from the recursion
// limit (false when that cannot be told).
inline bool depth_to_spare() noexcept {
    return py311::passed(py311::Probe::recursion_depth) &&
           py311::recursion_remaining(PyThreadState_Get()) > kStandInDepth;
}

class StandIn {
public:
    enum Kind { native, python };
    explicit StandIn(Kind kind = native) noexcept
        : allowed_((kind == native ? !profiling_active() : !python_calls_watched()) && depth_to_spare()) {}
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;
    explicit operator bool() const noexcept { return allowed_; }

    // The answer of a skipped call of the function `fn`: a failure gets the
    // entry that the call would have added.
    Shortcut answer(PyObject* fn, Shortcut s) noexcept {
        if (s.taken() && !s.ok()) detail::add_call_entry(fn);
        return s;
    }
    // The same for a status (0, or -1 with an exception set).
    int status(PyObject* fn, int rc) noexcept {
        if (rc < 0) detail::add_call_entry(fn);
        return rc;
    }
    // The same for a new reference (nullptr with an exception set).
    Ref value(PyObject* fn, Ref r) noexcept {
        if (!r) detail::add_call_entry(fn);
        return r;
    }

    // A call of the function `fn` made in C, `body()` (a new reference, or
    // nullptr with an exception set) standing for it: it counts towards the
    // recursion limit as the call would, so that runaway recursion through
    // such calls ends in RecursionError, and a failure gets the call's entry.
    // CAUTION: may run arbitrary Python code
    template <class Body>
    Ref call(PyObject* fn, Body&& body) noexcept {
        if (Py_EnterRecursiveCall(" while calling a Python object")) return value(fn, Ref());
        Ref r = Ref::steal(body());
        Py_LeaveRecursiveCall();
        return value(fn, std::move(r));
    }

private:
    bool allowed_;
};

}  // namespace vk
