// Module state: the frame, builtins, interned names, the module globals
// read at call time, text constants, the objects bound at load (`load`) and
// the shortcut counters; then the calls that go through those names: a
// method called by name with the pattern arguments and the selection (both
// paths make these), `warnings.warn` and the legacy switch.
#pragma once

#include "frame.hpp"

namespace {

using namespace vk::prelude;

const char* const kBuiltins[] = {"range", "DeprecationWarning", "super", "TypeError", "enumerate", nullptr};
enum Builtin { B_range, B_DeprecationWarning, B_super, B_TypeError, B_enumerate };

// The exec steps that fill the state below (module.hpp defines them).
int module_constants(vk::ModuleFrame&) noexcept;
int module_prebuilt(vk::ModuleFrame&) noexcept;
int module_body(vk::ModuleFrame&) noexcept;

const vk::ModuleInfo kInfo = {
    "_keyshelf", "varnokpy._keyshelf", "src/varnokpy/_keyshelf", nullptr, kBuiltins, true,
    module_constants, module_prebuilt, module_body,
};

// The module's frame, defined by VARNOK_MODULE in _keyshelf.cpp.
extern vk::ModuleFrame& frame;

PyObject* builtin(Builtin b) noexcept { return frame.builtin(b); }

// Interned attribute and method names.
struct Names {
    PyObject *wild, *pos, *keylist, *legacy;
    PyObject *clean, *setord, *keys, *values, *items, *keys_internal, *iteritems_internal;
    PyObject *select, *sort, *warn, *get, *getitem, *setstate;
    PyObject *init, *setitem, *delitem, *clear, *pop, *popitem, *update;
} N;

vk::GlobalName g_warnings("warnings"), g_LinExpr("LinExpr"), g_rowsieve("rowsieve"), g_sum_terms("_sum_terms"),
    g_keyshelf("keyshelf");

PyObject* kStar = nullptr;           // "*", the wildcard of a new keyshelf
PyObject* kSortKwnames = nullptr;    // ("key",)
PyObject* kLegacyWarning = nullptr;
PyObject* kIterkeysWarning = nullptr;
PyObject* kItervaluesWarning = nullptr;
PyObject* kIteritemsWarning = nullptr;
PyObject* kNeedsDict = nullptr;      // "keyshelf.prod requires a dictionary"
PyObject* kInvalidArgument = nullptr;

// Objects bound at load. The module's own functions are kept alive here, so
// that an identity test against them can never match a newer object that
// happens to reuse the address of a deleted one; they also name the
// traceback entries of the calls a shortcut stands in for.
struct LoadTime {
    PyObject* sum_terms = nullptr;           // `_sum_terms`
    PyObject* iteritems_internal = nullptr;  // `keyshelf._iteritems_internal`
    PyObject* rank_prototype = nullptr;      // the sort key, closed over a keyshelf per build
    PyObject* dict_keys = nullptr;           // `dict.keys`
    PyObject* dict_getitem = nullptr;        // `dict.__getitem__`
    PyObject* list_sort = nullptr;           // `list.sort`
    binaryfunc keyshelf_subscript = nullptr; // the item-lookup slot of `keyshelf`
} load;

// How often each shortcut was taken (when VARNOK_COUNT_SHORTCUTS is set),
// printed in this order.
vk::ShortcutCounter count_select("select"), count_sum("sum"), count_prod("prod"), count_sort("sort"),
    count_rank("rank"), count_super("super"), count_positions("positions");

int module_constants(vk::ModuleFrame&) noexcept {
    if (vk::intern_all({
        {&N.wild, "wild"},
        {&N.pos, "_keyshelf__pos"},
        {&N.keylist, "_keyshelf__keys"},
        {&N.legacy, "_legacy_keyshelf_behavior"},
        {&N.clean, "clean"},
        {&N.setord, "setord"},
        {&N.keys, "keys"},
        {&N.values, "values"},
        {&N.items, "items"},
        {&N.keys_internal, "_keys_internal"},
        {&N.iteritems_internal, "_iteritems_internal"},
        {&N.select, "select"},
        {&N.sort, "sort"},
        {&N.warn, "warn"},
        {&N.get, "get"},
        {&N.getitem, "__getitem__"},
        {&N.setstate, "__setstate__"},
        {&N.init, "__init__"},
        {&N.setitem, "__setitem__"},
        {&N.delitem, "__delitem__"},
        {&N.clear, "clear"},
        {&N.pop, "pop"},
        {&N.popitem, "popitem"},
        {&N.update, "update"},
        {&kStar, "*"},
        }) < 0)
        return -1;
    struct {
        PyObject** slot;
        const char* text;
    } texts[] = {
        {&kLegacyWarning, "Python2 legacy behaviour for keyshelf is deprecated."},
        {&kIterkeysWarning, "keyshelf.iterkeys() is deprecated, use .keys() instead"},
        {&kItervaluesWarning, "keyshelf.itervalues() is deprecated, use .values() instead"},
        {&kIteritemsWarning, "keyshelf.iteritems() is deprecated, use .items() instead"},
        {&kNeedsDict, "keyshelf.prod requires a dictionary"},
        {&kInvalidArgument, "Invalid keyshelf.prod argument"},
    };
    for (auto& t : texts) {
        if (!*t.slot && !(*t.slot = PyUnicode_FromString(t.text))) return -1;
    }
    for (vk::GlobalName* g : {&g_warnings, &g_LinExpr, &g_rowsieve, &g_sum_terms, &g_keyshelf})
        if (g->init() < 0) return -1;
    return 0;
}

// The pattern arguments of a call: the `*vals` tuple's items, or the
// positional arguments as the call passed them (borrowed for the call).
struct Vals {
    PyObject* const* items;
    Py_ssize_t n;
    static Vals of(PyObject* tuple) noexcept { return {&PyTuple_GET_ITEM(tuple, 0), PyTuple_GET_SIZE(tuple)}; }
};

// `obj.<name>(*vals)`, dispatched through `obj`.
// CAUTION: may run arbitrary Python code
Ref call_method_star(PyObject* name, PyObject* obj, Vals vals) noexcept {
    const Py_ssize_t n = vals.n;
    // Slot 0 stays free for PY_VECTORCALL_ARGUMENTS_OFFSET.
    vk::SmallVec<PyObject*, 10> stack;
    if (!stack.reserve(static_cast<size_t>(n) + 2)) return Ref();
    stack.push(nullptr);
    stack.push(obj);
    for (Py_ssize_t i = 0; i < n; ++i) stack.push(vals.items[i]);
    // `obj` and the arguments are owned by the caller for the whole call.
    return Ref::steal(PyObject_VectorcallMethod(name, stack.data() + 1,
                                                static_cast<size_t>(n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `self._keys_internal().select(*vals)`, dispatched as the class's own code
// does it.
// CAUTION: may run arbitrary Python code
Ref selection_of(PyObject* self, Vals vals) noexcept {
    Ref keylist = vk::call_method(N.keys_internal, {self});
    if (!keylist) return Ref();
    return call_method_star(N.select, keylist.get(), vals);
}

// `warnings.warn(text, DeprecationWarning)`, through the module global.
// CAUTION: may run arbitrary Python code
int warn_deprecated(PyObject* text) noexcept {
    Ref warnings = g_warnings.get(frame);
    if (!warnings) return -1;
    Ref warn = vk::getattr(warnings.get(), N.warn);
    if (!warn) return -1;
    Ref r = vk::call(warn.get(), {text, builtin(B_DeprecationWarning)});
    return r ? 0 : -1;
}

// The truth of `keyshelf._legacy_keyshelf_behavior`, read from the class that
// the module global names now (an instance attribute plays no part).
// CAUTION: may run arbitrary Python code
int legacy_on() noexcept {
    Ref cls = g_keyshelf.get(frame);
    if (!cls) return -1;
    Ref flag = vk::getattr(cls.get(), N.legacy);
    if (!flag) return -1;
    return PyObject_IsTrue(flag.get());
}

}  // namespace
