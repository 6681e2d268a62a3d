// Shortcuts of selection: phase 1 passing over an argument that cannot
// expand without its throw-away result, and the warm query (phases 2 to 4 on
// a field index that exists) in C.
#pragma once

#include <utility>

#include "frame.hpp"
#include "cpython311.hpp"

#include "members_shortcuts.hpp"

namespace {

namespace native {

vk::ShortcutCounter count_unexpanded("unexpanded"), count_select("select");

// Would `iter(v)` fail? Exactly the test that PyObject_GetIter makes, which
// runs no Python code.
inline bool not_iterable(PyObject* v) noexcept { return !Py_TYPE(v)->tp_iter && !PySequence_Check(v); }

// Phase 1 may pass over `v` without the throw-away `rowsieve([])` of its
// failed expansion: `v` is not iterable, and making that result (and
// dropping it) cannot be observed.
inline bool expansion_fails_unseen(PyObject* v) noexcept {
    if (!not_iterable(v) || !construction_known()) return false;
    vk::StandIn calls;  // for `rowsieve([])`
    return bool(calls);
}

// `v != wild` for plain values whose comparison runs no Python code: 1 or 0,
// or -1 when the general comparison must decide.
int plain_differs(PyObject* v, PyObject* wild) noexcept {
    PyTypeObject *tv = Py_TYPE(v), *tw = Py_TYPE(wild);
    auto kind = [](PyTypeObject* t) {
        if (t == &PyUnicode_Type) return 1;
        if (t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type) return 2;
        if (t == Py_TYPE(Py_None)) return 3;
        return 0;
    };
    const int kv = kind(tv), kw = kind(tw);
    if (!kv || !kw) return -1;
    if (kv != kw) return 1;  // none of these compares equal to another kind
    if (kv == 3) return 0;
    if (kv == 1) {
        if (v == wild) return 0;
        if (PyUnicode_GET_LENGTH(v) != PyUnicode_GET_LENGTH(wild)) return 1;
        Ref r = Ref::steal(PyUnicode_RichCompare(v, wild, Py_NE));
        if (!r) {
            PyErr_Clear();
            return -1;
        }
        return r.get() == Py_True;
    }
    return -1;
}

// The query key of a warm selection of several fields: the tuple of the
// arguments at the pattern's positions. A new tuple per query costs about
// as much as the lookup itself, so one tuple that only this module holds
// (untracked by the collector, so that nothing can find it) is filled with
// borrowed references for the lookup and emptied after it. A query that
// starts while it is in use (a stored key's `__eq__` that selected again)
// makes a tuple of its own; should anything have kept a reference to it, it
// is given references of its own to its items and left to its new holder.
class QueryKey {
public:
    QueryKey(PyObject* const* vals, const Py_ssize_t* positions, Py_ssize_t n) noexcept : n_(n) {
        PyObject*& spare = spares_[n];
        if (!in_use_ && spare && Py_REFCNT(spare) == 1) {
            in_use_ = true;
            key_ = spare;
            for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(key_, i, vals[positions[i]]);
            return;
        }
        Ref key = Ref::steal(PyTuple_New(n));
        if (!key) return;
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(key.get(), i, Py_NewRef(vals[positions[i]]));
        if (!spare && !in_use_) {
            // Kept as the spare of this length from now on.
            for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(PyTuple_GET_ITEM(key.get(), i));
            PyObject_GC_UnTrack(key.get());
            spare = key_ = key.release();
            in_use_ = true;
            return;
        }
        owned_ = std::move(key);
        key_ = owned_.get();
    }
    QueryKey(const QueryKey&) = delete;
    QueryKey& operator=(const QueryKey&) = delete;
    ~QueryKey() {
        if (owned_ || !key_) return;
        if (Py_REFCNT(key_) == 1) {
            for (Py_ssize_t i = 0; i < n_; ++i) PyTuple_SET_ITEM(key_, i, nullptr);
        } else {
            for (Py_ssize_t i = 0; i < n_; ++i) Py_INCREF(PyTuple_GET_ITEM(key_, i));
            Py_DECREF(key_);
            spares_[n_] = nullptr;
        }
        in_use_ = false;
    }
    PyObject* get() const noexcept { return key_; }  // nullptr: MemoryError set

private:
    static inline PyObject* spares_[kMaxPatternPositions + 1] = {};
    static inline bool in_use_ = false;
    PyObject* key_ = nullptr;
    Ref owned_;
    Py_ssize_t n_;
};

// The positions of the arguments that differ from the wildcard, when every
// comparison is one of plain values; false otherwise (nothing happened).
bool plain_pattern(PyObject* const* vals, Py_ssize_t n, PyObject* wild, Py_ssize_t* positions,
                   Py_ssize_t& npos) noexcept {
    npos = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        int differs = plain_differs(vals[k], wild);
        if (differs < 0) return false;
        if (differs) {
            if (npos == kMaxPatternPositions) return false;
            positions[npos++] = k;
        }
    }
    return npos > 0;
}

// Phases 2 to 4 in C, once phase 1 expanded nothing: an exact instance of
// the unmodified class whose arguments compare with the wildcard without
// running Python code, whose pattern already has its field index, and, in
// tuple mode, whose key function would be the load-time itemgetter. Not
// taken before anything happened; only the final lookup can run Python code
// (the hash and equality of the key). Skips no call: a query that finds
// nothing makes its empty result through empty_result().
// CAUTION: may run arbitrary Python code
Shortcut select_warm(PyObject* self, PyObject* const* vals, Py_ssize_t n) noexcept {
    PyObject* dict = fast_dict(self);
    if (!dict || n == 0) return Shortcut::not_taken();
    PyObject* wild = state_of(dict, T_wild);
    PyObject* scalar = state_of(dict, T_scalar);
    PyObject* cache = state_of(dict, T_index);
    Py_ssize_t positions[kMaxPatternPositions], npos;
    if (!wild || (scalar != Py_True && scalar != Py_False) || !cache || !PyDict_CheckExact(cache) ||
        !vk::keys_all_plain(cache) || !plain_pattern(vals, n, wild, positions, npos))
        return Shortcut::not_taken();
    if (scalar == Py_True) {
        if (n > 1) return Shortcut::not_taken();
    } else {
        PyObject* first = PyList_GET_SIZE(self) ? PyList_GET_ITEM(self, 0) : nullptr;
        if ((first && (!PyTuple_CheckExact(first) || PyTuple_GET_SIZE(first) < n)) || !itemgetter_known())
            return Shortcut::not_taken();
    }
    Pattern pattern = pattern_of(positions, npos);
    if (!pattern.tuple) return Shortcut::failed();
    // The cache's keys are all plain: looking a pattern up runs no Python code.
    PyObject* found = pattern.hash != -1 && usable(Probe::known_hash)
                          ? py311::dict_get_known_hash(cache, pattern.tuple.get(), pattern.hash)
                          : PyDict_GetItemWithError(cache, pattern.tuple.get());
    if (!found || !PyDict_CheckExact(found)) {
        PyErr_Clear();
        return Shortcut::not_taken();
    }
    Ref field_index = Ref::borrow(found);
    // Phase 4; the mode is as phase 2 read it, since no Python code ran since.
    Ref bucket;
    int r;
    if (scalar == Py_True || npos == 1) {
        r = lookup(field_index.get(), vals[scalar == Py_True ? 0 : positions[0]], &bucket, true);
    } else {
        QueryKey query(vals, positions, npos);
        if (!query.get()) return Shortcut::failed();
        r = lookup(field_index.get(), query.get(), &bucket, true);
    }
    if (r < 0) return Shortcut::failed();
    return Shortcut::done(r ? std::move(bucket) : empty_result());
}

}  // namespace native

}  // namespace
