// The selection walk that the shortcuts of select, sum and prod run inline.
//
// The Python-level form of these methods stacks three generators (the
// selection, a generator expression, the accumulator) and a pair tuple per
// key. When `self._iteritems_internal` is this module's own function (and,
// for the sums, `_sum_terms` is the function bound at load), the same steps
// run as one native loop: the same calls in the same order, the same
// traceback entries on failure, only without the intermediate objects. A
// key whose hashing cannot run Python code (a plain key, py311::hash_known)
// is hashed once per step; the hash then serves every lookup of that key in
// the step.
#pragma once

#include <new>

#include "frame.hpp"
#include "cpython311.hpp"

#include "guards.hpp"
#include "generators.hpp"
#include "positions.hpp"

namespace {

namespace native {

// The hash of a plain key, taken once and reused for every lookup of that key
// in one step; any other key is hashed by every lookup, as the general path
// does. Without the probes' blessing every key counts as not plain.
class KeyHash {
public:
    // `known`: the probes allow known hashes (`hashes_known()`). The hash is
    // taken at the first lookup that wants it.
    KeyHash(PyObject* key, bool known) noexcept : key_(key), state_(known ? unhashed : general) {}

    // `mapping[key]` for an exact dict (no `__missing__`), else the generic
    // item lookup. Returns a new reference.
    // CAUTION: may run arbitrary Python code
    Ref getitem(PyObject* mapping) noexcept {
        if (PyDict_CheckExact(mapping) && plain()) {
            if (PyObject* v = py311::dict_get_known_hash(mapping, key_, hash_)) return Ref::borrow(v);
            if (PyErr_Occurred()) return Ref();
            // dict's own KeyError: the key packed in a tuple.
            if (Ref args = Ref::steal(PyTuple_Pack(1, key_))) PyErr_SetObject(PyExc_KeyError, args.get());
            return Ref();
        }
        return Ref::steal(PyObject_GetItem(mapping, key_));
    }

    // `key in mapping`.
    // CAUTION: may run arbitrary Python code
    int contained_in(PyObject* mapping) noexcept {
        if (PyDict_CheckExact(mapping) && plain()) return py311::dict_contains_known_hash(mapping, key_, hash_);
        return PySequence_Contains(mapping, key_);
    }

    // `key in mapping`, then, when it is, `mapping[key]` into `value`: 1
    // found, 0 not, -1 failed. For an exact dict of plain keys and a plain
    // key the two are one lookup: neither can run code, so nothing can tell
    // them apart. Otherwise both are made, as the steps make them (a stored
    // key's `__eq__` sees two comparisons).
    // CAUTION: may run arbitrary Python code
    int lookup_in(PyObject* mapping, Ref& value) noexcept {
        if (PyDict_CheckExact(mapping) && plain() && vk::keys_all_plain(mapping)) {
            PyObject* v = py311::dict_get_known_hash(mapping, key_, hash_);
            if (!v) return PyErr_Occurred() ? -1 : 0;
            value = Ref::borrow(v);
            return 1;
        }
        const int found = contained_in(mapping);
        if (found <= 0) return found;
        value = getitem(mapping);
        return value ? 1 : -1;
    }

    // Item lookup on the instance `self`; `dict_subscript` tells that its
    // type takes item lookup from dict (`subscript_is_dicts`), so a found key
    // needs no more than the dict lookup, and a missing one is left to the
    // generic lookup (which consults `__missing__`).
    // CAUTION: may run arbitrary Python code
    Ref getitem_of_instance(PyObject* self, bool dict_subscript) noexcept {
        if (dict_subscript && plain()) {
            if (PyObject* v = py311::dict_get_known_hash(self, key_, hash_)) return Ref::borrow(v);
            if (PyErr_Occurred()) return Ref();
        }
        return Ref::steal(PyObject_GetItem(self, key_));
    }

    // The hash of a plain key (false for any other key).
    bool plain_hash(Py_hash_t& hash) noexcept {
        if (!plain()) return false;
        hash = hash_;
        return true;
    }

private:
    // A plain key, its hash now in `hash_`.
    bool plain() noexcept {
        if (state_ == unhashed) state_ = py311::hash_known(key_, hash_) ? plain_key : general;
        return state_ == plain_key;
    }

    PyObject* key_;  // borrowed: the caller holds it for the object's life
    Py_hash_t hash_ = -1;
    enum : unsigned char { unhashed, plain_key, general } state_;
};

// While a walk's selection holds as many keys as the dict (the whole key
// list, which without positions is in the dict's own order), each key is
// compared with the dict's next entry: when it is that entry's key itself,
// the entry's value is what a dict lookup of the key would find (a dict
// holds one entry per key), and no lookup is made. That is invisible only
// while every key of the dict is plain (the lookup it skips would run no
// code, and a plain key's hash cannot have changed since it was stored); the
// dict's keys are checked once per state of the dict. The first key that is
// not the next entry's ends this for the rest of the walk, and so does any
// change of the dict.
class EntryCursor {
public:
    // `plain_dict`: every key of the dict `self` is plain (vk::keys_all_plain).
    EntryCursor(PyObject* self, PyObject* selection, bool plain_dict) noexcept
        : self_(self), on_(plain_dict && PyList_GET_SIZE(selection) == PyDict_GET_SIZE(self)),
          version_(on_ ? py311::dict_version(self) : 0) {}

    // The value of `key` in the dict when it is the next entry's key
    // (borrowed), else nullptr.
    PyObject* value_of(PyObject* key) noexcept {
        if (!on_ || py311::dict_version(self_) != version_) return on_ = false, nullptr;
        PyObject *k, *v;
        if (PyDict_Next(self_, &pos_, &k, &v) && k == key) return v;
        on_ = false;
        return nullptr;
    }

private:
    PyObject* self_;
    Py_ssize_t pos_ = 0;
    bool on_;
    uint64_t version_;
};

// A walk over a selection list that reads each value at the entry position
// remembered for it (positions.hpp), and remembers the positions it finds.
// On only while the dict's keys are all plain and its entries can be read
// by position; off for the rest of the walk once the dict changes.
class PositionCursor {
public:
    // `plain_dict`: as for EntryCursor.
    PositionCursor(PyObject* self, PyObject* selection, bool plain_dict) noexcept : self_(self) {
        if (!plain_dict || !py311::usable(Probe::dict_entries) || !py311::has_general_entries(self) ||
            py311::entry_count(self) > INT32_MAX)
            return;
        n_ = PyList_GET_SIZE(selection);
        positions_ = g_positions.of(selection, n_);
        epoch_ = g_positions.epoch();
        version_ = py311::dict_version(self);
    }

    // The value of `key`, the selection's item `i` (borrowed), or nullptr
    // when the dict must be asked.
    PyObject* value_of(Py_ssize_t i, PyObject* key, KeyHash& hash) noexcept {
        if (!positions_ || i >= n_) return nullptr;
        // Python code run by an earlier step may have changed the dict, or
        // moved the positions.
        if (py311::dict_version(self_) != version_ || g_positions.epoch() != epoch_) {
            positions_ = nullptr;
            return nullptr;
        }
        const int32_t at = positions_[i];
        if (count_positions(at >= 0 && at < py311::entry_count(self_) && py311::entry_key(self_, at) == key))
            return py311::entry_value(self_, at);
        Py_hash_t h;
        if (!hash.plain_hash(h)) return nullptr;
        const Py_ssize_t found = py311::find_entry(self_, key, h);
        if (found < 0) return nullptr;
        positions_[i] = static_cast<int32_t>(found);
        return py311::entry_value(self_, found);
    }

private:
    PyObject* self_;
    int32_t* positions_ = nullptr;
    Py_ssize_t n_ = 0;
    uint64_t epoch_ = 0, version_ = 0;
};

struct NoSizeHint {
    void operator()(Py_ssize_t) const noexcept {}
};

// An iterator over the list `sel` that has gone past its first `i` items,
// as `iter(sel)` would be after `i` steps.
Ref list_iterator_at(PyObject* sel, Py_ssize_t i) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(sel));
    if (!it || i == 0) return it;
    Ref position = Ref::steal(PyLong_FromSsize_t(i));
    if (!position) return Ref();
    // list_iterator.__setstate__: the interpreter's own, runs no Python code.
    Ref done = Ref::steal(PyObject_CallMethodOneArg(it.get(), N.setstate, position.get()));
    if (!done) return Ref();
    return it;
}

// `self._iteritems_internal(...)` as a generator that goes on walking `rest`,
// the iterator of a selection already started.
Ref pairs_from(PyObject* self, PyObject* rest) noexcept {
    return spawn(reinterpret_cast<vk::Function*>(load.iteritems_internal),
                 new (std::nothrow) PairsBody(self, nullptr, nullptr, rest));
}

// One walk over the selection as `_iteritems_internal` makes it, run inline.
// `visit(key, hash, value)` gets each key with its value, read at the moment
// the pair would have been produced, and answers 1 when the generator
// expression it stands in for yields a term for the pair, 0 when that goes
// on to the next pair within the same resumption, -1 on failure. A failure
// of the walk itself (key list, select, iteration, value lookup) carries the
// generator's traceback entry. `size_hint` learns the selection's length
// when it is known in advance.
//
// The walk stands in for the resumptions of the generators only while
// nobody would be told of them: before each resumption that the steps make
// (every pair after the first, and the end), a vk::StandIn is asked again.
// Once it refuses (Python code run by a step set a profile function, or
// changed the recursion limit), `handover(rest, mid)` walks the rest of the
// keys, `rest`, through the generators themselves; `mid` tells that the
// generator expression is in the middle of a resumption (the previous pair
// yielded no term).
// CAUTION: may run arbitrary Python code
template <class Visit, class Handover, class SizeHint = NoSizeHint>
int walk_selection(PyObject* self, Vals vals, Visit&& visit, Handover&& handover,
                   SizeHint&& size_hint = SizeHint()) noexcept {
    auto fail_walk = [&]() noexcept {
        vk::add_body_entry(load.iteritems_internal);
        return -1;
    };
    Ref selection = selection_of(self, vals);
    if (!selection) return fail_walk();
    auto step = [&](KeyHash& hash, PyObject* key, EntryCursor* cursor, PositionCursor* positions,
                    Py_ssize_t i) noexcept -> int {
        // Checked at every step: the previous step may have run Python code
        // that changed the class.
        const bool dict_subscript = subscript_is_dicts(self);
        PyObject* found = dict_subscript && cursor ? cursor->value_of(key) : nullptr;
        if (!found && dict_subscript && positions) found = positions->value_of(i, key, hash);
        Ref value = found ? Ref::borrow(found) : hash.getitem_of_instance(self, dict_subscript);
        if (!value) return fail_walk();
        return visit(key, hash, value.get());
    };
    const bool known = hashes_known();
    bool mid = false;
    PyObject* sel = selection.get();
    if (PyList_Check(sel) && Py_TYPE(sel)->tp_iter == PyList_Type.tp_iter) {
        // The list iterator's walk: the size is read again at every step,
        // since a step may run Python code that changes the list.
        size_hint(PyList_GET_SIZE(sel));
        // keys_all_plain answers false for anything but a dict.
        const bool plain_dict = vk::keys_all_plain(self);
        EntryCursor cursor(self, sel, plain_dict);
        PositionCursor positions(self, sel, plain_dict);
        for (Py_ssize_t i = 0;; ++i) {
            if (i > 0 && !vk::StandIn()) {
                Ref rest = list_iterator_at(sel, i);
                return rest ? handover(rest.get(), mid) : fail_walk();
            }
            if (i >= PyList_GET_SIZE(sel)) return 0;
            Ref key = Ref::borrow(PyList_GET_ITEM(sel, i));
            KeyHash hash(key.get(), known);
            const int r = step(hash, key.get(), &cursor, &positions, i);
            if (r < 0) return -1;
            mid = r == 0;
        }
    }
    Ref it = Ref::steal(PyObject_GetIter(sel));
    if (!it) return fail_walk();
    for (bool first = true;; first = false) {
        if (!first && !vk::StandIn()) return handover(it.get(), mid);
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key) return PyErr_Occurred() ? fail_walk() : 0;
        KeyHash hash(key.get(), known);
        const int r = step(hash, key.get(), nullptr, nullptr, 0);
        if (r < 0) return -1;
        mid = r == 0;
    }
}

}  // namespace native

}  // namespace
