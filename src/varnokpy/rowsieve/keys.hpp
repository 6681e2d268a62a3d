// Key functions of position patterns: what phase 2 of select makes and what
// `__makeindex` applies to every member.
#pragma once

#include "frame.hpp"

#include "guards.hpp"

namespace {

// The key function of a pattern: the identity in scalar mode, otherwise
// `operator.itemgetter(*pattern)`. The itemgetter shortcut (index_shortcuts.hpp)
// may leave the getter unmade and record its type and the positions instead:
// the key is then computed in C with the getter's own semantics (an exact
// tuple in range gives its field, anything else goes through
// `x[position]`), and the getter object is made only when something outside
// this module is handed the key function.
struct KeyFn {
    PyObject* pattern = nullptr;      // tuple of positions, held by the caller
    bool identity = false;            // scalar mode
    Ref callable;                     // the key function as an object, once made
    PyObject* getter_type = nullptr;  // the itemgetter type, when the key is computed in C
    vk::SmallVec<Py_ssize_t, 8> positions;

    // The key of `x`.
    // CAUTION: may run arbitrary Python code
    Ref apply(PyObject* x) noexcept {
        if (identity) return Ref::borrow(x);
        if (!getter_type) return vk::call(callable.get(), {x});
        const size_t n = positions.size();
        if (n == 1) return field(x, 0);
        Ref key = Ref::steal(PyTuple_New((Py_ssize_t)n));
        if (!key) return Ref();
        for (size_t i = 0; i < n; ++i) {
            Ref f = field(x, i);
            if (!f) return Ref();
            PyTuple_SET_ITEM(key.get(), i, f.release());
        }
        return key;
    }

    // The key function as a Python callable.
    Ref materialise() noexcept {
        if (callable) return callable.dup();
        if (identity) return Ref::borrow(g_identity);
        return Ref::steal(PyObject_Call(getter_type, pattern, nullptr));
    }

private:
    // CAUTION: may run arbitrary Python code
    Ref field(PyObject* x, size_t i) noexcept {
        Py_ssize_t p = positions[i];
        if (PyTuple_CheckExact(x) && p < PyTuple_GET_SIZE(x)) return Ref::borrow(PyTuple_GET_ITEM(x, p));
        return Ref::steal(PyObject_GetItem(x, PyTuple_GET_ITEM(pattern, i)));
    }
};

// Iterates the members as `for x in self` does: over the base list's storage
// for an exact instance of the unmodified class (whose iterator is the base
// list's, re-reading the size at every step), else through the iterator.
class Members {
public:
    // CAUTION: may run arbitrary Python code
    explicit Members(PyObject* self) noexcept : self_(self), direct_(native::exact_pristine(self)) {
        if (!direct_) it_ = Ref::steal(PyObject_GetIter(self));
    }
    bool ok() const noexcept { return direct_ || it_; }
    // The next member, or nullptr (with an exception set on failure).
    // CAUTION: may run arbitrary Python code
    Ref next() noexcept {
        if (direct_) {
            if (i_ >= PyList_GET_SIZE(self_)) return Ref();
            return Ref::borrow(PyList_GET_ITEM(self_, i_++));
        }
        return Ref::steal(PyIter_Next(it_.get()));
    }
    // Starts at member `i` (storage only; the caller checked `direct()`).
    void skip_to(Py_ssize_t i) noexcept { i_ = i; }
    bool direct() const noexcept { return direct_; }

private:
    PyObject* self_;
    bool direct_;
    Py_ssize_t i_ = 0;
    Ref it_;
};

}  // namespace
