// Module state of varnokpy._rowsieve: the interned names, the private state
// of an instance and its caches (one list), the function objects of the
// class body, the constants, and the small helpers that every part uses.
#pragma once

#include <initializer_list>
#include <iterator>

#include "frame.hpp"

namespace {

using namespace vk::prelude;

const char* const kBuiltins[] = {"staticmethod", "super", "zip", "KeyError", "ValueError", "IndexError", "max",
                                 "enumerate", "TypeError", "AttributeError", nullptr};
enum Builtin { B_staticmethod, B_super, B_zip, B_KeyError, B_ValueError, B_IndexError, B_max, B_enumerate,
               B_TypeError, B_AttributeError };

// The exec steps that fill the state below (module.hpp runs them in order).
int module_constants(vk::ModuleFrame&) noexcept;
int module_body(vk::ModuleFrame&) noexcept;

const vk::ModuleInfo kInfo = {
    "_rowsieve", "varnokpy._rowsieve", "src/varnokpy/_rowsieve", nullptr, kBuiltins, true,
    module_constants, nullptr, module_body,
};

// The module's frame, defined by VARNOK_MODULE in _rowsieve.cpp.
extern vk::ModuleFrame& frame;

inline PyObject* builtin(Builtin b) noexcept { return frame.builtin(b); }

// Interned attribute and method names.
struct Names {
    PyObject *wild, *scalar, *tuplelen;                        // the wildcard and the mode
    PyObject *index, *contents, *prev, *next, *prevc, *nextc;  // the caches (kCaches)
    PyObject *scalardelcheck, *scalaraddcheck, *makeindex, *repl, *clean, *extend, *append, *select, *contains;
    PyObject *get, *itemgetter, *operator_name, *rowsieve_name;
} N;

// The caches of an instance, in the order in which clean() rebinds them:
// each restarts as a new empty dict, except the membership map, which
// restarts as None. Everything that names the caches (clean's steps and its
// shortcut, the instances made in C, copy support) walks this one list.
struct Cache {
    PyObject** name;
    const char* text;
    bool is_dict;
};
constexpr Cache kCaches[] = {
    {&N.index, "_rowsieve__index", true},  {&N.contents, "_rowsieve__contents", false},
    {&N.prev, "_rowsieve__prev", true},    {&N.next, "_rowsieve__next", true},
    {&N.prevc, "_rowsieve__prevc", true},  {&N.nextc, "_rowsieve__nextc", true},
};
constexpr int kCacheCount = static_cast<int>(std::size(kCaches));

// The private attributes of an instance in the order construction sets them:
// the wildcard (`__init__`), the mode (`__scalardelcheck`), then the caches
// (`clean`, from `extend`) in kCaches order. The one list of an instance's
// state: the guards memoize reads per slot, and a dict made in C holds the
// slots by position.
enum StateSlot {
    T_wild, T_scalar, T_tuplelen,
    T_index, T_contents, T_prev, T_next, T_prevc, T_nextc,
    T_count,
    T_caches = T_index,
};
static_assert(T_count == T_caches + kCacheCount);
static_assert(kCaches[T_index - T_caches].name == &N.index && kCaches[T_contents - T_caches].name == &N.contents &&
                  kCaches[T_prev - T_caches].name == &N.prev && kCaches[T_next - T_caches].name == &N.next &&
                  kCaches[T_prevc - T_caches].name == &N.prevc && kCaches[T_nextc - T_caches].name == &N.nextc,
              "the cache slots follow kCaches");

inline PyObject* state_name(int slot) noexcept {
    switch (slot) {
        case T_wild: return N.wild;
        case T_scalar: return N.scalar;
        case T_tuplelen: return N.tuplelen;
        default: return *kCaches[slot - T_caches].name;
    }
}

vk::GlobalName g_operator("operator"), g_isstr("_isstr"), g_rowsieve("rowsieve");

// The function objects of the class body, as created at load: a call that a
// shortcut makes in C, or skips, carries the traceback entry that the call
// would have added. `field_texts` stands for the generator expression of
// `__repr__`.
struct Functions {
    PyObject *scalaraddcheck, *scalardelcheck, *clean, *extend, *append, *select, *contains, *makeindex,
        *field_texts;
} F;

// The methods that the class's code calls on `self`, one row each: the
// interned name the call goes through, its text, and the function of the
// class body that the call reaches unless something shadows it (recorded
// from the class at load; none for `__repl`, a staticmethod). A method's
// row index is its bit in the method sets that the guards check
// (native::own_methods), so the rows follow SelfCall.
enum SelfCall { C_clean, C_extend, C_append, C_select, C_contains, C_scalaraddcheck, C_scalardelcheck, C_makeindex,
                C_repl, C_count };
struct SelfCalled {
    PyObject** name;
    const char* text;
    PyObject** fn;
};
constexpr SelfCalled kSelfCalled[] = {
    {&N.clean, "clean", &F.clean},
    {&N.extend, "extend", &F.extend},
    {&N.append, "append", &F.append},
    {&N.select, "select", &F.select},
    {&N.contains, "__contains__", &F.contains},
    {&N.scalaraddcheck, "_rowsieve__scalaraddcheck", &F.scalaraddcheck},
    {&N.scalardelcheck, "_rowsieve__scalardelcheck", &F.scalardelcheck},
    {&N.makeindex, "_rowsieve__makeindex", &F.makeindex},
    {&N.repl, "_rowsieve__repl", nullptr},
};
static_assert(std::size(kSelfCalled) == C_count);
static_assert(kSelfCalled[C_clean].name == &N.clean && kSelfCalled[C_extend].name == &N.extend &&
                  kSelfCalled[C_append].name == &N.append && kSelfCalled[C_select].name == &N.select &&
                  kSelfCalled[C_contains].name == &N.contains &&
                  kSelfCalled[C_scalaraddcheck].name == &N.scalaraddcheck &&
                  kSelfCalled[C_scalardelcheck].name == &N.scalardelcheck &&
                  kSelfCalled[C_makeindex].name == &N.makeindex && kSelfCalled[C_repl].name == &N.repl,
              "the rows follow SelfCall");

// The bit of a self-called method in a method set.
constexpr unsigned method_bit(SelfCall c) noexcept { return 1u << c; }

// The base list's own operations, which the deletions and slices call on the
// instance (recorded at load).
struct ListMethods {
    PyObject *insert, *pop, *remove, *delitem, *getitem;
} B;

// `lambda x: x`, the key function of scalar mode, handed to `__makeindex`
// when that method is not this class's own.
PyObject* g_identity = nullptr;

constexpr Py_ssize_t kMaxPatternPositions = 32;  // positions a warm selection handles in C
constexpr Py_ssize_t kStackArgs = 16;            // select arguments copied on the stack for a nested query

PyObject* kStar = nullptr;  // "*", the default wildcard
PyObject* kEmptyTuple = nullptr;
PyObject* kHeaderFormat = nullptr;  // the table's first line, formatted with (count, tuple length)
PyObject* kFieldSeparator = nullptr;
PyObject* kRowOpen = nullptr;
PyObject* kRowClose = nullptr;
PyObject* kTableEnd = nullptr;
PyObject* kNothing = nullptr;  // ""

const char kMixMessage[] = "Cannot mix scalar and tuple values in a rowsieve";
const char kLengthMessage[] = "All tuples in a rowsieve must be the same length";
const char kDuplicateMessage[] = "Duplicate values in keyshelf";

int module_constants(vk::ModuleFrame&) noexcept {
    for (const Cache& c : kCaches)
        if (vk::intern_all({{c.name, c.text}}) < 0) return -1;
    for (const SelfCalled& m : kSelfCalled)
        if (vk::intern_all({{m.name, m.text}}) < 0) return -1;
    if (vk::intern_all({
            {&N.wild, "_rowsieve__wild"},
            {&N.scalar, "_rowsieve__scalar"},
            {&N.tuplelen, "_rowsieve__tuplelen"},
            {&N.get, "get"},
            {&N.itemgetter, "itemgetter"},
            {&N.operator_name, "operator"},
            {&N.rowsieve_name, "rowsieve"},
            {&kStar, "*"},
            {&kFieldSeparator, ", "},
            {&kRowOpen, " ( "},
            {&kRowClose, ")\n"},
            {&kTableEnd, ">"},
            {&kNothing, ""},
            {&kHeaderFormat, "<varnok.rowsieve (%d tuples, %d values each):\n"},
        }) < 0)
        return -1;
    if (!kEmptyTuple && !(kEmptyTuple = PyTuple_New(0))) return -1;
    for (vk::GlobalName* g : {&g_operator, &g_isstr, &g_rowsieve})
        if (g->init() < 0) return -1;
    return 0;
}

// ============================================================================
// Helpers of every part
// ============================================================================

// `type(x) is not tuple`: only an exact tuple counts as a tuple.
inline bool is_scalar_item(PyObject* x) noexcept { return !PyTuple_CheckExact(x); }

// Does the pending exception match one of the builtins resolved at load?
inline bool error_is(Builtin b) noexcept { return PyErr_ExceptionMatches(builtin(b)); }

// A new one-item list `[x]`.
Ref list_of(PyObject* x) noexcept {
    Ref l = Ref::steal(PyList_New(1));
    if (!l) return Ref();
    PyList_SET_ITEM(l.get(), 0, Py_NewRef(x));
    return l;
}

Ref tuple_of(std::initializer_list<PyObject*> items) noexcept {
    Ref t = Ref::steal(PyTuple_New((Py_ssize_t)items.size()));
    if (!t) return Ref();
    Py_ssize_t i = 0;
    for (PyObject* o : items) {
        if (!o) return Ref();
        PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    }
    return t;
}

void set_key_error(PyObject* key) noexcept {
    // KeyError(key) even when the key is a tuple, as a dict lookup raises it.
    Ref args = tuple_of({key});
    if (args) PyErr_SetObject(builtin(B_KeyError), args.get());
}

// Calls `self.<name>(args...)` through the instance and discards the result.
// CAUTION: may run arbitrary Python code
inline int call_self(PyObject* name, std::initializer_list<PyObject*> args) noexcept {
    Ref r = vk::call_method(name, args);
    return r ? 0 : -1;
}

// `rowsieve(...)` through the module global, as the class body's own code
// would write it.
// CAUTION: may run arbitrary Python code
Ref new_rowsieve(std::initializer_list<PyObject*> args) noexcept {
    Ref cls = g_rowsieve.get(frame);
    if (!cls) return Ref();
    return vk::call(cls.get(), args);
}

// The value that the instance dict itself holds under `name`, read without
// any attribute hook; nullptr when there is none. Used only as a marker of
// which cache generation a build started from.
Ref dict_value(PyObject* self, PyObject* name) noexcept {
    Ref d = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!d || !PyDict_Check(d.get())) {
        PyErr_Clear();
        return Ref();
    }
    PyObject* v = PyDict_GetItemWithError(d.get(), name);
    if (!v) PyErr_Clear();
    return Ref::borrow(v);
}

// `mapping[key]`: 1 found (*out set), 0 missing (KeyError, or IndexError when
// `index_too`), -1 error.
// CAUTION: may run arbitrary Python code
int lookup(PyObject* mapping, PyObject* key, Ref* out, bool index_too) noexcept {
    if (PyDict_CheckExact(mapping)) {
        Ref keep = Ref::borrow(mapping);
        if (PyObject* v = PyDict_GetItemWithError(mapping, key)) {
            *out = Ref::borrow(v);
            return 1;
        }
        if (!PyErr_Occurred()) return 0;
    } else {
        *out = Ref::steal(PyObject_GetItem(mapping, key));
        if (*out) return 1;
    }
    if (error_is(B_KeyError) || (index_too && error_is(B_IndexError))) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// `map.get(val, False)`
// CAUTION: may run arbitrary Python code
PyObject* map_get(PyObject* map, PyObject* val) noexcept {
    if (PyDict_CheckExact(map)) {
        Ref keep = Ref::borrow(map);
        if (PyObject* v = PyDict_GetItemWithError(map, val)) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_FALSE;
    }
    return vk::call_method(N.get, {map, val, Py_False}).release();
}

// The four neighbour relations of navigation, and their caches.
enum class Nav { next, prev, nextc, prevc };

inline StateSlot nav_slot(Nav which) noexcept {
    constexpr StateSlot slots[] = {T_next, T_prev, T_nextc, T_prevc};
    return slots[static_cast<int>(which)];
}

inline PyObject* nav_name(Nav which) noexcept { return state_name(nav_slot(which)); }

// `cache[v]`, KeyError(v) when missing.
// CAUTION: may run arbitrary Python code
PyObject* neighbour_of(PyObject* cache, PyObject* v) noexcept {
    if (PyDict_CheckExact(cache)) {
        Ref keep = Ref::borrow(cache);
        if (PyObject* r = PyDict_GetItemWithError(cache, v)) return Py_NewRef(r);
        if (!PyErr_Occurred()) set_key_error(v);
        return nullptr;
    }
    return PyObject_GetItem(cache, v);
}

// A position pattern (a tuple of ascending field positions) and its hash.
struct Pattern {
    Ref tuple;            // empty when it could not be made (MemoryError set)
    Py_hash_t hash = -1;  // -1: not computed
};

// The patterns over the first fields are made on first use and kept for the
// process, each with its hash, so that the common queries neither build a
// pattern nor hash one. Indexed by the set of positions as bits.
constexpr Py_ssize_t kKeptPatternFields = 10;
PyObject* g_kept_patterns[1 << kKeptPatternFields] = {};
Py_hash_t g_kept_pattern_hashes[1 << kKeptPatternFields] = {};

// The pattern `(positions[0], ..., positions[n - 1])`, ascending.
Pattern pattern_of(const Py_ssize_t* positions, Py_ssize_t n) noexcept {
    unsigned bits = 0;
    bool kept = n > 0;
    for (Py_ssize_t i = 0; i < n && kept; ++i) {
        kept = positions[i] < kKeptPatternFields;
        if (kept) bits |= 1u << positions[i];
    }
    if (kept && g_kept_patterns[bits]) return {Ref::borrow(g_kept_patterns[bits]), g_kept_pattern_hashes[bits]};
    Pattern p{Ref::steal(PyTuple_New(n))};
    if (!p.tuple) return p;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* position = PyLong_FromSsize_t(positions[i]);
        if (!position) return Pattern{};
        PyTuple_SET_ITEM(p.tuple.get(), i, position);
    }
    if (kept) {
        // A tuple of ints: hashing it runs no code and cannot fail.
        p.hash = PyObject_Hash(p.tuple.get());
        g_kept_patterns[bits] = p.tuple.dup().release();
        g_kept_pattern_hashes[bits] = p.hash;
    }
    return p;
}

}  // namespace
