// The guards: what a shortcut must prove before it runs.
//
// Each shortcut answers done, failed or not taken (`vk::Shortcut`); "not
// taken" means that nothing observable happened: no Python code ran and
// nothing changed, so the caller's general steps start from the same state.
// The guards are therefore tests that run no code. Every guard consults
// `vk::shortcuts_on()` (directly or through `py311::usable`), so the
// general-only build takes no shortcut.
//
//   guard                what it proves                              shortcuts
//   -------------------  ------------------------------------------  ------------------
//   super_reaches_dict   `super(cls, self).<name>` is dict's <name>  super_dict_call
//   plain_instance_attr  `self.<name>` reads the instance dict and   rank_of,
//                        runs no code                                sort_by_rank
//   plain_position_map   `self.__pos` is such a read of an exact     sort_by_rank
//                        dict of plain keys and exact ints, so no
//                        rank can run code
//   sort_is_lists        `keylist.sort` is the base list's sort      sort_by_rank
//   hashes_known         a plain key's hash may be taken once and    sort_by_rank,
//                        serve every lookup of the key               select, sum, prod
//   iteritems_is_own     `self._iteritems_internal` is this          select, sum, prod
//                        module's own function
//   sums_inline          that, and `_sum_terms` is the function      sum, prod
//                        bound at load
//   subscript_is_dicts   `self[k]` is dict's subscript (asked at     select, sum, prod
//                        every step of the walk)
//
// A shortcut that skips a call of a Python-level function (this module's
// functions, generator resumptions, the sort key, `_sum_terms`) also holds a
// `vk::StandIn`, false while a profile function is set: sort_by_rank,
// select, sum and prod.
#pragma once

#include "frame.hpp"
#include "cpython311.hpp"

#include "state.hpp"

namespace {

namespace native {

// Does `super(cls, self)` hand out dict's methods? When `super` is the
// builtin and `dict` follows `cls` in the method order of `type(self)`,
// `super(cls, self).<name>` is the `dict` method of that name (dict defines
// every name this class calls).
bool super_reaches_dict(PyObject* cls, PyObject* self) noexcept {
    if (!py311::usable(Probe::type_version) || builtin(B_super) != reinterpret_cast<PyObject*>(&PySuper_Type) ||
        !vk::depth_to_spare())
        return false;
    PyObject* mro = Py_TYPE(self)->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i + 1 < n; ++i) {
        if (PyTuple_GET_ITEM(mro, i) == cls)
            return PyTuple_GET_ITEM(mro, i + 1) == reinterpret_cast<PyObject*>(&PyDict_Type);
    }
    return false;
}

// Does looking a name up in the instance's own attributes run no code? They
// are kept inline (exact str names), or in a dict whose keys are all exact
// strs (vk::lookup_runs_no_code), or there are none yet. A dict holding any
// other key (a str subclass with its own `__eq__`) could run code: unknown.
bool instance_lookup_pure(PyObject* obj) noexcept {
    PyTypeObject* t = Py_TYPE(obj);
    if (!PyType_HasFeature(t, Py_TPFLAGS_MANAGED_DICT)) return t->tp_dictoffset == 0;
    if (!py311::usable(Probe::managed_dict)) return false;
    PyObject* d = py311::managed_dict(obj);
    return !d || vk::lookup_runs_no_code(d);
}

// Is `self.<name>` a read of the instance dict that runs no code (no
// attribute hook, nothing of that name on the class, no key in the instance
// dict whose comparison is Python code)?
bool plain_instance_attr(PyObject* self, PyObject* name) noexcept {
    if (!py311::usable(Probe::type_version)) return false;
    PyTypeObject* t = Py_TYPE(self);
    return t->tp_getattro == PyObject_GenericGetAttr && !py311::type_lookup(t, name) && instance_lookup_pure(self);
}

// The position map as a plain read, if ranks can be taken from it without
// running code; nullptr otherwise (nothing observable happened).
PyObject* plain_position_map(PyObject* self) noexcept {
    if (!plain_instance_attr(self, N.pos)) return nullptr;
    // A plain read: the instance dict, or AttributeError without a hook.
    Ref pos = vk::getattr(self, N.pos);
    if (!pos) {
        PyErr_Clear();  // the general steps raise it again, the same way
        return nullptr;
    }
    if (!PyDict_CheckExact(pos.get())) return nullptr;
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(pos.get(), &at, &key, &value)) {
        if (!py311::is_plain_key(key) || !PyLong_CheckExact(value)) return nullptr;
        int overflow;
        PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow) return nullptr;
    }
    return pos.get();  // held by the instance dict; no code runs before its use
}

// Does `obj.<name>`, resolved as a method call, find `expected` on the type,
// not shadowed by the instance? Runs no code: with the generic attribute
// lookup and `expected` on the type, resolving the method is a look into the
// instance dict, made only where that runs no code.
bool method_is(PyObject* obj, PyObject* name, PyObject* expected) noexcept {
    if (!py311::usable(Probe::type_version) || !py311::usable(Probe::method_lookup) || !vk::depth_to_spare())
        return false;
    PyTypeObject* t = Py_TYPE(obj);
    if (t->tp_getattro != PyObject_GenericGetAttr || py311::type_lookup(t, name) != expected ||
        !instance_lookup_pure(obj))
        return false;
    PyObject* m = nullptr;
    const int unbound = py311::get_method(obj, name, &m);
    Ref found = Ref::steal(m);
    if (!found) PyErr_Clear();  // not expected: the type has the attribute
    return unbound == 1 && found.get() == expected;
}

// Is `keylist.sort` the base list's sort?
bool sort_is_lists(PyObject* keylist) noexcept {
    return PyList_Check(keylist) && method_is(keylist, N.sort, load.list_sort);
}

// The probes allow a plain key's hash to be computed once and reused for
// every lookup of that key (py311::hash_known, py311::dict_get_known_hash).
bool hashes_known() noexcept {
    return py311::usable(Probe::hash_known) && py311::usable(Probe::known_hash);
}

// Is `self._iteritems_internal` this module's own function? The walks that
// run its body inline ask (and stand in for its call and resumptions with a
// vk::StandIn).
bool iteritems_is_own(PyObject* self) noexcept {
    return method_is(self, N.iteritems_internal, load.iteritems_internal);
}

// Can a sum over `self._iteritems_internal(*vals)` run inline? `_sum_terms`
// is the load-time function and the selection is this module's own.
bool sums_inline(PyObject* self) noexcept {
    return vk::shortcuts_on() && g_sum_terms.is(frame, load.sum_terms) && iteritems_is_own(self);
}

// Does `self[k]` do exactly dict's subscript (the type takes item lookup
// from dict: its `__getitem__` is dict's own)? A heap subclass reaches it
// through the generic slot, which finds the same method. The last type that
// passed is remembered by its version tag, which changes whenever the type
// (or a base) is modified, so a match proves nothing has changed since.
unsigned int g_dict_subscript_tag = 0;

bool subscript_is_dicts_slow(PyObject* self) noexcept {
    PyTypeObject* t = Py_TYPE(self);
    if (!py311::usable(Probe::type_version)) return false;
    if (!PyDict_Check(self) || !t->tp_as_mapping) return false;
    binaryfunc slot = t->tp_as_mapping->mp_subscript;
    if (slot != PyDict_Type.tp_as_mapping->mp_subscript && slot != load.keyshelf_subscript) return false;
    if (py311::type_lookup(t, N.getitem) != load.dict_getitem) return false;
    // The lookup has given the type a tag if it had none.
    g_dict_subscript_tag = py311::type_version(t);
    return true;
}

inline bool subscript_is_dicts(PyObject* self) noexcept {
    // A tag that passed is a dict subclass's, so the instance is a dict (and
    // the probe passed).
    if (g_dict_subscript_tag && py311::type_version(Py_TYPE(self)) == g_dict_subscript_tag) return true;
    return subscript_is_dicts_slow(self);
}

}  // namespace native

}  // namespace
