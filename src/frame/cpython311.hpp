// What the native modules know of CPython 3.11's private layout, and the
// load-time checks that decide whether that knowledge may be trusted.
//
// This is the only file that names an interpreter struct field, calls a
// `_Py`-prefixed function or reads memory before an object's address. Each
// accessor belongs to one probe: at load, `run_probes()` compares every
// accessor with the public API on sample objects. A probe that fails turns
// its accessors' shortcuts off (`usable(probe)` answers false), and the
// module goes on working on the general path; nothing here is ever needed
// for a right answer, only for a fast one.
//
// Test hook: the environment variable VARNOK_FAIL_PROBES, read once at load,
// is a comma-separated list of probe names (see `kProbeNames`) or "all";
// each probe it names is treated as failed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ref.hpp"
#include "shortcut.hpp"

#include <frameobject.h>  // PyFrame_New

// Exported by the interpreter, declared only in its internal headers: the
// full recursion check behind Py_EnterRecursiveCall.
extern "C" PyAPI_FUNC(int) _Py_CheckRecursiveCall(PyThreadState* tstate, const char* where);

namespace vk::py311 {

enum class Probe : unsigned {
    dict_version,   // dict version tags change on every mutation
    type_version,   // type version tags identify an unmodified class
    profile_hook,   // a thread's profile function, and whether it may be called now
    frame_links,    // the back link of a frame made by PyFrame_New
    recursion_depth,  // a thread's recursion counter, as Py_EnterRecursiveCall keeps it
    count
};

// Runs every probe once per module load (idempotent); returns 0, or -1 with
// an exception set only when the interpreter itself failed (MemoryError).
int run_probes() noexcept;

namespace detail {
extern bool g_passed[static_cast<size_t>(Probe::count)];
}

// The probe passed, in every build: for what relies on a probe without being
// a shortcut (profiling works in the general-only build too).
inline bool passed(Probe p) noexcept { return detail::g_passed[static_cast<size_t>(p)]; }

// A shortcut that relies on `p` may run: shortcuts are compiled in and the
// probe passed.
inline bool usable(Probe p) noexcept { return kShortcuts && passed(p); }

// The name of a probe, as VARNOK_FAIL_PROBES spells it.
const char* probe_name(Probe p) noexcept;

// ---- dicts --------------------------------------------------------------------

// The version tag of a dict: equal tags mean no mutation in between.
inline uint64_t dict_version(PyObject* d) noexcept { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }

// ---- types --------------------------------------------------------------------

// The version tag of a type, or 0 when it has none (the class may have been
// modified, or the tag space ran out).
inline unsigned int type_version(PyTypeObject* t) noexcept {
    return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) ? t->tp_version_tag : 0;
}

// The attribute `name` along the MRO of `t`, borrowed, without running code
// and without setting an exception; assigns `t` a version tag.
inline PyObject* type_lookup(PyTypeObject* t, PyObject* name) noexcept { return _PyType_Lookup(t, name); }

// ---- tracebacks -----------------------------------------------------------------

// Adds a traceback entry (a frame of a synthetic code object) to the
// exception being raised.
inline void add_traceback(const char* funcname, const char* filename, int line) noexcept {
    _PyTraceback_Add(funcname, filename, line);
}

// ---- profiling -------------------------------------------------------------------
// (Probe::profile_hook, Probe::frame_links)

// A profile function is set on thread `ts` and may be called now: tracing is
// on for the running C frame (a trace or profile function is set and none is
// running: while one runs, the interpreter pauses tracing) and the profile
// function is one of them. The interpreter's own test before it reports a
// call, and the only one on the path of every native call.
inline bool profile_pending(PyThreadState* ts) noexcept {
    return ts->cframe->use_tracing && ts->c_profilefunc;
}

// The profile function of thread `ts` and the object it is called with (the
// object that `sys.getprofile()` reports); both borrowed, nullptr when unset.
struct ProfileHook {
    Py_tracefunc func;
    PyObject* obj;
};
inline ProfileHook profile_hook(PyThreadState* ts) noexcept { return {ts->c_profilefunc, ts->c_profileobj}; }

// Links a frame made by PyFrame_New to the frame it was called from: `back`
// (a new reference is taken; nullptr for none) becomes its `f_back`. Such a
// frame never runs on the interpreter's frame stack, so its link into that
// stack, which PyFrame_New leaves unset and `f_back` would otherwise follow,
// is set to none.
void set_frame_back(PyFrameObject* f, PyFrameObject* back) noexcept;

// ---- recursion depth ---------------------------------------------------------------
// (Probe::recursion_depth)

// Py_EnterRecursiveCall and Py_LeaveRecursiveCall for a thread state already
// at hand, counted as the interpreter's own inline versions count: one field,
// and the full check (which raises RecursionError) only at the limit.
inline bool enter_recursive_call(PyThreadState* ts, const char* where) noexcept {
    return ts->recursion_remaining-- <= 0 && _Py_CheckRecursiveCall(ts, where);
}
inline void leave_recursive_call(PyThreadState* ts) noexcept { ts->recursion_remaining++; }

}  // namespace vk::py311
