// Native calls as a profiler sees them.
//
// CPython tells the thread's profile function (cProfile, `sys.setprofile`)
// of every call of a Python function: a "call" event with the function's
// frame when it starts, a "return" event with its value (None for an
// exception) when the frame exits; a generator's frame reports each
// resumption the same way, returning at each yield. Native functions have no
// frame on the interpreter's stack, so the interpreter reports nothing for
// them and a profile charges their time to whichever Python function called
// them. The frame reports them itself: while a profile function is set, each
// call of a `Function` and each resumption of a `Generator` makes a frame
// object of the function's code object (the module's source path, the
// definition line, the name) and reports "call" with it and the matching
// "return" when the call ends, fails, or the generator suspends or finishes.
// A native call made from a native call nests inside it, and a profile stays
// balanced whatever fails.
//
// The test on the path of every call and resumption is the interpreter's
// own (`py311::profile_pending`: one flag of the running C frame, then the
// profile function), so that with no profile function set a call costs
// nothing measurable.
//
// The frames' `f_back` is the frame their call came from: the Python frame
// that is running, or the native frame reported from it. They are not linked
// into the interpreter's frame stack: everything that walks that stack
// (warnings' stack levels and their registries, `sys._getframe`,
// `inspect.stack`) would see them, so that profiling would change what the
// program does. The standard library's pure-Python profiler (`profile`)
// relies on that stack, though: it checks that each frame it is told of is
// the `f_back` of the frames called from it, and a Python function called
// back from a native one (an `__eq__`, `LinExpr()`) names its Python caller
// there, not the native frame, which fails the profiler's assertion inside
// the program being profiled. For that profiler alone, native calls are
// reported the way CPython reports a builtin: C-call events of the running
// Python frame, which it lists by name (":0(sum)").
#pragma once

#include "cpython311.hpp"

namespace vk {

struct ModuleFrame;

// A profile function is set on this thread and wants calls reported (none is
// running right now). Module shortcuts that stand in for native calls (run a
// function's or a generator's body inline instead of calling it) are not
// taken while it answers true: the profile would miss those calls.
inline bool profiling_active(PyThreadState* ts) noexcept {
    using py311::Probe;
    return py311::passed(Probe::profile_hook) && py311::profile_pending(ts) && py311::passed(Probe::frame_links);
}
inline bool profiling_active() noexcept { return profiling_active(PyThreadState_Get()); }

// A trace or profile function would be told now of a call of a Python
// function (a sibling module's, say); when the probe that reads this failed,
// it may be. A shortcut that answers such a call without making it is not
// taken then.
inline bool python_calls_watched() noexcept {
    return !py311::passed(py311::Probe::profile_hook) || py311::tracing_pending(PyThreadState_Get());
}

// One native call or generator resumption as the profile function sees it:
// `enter` reports the call, `leave` the return; both always follow in pairs.
class ProfiledCall {
public:
    ProfiledCall() noexcept = default;
    ProfiledCall(const ProfiledCall&) = delete;
    ProfiledCall& operator=(const ProfiledCall&) = delete;
    ~ProfiledCall();

    // Reports the call of `callable` (a function or generator) whose code is
    // `code`, run in the namespace `globals`. Returns 0, or -1 with an
    // exception set when the profile function failed or no frame could be
    // made; then the call is not run, and `leave(nullptr)` ends it.
    // CAUTION: may run arbitrary Python code
    int enter(PyObject* code, PyObject* globals, PyObject* callable) noexcept;

    // Reports the end of the call with its `result` (a new reference, or
    // nullptr with an exception set) and returns it; when the profile
    // function fails, the result is dropped and its exception raised instead.
    // CAUTION: may run arbitrary Python code
    PyObject* leave(PyObject* result) noexcept;

private:
    int report(int what, PyObject* arg) noexcept;
    void pop() noexcept;

    PyObject* frame_ = nullptr;     // the frame reported with the events (owned)
    PyObject* callable_ = nullptr;  // for C-call events (owned)
    PyObject* calls_ = nullptr;     // the running calls this one is pushed on (owned)
    bool c_events_ = false;
    bool reported_ = false;         // the call was reported: its return must be
};

// `run()` (a new reference, or nullptr with an exception set) as one
// profiled call of `callable`.
// CAUTION: may run arbitrary Python code
template <class Run>
PyObject* run_profiled(PyObject* code, PyObject* globals, PyObject* callable, Run&& run) noexcept {
    ProfiledCall call;
    if (call.enter(code, globals, callable) < 0) return call.leave(nullptr);
    return call.leave(run());
}

// The code object that stands for a generator expression's body in its
// profiled frames: named `name`, in `filename` at `line`; one per place in
// the source, kept for the life of the process. Borrowed; nullptr with an
// exception set when it cannot be made.
PyObject* generator_site_code(const char* filename, int line, const char* name) noexcept;

// The module built into this shared object: its namespace is the globals of
// the frames of its generators (called by the module frame's constructor).
void set_profiled_module(ModuleFrame* frame) noexcept;
PyObject* profiled_module_globals() noexcept;

}  // namespace vk
