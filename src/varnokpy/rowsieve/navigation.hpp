// Navigation and the printed table: the neighbour maps of `next`, `prev`,
// `nextc` and `prevc`, and `__repr__`, each after its shortcut
// (navigation_shortcuts.hpp).
#pragma once

#include <algorithm>

#include "frame.hpp"

#include "navigation_shortcuts.hpp"

namespace {

// The neighbour map of one kind over a snapshot of the members.
// CAUTION: may run arbitrary Python code
Ref neighbours(PyObject* snapshot, Nav which) noexcept {
    // The snapshot is a list that only this call holds: hashing may run
    // Python code, but nothing else can reach or change these items.
    const Py_ssize_t n = PyList_GET_SIZE(snapshot);
    Ref map = Ref::steal(PyDict_New());
    if (!map) return Ref();
    const bool cyclic = which == Nav::nextc || which == Nav::prevc;
    const bool forward = which == Nav::next || which == Nav::nextc;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t j = forward ? i + 1 : i - 1;
        if (j < 0 || j >= n) {
            if (!cyclic) continue;
            j = (j + n) % n;
        }
        if (PyDict_SetItem(map.get(), PyList_GET_ITEM(snapshot, i), PyList_GET_ITEM(snapshot, j)) < 0) return Ref();
    }
    // Fewer keys than the pairs added: repeated members.
    const Py_ssize_t expected = cyclic ? n : n - 1;
    if (PyDict_GET_SIZE(map.get()) < expected) {
        PyErr_SetString(builtin(B_KeyError), kDuplicateMessage);
        return Ref();
    }
    return map;
}

// The neighbour map of one kind, built now and stored unless a re-entrant
// clean() replaced the cache meanwhile.
// CAUTION: may run arbitrary Python code
Ref fill_neighbours(PyObject* self, Nav which) noexcept {
    if (!PyList_Check(self)) {
        PyErr_Format(builtin(B_TypeError), "descriptor '__getitem__' for 'list' objects doesn't apply to a '%.100s' object",
                     Py_TYPE(self)->tp_name);
        return Ref();
    }
    PyObject* name = nav_name(which);
    Ref generation = dict_value(self, name);
    Ref snapshot = Ref::steal(PyList_GetSlice(self, 0, PY_SSIZE_T_MAX));
    if (!snapshot) return Ref();
    Ref built = neighbours(snapshot.get(), which);
    if (!built) return Ref();
    // Cleaned while the map was built: answer, but store nothing.
    if (dict_value(self, name).get() != generation.get()) return built;
    if (vk::setattr(self, name, built.get()) < 0) return Ref();
    return vk::getattr(self, name);
}

// CAUTION: may run arbitrary Python code
PyObject* navigate(PyObject* self, PyObject* v, Nav which) noexcept {
    if (Shortcut s = native::count_navigate(native::navigate(self, v, which)); s.taken()) return s.release();
    Ref cache = vk::getattr(self, nav_name(which));
    if (!cache) return nullptr;
    int filled = PyObject_IsTrue(cache.get());
    if (filled < 0) return nullptr;
    if (!filled && !(cache = fill_neighbours(self, which))) return nullptr;
    return neighbour_of(cache.get(), v);
}

PyObject* rowsieve_next(vk::Function*, PyObject* const* a) noexcept { return navigate(a[0], a[1], Nav::next); }
PyObject* rowsieve_prev(vk::Function*, PyObject* const* a) noexcept { return navigate(a[0], a[1], Nav::prev); }
PyObject* rowsieve_nextc(vk::Function*, PyObject* const* a) noexcept { return navigate(a[0], a[1], Nav::nextc); }
PyObject* rowsieve_prevc(vk::Function*, PyObject* const* a) noexcept { return navigate(a[0], a[1], Nav::prevc); }

// ============================================================================
// The printed table
// ============================================================================

// `str(list(self))`
// CAUTION: may run arbitrary Python code
PyObject* repr_as_list(PyObject* self) noexcept {
    Ref items = Ref::steal(PySequence_List(self));
    if (!items) return nullptr;
    return PyObject_Str(items.get());
}

// The table's first line: the number of members and the recorded length.
// CAUTION: may run arbitrary Python code
Ref table_header(PyObject* self) noexcept {
    Py_ssize_t count = PyObject_Length(self);
    if (count < 0) return Ref();
    Ref count_obj = Ref::steal(PyLong_FromSsize_t(count));
    if (!count_obj) return Ref();
    Ref tuplelen = vk::getattr(self, N.tuplelen);
    if (!tuplelen) return Ref();
    Ref header_args = tuple_of({count_obj.get(), tuplelen.get()});
    if (!header_args) return Ref();
    return Ref::steal(PyUnicode_Format(kHeaderFormat, header_args.get()));
}

// The format of each column, "%-<width>s", the width being the longest text
// of the column plus one (columns from zip(*self)).
// CAUTION: may run arbitrary Python code
Ref column_formats(PyObject* self) noexcept {
    Ref members = Ref::steal(PySequence_Tuple(self));
    if (!members) return Ref();
    Ref columns = Ref::steal(PyObject_Call(builtin(B_zip), members.get(), nullptr));
    if (!columns) return Ref();
    Ref fieldfmt = Ref::steal(PyList_New(0));
    if (!fieldfmt) return Ref();
    while (Ref column = Ref::steal(PyIter_Next(columns.get()))) {
        Py_ssize_t width = -1;
        Ref values = Ref::steal(PyObject_GetIter(column.get()));
        if (!values) return Ref();
        while (Ref x = Ref::steal(PyIter_Next(values.get()))) {
            Ref s = Ref::steal(PyObject_Str(x.get()));
            if (!s) return Ref();
            Py_ssize_t len = PyObject_Length(s.get());
            if (len < 0) return Ref();
            width = std::max(width, len + 1);
        }
        if (PyErr_Occurred()) return Ref();
        Ref fmt = Ref::steal(PyUnicode_FromFormat("%%-%zds", width));
        if (!fmt || PyList_Append(fieldfmt.get(), fmt.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return fieldfmt;
}

// The text of one row's fields, `", ".join(fieldfmt[i] % str(x) for i, x in
// enumerate(k))`; a failure inside the generator expression adds its entry.
// CAUTION: may run arbitrary Python code
Ref row_fields(PyObject* k, PyObject* fieldfmt) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(k));  // enumerate(k), made by __repr__ itself
    if (!it) return Ref();
    Ref texts = Ref::steal(PyList_New(0));
    if (!texts) return Ref();
    auto fail = []() noexcept {
        vk::add_body_entry(F.field_texts);
        return Ref();
    };
    for (Py_ssize_t i = 0;; ++i) {
        Ref x = Ref::steal(PyIter_Next(it.get()));
        if (!x) {
            if (PyErr_Occurred()) return fail();
            break;
        }
        if (i >= PyList_GET_SIZE(fieldfmt)) {
            PyErr_SetString(builtin(B_IndexError), "list index out of range");
            return fail();
        }
        Ref fmt = Ref::borrow(PyList_GET_ITEM(fieldfmt, i));
        Ref s = Ref::steal(PyObject_Str(x.get()));
        if (!s) return fail();
        Ref text = Ref::steal(PyUnicode_Format(fmt.get(), s.get()));
        if (!text || PyList_Append(texts.get(), text.get()) < 0) return fail();
    }
    return Ref::steal(PyUnicode_Join(kFieldSeparator, texts.get()));
}

// Is the table printed as a plain list (an empty list, or one not in tuple
// mode)? 1 yes, 0 no, -1 error.
// CAUTION: may run arbitrary Python code
int printed_as_list(PyObject* self) noexcept {
    int nonempty = PyObject_IsTrue(self);
    if (nonempty <= 0) return nonempty < 0 ? -1 : 1;
    Ref scalar = vk::getattr(self, N.scalar);
    if (!scalar) return -1;
    Ref ne = Ref::steal(PyObject_RichCompare(scalar.get(), Py_False, Py_NE));
    return ne ? PyObject_IsTrue(ne.get()) : -1;
}

// __repr__(self)
PyObject* rowsieve_repr(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    if (Shortcut s = native::count_repr(native::repr(self)); s.taken()) return s.release();
    const int as_list = printed_as_list(self);
    if (as_list != 0) return as_list < 0 ? nullptr : repr_as_list(self);
    Ref pieces = Ref::steal(PyList_New(0));
    Ref header = pieces ? table_header(self) : Ref();
    if (!header || PyList_Append(pieces.get(), header.get()) < 0) return nullptr;
    Ref fieldfmt = column_formats(self);
    if (!fieldfmt) return nullptr;
    Ref rows = Ref::steal(PyObject_GetIter(self));
    if (!rows) return nullptr;
    while (Ref k = Ref::steal(PyIter_Next(rows.get()))) {
        Ref fields = row_fields(k.get(), fieldfmt.get());
        if (!fields || PyList_Append(pieces.get(), kRowOpen) < 0 || PyList_Append(pieces.get(), fields.get()) < 0 ||
            PyList_Append(pieces.get(), kRowClose) < 0)
            return nullptr;
    }
    if (PyErr_Occurred() || PyList_Append(pieces.get(), kTableEnd) < 0) return nullptr;
    return PyUnicode_Join(kNothing, pieces.get());
}

}  // namespace
