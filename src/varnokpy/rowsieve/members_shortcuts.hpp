// Shortcuts of the mode and the members: new instances made in C, clean, the
// mode check of a batch, and append and extend, each doing in C the steps of
// members.hpp where nothing could tell the difference.
//
// A rowsieve made in C (a bucket, a result) gets the instance dict that
// construction would leave, keys in the same order, and list storage grown as
// the base list would grow it; its dict is a copy of a template whose values
// are set in place before anyone can see it.
#pragma once

#include <utility>

#include "frame.hpp"
#include "cpython311.hpp"

#include "guards.hpp"

namespace {

namespace native {

vk::ShortcutCounter count_new_empty("new_empty"), count_addcheck("scalaraddcheck"),
    count_delcheck("scalardelcheck"), count_clean("clean"), count_append("append"), count_extend("extend"),
    count_extend_fresh("extend_fresh");

// ============================================================================
// New instances
// ============================================================================

// The instance dict of a new list before its mode and caches are set: the
// keys in the order construction sets them (T_*). Its copies own their key
// table; while `g_in_place`, their values are set by position (the layout
// checked against a real copy at load).
PyObject* g_template = nullptr;
bool g_in_place = false;

// Makes the template, once the names exist (at load).
int make_instance_template() noexcept {
    Py_CLEAR(g_template);
    Ref state = Ref::steal(PyDict_New());
    if (!state) return -1;
    for (int i = 0; i < T_count; ++i)
        if (PyDict_SetItem(state.get(), state_name(i), i == T_wild ? kStar : Py_None) < 0) return -1;
    g_template = state.release();
    Ref probe = Ref::steal(PyDict_Copy(g_template));
    if (!probe) return -1;
    g_in_place = holds_state_only(probe.get());
    return 0;
}

// A new exact instance with the state that `rowsieve([first])` (or
// `rowsieve([])` without `first`) leaves: the instance dict holds the same
// keys in the same order, the default wildcard, the mode and fresh caches.
// Only while construction_known(); runs no Python code.
Ref new_instance(PyObject* first, PyObject* scalar, PyObject* tuplelen) noexcept {
    Ref obj = Ref::steal(load.cls->tp_alloc(load.cls, 0));
    if (!obj) return Ref();
    Ref state = Ref::steal(PyDict_Copy(g_template));
    if (!state) return Ref();
    Ref fresh[kCacheCount];
    for (int i = 0; i < kCacheCount; ++i)
        if (!(fresh[i] = kCaches[i].is_dict ? Ref::steal(PyDict_New()) : Ref::borrow(Py_None))) return Ref();
    PyObject* d = state.get();
    if (g_in_place) {
        // Every allocation has succeeded: the copy is filled, nothing can fail.
        py311::str_table_set(d, T_scalar, Py_NewRef(scalar));
        py311::str_table_set(d, T_tuplelen, Py_NewRef(tuplelen));
        for (int i = 0; i < kCacheCount; ++i) py311::str_table_set(d, T_caches + i, fresh[i].release());
        // It now holds containers: the collector must see it.
        if (!PyObject_GC_IsTracked(d)) PyObject_GC_Track(d);
    } else {
        if (PyDict_SetItem(d, N.scalar, scalar) < 0 || PyDict_SetItem(d, N.tuplelen, tuplelen) < 0) return Ref();
        for (int i = 0; i < kCacheCount; ++i)
            if (PyDict_SetItem(d, *kCaches[i].name, fresh[i].get()) < 0) return Ref();
    }
    if (!py311::install_managed_dict(obj.get(), state.release())) {
        PyErr_SetString(PyExc_MemoryError, "cannot give a new rowsieve its attributes");
        return Ref();
    }
    if (first && PyList_Append(obj.get(), first) < 0) return Ref();
    return obj;
}

// `rowsieve([])` when the construction can be stood in for; `rowsieve([])`
// through the module global otherwise. For the shortcuts that must answer
// with a new empty result once they have run.
// CAUTION: may run arbitrary Python code
Ref empty_result() noexcept {
    vk::StandIn calls;  // for `__init__` and what it calls
    if (count_new_empty(construction_known() && calls)) return new_instance(nullptr, Py_None, Py_None);
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty) return Ref();
    return new_rowsieve({empty.get()});
}

// `rowsieve([])`
Shortcut new_empty() noexcept {
    vk::StandIn calls;  // for `__init__` and what it calls
    if (!count_new_empty(construction_known() && calls)) return Shortcut::not_taken();
    return Shortcut::done(new_instance(nullptr, Py_None, Py_None));
}

// ============================================================================
// clean() and the mode check in C
// ============================================================================

// Is cache `i` of an instance dict still fresh, and held by nothing but the
// dict (an empty exact dict, or None for the membership map)? A new fresh
// one could not be told apart from it.
bool cache_fresh(PyObject* dict, int i, bool by_position) noexcept {
    PyObject* current = state_value(dict, T_caches + i, by_position);
    if (!kCaches[i].is_dict) return current == Py_None;
    return current && PyDict_CheckExact(current) && PyDict_GET_SIZE(current) == 0 && Py_REFCNT(current) == 1;
}

// clean() on an instance dict: each cache rebound to a fresh one, in kCaches
// order. A cache that is still fresh and that nothing but the instance dict
// holds (an empty exact dict, or None for the membership map) stays: a new
// fresh one could not be told apart from it.
// CAUTION: may run arbitrary Python code (the replaced caches are released)
int store_fresh_caches(PyObject* dict) noexcept {
    for (int i = 0; i < kCacheCount; ++i) {
        // Read again for each cache: a release before it may have run code.
        if (cache_fresh(dict, i, holds_state_only(dict))) continue;
        const Cache& c = kCaches[i];
        Ref value = c.is_dict ? Ref::steal(PyDict_New()) : Ref::borrow(Py_None);
        if (!value || PyDict_SetItem(dict, *c.name, value.get()) < 0) return -1;
    }
    return 0;
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

// The recorded mode of an instance dict as check_mode takes it; false when
// it is not one that the check in C decides.
bool recorded_mode(PyObject* dict, int& scalar, Py_ssize_t& tuplelen) noexcept {
    const bool by_position = holds_state_only(dict);
    PyObject* scalar_obj = state_value(dict, T_scalar, by_position);
    PyObject* tuplelen_obj = scalar_obj ? state_value(dict, T_tuplelen, by_position) : nullptr;
    if (!tuplelen_obj) return false;
    if (scalar_obj == Py_None)
        scalar = -1;
    else if (scalar_obj == Py_True || scalar_obj == Py_False)
        scalar = scalar_obj == Py_True;
    else
        return false;
    tuplelen = -1;
    if (tuplelen_obj != Py_None) {
        if (!PyLong_CheckExact(tuplelen_obj)) return false;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(tuplelen_obj, &overflow);
        tuplelen = (overflow || v < 0) ? -2 : static_cast<Py_ssize_t>(v);
    }
    return true;
}

// The mode check of a batch (`__scalaraddcheck`) on an instance dict, for
// items read straight from a list (see check_mode for `copy`). Runs no Python
// code. Not taken when the recorded state is not one that this shortcut
// decides (nothing is changed then).
Shortcut check_batch(PyObject* dict, PyObject* const* items, Py_ssize_t n, PyObject** copy = nullptr) noexcept {
    int scalar;
    Py_ssize_t tuplelen;
    if (!recorded_mode(dict, scalar, tuplelen)) return Shortcut::not_taken();
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

// Do the lists `a` and `b` hold the same objects in the same order?
bool same_items(PyObject* a, PyObject* b) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(a);
    if (PyList_GET_SIZE(b) != n) return false;
    PyObject* const* x = py311::list_items(a);
    PyObject* const* y = py311::list_items(b);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (x[i] != y[i]) return false;
    return true;
}

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
    // clean() may have run Python code that changed the batch: the steps
    // then extend by its current items, so the copy serves only while it
    // still holds them.
    if (copy && !same_items(items, copy.get())) copy = Ref();
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

// `result.extend(sub)`, standing in for the call and for the
// `__scalaraddcheck` and `clean()` it makes, on an instance whose dict holds
// only its state (holds_state_only) with every cache fresh: its clean()
// changes nothing that could be told, and the items of `sub` are checked as
// they are copied into its storage. Runs no Python code. For the results that
// phase 1 of select gathers.
Shortcut extend_fresh(PyObject* result, PyObject* sub) noexcept {
    PyObject* d = fast_dict(result);
    if (!d || result == sub || !native_items(sub) || !holds_state_only(d)) return Shortcut::not_taken();
    for (int i = 0; i < kCacheCount; ++i)
        if (!cache_fresh(d, i, true)) return Shortcut::not_taken();
    vk::StandIn calls;
    int scalar;
    Py_ssize_t tuplelen;
    if (!calls || !recorded_mode(d, scalar, tuplelen)) return Shortcut::not_taken();
    Ref keep = Ref::borrow(d);
    const Py_ssize_t n = PyList_GET_SIZE(sub), size = PyList_GET_SIZE(result);
    if (py311::list_reserve(result, n) < 0) return Shortcut::failed();
    Shortcut checked = check_batch(d, py311::list_items(sub), n, py311::list_items(result) + size);
    if (!checked.ok()) return calls.answer(F.extend, calls.answer(F.scalaraddcheck, std::move(checked)));
    Py_SET_SIZE(result, size + n);
    return Shortcut::done();
}

// ============================================================================
// The methods
// ============================================================================

// __scalaraddcheck(self, x) for a batch `x` whose items can be read from
// its storage.
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

// append(self, x), standing in for `self.__scalaraddcheck([x])` and
// `self.clean()`.
// CAUTION: may run arbitrary Python code (clean() releases the old caches)
Shortcut append(PyObject* self, PyObject* x) noexcept {
    PyObject* d = fast_dict(self);
    vk::StandIn calls;
    if (!d || !own_methods(d, method_bit(C_scalaraddcheck) | method_bit(C_clean)) || !calls) return Shortcut::not_taken();
    Ref keep = Ref::borrow(d);
    Shortcut checked = check_batch(d, &x, 1);
    if (!checked.taken()) return checked;
    if (!checked.ok()) return calls.answer(F.scalaraddcheck, std::move(checked));
    if (calls.status(F.clean, store_fresh_caches(d)) < 0) return Shortcut::failed();
    return Shortcut::status(PyList_Append(self, x));
}

// The steps of extend(self, L) once `L` is the list `items`, standing in for
// `self.__scalaraddcheck(L)` and `self.clean()`.
// CAUTION: may run arbitrary Python code
Shortcut extend(PyObject* self, PyObject* items, bool owned) noexcept {
    PyObject* d = fast_dict(self);
    vk::StandIn calls;
    if (!d || !native_items(items) || !own_methods(d, method_bit(C_scalaraddcheck) | method_bit(C_clean)) || !calls)
        return Shortcut::not_taken();
    Ref keep = Ref::borrow(d);
    return extend_steps(calls, self, d, items, owned);
}

}  // namespace native

}  // namespace
