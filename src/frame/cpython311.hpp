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
// Test hooks, both read at load: the environment variable VARNOK_FAIL_PROBES
// is a comma-separated list of probe names (see `kProbeNames`) or "all";
// each probe it names is treated as failed (unknown names are ignored).
// VARNOK_REPORT_PROBES, when set, makes each module print one line to
// stderr at load: "varnok probes <module>: <probe>=on|off ...", where "on"
// means `usable(probe)`.
#pragma once

#include <cstdint>

#include "ref.hpp"
#include "shortcut.hpp"

namespace vk::py311 {

enum class Probe : unsigned {
    dict_version,   // dict version tags change on every mutation
    type_version,   // type version tags identify an unmodified class
    count
};

// Runs every probe once per module load (idempotent); returns 0, or -1 with
// an exception set only when the interpreter itself failed (MemoryError).
int run_probes() noexcept;

// A shortcut that relies on `p` may run: shortcuts are compiled in and the
// probe passed.
bool usable(Probe p) noexcept;

// The name of a probe, as VARNOK_FAIL_PROBES spells it.
const char* probe_name(Probe p) noexcept;

// The VARNOK_REPORT_PROBES line of `module` (its full name), when the
// variable is set; called by the frame after `run_probes()`.
void report_probes(const char* module) noexcept;

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

}  // namespace vk::py311
