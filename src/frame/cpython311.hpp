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
    dict_version,   // dict version tags change on every mutation
    type_version,   // type version tags identify an unmodified class
    hash_known,        // hash_known agrees with PyObject_Hash (int, str, tuple keys)
    dict_known_hash,   // lookups with a known hash agree with PyDict_GetItem
    method_lookup,     // get_method agrees with PyObject_GetAttr
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

// ---- hashes of plain keys (keyshelf) ---------------------------------------------
//
// A plain key is one whose hashing is the interpreter's own, so that hashing
// it can neither run Python code nor fail: an exact int, bool, float or str,
// None, or an exact tuple of plain keys (nested at most 16 deep). Tuples do
// not cache their hash, and hashing the keys is most of the cost of a warm
// selection, so the hash is computed here without calls where the answer is
// plain: tuplehash's lanes, the hash of an int of at most one digit, and the
// hash a str has cached; PyObject_Hash for the rest (floats, big ints, strs
// not hashed yet). Probe `hash_known` compares every branch with PyObject_Hash.

namespace detail {

constexpr Py_uhash_t kXXPrime1 = 11400714785074694791ULL;
constexpr Py_uhash_t kXXPrime2 = 14029467366897019727ULL;
constexpr Py_uhash_t kXXPrime5 = 2870177450012600261ULL;
static_assert(sizeof(Py_uhash_t) == 8, "the lane constants are those of 64-bit hashes");
constexpr int kMaxPlainDepth = 16;

// long_hash of an exact int (or bool) of at most one digit.
inline bool small_int_hash(PyObject* o, Py_hash_t& h) noexcept {
    const digit* d = reinterpret_cast<PyLongObject*>(o)->ob_digit;
    switch (Py_SIZE(o)) {
        case 0: h = 0; return true;
        case 1: h = static_cast<Py_hash_t>(d[0]); return true;
        case -1: h = d[0] == 1 ? Py_hash_t(-2) : -static_cast<Py_hash_t>(d[0]); return true;
        default: return false;
    }
}

inline bool atom_hash(PyObject* key, Py_hash_t& hash) noexcept {
    PyTypeObject* t = Py_TYPE(key);
    if (t == &PyLong_Type || t == &PyBool_Type) {
        if (small_int_hash(key, hash)) return true;
    } else if (t == &PyUnicode_Type) {
        hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
        if (hash != -1) return true;
    } else if (t != &PyFloat_Type && key != Py_None) {
        return false;
    }
    hash = PyObject_Hash(key);
    if (hash == -1) {
        PyErr_Clear();  // not expected of these types; the caller takes the generic path
        return false;
    }
    return true;
}

bool nested_tuple_hash(PyObject* key, Py_hash_t& hash, int depth) noexcept;

// tuplehash of an exact tuple at `depth`, from its items' hashes; nested
// tuples are hashed out of line.
inline bool tuple_hash(PyObject* key, Py_hash_t& hash, int depth) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(key);
    Py_uhash_t acc = kXXPrime5;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(key, i);
        Py_hash_t lane;
        if (Py_TYPE(item) == &PyTuple_Type ? !nested_tuple_hash(item, lane, depth + 1) : !atom_hash(item, lane))
            return false;
        acc += static_cast<Py_uhash_t>(lane) * kXXPrime2;
        acc = (acc << 31) | (acc >> 33);
        acc *= kXXPrime1;
    }
    acc += static_cast<Py_uhash_t>(n) ^ (kXXPrime5 ^ 3527539UL);
    hash = acc == static_cast<Py_uhash_t>(-1) ? 1546275796 : static_cast<Py_hash_t>(acc);
    return true;
}

}  // namespace detail

// Sets `hash` to hash(key) and returns true for a plain key; returns false,
// having run nothing observable, for any other key.
inline bool hash_known(PyObject* key, Py_hash_t& hash) noexcept {
    return Py_TYPE(key) == &PyTuple_Type ? detail::tuple_hash(key, hash, 0) : detail::atom_hash(key, hash);
}

namespace detail {
inline bool is_plain_atom(PyObject* key) noexcept {
    PyTypeObject* t = Py_TYPE(key);
    return t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyBool_Type || key == Py_None;
}
}  // namespace detail

namespace detail {
bool is_plain_tuple(PyObject* key, int depth) noexcept;
}  // namespace detail

// Is `key` plain (hash_known would answer)? Type checks only, no probe: it
// stands here so that both share one definition of a plain key. The common
// keys, atoms and flat tuples of atoms, are checked without a call.
inline bool is_plain_key(PyObject* key) noexcept {
    if (Py_TYPE(key) != &PyTuple_Type) return detail::is_plain_atom(key);
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(key); i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(key, i);
        if (Py_TYPE(item) == &PyTuple_Type ? !detail::is_plain_tuple(item, 1) : !detail::is_plain_atom(item))
            return false;
    }
    return true;
}

// ---- dict lookups with a known hash (keyshelf) ----------------------------------

// `d[key]` borrowed, or nullptr (an exception set only if a comparison
// failed); `hash` must be hash(key). May run Python code (`__eq__` of a
// stored key with the same hash).
inline PyObject* dict_get_known_hash(PyObject* d, PyObject* key, Py_hash_t hash) noexcept {
    return _PyDict_GetItem_KnownHash(d, key, hash);
}

// `key in d` (1, 0, or -1 with an exception set); `hash` must be hash(key).
inline int dict_contains_known_hash(PyObject* d, PyObject* key, Py_hash_t hash) noexcept {
    return _PyDict_Contains_KnownHash(d, key, hash);
}

// ---- method lookup (keyshelf) ----------------------------------------------------

// `obj.<name>` as a method call resolves it, without making a bound method:
// returns 1 with `*method` the function found on the type (to be called with
// `obj` first), 0 with `*method` the attribute's value, or 0 with `*method`
// null and an exception set. `*method` must be null on entry. May run Python
// code (descriptors, __getattr__).
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) noexcept {
    return _PyObject_GetMethod(obj, name, method);
}

// ---- tracebacks -----------------------------------------------------------------

// Adds a traceback entry (a frame of a synthetic code object) to the
// exception being raised.
inline void add_traceback(const char* funcname, const char* filename, int line) noexcept {
    _PyTraceback_Add(funcname, filename, line);
}

}  // namespace vk::py311
