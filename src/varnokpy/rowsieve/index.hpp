// Index building and membership: the field index of a pattern
// (`__makeindex`), whose buckets are rowsieves of the members with one key,
// and the membership map of `__contains__`; each after its shortcut
// (index_shortcuts.hpp).
#pragma once

#include "frame.hpp"

#include "members.hpp"
#include "index_shortcuts.hpp"

namespace {

// One member into a field index: its key, then its bucket.
// CAUTION: may run arbitrary Python code
int index_member(PyObject* index, KeyFn& key, PyObject* x) noexcept {
    Ref k = key.apply(x);
    if (!k) return -1;
    if (PyObject* found = PyDict_GetItemWithError(index, k.get())) {
        Ref bucket = Ref::borrow(found);
        return call_append(bucket.get(), x);
    }
    if (PyErr_Occurred()) return -1;
    Ref batch = list_of(x);
    Ref bucket = batch ? new_rowsieve({batch.get()}) : Ref();
    if (!bucket) return -1;
    return PyDict_SetItem(index, k.get(), bucket.get());
}

// The steps of `__makeindex`: a new field index of the current members
// under `key` (not stored). A member whose key or bucket raises IndexError
// is skipped.
// CAUTION: may run arbitrary Python code
Ref make_index(PyObject* self, KeyFn& key) noexcept {
    if (Shortcut s = native::build_index(self, key); s.taken()) return s.take();
    Ref index = Ref::steal(PyDict_New());
    if (!index) return Ref();
    Members members(self);
    if (!members.ok()) return Ref();
    while (Ref x = members.next()) {
        if (index_member(index.get(), key, x.get()) < 0) {
            if (!error_is(B_IndexError)) return Ref();
            PyErr_Clear();
        }
    }
    if (PyErr_Occurred()) return Ref();
    return index;
}

// __makeindex(self, getkey)
PyObject* rowsieve_makeindex(vk::Function*, PyObject* const* a) noexcept {
    KeyFn key;
    key.callable = Ref::borrow(a[1]);
    return make_index(a[0], key).release();
}

// `self.__makeindex(getkey)`, `getkey` the key function `key` (made into an
// object only when the call goes through the instance).
// CAUTION: may run arbitrary Python code
Ref call_makeindex(PyObject* self, KeyFn& key) noexcept {
    if (Shortcut s = native::call_own(self, method_bit(C_makeindex), F.makeindex,
                                      [&]() noexcept { return make_index(self, key).release(); });
        s.taken())
        return s.take();
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
    if (Shortcut s = native::count_contains(native::contains(self, val)); s.taken()) return s.release();
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
    if (Shortcut s = native::call_own(self, method_bit(C_contains), F.contains,
                                      [&]() noexcept { return rowsieve_contains(nullptr, a); });
        s.taken())
        return s.release();
    return vk::call_method(N.contains, {self, val}).release();
}

}  // namespace
