// Shortcuts of index building and membership: the key function computed in
// C, index builds whose buckets are made and filled in C, quiet builds over
// plain members, and the membership test once its map exists.
//
// Quiet builds. An index build over members whose key fields are plain
// values (py311::is_plain_key: exact int, str, float, bool, None, exact
// tuples of them) runs no Python code at all: hashing and comparing them is
// the interpreter's own C code, and the buckets are made in C. Over those
// members the cyclic collector is paused (its passes there would walk every
// new bucket again and again and free nothing) and each key is hashed once.
// The pause ends, restoring the collector's previous state, before the first
// member that could run Python code, and on every way out of the build.
#pragma once

#include <utility>

#include "frame.hpp"
#include "cpython311.hpp"

#include "members_shortcuts.hpp"
#include "keys.hpp"

namespace {

namespace native {

vk::ShortcutCounter count_itemgetter("itemgetter"), count_index_build("index_build"), count_bucket("bucket"),
    count_contains("contains");

// `operator.itemgetter(*pattern)` as a key function computed in C. For an
// empty pattern the call raises TypeError; done then, with no key function,
// since the caller's guard catches that error.
Shortcut itemgetter(KeyFn& key, const Py_ssize_t* positions, Py_ssize_t n) noexcept {
    if (!itemgetter_known()) return Shortcut::not_taken();
    if (n == 0) return Shortcut::done();
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!key.positions.push(positions[i])) return Shortcut::failed();
    key.getter_type = load.itemgetter;
    return Shortcut::done();
}

// `rowsieve([x])` for a new bucket, whose later members are added by
// `bucket.append(x)`. Every bucket made here in C is one that nobody else
// has seen, so its caches stay the fresh ones it was created with; while all
// of them have the mode of the first (`uniform`), a member of that mode
// passes the bucket's check without a look at it.
struct BucketMaker {
    int kind0 = -1;  // 1 scalar, 0 tuple, -1 none yet
    Py_ssize_t len0 = -1;
    bool uniform = true;

    // `rowsieve([x])`, standing in for the construction's calls.
    Shortcut create(PyObject* x) noexcept {
        vk::StandIn calls;  // for `__init__` and what it calls
        if (!count_bucket(construction_known() && calls)) {
            uniform = false;
            return Shortcut::not_taken();
        }
        const bool scalar = is_scalar_item(x);
        const Py_ssize_t len = scalar ? -1 : PyTuple_GET_SIZE(x);
        if (kind0 < 0) {
            kind0 = scalar;
            len0 = len;
        } else if (kind0 != (int)scalar || len0 != len) {
            uniform = false;
        }
        Ref len_obj = scalar ? Ref::borrow(Py_None) : Ref::steal(PyLong_FromSsize_t(len));
        if (!len_obj) return Shortcut::failed();
        return Shortcut::done(new_instance(x, scalar ? Py_True : Py_False, len_obj.get()));
    }

    // While every bucket was made in C with the mode of the first: would
    // `x` pass the check of any of them, and leave its (fresh) caches as
    // they are?
    bool takes_unchecked(PyObject* x) const noexcept {
        const bool scalar = is_scalar_item(x);
        return uniform && kind0 == (int)scalar && (scalar || PyTuple_GET_SIZE(x) == len0);
    }

    // `bucket.append(x)`, standing in for the call, with its check and its
    // clean(): Python code may have run since the bucket was made (a key's
    // `__hash__`, a finaliser run by the collector), and found the bucket
    // and filled its caches. Only a quiet stretch, where no code runs,
    // appends unchecked.
    // CAUTION: may run arbitrary Python code (clean() releases the old caches)
    Shortcut append(PyObject* bucket, PyObject* x) noexcept {
        PyObject* d = fast_dict(bucket);
        vk::StandIn calls;
        if (!d || !own_methods(d, method_bit(C_append)) || !calls) return Shortcut::not_taken();
        return calls.answer(F.append, native::append(bucket, x));
    }
};

// The cyclic collector, paused while a build runs no Python code at all, and
// its previous state restored before the build runs anything that could
// (and on every way out). Its passes in the middle of such a build could
// free nothing that the build made, yet, as the buckets pile up, walk them
// again and again; paused, it walks them once, at its first pass after the
// build. With the collector off no finaliser can run in the middle of the
// build either, which is what lets a quiet build hold its members borrowed.
class CollectorPause {
public:
    CollectorPause() noexcept : was_enabled_(PyGC_Disable()) {}
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    bool was_enabled_;
};

// Is `x` a member that a quiet build takes: its key is `x` itself or comes
// straight from its fields (an exact tuple long enough), all plain values?
inline bool plain_member(PyObject* x, const KeyFn& key) noexcept {
    if (key.identity) return py311::is_plain_key(x);
    if (!key.getter_type || !PyTuple_CheckExact(x)) return false;
    const Py_ssize_t size = PyTuple_GET_SIZE(x);
    for (size_t i = 0; i < key.positions.size(); ++i) {
        const Py_ssize_t p = key.positions[i];
        if (p >= size || !py311::is_plain_key(PyTuple_GET_ITEM(x, p))) return false;
    }
    return true;
}

// The key of a plain member, borrowed: `x` itself, its field, or `scratch`,
// a tuple that only this build holds, filled with the fields (and stored as
// the key of a new bucket, after which a new one is made).
PyObject* plain_key_of(PyObject* x, const KeyFn& key, Ref& scratch) noexcept {
    if (key.identity) return x;
    const size_t n = key.positions.size();
    if (n == 1) return PyTuple_GET_ITEM(x, key.positions[0]);
    if (!scratch && !(scratch = Ref::steal(PyTuple_New((Py_ssize_t)n)))) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        PyObject* old = PyTuple_GET_ITEM(scratch.get(), i);
        PyTuple_SET_ITEM(scratch.get(), i, Py_NewRef(PyTuple_GET_ITEM(x, key.positions[i])));
        Py_XDECREF(old);
    }
    return scratch.get();
}

// One plain member into the field index of a quiet build: its key hashed
// once. Runs no Python code. Not taken (nothing changed) when the bucket
// cannot be made or filled in C.
Shortcut quiet_member(PyObject* index, BucketMaker& buckets, const KeyFn& key, PyObject* x, Ref& scratch) noexcept {
    PyObject* k = plain_key_of(x, key, scratch);
    if (!k) return Shortcut::failed();
    const Py_hash_t hash = PyObject_Hash(k);
    if (hash == -1) return Shortcut::failed();
    if (PyObject* found = py311::dict_get_known_hash(index, k, hash)) {
        // Every bucket so far was made here, in C, and nobody has seen it.
        if (buckets.takes_unchecked(x)) return Shortcut::status(PyList_Append(found, x));
        return buckets.append(found, x);
    }
    if (PyErr_Occurred()) return Shortcut::failed();
    Shortcut made = buckets.create(x);
    if (!made.ok()) return made;
    Ref stored = k == scratch.get() ? std::move(scratch) : Ref::borrow(k);
    Ref bucket = made.take();
    return Shortcut::status(py311::dict_set_known_hash(index, stored.get(), bucket.get(), hash));
}

// The quiet stretch of a build over an exact instance: members from the
// first on while they are plain and their buckets are made in C, with the
// collector paused. Returns the position of the first member left to the
// rest of the build, or -1 with an exception set.
Py_ssize_t quiet_stretch(PyObject* self, PyObject* index, BucketMaker& buckets, const KeyFn& key) noexcept {
    if (!usable(Probe::known_hash)) return 0;
    CollectorPause pause;
    Ref scratch;
    Py_ssize_t i = 0;
    // Borrowed members: no Python code runs while paused, so nothing can
    // change the list.
    for (; i < PyList_GET_SIZE(self); ++i) {
        PyObject* x = PyList_GET_ITEM(self, i);
        if (!plain_member(x, key)) break;
        Shortcut s = quiet_member(index, buckets, key, x, scratch);
        if (!s.taken()) break;
        if (!s.ok()) return -1;
    }
    return i;
}

// One member into the field index after the quiet stretch: the steps of
// `__makeindex` for one member, its bucket made or filled in C where it can
// be, else through `rowsieve([x])` and `bucket.append(x)`.
// CAUTION: may run arbitrary Python code
int index_member_in_c(PyObject* index, BucketMaker& buckets, KeyFn& key, PyObject* x) noexcept {
    Ref k = key.apply(x);
    if (!k) return -1;
    if (PyObject* found = PyDict_GetItemWithError(index, k.get())) {
        Ref bucket = Ref::borrow(found);
        if (Shortcut s = buckets.append(bucket.get(), x); s.taken()) return s.rc();
        return call_self(N.append, {bucket.get(), x});
    }
    if (PyErr_Occurred()) return -1;
    Ref bucket;
    if (Shortcut s = buckets.create(x); s.taken()) {
        bucket = s.take();
    } else if (Ref batch = list_of(x)) {
        bucket = new_rowsieve({batch.get()});
    }
    if (!bucket) return -1;
    return PyDict_SetItem(index, k.get(), bucket.get());
}

// The steps of `__makeindex(getkey)` with the buckets made and filled in C,
// standing in for their `rowsieve([x])` and `bucket.append(x)`: a new field
// index of the current members (not stored). A member whose key or bucket
// raises IndexError is skipped.
// CAUTION: may run arbitrary Python code
Shortcut build_index(PyObject* self, KeyFn& key) noexcept {
    vk::StandIn calls;
    if (!count_index_build(construction_known() && calls)) return Shortcut::not_taken();
    Ref index = Ref::steal(PyDict_New());
    if (!index) return Shortcut::failed();
    BucketMaker buckets;
    Members members(self);
    if (!members.ok()) return Shortcut::failed();
    if (members.direct()) {
        const Py_ssize_t next = quiet_stretch(self, index.get(), buckets, key);
        if (next < 0) return Shortcut::failed();
        members.skip_to(next);
    }
    while (Ref x = members.next()) {
        if (index_member_in_c(index.get(), buckets, key, x.get()) < 0) {
            if (!error_is(B_IndexError)) return Shortcut::failed();
            PyErr_Clear();
        }
    }
    if (PyErr_Occurred()) return Shortcut::failed();
    return Shortcut::done(std::move(index));
}

// __contains__(self, val) once the membership map exists.
// CAUTION: may run arbitrary Python code
Shortcut contains(PyObject* self, PyObject* val) noexcept {
    PyObject* d = fast_dict(self);
    if (!d) return Shortcut::not_taken();
    PyObject* map = state_of(d, T_contents);
    if (!map || !PyDict_CheckExact(map)) return Shortcut::not_taken();
    return Shortcut::done(Ref::steal(map_get(map, val)));
}

}  // namespace native

}  // namespace
