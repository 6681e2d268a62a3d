// varnokpy._rowsieve: the `rowsieve` class, a list of equal-length tuples (or
// of scalars) that answers pattern queries through lazily built indexes.
//
// Cache lifecycle. An instance keeps its derived data in ordinary instance
// attributes under the class-private names: the index cache, the membership
// map and four navigation caches. Each cache is either empty or describes the
// list as it was when the cache was built; it is never updated in place.
// `clean()` rebinds fresh empty caches (it never clears the old ones: a
// caller may hold them). Additions check, then clean, then change; deletions
// change, then reset the mode of an emptied list, then clean.
//
// Re-entrancy. Members' `__hash__`, `__eq__`, `__len__` and `__str__` run
// arbitrary code that may mutate this very list or call `clean()`. Every walk
// over the list re-reads its size and holds a strong reference to the member
// it works on; new caches are built in local objects and published with one
// final store. A build also notes which cache object the instance held when
// it started (read straight from the instance dict, so no attribute hook
// sees it): when a re-entrant `clean()` replaced it meanwhile, the build
// answers the call that started it but is not published, so a stored cache
// never mixes two states of the list.
//
// Dispatch. Calls that the class makes on `self` (`self.clean()`,
// `self.extend(...)`, the private checks, `self.select(...)`) go through the
// instance, so subclass overrides and instance attributes are honoured. The
// list change itself is the base `list` operation.
//
// Two paths. This file holds the steps of each method, in their order; every
// method and every call on `self` first tries the shortcut of
// _rowsieve_native.hpp, which answers in C when nothing could tell the
// difference, and runs the steps below when it is not taken.
#include "frame.hpp"

#include "cpython311.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

using vk::Ref;
using vk::Shortcut;

namespace {

// ============================================================================
// Module state
// ============================================================================

const char* const kBuiltins[] = {"staticmethod", "super", "zip", "KeyError", "ValueError", "IndexError", "max",
                                 "enumerate", "TypeError", "AttributeError", nullptr};
enum Builtin { B_staticmethod, B_super, B_zip, B_KeyError, B_ValueError, B_IndexError, B_max, B_enumerate,
               B_TypeError, B_AttributeError };

int module_constants(vk::ModuleFrame&) noexcept;
int module_body(vk::ModuleFrame&) noexcept;

const vk::ModuleInfo kInfo = {
    "_rowsieve", "varnokpy._rowsieve", "src/varnokpy/_rowsieve", nullptr, kBuiltins, true,
    module_constants, nullptr, module_body,
};

}  // namespace

VARNOK_MODULE(_rowsieve, kInfo)

namespace {

vk::ModuleFrame& frame = _rowsieve_frame;

PyObject* builtin(Builtin b) noexcept { return frame.builtin(b); }

// Interned attribute and method names.
struct Names {
    PyObject *wild, *scalar, *tuplelen, *index, *contents, *prev, *next, *prevc, *nextc;
    PyObject *scalardelcheck, *scalaraddcheck, *makeindex, *repl, *clean, *extend, *append, *select, *contains;
    PyObject *get, *itemgetter, *isinstance, *str, *isstr_name, *operator_name, *rowsieve_name, *co_consts;
} N;

vk::GlobalName g_operator("operator"), g_isstr("_isstr"), g_rowsieve("rowsieve");

// The function objects of the class body, as created at load: a shortcut
// that stands in for a call of one of them adds the traceback entry that the
// call would have added. `field_texts` stands for the generator expression
// of `__repr__`.
struct Functions {
    PyObject *scalaraddcheck, *scalardelcheck, *clean, *extend, *append, *select, *contains, *makeindex,
        *field_texts;
} F;

// `lambda x: x`, the key function of scalar mode, handed to `__makeindex`
// when that method is not this class's own.
PyObject* g_identity = nullptr;

constexpr Py_ssize_t kMaxPatternPositions = 32;  // positions a warm selection handles in C
constexpr Py_ssize_t kStackArgs = 16;  // select arguments copied on the stack for a nested query

PyObject* kStar = nullptr;         // "*", the default wildcard
PyObject* kEmptyTuple = nullptr;
PyObject* kHeaderFormat = nullptr;  // the table's first line
PyObject* kFieldSeparator = nullptr;
PyObject* kRowOpen = nullptr;
PyObject* kRowClose = nullptr;
PyObject* kTableEnd = nullptr;
PyObject* kNothing = nullptr;       // ""

const char kMixMessage[] = "Cannot mix scalar and tuple values in a rowsieve";
const char kLengthMessage[] = "All tuples in a rowsieve must be the same length";
const char kDuplicateMessage[] = "Duplicate values in keyshelf";

int module_constants(vk::ModuleFrame&) noexcept {
    if (vk::intern_all({
        {&N.wild, "_rowsieve__wild"},
        {&N.scalar, "_rowsieve__scalar"},
        {&N.tuplelen, "_rowsieve__tuplelen"},
        {&N.index, "_rowsieve__index"},
        {&N.contents, "_rowsieve__contents"},
        {&N.prev, "_rowsieve__prev"},
        {&N.next, "_rowsieve__next"},
        {&N.prevc, "_rowsieve__prevc"},
        {&N.nextc, "_rowsieve__nextc"},
        {&N.scalardelcheck, "_rowsieve__scalardelcheck"},
        {&N.scalaraddcheck, "_rowsieve__scalaraddcheck"},
        {&N.makeindex, "_rowsieve__makeindex"},
        {&N.repl, "_rowsieve__repl"},
        {&N.clean, "clean"},
        {&N.extend, "extend"},
        {&N.append, "append"},
        {&N.select, "select"},
        {&N.contains, "__contains__"},
        {&N.get, "get"},
        {&N.itemgetter, "itemgetter"},
        {&N.isinstance, "isinstance"},
        {&N.str, "str"},
        {&N.isstr_name, "_isstr"},
        {&N.operator_name, "operator"},
        {&N.rowsieve_name, "rowsieve"},
        {&N.co_consts, "co_consts"},
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
// Helpers of both paths
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

// Calls `self.<name>(args...)` and discards the result.
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

enum class Nav { next, prev, nextc, prevc };

inline PyObject* nav_name(Nav which) noexcept {
    PyObject* const names[] = {N.next, N.prev, N.nextc, N.prevc};
    return names[static_cast<int>(which)];
}

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

// How often each shortcut was taken (when VARNOK_COUNT_SHORTCUTS is set).
vk::ShortcutCounter count_nothing_expands("nothing_expands"), count_isstr("isstr"), count_unexpanded("unexpanded"), count_select("select"),
    count_alternative("alternative"), count_gathered("gathered"), count_itemgetter("itemgetter"),
    count_index_build("index_build"), count_bucket("bucket"), count_new_empty("new_empty"),
    count_append("append"), count_extend("extend"), count_extend_self("extend_self"), count_clean("clean"),
    count_clean_self("clean_self"), count_addcheck("scalaraddcheck"), count_addcheck_one("scalaraddcheck_one"),
    count_delcheck("scalardelcheck"), count_delcheck_self("scalardelcheck_self"), count_contains("contains"),
    count_contains_again("contains_again"), count_navigate("navigate"), count_repr("repr"),
    count_extend_result("extend_result");

// A position pattern (a tuple of ascending field positions) and its hash.
struct Pattern {
    Ref tuple;               // empty when it could not be made (MemoryError set)
    Py_hash_t hash = -1;     // -1: not computed
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

// The arguments of a select call: an array (the caller's tuple, or a nested
// alternative's arguments on the stack), and the tuple that the steps hand
// on, made when first needed.
struct SelectArgs {
    PyObject* const* items;
    Py_ssize_t n;
    Ref tuple = Ref();

    PyObject* operator[](Py_ssize_t k) const noexcept { return items[k]; }
    // The arguments as a tuple (nullptr with MemoryError set).
    PyObject* as_tuple() noexcept {
        if (!tuple) {
            tuple = Ref::steal(PyTuple_New(n));
            if (!tuple) return nullptr;
            for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(items[i]));
        }
        return tuple.get();
    }
};

// Steps that the shortcuts call back into.
namespace native {
struct KeyFn;
struct BucketMaker;
}
int index_member(PyObject* index, native::BucketMaker& buckets, native::KeyFn& key, PyObject* x) noexcept;
PyObject* select_impl(PyObject* self, SelectArgs& vals) noexcept;
int extend_items(PyObject* self, PyObject* items, bool owned) noexcept;
Ref no_match() noexcept;

}  // namespace

namespace {
#include "_rowsieve_native.hpp"
}  // namespace

namespace {

// ============================================================================
// Calls on self and construction, each through its shortcut
// ============================================================================

// `self.clean()`
// CAUTION: may run arbitrary Python code
int clean_self(PyObject* self) noexcept {
    if (Shortcut s = count_clean_self(native::call_clean(self)); s.taken()) return s.rc();
    return call_self(N.clean, {self});
}

// `self.__scalardelcheck()`
// CAUTION: may run arbitrary Python code
int delcheck_self(PyObject* self) noexcept {
    if (Shortcut s = count_delcheck_self(native::call_scalardelcheck(self)); s.taken()) return s.rc();
    return call_self(N.scalardelcheck, {self});
}

// `self.__scalaraddcheck([x])`
// CAUTION: may run arbitrary Python code
int addcheck_one(PyObject* self, PyObject* x) noexcept {
    if (Shortcut s = count_addcheck_one(native::call_scalaraddcheck_one(self, x)); s.taken()) return s.rc();
    Ref batch = list_of(x);
    if (!batch) return -1;
    return call_self(N.scalaraddcheck, {self, batch.get()});
}

// `self.extend(data)`
// CAUTION: may run arbitrary Python code
int extend_self(PyObject* self, PyObject* data) noexcept {
    if (Shortcut s = count_extend_self(native::call_extend(self, data)); s.taken()) return s.rc();
    return call_self(N.extend, {self, data});
}

// A new empty result, `rowsieve([])`.
// CAUTION: may run arbitrary Python code
Ref no_match() noexcept {
    if (Shortcut s = count_new_empty(native::new_empty()); s.taken()) return s.take();
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty) return Ref();
    return new_rowsieve({empty.get()});
}

// The base list's own operation on `self`, which must be a list.
// CAUTION: may run arbitrary Python code (the base list's slice assignment
// releases nothing here, but iterates `items` when it is not a list)
int base_append(PyObject* self, PyObject* x) noexcept {
    if (!PyList_Check(self)) {
        PyErr_SetString(builtin(B_TypeError), "descriptor 'append' requires a 'list' object");
        return -1;
    }
    return PyList_Append(self, x);
}

int base_extend(PyObject* self, PyObject* items) noexcept {
    if (!PyList_Check(self)) {
        PyErr_SetString(builtin(B_TypeError), "descriptor 'extend' requires a 'list' object");
        return -1;
    }
    // Slice assignment copies first when `items` is self.
    const Py_ssize_t n = PyList_GET_SIZE(self);
    return PyList_SetSlice(self, n, n, items);
}

// ============================================================================
// Mode checks and clean (construction and additions)
// ============================================================================

// The steps of the mode check; an IndexError anywhere ends the check quietly.
// CAUTION: may run arbitrary Python code
int scalaraddcheck_steps(PyObject* self, PyObject* x) noexcept {
    // 1. Decide the mode from the first item when it is undetermined.
    Ref scalar = vk::getattr(self, N.scalar);
    if (!scalar) return -1;
    if (scalar.get() == Py_None) {
        Ref first = Ref::steal(PySequence_GetItem(x, 0));
        if (!first) return -1;
        if (vk::setattr(self, N.scalar, is_scalar_item(first.get()) ? Py_True : Py_False) < 0) return -1;
    }
    // 2. Every item must agree with the mode.
    scalar = vk::getattr(self, N.scalar);
    if (!scalar) return -1;
    {
        Ref it = Ref::steal(PyObject_GetIter(x));
        if (!it) return -1;
        while (Ref y = Ref::steal(PyIter_Next(it.get()))) {
            PyObject* kind = is_scalar_item(y.get()) ? Py_True : Py_False;
            int differs = PyObject_RichCompareBool(kind, scalar.get(), Py_NE);
            if (differs < 0) return -1;
            if (differs) {
                PyErr_SetString(builtin(B_ValueError), kMixMessage);
                return -1;
            }
        }
        if (PyErr_Occurred()) return -1;
    }
    // 3. Scalar mode checks nothing more.
    int truth = PyObject_IsTrue(scalar.get());
    if (truth < 0) return -1;
    if (truth) return 0;
    // 4. Tuple mode: every item has the recorded length.
    Ref tuplelen = vk::getattr(self, N.tuplelen);
    if (!tuplelen) return -1;
    if (tuplelen.get() == Py_None) {
        Ref first = Ref::steal(PySequence_GetItem(x, 0));
        if (!first) return -1;
        Py_ssize_t n = PyObject_Length(first.get());
        if (n < 0) return -1;
        Ref len_obj = Ref::steal(PyLong_FromSsize_t(n));
        if (!len_obj || vk::setattr(self, N.tuplelen, len_obj.get()) < 0) return -1;
        tuplelen = vk::getattr(self, N.tuplelen);
        if (!tuplelen) return -1;
    }
    Ref it = Ref::steal(PyObject_GetIter(x));
    if (!it) return -1;
    while (Ref y = Ref::steal(PyIter_Next(it.get()))) {
        Py_ssize_t n = PyObject_Length(y.get());
        if (n < 0) return -1;
        Ref len_obj = Ref::steal(PyLong_FromSsize_t(n));
        if (!len_obj) return -1;
        int differs = PyObject_RichCompareBool(len_obj.get(), tuplelen.get(), Py_NE);
        if (differs < 0) return -1;
        if (differs) {
            PyErr_SetString(builtin(B_ValueError), kLengthMessage);
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// __scalaraddcheck(self, x)
PyObject* rowsieve_scalaraddcheck(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *x = a[1];
    if (Shortcut s = count_addcheck(native::scalaraddcheck(self, x)); s.taken()) return s.release();
    if (scalaraddcheck_steps(self, x) < 0) {
        if (!error_is(B_IndexError)) return nullptr;
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

// __scalardelcheck(self)
PyObject* rowsieve_scalardelcheck(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    if (Shortcut s = count_delcheck(native::scalardelcheck(self)); s.taken()) return s.release();
    int truth = PyObject_IsTrue(self);
    if (truth < 0) return nullptr;
    if (!truth) {
        if (vk::setattr(self, N.scalar, Py_None) < 0 || vk::setattr(self, N.tuplelen, Py_None) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// clean(self)
PyObject* rowsieve_clean(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    if (Shortcut s = count_clean(native::clean(self)); s.taken()) return s.release();
    PyObject* const order[] = {N.index, N.contents, N.prev, N.next, N.prevc, N.nextc};
    for (PyObject* name : order) {
        if (name == N.contents) {
            if (vk::setattr(self, name, Py_None) < 0) return nullptr;
            continue;
        }
        Ref d = Ref::steal(PyDict_New());
        if (!d || vk::setattr(self, name, d.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// extend(self, L) once `L` is the list `items`. `owned`: `items` is a
// temporary list that only the caller holds.
// CAUTION: may run arbitrary Python code
int extend_items(PyObject* self, PyObject* items, bool owned) noexcept {
    if (Shortcut s = count_extend(native::extend(self, items, owned)); s.taken()) return s.rc();
    if (call_self(N.scalaraddcheck, {self, items}) < 0) return -1;
    if (clean_self(self) < 0) return -1;
    return base_extend(self, items);
}

// __init__(self, data=[], wild='*')
PyObject* rowsieve_init(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *data = a[1], *wild = a[2];
    if (!PyList_Check(self)) {
        PyErr_Format(builtin(B_TypeError), "descriptor '__init__' requires a 'list' object but received a '%s'",
                     Py_TYPE(self)->tp_name);
        return nullptr;
    }
    // 1. The base list, initialised with no arguments, is empty.
    if (PyList_Type.tp_init(self, kEmptyTuple, nullptr) < 0) return nullptr;
    // 2. The wildcard.
    if (vk::setattr(self, N.wild, wild) < 0) return nullptr;
    // 3. The mode of an empty list: undetermined.
    if (delcheck_self(self) < 0) return nullptr;
    // 4. The members.
    if (extend_self(self, data) < 0) return nullptr;
    Py_RETURN_NONE;
}

// append(self, x)
PyObject* rowsieve_append(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *x = a[1];
    if (Shortcut s = count_append(native::append(self, x)); s.taken()) return s.release();
    if (addcheck_one(self, x) < 0) return nullptr;
    if (clean_self(self) < 0) return nullptr;
    if (base_append(self, x) < 0) return nullptr;
    Py_RETURN_NONE;
}

// extend(self, L)
PyObject* rowsieve_extend(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    Ref items = Ref::borrow(a[1]);
    bool owned = false;
    if (!PyList_Check(items.get())) {
        items = Ref::steal(PySequence_List(items.get()));
        if (!items) return nullptr;
        owned = true;
    }
    if (extend_items(self, items.get(), owned) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ============================================================================
// Index building
// ============================================================================

// Iterates the members as `for x in self` does.
class Members {
public:
    // CAUTION: may run arbitrary Python code
    explicit Members(PyObject* self) noexcept : self_(self), direct_(native::iterates_as_list(self)) {
        if (!direct_) it_ = Ref::steal(PyObject_GetIter(self));
    }
    bool ok() const noexcept { return direct_ || it_; }
    // The next member, or nullptr (with an exception set on failure).
    // CAUTION: may run arbitrary Python code
    Ref next() noexcept {
        if (direct_) {
            if (i_ >= PyList_GET_SIZE(self_)) return Ref();
            return Ref::borrow(PyList_GET_ITEM(self_, i_++));
        }
        return Ref::steal(PyIter_Next(it_.get()));
    }

private:
    PyObject* self_;
    bool direct_;
    Py_ssize_t i_ = 0;
    Ref it_;
};

// `rowsieve([x])`, a new bucket.
// CAUTION: may run arbitrary Python code
Ref new_bucket(native::BucketMaker& buckets, PyObject* x) noexcept {
    if (Shortcut s = buckets.create(x); s.taken()) return s.take();
    Ref batch = list_of(x);
    if (!batch) return Ref();
    return new_rowsieve({batch.get()});
}

// `bucket.append(x)`
// CAUTION: may run arbitrary Python code
int bucket_append(native::BucketMaker& buckets, PyObject* bucket, PyObject* x) noexcept {
    if (Shortcut s = buckets.append(bucket, x); s.taken()) return s.rc();
    return call_self(N.append, {bucket, x});
}

// One member into a field index: its key, then its bucket.
// CAUTION: may run arbitrary Python code
int index_member(PyObject* index, native::BucketMaker& buckets, native::KeyFn& key, PyObject* x) noexcept {
    Ref k = key.apply(x);
    if (!k) return -1;
    if (PyObject* found = PyDict_GetItemWithError(index, k.get())) {
        Ref bucket = Ref::borrow(found);
        return bucket_append(buckets, bucket.get(), x);
    }
    if (PyErr_Occurred()) return -1;
    Ref bucket = new_bucket(buckets, x);
    if (!bucket) return -1;
    return PyDict_SetItem(index, k.get(), bucket.get());
}

// The steps of __makeindex: a new field index of the current members (not
// stored). A member whose key or bucket raises IndexError is skipped.
// CAUTION: may run arbitrary Python code
Ref build_index(PyObject* self, native::KeyFn& key) noexcept {
    Ref index = Ref::steal(PyDict_New());
    if (!index) return Ref();
    native::BucketMaker buckets;
    Members members(self);
    if (!members.ok()) return Ref();
    while (Ref x = members.next()) {
        if (index_member(index.get(), buckets, key, x.get()) < 0) {
            if (!error_is(B_IndexError)) return Ref();
            PyErr_Clear();
        }
    }
    if (PyErr_Occurred()) return Ref();
    return index;
}

// __makeindex(self, getkey)
PyObject* rowsieve_makeindex(vk::Function*, PyObject* const* a) noexcept {
    native::KeyFn key;
    key.callable = Ref::borrow(a[1]);
    return build_index(a[0], key).release();
}

// `self.__makeindex(getkey)`
// CAUTION: may run arbitrary Python code
Ref make_index_self(PyObject* self, native::KeyFn& key) noexcept {
    if (Shortcut s = count_index_build(native::call_makeindex(self, key)); s.taken()) return s.take();
    Ref getkey = key.materialise();
    if (!getkey) return Ref();
    return vk::call_method(N.makeindex, {self, getkey.get()});
}

// __repl(x, k, v): a new list from `x` with the item at `k` replaced by `v`.
PyObject* rowsieve_repl(vk::Function*, PyObject* const* a) noexcept {
    Ref l = Ref::steal(PySequence_List(a[0]));
    if (!l || PyObject_SetItem(l.get(), a[1], a[2]) < 0) return nullptr;
    return l.release();
}

// ============================================================================
// Selection
// ============================================================================

// `_isstr(v)`: 1, 0 or -1 with an exception set.
// CAUTION: may run arbitrary Python code
int is_str(PyObject* v) noexcept {
    if (Shortcut s = count_isstr(native::isstr(v)); s.taken()) return s.ok() ? s.take().get() == Py_True : -1;
    Ref f = g_isstr.get(frame);
    if (!f) return -1;
    Ref r = vk::call(f.get(), {v});
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// `self.select(*self.__repl(vals, k, vv))`, one alternative of phase 1.
// CAUTION: may run arbitrary Python code
Ref select_alternative(PyObject* self, PyObject* vals, Py_ssize_t k, PyObject* vv) noexcept {
    if (Shortcut s = count_alternative(native::call_select_alternative(self, vals, k, vv)); s.taken()) return s.take();
    Ref position = Ref::steal(PyLong_FromSsize_t(k));
    Ref items = position ? vk::call_method(N.repl, {self, vals, position.get(), vv}) : Ref();
    Ref args = items ? Ref::steal(PySequence_Tuple(items.get())) : Ref();
    if (!args) return Ref();
    Ref method = vk::getattr(self, N.select);
    if (!method) return Ref();
    return Ref::steal(PyObject_Call(method.get(), args.get(), nullptr));
}

// `result.extend(sub)`
// CAUTION: may run arbitrary Python code
int extend_result(PyObject* result, PyObject* sub) noexcept {
    if (Shortcut s = count_extend_result(native::call_extend_list(result, sub)); s.taken()) return s.rc();
    return call_self(N.extend, {result, sub});
}

// The result of an expansion: `rowsieve([])`, extended by each sub-result.
class Result {
public:
    // CAUTION: may run arbitrary Python code
    int start() noexcept {
        if (Shortcut s = gathered_.start(); s.taken()) return s.rc();
        result_ = no_match();
        return result_ ? 0 : -1;
    }
    // `result.extend(sub)`
    // CAUTION: may run arbitrary Python code
    int add(PyObject* sub) noexcept {
        if (gathered_.started()) {
            if (Shortcut s = gathered_.add(sub); s.taken()) return s.rc();
            return extend_result(gathered_.get(), sub);
        }
        return extend_result(result_.get(), sub);
    }
    Ref finish() noexcept { return gathered_.started() ? gathered_.finish() : std::move(result_); }

private:
    native::Gathered gathered_;
    Ref result_;
};

// Phase 1 at position k: the concatenation of the selections for each
// alternative of vals[k]. Returns the result; or nullptr with an exception
// set; or nullptr without one when the argument is to be taken as a plain
// value (it is not iterable, or a nested selection failed with IndexError
// or TypeError).
// CAUTION: may run arbitrary Python code
Ref expand_position(PyObject* self, PyObject* vals, Py_ssize_t k) noexcept {
    PyObject* v = PyTuple_GET_ITEM(vals, k);
    Result result;
    if (result.start() < 0) return Ref();
    // The alternatives of an exact list or tuple are read by position, as
    // their own iterators do (re-reading a list's size at every step).
    const bool by_position = PyList_CheckExact(v) || PyTuple_CheckExact(v);
    Ref it;
    if (!by_position && !(it = Ref::steal(PyObject_GetIter(v)))) {
        if (error_is(B_TypeError)) PyErr_Clear();
        return Ref();
    }
    for (Py_ssize_t position = 0;; ++position) {
        Ref vv;
        if (by_position) {
            if (position >= Py_SIZE(v)) break;
            vv = Ref::borrow(PyList_CheckExact(v) ? PyList_GET_ITEM(v, position) : PyTuple_GET_ITEM(v, position));
        } else if (!(vv = Ref::steal(PyIter_Next(it.get())))) {
            // An exception raised by the caller's iterable itself propagates.
            if (PyErr_Occurred()) return Ref();
            break;
        }
        Ref sub = select_alternative(self, vals, k, vv.get());
        if (!sub) {
            if (error_is(B_IndexError) || error_is(B_TypeError)) PyErr_Clear();
            return Ref();
        }
        if (result.add(sub.get()) < 0) return Ref();
    }
    return result.finish();
}

// The truth of the mode attribute (phase 2 and phase 4).
// CAUTION: may run arbitrary Python code
int scalar_mode(PyObject* self) noexcept {
    Ref scalar = vk::getattr(self, N.scalar);
    if (!scalar) return -1;
    return PyObject_IsTrue(scalar.get());
}

// The guard of phase 2 caught the pending error (a KeyError or TypeError)
// while the pattern is empty: phase 3 returns the list itself. With a
// pattern, there is no key function to go on with, and the error propagates.
inline bool guard_returns_self(bool empty_pattern) noexcept {
    if (!empty_pattern || !(error_is(B_TypeError) || error_is(B_KeyError))) return false;
    PyErr_Clear();
    return true;
}

// Phases 2 to 4, once phase 1 expanded nothing.
// CAUTION: may run arbitrary Python code
PyObject* select_pattern(PyObject* self, SelectArgs& args) noexcept {
    if (Shortcut s = count_select(native::select_warm(self, args.items, args.n)); s.taken()) return s.release();
    PyObject* vals = args.as_tuple();
    if (!vals) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(vals);
    // Phase 2, step 1: the position pattern, made from the arguments (the
    // wildcard is read only when there are some). The comparisons' errors
    // propagate.
    vk::SmallVec<Py_ssize_t, 16> positions;
    if (n > 0) {
        Ref wild = vk::getattr(self, N.wild);
        if (!wild) return nullptr;
        for (Py_ssize_t k = 0; k < n; ++k) {
            Ref ne = Ref::steal(PyObject_RichCompare(PyTuple_GET_ITEM(vals, k), wild.get(), Py_NE));
            int differs = ne ? PyObject_IsTrue(ne.get()) : -1;
            if (differs < 0) return nullptr;
            if (differs && !positions.push(k)) return nullptr;
        }
    }
    Ref pattern = pattern_of(positions.data(), (Py_ssize_t)positions.size()).tuple;
    if (!pattern) return nullptr;
    const bool empty_pattern = positions.size() == 0;

    // Steps 2 and 3: the mode, the width check and the key function.
    native::KeyFn key;
    key.pattern = pattern.get();
    bool missing = false;  // the guard caught the failure of the key function or of the lookup
    int scalar = scalar_mode(self);
    if (scalar < 0) return guard_returns_self(empty_pattern) ? Py_NewRef(self) : nullptr;
    if (scalar) {
        if (n > 1) {
            PyErr_SetString(builtin(B_IndexError), "Too many indices for rowsieve with scalar keys");
            return nullptr;
        }
        key.identity = true;
    } else {
        int nonempty = PyObject_IsTrue(self);
        if (nonempty < 0) return guard_returns_self(empty_pattern) ? Py_NewRef(self) : nullptr;
        if (nonempty) {
            Ref first = Ref::steal(PySequence_GetItem(self, 0));
            Py_ssize_t width = first ? PyObject_Length(first.get()) : -1;
            if (width < 0) return guard_returns_self(empty_pattern) ? Py_NewRef(self) : nullptr;
            if (width < n) {
                PyErr_Format(builtin(B_IndexError), "Too many indices for rowsieve with %zd-tuple keys", width);
                return nullptr;
            }
        }
        if (Shortcut s = count_itemgetter(native::itemgetter(key, positions)); s.taken()) {
            if (!s.ok()) return nullptr;
            // itemgetter() of no positions raises TypeError, which the guard
            // catches.
            missing = empty_pattern;
        } else {
            Ref op = g_operator.get(frame);
            Ref getter = op ? vk::getattr(op.get(), N.itemgetter) : Ref();
            if (!getter) return nullptr;
            key.callable = Ref::steal(PyObject_Call(getter.get(), pattern.get(), nullptr));
            if (!key.callable) return guard_returns_self(empty_pattern) ? Py_NewRef(self) : nullptr;
        }
    }
    // Step 4: the field index of the pattern.
    Ref field_index;
    if (!missing) {
        Ref cache = vk::getattr(self, N.index);
        if (!cache) return guard_returns_self(empty_pattern) ? Py_NewRef(self) : nullptr;
        int found = lookup(cache.get(), pattern.get(), &field_index, false);
        if (found < 0) {
            if (!error_is(B_TypeError)) return nullptr;
            PyErr_Clear();
            found = 0;
        }
        missing = !found;
    }
    // Phase 3: no field index for the pattern yet.
    if (missing) {
        if (empty_pattern) return Py_NewRef(self);
        Ref generation = dict_value(self, N.index);
        Ref built = make_index_self(self, key);
        if (!built) return nullptr;
        if (dict_value(self, N.index).get() == generation.get()) {
            Ref current = vk::getattr(self, N.index);
            if (!current || PyObject_SetItem(current.get(), pattern.get(), built.get()) < 0) return nullptr;
        }
        field_index = std::move(built);
    }
    // Phase 4: the query.
    if ((scalar = scalar_mode(self)) < 0) return nullptr;
    Ref query;
    if (scalar) {
        if (n == 0) return no_match().release();
        query = Ref::borrow(PyTuple_GET_ITEM(vals, 0));
    } else if (!(query = key.identity ? Ref::borrow(vals) : key.apply(vals))) {
        if (!error_is(B_KeyError) && !error_is(B_IndexError)) return nullptr;
        PyErr_Clear();
        return no_match().release();
    }
    Ref bucket;
    int found = lookup(field_index.get(), query.get(), &bucket, true);
    if (found < 0) return nullptr;
    return found ? bucket.release() : no_match().release();
}

// The four phases.
// CAUTION: may run arbitrary Python code
PyObject* select_steps(PyObject* self, SelectArgs& vals) noexcept {
    // Phase 1: the first position whose argument expands decides the result.
    const Py_ssize_t positions = count_nothing_expands(native::nothing_expands(vals.items, vals.n)) ? 0 : vals.n;
    for (Py_ssize_t k = 0; k < positions; ++k) {
        PyObject* v = vals[k];
        int s = is_str(v);
        if (s < 0) return nullptr;
        if (s || count_unexpanded(native::expansion_fails_unseen(v))) continue;
        PyObject* tuple = vals.as_tuple();
        if (!tuple) return nullptr;
        Ref result = expand_position(self, tuple, k);
        if (result) return result.release();
        if (PyErr_Occurred()) return nullptr;
    }
    return select_pattern(self, vals);
}

// select(*vals) on `self`.
// CAUTION: may run arbitrary Python code
PyObject* select_impl(PyObject* self, SelectArgs& vals) noexcept { return select_steps(self, vals); }

// select(self, *vals)
PyObject* rowsieve_select(vk::Function*, PyObject* const* a) noexcept {
    SelectArgs vals{&PyTuple_GET_ITEM(a[1], 0), PyTuple_GET_SIZE(a[1]), Ref::borrow(a[1])};
    return select_impl(a[0], vals);
}

// select(self, *vals), called with positional arguments only: `vals` is
// made into a tuple only if a step needs one.
PyObject* rowsieve_select_positional(vk::Function*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    SelectArgs vals{args + 1, nargs - 1};
    return select_impl(args[0], vals);
}

// ============================================================================
// Membership
// ============================================================================

// The membership map: every member to True.
// CAUTION: may run arbitrary Python code
Ref build_membership(PyObject* self) noexcept {
    Ref map = Ref::steal(PyDict_New());
    if (!map) return Ref();
    Members members(self);
    if (!members.ok()) return Ref();
    while (Ref x = members.next()) {
        if (PyDict_SetItem(map.get(), x.get(), Py_True) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return map;
}

// __contains__(self, val)
PyObject* rowsieve_contains(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *val = a[1];
    if (Shortcut s = count_contains(native::contains(self, val)); s.taken()) return s.release();
    // The map is built only when it is None or missing: an AttributeError
    // raised while `val` is hashed or compared is the caller's to see.
    Ref map = vk::getattr(self, N.contents);
    if (!map) {
        if (!error_is(B_AttributeError)) return nullptr;
        PyErr_Clear();
    } else if (map.get() != Py_None) {
        return map_get(map.get(), val);
    }
    Ref generation = dict_value(self, N.index);
    Ref built = build_membership(self);
    if (!built) return nullptr;
    if (dict_value(self, N.index).get() != generation.get()) {
        // Cleaned while the map was built: answer, but store nothing.
        return map_get(built.get(), val);
    }
    if (vk::setattr(self, N.contents, built.get()) < 0) return nullptr;
    // `self.__contains__(val)`, which now finds the map.
    if (Shortcut s = count_contains_again(native::call_contains(self, built.get(), val)); s.taken()) return s.release();
    return vk::call_method(N.contains, {self, val}).release();
}

// ============================================================================
// Mutations under the index
// ============================================================================

// The base list's own operations, called on the instance (recorded at load).
struct ListMethods {
    PyObject *insert, *pop, *remove, *delitem, *getitem;
} B;

// insert(self, i, x)
PyObject* rowsieve_insert(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *i = a[1], *x = a[2];
    if (addcheck_one(self, x) < 0 || clean_self(self) < 0) return nullptr;
    return vk::call(B.insert, {self, i, x}).release();
}

// The steps of a deletion after the base list changed.
// CAUTION: may run arbitrary Python code
int after_deletion(PyObject* self) noexcept {
    if (delcheck_self(self) < 0) return -1;
    return clean_self(self);
}

// pop(self, i=-1)
PyObject* rowsieve_pop(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    Ref x = vk::call(B.pop, {self, a[1]});
    if (!x || after_deletion(self) < 0) return nullptr;
    return x.release();
}

// remove(self, x)
PyObject* rowsieve_remove(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    Ref done = vk::call(B.remove, {self, a[1]});
    if (!done || after_deletion(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

// __delitem__(self, i)
PyObject* rowsieve_delitem(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    Ref done = vk::call(B.delitem, {self, a[1]});
    if (!done || after_deletion(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

// __delslice__(self, i, j)
PyObject* rowsieve_delslice(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    Ref slice = Ref::steal(PySlice_New(a[1], a[2], nullptr));
    if (!slice) return nullptr;
    Ref done = vk::call(B.delitem, {self, slice.get()});
    if (!done || after_deletion(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

// __add__(self, other): rowsieve(list(self) + list(other), self.__wild)
PyObject* rowsieve_add(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *other = a[1];
    Ref cls = g_rowsieve.get(frame);
    if (!cls) return nullptr;
    Ref left = Ref::steal(PySequence_List(self));
    if (!left) return nullptr;
    Ref right = Ref::steal(PySequence_List(other));
    if (!right) return nullptr;
    Ref both = Ref::steal(PySequence_Concat(left.get(), right.get()));
    if (!both) return nullptr;
    Ref wild = vk::getattr(self, N.wild);
    if (!wild) return nullptr;
    return vk::call(cls.get(), {both.get(), wild.get()}).release();
}

// __iadd__(self, other)
PyObject* rowsieve_iadd(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    if (call_self(N.extend, {self, a[1]}) < 0) return nullptr;
    return Py_NewRef(self);
}

// __getslice__(self, b, c): rowsieve(self[b:c], self.__wild) with the base
// list's slice.
PyObject* rowsieve_getslice(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    Ref cls = g_rowsieve.get(frame);
    if (!cls) return nullptr;
    Ref slice = Ref::steal(PySlice_New(a[1], a[2], nullptr));
    if (!slice) return nullptr;
    Ref part = vk::call(B.getitem, {self, slice.get()});
    if (!part) return nullptr;
    Ref wild = vk::getattr(self, N.wild);
    if (!wild) return nullptr;
    return vk::call(cls.get(), {part.get(), wild.get()}).release();
}

// ============================================================================
// Navigation
// ============================================================================

// The neighbour map of one kind over a snapshot of the members.
// CAUTION: may run arbitrary Python code
Ref neighbours(PyObject* snapshot, Nav which) noexcept {
    // The snapshot is a list that only this call holds: hashing may run
    // Python code, but nothing else can reach or change these items.
    const Py_ssize_t n = PyList_GET_SIZE(snapshot);
    Ref map = Ref::steal(PyDict_New());
    if (!map) return Ref();
    const bool cyclic = which == Nav::nextc || which == Nav::prevc;
    const bool forward = which == Nav::next || which == Nav::nextc;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t j = forward ? i + 1 : i - 1;
        if (j < 0 || j >= n) {
            if (!cyclic) continue;
            j = (j + n) % n;
        }
        if (PyDict_SetItem(map.get(), PyList_GET_ITEM(snapshot, i), PyList_GET_ITEM(snapshot, j)) < 0) return Ref();
    }
    // Fewer keys than the pairs added: repeated members.
    const Py_ssize_t expected = cyclic ? n : n - 1;
    if (PyDict_GET_SIZE(map.get()) < expected) {
        PyErr_SetString(builtin(B_KeyError), kDuplicateMessage);
        return Ref();
    }
    return map;
}

// CAUTION: may run arbitrary Python code
PyObject* navigate(PyObject* self, PyObject* v, Nav which) noexcept {
    if (Shortcut s = count_navigate(native::navigate(self, v, which)); s.taken()) return s.release();
    PyObject* name = nav_name(which);
    Ref cache = vk::getattr(self, name);
    if (!cache) return nullptr;
    int filled = PyObject_IsTrue(cache.get());
    if (filled < 0) return nullptr;
    if (!filled) {
        if (!PyList_Check(self)) {
            PyErr_Format(builtin(B_TypeError),
                         "descriptor '__getitem__' for 'list' objects doesn't apply to a '%.100s' object",
                         Py_TYPE(self)->tp_name);
            return nullptr;
        }
        Ref generation = dict_value(self, name);
        Ref snapshot = Ref::steal(PyList_GetSlice(self, 0, PY_SSIZE_T_MAX));
        if (!snapshot) return nullptr;
        Ref built = neighbours(snapshot.get(), which);
        if (!built) return nullptr;
        if (dict_value(self, name).get() == generation.get()) {
            if (vk::setattr(self, name, built.get()) < 0) return nullptr;
            if (!(cache = vk::getattr(self, name))) return nullptr;
        } else {
            // Cleaned while the map was built: answer, but store nothing.
            cache = std::move(built);
        }
    }
    return neighbour_of(cache.get(), v);
}

PyObject* rowsieve_next(vk::Function*, PyObject* const* a) noexcept { return navigate(a[0], a[1], Nav::next); }
PyObject* rowsieve_prev(vk::Function*, PyObject* const* a) noexcept { return navigate(a[0], a[1], Nav::prev); }
PyObject* rowsieve_nextc(vk::Function*, PyObject* const* a) noexcept { return navigate(a[0], a[1], Nav::nextc); }
PyObject* rowsieve_prevc(vk::Function*, PyObject* const* a) noexcept { return navigate(a[0], a[1], Nav::prevc); }

// ============================================================================
// The printed table
// ============================================================================

// `str(list(self))`
// CAUTION: may run arbitrary Python code
PyObject* repr_as_list(PyObject* self) noexcept {
    Ref items = Ref::steal(PySequence_List(self));
    if (!items) return nullptr;
    return PyObject_Str(items.get());
}

// The text of one row's fields, `", ".join(fieldfmt[i] % str(x) for i, x in
// enumerate(k))`; a failure inside the generator expression adds its entry.
// CAUTION: may run arbitrary Python code
Ref row_fields(PyObject* k, PyObject* fieldfmt) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(k));  // enumerate(k), made by __repr__ itself
    if (!it) return Ref();
    Ref texts = Ref::steal(PyList_New(0));
    if (!texts) return Ref();
    auto fail = []() noexcept {
        vk::add_body_entry(F.field_texts);
        return Ref();
    };
    for (Py_ssize_t i = 0;; ++i) {
        Ref x = Ref::steal(PyIter_Next(it.get()));
        if (!x) {
            if (PyErr_Occurred()) return fail();
            break;
        }
        if (i >= PyList_GET_SIZE(fieldfmt)) {
            PyErr_SetString(builtin(B_IndexError), "list index out of range");
            return fail();
        }
        Ref fmt = Ref::borrow(PyList_GET_ITEM(fieldfmt, i));
        Ref s = Ref::steal(PyObject_Str(x.get()));
        if (!s) return fail();
        Ref text = Ref::steal(PyUnicode_Format(fmt.get(), s.get()));
        if (!text || PyList_Append(texts.get(), text.get()) < 0) return fail();
    }
    return Ref::steal(PyUnicode_Join(kFieldSeparator, texts.get()));
}

// __repr__(self)
PyObject* rowsieve_repr(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    if (Shortcut s = count_repr(native::repr(self)); s.taken()) return s.release();
    // 1. An empty list, and 2. a list not in tuple mode: the base list's form.
    int nonempty = PyObject_IsTrue(self);
    if (nonempty < 0) return nullptr;
    if (!nonempty) return repr_as_list(self);
    Ref scalar = vk::getattr(self, N.scalar);
    if (!scalar) return nullptr;
    Ref ne = Ref::steal(PyObject_RichCompare(scalar.get(), Py_False, Py_NE));
    int not_tuples = ne ? PyObject_IsTrue(ne.get()) : -1;
    if (not_tuples < 0) return nullptr;
    if (not_tuples) return repr_as_list(self);

    // 3. The header.
    Py_ssize_t count = PyObject_Length(self);
    if (count < 0) return nullptr;
    Ref count_obj = Ref::steal(PyLong_FromSsize_t(count));
    if (!count_obj) return nullptr;
    Ref tuplelen = vk::getattr(self, N.tuplelen);
    if (!tuplelen) return nullptr;
    Ref header_args = tuple_of({count_obj.get(), tuplelen.get()});
    if (!header_args) return nullptr;
    Ref pieces = Ref::steal(PyList_New(0));
    Ref header = Ref::steal(PyUnicode_Format(kHeaderFormat, header_args.get()));
    if (!pieces || !header || PyList_Append(pieces.get(), header.get()) < 0) return nullptr;

    // 4. and 5. Column widths over zip(*self), the longest text of a column
    // plus one, and their formats.
    Ref members = Ref::steal(PySequence_Tuple(self));
    if (!members) return nullptr;
    Ref columns = Ref::steal(PyObject_Call(builtin(B_zip), members.get(), nullptr));
    if (!columns) return nullptr;
    Ref fieldfmt = Ref::steal(PyList_New(0));
    if (!fieldfmt) return nullptr;
    while (Ref column = Ref::steal(PyIter_Next(columns.get()))) {
        Py_ssize_t width = -1;
        Ref values = Ref::steal(PyObject_GetIter(column.get()));
        if (!values) return nullptr;
        while (Ref x = Ref::steal(PyIter_Next(values.get()))) {
            Ref s = Ref::steal(PyObject_Str(x.get()));
            if (!s) return nullptr;
            Py_ssize_t len = PyObject_Length(s.get());
            if (len < 0) return nullptr;
            width = std::max(width, len + 1);
        }
        if (PyErr_Occurred()) return nullptr;
        Ref fmt = Ref::steal(PyUnicode_FromFormat("%%-%zds", width));
        if (!fmt || PyList_Append(fieldfmt.get(), fmt.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;

    // 6. The rows, and 7. the end.
    Ref rows = Ref::steal(PyObject_GetIter(self));
    if (!rows) return nullptr;
    while (Ref k = Ref::steal(PyIter_Next(rows.get()))) {
        Ref fields = row_fields(k.get(), fieldfmt.get());
        if (!fields || PyList_Append(pieces.get(), kRowOpen) < 0 || PyList_Append(pieces.get(), fields.get()) < 0 ||
            PyList_Append(pieces.get(), kRowClose) < 0)
            return nullptr;
    }
    if (PyErr_Occurred() || PyList_Append(pieces.get(), kTableEnd) < 0) return nullptr;
    return PyUnicode_Join(kNothing, pieces.get());
}

// The key function of scalar mode.
PyObject* select_identity(vk::Function*, PyObject* const* a) noexcept { return Py_NewRef(a[0]); }

// The generator expression of `__repr__` runs inline (row_fields); its
// function object only names its traceback entries and is never called.
PyObject* field_texts_body(vk::Function*, PyObject* const*) noexcept {
    PyErr_SetString(builtin(B_TypeError), "the generator expression of __repr__ runs only inside it");
    return nullptr;
}

// ============================================================================
// Class body
// ============================================================================

const char kClassDoc[] =
    "\n"
    "  Custom Varnok class: rowsieve is a subclass of list that is designed\n"
    "  to efficiently support sub-list selection using wildcards.\n"
    "\n"
    "  A rowsieve holds tuples of one common length (or scalars). Its select()\n"
    "  method returns the sub-list of the tuples that match the given values\n"
    "  in the given fields, where '*' matches any value:\n"
    "\n"
    "    l = rowsieve([(1, 2), (1, 3), (2, 3), (2, 4)])\n"
    "    l.select(1, '*')    # [(1, 2), (1, 3)]\n"
    "    l.select('*', 3)    # [(1, 3), (2, 3)]\n"
    "    l.select([1, 2], 3) # [(1, 3), (2, 3)]\n"
    "\n"
    "  Member tuples should hold scalar values (int, float, string, ...);\n"
    "  tuples of tuples are not supported.\n"
    "  ";

const char kCleanDoc[] =
    "\n"
    "  ROUTINE:\n"
    "    clean()\n"
    "\n"
    "  PURPOSE:\n"
    "    rowsieve gets its speed from indexes that it builds on first use and\n"
    "    stores inside the object. They cost memory; clean() discards them and\n"
    "    gives that memory back. It also resynchronises the indexes after the\n"
    "    base list's own operations (item assignment, sort, ...) were used.\n"
    "\n"
    "  ARGUMENTS:\n"
    "    None.\n"
    "\n"
    "  RETURN VALUE:\n"
    "    None.\n"
    "\n"
    "  EXAMPLE:\n"
    "    l = rowsieve([(1, 2), (2, 3)])\n"
    "    l.select(1, '*')\n"
    "    l.clean()\n"
    "  ";

const char kSelectDoc[] =
    "\n"
    "  ROUTINE:\n"
    "    select(value1, value2, ...)\n"
    "\n"
    "  PURPOSE:\n"
    "    Return the sub-list of the members that match the given values in the\n"
    "    given fields. The string '*' stands for any value. Any argument may be\n"
    "    a list, which matches if any of its items matches.\n"
    "\n"
    "  ARGUMENTS:\n"
    "    One value (or '*', or a list of values) per field, from the first on.\n"
    "\n"
    "  RETURN VALUE:\n"
    "    The matching sub-list, a rowsieve.\n"
    "\n"
    "  EXAMPLE:\n"
    "    m = l.select('*', 1, '*', 'a')\n"
    "  ";

const char kContainsDoc[] =
    "\n"
    "  ROUTINE:\n"
    "    __contains__(val)\n"
    "\n"
    "  PURPOSE:\n"
    "    Membership test (val in l) through a hash map built on first use:\n"
    "    faster than the base list's test when called inside a loop.\n"
    "\n"
    "  ARGUMENTS:\n"
    "    val: the value to look for.\n"
    "\n"
    "  RETURN VALUE:\n"
    "    True if val is a member, else False.\n"
    "\n"
    "  EXAMPLE:\n"
    "    if (1, 2) in l:\n"
    "        print('found')\n"
    "  ";

// Line numbers name the statement's place in this source for tracebacks.
const vk::FunctionSpec kRepl = {"__repl", "rowsieve.__repl", "x, k, v", rowsieve_repl, nullptr, __LINE__, false};
const vk::FunctionSpec kInit = {"__init__", "rowsieve.__init__", "self, data, wild", rowsieve_init, nullptr, __LINE__, false};
const vk::FunctionSpec kPrev = {"prev", "rowsieve.prev", "self, v", rowsieve_prev, nullptr, __LINE__, false};
const vk::FunctionSpec kPrevc = {"prevc", "rowsieve.prevc", "self, v", rowsieve_prevc, nullptr, __LINE__, false};
const vk::FunctionSpec kNext = {"next", "rowsieve.next", "self, v", rowsieve_next, nullptr, __LINE__, false};
const vk::FunctionSpec kNextc = {"nextc", "rowsieve.nextc", "self, v", rowsieve_nextc, nullptr, __LINE__, false};
const vk::FunctionSpec kScalarDel = {"__scalardelcheck", "rowsieve.__scalardelcheck", "self", rowsieve_scalardelcheck,
                                     nullptr, __LINE__, false};
const vk::FunctionSpec kScalarAdd = {"__scalaraddcheck", "rowsieve.__scalaraddcheck", "self, x",
                                     rowsieve_scalaraddcheck, nullptr, __LINE__, false};
const vk::FunctionSpec kRepr = {"__repr__", "rowsieve.__repr__", "self", rowsieve_repr, nullptr, __LINE__, false};
const vk::FunctionSpec kFieldTexts = {"genexpr", "rowsieve.__repr__.<locals>.genexpr", "", field_texts_body, nullptr,
                                      __LINE__, true};
const vk::FunctionSpec kClean = {"clean", "rowsieve.clean", "self", rowsieve_clean, kCleanDoc, __LINE__, false};
const vk::FunctionSpec kSelect = {"select", "rowsieve.select", "self, *vals", rowsieve_select, kSelectDoc, __LINE__,
                                  false, false, rowsieve_select_positional};
const vk::FunctionSpec kContains = {"__contains__", "rowsieve.__contains__", "self, val", rowsieve_contains,
                                    kContainsDoc, __LINE__, false};
const vk::FunctionSpec kMakeIndex = {"__makeindex", "rowsieve.__makeindex", "self, getkey", rowsieve_makeindex,
                                     nullptr, __LINE__, false};
const vk::FunctionSpec kAppend = {"append", "rowsieve.append", "self, x", rowsieve_append, nullptr, __LINE__, false};
const vk::FunctionSpec kExtend = {"extend", "rowsieve.extend", "self, L", rowsieve_extend, nullptr, __LINE__, false};
const vk::FunctionSpec kInsert = {"insert", "rowsieve.insert", "self, i, x", rowsieve_insert, nullptr, __LINE__, false};
const vk::FunctionSpec kPop = {"pop", "rowsieve.pop", "self, i", rowsieve_pop, nullptr, __LINE__, false};
const vk::FunctionSpec kRemove = {"remove", "rowsieve.remove", "self, x", rowsieve_remove, nullptr, __LINE__, false};
const vk::FunctionSpec kDelItem = {"__delitem__", "rowsieve.__delitem__", "self, i", rowsieve_delitem, nullptr,
                                   __LINE__, false};
const vk::FunctionSpec kDelSlice = {"__delslice__", "rowsieve.__delslice__", "self, i, j", rowsieve_delslice, nullptr,
                                    __LINE__, false};
const vk::FunctionSpec kAdd = {"__add__", "rowsieve.__add__", "self, other", rowsieve_add, nullptr, __LINE__, false};
const vk::FunctionSpec kIAdd = {"__iadd__", "rowsieve.__iadd__", "self, other", rowsieve_iadd, nullptr, __LINE__, false};
const vk::FunctionSpec kGetSlice = {"__getslice__", "rowsieve.__getslice__", "self, b, c", rowsieve_getslice, nullptr,
                                    __LINE__, false};
// `lambda x: x`, the key function of scalar mode.
const vk::FunctionSpec kIdentity = {"lambda_", "rowsieve.select.<locals>.<lambda>", "x", select_identity, nullptr,
                                    __LINE__, false, true};

// Keeps `fn` (a function made from a spec) in `slot` for the life of the
// process, and hands it on.
Ref recorded(PyObject*& slot, Ref fn) noexcept {
    if (fn) native::hold(slot, fn.get());
    return fn;
}

// The base list's methods, which the deletions and slices call on the instance.
int record_list_methods() noexcept {
    struct {
        PyObject** slot;
        const char* name;
    } methods[] = {{&B.insert, "insert"}, {&B.pop, "pop"}, {&B.remove, "remove"},
                   {&B.delitem, "__delitem__"}, {&B.getitem, "__getitem__"}};
    for (auto& m : methods) {
        PyObject* descr = PyDict_GetItemString(PyList_Type.tp_dict, m.name);
        if (!descr) {
            PyErr_Format(PyExc_AttributeError, "type object 'list' has no attribute '%s'", m.name);
            return -1;
        }
        native::hold(*m.slot, descr);
    }
    return 0;
}

int module_body(vk::ModuleFrame& f) noexcept {
    // import operator
    if (f.import_module("operator") < 0) return -1;
    // from varnokpy._util import _isstr
    const char* const util_names[] = {"_isstr", nullptr};
    if (f.import_from("varnokpy._util", util_names) < 0) return -1;

    if (!g_identity) {
        Ref identity = vk::make_function(f, kIdentity, Ref());
        if (!identity) return -1;
        g_identity = identity.release();
    }
    if (!recorded(F.field_texts, vk::make_function(f, kFieldTexts, Ref())) || record_list_methods() < 0) return -1;

    // class rowsieve(list)
    Ref shared_default = Ref::steal(PyList_New(0));  // one list, shared by every call
    if (!shared_default) return -1;
    Ref init_defaults = tuple_of({shared_default.get(), kStar});
    Ref pop_default = Ref::steal(PyLong_FromLong(-1));
    if (!init_defaults || !pop_default) return -1;
    Ref pop_defaults = tuple_of({pop_default.get()});
    Ref repl = vk::make_function(f, kRepl, Ref());
    if (!repl) return -1;
    Ref static_repl = vk::call(builtin(B_staticmethod), {repl.get()});

    vk::ClassEntry entries[] = {
        {"_rowsieve__repl", std::move(static_repl)},
        {"__init__", vk::make_function(f, kInit, std::move(init_defaults))},
        {"prev", vk::make_function(f, kPrev, Ref())},
        {"prevc", vk::make_function(f, kPrevc, Ref())},
        {"next", vk::make_function(f, kNext, Ref())},
        {"nextc", vk::make_function(f, kNextc, Ref())},
        {"_rowsieve__scalardelcheck", recorded(F.scalardelcheck, vk::make_function(f, kScalarDel, Ref()))},
        {"_rowsieve__scalaraddcheck", recorded(F.scalaraddcheck, vk::make_function(f, kScalarAdd, Ref()))},
        {"__repr__", vk::make_function(f, kRepr, Ref())},
        {"clean", recorded(F.clean, vk::make_function(f, kClean, Ref()))},
        {"select", recorded(F.select, vk::make_function(f, kSelect, Ref()))},
        {"__contains__", recorded(F.contains, vk::make_function(f, kContains, Ref()))},
        {"_rowsieve__makeindex", recorded(F.makeindex, vk::make_function(f, kMakeIndex, Ref()))},
        {"append", recorded(F.append, vk::make_function(f, kAppend, Ref()))},
        {"extend", recorded(F.extend, vk::make_function(f, kExtend, Ref()))},
        {"insert", vk::make_function(f, kInsert, Ref())},
        {"pop", vk::make_function(f, kPop, std::move(pop_defaults))},
        {"remove", vk::make_function(f, kRemove, Ref())},
        {"__delitem__", vk::make_function(f, kDelItem, Ref())},
        {"__delslice__", vk::make_function(f, kDelSlice, Ref())},
        {"__add__", vk::make_function(f, kAdd, Ref())},
        {"__iadd__", vk::make_function(f, kIAdd, Ref())},
        {"__getslice__", vk::make_function(f, kGetSlice, Ref())},
    };
    Ref bases = tuple_of({reinterpret_cast<PyObject*>(&PyList_Type)});
    if (!bases) return -1;
    Ref cls = vk::create_class(f, "rowsieve", bases.get(), kClassDoc, entries, std::size(entries));
    if (!cls || native::record(f, cls.get()) < 0) return -1;
    // copy, deepcopy and pickle: the members, the instance attributes, and
    // every cache restarted empty.
    static const char* const kFreshDict[] = {"_rowsieve__index", "_rowsieve__prev", "_rowsieve__next",
                                             "_rowsieve__prevc", "_rowsieve__nextc", nullptr};
    static const char* const kFreshNone[] = {"_rowsieve__contents", nullptr};
    static const vk::CopyRecipe kCopy = {&PyList_Type, kFreshDict, kFreshNone, nullptr};
    if (vk::register_copy_support(cls.get(), &kCopy) < 0) return -1;
    return f.bind("rowsieve", std::move(cls));
}

}  // namespace
