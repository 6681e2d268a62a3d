// The mode and the members: construction, the mode checks, clean, the
// additions and the deletions, each method's steps in their order after its
// shortcut (members_shortcuts.hpp); and the calls that the class's own code
// makes on an instance (`self.clean()` and the like), which reach the method
// through the instance, or call its steps in C where the instance's method is
// this class's own (native::call_own).
#pragma once

#include <initializer_list>

#include "frame.hpp"

#include "members_shortcuts.hpp"

namespace {

// ============================================================================
// Small steps
// ============================================================================

// A new empty result, `rowsieve([])`.
// CAUTION: may run arbitrary Python code
Ref new_empty() noexcept {
    if (Shortcut s = native::new_empty(); s.taken()) return s.take();
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty) return Ref();
    return new_rowsieve({empty.get()});
}

// The base list's own operations on `self`, which must be a list.
// CAUTION: may run arbitrary Python code (the base list's slice assignment
// iterates `items` when it is not a list)
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

// `self.<method>(...)` as the class's code calls it: in C when the instance's
// method is this class's own (`body()`, its steps), else through the
// instance (the method `name` called with `args`).
// CAUTION: may run arbitrary Python code
template <class Body>
int call_on_self(PyObject* self, SelfCall method, std::initializer_list<PyObject*> args, Body&& body) noexcept {
    const SelfCalled& m = kSelfCalled[method];
    if (Shortcut s = native::call_own(self, method_bit(method), *m.fn, body); s.taken()) return s.rc();
    return call_self(*m.name, args);
}

// ============================================================================
// The mode checks and clean
// ============================================================================

// Every item `y` of `x` gives `value_of(y)` equal to `recorded` (compared
// with `!=`), else ValueError(message).
// CAUTION: may run arbitrary Python code
template <class ValueOf>
int check_items(PyObject* x, PyObject* recorded, const char* message, ValueOf&& value_of) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(x));
    if (!it) return -1;
    while (Ref y = Ref::steal(PyIter_Next(it.get()))) {
        Ref value = value_of(y.get());
        if (!value) return -1;
        int differs = PyObject_RichCompareBool(value.get(), recorded, Py_NE);
        if (differs < 0) return -1;
        if (differs) {
            PyErr_SetString(builtin(B_ValueError), message);
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Steps 1 and 2 of the mode check: the mode decided from the first item when
// it is undetermined, then every item checked against it. Sets `scalar` to
// the mode.
// CAUTION: may run arbitrary Python code
int check_kinds(PyObject* self, PyObject* x, Ref& scalar) noexcept {
    if (!(scalar = vk::getattr(self, N.scalar))) return -1;
    if (scalar.get() == Py_None) {
        Ref first = Ref::steal(PySequence_GetItem(x, 0));
        if (!first) return -1;
        if (vk::setattr(self, N.scalar, is_scalar_item(first.get()) ? Py_True : Py_False) < 0) return -1;
    }
    if (!(scalar = vk::getattr(self, N.scalar))) return -1;
    return check_items(x, scalar.get(), kMixMessage,
                       [](PyObject* y) noexcept { return Ref::borrow(is_scalar_item(y) ? Py_True : Py_False); });
}

// Step 4 of the mode check: every item has the recorded length, recorded
// from the first item when there is none.
// CAUTION: may run arbitrary Python code
int check_lengths(PyObject* self, PyObject* x) noexcept {
    Ref tuplelen = vk::getattr(self, N.tuplelen);
    if (!tuplelen) return -1;
    if (tuplelen.get() == Py_None) {
        Ref first = Ref::steal(PySequence_GetItem(x, 0));
        if (!first) return -1;
        Py_ssize_t n = PyObject_Length(first.get());
        if (n < 0) return -1;
        Ref len_obj = Ref::steal(PyLong_FromSsize_t(n));
        if (!len_obj || vk::setattr(self, N.tuplelen, len_obj.get()) < 0) return -1;
        if (!(tuplelen = vk::getattr(self, N.tuplelen))) return -1;
    }
    return check_items(x, tuplelen.get(), kLengthMessage, [](PyObject* y) noexcept {
        const Py_ssize_t n = PyObject_Length(y);
        return n < 0 ? Ref() : Ref::steal(PyLong_FromSsize_t(n));
    });
}

// The steps of `__scalaraddcheck(x)`; an IndexError anywhere ends the check
// quietly.
// CAUTION: may run arbitrary Python code
int scalaraddcheck_steps(PyObject* self, PyObject* x) noexcept {
    Ref scalar;
    int r = check_kinds(self, x, scalar);
    if (r == 0) {
        // 3. Scalar mode checks nothing more.
        int truth = PyObject_IsTrue(scalar.get());
        r = truth < 0 ? -1 : truth ? 0 : check_lengths(self, x);
    }
    if (r < 0 && error_is(B_IndexError)) {
        PyErr_Clear();
        r = 0;
    }
    return r;
}

// __scalaraddcheck(self, x)
PyObject* rowsieve_scalaraddcheck(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *x = a[1];
    if (Shortcut s = native::count_addcheck(native::scalaraddcheck(self, x)); s.taken()) return s.release();
    if (scalaraddcheck_steps(self, x) < 0) return nullptr;
    Py_RETURN_NONE;
}

// __scalardelcheck(self)
PyObject* rowsieve_scalardelcheck(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    if (Shortcut s = native::count_delcheck(native::scalardelcheck(self)); s.taken()) return s.release();
    int truth = PyObject_IsTrue(self);
    if (truth < 0) return nullptr;
    if (!truth) {
        if (vk::setattr(self, N.scalar, Py_None) < 0 || vk::setattr(self, N.tuplelen, Py_None) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// clean(self): each cache rebound to a fresh one, in kCaches order.
PyObject* rowsieve_clean(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    if (Shortcut s = native::count_clean(native::clean(self)); s.taken()) return s.release();
    for (const Cache& c : kCaches) {
        Ref value = c.is_dict ? Ref::steal(PyDict_New()) : Ref::borrow(Py_None);
        if (!value || vk::setattr(self, *c.name, value.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// `self.clean()`
// CAUTION: may run arbitrary Python code
int call_clean(PyObject* self) noexcept {
    return call_on_self(self, C_clean, {self}, [&]() noexcept { return rowsieve_clean(nullptr, &self); });
}

// `self.__scalardelcheck()`
// CAUTION: may run arbitrary Python code
int call_scalardelcheck(PyObject* self) noexcept {
    return call_on_self(self, C_scalardelcheck, {self},
                        [&]() noexcept { return rowsieve_scalardelcheck(nullptr, &self); });
}

// `self.__scalaraddcheck(batch)`
// CAUTION: may run arbitrary Python code
int call_scalaraddcheck(PyObject* self, PyObject* batch) noexcept {
    PyObject* const args[] = {self, batch};
    return call_on_self(self, C_scalaraddcheck, {self, batch},
                        [&]() noexcept { return rowsieve_scalaraddcheck(nullptr, args); });
}

// `self.__scalaraddcheck([x])`
// CAUTION: may run arbitrary Python code
int call_scalaraddcheck_one(PyObject* self, PyObject* x) noexcept {
    Ref batch = list_of(x);
    return batch ? call_scalaraddcheck(self, batch.get()) : -1;
}

// ============================================================================
// Construction and additions
// ============================================================================

// extend(self, L) once `L` is the list `items`. `owned`: `items` is a
// temporary list that only the caller holds.
// CAUTION: may run arbitrary Python code
int extend_items(PyObject* self, PyObject* items, bool owned) noexcept {
    if (Shortcut s = native::count_extend(native::extend(self, items, owned)); s.taken()) return s.rc();
    if (call_scalaraddcheck(self, items) < 0) return -1;
    if (call_clean(self) < 0) return -1;
    return base_extend(self, items);
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

// `self.extend(data)`
// CAUTION: may run arbitrary Python code
int call_extend(PyObject* self, PyObject* data) noexcept {
    PyObject* const args[] = {self, data};
    return call_on_self(self, C_extend, {self, data}, [&]() noexcept { return rowsieve_extend(nullptr, args); });
}

// append(self, x)
PyObject* rowsieve_append(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *x = a[1];
    if (Shortcut s = native::count_append(native::append(self, x)); s.taken()) return s.release();
    if (call_scalaraddcheck_one(self, x) < 0) return nullptr;
    if (call_clean(self) < 0) return nullptr;
    if (base_append(self, x) < 0) return nullptr;
    Py_RETURN_NONE;
}

// `bucket.append(x)`
// CAUTION: may run arbitrary Python code
int call_append(PyObject* bucket, PyObject* x) noexcept {
    PyObject* const args[] = {bucket, x};
    return call_on_self(bucket, C_append, {bucket, x}, [&]() noexcept { return rowsieve_append(nullptr, args); });
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
    if (call_scalardelcheck(self) < 0) return nullptr;
    // 4. The members.
    if (call_extend(self, data) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ============================================================================
// Insertion and deletions
// ============================================================================

// insert(self, i, x)
PyObject* rowsieve_insert(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *i = a[1], *x = a[2];
    if (call_scalaraddcheck_one(self, x) < 0 || call_clean(self) < 0) return nullptr;
    return vk::call(B.insert, {self, i, x}).release();
}

// The steps of a deletion after the base list changed.
// CAUTION: may run arbitrary Python code
int after_deletion(PyObject* self) noexcept {
    if (call_scalardelcheck(self) < 0) return -1;
    return call_clean(self);
}

// The deletion `method(self, arg)` of the base list, then the steps after
// it; the base list's result when `keep_result`, else None.
// CAUTION: may run arbitrary Python code
PyObject* delete_then_check(PyObject* self, PyObject* method, PyObject* arg, bool keep_result) noexcept {
    Ref r = vk::call(method, {self, arg});
    if (!r || after_deletion(self) < 0) return nullptr;
    return keep_result ? r.release() : Py_NewRef(Py_None);
}

// pop(self, i=-1)
PyObject* rowsieve_pop(vk::Function*, PyObject* const* a) noexcept { return delete_then_check(a[0], B.pop, a[1], true); }

// remove(self, x)
PyObject* rowsieve_remove(vk::Function*, PyObject* const* a) noexcept {
    return delete_then_check(a[0], B.remove, a[1], false);
}

// __delitem__(self, i)
PyObject* rowsieve_delitem(vk::Function*, PyObject* const* a) noexcept {
    return delete_then_check(a[0], B.delitem, a[1], false);
}

// __delslice__(self, i, j)
PyObject* rowsieve_delslice(vk::Function*, PyObject* const* a) noexcept {
    Ref slice = Ref::steal(PySlice_New(a[1], a[2], nullptr));
    if (!slice) return nullptr;
    return delete_then_check(a[0], B.delitem, slice.get(), false);
}

// A new rowsieve of `items` with the wildcard of `self`, through the module
// global (read first).
// CAUTION: may run arbitrary Python code
PyObject* like_self(PyObject* self, PyObject* cls, PyObject* items) noexcept {
    Ref wild = vk::getattr(self, N.wild);
    if (!wild) return nullptr;
    return vk::call(cls, {items, wild.get()}).release();
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
    return like_self(self, cls.get(), both.get());
}

// __iadd__(self, other)
PyObject* rowsieve_iadd(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    if (call_extend(self, a[1]) < 0) return nullptr;
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
    return like_self(self, cls.get(), part.get());
}

}  // namespace
