// select() and subset(): the values of a selection, and a selection as a
// new keyshelf; select's shortcut stands right before it.
#pragma once

#include "frame.hpp"

#include "walk.hpp"

namespace {

namespace native {

// Values gathered for a new list, owned here until the list is made in one
// step.
class ValueBuffer {
public:
    ValueBuffer() noexcept = default;
    ValueBuffer(const ValueBuffer&) = delete;
    ValueBuffer& operator=(const ValueBuffer&) = delete;
    ~ValueBuffer() {
        for (size_t i = 0; i < items_.size(); ++i) Py_DECREF(items_[i]);
    }
    void reserve(Py_ssize_t n) noexcept {
        // Growing one step at a time still works, or fails in push().
        if (!items_.reserve(static_cast<size_t>(n))) PyErr_Clear();
    }
    int push(PyObject* o) noexcept {
        if (!items_.push(o)) return -1;
        Py_INCREF(o);
        return 0;
    }
    Ref to_list() noexcept {
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items_.size())));
        if (!list) return Ref();
        for (size_t i = 0; i < items_.size(); ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items_[i]);
        items_.clear();
        return list;
    }

private:
    vk::SmallVec<PyObject*, 32> items_;
};

// select(self, *vals): the values of the selection, gathered in one walk.
// CAUTION: may run arbitrary Python code
Shortcut select(PyObject* self, Vals vals) noexcept {
    if (!vk::shortcuts_on() || !iteritems_is_own(self)) return Shortcut::not_taken();
    vk::StandIn calls;  // for `_iteritems_internal` and its resumptions
    if (!calls) return Shortcut::not_taken();
    ValueBuffer values;
    auto gather = [&](PyObject*, KeyHash&, PyObject* value) noexcept { return values.push(value) < 0 ? -1 : 1; };
    // The rest of the loop over `self._iteritems_internal(*vals)`, made.
    auto handover = [&](PyObject* rest, bool) noexcept -> int {
        Ref pairs = pairs_from(self, rest);
        if (!pairs) return -1;
        for (;;) {
            Ref pair = Ref::steal(PyIter_Next(pairs.get()));
            if (!pair) return PyErr_Occurred() ? -1 : 0;
            Ref key, value;
            if (unpack_pair(pair.get(), key, value) < 0 || values.push(value.get()) < 0) return -1;
        }
    };
    const int r = walk_selection(self, vals, gather, handover, [&](Py_ssize_t n) noexcept { values.reserve(n); });
    return r < 0 ? Shortcut::failed() : Shortcut::done(values.to_list());
}

}  // namespace native

// select(self, *vals): [v for k, v in self._iteritems_internal(*vals)]
// CAUTION: may run arbitrary Python code
PyObject* select_values(PyObject* self, Vals vals) noexcept {
    if (vk::Shortcut s = count_select(native::select(self, vals)); s.taken()) return s.release();
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return nullptr;
    Ref pairs = call_method_star(N.iteritems_internal, self, vals);
    if (!pairs) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(pairs.get()));
    if (!it) return nullptr;
    for (;;) {
        Ref pair = Ref::steal(PyIter_Next(it.get()));
        if (!pair) return PyErr_Occurred() ? nullptr : result.release();
        Ref key, value;
        if (unpack_pair(pair.get(), key, value) < 0) return nullptr;
        if (PyList_Append(result.get(), value.get()) < 0) return nullptr;
    }
}

PyObject* keyshelf_select(vk::Function*, PyObject* const* a) noexcept { return select_values(a[0], Vals::of(a[1])); }
PyObject* keyshelf_select_positional(vk::Function*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return select_values(args[0], {args + 1, nargs - 1});
}

// subset(self, *vals)
// CAUTION: may run arbitrary Python code
PyObject* keyshelf_subset(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    const Vals vals = Vals::of(a[1]);
    Ref cls = g_keyshelf.get(frame);
    if (!cls) return nullptr;
    Ref pairs = call_method_star(N.iteritems_internal, self, vals);
    if (!pairs) return nullptr;
    Ref d = vk::call(cls.get(), {pairs.get()});
    if (!d) return nullptr;
    pairs.reset();
    Ref order = selection_of(self, vals);
    if (!order) return nullptr;
    if (!vk::call_method(N.setord, {d.get(), order.get()})) return nullptr;
    Ref wild = vk::getattr(self, N.wild);
    if (!wild || vk::setattr(d.get(), N.wild, wild.get()) < 0) return nullptr;
    return d.release();
}

}  // namespace
