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
    str_keys,       // a dict tells whether every key it holds is an exact str
    type_version,   // type version tags identify an unmodified class
    // instance dicts, key tables, list storage, lookups with a known hash
    managed_dict,     // an instance's dict sits in the slot before the object
    str_table,        // a dict's own key table of str keys, read and written by position
    list_storage,     // a list's item array, its capacity and how the base list grows it
    known_hash,       // dict lookups, membership tests and stores with a hash computed beforehand
    dict_entries,     // a dict's entries read by position, and the position of a key found by identity
    // hashes of plain keys, method lookup
    hash_known,        // hash_known agrees with PyObject_Hash (int, str, tuple keys)
    method_lookup,     // get_method agrees with PyObject_GetAttr
    // attributes kept inline
    instance_values,  // inline attribute values of plain-class instances
    // profiling and the call path
    profile_hook,     // a thread's profile function, and whether it may be called now
    frame_links,      // the back link of a frame made by PyFrame_New
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

// A shortcut that relies on `p` may run: shortcuts are on and the probe
// passed.
inline bool usable(Probe p) noexcept { return shortcuts_on() && passed(p); }

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

// ---- hashes of plain keys ---------------------------------------------------------
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

// Is `key` an exact int, bool, float or str, or None: a value whose hash,
// comparison with another such value, and str() are the interpreter's own
// code? Type checks only.
inline bool is_plain_atom(PyObject* key) noexcept {
    PyTypeObject* t = Py_TYPE(key);
    return t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyBool_Type || key == Py_None;
}

namespace detail {
bool is_plain_tuple(PyObject* key, int depth) noexcept;
}  // namespace detail

// Is `key` plain (hash_known would answer)? Type checks only, no probe: it
// stands here so that both share one definition of a plain key. The common
// keys, atoms and flat tuples of atoms, are checked without a call.
inline bool is_plain_key(PyObject* key) noexcept {
    if (Py_TYPE(key) != &PyTuple_Type) return is_plain_atom(key);
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(key); i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(key, i);
        if (Py_TYPE(item) == &PyTuple_Type ? !detail::is_plain_tuple(item, 1) : !is_plain_atom(item))
            return false;
    }
    return true;
}

// ---- dicts with a known hash (Probe::known_hash) ---------------------------------

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

// `d[key] = value` for an exact dict, with `hash` = hash(key) computed
// beforehand.
inline int dict_set_known_hash(PyObject* d, PyObject* key, PyObject* value, Py_hash_t hash) noexcept {
    return _PyDict_SetItem_KnownHash(d, key, value, hash);
}

// ---- method lookup ----------------------------------------------------------------

// `obj.<name>` as a method call resolves it, without making a bound method:
// returns 1 with `*method` the function found on the type (to be called with
// `obj` first), 0 with `*method` the attribute's value, or 0 with `*method`
// null and an exception set. `*method` must be null on entry. May run Python
// code (descriptors, __getattr__).
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) noexcept {
    return _PyObject_GetMethod(obj, name, method);
}

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

// ==== instance dicts, key tables and list storage ====================================

// ---- instance dicts (Probe::managed_dict) -------------------------------------
//
// An instance of a heap class keeps its attributes either inline (a values
// array in the slot four words before the object) or in a dict (the slot
// three words before it) once one was asked for; a list subclass always
// uses the dict.

// The instance dict of `o` (borrowed) when its class keeps a managed dict and
// the dict exists; nullptr otherwise (no dict yet, or attributes inline).
inline PyObject* managed_dict(PyObject* o) noexcept {
    if (!PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_MANAGED_DICT)) return nullptr;
    if (reinterpret_cast<void* const*>(o)[-4]) return nullptr;
    return reinterpret_cast<PyObject* const*>(o)[-3];
}

// Gives `o`, a new instance without attributes (neither inline nor in a
// dict), the instance dict `d`; the reference is stolen. False (and `d`
// released) when `o` is not in that state.
inline bool install_managed_dict(PyObject* o, PyObject* d) noexcept {
    if (!PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_MANAGED_DICT) || reinterpret_cast<void* const*>(o)[-4] ||
        reinterpret_cast<PyObject* const*>(o)[-3]) {
        Py_DECREF(d);
        return false;
    }
    reinterpret_cast<PyObject**>(o)[-3] = d;
    return true;
}

// ---- dict key tables (Probe::str_table) -----------------------------------------
//
// A dict made by copying a dict of `n` str keys owns a table with those keys
// in insertion order. While nobody but its creator has seen it, its values
// may be replaced by position instead of by `n` lookups. Writing in place
// bumps no version tag and does not track the dict for the collector: the
// caller tracks it once it holds containers.

namespace detail {
struct KeyTable {  // the head of a dict's key table
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // 0 general, 1 str keys, 2 split
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[];
};
struct StrEntry {  // an entry of a table whose keys are all str
    PyObject* key;
    PyObject* value;
};
inline KeyTable* key_table(PyObject* d) noexcept {
    return reinterpret_cast<KeyTable*>(reinterpret_cast<PyDictObject*>(d)->ma_keys);
}
inline StrEntry* str_entries(PyObject* d) noexcept {
    KeyTable* keys = key_table(d);
    return reinterpret_cast<StrEntry*>(keys->indices + ((size_t)1 << keys->log2_index_bytes));
}
}  // namespace detail

// ---- exact str keys (Probe::str_keys) ------------------------------------------

// Does every key of the dict `d` (of any dict type) stand in a key table kept
// only for exact str keys, so that looking an exact str up in it compares
// strings and runs no Python code? The interpreter keeps such a table (or a
// split table, whose keys are exact strs too) until the first key of another
// type, a str subclass included, is inserted; that insertion changes the
// version tag, so an answer remembered with the tag stays right.
inline bool str_keys_only(PyObject* d) noexcept {
    return detail::key_table(d)->kind != 0;
}

// ---- a dict's entries by position (Probe::dict_entries) ---------------------------
//
// A dict whose keys are not all strs keeps its entries in one table, in
// insertion order, each with the key's hash; a deleted entry keeps its place
// with no key and no value, and the table is only ever rebuilt on growth or
// on a copy, so a key's position holds until the dict changes shape. Reading
// an entry by position is how a walk that remembers positions finds a value
// again without hashing the key or probing the index.

namespace detail {
struct GeneralEntry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
};
inline GeneralEntry* general_entries(PyObject* d) noexcept {
    KeyTable* keys = key_table(d);
    return reinterpret_cast<GeneralEntry*>(keys->indices + ((size_t)1 << keys->log2_index_bytes));
}
}  // namespace detail

// Does the dict `d` (of any dict type) keep such a table?
inline bool has_general_entries(PyObject* d) noexcept {
    return !reinterpret_cast<PyDictObject*>(d)->ma_values && detail::key_table(d)->kind == 0;
}

// The number of entry positions in use (deleted ones included).
inline Py_ssize_t entry_count(PyObject* d) noexcept { return detail::key_table(d)->nentries; }

// The key and value at entry position `i` < entry_count(d) (borrowed;
// nullptr for a deleted entry).
inline PyObject* entry_key(PyObject* d, Py_ssize_t i) noexcept { return detail::general_entries(d)[i].key; }
inline PyObject* entry_value(PyObject* d, Py_ssize_t i) noexcept { return detail::general_entries(d)[i].value; }

// The position of the entry that holds `key` itself, found along the probe
// sequence of `hash` (= hash(key)) as a lookup walks it, comparing nothing:
// -1 when the walk ends before it (the key is not in the dict), -2 when it
// meets an entry with the same hash and another key first (only a
// comparison could tell). Runs no code; `d` must have general entries.
Py_ssize_t find_entry(PyObject* d, PyObject* key, Py_hash_t hash) noexcept;

// Is `d` an exact dict with a key table of its own holding exactly `n` str
// keys, in entries 0 to n-1 with no deleted entry between them?
inline bool owns_str_table(PyObject* d, Py_ssize_t n) noexcept {
    if (!PyDict_CheckExact(d)) return false;
    auto* dict = reinterpret_cast<PyDictObject*>(d);
    const detail::KeyTable* keys = detail::key_table(d);
    return !dict->ma_values && dict->ma_used == n && keys->kind == 1 && keys->nentries == n && keys->refcnt == 1;
}

// The key and the value of entry `i` of a dict for which owns_str_table held
// (borrowed).
inline PyObject* str_table_key(PyObject* d, Py_ssize_t i) noexcept { return detail::str_entries(d)[i].key; }
inline PyObject* str_table_value(PyObject* d, Py_ssize_t i) noexcept { return detail::str_entries(d)[i].value; }

// Replaces the value of entry `i` (the reference to `value` is stolen, the
// old value released).
inline void str_table_set(PyObject* d, Py_ssize_t i, PyObject* value) noexcept {
    detail::StrEntry& e = detail::str_entries(d)[i];
    PyObject* old = e.value;
    e.value = value;
    Py_XDECREF(old);
}

// ---- list storage (Probe::list_storage) ---------------------------------------

// The item array of a list (its size is Py_SIZE; its capacity below).
inline PyObject** list_items(PyObject* l) noexcept { return reinterpret_cast<PyListObject*>(l)->ob_item; }
inline Py_ssize_t list_capacity(PyObject* l) noexcept { return reinterpret_cast<PyListObject*>(l)->allocated; }

// Room for `n` more items in `l` (its size unchanged), grown as the base list
// grows when it is extended by `n` items: 0, or -1 with MemoryError set.
int list_reserve(PyObject* l, Py_ssize_t n) noexcept;

// Moves the items of `from` (a list that only the caller holds) into the
// empty list `to`, leaving `from` empty; `to` then has the capacity that the
// base list's extension of an empty list by as many items leaves.
void list_adopt(PyObject* to, PyObject* from) noexcept;

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

// A trace or profile function is set on thread `ts` and would be told now
// of a call of a Python function (none of them is running).
inline bool tracing_pending(PyThreadState* ts) noexcept { return ts->cframe->use_tracing != 0; }

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

// How many more nested calls thread `ts` may make before the next one raises
// RecursionError.
inline int recursion_remaining(PyThreadState* ts) noexcept { return ts->recursion_remaining; }

}  // namespace vk::py311
