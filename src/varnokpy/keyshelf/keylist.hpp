// The key list: its build (`_keys_internal`) and sort, the sort key, the
// dict calls through `super`, construction and the mutators that drop the
// key list; each shortcut stands right before the step that tries it.
//
// Lifecycle. The key list is built on the first request after a change
// (`_keys_internal`): a new `rowsieve` of the dict's own keys, stored in
// `_keyshelf__keys`, then sorted in place by the position map. It is never
// changed afterwards, only dropped by `clean()`, which every mutator calls
// after the dict operation succeeded. The sort runs the keys' `__hash__` and
// `__eq__` (through the position map's lookups), so it can re-enter: while
// the stored list is being sorted it looks empty (the base list sort detaches
// its items), a re-entrant request therefore builds a list of its own, and a
// re-entrant mutation drops the stored one. The request returns the list it
// built and sorted either way, so a caller never receives a half-built list
// or None.
#pragma once

#include <algorithm>

#include "frame.hpp"
#include "cpython311.hpp"

#include "guards.hpp"

namespace {

// `self.clean()`, through the instance.
// CAUTION: may run arbitrary Python code
int call_clean(PyObject* self) noexcept {
    Ref r = vk::call_method(N.clean, {self});
    return r ? 0 : -1;
}

namespace native {

// `super(cls, self).<name>(...)` when it is dict's method (super_reaches_dict):
// the method is bound and called directly, the bound method being the one
// the super object would have made, with the same messages. Item
// assignment, deletion and `__init__` call the dict slot their method wraps.
// CAUTION: may run arbitrary Python code
Shortcut super_dict_call(PyObject* cls, PyObject* self, PyObject* name, PyObject* args, PyObject* kwargs) noexcept {
    if (!super_reaches_dict(cls, self)) return Shortcut::not_taken();
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    const bool no_kwargs = !kwargs || PyDict_GET_SIZE(kwargs) == 0;
    objobjargproc assign = PyDict_Type.tp_as_mapping->mp_ass_subscript;
    if (name == N.setitem && n == 2 && no_kwargs)
        return Shortcut::status(assign(self, PyTuple_GET_ITEM(args, 0), PyTuple_GET_ITEM(args, 1)));
    if (name == N.delitem && n == 1 && no_kwargs)
        return Shortcut::status(assign(self, PyTuple_GET_ITEM(args, 0), nullptr));
    if (name == N.init) return Shortcut::status(PyDict_Type.tp_init(self, args, kwargs));
    PyObject* descr = py311::type_lookup(&PyDict_Type, name);
    if (!descr || !Py_TYPE(descr)->tp_descr_get) return Shortcut::not_taken();
    Ref bound = Ref::steal(Py_TYPE(descr)->tp_descr_get(descr, self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    if (!bound) return Shortcut::failed();
    return Shortcut::done(Ref::steal(PyObject_Call(bound.get(), args, kwargs)));
}

}  // namespace native

// `super(cls, self).<name>(*args, **kwargs)`.
// CAUTION: may run arbitrary Python code
Ref super_call(PyObject* cls, PyObject* self, PyObject* name, PyObject* args, PyObject* kwargs) noexcept {
    if (vk::Shortcut s = count_super(native::super_dict_call(cls, self, name, args, kwargs)); s.taken()) return s.take();
    Ref sup = vk::call(builtin(B_super), {cls, self});
    if (!sup) return Ref();
    Ref method = vk::getattr(sup.get(), name);
    if (!method) return Ref();
    return Ref::steal(PyObject_Call(method.get(), args, kwargs));
}

// `super(keyshelf, self).<name>(*args, **kwargs)` with the module global.
// CAUTION: may run arbitrary Python code
Ref super_keyshelf_call(PyObject* self, PyObject* name, PyObject* args, PyObject* kwargs) noexcept {
    Ref cls = g_keyshelf.get(frame);
    if (!cls) return Ref();
    return super_call(cls.get(), self, name, args, kwargs);
}

// Zero-argument `super().<name>()` inside a method that has a class cell.
// CAUTION: may run arbitrary Python code
Ref super_cell_call(vk::Function* fn, PyObject* self, PyObject* name) noexcept {
    if (!fn->klass) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        return Ref();
    }
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return Ref();
    return super_call(fn->klass, self, name, empty.get(), nullptr);
}

namespace native {

// `self.__pos.get(k, len(self.__pos) + 1)` when `self.__pos` is a plain read
// of an exact dict: both reads give the same map (nothing between them runs
// code), and `get` is dict.get.
// CAUTION: may run arbitrary Python code (the key's hash and equality)
Shortcut rank_of(PyObject* self, PyObject* key) noexcept {
    if (!plain_instance_attr(self, N.pos)) return Shortcut::not_taken();
    Ref pos = vk::getattr(self, N.pos);
    if (!pos) return Shortcut::failed();
    if (!PyDict_CheckExact(pos.get())) return Shortcut::not_taken();  // the read ran nothing
    const Py_ssize_t n = PyDict_GET_SIZE(pos.get());
    if (PyObject* r = PyDict_GetItemWithError(pos.get(), key)) return Shortcut::done(Ref::borrow(r));
    if (PyErr_Occurred()) return Shortcut::failed();
    return Shortcut::done(Ref::steal(PyLong_FromSsize_t(n + 1)));
}

}  // namespace native

// The sort key: `lambda k: self.__pos.get(k, len(self.__pos) + 1)`, a closure
// over the keyshelf being built.
// CAUTION: may run arbitrary Python code
PyObject* rank_of_key(vk::Function* fn, PyObject* const* a) noexcept {
    // Held across the calls below: they may drop every other reference.
    Ref self = Ref::borrow(fn->closure);
    if (!self) {
        // Only a function resurrected after the cycle collector cleared it.
        PyErr_SetString(PyExc_RuntimeError, "sort key called after it was cleared");
        return nullptr;
    }
    PyObject* key = a[0];
    if (vk::Shortcut s = count_rank(native::rank_of(self.get(), key)); s.taken()) return s.release();
    Ref pos = vk::getattr(self.get(), N.pos);
    if (!pos) return nullptr;
    Ref get = vk::getattr(pos.get(), N.get);
    if (!get) return nullptr;
    Ref pos_again = vk::getattr(self.get(), N.pos);
    if (!pos_again) return nullptr;
    const Py_ssize_t n = PyObject_Length(pos_again.get());
    if (n < 0) return nullptr;
    Ref fallback = Ref::steal(PyLong_FromSsize_t(n + 1));
    if (!fallback) return nullptr;
    return vk::call(get.get(), {key, fallback.get()}).release();
}

// lambda k: self.__pos.get(k, len(self.__pos) + 1), inside _keys_internal.
const vk::FunctionSpec kRank = {"lambda_", "keyshelf._keys_internal.<locals>.<lambda>", "k", rank_of_key, nullptr,
                                __LINE__, false, true};

namespace native {

// `keylist.sort(key=lambda k: self.__pos.get(k, len(self.__pos) + 1))` run in
// C where computing the ranks could run no Python code: `sort` is the base
// list's (found on the type, not shadowed), `self.__pos` is a plain read of
// an exact dict whose keys are plain and whose values are exact ints, and
// every key of the list is plain. Then hashing and comparing keys, reading
// the map and comparing ranks are the interpreter's own operations, and the
// stable sort by rank has one possible outcome, which is computed directly:
// - with an empty map every rank is the same, and the stable sort leaves the
//   order as it is: nothing to do beyond checking the keys;
// - otherwise the keys with a position are ordered by (rank, index) and
//   merged with the others, which share the rank len(map) + 1 and keep their
//   order; ranks already in order leave the list as it is.
// The list's items are only permuted (no reference changes hands), after
// every allocation has succeeded, so a MemoryError leaves it unchanged, as
// the base sort's would.

struct Ranked {
    long long rank;
    Py_ssize_t index;
    bool operator<(const Ranked& o) const noexcept { return rank < o.rank || (rank == o.rank && index < o.index); }
};

// Writes the stable order by rank into `keylist`; `positioned` holds the
// keys that have a position, in list order.
int permute_by_rank(PyObject* keylist, vk::SmallVec<Ranked, 16>& positioned, long long fallback) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(keylist);
    vk::SmallVec<unsigned char, 64> has_position;
    vk::SmallVec<PyObject*, 64> order;
    if (!has_position.reserve(static_cast<size_t>(n)) || !order.reserve(static_cast<size_t>(n))) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) has_position.push(0);
    for (size_t j = 0; j < positioned.size(); ++j) has_position[static_cast<size_t>(positioned[j].index)] = 1;
    std::sort(positioned.data(), positioned.data() + positioned.size());
    size_t next = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (has_position[static_cast<size_t>(i)]) continue;
        const Ranked here = {fallback, i};
        while (next < positioned.size() && positioned[next] < here)
            order.push(PyList_GET_ITEM(keylist, positioned[next++].index));
        order.push(PyList_GET_ITEM(keylist, i));
    }
    while (next < positioned.size()) order.push(PyList_GET_ITEM(keylist, positioned[next++].index));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(keylist, i, order[static_cast<size_t>(i)]);
    return 0;
}

Shortcut sort_by_rank(PyObject* self, PyObject* keylist) noexcept {
    if (!vk::shortcuts_on() || !sort_is_lists(keylist)) return Shortcut::not_taken();
    PyObject* pos = plain_position_map(self);
    if (!pos) return Shortcut::not_taken();
    vk::StandIn calls;  // for the sort key's calls
    if (!calls) return Shortcut::not_taken();
    const Py_ssize_t n = PyList_GET_SIZE(keylist);
    // Each pass goes over keys the build has just left in memory: fetch ahead.
    constexpr Py_ssize_t kAhead = 16;
    if (PyDict_GET_SIZE(pos) == 0) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i + kAhead < n) __builtin_prefetch(PyList_GET_ITEM(keylist, i + kAhead));
            if (!py311::is_plain_key(PyList_GET_ITEM(keylist, i))) return Shortcut::not_taken();
        }
        return Shortcut::done();
    }
    const long long fallback = static_cast<long long>(PyDict_GET_SIZE(pos)) + 1;
    const bool known = hashes_known();
    vk::SmallVec<Ranked, 16> positioned;
    bool in_order = true;
    long long last = LLONG_MIN;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i + kAhead < n) __builtin_prefetch(PyList_GET_ITEM(keylist, i + kAhead));
        PyObject* key = PyList_GET_ITEM(keylist, i);
        if (!py311::is_plain_key(key)) return Shortcut::not_taken();
        // Plain keys against plain keys: neither lookup runs code or fails.
        Py_hash_t hash;
        PyObject* value = known && py311::hash_known(key, hash) ? py311::dict_get_known_hash(pos, key, hash)
                                                                 : PyDict_GetItemWithError(pos, key);
        long long rank = fallback;
        if (value) {
            rank = PyLong_AsLongLong(value);
            if (!positioned.push({rank, i})) return Shortcut::failed();
        } else if (PyErr_Occurred()) {
            PyErr_Clear();  // not expected of plain keys: the general steps will tell
            return Shortcut::not_taken();
        }
        in_order = in_order && rank >= last;
        last = rank;
    }
    if (in_order) return Shortcut::done();
    return Shortcut::status(permute_by_rank(keylist, positioned, fallback));
}

}  // namespace native

// `keylist.sort(key=lambda k: self.__pos.get(k, len(self.__pos) + 1))`: the
// base list's stable sort unless the class bound to `rowsieve` says otherwise.
// CAUTION: may run arbitrary Python code
int sort_by_rank(PyObject* self, PyObject* keylist) noexcept {
    if (vk::Shortcut s = count_sort(native::sort_by_rank(self, keylist)); s.taken()) return s.rc();
    Ref rank = vk::make_closure(load.rank_prototype, self);
    if (!rank) return -1;
    PyObject* stack[] = {nullptr, keylist, rank.get()};
    Ref sorted = Ref::steal(
        PyObject_VectorcallMethod(N.sort, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kSortKwnames));
    return sorted ? 0 : -1;
}

// _keys_internal(self)
// CAUTION: may run arbitrary Python code
PyObject* keyshelf_keys_internal(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    // 1. A built key list is returned as it is.
    Ref current = vk::getattr(self, N.keylist);
    if (!current) return nullptr;
    const int built = PyObject_IsTrue(current.get());
    if (built < 0) return nullptr;
    if (built) return current.release();
    current.reset();

    // 2. self.__keys = rowsieve(dict.keys(self), self.wild)
    Ref cls = g_rowsieve.get(frame);
    if (!cls) return nullptr;
    Ref view = vk::call(load.dict_keys, {self});
    if (!view) return nullptr;
    Ref wild = vk::getattr(self, N.wild);
    if (!wild) return nullptr;
    Ref keylist = vk::call(cls.get(), {view.get(), wild.get()});
    if (!keylist) return nullptr;
    view.reset();
    if (vk::setattr(self, N.keylist, keylist.get()) < 0) return nullptr;

    // 3.
    if (sort_by_rank(self, keylist.get()) < 0) return nullptr;
    // 4.
    return keylist.release();
}

// __init__(self, *args, **kwargs)
PyObject* keyshelf_init(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *args = a[1], *kwargs = a[2];
    Ref r = super_keyshelf_call(self, N.init, args, kwargs);
    if (!r) return nullptr;
    if (vk::setattr(self, N.wild, kStar) < 0) return nullptr;
    Ref pos = Ref::steal(PyDict_New());
    if (!pos || vk::setattr(self, N.pos, pos.get()) < 0) return nullptr;
    if (call_clean(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

// clean(self)
PyObject* keyshelf_clean(vk::Function*, PyObject* const* a) noexcept {
    if (vk::setattr(a[0], N.keylist, Py_None) < 0) return nullptr;
    Py_RETURN_NONE;
}

// setord(self, ord)
// CAUTION: may run arbitrary Python code
PyObject* keyshelf_setord(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *ord = a[1];
    const Py_ssize_t n = PyObject_Length(ord);
    if (n < 0) return nullptr;
    // Built aside and stored whole, so a failure keeps the old map.
    Ref map = Ref::steal(PyDict_New());
    if (!map) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref index = Ref::steal(PyLong_FromSsize_t(i));
        if (!index) return nullptr;
        Ref item = Ref::steal(PyObject_GetItem(ord, index.get()));
        if (!item) return nullptr;
        if (PyDict_SetItem(map.get(), item.get(), index.get()) < 0) return nullptr;
    }
    if (vk::setattr(self, N.pos, map.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// __setitem__(self, *args, **kwargs)
// CAUTION: may run arbitrary Python code
PyObject* keyshelf_setitem(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *args = a[1], *kwargs = a[2];
    Ref r = super_keyshelf_call(self, N.setitem, args, kwargs);
    if (!r) return nullptr;
    // self.__pos[args[0]] = len(self.__pos)
    Ref pos = vk::getattr(self, N.pos);
    if (!pos) return nullptr;
    const Py_ssize_t n = PyObject_Length(pos.get());
    if (n < 0) return nullptr;
    Ref position = Ref::steal(PyLong_FromSsize_t(n));
    if (!position) return nullptr;
    pos = vk::getattr(self, N.pos);
    if (!pos) return nullptr;
    if (PyTuple_GET_SIZE(args) < 1) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return nullptr;
    }
    if (PyObject_SetItem(pos.get(), PyTuple_GET_ITEM(args, 0), position.get()) < 0) return nullptr;
    if (call_clean(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The mutators that call the dict operation and then `clean()`:
// __delitem__, clear, pop, popitem, update. Their result is the dict's
// (None for the first two, whatever the dict returned for the others).
// CAUTION: may run arbitrary Python code
PyObject* mutate_then_clean(PyObject* self, PyObject* name, PyObject* args, PyObject* kwargs,
                            bool keep_result) noexcept {
    Ref r = super_keyshelf_call(self, name, args, kwargs);
    if (!r) return nullptr;
    if (call_clean(self) < 0) return nullptr;
    if (!keep_result) Py_RETURN_NONE;
    return r.release();
}

PyObject* keyshelf_delitem(vk::Function*, PyObject* const* a) noexcept {
    return mutate_then_clean(a[0], N.delitem, a[1], a[2], false);
}
PyObject* keyshelf_clear(vk::Function*, PyObject* const* a) noexcept {
    return mutate_then_clean(a[0], N.clear, a[1], a[2], false);
}
PyObject* keyshelf_pop(vk::Function*, PyObject* const* a) noexcept {
    return mutate_then_clean(a[0], N.pop, a[1], nullptr, true);
}
PyObject* keyshelf_popitem(vk::Function*, PyObject* const* a) noexcept {
    return mutate_then_clean(a[0], N.popitem, a[1], nullptr, true);
}
PyObject* keyshelf_update(vk::Function*, PyObject* const* a) noexcept {
    return mutate_then_clean(a[0], N.update, a[1], nullptr, true);
}

}  // namespace
