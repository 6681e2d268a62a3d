// Everything a native module of the package needs from the frame.
#pragma once

#include <initializer_list>

#include "copy_support.hpp"
#include "function.hpp"
#include "generator.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "shortcut.hpp"

namespace vk {

// Calls `callable` with positional arguments (borrowed).
// CAUTION: may run arbitrary Python code
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) noexcept {
    PyObject* stack[8];
    size_t n = 0;
    stack[n++] = nullptr;  // room for PY_VECTORCALL_ARGUMENTS_OFFSET
    for (PyObject* a : args) stack[n++] = a;
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

// Calls the method `name` on `args[0]`, dispatched through the instance
// (instance attributes and subclass overrides are honoured), without creating
// a bound method.
// CAUTION: may run arbitrary Python code
inline Ref call_method(PyObject* name, std::initializer_list<PyObject*> args) noexcept {
    PyObject* stack[8];
    size_t n = 0;
    stack[n++] = nullptr;  // room for PY_VECTORCALL_ARGUMENTS_OFFSET
    for (PyObject* a : args) stack[n++] = a;
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Reads an attribute.
// CAUTION: may run arbitrary Python code
inline Ref getattr(PyObject* o, PyObject* name) noexcept { return Ref::steal(PyObject_GetAttr(o, name)); }

}  // namespace vk
