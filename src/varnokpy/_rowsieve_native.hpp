// The shortcuts of `rowsieve`: the same steps as _rowsieve.cpp, in C, where
// nothing could tell the difference.
//
// Included by _rowsieve.cpp inside its anonymous namespace, after the module
// state and the helpers both paths share: one compile unit, so traceback
// entries keep naming "src/varnokpy/_rowsieve".
//
// Guards. A shortcut runs only when every object whose Python behaviour it
// skips is one whose behaviour this module knows for certain: this class,
// unmodified since load, and its methods; the interpreter's own types;
// `operator.itemgetter`. Each guard states one fact (the table below), and
// each shortcut asks for the facts that what it skips depends on, no more.
// Every guard consults vk::shortcuts_on(), directly or through
// py311::usable, so the general-only build compiles all of this out; and
// each reads the interpreter's layout only through cpython311.hpp, whose
// probes can switch it off.
//
// What is skipped is only work that nobody can observe: a throw-away result
// list, a swallowed exception, a key function used once, the `clean()` of a
// list that nobody else has seen yet. A shortcut that stands in for a call
// does so through a vk::StandIn, which refuses while a profile function
// would see the call and adds the traceback entry that a failing call would
// have added. A rowsieve made in C (a bucket, a result) gets the
// instance dict that construction would leave, keys in the same order, and
// list storage grown as the base list would grow it; its dict is a copy of
// a template whose values are set in place before anyone can see it.
//
// Quiet builds. An index build over members whose key fields are plain
// values (exact int, str, float, bool, None, exact tuples of them) runs no
// Python code at all: hashing and comparing them is the interpreter's own C
// code, and the buckets are made in C. Over those members the cyclic
// collector is paused (its passes there would walk every new bucket again
// and again and free nothing) and each key is hashed once. The pause ends,
// restoring the collector's previous state, before the first member that
// could run Python code, and on every way out of the build.
//
// Guard answers are remembered per dict version: a dict's version tag
// changes with every change of the dict and is never reused, so (dict,
// version) names one state of one dict without holding it.

namespace native {

using vk::Shortcut;
namespace py311 = vk::py311;
using py311::Probe;

using py311::usable;

// ============================================================================
// Load-time records and guards
// ============================================================================
//
// Each guard states one fact, and each shortcut asks for exactly the facts
// that what it skips depends on:
//
// | guard               | proves                                              | used by                          |
// |---------------------|-----------------------------------------------------|----------------------------------|
// | class_pristine      | the class is as the module body made it (version    | everything below                 |
// |                     | tag unchanged, metaclass still `type`)              |                                  |
// | fast_dict           | `self` is exactly the class: its private attributes | every method's shortcut          |
// |                     | are plain entries of its instance dict              |                                  |
// | own_methods         | the instance dict shadows none of the methods that  | shortcuts that call methods on   |
// |                     | the shortcut would call on it (by name)             | `self` in C                      |
// | construction_known  | `rowsieve(...)` through the module global is this   | buckets, empty results, the      |
// |                     | class's own construction                            | throw-away result of phase 1     |
// | itemgetter_known    | `operator.itemgetter` through the module global is  | key functions computed in C      |
// |                     | the interpreter's type, as at load                  |                                  |
// | isstr_known         | `_isstr` is a function whose code is exactly the    | `_isstr(v)` answered in C        |
// |                     | one-line string test, with `isinstance` and `str`   |                                  |
// |                     | the builtins                                        |                                  |
// | vk::StandIn         | no profile function is set (it would see the calls  | every shortcut that skips a call |
// |                     | that a shortcut skips); adds a skipped call's entry | of a Python-level function       |
//
// `_isstr` belongs to a sibling module that is not ours: in the package it is
// usually compiled, and nothing is known of it beyond its contract (one
// argument; the truth of the result counts; true for a str). It is called,
// once per select argument as phase 1 does, unless its code is, word for
// word, the string test compiled at load from its one-line source.

// Every object here is held strongly for the life of the process, so that an
// address compared against can never be reused by another object.
struct LoadTime {
    PyTypeObject* cls = nullptr;   // `rowsieve` as the module body created it
    unsigned int tag = 0;          // its version tag right after creation (0: none)
    PyObject* isstr = nullptr;     // `_isstr` as imported, when it is the string test
    PyObject* isstr_code = nullptr;
    PyObject* isinstance = nullptr;
    PyObject* operator_module = nullptr;
    PyObject* itemgetter = nullptr;  // `operator.itemgetter`, when the interpreter's type
} L;

inline void hold(PyObject*& slot, PyObject* value) noexcept { vk::set_field(slot, Ref::borrow(value)); }

// The class is as it was at load: no attribute of it was set or deleted, and
// its metaclass is still `type`.
inline bool class_pristine() noexcept {
    return usable(Probe::type_version) && L.tag && py311::type_version(L.cls) == L.tag &&
           Py_IS_TYPE(reinterpret_cast<PyObject*>(L.cls), &PyType_Type);
}

inline bool exact_pristine(PyObject* o) noexcept { return Py_TYPE(o) == L.cls && class_pristine(); }

// The instance dict of an exact instance of the unmodified class (borrowed),
// or nullptr (not such an instance, or no dict yet).
inline PyObject* fast_dict(PyObject* self) noexcept {
    return exact_pristine(self) && usable(Probe::managed_dict) ? py311::managed_dict(self) : nullptr;
}

// The methods that this class's code calls on an instance, as bits.
enum Method : unsigned {
    M_clean = 1u << 0,
    M_extend = 1u << 1,
    M_append = 1u << 2,
    M_select = 1u << 3,
    M_contains = 1u << 4,
    M_scalaraddcheck = 1u << 5,
    M_scalardelcheck = 1u << 6,
    M_makeindex = 1u << 7,
    M_repl = 1u << 8,
};

// Does the instance dict shadow none of the methods in `methods`, so that
// calling them on the instance calls this class's own? The answer for one
// state of one dict is remembered, name by name.
bool own_methods(PyObject* dict, unsigned methods) noexcept {
    static PyObject* seen = nullptr;
    static uint64_t seen_version = 0;
    static unsigned looked = 0, shadowed = 0;  // names looked up in that state, and found
    const bool memo = usable(Probe::dict_version);
    const uint64_t version = memo ? py311::dict_version(dict) : 0;
    if (!memo || dict != seen || version != seen_version) {
        seen = dict;
        seen_version = version;
        looked = shadowed = 0;
    }
    if (unsigned missing = methods & ~looked) {
        PyObject* const names[] = {N.clean, N.extend, N.append, N.select, N.contains, N.scalaraddcheck,
                                   N.scalardelcheck, N.makeindex, N.repl};
        for (unsigned i = 0; i < std::size(names); ++i) {
            if (!(missing & (1u << i))) continue;
            // A failing lookup (a key whose comparison raised) counts as shadowed.
            if (PyDict_GetItemWithError(dict, names[i]) || PyErr_Occurred()) shadowed |= 1u << i;
            PyErr_Clear();
        }
        looked |= missing;
        if (!memo) seen = nullptr;
    }
    return !(shadowed & methods);
}

// The private state that hot paths read from an instance dict.
enum Slot { S_wild, S_scalar, S_index, S_contents, S_next, S_prev, S_nextc, S_prevc, S_count };

// The value under a private name in an instance dict (borrowed), or nullptr
// when it is missing (no exception set).
PyObject* state_of(PyObject* dict, Slot slot, PyObject* name) noexcept {
    struct Memo {
        PyObject* dict;
        uint64_t version;
        PyObject* value;
    };
    static Memo memo[S_count] = {};
    Memo& m = memo[slot];
    const bool remember = usable(Probe::dict_version);
    const uint64_t version = remember ? py311::dict_version(dict) : 0;
    if (remember && m.dict == dict && m.version == version) return m.value;
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (!value) {
        PyErr_Clear();
        return nullptr;
    }
    if (remember) m = {dict, version, value};
    return value;
}

// `rowsieve(...)`, through the module global, would run this class's own
// construction, and a new instance can be given its dict in C. The calls it
// makes (`__init__` and the methods it calls) are skipped: the shortcut also
// needs a vk::StandIn.
inline bool construction_known() noexcept {
    return class_pristine() && usable(Probe::managed_dict) &&
           g_rowsieve.is(frame, reinterpret_cast<PyObject*>(L.cls));
}

// `operator.itemgetter`, read through the module global `operator`, is the
// load-time type (the interpreter's own), so that its objects can be stood
// in for by a key function computed in C. The module's dict is checked again
// only after it changed.
bool itemgetter_known() noexcept {
    if (!vk::shortcuts_on() || !L.itemgetter || !g_operator.is(frame, L.operator_module) ||
        !PyModule_CheckExact(L.operator_module))
        return false;
    static uint64_t seen_version = 0;
    static bool seen_answer = false;
    PyObject* d = PyModule_GetDict(L.operator_module);
    const bool memo = usable(Probe::dict_version);
    if (memo && seen_version && py311::dict_version(d) == seen_version) return seen_answer;
    const bool answer = PyDict_GetItemWithError(d, N.itemgetter) == L.itemgetter;
    PyErr_Clear();
    if (memo) {
        seen_version = py311::dict_version(d);
        seen_answer = answer;
    }
    return answer;
}

// `_isstr`, read through the module global, is the function proven at load
// to be the string test, its code is still that code, and its globals and
// builtins give the builtin `isinstance` and `str`. Checked again only after
// one of the dicts involved changed.
bool isstr_known() noexcept {
    if (!L.isstr || !usable(Probe::function_fields) || !g_isstr.is(frame, L.isstr) ||
        py311::function_code(L.isstr) != L.isstr_code)
        return false;
    PyObject* globals = py311::function_globals(L.isstr);
    PyObject* builtins = py311::function_builtins(L.isstr);
    static PyObject* seen[2] = {};
    static uint64_t versions[2] = {};
    static bool seen_answer = false;
    const bool memo = usable(Probe::dict_version);
    if (memo && seen[0] == globals && seen[1] == builtins && py311::dict_version(globals) == versions[0] &&
        py311::dict_version(builtins) == versions[1])
        return seen_answer;
    bool answer = PyDict_Check(globals) && PyDict_Check(builtins);
    for (PyObject* name : {N.isinstance, N.str})
        answer = answer && !PyDict_GetItemWithError(globals, name) && !PyErr_Occurred();
    answer = answer && PyDict_GetItemWithError(builtins, N.isinstance) == L.isinstance &&
             PyDict_GetItemWithError(builtins, N.str) == reinterpret_cast<PyObject*>(&PyUnicode_Type);
    PyErr_Clear();
    if (memo) {
        seen[0] = globals;
        seen[1] = builtins;
        versions[0] = py311::dict_version(globals);
        versions[1] = py311::dict_version(builtins);
        seen_answer = answer;
    }
    return answer;
}

// Types whose instances `isinstance(v, str)` answers false for without
// consulting a `__class__` that Python code could provide.
bool plain_non_string(PyTypeObject* t) noexcept {
    return t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || t == Py_TYPE(Py_None) ||
           t == &PyTuple_Type || t == &PyList_Type || t == &PyDict_Type || t == &PySet_Type ||
           t == &PyFrozenSet_Type || t == &PyBytes_Type || t == &PyComplex_Type || t == &PyRange_Type;
}

// Can the items of `x` be read straight from its list storage, exactly as
// `x[0]`, `len(x)` and `for y in x` would see them?
inline bool native_items(PyObject* x) noexcept {
    return usable(Probe::list_storage) && (PyList_CheckExact(x) || exact_pristine(x));
}

// Does `for x in self` walk the base list's storage (an exact instance of the
// unmodified class: the base list's iterator, which re-reads the size at
// every step)?
inline bool iterates_as_list(PyObject* self) noexcept { return exact_pristine(self); }

// Records the objects that the guards compare against, once the class exists.
int record(vk::ModuleFrame& f, PyObject* cls) noexcept;

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
// keys in the order construction sets them. Its copies own their key table;
// while `g_in_place`, their values are set by position (the layout checked
// against a real copy at load).
enum StateSlot { T_wild, T_scalar, T_tuplelen, T_index, T_contents, T_prev, T_next, T_prevc, T_nextc, T_count };
PyObject* g_template = nullptr;
bool g_in_place = false;

// Does `dict` have the key table of a template copy: the nine names in
// order, in a table of its own?
bool template_layout(PyObject* dict) noexcept {
    if (!usable(Probe::str_table) || !py311::owns_str_table(dict, T_count)) return false;
    PyObject* const names[T_count] = {N.wild, N.scalar, N.tuplelen, N.index, N.contents,
                                      N.prev, N.next, N.prevc, N.nextc};
    for (int i = 0; i < T_count; ++i)
        if (py311::str_table_key(dict, i) != names[i]) return false;
    return true;
}

// A new exact instance with the state that `rowsieve([first])` (or
// `rowsieve([])` without `first`) leaves: the instance dict holds the same
// keys in the same order, the default wildcard, the mode and fresh caches.
// Only while construction_known(); runs no Python code.
Ref new_instance(PyObject* first, PyObject* scalar, PyObject* tuplelen) noexcept {
    Ref obj = Ref::steal(L.cls->tp_alloc(L.cls, 0));
    if (!obj) return Ref();
    Ref state = Ref::steal(PyDict_Copy(g_template));
    if (!state) return Ref();
    if (g_in_place) {
        Ref fresh[5];
        for (Ref& f : fresh)
            if (!(f = Ref::steal(PyDict_New()))) return Ref();
        PyObject* d = state.get();
        py311::str_table_set(d, T_scalar, Py_NewRef(scalar));
        py311::str_table_set(d, T_tuplelen, Py_NewRef(tuplelen));
        py311::str_table_set(d, T_index, fresh[0].release());
        py311::str_table_set(d, T_prev, fresh[1].release());
        py311::str_table_set(d, T_next, fresh[2].release());
        py311::str_table_set(d, T_prevc, fresh[3].release());
        py311::str_table_set(d, T_nextc, fresh[4].release());
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
    if (!py311::install_managed_dict(obj.get(), state.release())) {
        PyErr_SetString(PyExc_MemoryError, "cannot give a new rowsieve its attributes");
        return Ref();
    }
    if (first && PyList_Append(obj.get(), first) < 0) return Ref();
    return obj;
}

// `rowsieve([])`
Shortcut new_empty() noexcept {
    if (!construction_known()) return Shortcut::not_taken();
    vk::StandIn calls;  // for `__init__` and what it calls
    if (!calls) return Shortcut::not_taken();
    return Shortcut::done(new_instance(nullptr, Py_None, Py_None));
}

// The mode check of a batch (steps 1, 2 and 4 of `__scalaraddcheck`) in C.
// `scalar`: -1 undetermined, 0 tuple mode, 1 scalar mode; `tuplelen`: -1 not
// recorded, -2 recorded but no tuple can have it, else the length. Both are
// updated exactly when the check records them: the mode before the batch is
// checked, the length once every item is a tuple. When `copy` is given, the
// items are also stored there (new references) as they pass, so that a batch
// is read once, and a failing check takes those references back. Runs no
// Python code.
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
Shortcut check_failed(Verdict v) noexcept {
    PyErr_SetString(builtin(B_ValueError), v == kMix ? kMixMessage : kLengthMessage);
    return Shortcut::failed();
}

// The mode check of a batch (`__scalaraddcheck`) on an instance dict, for
// items read straight from a list (see check_mode for `copy`). Runs no Python
// code. Not taken when the recorded state is not one that this shortcut
// decides (nothing is changed then).
Shortcut check_batch(PyObject* dict, PyObject* const* items, Py_ssize_t n, PyObject** copy = nullptr) noexcept {
    PyObject* scalar_obj = PyDict_GetItemWithError(dict, N.scalar);
    PyObject* tuplelen_obj = scalar_obj ? PyDict_GetItemWithError(dict, N.tuplelen) : nullptr;
    if (!tuplelen_obj) {
        PyErr_Clear();
        return Shortcut::not_taken();
    }
    int scalar;
    if (scalar_obj == Py_None)
        scalar = -1;
    else if (scalar_obj == Py_True || scalar_obj == Py_False)
        scalar = scalar_obj == Py_True;
    else
        return Shortcut::not_taken();
    Py_ssize_t tuplelen = -1;
    if (tuplelen_obj != Py_None) {
        if (!PyLong_CheckExact(tuplelen_obj)) return Shortcut::not_taken();
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
        return Shortcut::failed();
    }
    return verdict == kPass ? Shortcut::done() : check_failed(verdict);
}

// The base list's extension of `list` by the items of another list, read
// from its storage (PyList_SetSlice would iterate a list subclass). `items`
// must not be `list`. Runs no Python code.
int append_items(PyObject* list, PyObject* items) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(items);
    if (py311::list_reserve(list, n) < 0) return -1;
    PyObject** dst = py311::list_items(list) + Py_SIZE(list);
    PyObject* const* src = py311::list_items(items);
    for (Py_ssize_t i = 0; i < n; ++i) dst[i] = Py_NewRef(src[i]);
    Py_SET_SIZE(list, Py_SIZE(list) + n);
    return 0;
}

constexpr Py_ssize_t kCopyWhileChecking = 256;

// The steps of extend() after `L` became a list, on an instance dict that
// shadows neither `__scalaraddcheck` nor `clean` (the caller holds it), with
// `calls` standing in for those two calls; `items` satisfies native_items().
// `owned`: `items` is a temporary list that only the caller holds.
// CAUTION: may run arbitrary Python code (clean() releases the old caches)
Shortcut extend_steps(vk::StandIn& calls, PyObject* self, PyObject* dict, PyObject* items, bool owned) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(items);
    Ref copy;
    Shortcut checked = Shortcut::not_taken();
    if (!owned && n >= kCopyWhileChecking && items != self) {
        // A big batch onto a list: copy the items while checking them, so
        // that each member is read once.
        copy = Ref::steal(PyList_New(n));
        if (!copy) return Shortcut::failed();
        checked = check_batch(dict, py311::list_items(items), n, py311::list_items(copy.get()));
    } else {
        checked = check_batch(dict, py311::list_items(items), n);
    }
    if (!checked.taken()) return checked;
    if (!checked.ok()) return calls.answer(F.scalaraddcheck, std::move(checked));
    if (calls.status(F.clean, store_fresh_caches(dict)) < 0) return Shortcut::failed();
    PyObject* batch = copy ? copy.get() : items;
    const Py_ssize_t m = PyList_GET_SIZE(self);
    if (m == 0 && (copy || owned) && PyList_CheckExact(batch)) {
        py311::list_adopt(self, batch);
        return Shortcut::done();
    }
    // clean() may have run Python code: take the batch's current items.
    if (batch == self) return Shortcut::status(PyList_SetSlice(self, m, m, batch));
    return Shortcut::status(append_items(self, batch));
}

// ============================================================================
// The methods of construction and additions
// ============================================================================

// __scalaraddcheck(self, x)
Shortcut scalaraddcheck(PyObject* self, PyObject* x) noexcept {
    PyObject* d = fast_dict(self);
    if (!d || !native_items(x)) return Shortcut::not_taken();
    Ref keep = Ref::borrow(d);
    return check_batch(d, py311::list_items(x), PyList_GET_SIZE(x));
}

// __scalardelcheck(self)
Shortcut scalardelcheck(PyObject* self) noexcept {
    PyObject* d = fast_dict(self);
    if (!d) return Shortcut::not_taken();
    if (PyList_GET_SIZE(self) != 0) return Shortcut::done();
    Ref keep = Ref::borrow(d);
    return Shortcut::status(PyDict_SetItem(d, N.scalar, Py_None) < 0 || PyDict_SetItem(d, N.tuplelen, Py_None) < 0
                                ? -1
                                : 0);
}

// clean(self)
// CAUTION: may run arbitrary Python code (the replaced caches are released)
Shortcut clean(PyObject* self) noexcept {
    PyObject* d = fast_dict(self);
    if (!d) return Shortcut::not_taken();
    Ref keep = Ref::borrow(d);
    return Shortcut::status(store_fresh_caches(d));
}

// append(self, x)
// CAUTION: may run arbitrary Python code (clean() releases the old caches)
Shortcut append(PyObject* self, PyObject* x) noexcept {
    PyObject* d = fast_dict(self);
    if (!d || !own_methods(d, M_scalaraddcheck | M_clean)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    Ref keep = Ref::borrow(d);
    Shortcut checked = check_batch(d, &x, 1);
    if (!checked.taken()) return checked;
    if (!checked.ok()) return calls.answer(F.scalaraddcheck, std::move(checked));
    if (calls.status(F.clean, store_fresh_caches(d)) < 0) return Shortcut::failed();
    return Shortcut::status(PyList_Append(self, x));
}

// The steps of extend(self, L) once `L` is the list `items`.
// CAUTION: may run arbitrary Python code
Shortcut extend(PyObject* self, PyObject* items, bool owned) noexcept {
    PyObject* d = fast_dict(self);
    if (!d || !native_items(items) || !own_methods(d, M_scalaraddcheck | M_clean)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    Ref keep = Ref::borrow(d);
    return extend_steps(calls, self, d, items, owned);
}

// ---- calls on self -------------------------------------------------------------

// `self.clean()`
// CAUTION: may run arbitrary Python code
Shortcut call_clean(PyObject* self) noexcept {
    PyObject* d = fast_dict(self);
    if (!d || !own_methods(d, M_clean)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    Ref keep = Ref::borrow(d);
    return Shortcut::status(calls.status(F.clean, store_fresh_caches(d)));
}

// `self.__scalardelcheck()`
Shortcut call_scalardelcheck(PyObject* self) noexcept {
    PyObject* d = fast_dict(self);
    if (!d || !own_methods(d, M_scalardelcheck)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    return calls.answer(F.scalardelcheck, scalardelcheck(self));
}

// `self.__scalaraddcheck([x])`
Shortcut call_scalaraddcheck_one(PyObject* self, PyObject* x) noexcept {
    PyObject* d = fast_dict(self);
    if (!d || !own_methods(d, M_scalaraddcheck)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    Ref keep = Ref::borrow(d);
    return calls.answer(F.scalaraddcheck, check_batch(d, &x, 1));
}

// `self.extend(data)`, `data` not yet a list.
// CAUTION: may run arbitrary Python code
Shortcut call_extend(PyObject* self, PyObject* data) noexcept {
    PyObject* d = fast_dict(self);
    if (!d || !own_methods(d, M_extend)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    int r;
    if (PyList_Check(data)) {
        r = extend_items(self, data, false);
    } else {
        Ref items = Ref::steal(PySequence_List(data));
        r = items ? extend_items(self, items.get(), true) : -1;
    }
    return Shortcut::status(calls.status(F.extend, r));
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
    vk::SmallVec<Py_ssize_t, 8> positions;

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
        if (identity) return Ref::borrow(g_identity);
        return Ref::steal(PyObject_Call(L.itemgetter, pattern, nullptr));
    }
};

// `operator.itemgetter(*pattern)` as a key function computed in C. For an
// empty pattern the call raises TypeError; done then, with no key function,
// since the caller's guard catches that error.
Shortcut itemgetter(KeyFn& key, const vk::SmallVec<Py_ssize_t, 16>& positions) noexcept {
    if (!itemgetter_known()) return Shortcut::not_taken();
    if (positions.empty()) return Shortcut::done();
    key.native = true;
    for (size_t i = 0; i < positions.size(); ++i)
        if (!key.positions.push(positions[i])) return Shortcut::failed();
    return Shortcut::done();
}

// `rowsieve([x])` for a new bucket, whose later members are added by
// `bucket.append(x)`. Every bucket made here in C is one that nobody else
// has seen, so its caches stay the fresh ones it was created with; while all
// of them have the mode of the first (`uniform`), a member of that mode
// passes the bucket's check without a look at it.
struct BucketMaker {
    int kind0 = -1;          // 1 scalar, 0 tuple, -1 none yet
    Py_ssize_t len0 = -1;
    bool uniform = true;

    // `rowsieve([x])`
    Shortcut create(PyObject* x) noexcept {
        vk::StandIn calls;  // for `__init__` and what it calls
        if (!count_bucket(construction_known() && calls)) {
            uniform = false;
            return Shortcut::not_taken();
        }
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
            return Shortcut::failed();
        }
        return Shortcut::done(new_instance(x, scalar ? Py_True : Py_False, len_obj.get()));
    }

    // While every bucket was made in C with the mode of the first: would
    // `x` pass the check of any of them, and leave its (fresh) caches as
    // they are?
    bool takes_unchecked(PyObject* x) const noexcept {
        const bool scalar = is_scalar_item(x);
        return uniform && kind0 == (int)scalar && (scalar || PyTuple_GET_SIZE(x) == len0);
    }

    // `bucket.append(x)`
    // CAUTION: may run arbitrary Python code (clean() releases the old caches)
    Shortcut append(PyObject* bucket, PyObject* x) noexcept {
        PyObject* d = fast_dict(bucket);
        if (!d || !own_methods(d, M_append)) return Shortcut::not_taken();
        vk::StandIn calls;
        if (!calls) return Shortcut::not_taken();
        if (takes_unchecked(x)) return Shortcut::status(PyList_Append(bucket, x));
        return calls.answer(F.append, native::append(bucket, x));
    }
};

// ---- builds that run no Python code ---------------------------------------------

// Values whose hash and equality are the interpreter's own C code, which
// raises nothing and warns of nothing: exact int, str, float, bool and None,
// and exact tuples of them.
inline bool plain_scalar(PyObject* v) noexcept {
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyBool_Type || v == Py_None;
}

bool plain_tuple(PyObject* v, int depth) noexcept {
    if (!PyTuple_CheckExact(v) || depth == 8) return false;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(v); i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(v, i);
        if (!plain_scalar(item) && !plain_tuple(item, depth + 1)) return false;
    }
    return true;
}

inline bool plain_value(PyObject* v) noexcept { return plain_scalar(v) || plain_tuple(v, 0); }

// The cyclic collector, paused while a build runs no Python code at all, and
// its previous state restored before the build runs anything that could
// (and on every way out). Its passes in the middle of such a build could
// free nothing that the build made, yet, as the buckets pile up, walk them
// again and again; paused, it walks them once, at its first pass after the
// build. With the collector off no finaliser can run in the middle of the
// build either, which is what lets a quiet build hold its members borrowed.
class CollectorPause {
public:
    CollectorPause() noexcept = default;
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
    ~CollectorPause() { release(); }
    void engage() noexcept {
        if (engaged_) return;
        was_enabled_ = PyGC_Disable();
        engaged_ = true;
    }
    void release() noexcept {
        if (!engaged_) return;
        engaged_ = false;
        if (was_enabled_) PyGC_Enable();
    }
    bool engaged() const noexcept { return engaged_; }

private:
    bool engaged_ = false;
    bool was_enabled_ = false;
};

// Is `x` a member that a quiet build takes: its key is `x` itself or comes
// straight from its fields (an exact tuple long enough), all plain values?
inline bool plain_member(PyObject* x, const KeyFn& key) noexcept {
    if (key.identity) return plain_value(x);
    if (!PyTuple_CheckExact(x)) return false;
    const Py_ssize_t size = PyTuple_GET_SIZE(x);
    for (size_t i = 0; i < key.positions.size(); ++i) {
        const Py_ssize_t p = key.positions[i];
        if (p >= size || !plain_value(PyTuple_GET_ITEM(x, p))) return false;
    }
    return true;
}

// One plain member into the field index of a quiet build: its key hashed
// once; a key of several fields looked up through `scratch`, a tuple that
// only this build holds and that becomes the stored key of a new bucket.
// Runs no Python code. Not taken (nothing changed) when the bucket cannot
// be made or filled in C.
Shortcut quiet_member(PyObject* index, BucketMaker& buckets, KeyFn& key, PyObject* x, Ref& scratch) noexcept {
    PyObject* k = x;
    if (!key.identity) {
        const size_t n = key.positions.size();
        if (n == 1) {
            k = PyTuple_GET_ITEM(x, key.positions[0]);
        } else {
            if (!scratch && !(scratch = Ref::steal(PyTuple_New((Py_ssize_t)n)))) return Shortcut::failed();
            for (size_t i = 0; i < n; ++i) {
                PyObject* old = PyTuple_GET_ITEM(scratch.get(), i);
                PyTuple_SET_ITEM(scratch.get(), i, Py_NewRef(PyTuple_GET_ITEM(x, key.positions[i])));
                Py_XDECREF(old);
            }
            k = scratch.get();
        }
    }
    const Py_hash_t hash = PyObject_Hash(k);
    if (hash == -1) return Shortcut::failed();
    if (PyObject* found = py311::dict_get_known_hash(index, k, hash)) {
        // Every bucket so far was made here, in C, and nobody has seen it.
        if (buckets.takes_unchecked(x)) return Shortcut::status(PyList_Append(found, x));
        return buckets.append(found, x);
    }
    if (PyErr_Occurred()) return Shortcut::failed();
    Shortcut made = buckets.create(x);
    if (!made.ok()) return made;
    Ref stored = k == scratch.get() ? std::move(scratch) : Ref::borrow(k);
    Ref bucket = made.take();
    return Shortcut::status(py311::dict_set_known_hash(index, stored.get(), bucket.get(), hash));
}

// The steps of `__makeindex` in C, for an exact instance whose methods are
// its own and a key function computed in C. While the members are plain
// and the buckets are made in C, the build runs no Python code: the
// collector is paused and each key is hashed once. The first member that
// is not plain (or a bucket that must be made through Python) ends that:
// the collector's state is restored, and that member and the rest go
// through the general step of each member.
// CAUTION: may run arbitrary Python code
Ref make_index(PyObject* self, KeyFn& key) noexcept {
    Ref index = Ref::steal(PyDict_New());
    if (!index) return Ref();
    BucketMaker buckets;
    Py_ssize_t i = 0;
    {
        CollectorPause pause;
        Ref scratch;
        // The buckets are made and filled without the calls of
        // `rowsieve([x])` and `bucket.append(x)`.
        vk::StandIn calls;
        if (usable(Probe::known_hash) && construction_known() && calls) {
            pause.engage();
            // Borrowed members: no Python code runs while paused, so nothing
            // can change the list.
            for (; i < PyList_GET_SIZE(self); ++i) {
                PyObject* x = PyList_GET_ITEM(self, i);
                if (!plain_member(x, key)) break;
                Shortcut s = quiet_member(index.get(), buckets, key, x, scratch);
                if (!s.taken()) break;
                if (!s.ok()) return Ref();
            }
        }
    }
    // The base list's iteration, as `for x in self` on an exact instance.
    for (; i < PyList_GET_SIZE(self); ++i) {
        Ref x = Ref::borrow(PyList_GET_ITEM(self, i));
        if (index_member(index.get(), buckets, key, x.get()) < 0) {
            if (!error_is(B_IndexError)) return Ref();
            PyErr_Clear();
        }
    }
    return index;
}

// `self.__makeindex(getkey)` for a key function computed in C.
// CAUTION: may run arbitrary Python code
Shortcut call_makeindex(PyObject* self, KeyFn& key) noexcept {
    PyObject* d = fast_dict(self);
    if (!d || !(key.identity || key.native) || !own_methods(d, M_makeindex)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    return Shortcut::done(calls.value(F.makeindex, make_index(self, key)));
}

// ============================================================================
// Selection
// ============================================================================

// `_isstr(v)` without the call, when `_isstr` is the string test and `v` is
// a str or of a type whose `isinstance(v, str)` reads nothing that Python
// code could provide; any other `v` is left to the call.
Shortcut isstr(PyObject* v) noexcept {
    if (!isstr_known()) return Shortcut::not_taken();
    const bool is_str = PyUnicode_Check(v);
    if (!is_str && !plain_non_string(Py_TYPE(v))) return Shortcut::not_taken();
    vk::StandIn call(vk::StandIn::python);
    if (!call) return Shortcut::not_taken();
    return Shortcut::done(Ref::borrow(is_str ? Py_True : Py_False));
}

// Would `iter(v)` fail? Exactly the test that PyObject_GetIter makes, which
// runs no Python code.
inline bool not_iterable(PyObject* v) noexcept { return !Py_TYPE(v)->tp_iter && !PySequence_Check(v); }

// Phase 1 may pass over `v` without the throw-away `rowsieve([])` of its
// failed expansion: `v` is not iterable, and making that result (and
// dropping it) cannot be observed.
inline bool expansion_fails_unseen(PyObject* v) noexcept {
    if (!not_iterable(v) || !construction_known()) return false;
    vk::StandIn calls;  // for `rowsieve([])`
    return bool(calls);
}

// Phase 1 over all arguments at once, when it can expand none of them: each
// is a str, which `_isstr` (the string test) keeps whole, or a value of the
// interpreter's own types that `_isstr` answers false for and that is not
// iterable, whose throw-away result nobody could see. Skips the calls of
// `_isstr` and of `rowsieve([])`.
bool nothing_expands(PyObject* const* vals, Py_ssize_t n) noexcept {
    if (!isstr_known()) return false;
    bool strings_only = true;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* v = vals[k];
        if (PyUnicode_Check(v)) continue;
        if (!plain_non_string(Py_TYPE(v)) || !not_iterable(v)) return false;
        strings_only = false;
    }
    if (!strings_only && !construction_known()) return false;
    vk::StandIn isstr_calls(vk::StandIn::python), construction_calls;
    return isstr_calls && (strings_only || construction_calls);
}

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

// The query key of a warm selection of several fields: the tuple of the
// arguments at the pattern's positions. A new tuple per query costs about
// as much as the lookup itself, so one tuple that only this module holds
// (untracked by the collector, so that nothing can find it) is filled with
// borrowed references for the lookup and emptied after it. A query that
// starts while it is in use (a stored key's `__eq__` that selected again)
// makes a tuple of its own; should anything have kept a reference to it, it
// is given references of its own to its items and left to its new holder.
class QueryKey {
public:
    QueryKey(PyObject* const* vals, const Py_ssize_t* positions, Py_ssize_t n) noexcept : n_(n) {
        PyObject*& spare = spares_[n];
        if (!in_use_ && spare && Py_REFCNT(spare) == 1) {
            in_use_ = true;
            key_ = spare;
            for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(key_, i, vals[positions[i]]);
            return;
        }
        Ref key = Ref::steal(PyTuple_New(n));
        if (!key) return;
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(key.get(), i, Py_NewRef(vals[positions[i]]));
        if (!spare && !in_use_) {
            // Kept as the spare of this length from now on.
            for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(PyTuple_GET_ITEM(key.get(), i));
            PyObject_GC_UnTrack(key.get());
            spare = key_ = key.release();
            in_use_ = true;
            return;
        }
        owned_ = std::move(key);
        key_ = owned_.get();
    }
    QueryKey(const QueryKey&) = delete;
    QueryKey& operator=(const QueryKey&) = delete;
    ~QueryKey() {
        if (owned_ || !key_) return;
        PyObject*& spare = spares_[n_];
        if (Py_REFCNT(key_) == 1) {
            for (Py_ssize_t i = 0; i < n_; ++i) PyTuple_SET_ITEM(key_, i, nullptr);
        } else {
            for (Py_ssize_t i = 0; i < n_; ++i) Py_INCREF(PyTuple_GET_ITEM(key_, i));
            Py_DECREF(key_);
            spare = nullptr;
        }
        in_use_ = false;
    }
    PyObject* get() const noexcept { return key_; }  // nullptr: MemoryError set

private:
    static inline PyObject* spares_[kMaxPatternPositions + 1] = {};
    static inline bool in_use_ = false;
    PyObject* key_ = nullptr;
    Ref owned_;
    Py_ssize_t n_;
};

// Phases 2 to 4 in C, once phase 1 expanded nothing: an exact instance of
// the unmodified class whose arguments compare with the wildcard without
// running Python code, whose pattern already has its field index, and, in
// tuple mode, whose key function would be the load-time itemgetter. Not
// taken before anything happened; only the final lookup can run Python code
// (the hash and equality of the key). Skips no call of a function: a query
// that finds nothing makes its empty result through no_match().
// CAUTION: may run arbitrary Python code
Shortcut select_warm(PyObject* self, PyObject* const* vals, Py_ssize_t n) noexcept {
    PyObject* dict = fast_dict(self);
    if (!dict || n == 0) return Shortcut::not_taken();
    PyObject* wild = state_of(dict, S_wild, N.wild);
    PyObject* scalar = state_of(dict, S_scalar, N.scalar);
    PyObject* cache = state_of(dict, S_index, N.index);
    if (!wild || (scalar != Py_True && scalar != Py_False) || !cache || !PyDict_CheckExact(cache))
        return Shortcut::not_taken();
    Py_ssize_t positions[kMaxPatternPositions];
    Py_ssize_t npos = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        int differs = plain_differs(vals[k], wild);
        if (differs < 0) return Shortcut::not_taken();
        if (differs) {
            if (npos == kMaxPatternPositions) return Shortcut::not_taken();
            positions[npos++] = k;
        }
    }
    if (npos == 0) return Shortcut::not_taken();
    if (scalar == Py_True) {
        if (n > 1) return Shortcut::not_taken();
    } else {
        if (PyList_GET_SIZE(self)) {
            PyObject* first = PyList_GET_ITEM(self, 0);
            if (!PyTuple_CheckExact(first) || PyTuple_GET_SIZE(first) < n) return Shortcut::not_taken();
        }
        if (!itemgetter_known()) return Shortcut::not_taken();
    }
    Pattern pattern = pattern_of(positions, npos);
    if (!pattern.tuple) return Shortcut::failed();
    // The cache's keys are position tuples: looking one up runs no Python code.
    PyObject* found = pattern.hash != -1 && usable(Probe::known_hash)
                          ? py311::dict_get_known_hash(cache, pattern.tuple.get(), pattern.hash)
                          : PyDict_GetItemWithError(cache, pattern.tuple.get());
    if (!found || !PyDict_CheckExact(found)) {
        PyErr_Clear();
        return Shortcut::not_taken();
    }
    Ref field_index = Ref::borrow(found);
    // Phase 4; the mode is as phase 2 read it, since no Python code ran since.
    Ref bucket;
    int r;
    if (scalar == Py_True || npos == 1) {
        r = lookup(field_index.get(), vals[scalar == Py_True ? 0 : positions[0]], &bucket, true);
    } else {
        QueryKey query(vals, positions, npos);
        if (!query.get()) return Shortcut::failed();
        r = lookup(field_index.get(), query.get(), &bucket, true);
    }
    if (r < 0) return Shortcut::failed();
    return Shortcut::done(r ? std::move(bucket) : no_match());
}

// `self.select(*self.__repl(vals, k, vv))`, one alternative of phase 1: the
// steps of select in C, the arguments on the stack, while both methods are
// this class's own. The skipped call counts towards the recursion limit as
// the call would: a self-containing list of alternatives ends in
// RecursionError, not in a stack overflow.
// CAUTION: may run arbitrary Python code
Shortcut call_select_alternative(PyObject* self, PyObject* vals, Py_ssize_t k, PyObject* vv) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(vals);
    PyObject* d = fast_dict(self);
    if (!d || n > kStackArgs || !own_methods(d, M_repl | M_select)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    PyObject* args[kStackArgs];
    for (Py_ssize_t i = 0; i < n; ++i) args[i] = i == k ? vv : PyTuple_GET_ITEM(vals, i);
    SelectArgs nested{args, n};
    if (Py_EnterRecursiveCall(" while calling a Python object")) return calls.answer(F.select, Shortcut::failed());
    Ref result = Ref::steal(select_impl(self, nested));
    Py_LeaveRecursiveCall();
    return Shortcut::done(calls.value(F.select, std::move(result)));
}

// `result.extend(sub)` on a result that is an exact rowsieve.
// CAUTION: may run arbitrary Python code
Shortcut call_extend_list(PyObject* result, PyObject* sub) noexcept {
    PyObject* d = fast_dict(result);
    if (!d || !native_items(sub) || !own_methods(d, M_extend | M_scalaraddcheck | M_clean)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    Ref keep = Ref::borrow(d);
    return calls.answer(F.extend, extend_steps(calls, result, d, sub, false));
}

// The result of an expansion while it is filled, made in C while
// `rowsieve(...)` can be: nobody can see it before it is returned, so its
// mode is kept in C and written once at the end, and the `clean()` of each
// `extend` is skipped (its caches are still the fresh ones it was created
// with).
class Gathered {
public:
    // `rowsieve([])`
    Shortcut start() noexcept {
        vk::StandIn calls;  // for `__init__` and what it calls
        if (!count_gathered(construction_known() && usable(Probe::list_storage) && calls))
            return Shortcut::not_taken();
        result_ = new_instance(nullptr, Py_None, Py_None);
        return result_ ? Shortcut::done() : Shortcut::failed();
    }
    bool started() const noexcept { return bool(result_); }

    // `result.extend(sub)`; not taken (after the mode was written out) when
    // `sub` cannot be read from its storage, or when a profile function was
    // set since the result was started (a selection runs Python code).
    Shortcut add(PyObject* sub) noexcept {
        if (!unseen_) return Shortcut::not_taken();
        vk::StandIn calls;
        if (!calls || !native_items(sub) || sub == result_.get())
            return store_mode() < 0 ? Shortcut::failed() : Shortcut::not_taken();
        PyObject* result = result_.get();
        const Py_ssize_t n = PyList_GET_SIZE(sub), size = PyList_GET_SIZE(result);
        if (py311::list_reserve(result, n) < 0) return Shortcut::failed();
        Verdict verdict =
            check_mode(scalar_, tuplelen_, py311::list_items(sub), n, py311::list_items(result) + size);
        if (verdict != kPass)
            return calls.answer(F.extend, calls.answer(F.scalaraddcheck, check_failed(verdict)));
        Py_SET_SIZE(result, size + n);
        return Shortcut::done();
    }

    // The result, with its mode written out.
    Ref finish() noexcept {
        if (unseen_ && store_mode() < 0) return Ref();
        return std::move(result_);
    }
    PyObject* get() const noexcept { return result_.get(); }

private:
    // Writes the mode kept in C into the result's dict.
    int store_mode() noexcept {
        unseen_ = false;
        if (scalar_ < 0) return 0;
        PyObject* d = py311::managed_dict(result_.get());
        if (g_in_place && template_layout(d)) {
            Ref len_obj = tuplelen_ >= 0 ? Ref::steal(PyLong_FromSsize_t(tuplelen_)) : Ref::borrow(Py_None);
            if (!len_obj) return -1;
            py311::str_table_set(d, T_scalar, Py_NewRef(scalar_ ? Py_True : Py_False));
            py311::str_table_set(d, T_tuplelen, len_obj.release());
            return 0;
        }
        if (PyDict_SetItem(d, N.scalar, scalar_ ? Py_True : Py_False) < 0) return -1;
        if (tuplelen_ < 0) return 0;
        Ref len_obj = Ref::steal(PyLong_FromSsize_t(tuplelen_));
        return len_obj ? PyDict_SetItem(d, N.tuplelen, len_obj.get()) : -1;
    }

    Ref result_;
    bool unseen_ = true;
    int scalar_ = -1;
    Py_ssize_t tuplelen_ = -1;
};

// ============================================================================
// Membership and navigation
// ============================================================================

// __contains__(self, val) once the membership map exists.
// CAUTION: may run arbitrary Python code
Shortcut contains(PyObject* self, PyObject* val) noexcept {
    PyObject* d = fast_dict(self);
    if (!d) return Shortcut::not_taken();
    PyObject* map = state_of(d, S_contents, N.contents);
    if (!map || !PyDict_CheckExact(map)) return Shortcut::not_taken();
    return Shortcut::done(Ref::steal(map_get(map, val)));
}

// `self.__contains__(val)` again, once the map `built` was stored.
// CAUTION: may run arbitrary Python code
Shortcut call_contains(PyObject* self, PyObject* built, PyObject* val) noexcept {
    PyObject* d = fast_dict(self);
    if (!d || !own_methods(d, M_contains)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    return Shortcut::done(calls.value(F.contains, Ref::steal(map_get(built, val))));
}

// next, prev, nextc, prevc once their cache is filled.
// CAUTION: may run arbitrary Python code
Shortcut navigate(PyObject* self, PyObject* v, Nav which) noexcept {
    PyObject* d = fast_dict(self);
    if (!d) return Shortcut::not_taken();
    PyObject* cache = state_of(d, static_cast<Slot>(S_next + static_cast<int>(which)), nav_name(which));
    if (!cache || !PyDict_CheckExact(cache) || !PyDict_GET_SIZE(cache)) return Shortcut::not_taken();
    return Shortcut::done(Ref::steal(neighbour_of(cache, v)));
}

// ============================================================================
// The printed table
// ============================================================================

// Values whose str() runs no Python code and gives the same text each time.
inline bool plain_printable(PyObject* x) noexcept {
    PyTypeObject* t = Py_TYPE(x);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || x == Py_None;
}

// Owns the field texts of the table.
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

    bool text(PyObject* s) noexcept {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
        if (PyUnicode_KIND(s) == kind)
            std::memcpy(static_cast<char*>(data) + pos * kind, PyUnicode_DATA(s), len * kind);
        else if (PyUnicode_CopyCharacters(out, pos, s, 0, len) < 0)
            return false;
        pos += len;
        return true;
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

// __repr__(self) of an exact instance of the unmodified class in tuple mode
// whose members are all exact tuples of one length holding plain values:
// each field's text is made once and the output is written in one piece.
Shortcut repr(PyObject* self) noexcept {
    PyObject* dict = fast_dict(self);
    if (!dict || !usable(Probe::list_storage)) return Shortcut::not_taken();
    Ref keep = Ref::borrow(dict);
    PyObject* scalar = PyDict_GetItemWithError(dict, N.scalar);
    PyObject* tuplelen = scalar ? PyDict_GetItemWithError(dict, N.tuplelen) : nullptr;
    if (!tuplelen) {
        PyErr_Clear();
        return Shortcut::not_taken();
    }
    const Py_ssize_t n = PyList_GET_SIZE(self);
    if (scalar != Py_False || !PyLong_CheckExact(tuplelen) || n == 0) return Shortcut::not_taken();
    int overflow = 0;
    const long long recorded = PyLong_AsLongLongAndOverflow(tuplelen, &overflow);
    if (overflow) return Shortcut::not_taken();
    PyObject* const* members = py311::list_items(self);
    if (!PyTuple_CheckExact(members[0])) return Shortcut::not_taken();
    const Py_ssize_t m = PyTuple_GET_SIZE(members[0]);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* k = members[i];
        if (!PyTuple_CheckExact(k) || PyTuple_GET_SIZE(k) != m) return Shortcut::not_taken();
        for (Py_ssize_t j = 0; j < m; ++j)
            if (!plain_printable(PyTuple_GET_ITEM(k, j))) return Shortcut::not_taken();
    }
    // From here on no Python code runs, so the members stay as they are.
    Texts texts;
    vk::SmallVec<Py_ssize_t, 16> widths;
    if (m) {
        texts.items = static_cast<PyObject**>(PyMem_Calloc(n * m, sizeof(PyObject*)));
        if (!texts.items) {
            PyErr_NoMemory();
            return Shortcut::failed();
        }
        texts.count = n * m;
    }
    Py_UCS4 maxchar = 127;
    Py_ssize_t row_width = 5 + (m > 1 ? 2 * (m - 1) : 0);  // " ( ", ")\n", ", " between fields
    // Column by column, as the widths are computed.
    for (Py_ssize_t j = 0; j < m; ++j) {
        Py_ssize_t width = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* s = PyObject_Str(PyTuple_GET_ITEM(members[i], j));
            if (!s) return Shortcut::failed();
            texts.items[i * m + j] = s;
            if (PyUnicode_READY(s) < 0) return Shortcut::failed();
            width = std::max(width, PyUnicode_GET_LENGTH(s) + 1);
            maxchar = std::max<Py_UCS4>(maxchar, PyUnicode_MAX_CHAR_VALUE(s));
        }
        if (!widths.push(width)) return Shortcut::failed();
        row_width += width;
    }
    Ref header = Ref::steal(
        PyUnicode_FromFormat("<varnok.rowsieve (%zd tuples, %lld values each):\n", n, recorded));
    if (!header) return Shortcut::failed();
    const Py_ssize_t total = PyUnicode_GET_LENGTH(header.get()) + n * row_width + 1;
    Ref out = Ref::steal(PyUnicode_New(total, maxchar));
    if (!out) return Shortcut::failed();
    TextWriter w{out.get(), PyUnicode_KIND(out.get()), PyUnicode_DATA(out.get())};
    bool ok = w.text(header.get());
    for (Py_ssize_t i = 0; i < n && ok; ++i) {
        ok = w.text(kRowOpen);
        for (Py_ssize_t j = 0; j < m && ok; ++j) {
            if (j) ok = w.text(kFieldSeparator);
            PyObject* s = texts.items[i * m + j];
            ok = ok && w.text(s);
            w.spaces(widths[j] - PyUnicode_GET_LENGTH(s));
        }
        ok = ok && w.text(kRowClose);
    }
    if (!ok || !w.text(kTableEnd)) return Shortcut::failed();
    return Shortcut::done(std::move(out));
}

// ============================================================================
// Load time
// ============================================================================

// Is `fn` a Python function whose code is, attribute for attribute, that of
// `def _isstr(value): return isinstance(value, str)`? (Its name, file,
// lines and annotations may differ; nothing that decides what it computes.)
int is_string_test(PyObject* fn) noexcept {
    if (!PyFunction_Check(fn) || !usable(Probe::function_fields)) return 0;
    Ref module_code = Ref::steal(
        Py_CompileString("def _isstr(value):\n    return isinstance(value, str)\n", "<string test>", Py_file_input));
    if (!module_code) return -1;
    Ref consts = vk::getattr(module_code.get(), N.co_consts);
    if (!consts || !PyTuple_Check(consts.get())) return -1;
    PyObject* reference = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i)
        if (PyCode_Check(PyTuple_GET_ITEM(consts.get(), i))) reference = PyTuple_GET_ITEM(consts.get(), i);
    if (!reference) return 0;
    PyObject* code = py311::function_code(fn);
    static const char* const kDeciding[] = {"co_code", "co_consts", "co_names", "co_varnames", "co_freevars",
                                            "co_cellvars", "co_argcount", "co_posonlyargcount",
                                            "co_kwonlyargcount", "co_nlocals", "co_stacksize", "co_flags"};
    for (const char* attr : kDeciding) {
        Ref ours = Ref::steal(PyObject_GetAttrString(code, attr));
        Ref theirs = Ref::steal(PyObject_GetAttrString(reference, attr));
        if (!ours || !theirs) return -1;
        // Exact types only: equality of containers, ints and bytes runs no code.
        const int same = PyObject_RichCompareBool(ours.get(), theirs.get(), Py_EQ);
        if (same <= 0) return same;
    }
    return 1;
}

// Is `o` the builtin function `isinstance` of the module `builtins`?
bool is_builtin_isinstance(PyObject* o, PyObject* builtins_module) noexcept {
    return o && PyCFunction_CheckExact(o) && PyCFunction_GET_SELF(o) == builtins_module &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(o)->m_ml->ml_name, "isinstance") == 0;
}

// Is `o` the interpreter's `operator.itemgetter` type? A class made in
// Python can always be subclassed; the interpreter's type cannot.
bool is_interpreter_itemgetter(PyObject* o) noexcept {
    if (!o || !PyType_Check(o) || !Py_IS_TYPE(o, &PyType_Type)) return false;
    auto* t = reinterpret_cast<PyTypeObject*>(o);
    return !PyType_HasFeature(t, Py_TPFLAGS_BASETYPE) && std::strcmp(t->tp_name, "operator.itemgetter") == 0;
}

int record(vk::ModuleFrame& f, PyObject* cls) noexcept {
    PyTypeObject* old = L.cls;
    L.cls = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
    Py_XDECREF(old);
    // Looking a name up gives the class a version tag; any later change to
    // the class replaces it.
    L.tag = 0;
    if (usable(Probe::type_version)) {
        py311::type_lookup(L.cls, N.select);
        L.tag = py311::type_version(L.cls);
    }

    Py_CLEAR(g_template);
    {
        Ref state = Ref::steal(PyDict_New());
        if (!state) return -1;
        for (PyObject* name : {N.wild, N.scalar, N.tuplelen, N.index, N.contents, N.prev, N.next, N.prevc, N.nextc})
            if (PyDict_SetItem(state.get(), name, name == N.wild ? kStar : Py_None) < 0) return -1;
        g_template = state.release();
        Ref probe = Ref::steal(PyDict_Copy(g_template));
        if (!probe) return -1;
        g_in_place = template_layout(probe.get());
    }
    PyObject* isinstance = PyDict_GetItemWithError(f.builtins_dict, N.isinstance);
    if (!isinstance && PyErr_Occurred()) return -1;
    PyObject* isstr = PyDict_GetItemWithError(f.dict, N.isstr_name);
    if (!isstr && PyErr_Occurred()) return -1;
    Py_CLEAR(L.isstr);
    if (isstr && is_builtin_isinstance(isinstance, f.builtins_module)) {
        const int proven = is_string_test(isstr);
        if (proven < 0) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return -1;
            PyErr_Clear();  // no proof: `_isstr` is called
        } else if (proven) {
            hold(L.isstr, isstr);
            hold(L.isstr_code, py311::function_code(isstr));
            hold(L.isinstance, isinstance);
        }
    }

    PyObject* op = PyDict_GetItemWithError(f.dict, N.operator_name);
    if (!op && PyErr_Occurred()) return -1;
    if (op && PyModule_Check(op)) {
        PyObject* getter = PyDict_GetItemWithError(PyModule_GetDict(op), N.itemgetter);
        if (!getter && PyErr_Occurred()) return -1;
        hold(L.operator_module, op);
        Py_CLEAR(L.itemgetter);
        if (is_interpreter_itemgetter(getter)) hold(L.itemgetter, getter);
    }
    return 0;
}

}  // namespace native
