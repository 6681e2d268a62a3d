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
// Fast paths. The general code above costs generic attribute reads and method
// calls for every step. When an object is exactly this module's class, the
// class has not been modified since load (its version tag is the one recorded
// then), and the instance dict shadows none of the methods a step would call,
// the step runs in C on the instance dict instead. Likewise `rowsieve(...)`
// is built in C only while the global `rowsieve` is still that class,
// `operator.itemgetter` is skipped only while `operator` and its
// `itemgetter` are the load-time objects, and `_isstr` is answered in C only
// while it is the load-time function with its load-time code and names. The
// shortcuts skip only work that nobody can observe (a throw-away result list,
// a swallowed exception, a key function used once, the `clean()` of a list
// that nobody else has seen yet) and they add the traceback entries that the
// calls they replace would have added. A rowsieve made in C (a bucket, a
// result) gets the instance dict that construction would leave, keys in the
// same order, and list storage grown as the base list would grow it; its dict
// is a copy of a template whose values are set in place before anyone can
// see it. Guards are remembered per dict version: a dict's version tag
// changes with every change of the dict and is never reused, so (dict,
// version) names one state of one dict without holding it.
#include "frame.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

using vk::Ref;

namespace {

// ============================================================================
// Module state
// ============================================================================

const char* const kBuiltins[] = {"staticmethod", "super", "zip", "KeyError", "ValueError", "IndexError", "max",
                                 "enumerate", "TypeError", "AttributeError", nullptr};
enum Builtin { B_staticmethod, B_super, B_zip, B_KeyError, B_ValueError, B_IndexError, B_max, B_enumerate,
               B_TypeError, B_AttributeError };

int module_constants(vk::ModuleFrame&) noexcept;
int module_prebuilt(vk::ModuleFrame&) noexcept;
int module_body(vk::ModuleFrame&) noexcept;

const vk::ModuleInfo kInfo = {
    "_rowsieve", "varnokpy._rowsieve", "src/varnokpy/_rowsieve", nullptr, kBuiltins, true,
    module_constants, module_prebuilt, module_body,
};

}  // namespace

VARNOK_MODULE(_rowsieve, kInfo)

namespace {

vk::ModuleFrame& frame = _rowsieve_frame;
constexpr const char* kSource = "src/varnokpy/_rowsieve";

PyObject* builtin(Builtin b) noexcept { return frame.builtin(b); }

// Interned attribute and method names.
struct Names {
    PyObject *wild, *scalar, *tuplelen, *index, *contents, *prev, *next, *prevc, *nextc;
    PyObject *scalardelcheck, *scalaraddcheck, *makeindex, *repl, *clean, *extend, *append, *select, *contains;
    PyObject *get, *itemgetter, *isinstance, *str, *isstr_name, *operator_name, *rowsieve_name;
} N;

vk::GlobalName g_operator("operator"), g_isstr("_isstr"), g_rowsieve("rowsieve");

constexpr Py_ssize_t kPrebuiltPatterns = 32;
constexpr Py_ssize_t kStackArgs = 16;  // select arguments copied on the stack for a nested query

PyObject* kStar = nullptr;         // "*", the default wildcard
PyObject* kEmptyTuple = nullptr;
PyObject* kPattern[kPrebuiltPatterns] = {};  // (0,), (1,), ...: one-position patterns
Py_hash_t kPatternHash[kPrebuiltPatterns] = {};
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
    for (Py_ssize_t i = 0; i < kPrebuiltPatterns; ++i) {
        if (!kPattern[i] && !(kPattern[i] = Py_BuildValue("(n)", i))) return -1;
        if ((kPatternHash[i] = PyObject_Hash(kPattern[i])) == -1) return -1;
    }
    for (vk::GlobalName* g : {&g_operator, &g_isstr, &g_rowsieve})
        if (g->init() < 0) return -1;
    return 0;
}

// ============================================================================
// Load-time records and the guards of the fast paths
// ============================================================================

// Every object here is held strongly for the life of the process, so that an
// address compared against can never be reused by another object.
struct LoadTime {
    PyTypeObject* cls = nullptr;   // `rowsieve` as the module body created it
    unsigned int tag = 0;          // its version tag right after creation
    bool tag_valid = false;
    PyObject* isstr = nullptr;     // `_isstr` as imported
    PyObject* isstr_code = nullptr;
    PyObject* isinstance = nullptr;
    PyObject* operator_module = nullptr;
    PyObject* itemgetter = nullptr;
    PyObject* identity = nullptr;  // the key function of scalar mode
    // The base list's own operations, called on the instance.
    PyObject *list_insert = nullptr, *list_pop = nullptr, *list_remove = nullptr, *list_delitem = nullptr,
             *list_getitem = nullptr;
} L;

inline void hold(PyObject*& slot, PyObject* value) noexcept { vk::set_field(slot, Ref::borrow(value)); }

// The class is as it was at load: no attribute of it was set or deleted.
inline bool class_pristine() noexcept {
    const PyTypeObject* t = L.cls;
    return L.tag_valid && (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag == L.tag;
}

inline bool exact_pristine(PyObject* o) noexcept { return Py_TYPE(o) == L.cls && class_pristine(); }

// `rowsieve(...)` would run nothing but this module's own construction.
bool environment_pristine() noexcept;
// Not while a profile function is set: it would miss the `__init__` call.
inline bool creation_pristine() noexcept {
    return class_pristine() && environment_pristine() && !vk::profiling_active();
}

// The interpreter keeps an instance's dict (or, before one exists, its
// inline attribute values) in two slots just before the object; checked at
// load against _PyObject_GetDictPtr, which does the same more slowly.
bool g_dict_slots_known = false;

inline PyObject* instance_dict(PyObject* o) noexcept {
    if (g_dict_slots_known && !reinterpret_cast<void**>(o)[-4]) return reinterpret_cast<PyObject**>(o)[-3];
    PyObject** dp = _PyObject_GetDictPtr(o);
    return dp ? *dp : nullptr;
}

// The instance dict of an exact instance of the unmodified class (borrowed),
// or nullptr. Attribute reads and writes on such an instance are plain dict
// operations: the class defines no descriptors for the private names.
inline PyObject* fast_dict(PyObject* self) noexcept { return exact_pristine(self) ? instance_dict(self) : nullptr; }

inline uint64_t dict_version(PyObject* d) noexcept { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }

// Does the instance dict hold `name`, hiding the class's method?
bool shadowed(PyObject* dict, PyObject* name) noexcept {
    if (PyDict_GetItemWithError(dict, name)) return true;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return false;
}

bool dict_has(PyObject* dict, PyObject* name) noexcept { return shadowed(dict, name); }

// Does the instance dict shadow none of the methods that this class's code
// calls on an instance? The fast paths that make those calls in C ask; while
// a profile function is set the answer is no: it would miss the calls.
bool own_methods(PyObject* dict) noexcept {
    if (vk::profiling_active()) return false;
    static PyObject* seen = nullptr;
    static uint64_t seen_version = 0;
    static bool seen_answer = false;
    const uint64_t version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    if (dict == seen && version == seen_version) return seen_answer;
    PyObject* const methods[] = {N.clean, N.extend, N.append, N.select, N.contains, N.scalaraddcheck,
                                 N.scalardelcheck, N.makeindex, N.repl};
    bool answer = true;
    for (PyObject* name : methods) answer = answer && !shadowed(dict, name);
    seen = dict;
    seen_version = version;
    seen_answer = answer;
    return answer;
}

// The private state that hot paths read from an instance dict.
enum Slot { M_wild, M_scalar, M_index, M_contents, M_next, M_prev, M_nextc, M_prevc, M_count };

// The value under a private name in an instance dict (borrowed), or nullptr
// when it is missing (no exception set).
PyObject* state_of(PyObject* dict, Slot slot, PyObject* name) noexcept {
    struct Memo {
        PyObject* dict;
        uint64_t version;
        PyObject* value;
    };
    static Memo memo[M_count] = {};
    Memo& m = memo[slot];
    const uint64_t version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    if (m.dict == dict && m.version == version) return m.value;
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (!value) {
        PyErr_Clear();
        return nullptr;
    }
    m = {dict, version, value};
    return value;
}

// The module globals that the fast paths depend on are all as bound at load:
// `rowsieve` is the class, `operator` is the module whose `itemgetter` is the
// load-time type, and `_isstr` is the load-time function, whose globals and
// builtins do not rebind `isinstance` or `str`. Validated in full only after
// one of the four dicts involved changed.
bool environment_pristine() noexcept {
    static PyObject* dicts[4] = {};
    static uint64_t versions[4] = {};
    static bool known = false, valid = false;
    if (!L.isstr || !L.operator_module) return false;
    auto* f = reinterpret_cast<PyFunctionObject*>(L.isstr);
    PyObject* const current[4] = {frame.dict, f->func_globals, f->func_builtins, PyModule_GetDict(L.operator_module)};
    if (known) {
        bool same = true;
        for (int i = 0; i < 4 && same; ++i) same = current[i] == dicts[i] && dict_version(current[i]) == versions[i];
        if (same) return valid;
    }
    for (PyObject* d : current)
        if (!PyDict_Check(d)) return false;
    auto global_is = [](PyObject* d, PyObject* name, PyObject* expected) noexcept {
        return PyDict_GetItemWithError(d, name) == expected;
    };
    valid = global_is(frame.dict, N.rowsieve_name, reinterpret_cast<PyObject*>(L.cls)) &&
            global_is(frame.dict, N.isstr_name, L.isstr) && global_is(frame.dict, N.operator_name, L.operator_module) &&
            !dict_has(f->func_globals, N.isinstance) && !dict_has(f->func_globals, N.str) &&
            global_is(f->func_builtins, N.isinstance, L.isinstance) &&
            global_is(f->func_builtins, N.str, reinterpret_cast<PyObject*>(&PyUnicode_Type)) &&
            global_is(current[3], N.itemgetter, L.itemgetter);
    PyErr_Clear();
    for (int i = 0; i < 4; ++i) {
        dicts[i] = current[i];
        versions[i] = dict_version(current[i]);
    }
    known = true;
    return valid;
}

// `_isstr(v)` is `isinstance(v, str)`, answered without running Python code
// (and without the call that a profile function would see).
inline bool isstr_pristine() noexcept {
    return environment_pristine() && reinterpret_cast<PyFunctionObject*>(L.isstr)->func_code == L.isstr_code &&
           !vk::profiling_active();
}

// `operator.itemgetter` is the load-time type.
inline bool operator_pristine() noexcept { return environment_pristine(); }

// Types whose instances `isinstance(v, str)` answers false for without
// consulting a `__class__` that Python code could provide.
bool plain_non_string(PyTypeObject* t) noexcept {
    return t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || t == Py_TYPE(Py_None) ||
           t == &PyTuple_Type || t == &PyList_Type || t == &PyDict_Type || t == &PySet_Type ||
           t == &PyFrozenSet_Type || t == &PyBytes_Type || t == &PyComplex_Type || t == &PyRange_Type;
}

// ============================================================================
// Helpers
// ============================================================================

// Traceback entries for the calls that a fast path makes in C instead of
// through the function object (which would have added them itself).
enum Site { S_scalaraddcheck, S_scalardelcheck, S_clean, S_extend, S_append, S_select, S_makeindex,
            S_contains, S_count };
const vk::FunctionSpec* site_spec[S_count] = {};

void add_entry(Site s) noexcept {
    const vk::FunctionSpec* spec = site_spec[s];
    char name[200];
    PyOS_snprintf(name, sizeof name, "%s.%s", kInfo.full_name, spec->qualname);
    vk::add_traceback_entry(name, kSource, spec->line);
}

// `type(x) is not tuple`: only an exact tuple counts as a tuple.
inline bool is_scalar_item(PyObject* x) noexcept { return !PyTuple_CheckExact(x); }

// Does the pending exception match one of the builtins resolved at load?
inline bool error_is(Builtin b) noexcept { return PyErr_ExceptionMatches(builtin(b)); }

// `self.<name>`: straight from the instance dict of a pristine instance,
// through the instance otherwise.
// CAUTION: may run arbitrary Python code
Ref read_attr(PyObject* self, PyObject* name) noexcept {
    if (PyObject* d = fast_dict(self)) {
        if (PyObject* v = PyDict_GetItemWithError(d, name)) return Ref::borrow(v);
        if (PyErr_Occurred()) return Ref();
        // Missing: the general lookup raises the interpreter's AttributeError.
    }
    return vk::getattr(self, name);
}

// `self.<name> = value`
// CAUTION: may run arbitrary Python code
int write_attr(PyObject* self, PyObject* name, PyObject* value) noexcept {
    if (PyObject* d = fast_dict(self)) {
        Ref keep = Ref::borrow(d);
        return PyDict_SetItem(d, name, value);
    }
    return PyObject_SetAttr(self, name, value);
}

// The value that the instance dict itself holds under `name`, read without
// any attribute hook; nullptr when there is none. Used only as a marker of
// which cache generation a build started from.
Ref dict_value(PyObject* self, PyObject* name) noexcept {
    PyObject** dp = _PyObject_GetDictPtr(self);
    if (!dp || !*dp) {
        PyErr_Clear();
        return Ref();
    }
    Ref d = Ref::borrow(*dp);
    PyObject* v = PyDict_GetItemWithError(d.get(), name);
    if (!v) PyErr_Clear();
    return Ref::borrow(v);
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

using vk::SmallVec;

// ============================================================================
// Native instances and the mode check
// ============================================================================

// clean() on an instance dict: fresh caches under the six names, in order.
// CAUTION: may run arbitrary Python code (the replaced caches are released)
int store_fresh_caches(PyObject* dict) noexcept {
    PyObject* const order[] = {N.index, N.contents, N.prev, N.next, N.prevc, N.nextc};
    for (PyObject* name : order) {
        if (name == N.contents) {
            if (PyDict_SetItem(dict, name, Py_None) < 0) return -1;
            continue;
        }
        Ref fresh = Ref::steal(PyDict_New());
        if (!fresh || PyDict_SetItem(dict, name, fresh.get()) < 0) return -1;
    }
    return 0;
}

// The instance dict of a new list before its mode and caches are set: the
// keys in the order construction sets them.
PyObject* g_state_template = nullptr;

// A copy of the template is a dict with the nine entries in template order.
// Nobody but its creator has seen it yet, so its values may be set in place
// instead of through nine lookups; this follows the interpreter's layout of
// a dict's key table, checked against a real copy at load
// (`g_state_slots_known`).
struct KeyTable {  // the head of a dict's key table
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[];
};
struct TableEntry {  // an entry of a table whose keys are all strings
    PyObject* key;
    PyObject* value;
};
enum StateSlot { T_wild, T_scalar, T_tuplelen, T_index, T_contents, T_prev, T_next, T_prevc, T_nextc, T_count };
bool g_state_slots_known = false;

TableEntry* state_entries(PyObject* dict) noexcept {
    auto* keys = reinterpret_cast<KeyTable*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    return reinterpret_cast<TableEntry*>(keys->indices + ((size_t)1 << keys->log2_index_bytes));
}

// Does `dict` have the key table of a template copy: the nine names in
// order, in a table of its own? With `template_values`, also the values of
// the template.
bool state_layout(PyObject* dict, bool template_values) noexcept {
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    auto* keys = reinterpret_cast<KeyTable*>(d->ma_keys);
    if (Py_TYPE(dict) != &PyDict_Type || d->ma_values || d->ma_used != T_count || keys->kind != 1 ||
        keys->nentries != T_count || keys->refcnt != 1)
        return false;
    PyObject* const names[T_count] = {N.wild, N.scalar, N.tuplelen, N.index, N.contents,
                                      N.prev, N.next, N.prevc, N.nextc};
    TableEntry* entries = state_entries(dict);
    for (int i = 0; i < T_count; ++i) {
        if (entries[i].key != names[i]) return false;
        if (template_values && entries[i].value != (i == T_wild ? kStar : Py_None)) return false;
    }
    return true;
}

// Sets a value of an unseen template copy in place (reference stolen).
inline void set_state(PyObject* dict, StateSlot slot, PyObject* value) noexcept {
    TableEntry& e = state_entries(dict)[slot];
    PyObject* old = e.value;
    e.value = value;
    Py_DECREF(old);
}

// A new exact instance with the state that `rowsieve([first])` (or
// `rowsieve([])` without `first`) leaves: the instance dict holds the same
// keys in the same order, the default wildcard, the mode and fresh caches.
// Only for creation_pristine(); runs no Python code.
Ref new_native(PyObject* first, PyObject* scalar, PyObject* tuplelen) noexcept {
    Ref obj = Ref::steal(L.cls->tp_alloc(L.cls, 0));
    if (!obj) return Ref();
    Ref state = Ref::steal(PyDict_Copy(g_state_template));
    if (!state) return Ref();
    if (g_state_slots_known) {
        Ref fresh[5];
        for (Ref& f : fresh)
            if (!(f = Ref::steal(PyDict_New()))) return Ref();
        PyObject* d = state.get();
        set_state(d, T_scalar, Py_NewRef(scalar));
        set_state(d, T_tuplelen, Py_NewRef(tuplelen));
        set_state(d, T_index, fresh[0].release());
        set_state(d, T_prev, fresh[1].release());
        set_state(d, T_next, fresh[2].release());
        set_state(d, T_prevc, fresh[3].release());
        set_state(d, T_nextc, fresh[4].release());
        // It now holds containers: the collector must see it.
        if (!PyObject_GC_IsTracked(d)) PyObject_GC_Track(d);
    } else {
        if ((scalar != Py_None && PyDict_SetItem(state.get(), N.scalar, scalar) < 0) ||
            (tuplelen != Py_None && PyDict_SetItem(state.get(), N.tuplelen, tuplelen) < 0))
            return Ref();
        for (PyObject* name : {N.index, N.prev, N.next, N.prevc, N.nextc}) {
            Ref fresh = Ref::steal(PyDict_New());
            if (!fresh || PyDict_SetItem(state.get(), name, fresh.get()) < 0) return Ref();
        }
    }
    PyObject** dp = _PyObject_GetDictPtr(obj.get());
    if (!dp) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return Ref();
    }
    PyObject* old = *dp;
    *dp = state.release();
    Py_XDECREF(old);
    if (first && PyList_Append(obj.get(), first) < 0) return Ref();
    return obj;
}

// `rowsieve([])`
// CAUTION: may run arbitrary Python code
Ref new_empty() noexcept {
    if (creation_pristine()) return new_native(nullptr, Py_None, Py_None);
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty) return Ref();
    return new_rowsieve({empty.get()});
}

// Can the items of `x` be read straight from its list storage, exactly as
// `x[0]`, `len(x)` and `for y in x` would see them?
inline bool native_items(PyObject* x) noexcept { return PyList_CheckExact(x) || exact_pristine(x); }

// The mode check of a batch (steps 1, 2 and 4 of `__scalaraddcheck`) in C.
// `scalar`: -1 undetermined, 0 tuple mode, 1 scalar mode; `tuplelen`: -1 not
// recorded, -2 recorded but no tuple can have it, else the length. Both are
// updated exactly when the check records them: the mode before the batch is
// checked, the length once every item is a tuple. When `copy` is given, the
// items are also stored there (new references) as they pass, so that a batch
// is read once, and a failing check takes those references back. Runs no
// Python code. Returns kPass, kMix or kLength.
enum Verdict { kPass, kMix, kLength };

Verdict check_mode(int& scalar, Py_ssize_t& tuplelen, PyObject* const* items, Py_ssize_t n,
                   PyObject** copy) noexcept {
    if (n == 0) return kPass;  // `x[0]` raises IndexError, which ends the check quietly
    if (scalar < 0) scalar = is_scalar_item(items[0]);
    auto fail = [&](Verdict v, Py_ssize_t copied) noexcept {
        if (copy)
            for (Py_ssize_t i = 0; i < copied; ++i) Py_CLEAR(copy[i]);
        return v;
    };
    if (scalar) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (PyTuple_CheckExact(items[i])) return fail(kMix, i);
            if (copy) copy[i] = Py_NewRef(items[i]);
        }
        return kPass;
    }
    if (!PyTuple_CheckExact(items[0])) return fail(kMix, 0);
    const Py_ssize_t want = tuplelen == -1 ? PyTuple_GET_SIZE(items[0]) : tuplelen;
    bool length_differs = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* y = items[i];
        if (!PyTuple_CheckExact(y)) return fail(kMix, i);
        length_differs |= PyTuple_GET_SIZE(y) != want;
        if (copy) copy[i] = Py_NewRef(y);
    }
    tuplelen = want;
    return length_differs ? fail(kLength, n) : kPass;
}

// Raises the ValueError of a failed check.
int check_failed(Verdict v) noexcept {
    PyErr_SetString(builtin(B_ValueError), v == kMix ? kMixMessage : kLengthMessage);
    return -1;
}

// The mode check of a batch (`__scalaraddcheck`) on an instance dict, for
// items read straight from a list (see check_mode for `copy`). Runs no Python
// code. Returns 0 when the batch passes, -1 with ValueError set, or 1 when the
// recorded state is not one that this shortcut decides (nothing is changed
// then).
int check_batch(PyObject* dict, PyObject* const* items, Py_ssize_t n, PyObject** copy = nullptr) noexcept {
    PyObject* scalar_obj = PyDict_GetItemWithError(dict, N.scalar);
    PyObject* tuplelen_obj = scalar_obj ? PyDict_GetItemWithError(dict, N.tuplelen) : nullptr;
    if (!tuplelen_obj) {
        PyErr_Clear();
        return 1;
    }
    int scalar;
    if (scalar_obj == Py_None)
        scalar = -1;
    else if (scalar_obj == Py_True || scalar_obj == Py_False)
        scalar = scalar_obj == Py_True;
    else
        return 1;
    Py_ssize_t tuplelen = -1;
    if (tuplelen_obj != Py_None) {
        if (!PyLong_CheckExact(tuplelen_obj)) return 1;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(tuplelen_obj, &overflow);
        tuplelen = (overflow || v < 0) ? -2 : static_cast<Py_ssize_t>(v);
    }
    const int scalar_before = scalar;
    const Py_ssize_t tuplelen_before = tuplelen;
    Verdict verdict = check_mode(scalar, tuplelen, items, n, copy);
    // What the check recorded stays recorded, whether the batch passed or not.
    bool stored = true;
    if (scalar_before < 0 && scalar >= 0)
        stored = PyDict_SetItem(dict, N.scalar, scalar ? Py_True : Py_False) == 0;
    if (stored && tuplelen_before == -1 && tuplelen >= 0) {
        Ref len_obj = Ref::steal(PyLong_FromSsize_t(tuplelen));
        stored = len_obj && PyDict_SetItem(dict, N.tuplelen, len_obj.get()) == 0;
    }
    if (!stored) {
        if (copy && verdict == kPass)
            for (Py_ssize_t i = 0; i < n; ++i) Py_CLEAR(copy[i]);
        return -1;
    }
    return verdict == kPass ? 0 : check_failed(verdict);
}

// Exchanges the item storage of two lists.
void swap_storage(PyObject* a, PyObject* b) noexcept {
    auto* x = reinterpret_cast<PyListObject*>(a);
    auto* y = reinterpret_cast<PyListObject*>(b);
    std::swap(x->ob_item, y->ob_item);
    std::swap(x->allocated, y->allocated);
    Py_ssize_t size = Py_SIZE(a);
    Py_SET_SIZE(a, Py_SIZE(b));
    Py_SET_SIZE(b, size);
}

constexpr Py_ssize_t kCopyWhileChecking = 256;

// The storage that the base list allocates when it grows by `step` items to
// `needed`: a little room beyond the need, unless the step is larger than
// that room.
size_t grown_capacity(Py_ssize_t needed, Py_ssize_t step) noexcept {
    size_t allocated = ((size_t)needed + ((size_t)needed >> 3) + 6) & ~(size_t)3;
    if ((size_t)step > allocated - (size_t)needed) allocated = ((size_t)needed + 3) & ~(size_t)3;
    return allocated;
}

// Room for `n` more items in the storage of `list` (its size unchanged),
// with the base list's growth pattern.
int reserve(PyObject* list, Py_ssize_t n) noexcept {
    auto* l = reinterpret_cast<PyListObject*>(list);
    const Py_ssize_t size = Py_SIZE(list);
    if (n > PY_SSIZE_T_MAX / (Py_ssize_t)sizeof(PyObject*) - size) {
        PyErr_NoMemory();
        return -1;
    }
    const Py_ssize_t needed = size + n;
    if (needed <= l->allocated) return 0;
    const size_t allocated = grown_capacity(needed, n);
    if (allocated > (size_t)PY_SSIZE_T_MAX / sizeof(PyObject*)) {
        PyErr_NoMemory();
        return -1;
    }
    auto** items = static_cast<PyObject**>(PyMem_Realloc(l->ob_item, allocated * sizeof(PyObject*)));
    if (!items) {
        PyErr_NoMemory();
        return -1;
    }
    l->ob_item = items;
    l->allocated = (Py_ssize_t)allocated;
    return 0;
}

// The base list's extension of `list` by the items of another list, read
// from its storage (PyList_SetSlice would iterate a list subclass). `items`
// must not be `list`. Runs no Python code.
int append_items(PyObject* list, PyObject* items) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(items);
    if (reserve(list, n) < 0) return -1;
    PyObject** dst = reinterpret_cast<PyListObject*>(list)->ob_item + Py_SIZE(list);
    PyObject* const* src = reinterpret_cast<PyListObject*>(items)->ob_item;
    for (Py_ssize_t i = 0; i < n; ++i) dst[i] = Py_NewRef(src[i]);
    Py_SET_SIZE(list, Py_SIZE(list) + n);
    return 0;
}

// extend() of a pristine instance (dict = its instance dict, held by the
// caller) whose dict shadows neither the check nor clean(); `items` satisfies
// native_items(). `owned`: `items` is a temporary list that only the caller
// holds.
// Returns 0, -1 with an exception set, or 1 when the shortcut does not apply.
// CAUTION: may run arbitrary Python code (clean() releases the old caches)
int extend_native(PyObject* self, PyObject* dict, PyObject* items, bool owned) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(items);
    Ref copy;
    int r;
    if (!owned && n >= kCopyWhileChecking && items != self) {
        // A big batch onto a list: copy the items while checking them, so
        // that each member is read once.
        copy = Ref::steal(PyList_New(n));
        if (!copy) return -1;
        r = check_batch(dict, reinterpret_cast<PyListObject*>(items)->ob_item, n,
                        reinterpret_cast<PyListObject*>(copy.get())->ob_item);
    } else {
        r = check_batch(dict, reinterpret_cast<PyListObject*>(items)->ob_item, n);
    }
    if (r != 0) {
        if (r < 0) add_entry(S_scalaraddcheck);
        return r;
    }
    if (store_fresh_caches(dict) < 0) {
        add_entry(S_clean);
        return -1;
    }
    PyObject* batch = copy ? copy.get() : items;
    const Py_ssize_t m = PyList_GET_SIZE(self);
    if (m == 0 && (copy || owned) && PyList_CheckExact(batch)) {
        swap_storage(self, batch);
        // The room that the base list's extension of an empty list leaves.
        auto* l = reinterpret_cast<PyListObject*>(self);
        const size_t fit = Py_SIZE(self) ? grown_capacity(Py_SIZE(self), Py_SIZE(self)) : 0;
        if (fit && (size_t)l->allocated != fit) {
            if (auto** items = static_cast<PyObject**>(PyMem_Realloc(l->ob_item, fit * sizeof(PyObject*)))) {
                l->ob_item = items;
                l->allocated = (Py_ssize_t)fit;
            }
        }
        return 0;
    }
    // clean() may have run Python code: take the batch's current items.
    if (batch == self) return PyList_SetSlice(self, m, m, batch);
    return append_items(self, batch);
}

// The same, deciding whether the shortcut applies.
// CAUTION: may run arbitrary Python code
int extend_fast(PyObject* self, PyObject* items, bool owned) noexcept {
    PyObject* d = fast_dict(self);
    if (!d || !native_items(items) || !own_methods(d)) return 1;
    Ref keep = Ref::borrow(d);
    return extend_native(self, d, items, owned);
}

// `self.clean()`
// CAUTION: may run arbitrary Python code
int clean_self(PyObject* self) noexcept {
    if (PyObject* d = fast_dict(self)) {
        if (own_methods(d)) {
            Ref keep = Ref::borrow(d);
            if (store_fresh_caches(d) < 0) {
                add_entry(S_clean);
                return -1;
            }
            return 0;
        }
    }
    return call_self(N.clean, {self});
}

// `self.__scalardelcheck()`
// CAUTION: may run arbitrary Python code
int delcheck_self(PyObject* self) noexcept {
    if (PyObject* d = fast_dict(self)) {
        if (own_methods(d)) {
            if (PyList_GET_SIZE(self) != 0) return 0;
            Ref keep = Ref::borrow(d);
            if (PyDict_SetItem(d, N.scalar, Py_None) < 0 || PyDict_SetItem(d, N.tuplelen, Py_None) < 0) {
                add_entry(S_scalardelcheck);
                return -1;
            }
            return 0;
        }
    }
    return call_self(N.scalardelcheck, {self});
}

// `self.__scalaraddcheck([x])`
// CAUTION: may run arbitrary Python code
int addcheck_one(PyObject* self, PyObject* x) noexcept {
    if (PyObject* d = fast_dict(self)) {
        if (own_methods(d)) {
            Ref keep = Ref::borrow(d);
            int r = check_batch(d, &x, 1);
            if (r < 0) add_entry(S_scalaraddcheck);
            if (r <= 0) return r;
        }
    }
    Ref batch = list_of(x);
    if (!batch) return -1;
    return call_self(N.scalaraddcheck, {self, batch.get()});
}

// ============================================================================
// Mode checks and clean (construction and additions)
// ============================================================================

// `self.<name>` and `self.<name> = value`, through the instance.
// CAUTION: may run arbitrary Python code
inline Ref get_attr(PyObject* self, PyObject* name) noexcept { return vk::getattr(self, name); }
inline int set_attr(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return PyObject_SetAttr(self, name, value);
}

// The steps of the mode check; an IndexError anywhere ends the check quietly.
// CAUTION: may run arbitrary Python code
int scalaraddcheck_steps(PyObject* self, PyObject* x) noexcept {
    // 1. Decide the mode from the first item when it is undetermined.
    Ref scalar = get_attr(self, N.scalar);
    if (!scalar) return -1;
    if (scalar.get() == Py_None) {
        Ref first = Ref::steal(PySequence_GetItem(x, 0));
        if (!first) return -1;
        if (set_attr(self, N.scalar, is_scalar_item(first.get()) ? Py_True : Py_False) < 0) return -1;
    }
    // 2. Every item must agree with the mode.
    scalar = get_attr(self, N.scalar);
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
    Ref tuplelen = get_attr(self, N.tuplelen);
    if (!tuplelen) return -1;
    if (tuplelen.get() == Py_None) {
        Ref first = Ref::steal(PySequence_GetItem(x, 0));
        if (!first) return -1;
        Py_ssize_t n = PyObject_Length(first.get());
        if (n < 0) return -1;
        Ref len_obj = Ref::steal(PyLong_FromSsize_t(n));
        if (!len_obj || set_attr(self, N.tuplelen, len_obj.get()) < 0) return -1;
        tuplelen = get_attr(self, N.tuplelen);
        if (!tuplelen) return -1;
    }
    Ref it = Ref::steal(PyObject_GetIter(x));
    if (!it) return -1;
    while (Ref y = Ref::steal(PyIter_Next(it.get()))) {
        Py_ssize_t n = PyObject_Length(y.get());
        if (n < 0) return -1;
        int differs;
        if (PyLong_CheckExact(tuplelen.get())) {
            Py_ssize_t want = PyLong_AsSsize_t(tuplelen.get());
            if (want == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                differs = 1;
            } else {
                differs = want != n;
            }
        } else {
            Ref len_obj = Ref::steal(PyLong_FromSsize_t(n));
            if (!len_obj) return -1;
            differs = PyObject_RichCompareBool(len_obj.get(), tuplelen.get(), Py_NE);
            if (differs < 0) return -1;
        }
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
    if (PyObject* d = fast_dict(self)) {
        if (native_items(x)) {
            Ref keep = Ref::borrow(d);
            int r = check_batch(d, reinterpret_cast<PyListObject*>(x)->ob_item, PyList_GET_SIZE(x));
            if (r < 0) return nullptr;
            if (r == 0) Py_RETURN_NONE;
        }
    }
    if (scalaraddcheck_steps(self, x) < 0) {
        if (!error_is(B_IndexError)) return nullptr;
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

// __scalardelcheck(self)
PyObject* rowsieve_scalardelcheck(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    int truth = exact_pristine(self) ? PyList_GET_SIZE(self) != 0 : PyObject_IsTrue(self);
    if (truth < 0) return nullptr;
    if (!truth) {
        if (write_attr(self, N.scalar, Py_None) < 0 || write_attr(self, N.tuplelen, Py_None) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// clean(self)
PyObject* rowsieve_clean(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    if (PyObject* d = fast_dict(self)) {
        Ref keep = Ref::borrow(d);
        if (store_fresh_caches(d) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    PyObject* const order[] = {N.index, N.contents, N.prev, N.next, N.prevc, N.nextc};
    for (PyObject* name : order) {
        if (name == N.contents) {
            if (set_attr(self, name, Py_None) < 0) return nullptr;
            continue;
        }
        Ref d = Ref::steal(PyDict_New());
        if (!d || set_attr(self, name, d.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// The steps of extend() after `L` became a list, through the instance.
// CAUTION: may run arbitrary Python code
int extend_general(PyObject* self, PyObject* items) noexcept {
    if (call_self(N.scalaraddcheck, {self, items}) < 0) return -1;
    if (clean_self(self) < 0) return -1;
    if (!PyList_Check(self)) {
        PyErr_SetString(builtin(B_TypeError), "descriptor 'extend' requires a 'list' object");
        return -1;
    }
    // Base list extension; slice assignment copies first when `items` is self.
    Py_ssize_t n = PyList_GET_SIZE(self);
    return PyList_SetSlice(self, n, n, items);
}

// extend(self, L) on a list that the caller already converted.
// CAUTION: may run arbitrary Python code
int extend_items(PyObject* self, PyObject* items, bool owned) noexcept {
    int r = extend_fast(self, items, owned);
    if (r <= 0) return r;
    return extend_general(self, items);
}

// __init__(self, data=[], wild='*')
PyObject* rowsieve_init(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *data = a[1], *wild = a[2];
    if (!PyList_Check(self)) {
        PyErr_Format(builtin(B_TypeError), "descriptor '__init__' requires a 'list' object but received a '%s'",
                     Py_TYPE(self)->tp_name);
        return nullptr;
    }
    // The base list, initialised with no arguments, is empty.
    if (PyList_Type.tp_init(self, kEmptyTuple, nullptr) < 0) return nullptr;
    if (exact_pristine(self)) {
        // A new instance has no dict yet: create it, as the first attribute
        // store would.
        Ref d = Ref::steal(PyObject_GenericGetDict(self, nullptr));
        if (!d) return nullptr;
        if (own_methods(d.get())) {
            if (PyDict_SetItem(d.get(), N.wild, wild) < 0) return nullptr;
            if (delcheck_self(self) < 0) return nullptr;
            Ref items = Ref::borrow(data);
            bool owned = false;
            if (!PyList_Check(data)) {
                items = Ref::steal(PySequence_List(data));
                if (!items) {
                    add_entry(S_extend);
                    return nullptr;
                }
                owned = true;
            }
            if (extend_items(self, items.get(), owned) < 0) {
                add_entry(S_extend);
                return nullptr;
            }
            Py_RETURN_NONE;
        }
    }
    if (set_attr(self, N.wild, wild) < 0) return nullptr;
    if (call_self(N.scalardelcheck, {self}) < 0) return nullptr;
    if (call_self(N.extend, {self, data}) < 0) return nullptr;
    Py_RETURN_NONE;
}

// append(self, x)
PyObject* rowsieve_append(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *x = a[1];
    if (PyObject* d = fast_dict(self)) {
        if (own_methods(d)) {
            Ref keep = Ref::borrow(d);
            int r = check_batch(d, &x, 1);
            if (r < 0) {
                add_entry(S_scalaraddcheck);
                return nullptr;
            }
            if (r == 0) {
                if (store_fresh_caches(d) < 0) {
                    add_entry(S_clean);
                    return nullptr;
                }
                if (PyList_Append(self, x) < 0) return nullptr;
                Py_RETURN_NONE;
            }
        }
    }
    if (addcheck_one(self, x) < 0) return nullptr;
    if (clean_self(self) < 0) return nullptr;
    if (!PyList_Check(self)) {
        PyErr_SetString(builtin(B_TypeError), "descriptor 'append' requires a 'list' object");
        return nullptr;
    }
    if (PyList_Append(self, x) < 0) return nullptr;
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
// Key functions and index building
// ============================================================================

// The key function of a position pattern. While `operator.itemgetter` is the
// load-time type it is computed in C with the same semantics (an exact tuple
// in range gives its field, anything else goes through `x[position]`), and
// the identity of scalar mode likewise; the Python callable is built only
// when something outside this module is handed the key function.
struct KeyFn {
    PyObject* pattern = nullptr;  // tuple of positions, held by the caller
    bool identity = false;
    bool native = false;
    Ref callable;
    SmallVec<Py_ssize_t, 8> positions;

    // CAUTION: may run arbitrary Python code
    Ref field(PyObject* x, size_t i) noexcept {
        Py_ssize_t p = positions[i];
        if (PyTuple_CheckExact(x) && p < PyTuple_GET_SIZE(x)) return Ref::borrow(PyTuple_GET_ITEM(x, p));
        return Ref::steal(PyObject_GetItem(x, PyTuple_GET_ITEM(pattern, i)));
    }

    // CAUTION: may run arbitrary Python code
    Ref apply(PyObject* x) noexcept {
        if (identity) return Ref::borrow(x);
        if (!native) return vk::call(callable.get(), {x});
        const size_t n = positions.size();
        if (n == 1) return field(x, 0);
        Ref key = Ref::steal(PyTuple_New((Py_ssize_t)n));
        if (!key) return Ref();
        for (size_t i = 0; i < n; ++i) {
            Ref f = field(x, i);
            if (!f) return Ref();
            PyTuple_SET_ITEM(key.get(), i, f.release());
        }
        return key;
    }

    // The key function as a Python callable.
    Ref materialise() noexcept {
        if (callable) return callable.dup();
        if (identity) return Ref::borrow(L.identity);
        return Ref::steal(PyObject_Call(L.itemgetter, pattern, nullptr));
    }
};

// Creates the buckets of one field index and adds members to them. A bucket
// is `rowsieve([x])` and grows through its own `append`; while the class and
// the global are pristine both run in C. Every bucket made here in C is one
// that nobody else has seen, so its caches stay the fresh ones it was created
// with, and while all of them have the mode of the first (`uniform`), a
// member of that mode passes the bucket's check without a look at it.
struct BucketMaker {
    int kind0 = -1;          // 1 scalar, 0 tuple, -1 none yet
    Py_ssize_t len0 = -1;
    bool uniform = true;

    // CAUTION: may run arbitrary Python code
    Ref create(PyObject* x) noexcept {
        if (creation_pristine()) {
            const bool scalar = is_scalar_item(x);
            const Py_ssize_t len = scalar ? -1 : PyTuple_GET_SIZE(x);
            if (kind0 < 0) {
                kind0 = scalar;
                len0 = len;
            } else if (kind0 != (int)scalar || len0 != len) {
                uniform = false;
            }
            Ref len_obj;
            if (scalar) {
                len_obj = Ref::borrow(Py_None);
            } else if (!(len_obj = Ref::steal(PyLong_FromSsize_t(len)))) {
                return Ref();
            }
            return new_native(x, scalar ? Py_True : Py_False, len_obj.get());
        }
        uniform = false;
        Ref batch = list_of(x);
        if (!batch) return Ref();
        return new_rowsieve({batch.get()});
    }

    // CAUTION: may run arbitrary Python code
    int append(PyObject* bucket, PyObject* x) noexcept {
        if (exact_pristine(bucket)) {
            const bool scalar = is_scalar_item(x);
            if (uniform && kind0 == (int)scalar && (scalar || PyTuple_GET_SIZE(x) == len0))
                return PyList_Append(bucket, x);
            PyObject* d = fast_dict(bucket);
            if (d && own_methods(d)) {
                Ref keep = Ref::borrow(d);
                int r = check_batch(d, &x, 1);
                if (r < 0) {
                    add_entry(S_scalaraddcheck);
                    add_entry(S_append);
                    return -1;
                }
                if (r == 0) {
                    if (store_fresh_caches(d) < 0) {
                        add_entry(S_clean);
                        add_entry(S_append);
                        return -1;
                    }
                    return PyList_Append(bucket, x);
                }
            }
        }
        return call_self(N.append, {bucket, x});
    }
};

// One member into a field index: its key, then its bucket.
// CAUTION: may run arbitrary Python code
int index_member(PyObject* index, BucketMaker& buckets, KeyFn& key, PyObject* x) noexcept {
    Ref k = key.apply(x);
    if (!k) return -1;
    if (PyObject* found = PyDict_GetItemWithError(index, k.get())) {
        Ref bucket = Ref::borrow(found);
        return buckets.append(bucket.get(), x);
    }
    if (PyErr_Occurred()) return -1;
    Ref bucket = buckets.create(x);
    if (!bucket) return -1;
    return PyDict_SetItem(index, k.get(), bucket.get());
}

// __makeindex: a new field index of the current members (not stored).
// CAUTION: may run arbitrary Python code
Ref build_index(PyObject* self, KeyFn& key) noexcept {
    Ref index = Ref::steal(PyDict_New());
    if (!index) return Ref();
    BucketMaker buckets;
    // The base list's iterator reads the item at a running position and
    // re-reads the size at every step; an exact instance of the unmodified
    // class iterates just like that.
    const bool direct = exact_pristine(self);
    Ref it;
    if (!direct && !(it = Ref::steal(PyObject_GetIter(self)))) return Ref();
    for (Py_ssize_t i = 0;; ++i) {
        Ref x;
        if (direct) {
            if (i >= PyList_GET_SIZE(self)) break;
            x = Ref::borrow(PyList_GET_ITEM(self, i));
        } else if (!(x = Ref::steal(PyIter_Next(it.get())))) {
            if (PyErr_Occurred()) return Ref();
            break;
        }
        if (index_member(index.get(), buckets, key, x.get()) < 0) {
            // A member too short for the pattern is skipped.
            if (!error_is(B_IndexError)) return Ref();
            PyErr_Clear();
        }
    }
    return index;
}

// __makeindex(self, getkey)
PyObject* rowsieve_makeindex(vk::Function*, PyObject* const* a) noexcept {
    KeyFn key;
    key.callable = Ref::borrow(a[1]);
    return build_index(a[0], key).release();
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
    if (isstr_pristine()) {
        if (PyUnicode_Check(v)) return 1;
        if (plain_non_string(Py_TYPE(v))) return 0;
    }
    Ref f = g_isstr.get(frame);
    if (!f) return -1;
    Ref r = vk::call(f.get(), {v});
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// Would `iter(v)` fail? Exactly the test that PyObject_GetIter makes, which
// runs no Python code.
inline bool not_iterable(PyObject* v) noexcept { return !Py_TYPE(v)->tp_iter && !PySequence_Check(v); }

// `v != wild` for plain values whose comparison runs no Python code: 1 or 0,
// or -1 when the general comparison must decide.
int plain_differs(PyObject* v, PyObject* wild) noexcept {
    PyTypeObject *tv = Py_TYPE(v), *tw = Py_TYPE(wild);
    auto kind = [](PyTypeObject* t) {
        if (t == &PyUnicode_Type) return 1;
        if (t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type) return 2;
        if (t == Py_TYPE(Py_None)) return 3;
        return 0;
    };
    const int kv = kind(tv), kw = kind(tw);
    if (!kv || !kw) return -1;
    if (kv != kw) return 1;  // none of these compares equal to another kind
    if (kv == 3) return 0;
    if (kv == 1) {
        if (v == wild) return 0;
        if (PyUnicode_GET_LENGTH(v) != PyUnicode_GET_LENGTH(wild)) return 1;
        Ref r = Ref::steal(PyUnicode_RichCompare(v, wild, Py_NE));
        if (!r) {
            PyErr_Clear();
            return -1;
        }
        return r.get() == Py_True;
    }
    return -1;
}

PyObject* select_impl(PyObject* self, PyObject* vals) noexcept;
int select_warm(PyObject* self, PyObject* dict, PyObject* const* vals, Py_ssize_t n, Ref* out) noexcept;
int lookup(PyObject* mapping, PyObject* key, Ref* out, bool index_too) noexcept;
PyObject* no_match() noexcept;

// `self.select(*args)` for one alternative.
// CAUTION: may run arbitrary Python code
Ref nested_select(PyObject* self, PyObject* args) noexcept {
    if (PyObject* d = fast_dict(self)) {
        if (own_methods(d)) {
            PyObject* r = select_impl(self, args);
            if (!r) add_entry(S_select);
            return Ref::steal(r);
        }
    }
    Ref method = vk::getattr(self, N.select);
    if (!method) return Ref();
    return Ref::steal(PyObject_Call(method.get(), args, nullptr));
}

// The arguments of `self.select(*self.__repl(vals, k, vv))`.
// CAUTION: may run arbitrary Python code
Ref replaced_args(PyObject* self, PyObject* vals, Py_ssize_t k, PyObject* vv) noexcept {
    if (PyObject* d = fast_dict(self)) {
        if (own_methods(d)) {
            const Py_ssize_t n = PyTuple_GET_SIZE(vals);
            Ref args = Ref::steal(PyTuple_New(n));
            if (!args) return Ref();
            for (Py_ssize_t i = 0; i < n; ++i)
                PyTuple_SET_ITEM(args.get(), i, Py_NewRef(i == k ? vv : PyTuple_GET_ITEM(vals, i)));
            return args;
        }
    }
    Ref repl = vk::getattr(self, N.repl);
    Ref position = Ref::steal(PyLong_FromSsize_t(k));
    if (!repl || !position) return Ref();
    Ref items = vk::call(repl.get(), {vals, position.get(), vv});
    if (!items) return Ref();
    return Ref::steal(PySequence_Tuple(items.get()));
}

// `result.extend(sub)`
// CAUTION: may run arbitrary Python code
int extend_result(PyObject* result, PyObject* sub) noexcept {
    if (PyObject* d = fast_dict(result)) {
        if (native_items(sub) && own_methods(d)) {
            Ref keep = Ref::borrow(d);
            int r = extend_native(result, d, sub, false);
            if (r < 0) add_entry(S_extend);
            if (r <= 0) return r;
        }
    }
    return call_self(N.extend, {result, sub});
}

// The result of an expansion while it is filled. While `rowsieve(...)` can
// be built in C, the result is a native instance that nobody can see before
// it is returned: its mode is kept in C and written once at the end, and
// the `clean()` of each `extend` is skipped (its caches are still the fresh
// ones it was created with). Otherwise it is whatever the global
// `rowsieve([])` returned, extended through its own `extend`.
class Gathered {
public:
    // CAUTION: may run arbitrary Python code
    int start() noexcept {
        unseen_ = creation_pristine();
        result_ = unseen_ ? new_native(nullptr, Py_None, Py_None) : new_empty();
        return result_ ? 0 : -1;
    }

    // `result.extend(sub)`
    // CAUTION: may run arbitrary Python code
    int add(PyObject* sub) noexcept {
        if (unseen_) {
            if (native_items(sub) && sub != result_.get()) {
                PyObject* result = result_.get();
                const Py_ssize_t n = PyList_GET_SIZE(sub), size = PyList_GET_SIZE(result);
                if (reserve(result, n) < 0) return -1;
                Verdict verdict = check_mode(scalar_, tuplelen_, reinterpret_cast<PyListObject*>(sub)->ob_item, n,
                                             reinterpret_cast<PyListObject*>(result)->ob_item + size);
                if (verdict != kPass) {
                    check_failed(verdict);
                    add_entry(S_scalaraddcheck);
                    add_entry(S_extend);
                    return -1;
                }
                Py_SET_SIZE(result, size + n);
                return 0;
            }
            if (store_mode() < 0) return -1;
        }
        return extend_result(result_.get(), sub);
    }

    // The result as a rowsieve.
    Ref finish() noexcept {
        if (unseen_ && store_mode() < 0) return Ref();
        return std::move(result_);
    }

private:
    // Writes the mode kept in C into the result's dict.
    int store_mode() noexcept {
        unseen_ = false;
        if (scalar_ < 0) return 0;
        PyObject* d = instance_dict(result_.get());
        if (g_state_slots_known && d && state_layout(d, false)) {
            Ref len_obj = tuplelen_ >= 0 ? Ref::steal(PyLong_FromSsize_t(tuplelen_)) : Ref::borrow(Py_None);
            if (!len_obj) return -1;
            set_state(d, T_scalar, Py_NewRef(scalar_ ? Py_True : Py_False));
            set_state(d, T_tuplelen, len_obj.release());
            return 0;
        }
        if (PyDict_SetItem(d, N.scalar, scalar_ ? Py_True : Py_False) < 0) return -1;
        if (tuplelen_ < 0) return 0;
        Ref len_obj = Ref::steal(PyLong_FromSsize_t(tuplelen_));
        return len_obj ? PyDict_SetItem(d, N.tuplelen, len_obj.get()) : -1;
    }

    Ref result_;
    bool unseen_ = false;
    int scalar_ = -1;
    Py_ssize_t tuplelen_ = -1;
};

// Phase 1 at position k: the concatenation of the selections for each
// alternative of vals[k]. Returns the result; or nullptr with an exception
// set; or nullptr without one when the argument is to be taken as a plain
// value (it is not iterable, or a nested selection failed with IndexError
// or TypeError).
// CAUTION: may run arbitrary Python code
Ref expand_position(PyObject* self, PyObject* vals, Py_ssize_t k) noexcept {
    PyObject* v = PyTuple_GET_ITEM(vals, k);
    Gathered result;
    if (result.start() < 0) return Ref();
    // The alternatives of an exact list or tuple are read by position, as
    // their own iterators do (re-reading a list's size at every step).
    const bool by_position = PyList_CheckExact(v) || PyTuple_CheckExact(v);
    Ref it;
    if (!by_position && !(it = Ref::steal(PyObject_GetIter(v)))) {
        if (error_is(B_TypeError)) PyErr_Clear();
        return Ref();
    }
    // Whether the calls each alternative makes on self (`self.__repl`,
    // `self.select`) are this class's own is decided once, and again only
    // after the instance dict changed.
    const Py_ssize_t n = PyTuple_GET_SIZE(vals);
    Ref dict = Ref::borrow(fast_dict(self));
    const bool own_calls = dict && n <= kStackArgs && own_methods(dict.get());
    const uint64_t version = own_calls ? dict_version(dict.get()) : 0;
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
        Ref sub;
        bool answered = false;
        if (own_calls && fast_dict(self) == dict.get() && dict_version(dict.get()) == version) {
            PyObject* args[kStackArgs];
            for (Py_ssize_t i = 0; i < n; ++i) args[i] = i == k ? vv.get() : PyTuple_GET_ITEM(vals, i);
            answered = select_warm(self, dict.get(), args, n, &sub);
            if (answered && !sub) add_entry(S_select);
        }
        if (!answered) {
            Ref args = replaced_args(self, vals, k, vv.get());
            if (!args) return Ref();
            sub = nested_select(self, args.get());
        }
        if (!sub) {
            if (error_is(B_IndexError) || error_is(B_TypeError)) PyErr_Clear();
            return Ref();
        }
        if (result.add(sub.get()) < 0) return Ref();
    }
    return result.finish();
}

// A new empty result, `rowsieve([])`.
// CAUTION: may run arbitrary Python code
PyObject* no_match() noexcept { return new_empty().release(); }

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

// The pattern tuple from its positions.
Ref make_pattern(const SmallVec<Py_ssize_t, 16>& positions) noexcept {
    const size_t n = positions.size();
    if (n == 1 && positions[0] < kPrebuiltPatterns) return Ref::borrow(kPattern[positions[0]]);
    Ref pattern = Ref::steal(PyTuple_New((Py_ssize_t)n));
    if (!pattern) return Ref();
    for (size_t i = 0; i < n; ++i) {
        PyObject* p = PyLong_FromSsize_t(positions[i]);
        if (!p) return Ref();
        PyTuple_SET_ITEM(pattern.get(), i, p);
    }
    return pattern;
}

// The truth of the mode attribute (phase 2 and phase 4).
// CAUTION: may run arbitrary Python code
int scalar_mode(PyObject* self) noexcept {
    Ref scalar = read_attr(self, N.scalar);
    if (!scalar) return -1;
    return PyObject_IsTrue(scalar.get());
}

// `self.__makeindex(getkey)`
// CAUTION: may run arbitrary Python code
Ref make_index_for(PyObject* self, KeyFn& key) noexcept {
    if (PyObject* d = fast_dict(self)) {
        if ((key.identity || key.native) && own_methods(d)) {
            Ref index = build_index(self, key);
            if (!index) add_entry(S_makeindex);
            return index;
        }
    }
    Ref getkey = key.materialise();
    if (!getkey) return Ref();
    return vk::call_method(N.makeindex, {self, getkey.get()});
}

// The common query in C, for an exact instance of the unmodified class
// (dict: its instance dict) whose arguments are all strings or plain values
// that are not iterable, so that phase 1 expands nothing and no comparison
// runs Python code, and whose pattern already has its field index. Returns 1
// when it answered (*out holds the result, or is empty with an exception
// set), 0 when the general steps must run; nothing has happened then. Only
// the final lookup can run Python code (the hash and equality of the key).
// CAUTION: may run arbitrary Python code
int select_warm(PyObject* self, PyObject* dict, PyObject* const* vals, Py_ssize_t n, Ref* out) noexcept {
    if (n == 0) return 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* v = vals[k];
        if (!PyUnicode_Check(v) && !(plain_non_string(Py_TYPE(v)) && not_iterable(v))) return 0;
    }
    // The class, `rowsieve`, `operator.itemgetter` and `_isstr` as at load.
    if (!class_pristine() || !isstr_pristine()) return 0;
    PyObject* wild = state_of(dict, M_wild, N.wild);
    PyObject* scalar = state_of(dict, M_scalar, N.scalar);
    PyObject* cache = state_of(dict, M_index, N.index);
    if (!wild || (scalar != Py_True && scalar != Py_False) || !cache || !PyDict_CheckExact(cache)) return 0;
    Py_ssize_t positions[kPrebuiltPatterns];
    Py_ssize_t npos = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        int differs = plain_differs(vals[k], wild);
        if (differs < 0) return 0;
        if (differs) {
            if (npos == kPrebuiltPatterns) return 0;
            positions[npos++] = k;
        }
    }
    if (npos == 0) return 0;
    if (scalar == Py_True) {
        if (n > 1) return 0;
    } else if (PyList_GET_SIZE(self)) {
        PyObject* first = PyList_GET_ITEM(self, 0);
        if (!PyTuple_CheckExact(first) || PyTuple_GET_SIZE(first) < n) return 0;
    }
    Ref pattern;
    if (npos == 1) {
        pattern = Ref::borrow(kPattern[positions[0]]);
    } else {
        pattern = Ref::steal(PyTuple_New(npos));
        if (!pattern) return 1;
        for (Py_ssize_t i = 0; i < npos; ++i) PyTuple_SET_ITEM(pattern.get(), i, PyLong_FromSsize_t(positions[i]));
    }
    // The cache's keys are position tuples: looking one up runs no Python code.
    PyObject* found = npos == 1 ? _PyDict_GetItem_KnownHash(cache, pattern.get(), kPatternHash[positions[0]])
                                : PyDict_GetItemWithError(cache, pattern.get());
    if (!found || !PyDict_CheckExact(found)) {
        PyErr_Clear();
        return 0;
    }
    Ref field_index = Ref::borrow(found);
    // Phase 4; the mode is as phase 2 read it, since no Python code ran since.
    Ref query;
    if (scalar == Py_True || npos == 1) {
        query = Ref::borrow(vals[scalar == Py_True ? 0 : positions[0]]);
    } else {
        query = Ref::steal(PyTuple_New(npos));
        if (!query) return 1;
        for (Py_ssize_t i = 0; i < npos; ++i) PyTuple_SET_ITEM(query.get(), i, Py_NewRef(vals[positions[i]]));
    }
    int r = lookup(field_index.get(), query.get(), out, true);
    if (r == 0) *out = Ref::steal(no_match());
    return 1;
}

// Phases 2 to 4, once phase 1 expanded nothing.
// CAUTION: may run arbitrary Python code
PyObject* select_pattern(PyObject* self, PyObject* vals) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(vals);
    // Phase 2: the position pattern and the key function. The comparisons
    // and the length of the first member are outside the guard: their
    // errors propagate.
    Ref wild = read_attr(self, N.wild);
    if (!wild) return nullptr;
    SmallVec<Py_ssize_t, 16> positions;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* v = PyTuple_GET_ITEM(vals, k);
        int differs = plain_differs(v, wild.get());
        if (differs < 0) {
            Ref ne = Ref::steal(PyObject_RichCompare(v, wild.get(), Py_NE));
            if (!ne || (differs = PyObject_IsTrue(ne.get())) < 0) return nullptr;
        }
        if (differs && !positions.push(k)) return nullptr;
    }
    Ref pattern = make_pattern(positions);
    if (!pattern) return nullptr;
    const bool empty_pattern = positions.size() == 0;

    int scalar = scalar_mode(self);
    if (scalar < 0) return nullptr;
    KeyFn key;
    key.pattern = pattern.get();
    bool missing = false;  // the guard of phase 2 caught the failure of the key function or the lookup
    if (scalar) {
        if (n > 1) {
            PyErr_SetString(builtin(B_IndexError), "Too many indices for rowsieve with scalar keys");
            return nullptr;
        }
        key.identity = true;
    } else {
        const bool direct = exact_pristine(self);
        int nonempty = direct ? PyList_GET_SIZE(self) != 0 : PyObject_IsTrue(self);
        if (nonempty < 0) return nullptr;
        if (nonempty) {
            Py_ssize_t width;
            if (direct && PyTuple_CheckExact(PyList_GET_ITEM(self, 0))) {
                width = PyTuple_GET_SIZE(PyList_GET_ITEM(self, 0));
            } else {
                Ref first = Ref::steal(direct ? Py_NewRef(PyList_GET_ITEM(self, 0)) : PySequence_GetItem(self, 0));
                if (!first || (width = PyObject_Length(first.get())) < 0) return nullptr;
            }
            if (width < n) {
                PyErr_Format(builtin(B_IndexError), "Too many indices for rowsieve with %zd-tuple keys", width);
                return nullptr;
            }
        }
        if (operator_pristine()) {
            // itemgetter() of no positions raises TypeError, which the guard
            // catches; of one or more it is the C key function.
            if (empty_pattern) {
                missing = true;
            } else {
                key.native = true;
                for (size_t i = 0; i < positions.size(); ++i)
                    if (!key.positions.push(positions[i])) return nullptr;
            }
        } else {
            Ref op = g_operator.get(frame);
            Ref getter = op ? vk::getattr(op.get(), N.itemgetter) : Ref();
            if (!getter) return nullptr;
            key.callable = Ref::steal(PyObject_Call(getter.get(), pattern.get(), nullptr));
            if (!key.callable) {
                if (!empty_pattern || !error_is(B_TypeError)) return nullptr;
                PyErr_Clear();
                missing = true;
            }
        }
    }
    Ref cache, field_index;
    if (!missing) {
        if (!(cache = read_attr(self, N.index))) return nullptr;
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
        Ref built = make_index_for(self, key);
        if (!built) return nullptr;
        if (dict_value(self, N.index).get() == generation.get()) {
            Ref current = read_attr(self, N.index);
            if (!current || PyObject_SetItem(current.get(), pattern.get(), built.get()) < 0) return nullptr;
        }
        field_index = std::move(built);
    }
    // Phase 4: the query.
    if ((scalar = scalar_mode(self)) < 0) return nullptr;
    Ref query;
    if (scalar) {
        if (n == 0) return no_match();
        query = Ref::borrow(PyTuple_GET_ITEM(vals, 0));
    } else if (!(query = key.identity ? Ref::borrow(vals) : key.apply(vals))) {
        if (!error_is(B_KeyError) && !error_is(B_IndexError)) return nullptr;
        PyErr_Clear();
        return no_match();
    }
    Ref bucket;
    int found = lookup(field_index.get(), query.get(), &bucket, true);
    if (found < 0) return nullptr;
    return found ? bucket.release() : no_match();
}

// CAUTION: may run arbitrary Python code
PyObject* select_expand(PyObject* self, PyObject* vals) noexcept {
    // Phase 1: the first position whose argument expands decides the result.
    const Py_ssize_t n = PyTuple_GET_SIZE(vals);
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* v = PyTuple_GET_ITEM(vals, k);
        int s = is_str(v);
        if (s < 0) return nullptr;
        if (s) continue;
        // The throw-away result of an argument that is not iterable is not
        // built while building it cannot be observed.
        if (not_iterable(v) && creation_pristine()) continue;
        Ref result = expand_position(self, vals, k);
        if (result) return result.release();
        if (PyErr_Occurred()) return nullptr;
    }
    return select_pattern(self, vals);
}

// Nested selections recurse through C: a self-containing list of
// alternatives must end in RecursionError, not in a stack overflow.
// CAUTION: may run arbitrary Python code
PyObject* select_impl(PyObject* self, PyObject* vals) noexcept {
    if (PyObject* d = fast_dict(self)) {
        Ref result;
        if (select_warm(self, d, reinterpret_cast<PyTupleObject*>(vals)->ob_item, PyTuple_GET_SIZE(vals), &result))
            return result.release();
    }
    if (Py_EnterRecursiveCall(" in rowsieve.select")) return nullptr;
    PyObject* r = select_expand(self, vals);
    Py_LeaveRecursiveCall();
    return r;
}

// select(self, *vals)
PyObject* rowsieve_select(vk::Function*, PyObject* const* a) noexcept { return select_impl(a[0], a[1]); }

// ============================================================================
// Membership
// ============================================================================

// Iterates the members as `for x in self` does.
class Members {
public:
    // CAUTION: may run arbitrary Python code
    explicit Members(PyObject* self) noexcept : self_(self), direct_(exact_pristine(self)) {
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

// __contains__(self, val)
PyObject* rowsieve_contains(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *val = a[1];
    if (PyObject* d = fast_dict(self)) {
        PyObject* map = state_of(d, M_contents, N.contents);
        if (map && PyDict_CheckExact(map)) return map_get(map, val);
    }
    // The map is built only when it is None or missing: an AttributeError
    // raised while `val` is hashed or compared is the caller's to see.
    Ref map = read_attr(self, N.contents);
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
    if (write_attr(self, N.contents, built.get()) < 0) return nullptr;
    if (PyObject* d = fast_dict(self)) {
        if (own_methods(d)) {
            PyObject* r = map_get(built.get(), val);
            if (!r) add_entry(S_contains);
            return r;
        }
    }
    return vk::call_method(N.contains, {self, val}).release();
}

// ============================================================================
// Mutations under the index
// ============================================================================

// insert(self, i, x)
PyObject* rowsieve_insert(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *i = a[1], *x = a[2];
    if (addcheck_one(self, x) < 0 || clean_self(self) < 0) return nullptr;
    return vk::call(L.list_insert, {self, i, x}).release();
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
    Ref x = vk::call(L.list_pop, {self, a[1]});
    if (!x || after_deletion(self) < 0) return nullptr;
    return x.release();
}

// remove(self, x)
PyObject* rowsieve_remove(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    Ref done = vk::call(L.list_remove, {self, a[1]});
    if (!done || after_deletion(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

// __delitem__(self, i)
PyObject* rowsieve_delitem(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    Ref done = vk::call(L.list_delitem, {self, a[1]});
    if (!done || after_deletion(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

// __delslice__(self, i, j)
PyObject* rowsieve_delslice(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    Ref slice = Ref::steal(PySlice_New(a[1], a[2], nullptr));
    if (!slice) return nullptr;
    Ref done = vk::call(L.list_delitem, {self, slice.get()});
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
    Ref wild = read_attr(self, N.wild);
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
    Ref part = vk::call(L.list_getitem, {self, slice.get()});
    if (!part) return nullptr;
    Ref wild = read_attr(self, N.wild);
    if (!wild) return nullptr;
    return vk::call(cls.get(), {part.get(), wild.get()}).release();
}

// ============================================================================
// Navigation
// ============================================================================

enum class Nav { next, prev, nextc, prevc };

// The neighbour map of one kind over a snapshot of the members.
// CAUTION: may run arbitrary Python code
Ref neighbours(PyObject* snapshot, Nav which) noexcept {
    // The snapshot is a list that only this call holds: hashing may run
    // Python code, but nothing else can reach or change these items.
    const Py_ssize_t n = PyList_GET_SIZE(snapshot);
    Ref map = Ref::steal(PyDict_New());
    if (!map) return Ref();
    PyObject* const* items = reinterpret_cast<PyListObject*>(snapshot)->ob_item;
    const bool cyclic = which == Nav::nextc || which == Nav::prevc;
    const bool forward = which == Nav::next || which == Nav::nextc;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t j = forward ? i + 1 : i - 1;
        if (j < 0 || j >= n) {
            if (!cyclic) continue;
            j = (j + n) % n;
        }
        if (PyDict_SetItem(map.get(), items[i], items[j]) < 0) return Ref();
    }
    // Fewer keys than the pairs added: repeated members.
    const Py_ssize_t expected = cyclic ? n : n - 1;
    if (PyDict_GET_SIZE(map.get()) < expected) {
        PyErr_SetString(builtin(B_KeyError), kDuplicateMessage);
        return Ref();
    }
    return map;
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

// CAUTION: may run arbitrary Python code
PyObject* navigate(PyObject* self, PyObject* v, Nav which) noexcept {
    PyObject* const names[] = {N.next, N.prev, N.nextc, N.prevc};
    PyObject* name = names[static_cast<int>(which)];
    if (PyObject* d = fast_dict(self)) {
        PyObject* cache = state_of(d, static_cast<Slot>(M_next + static_cast<int>(which)), name);
        if (cache && PyDict_CheckExact(cache) && PyDict_GET_SIZE(cache)) return neighbour_of(cache, v);
    }
    Ref cache = read_attr(self, name);
    if (!cache) return nullptr;
    int filled = PyObject_IsTrue(cache.get());
    if (filled < 0) return nullptr;
    if (!filled) {
        if (!PyList_Check(self)) {
            PyErr_Format(builtin(B_TypeError), "descriptor '__getitem__' for 'list' objects doesn't apply to a '%.100s' object",
                         Py_TYPE(self)->tp_name);
            return nullptr;
        }
        Ref generation = dict_value(self, name);
        Ref snapshot = Ref::steal(PyList_GetSlice(self, 0, PY_SSIZE_T_MAX));
        if (!snapshot) return nullptr;
        Ref built = neighbours(snapshot.get(), which);
        if (!built) return nullptr;
        if (dict_value(self, name).get() == generation.get()) {
            if (write_attr(self, name, built.get()) < 0) return nullptr;
            if (!(cache = read_attr(self, name))) return nullptr;
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

// Values whose str() runs no Python code and gives the same text each time.
inline bool plain_printable(PyObject* x) noexcept {
    PyTypeObject* t = Py_TYPE(x);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || x == Py_None;
}

// Owns the field texts of the fast table.
struct Texts {
    PyObject** items = nullptr;
    Py_ssize_t count = 0;
    ~Texts() {
        for (Py_ssize_t i = 0; i < count; ++i) Py_XDECREF(items[i]);
        PyMem_Free(items);
    }
};

// Writes pieces into a new string of known length and kind.
struct TextWriter {
    PyObject* out;
    int kind;
    void* data;
    Py_ssize_t pos = 0;

    void text(PyObject* s) noexcept {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
        if (PyUnicode_KIND(s) == kind)
            std::memcpy(static_cast<char*>(data) + pos * kind, PyUnicode_DATA(s), len * kind);
        else
            _PyUnicode_FastCopyCharacters(out, pos, s, 0, len);
        pos += len;
    }
    void spaces(Py_ssize_t n) noexcept {
        if (kind == PyUnicode_1BYTE_KIND) {
            std::memset(static_cast<char*>(data) + pos, ' ', n);
            pos += n;
            return;
        }
        for (Py_ssize_t i = 0; i < n; ++i) PyUnicode_WRITE(kind, data, pos++, ' ');
    }
};

// The table of an exact instance of the unmodified class in tuple mode whose
// members are all exact tuples of one length holding plain values: each
// field's text is made once and the output is written in one piece. Returns
// the text; nullptr with an exception set; or nullptr without one when the
// general steps must run.
PyObject* repr_table_fast(PyObject* self, PyObject* dict) noexcept {
    PyObject* scalar = PyDict_GetItemWithError(dict, N.scalar);
    PyObject* tuplelen = scalar ? PyDict_GetItemWithError(dict, N.tuplelen) : nullptr;
    if (!tuplelen) {
        PyErr_Clear();
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(self);
    if (scalar != Py_False || !PyLong_CheckExact(tuplelen) || n == 0) return nullptr;
    int overflow = 0;
    const long long recorded = PyLong_AsLongLongAndOverflow(tuplelen, &overflow);
    if (overflow) return nullptr;
    PyObject* const* members = reinterpret_cast<PyListObject*>(self)->ob_item;
    if (!PyTuple_CheckExact(members[0])) return nullptr;
    const Py_ssize_t m = PyTuple_GET_SIZE(members[0]);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* k = members[i];
        if (!PyTuple_CheckExact(k) || PyTuple_GET_SIZE(k) != m) return nullptr;
        for (Py_ssize_t j = 0; j < m; ++j)
            if (!plain_printable(PyTuple_GET_ITEM(k, j))) return nullptr;
    }
    // From here on no Python code runs, so the members stay as they are.
    Texts texts;
    SmallVec<Py_ssize_t, 16> widths;
    if (m) {
        texts.items = static_cast<PyObject**>(PyMem_Calloc(n * m, sizeof(PyObject*)));
        if (!texts.items) return PyErr_NoMemory();
        texts.count = n * m;
    }
    Py_UCS4 maxchar = 127;
    Py_ssize_t row_width = 5 + (m > 1 ? 2 * (m - 1) : 0);  // " ( ", ")\n", ", " between fields
    // Column by column, as the widths are computed.
    for (Py_ssize_t j = 0; j < m; ++j) {
        Py_ssize_t width = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* s = PyObject_Str(PyTuple_GET_ITEM(members[i], j));
            if (!s) return nullptr;
            texts.items[i * m + j] = s;
            if (PyUnicode_READY(s) < 0) return nullptr;
            width = std::max(width, PyUnicode_GET_LENGTH(s) + 1);
            maxchar = std::max<Py_UCS4>(maxchar, PyUnicode_MAX_CHAR_VALUE(s));
        }
        if (!widths.push(width)) return nullptr;
        row_width += width;
    }
    Ref header = Ref::steal(
        PyUnicode_FromFormat("<varnok.rowsieve (%zd tuples, %lld values each):\n", n, recorded));
    if (!header) return nullptr;
    const Py_ssize_t total = PyUnicode_GET_LENGTH(header.get()) + n * row_width + 1;
    Ref out = Ref::steal(PyUnicode_New(total, maxchar));
    if (!out) return nullptr;
    TextWriter w{out.get(), PyUnicode_KIND(out.get()), PyUnicode_DATA(out.get())};
    w.text(header.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        w.text(kRowOpen);
        for (Py_ssize_t j = 0; j < m; ++j) {
            if (j) w.text(kFieldSeparator);
            PyObject* s = texts.items[i * m + j];
            w.text(s);
            w.spaces(widths[j] - PyUnicode_GET_LENGTH(s));
        }
        w.text(kRowClose);
    }
    w.text(kTableEnd);
    return out.release();
}

// `str(list(self))`
// CAUTION: may run arbitrary Python code
PyObject* repr_as_list(PyObject* self) noexcept {
    Ref items = Ref::steal(PySequence_List(self));
    if (!items) return nullptr;
    return PyObject_Str(items.get());
}

const int kFieldTextLine = __LINE__ + 3;  // the generator expression of the field texts

// The text of one row's fields, `", ".join(fieldfmt[i] % str(x) for i, x in enumerate(k))`.
// CAUTION: may run arbitrary Python code
Ref row_fields(PyObject* k, PyObject* fieldfmt) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(k));  // enumerate(k), made by __repr__ itself
    if (!it) return Ref();
    Ref texts = Ref::steal(PyList_New(0));
    if (!texts) return Ref();
    auto fail = []() noexcept {
        vk::add_traceback_entry("genexpr", kSource, kFieldTextLine);
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

// The steps of the printed form through the generic protocols.
// CAUTION: may run arbitrary Python code
PyObject* repr_general(PyObject* self) noexcept {
    int nonempty = PyObject_IsTrue(self);
    if (nonempty < 0) return nullptr;
    if (!nonempty) return repr_as_list(self);
    Ref scalar = read_attr(self, N.scalar);
    if (!scalar) return nullptr;
    Ref ne = Ref::steal(PyObject_RichCompare(scalar.get(), Py_False, Py_NE));
    int not_tuples = ne ? PyObject_IsTrue(ne.get()) : -1;
    if (not_tuples < 0) return nullptr;
    if (not_tuples) return repr_as_list(self);

    Py_ssize_t count = PyObject_Length(self);
    if (count < 0) return nullptr;
    Ref count_obj = Ref::steal(PyLong_FromSsize_t(count));
    if (!count_obj) return nullptr;
    Ref tuplelen = read_attr(self, N.tuplelen);
    if (!tuplelen) return nullptr;
    Ref header_args = tuple_of({count_obj.get(), tuplelen.get()});
    if (!header_args) return nullptr;
    Ref pieces = Ref::steal(PyList_New(0));
    Ref header = Ref::steal(PyUnicode_Format(kHeaderFormat, header_args.get()));
    if (!pieces || !header || PyList_Append(pieces.get(), header.get()) < 0) return nullptr;

    // Column widths over zip(*self): the longest text of a column plus one.
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

// __repr__(self)
PyObject* rowsieve_repr(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    if (PyObject* d = fast_dict(self)) {
        Ref keep = Ref::borrow(d);
        PyObject* text = repr_table_fast(self, d);
        if (text || PyErr_Occurred()) return text;
    }
    return repr_general(self);
}

// The key function of scalar mode, handed to `__makeindex` by a select that
// finds that method overridden.
PyObject* select_identity(vk::Function*, PyObject* const* a) noexcept { return Py_NewRef(a[0]); }

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
const vk::FunctionSpec kClean = {"clean", "rowsieve.clean", "self", rowsieve_clean, kCleanDoc, __LINE__, false};
const vk::FunctionSpec kSelect = {"select", "rowsieve.select", "self, *vals", rowsieve_select, kSelectDoc, __LINE__,
                                  false};
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

// The objects that the fast paths compare against, recorded once the class
// exists.
int record_load_time(vk::ModuleFrame& f, PyObject* cls) noexcept {
    PyTypeObject* old = L.cls;
    L.cls = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
    Py_XDECREF(old);
    // Looking a name up gives the class a version tag; any later change to
    // the class replaces it.
    _PyType_Lookup(L.cls, N.select);
    L.tag_valid = (L.cls->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
    L.tag = L.cls->tp_version_tag;
    g_dict_slots_known = false;
    if (L.cls->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
        // An attribute store puts the value inline; asking for the dict then
        // moves it into a dict in the slot before.
        Ref probe = Ref::steal(L.cls->tp_alloc(L.cls, 0));
        if (!probe || PyObject_SetAttr(probe.get(), N.wild, Py_None) < 0) return -1;
        auto** slots = reinterpret_cast<void**>(probe.get());
        void* values_before = slots[-4];
        void* dict_before = slots[-3];
        PyObject** dp = _PyObject_GetDictPtr(probe.get());
        g_dict_slots_known = dp == reinterpret_cast<PyObject**>(probe.get()) - 3 && *dp && !slots[-4] &&
                             (values_before ? !dict_before : dict_before == *dp);
        PyErr_Clear();
    }

    Py_CLEAR(g_state_template);
    {
        Ref state = Ref::steal(PyDict_New());
        if (!state) return -1;
        for (PyObject* name : {N.wild, N.scalar, N.tuplelen, N.index, N.contents, N.prev, N.next, N.prevc, N.nextc})
            if (PyDict_SetItem(state.get(), name, name == N.wild ? kStar : Py_None) < 0) return -1;
        g_state_template = state.release();
        Ref probe = Ref::steal(PyDict_Copy(g_state_template));
        if (!probe) return -1;
        g_state_slots_known = state_layout(probe.get(), true);
    }
    PyObject* isstr = PyDict_GetItemWithError(f.dict, N.isstr_name);
    if (!isstr && PyErr_Occurred()) return -1;
    if (isstr && PyFunction_Check(isstr)) {
        hold(L.isstr, isstr);
        hold(L.isstr_code, PyFunction_GET_CODE(isstr));
    }
    PyObject* isinstance = PyDict_GetItemWithError(f.builtins_dict, N.isinstance);
    if (!isinstance && PyErr_Occurred()) return -1;
    hold(L.isinstance, isinstance);

    PyObject* op = PyDict_GetItemWithError(f.dict, N.operator_name);
    if (!op && PyErr_Occurred()) return -1;
    if (op && PyModule_Check(op)) {
        PyObject* getter = PyDict_GetItemWithError(PyModule_GetDict(op), N.itemgetter);
        if (!getter && PyErr_Occurred()) return -1;
        hold(L.operator_module, op);
        hold(L.itemgetter, getter);
    }

    struct {
        PyObject** slot;
        const char* name;
    } methods[] = {{&L.list_insert, "insert"}, {&L.list_pop, "pop"}, {&L.list_remove, "remove"},
                   {&L.list_delitem, "__delitem__"}, {&L.list_getitem, "__getitem__"}};
    for (auto& m : methods) {
        PyObject* descr = PyDict_GetItemString(PyList_Type.tp_dict, m.name);
        if (!descr) {
            PyErr_Format(PyExc_SystemError, "list.%s is missing", m.name);
            return -1;
        }
        hold(*m.slot, descr);
    }
    return 0;
}

int module_prebuilt(vk::ModuleFrame& f) noexcept {
    site_spec[S_scalaraddcheck] = &kScalarAdd;
    site_spec[S_scalardelcheck] = &kScalarDel;
    site_spec[S_clean] = &kClean;
    site_spec[S_extend] = &kExtend;
    site_spec[S_append] = &kAppend;
    site_spec[S_select] = &kSelect;
    site_spec[S_makeindex] = &kMakeIndex;
    site_spec[S_contains] = &kContains;
    if (!L.identity) {
        Ref identity = vk::make_function(f, kIdentity, Ref());
        if (!identity) return -1;
        L.identity = identity.release();
    }
    return 0;
}

int module_body(vk::ModuleFrame& f) noexcept {
    // import operator
    if (f.import_module("operator") < 0) return -1;
    // from varnokpy._util import _isstr
    const char* const util_names[] = {"_isstr", nullptr};
    if (f.import_from("varnokpy._util", util_names) < 0) return -1;

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
        {"_rowsieve__scalardelcheck", vk::make_function(f, kScalarDel, Ref())},
        {"_rowsieve__scalaraddcheck", vk::make_function(f, kScalarAdd, Ref())},
        {"__repr__", vk::make_function(f, kRepr, Ref())},
        {"clean", vk::make_function(f, kClean, Ref())},
        {"select", vk::make_function(f, kSelect, Ref())},
        {"__contains__", vk::make_function(f, kContains, Ref())},
        {"_rowsieve__makeindex", vk::make_function(f, kMakeIndex, Ref())},
        {"append", vk::make_function(f, kAppend, Ref())},
        {"extend", vk::make_function(f, kExtend, Ref())},
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
    if (!cls || record_load_time(f, cls.get()) < 0) return -1;
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
