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

#include <cstdint>

#include "ref.hpp"
#include "shortcut.hpp"

namespace vk::py311 {

enum class Probe : unsigned {
    dict_version,     // dict version tags change on every mutation
    type_version,     // type version tags identify an unmodified class
    instance_values,  // inline attribute values of plain-class instances
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

// ---- instance attributes kept inline ------------------------------------------------
//
// An instance of a plain Python class (Py_TPFLAGS_MANAGED_DICT) keeps its
// attributes without a dict until one is asked for: an array of values, one
// slot per name of the class's shared keys (names only ever get added there,
// so a name keeps its slot for the life of the class, and every instance's
// array has room for each name the keys hold), preceded by a byte array of
// the insertion order: [-1] prefix size, [-2] number of names set,
// [-3], [-4], ... the slots in the order they were set. This is what an
// ordinary attribute store does once the class's `__setattr__` is the
// generic one and no descriptor claims the name.

// The value slots of `o`, or nullptr when it has a dict instead (or its
// class does not keep attributes inline).
inline PyObject** instance_values(PyObject* o) noexcept {
    if (!PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_MANAGED_DICT)) return nullptr;
    return *(reinterpret_cast<PyObject***>(o) - 4);
}

// The slot of the interned `name` in the instance values of class `t`, or -1
// when its shared keys do not hold the name (yet).
Py_ssize_t instance_slot(PyTypeObject* t, PyObject* name) noexcept;

// Stores `value` (a new reference is taken) into the empty slot `ix` of
// `values` and appends the slot to the insertion order.
inline void store_instance_value(PyObject** values, Py_ssize_t ix, PyObject* value) noexcept {
    values[ix] = Py_NewRef(value);
    uint8_t* used = reinterpret_cast<uint8_t*>(values) - 2;
    const int n = *used + 1;
    used[-n] = static_cast<uint8_t>(ix);
    *used = static_cast<uint8_t>(n);
}

// ---- tracebacks -----------------------------------------------------------------

// Adds a traceback entry (a frame of a synthetic code object) to the
// exception being raised.
inline void add_traceback(const char* funcname, const char* filename, int line) noexcept {
    _PyTraceback_Add(funcname, filename, line);
}

}  // namespace vk::py311
