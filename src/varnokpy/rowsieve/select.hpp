// Selection: `select(*vals)` in its four phases (expansion of iterable
// arguments, pattern and key function, the field index, the query), each
// after its shortcut (select_shortcuts.hpp).
#pragma once

#include "frame.hpp"

#include "index.hpp"
#include "select_shortcuts.hpp"

namespace {

// The arguments of a select call: an array (the caller's tuple, or a nested
// alternative's arguments on the stack), and the tuple that the steps hand
// on, made when first needed.
struct SelectArgs {
    PyObject* const* items;
    Py_ssize_t n;
    Ref tuple = Ref();

    PyObject* operator[](Py_ssize_t k) const noexcept { return items[k]; }
    // The arguments as a tuple (nullptr with MemoryError set).
    PyObject* as_tuple() noexcept {
        if (!tuple) {
            tuple = Ref::steal(PyTuple_New(n));
            if (!tuple) return nullptr;
            for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(items[i]));
        }
        return tuple.get();
    }
};

// The four phases on `self` (nested selections recurse into them).
// CAUTION: may run arbitrary Python code
PyObject* select_steps(PyObject* self, SelectArgs& vals) noexcept;

// ============================================================================
// Phase 1: expansion of iterable arguments
// ============================================================================

// `_isstr(v)`: 1, 0 or -1 with an exception set.
// CAUTION: may run arbitrary Python code
int is_str(PyObject* v) noexcept {
    Ref f = g_isstr.get(frame);
    if (!f) return -1;
    Ref r = vk::call(f.get(), {v});
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// `self.select(*self.__repl(vals, k, vv))`, one alternative of phase 1.
// CAUTION: may run arbitrary Python code
Ref select_alternative(PyObject* self, PyObject* vals, Py_ssize_t k, PyObject* vv) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(vals);
    if (n <= kStackArgs) {
        // Both methods this class's own: the arguments on the stack.
        PyObject* args[kStackArgs];
        for (Py_ssize_t i = 0; i < n; ++i) args[i] = i == k ? vv : PyTuple_GET_ITEM(vals, i);
        if (Shortcut s = native::call_own(self, method_bit(C_repl) | method_bit(C_select), F.select, [&]() noexcept {
                SelectArgs nested{args, n};
                return select_steps(self, nested);
            });
            s.taken())
            return s.take();
    }
    Ref position = Ref::steal(PyLong_FromSsize_t(k));
    Ref items = position ? vk::call_method(N.repl, {self, vals, position.get(), vv}) : Ref();
    Ref args = items ? Ref::steal(PySequence_Tuple(items.get())) : Ref();
    if (!args) return Ref();
    Ref method = vk::getattr(self, N.select);
    if (!method) return Ref();
    return Ref::steal(PyObject_Call(method.get(), args.get(), nullptr));
}

// `result.extend(sub)`
// CAUTION: may run arbitrary Python code
int extend_result(PyObject* result, PyObject* sub) noexcept {
    if (Shortcut s = native::count_extend_fresh(native::extend_fresh(result, sub)); s.taken()) return s.rc();
    return call_extend(result, sub);
}

// Phase 1 at position k: the concatenation of the selections for each
// alternative of vals[k], gathered by `result = rowsieve([])` and
// `result.extend(sub)`. Returns the result; or nullptr with an exception
// set; or nullptr without one when the argument is to be taken as a plain
// value (it is not iterable, or a nested selection failed with IndexError
// or TypeError).
// CAUTION: may run arbitrary Python code
Ref expand_position(PyObject* self, PyObject* vals, Py_ssize_t k) noexcept {
    PyObject* v = PyTuple_GET_ITEM(vals, k);
    Ref result = new_empty();
    if (!result) return Ref();
    // The alternatives of an exact list or tuple are read by position, as
    // their own iterators do (re-reading a list's size at every step).
    const bool by_position = PyList_CheckExact(v) || PyTuple_CheckExact(v);
    Ref it;
    if (!by_position && !(it = Ref::steal(PyObject_GetIter(v)))) {
        if (error_is(B_TypeError)) PyErr_Clear();
        return Ref();
    }
    for (Py_ssize_t position = 0;; ++position) {
        Ref vv;
        if (by_position) {
            if (position >= Py_SIZE(v)) break;
            vv = Ref::borrow(PyList_CheckExact(v) ? PyList_GET_ITEM(v, position) : PyTuple_GET_ITEM(v, position));
        } else if (!(vv = Ref::steal(PyIter_Next(it.get())))) {
            // An exception raised by the caller's iterable itself propagates.
            if (PyErr_Occurred()) return Ref();
            break;
        }
        Ref sub = select_alternative(self, vals, k, vv.get());
        if (!sub) {
            if (error_is(B_IndexError) || error_is(B_TypeError)) PyErr_Clear();
            return Ref();
        }
        if (extend_result(result.get(), sub.get()) < 0) return Ref();
    }
    return result;
}

// Phase 1: the first position whose argument expands decides the result
// (`*done`); otherwise nothing was expanded.
// CAUTION: may run arbitrary Python code
Ref expand(PyObject* self, SelectArgs& vals, bool* done) noexcept {
    *done = false;
    for (Py_ssize_t k = 0; k < vals.n; ++k) {
        PyObject* v = vals[k];
        const int s = is_str(v);
        if (s < 0) {
            *done = true;
            return Ref();
        }
        if (s || native::count_unexpanded(native::expansion_fails_unseen(v))) continue;
        PyObject* tuple = vals.as_tuple();
        Ref result = tuple ? expand_position(self, tuple, k) : Ref();
        if (result || PyErr_Occurred()) {
            *done = true;
            return result;
        }
    }
    return Ref();
}

// ============================================================================
// Phase 2: the pattern and the key function
// ============================================================================

// What phase 2 leaves to phases 3 and 4.
struct Query {
    vk::SmallVec<Py_ssize_t, 16> positions;  // of the arguments that differ from the wildcard
    Ref pattern;
    KeyFn key;
    bool no_key = false;  // the key function raised the error that the guard catches
};

// The guard of phase 2 caught the pending error (a KeyError or TypeError):
// with an empty pattern phase 3 returns the list itself; with a pattern
// there is no key function to go on with, and the error propagates
// (nullptr).
PyObject* caught_in_phase2(PyObject* self, const Query& q) noexcept {
    if (!q.positions.empty() || !(error_is(B_TypeError) || error_is(B_KeyError))) return nullptr;
    PyErr_Clear();
    return Py_NewRef(self);
}

// Step 1: the position pattern, made from the arguments (the wildcard is
// read only when there are some). The comparisons' errors propagate.
// CAUTION: may run arbitrary Python code
int find_pattern(PyObject* self, PyObject* vals, Query& q) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(vals);
    if (n > 0) {
        Ref wild = vk::getattr(self, N.wild);
        if (!wild) return -1;
        for (Py_ssize_t k = 0; k < n; ++k) {
            Ref ne = Ref::steal(PyObject_RichCompare(PyTuple_GET_ITEM(vals, k), wild.get(), Py_NE));
            int differs = ne ? PyObject_IsTrue(ne.get()) : -1;
            if (differs < 0) return -1;
            if (differs && !q.positions.push(k)) return -1;
        }
    }
    q.pattern = pattern_of(q.positions.data(), (Py_ssize_t)q.positions.size()).tuple;
    q.key.pattern = q.pattern.get();
    return q.pattern ? 0 : -1;
}

// The truth of the mode attribute (phases 2 and 4).
// CAUTION: may run arbitrary Python code
int scalar_mode(PyObject* self) noexcept {
    Ref scalar = vk::getattr(self, N.scalar);
    if (!scalar) return -1;
    return PyObject_IsTrue(scalar.get());
}

// Tuple mode's width check and key function: 1 done, 0 the guard caught the
// error, -1 the error propagates.
// CAUTION: may run arbitrary Python code
int tuple_key(PyObject* self, Py_ssize_t n, Query& q) noexcept {
    int nonempty = PyObject_IsTrue(self);
    if (nonempty < 0) return 0;
    if (nonempty) {
        Ref first = Ref::steal(PySequence_GetItem(self, 0));
        Py_ssize_t width = first ? PyObject_Length(first.get()) : -1;
        if (width < 0) return 0;
        if (width < n) {
            PyErr_Format(builtin(B_IndexError), "Too many indices for rowsieve with %zd-tuple keys", width);
            return -1;
        }
    }
    const Py_ssize_t npos = (Py_ssize_t)q.positions.size();
    if (Shortcut s = native::count_itemgetter(native::itemgetter(q.key, q.positions.data(), npos)); s.taken()) {
        // itemgetter() of no positions raises TypeError, which the guard catches.
        q.no_key = npos == 0;
        return s.ok() ? 1 : -1;
    }
    Ref op = g_operator.get(frame);
    Ref getter = op ? vk::getattr(op.get(), N.itemgetter) : Ref();
    if (!getter) return -1;
    q.key.callable = Ref::steal(PyObject_Call(getter.get(), q.pattern.get(), nullptr));
    return q.key.callable ? 1 : 0;
}

// Steps 2 and 3: the mode, the width check and the key function: 1 done,
// 0 the guard caught the error, -1 the error propagates.
// CAUTION: may run arbitrary Python code
int find_key(PyObject* self, Py_ssize_t n, Query& q) noexcept {
    const int scalar = scalar_mode(self);
    if (scalar < 0) return 0;
    if (!scalar) return tuple_key(self, n, q);
    if (n > 1) {
        PyErr_SetString(builtin(B_IndexError), "Too many indices for rowsieve with scalar keys");
        return -1;
    }
    q.key.identity = true;
    return 1;
}

// ============================================================================
// Phases 3 and 4: the field index and the query
// ============================================================================

// Step 4 and phase 3: the field index of the pattern from the index cache,
// or built now and stored there (unless a re-entrant clean() replaced the
// cache meanwhile). The answer of the whole selection instead (`*answered`)
// when the pattern is empty: `self` itself, or the error.
// CAUTION: may run arbitrary Python code
Ref field_index_of(PyObject* self, Query& q, bool* answered) noexcept {
    Ref field_index;
    *answered = false;
    if (!q.no_key) {
        Ref cache = vk::getattr(self, N.index);
        if (!cache) {
            *answered = true;
            return Ref::steal(caught_in_phase2(self, q));
        }
        int found = lookup(cache.get(), q.pattern.get(), &field_index, false);
        if (found < 0) {
            if (!error_is(B_TypeError)) return Ref();
            PyErr_Clear();
        }
        if (found > 0) return field_index;
    }
    if (q.positions.empty()) {
        *answered = true;
        return Ref::borrow(self);
    }
    Ref generation = dict_value(self, N.index);
    Ref built = call_makeindex(self, q.key);
    if (!built) return Ref();
    if (dict_value(self, N.index).get() == generation.get()) {
        Ref current = vk::getattr(self, N.index);
        if (!current || PyObject_SetItem(current.get(), q.pattern.get(), built.get()) < 0) return Ref();
    }
    return built;
}

// Phase 4: the bucket of the query key, or a new empty rowsieve.
// CAUTION: may run arbitrary Python code
PyObject* query(PyObject* self, PyObject* vals, Query& q, PyObject* field_index) noexcept {
    const int scalar = scalar_mode(self);
    if (scalar < 0) return nullptr;
    Ref key;
    if (scalar) {
        if (PyTuple_GET_SIZE(vals) == 0) return new_empty().release();
        key = Ref::borrow(PyTuple_GET_ITEM(vals, 0));
    } else if (!(key = q.key.identity ? Ref::borrow(vals) : q.key.apply(vals))) {
        if (!error_is(B_KeyError) && !error_is(B_IndexError)) return nullptr;
        PyErr_Clear();
        return new_empty().release();
    }
    Ref bucket;
    int found = lookup(field_index, key.get(), &bucket, true);
    if (found < 0) return nullptr;
    return found ? bucket.release() : new_empty().release();
}

// Phases 2 to 4, once phase 1 expanded nothing.
// CAUTION: may run arbitrary Python code
PyObject* select_pattern(PyObject* self, SelectArgs& args) noexcept {
    if (Shortcut s = native::count_select(native::select_warm(self, args.items, args.n)); s.taken()) return s.release();
    PyObject* vals = args.as_tuple();
    if (!vals) return nullptr;
    Query q;
    if (find_pattern(self, vals, q) < 0) return nullptr;
    const int keyed = find_key(self, PyTuple_GET_SIZE(vals), q);
    if (keyed < 0) return nullptr;
    if (keyed == 0) return caught_in_phase2(self, q);
    bool answered;
    Ref field_index = field_index_of(self, q, &answered);
    if (!field_index || answered) return field_index.release();
    return query(self, vals, q, field_index.get());
}

PyObject* select_steps(PyObject* self, SelectArgs& vals) noexcept {
    bool done;
    Ref expanded = expand(self, vals, &done);
    if (done) return expanded.release();
    return select_pattern(self, vals);
}

// select(self, *vals)
PyObject* rowsieve_select(vk::Function*, PyObject* const* a) noexcept {
    SelectArgs vals{&PyTuple_GET_ITEM(a[1], 0), PyTuple_GET_SIZE(a[1]), Ref::borrow(a[1])};
    return select_steps(a[0], vals);
}

// select(self, *vals), called with positional arguments only: `vals` is
// made into a tuple only if a step needs one.
PyObject* rowsieve_select_positional(vk::Function*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    SelectArgs vals{args + 1, nargs - 1};
    return select_steps(args[0], vals);
}

}  // namespace
