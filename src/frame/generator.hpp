// Generator objects for the generator functions and generator expressions of
// the native modules.
//
// A generator body is a small C++ state machine derived from `GenBody`:
// `resume()` runs it up to its next yield. It returns a new reference to the
// yielded value, or nullptr: with an exception set for a failure, without one
// when the body has finished. Nothing of the body runs before the first
// `next()`, so a generator that is never advanced has no effect.
//
// The bodies have no exception handlers of their own, so `throw()` ends the
// generator and raises the thrown exception, and `close()` just ends it.
#pragma once

#include "function.hpp"

namespace vk {

class GenBody {
public:
    virtual ~GenBody() = default;
    // CAUTION: may run arbitrary Python code
    virtual PyObject* resume() noexcept = 0;
    virtual int traverse(visitproc visit, void* arg) noexcept = 0;
    // Drops every reference the body holds (GC clear, close, end).
    virtual void clear() noexcept = 0;
};

struct Generator {
    PyObject_HEAD
    GenBody* body;          // nullptr once finished
    PyObject* name;
    PyObject* qualname;
    PyObject* tb_name;      // plain name for traceback entries inside the body (the name at
                            // creation; held, since `__name__` may be replaced)
    const char* filename;
    PyObject* code;         // the generator function's code, or nullptr (a generator expression)
    int line;
    bool started;
    bool running;
    PyObject* weakreflist;
};

extern PyTypeObject GeneratorType;

// Wraps `body` (ownership taken, deleted on failure too) into a generator
// named after `fn` ("items", "table.items").
Ref make_generator(Function* fn, GenBody* body) noexcept;
// A generator with explicit names ("genexpr", "table.values.<locals>.genexpr").
Ref make_generator(const char* name, const char* qualname, const char* filename, int line,
                   GenBody* body) noexcept;

// Readies the type and registers it with collections.abc.Generator (and
// backports_abc when importable), once per process.
int ready_generator_type() noexcept;

}  // namespace vk
