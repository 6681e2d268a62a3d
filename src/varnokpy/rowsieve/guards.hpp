// The guards of rowsieve's shortcuts, and the load-time records they compare
// against.
//
// A shortcut runs only when every object whose Python behaviour it skips is
// one whose behaviour this module knows for certain: this class, unmodified
// since load, and its methods; the interpreter's own types;
// `operator.itemgetter`. Each guard states one fact; each shortcut asks for
// the facts that what it skips depends on, no more:
//
// | guard              | proves                                               | used by                            |
// |--------------------|------------------------------------------------------|------------------------------------|
// | class_pristine     | the class is as the module body made it (version     | every guard below                  |
// |                    | tag unchanged, metaclass still `type`)               |                                    |
// | fast_dict          | `self` is exactly the class, so its private          | every method's shortcut            |
// |                    | attributes are plain entries of its instance dict    |                                    |
// | own_methods        | the instance dict shadows none of the methods that   | shortcuts that call methods on     |
// |                    | the shortcut calls on it, by name                    | `self` in C (call_own)             |
// | construction_known | `rowsieve(...)` through the module global is this    | buckets, empty results, the        |
// |                    | class's own construction                             | throw-away result of phase 1       |
// | itemgetter_known   | `operator.itemgetter` through the module global is   | key functions computed in C, the   |
// |                    | the interpreter's type, as at load                   | warm selection in tuple mode       |
// | isstr_known        | `_isstr` is a function whose code is exactly the     | `_isstr(v)` answered in C          |
// |                    | one-line string test, `isinstance` and `str` the     |                                    |
// |                    | builtins                                             |                                    |
// | vk::StandIn        | nobody is told of the calls that a shortcut makes in | every shortcut that skips or makes |
// |                    | C or skips (no profile function); adds the entry of  | in C a call of a Python-level      |
// |                    | a failing one                                        | function                           |
//
// `_isstr` belongs to a sibling module that is not ours: in the package it is
// usually compiled, and nothing is known of it beyond its contract (one
// argument; the truth of the result counts; true for a str). It is called,
// once per select argument as phase 1 does, unless its code is, word for
// word, the string test compiled at load from its one-line source.
//
// Every guard consults vk::shortcuts_on(), directly or through
// py311::usable, so the general-only build takes no shortcut; and each reads
// the interpreter's layout only through cpython311.hpp, whose probes can
// switch it off. Guard answers are remembered per dict version: a dict's
// version tag changes with every change of the dict and is never reused, so
// (dict, version) names one state of one dict without holding it.
#pragma once

namespace native {

using vk::Shortcut;
namespace py311 = vk::py311;
using py311::Probe;
using py311::usable;

// Every object here is held strongly for the life of the process, so that an
// address compared against can never be reused by another object.
struct LoadTime {
    PyTypeObject* cls = nullptr;     // `rowsieve` as the module body created it
    unsigned int tag = 0;            // its version tag right after creation (0: none)
    PyObject* isstr = nullptr;       // `_isstr` as imported, when it is the string test
    PyObject* isstr_code = nullptr;
    PyObject* isinstance = nullptr;
    PyObject* operator_module = nullptr;
    PyObject* itemgetter = nullptr;  // `operator.itemgetter`, when the interpreter's type
} load;

// The class is as it was at load: no attribute of it was set or deleted, and
// its metaclass is still `type`.
inline bool class_pristine() noexcept {
    return usable(Probe::type_version) && load.tag && py311::type_version(load.cls) == load.tag &&
           Py_IS_TYPE(reinterpret_cast<PyObject*>(load.cls), &PyType_Type);
}

inline bool exact_pristine(PyObject* o) noexcept { return Py_TYPE(o) == load.cls && class_pristine(); }

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

// Does the instance dict hold exactly the private state, under the names in
// the order construction sets them (T_*), in a key table of its own? A dict
// that the shortcuts made (new_instance) does, until a name is added to it;
// it then shadows no method, and its values can be read by position.
bool holds_state_only(PyObject* dict) noexcept {
    if (!usable(Probe::str_table) || !py311::owns_str_table(dict, T_count)) return false;
    for (int i = 0; i < T_count; ++i)
        if (py311::str_table_key(dict, i) != state_name(i)) return false;
    return true;
}

// The value of the private attribute in `slot` (T_*) of an instance dict,
// borrowed; nullptr (no exception set) when it is missing.
PyObject* state_value(PyObject* dict, int slot, bool by_position) noexcept {
    if (by_position) return py311::str_table_value(dict, slot);
    PyObject* v = PyDict_GetItemWithError(dict, state_name(slot));
    if (!v) PyErr_Clear();
    return v;
}

// Does the instance dict shadow none of the methods in `methods`, so that
// calling them on the instance calls this class's own? The answer for one
// state of one dict is remembered, name by name.
bool own_methods(PyObject* dict, unsigned methods) noexcept {
    static PyObject* seen = nullptr;
    static uint64_t seen_version = 0;
    static unsigned looked = 0, shadowed = 0;  // names looked up in that state, and found
    const bool memo = usable(Probe::dict_version);
    const uint64_t version = memo ? py311::dict_version(dict) : 0;
    if (!(memo && dict == seen && version == seen_version) && holds_state_only(dict)) return true;
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

vk::ShortcutCounter count_own_call("own_call");

// `self.<method>(...)` made in C: `body()` (the method's own steps, a new
// reference or nullptr with an exception set) runs in place of the call when
// the call would reach this class's method, `fn`, and nobody would see the
// call; not taken otherwise (nothing done). `methods` are the methods that
// the call resolves, by name.
// CAUTION: may run arbitrary Python code
template <class Body>
Shortcut call_own(PyObject* self, unsigned methods, PyObject* fn, Body&& body) noexcept {
    PyObject* d = fast_dict(self);
    vk::StandIn calls;
    if (!count_own_call(d && own_methods(d, methods) && calls)) return Shortcut::not_taken();
    return Shortcut::done(calls.call(fn, body));
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
           g_rowsieve.is(frame, reinterpret_cast<PyObject*>(load.cls));
}

// `operator.itemgetter`, read through the module global `operator`, is the
// load-time type (the interpreter's own), so that its objects can be stood
// in for by a key function computed in C. The module's dict is checked again
// only after it changed.
bool itemgetter_known() noexcept {
    if (!vk::shortcuts_on() || !load.itemgetter || !g_operator.is(frame, load.operator_module) ||
        !PyModule_CheckExact(load.operator_module))
        return false;
    static uint64_t seen_version = 0;
    static bool seen_answer = false;
    PyObject* d = PyModule_GetDict(load.operator_module);
    const bool memo = usable(Probe::dict_version);
    if (memo && seen_version && py311::dict_version(d) == seen_version) return seen_answer;
    const bool answer = PyDict_GetItemWithError(d, N.itemgetter) == load.itemgetter;
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
    if (!load.isstr || !usable(Probe::function_fields) || !g_isstr.is(frame, load.isstr) ||
        py311::function_code(load.isstr) != load.isstr_code)
        return false;
    PyObject* globals = py311::function_globals(load.isstr);
    PyObject* builtins = py311::function_builtins(load.isstr);
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
    answer = answer && PyDict_GetItemWithError(builtins, N.isinstance) == load.isinstance &&
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

// `_isstr`, when it is proven to be the string test (else left unrecorded:
// it is called).
int record_isstr(vk::ModuleFrame& f) noexcept {
    PyObject* isinstance = PyDict_GetItemWithError(f.builtins_dict, N.isinstance);
    if (!isinstance && PyErr_Occurred()) return -1;
    PyObject* isstr = PyDict_GetItemWithError(f.dict, N.isstr_name);
    if (!isstr && PyErr_Occurred()) return -1;
    Py_CLEAR(load.isstr);
    if (!isstr || !is_builtin_isinstance(isinstance, f.builtins_module)) return 0;
    const int proven = is_string_test(isstr);
    if (proven < 0) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return -1;
        PyErr_Clear();  // no proof: `_isstr` is called
    } else if (proven) {
        vk::set_field(load.isstr, Ref::borrow(isstr));
        vk::set_field(load.isstr_code, Ref::borrow(py311::function_code(isstr)));
        vk::set_field(load.isinstance, Ref::borrow(isinstance));
    }
    return 0;
}

// `operator` and its `itemgetter`, when that is the interpreter's type.
int record_itemgetter(vk::ModuleFrame& f) noexcept {
    PyObject* op = PyDict_GetItemWithError(f.dict, N.operator_name);
    if (!op && PyErr_Occurred()) return -1;
    if (!op || !PyModule_Check(op)) return 0;
    PyObject* getter = PyDict_GetItemWithError(PyModule_GetDict(op), N.itemgetter);
    if (!getter && PyErr_Occurred()) return -1;
    vk::set_field(load.operator_module, Ref::borrow(op));
    Py_CLEAR(load.itemgetter);
    if (is_interpreter_itemgetter(getter)) vk::set_field(load.itemgetter, Ref::borrow(getter));
    return 0;
}

// Records the objects that the guards compare against, once the class exists.
int record_load(vk::ModuleFrame& f, PyObject* cls) noexcept {
    PyTypeObject* old = load.cls;
    load.cls = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
    Py_XDECREF(old);
    // Looking a name up gives the class a version tag; any later change to
    // the class replaces it.
    load.tag = 0;
    if (usable(Probe::type_version)) {
        py311::type_lookup(load.cls, N.select);
        load.tag = py311::type_version(load.cls);
    }
    if (record_isstr(f) < 0) return -1;
    return record_itemgetter(f);
}

}  // namespace native
