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
// | own_functions      | no function of the module has had its `__defaults__` | construction_known: `rowsieve([x])`|
// |                    | or `__kwdefaults__` replaced since load (the         | leaves `wild` to `__init__`'s      |
// |                    | defaults of a call made in C are the load-time ones) | default                            |
// | vk::StandIn        | nobody is told of the calls that a shortcut makes in | every shortcut that skips or makes |
// |                    | C or skips (no profile function); adds the entry of  | in C a call of a Python-level      |
// |                    | a failing one                                        | function                           |
//
// `_isstr` belongs to a sibling module that is not ours: in the package it is
// usually compiled, and nothing is known of it beyond its contract. It is
// always called, once per select argument, as phase 1 does.
//
// Every guard consults vk::shortcuts_on(), directly or through
// py311::usable, so the general-only build takes no shortcut; and each reads
// the interpreter's layout only through cpython311.hpp, whose probes can
// switch it off. A guard looks names up only where that runs no code, and
// remembers answers only per state of such dicts (vk::guard_lookup,
// vk::DictMemo): an instance dict, a module namespace holding a key of any
// other type answers "unknown", and the general steps run.
#pragma once

#include <cstring>
#include <iterator>

#include "frame.hpp"
#include "cpython311.hpp"

#include "state.hpp"

namespace {

namespace native {

// Every object here is held strongly for the life of the process, so that an
// address compared against can never be reused by another object.
struct LoadTime {
    PyTypeObject* cls = nullptr;     // `rowsieve` as the module body created it
    unsigned int tag = 0;            // its version tag right after creation (0: none)
    PyObject* operator_module = nullptr;
    PyObject* itemgetter = nullptr;  // `operator.itemgetter`, when the interpreter's type
} load;

// The class is as it was at load: no attribute of it was set or deleted, and
// its metaclass is still `type`.
inline bool class_pristine() noexcept {
    return usable(Probe::type_version) && load.tag && py311::type_version(load.cls) == load.tag &&
           Py_IS_TYPE(reinterpret_cast<PyObject*>(load.cls), &PyType_Type);
}

// No function of the module has had its `__defaults__` or `__kwdefaults__`
// replaced since load (the frame notes such changes per module; `__code__`
// cannot be replaced). Only construction stood in for depends on them.
inline bool own_functions() noexcept { return !frame.functions_changed; }

inline bool exact_pristine(PyObject* o) noexcept { return Py_TYPE(o) == load.cls && class_pristine(); }

// The instance dict of an exact instance of the unmodified class (borrowed),
// or nullptr (not such an instance, or no dict yet).
// Near the recursion limit no shortcut runs (vk::depth_to_spare): the steps
// then reach the limit exactly as they would.
inline PyObject* fast_dict(PyObject* self) noexcept {
    return exact_pristine(self) && usable(Probe::managed_dict) && vk::depth_to_spare() ? py311::managed_dict(self)
                                                                                      : nullptr;
}

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
// borrowed; nullptr when it is missing or the lookup could run code.
PyObject* state_value(PyObject* dict, int slot, bool by_position) noexcept {
    if (by_position) return py311::str_table_value(dict, slot);
    return vk::guard_lookup(dict, state_name(slot)).value;
}

// Does the instance dict shadow none of the methods in `methods` (a set of
// method_bit(SelfCall) bits), so that
// calling them on the instance calls this class's own? Answered only for a
// dict whose lookups run no code; the answer for one state of one dict is
// remembered, name by name.
bool own_methods(PyObject* dict, unsigned methods) noexcept {
    struct Seen {
        unsigned looked, shadowed;  // names looked up in that state, and found
    };
    static vk::DictMemo<1, Seen> memo;
    PyObject* const dicts[1] = {dict};
    Seen seen{0, 0};
    if (const Seen* known = memo.find(dicts)) {
        seen = *known;
    } else if (holds_state_only(dict)) {
        return true;
    }
    if (unsigned missing = methods & ~seen.looked) {
        if (!vk::lookup_runs_no_code(dict)) return false;
        for (int i = 0; i < C_count; ++i) {
            const unsigned bit = method_bit(static_cast<SelfCall>(i));
            if ((missing & bit) && vk::guard_lookup(dict, *kSelfCalled[i].name).value) seen.shadowed |= bit;
        }
        seen.looked |= missing;
        memo.remember(dicts, seen);
    }
    return !(seen.shadowed & methods);
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

// The value of the private attribute in `slot` of an instance dict
// (borrowed), or nullptr when it is missing or the lookup could run code;
// remembered per state of the dict, slot by slot.
PyObject* state_of(PyObject* dict, StateSlot slot) noexcept {
    static vk::DictMemo<1, PyObject*> memo[T_count];
    PyObject* const dicts[1] = {dict};
    if (PyObject* const* v = memo[slot].find(dicts)) return *v;
    vk::GuardLookup found = vk::guard_lookup(dict, state_name(slot));
    if (found.known) memo[slot].remember(dicts, found.value);
    return found.value;
}

// `rowsieve(...)`, through the module global, would run this class's own
// construction, and a new instance can be given its dict in C. The calls it
// makes (`__init__` and the methods it calls) are skipped: the shortcut also
// needs a vk::StandIn.
inline bool construction_known() noexcept {
    return class_pristine() && own_functions() && usable(Probe::managed_dict) &&
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
    static vk::DictMemo<1, bool> memo;
    PyObject* const dicts[1] = {PyModule_GetDict(load.operator_module)};
    if (const bool* answer = memo.find(dicts)) return *answer;
    vk::GuardLookup found = vk::guard_lookup(dicts[0], N.itemgetter);
    if (!found.known) return false;
    const bool answer = found.value == load.itemgetter;
    memo.remember(dicts, answer);
    return answer;
}

// Can the items of `x` be read straight from its list storage, exactly as
// `x[0]`, `len(x)` and `for y in x` would see them?
inline bool native_items(PyObject* x) noexcept {
    return usable(Probe::list_storage) && (PyList_CheckExact(x) || exact_pristine(x));
}

// ============================================================================
// Load time
// ============================================================================

// Is `o` the interpreter's `operator.itemgetter` type? A class made in
// Python can always be subclassed; the interpreter's type cannot.
bool is_interpreter_itemgetter(PyObject* o) noexcept {
    if (!o || !PyType_Check(o) || !Py_IS_TYPE(o, &PyType_Type)) return false;
    auto* t = reinterpret_cast<PyTypeObject*>(o);
    return !PyType_HasFeature(t, Py_TPFLAGS_BASETYPE) && std::strcmp(t->tp_name, "operator.itemgetter") == 0;
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
    return record_itemgetter(f);
}

}  // namespace native

}  // namespace
