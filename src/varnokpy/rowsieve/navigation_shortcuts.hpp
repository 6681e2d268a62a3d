// Shortcuts of navigation and the table: a neighbour read from a filled
// cache, and the printed table of plain values written in one piece.
#pragma once

#include <algorithm>
#include <cstring>
#include <utility>

#include "frame.hpp"
#include "cpython311.hpp"

#include "guards.hpp"

namespace {

namespace native {

vk::ShortcutCounter count_navigate("navigate"), count_repr("repr");

// next, prev, nextc, prevc once their cache is filled.
// CAUTION: may run arbitrary Python code
Shortcut navigate(PyObject* self, PyObject* v, Nav which) noexcept {
    PyObject* d = fast_dict(self);
    if (!d) return Shortcut::not_taken();
    PyObject* cache = state_of(d, nav_slot(which));
    if (!cache || !PyDict_CheckExact(cache) || !PyDict_GET_SIZE(cache)) return Shortcut::not_taken();
    return Shortcut::done(Ref::steal(neighbour_of(cache, v)));
}

// Owns the field texts of the table, row by row.
struct Texts {
    PyObject** items = nullptr;
    Py_ssize_t count = 0;
    ~Texts() {
        for (Py_ssize_t i = 0; i < count; ++i) Py_XDECREF(items[i]);
        PyMem_Free(items);
    }
};

// Writes pieces into a new string of known length and kind.
struct TextWriter {
    PyObject* out;
    int kind;
    void* data;
    Py_ssize_t pos = 0;

    bool text(PyObject* s) noexcept {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
        if (PyUnicode_KIND(s) == kind)
            std::memcpy(static_cast<char*>(data) + pos * kind, PyUnicode_DATA(s), len * kind);
        else if (PyUnicode_CopyCharacters(out, pos, s, 0, len) < 0)
            return false;
        pos += len;
        return true;
    }
    void spaces(Py_ssize_t n) noexcept {
        if (kind == PyUnicode_1BYTE_KIND) {
            std::memset(static_cast<char*>(data) + pos, ' ', n);
            pos += n;
            return;
        }
        for (Py_ssize_t i = 0; i < n; ++i) PyUnicode_WRITE(kind, data, pos++, ' ');
    }
};

// A table the shortcut can print: an exact instance in tuple mode with a
// recorded length (an exact int), whose members are all exact tuples of the
// first member's length holding plain values. Sets the number of members,
// the fields per member and the recorded length; false otherwise.
bool plain_table(PyObject* self, PyObject* dict, Py_ssize_t& n, Py_ssize_t& m, PyObject*& tuplelen) noexcept {
    PyObject* scalar = PyDict_GetItemWithError(dict, N.scalar);
    tuplelen = scalar ? PyDict_GetItemWithError(dict, N.tuplelen) : nullptr;
    if (!tuplelen) {
        PyErr_Clear();
        return false;
    }
    n = PyList_GET_SIZE(self);
    if (scalar != Py_False || !PyLong_CheckExact(tuplelen) || n == 0) return false;
    PyObject* const* members = py311::list_items(self);
    if (!PyTuple_CheckExact(members[0])) return false;
    m = PyTuple_GET_SIZE(members[0]);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* k = members[i];
        if (!PyTuple_CheckExact(k) || PyTuple_GET_SIZE(k) != m) return false;
        for (Py_ssize_t j = 0; j < m; ++j)
            if (!py311::is_plain_atom(PyTuple_GET_ITEM(k, j))) return false;
    }
    return true;
}

// The text of every field, column by column, with each column's width (the
// longest text plus one) and the widest character. Runs no Python code.
int field_texts(PyObject* const* members, Py_ssize_t n, Py_ssize_t m, Texts& texts,
                vk::SmallVec<Py_ssize_t, 16>& widths, Py_UCS4& maxchar) noexcept {
    if (m) {
        texts.items = static_cast<PyObject**>(PyMem_Calloc(n * m, sizeof(PyObject*)));
        if (!texts.items) {
            PyErr_NoMemory();
            return -1;
        }
        texts.count = n * m;
    }
    maxchar = 127;
    for (Py_ssize_t j = 0; j < m; ++j) {
        Py_ssize_t width = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* s = PyObject_Str(PyTuple_GET_ITEM(members[i], j));
            if (!s) return -1;
            texts.items[i * m + j] = s;
            if (PyUnicode_READY(s) < 0) return -1;
            width = std::max(width, PyUnicode_GET_LENGTH(s) + 1);
            maxchar = std::max<Py_UCS4>(maxchar, PyUnicode_MAX_CHAR_VALUE(s));
        }
        if (!widths.push(width)) return -1;
    }
    return 0;
}

// __repr__(self) of a plain table: each field's text is made once and the
// output is written in one piece.
Shortcut repr(PyObject* self) noexcept {
    PyObject* dict = fast_dict(self);
    if (!dict || !usable(Probe::list_storage)) return Shortcut::not_taken();
    Ref keep = Ref::borrow(dict);
    Py_ssize_t n, m;
    PyObject* tuplelen;
    if (!plain_table(self, dict, n, m, tuplelen)) return Shortcut::not_taken();
    // From here on no Python code runs, so the members stay as they are.
    Texts texts;
    vk::SmallVec<Py_ssize_t, 16> widths;
    Py_UCS4 maxchar;
    if (field_texts(py311::list_items(self), n, m, texts, widths, maxchar) < 0) return Shortcut::failed();
    Ref count = Ref::steal(PyLong_FromSsize_t(n));
    Ref header_args = count ? tuple_of({count.get(), tuplelen}) : Ref();
    Ref header = header_args ? Ref::steal(PyUnicode_Format(kHeaderFormat, header_args.get())) : Ref();
    if (!header) return Shortcut::failed();
    Py_ssize_t row_width = 5 + (m > 1 ? 2 * (m - 1) : 0);  // " ( ", ")\n", ", " between fields
    for (size_t j = 0; j < widths.size(); ++j) row_width += widths[j];
    Ref out = Ref::steal(PyUnicode_New(PyUnicode_GET_LENGTH(header.get()) + n * row_width + 1, maxchar));
    if (!out) return Shortcut::failed();
    TextWriter w{out.get(), PyUnicode_KIND(out.get()), PyUnicode_DATA(out.get())};
    bool ok = w.text(header.get());
    for (Py_ssize_t i = 0; i < n && ok; ++i) {
        ok = w.text(kRowOpen);
        for (Py_ssize_t j = 0; j < m && ok; ++j) {
            if (j) ok = w.text(kFieldSeparator);
            PyObject* s = texts.items[i * m + j];
            ok = ok && w.text(s);
            w.spaces(widths[j] - PyUnicode_GET_LENGTH(s));
        }
        ok = ok && w.text(kRowClose);
    }
    if (!ok || !w.text(kTableEnd)) return Shortcut::failed();
    return Shortcut::done(std::move(out));
}

}  // namespace native

}  // namespace
