// The function object of the native modules.
//
// Every function and method that a module body defines is a `Function`: it
// behaves like a Python function (vectorcall, binds as a method when read
// from an instance, `__name__`, `__qualname__`, `__defaults__`, `__code__`
// and the rest of the data model) while its body is a C++ function.
//
// The body receives the bound parameters as one array, in parameter order:
// every named parameter (defaults filled in), then the `*` tuple, then the
// `**` dict, when the signature has them. The array holds borrowed references
// that stay alive for the whole call. A body returns a new reference, or
// nullptr with an exception set; the frame then adds the traceback entry
// that names the function.
#pragma once

#include <initializer_list>

#include "ref.hpp"

namespace vk {

struct Function;
struct ModuleFrame;

using FunctionBody = PyObject* (*)(Function* fn, PyObject* const* args) noexcept;

// The body of a function with a `*` parameter (and no `**`) as a call with
// positional arguments only reaches it: `args` holds the `nargs` arguments
// as given (every named parameter first, then the surplus), borrowed for the
// whole call. It does what `body` does with the `*` tuple made of the
// surplus, making that tuple itself only if it needs one.
using PositionalBody = PyObject* (*)(Function* fn, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Static description of one function, written next to its body.
struct FunctionSpec {
    const char* name;      // name in the source, unmangled: "__repl", "select"
    const char* qualname;  // "table.select", "sqrt"
    const char* params;    // "self, data, wild", "self, *vals", "*args, **kwargs"
    FunctionBody body;
    const char* doc;       // nullptr for none
    int line;              // first line in the module source (traceback entries)
    bool generator;        // a generator function (code flags only)
    // A lambda: named "<lambda>" (`__name__` and `co_name`), its traceback
    // entries named by the enclosing function followed by ".lambda". The
    // qualname says where it is written: "table.select.<locals>.<lambda>".
    bool lambda = false;
    // For a `*` function: the body for calls with positional arguments only
    // (nullptr: every call goes through `body`).
    PositionalBody positional = nullptr;
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionBody body;
    PositionalBody positional;  // or nullptr
    ModuleFrame* frame;      // the module that defined the function
    PyObject* name;          // str
    PyObject* qualname;      // str
    PyObject* module;        // str
    PyObject* doc;           // any
    PyObject* defaults;      // tuple or nullptr
    PyObject* kwdefaults;    // dict or nullptr
    PyObject* dict;          // dict or nullptr
    PyObject* globals;       // the module namespace
    PyObject* code;          // code object (signature, file name, first line)
    PyObject* varnames;      // tuple of parameter names (interned), * and ** included
    PyObject* annotations;   // dict or nullptr
    PyObject* klass;         // the class cell (zero-argument super), or nullptr
    PyObject* closure;       // the value a nested function captured, or nullptr
    PyObject* weakreflist;
    const char* tb_name;     // full dotted name for traceback entries
    int line;
    int nparams;             // named parameters (excluding * and **)
    bool star;
    bool starstar;
};

extern PyTypeObject FunctionType;

inline bool is_function(PyObject* o) noexcept { return Py_TYPE(o) == &FunctionType; }

// Creates a function of `frame` from its description (`FunctionSpec`);
// `defaults` is a tuple or empty.
Ref make_function(ModuleFrame& frame, const FunctionSpec& spec, Ref defaults) noexcept;

// A nested function: a new function object like `prototype` (made once at
// load with `make_function`) that captures `captured`, which its body reads
// as `fn->closure`. Its traceback entries carry the enclosing function's full
// name followed by its own ("varnokpy._mod.apply.f").
Ref make_closure(PyObject* prototype, PyObject* captured) noexcept;

// Sets the class cell of a function (used by zero-argument `super()`).
void set_class_cell(PyObject* fn, PyObject* klass) noexcept;

// The setter of a str attribute of a frame object (`__name__`, `__qualname__`
// of functions and generators): TypeError "<what> must be set to a string
// object" for anything but a str, deletion included.
int set_str_field(PyObject*& field, PyObject* value, const char* what) noexcept;

// The slots that every object type of the frame fills (each is GC-tracked
// and keeps a weak-reference list); a type adds its own before readying.
struct TrackedTypeSlots {
    const char* name;
    Py_ssize_t basicsize;
    unsigned long flags;  // besides Py_TPFLAGS_DEFAULT and Py_TPFLAGS_HAVE_GC
    destructor dealloc;
    traverseproc traverse;
    inquiry clear;
    reprfunc repr;
    PyGetSetDef* getset;
    PyMethodDef* methods;
    Py_ssize_t weaklistoffset;
};
void fill_tracked_type(PyTypeObject& type, const TrackedTypeSlots& slots) noexcept;

// Deallocates a GC-tracked object of type `T` that keeps a weak-reference
// list: untracks it, clears its weak references, runs `release(o)` (what
// its clear slot drops, and whatever else must go first), drops `fields`
// in order, and frees it.
template <class T, class Release>
void dealloc_tracked(PyObject* self, Release&& release, std::initializer_list<PyObject* T::*> fields) noexcept {
    T* o = reinterpret_cast<T*>(self);
    PyObject_GC_UnTrack(self);
    if (o->weakreflist) PyObject_ClearWeakRefs(self);
    release(o);
    for (PyObject* T::*field : fields) Py_CLEAR(o->*field);
    PyObject_GC_Del(self);
}

// The `__name__` and `__qualname__` accessors of an object of type `T` with
// str fields `name` and `qualname` (functions, generators), for its getset
// table: read as they are, replaced only by a str.
template <class T>
struct NameAccessors {
    static PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(reinterpret_cast<T*>(self)->name); }
    static PyObject* get_qualname(PyObject* self, void*) noexcept {
        return Py_NewRef(reinterpret_cast<T*>(self)->qualname);
    }
    static int set_name(PyObject* self, PyObject* value, void*) noexcept {
        return set_str_field(reinterpret_cast<T*>(self)->name, value, "__name__");
    }
    static int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
        return set_str_field(reinterpret_cast<T*>(self)->qualname, value, "__qualname__");
    }
};

// Adds one traceback entry for the exception being raised.
void add_traceback_entry(const char* funcname, const char* filename, int line) noexcept;

namespace detail {
// The traceback entry that a failing call of the function `fn` adds (its full
// dotted name, its module's source path, its line). Shortcuts add it through
// `StandIn` (frame.hpp), never directly.
void add_call_entry(PyObject* fn) noexcept;
}  // namespace detail

// The entry that a failing body of the generator function `fn` adds (its
// plain name): for a shortcut that ran a generator's body inline.
void add_body_entry(PyObject* fn) noexcept;

// Makes the function type ready (once).
int ready_function_type() noexcept;

}  // namespace vk
