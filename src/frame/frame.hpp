// Everything a native module of the package needs from the frame.
#pragma once

#include <initializer_list>

#include "copy_support.hpp"
#include "function.hpp"
#include "generator.hpp"
#include "module.hpp"
#include "profiling.hpp"
#include "ref.hpp"
#include "shortcut.hpp"
#include "small_vec.hpp"

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

}  // namespace vk
