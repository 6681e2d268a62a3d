// The shortcuts of varnokpy._keyshelf.
//
// Included by _keyshelf.cpp after its module state and the helpers both
// paths share, inside the same anonymous namespace: one compile unit, so
// traceback entries still name "src/varnokpy/_keyshelf". It is not a header
// of its own.
//
// Each shortcut answers done, failed or not taken (`vk::Shortcut`); "not
// taken" means that nothing observable happened: no Python code ran and
// nothing changed, so the caller's general steps start from the same state.
// Every guard consults `vk::shortcuts_on()` (directly or through
// `py311::usable`), so the general-only build takes none of them.
//
// What they skip. `select`, `sum` and `prod` are called in tight loops while
// a model is built. Their Python-level form stacks three generators (the
// selection, a generator expression, the accumulator) and a pair tuple per
// key. When `self._iteritems_internal` resolves to this module's own
// function (found on the type, not shadowed by the instance, and resolving
// it runs no code) and, for the sums, `_sum_terms` is still the function
// bound at load, the same steps run as one native loop: the same calls in
// the same order, the same traceback entries on failure, only without the
// intermediate objects. A key whose hashing cannot run Python code (a plain
// key, py311::hash_known) is hashed once per step; the hash then serves
// every lookup of that key in the step.
#pragma once

namespace {
namespace native {

using vk::Shortcut;
namespace py311 = vk::py311;
using py311::Probe;

// ============================================================================
// Guards
// ============================================================================

// Is `self.<name>` a read of the instance dict that runs no code (no
// attribute hook, nothing of that name on the class)?
bool plain_instance_attr(PyObject* self, PyObject* name) noexcept {
    if (!py311::usable(Probe::type_version)) return false;
    PyTypeObject* t = Py_TYPE(self);
    return t->tp_getattro == PyObject_GenericGetAttr && !py311::type_lookup(t, name);
}

// Is `self._iteritems_internal` this module's own function, found on the
// type and not shadowed by the instance? Runs no code: with the generic
// attribute lookup and our function on the type, resolving the method is a
// look into the instance dict. The walks that run its body inline ask (and
// stand in for its call and resumptions with a vk::StandIn).
bool iteritems_is_own(PyObject* self) noexcept {
    if (!py311::usable(Probe::type_version) || !py311::usable(Probe::method_lookup)) return false;
    PyTypeObject* t = Py_TYPE(self);
    if (t->tp_getattro != PyObject_GenericGetAttr ||
        py311::type_lookup(t, N.iteritems_internal) != load.iteritems_internal)
        return false;
    PyObject* m = nullptr;
    const int unbound = py311::get_method(self, N.iteritems_internal, &m);
    Ref found = Ref::steal(m);
    if (!found) {
        PyErr_Clear();  // not expected: the type has the attribute
        return false;
    }
    return unbound == 1 && found.get() == load.iteritems_internal;
}

// Does `self[k]` do exactly dict's subscript (the type takes item lookup
// from dict: its `__getitem__` is dict's own)? A heap subclass reaches it
// through the generic slot, which finds the same method. The last type that
// passed is remembered by its version tag, which changes whenever the type
// (or a base) is modified, so a match proves nothing has changed since.
unsigned int g_dict_subscript_tag = 0;

bool subscript_is_dicts_slow(PyObject* self) noexcept {
    PyTypeObject* t = Py_TYPE(self);
    if (!py311::usable(Probe::type_version)) return false;
    if (!PyDict_Check(self) || !t->tp_as_mapping) return false;
    binaryfunc slot = t->tp_as_mapping->mp_subscript;
    if (slot != PyDict_Type.tp_as_mapping->mp_subscript && slot != load.keyshelf_subscript) return false;
    if (py311::type_lookup(t, N.getitem) != load.dict_getitem) return false;
    // The lookup has given the type a tag if it had none.
    g_dict_subscript_tag = py311::type_version(t);
    return true;
}

inline bool subscript_is_dicts(PyObject* self) noexcept {
    // A tag that passed is a dict subclass's, so the instance is a dict (and
    // the probe passed).
    if (g_dict_subscript_tag && py311::type_version(Py_TYPE(self)) == g_dict_subscript_tag) return true;
    return subscript_is_dicts_slow(self);
}

// ============================================================================
// super(cls, self).<name>(...)
// ============================================================================

// When `super` is the builtin and `dict` follows `cls` in the method order of
// `type(self)`, `super(cls, self).<name>` is the `dict` method of that name
// (dict defines every name this class calls), so it is bound and called
// directly: the bound method is the one the super object would have made,
// with the same messages. Item assignment, deletion and `__init__` call the
// dict slot their method wraps.
// CAUTION: may run arbitrary Python code
Shortcut super_dict_call(PyObject* cls, PyObject* self, PyObject* name, PyObject* args, PyObject* kwargs) noexcept {
    if (!py311::usable(Probe::type_version) || builtin(B_super) != reinterpret_cast<PyObject*>(&PySuper_Type))
        return Shortcut::not_taken();
    PyObject* mro = Py_TYPE(self)->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return Shortcut::not_taken();
    bool follows = false;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i + 1 < n && !follows; ++i) {
        if (PyTuple_GET_ITEM(mro, i) != cls) continue;
        if (PyTuple_GET_ITEM(mro, i + 1) != reinterpret_cast<PyObject*>(&PyDict_Type)) return Shortcut::not_taken();
        follows = true;
    }
    if (!follows) return Shortcut::not_taken();
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

// ============================================================================
// The sort key
// ============================================================================

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

// ============================================================================
// Key hashes
// ============================================================================

// The hash of a plain key, taken once and reused for every lookup of that key
// in one step; any other key is hashed by every lookup, as the general path
// does. Without the probes' blessing every key counts as not plain.
class KeyHash {
public:
    // `known`: the probes allow known hashes (`KeyHash::usable()`).
    // `known`: the probes allow known hashes (`KeyHash::usable()`). The hash
    // is taken at the first lookup that wants it.
    KeyHash(PyObject* key, bool known) noexcept : key_(key), state_(known ? unhashed : general) {}

    static bool usable() noexcept {
        return py311::usable(Probe::hash_known) && py311::usable(Probe::known_hash);
    }

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
    // found, 0 not, -1 failed. For an exact dict and a plain key the two
    // are one lookup (neither can run code in between).
    // CAUTION: may run arbitrary Python code
    int lookup_in(PyObject* mapping, Ref& value) noexcept {
        if (PyDict_CheckExact(mapping) && plain()) {
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
// holds one entry per key), and no lookup is made. The first key that is
// not the next entry's ends this for the rest of the walk.
class EntryCursor {
public:
    EntryCursor(PyObject* self, PyObject* selection) noexcept
        : self_(self), on_(PyDict_Check(self) && PyList_GET_SIZE(selection) == PyDict_GET_SIZE(self)) {}

    // The value of `key` in the dict when it is the next entry's key
    // (borrowed), else nullptr.
    PyObject* value_of(PyObject* key) noexcept {
        if (!on_) return nullptr;
        PyObject *k, *v;
        if (PyDict_Next(self_, &pos_, &k, &v) && k == key) return v;
        on_ = false;
        return nullptr;
    }

private:
    PyObject* self_;
    Py_ssize_t pos_ = 0;
    bool on_;
};

// ============================================================================
// The key-list sort
// ============================================================================
//
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

// The position map as a plain read, if ranks can be taken from it without
// running code; nullptr otherwise (nothing observable happened).
PyObject* plain_position_map(PyObject* self) noexcept {
    if (!plain_instance_attr(self, N.pos)) return nullptr;
    // A plain read: the instance dict, or AttributeError without a hook.
    Ref pos = vk::getattr(self, N.pos);
    if (!pos) {
        PyErr_Clear();  // the general steps raise it again, the same way
        return nullptr;
    }
    if (!PyDict_CheckExact(pos.get())) return nullptr;
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(pos.get(), &at, &key, &value)) {
        if (!py311::is_plain_key(key) || !PyLong_CheckExact(value)) return nullptr;
        int overflow;
        PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow) return nullptr;
    }
    return pos.get();  // held by the instance dict; no code runs before its use
}

// Is `keylist.sort` the base list's sort, resolved without running code?
bool sort_is_lists(PyObject* keylist) noexcept {
    if (!PyList_Check(keylist) || !py311::usable(Probe::type_version) || !py311::usable(Probe::method_lookup))
        return false;
    PyTypeObject* t = Py_TYPE(keylist);
    if (t->tp_getattro != PyObject_GenericGetAttr || py311::type_lookup(t, N.sort) != load.list_sort) return false;
    PyObject* m = nullptr;
    const int unbound = py311::get_method(keylist, N.sort, &m);
    Ref found = Ref::steal(m);
    if (!found) PyErr_Clear();
    return unbound == 1 && found.get() == load.list_sort;
}

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
    const bool known = KeyHash::usable();
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

// ============================================================================
// The selection walk and the inline accumulation
// ============================================================================

struct NoSizeHint {
    void operator()(Py_ssize_t) const noexcept {}
};

// One walk over the selection as `_iteritems_internal` makes it, run inline.
// `visit(key, hash, value)` gets each key with its value, read at the moment
// the pair would have been produced; a failure of the walk itself (key list,
// select, iteration, value lookup) carries the generator's traceback entry.
// `size_hint` learns the selection's length when it is known in advance.
// CAUTION: may run arbitrary Python code
template <class Visit, class SizeHint = NoSizeHint>
int walk_selection(PyObject* self, Vals vals, Visit&& visit, SizeHint&& size_hint = SizeHint()) noexcept {
    auto fail_walk = [&]() noexcept {
        vk::add_body_entry(load.iteritems_internal);
        return -1;
    };
    Ref selection = selection_of(self, vals);
    if (!selection) return fail_walk();
    auto step = [&](KeyHash& hash, PyObject* key, EntryCursor* cursor) noexcept -> int {
        // Checked at every step: the previous step may have run Python code
        // that changed the class.
        const bool dict_subscript = subscript_is_dicts(self);
        PyObject* found = dict_subscript && cursor ? cursor->value_of(key) : nullptr;
        Ref value = found ? Ref::borrow(found) : hash.getitem_of_instance(self, dict_subscript);
        if (!value) return fail_walk();
        return visit(key, hash, value.get());
    };
    const bool known = KeyHash::usable();
    PyObject* sel = selection.get();
    if (PyList_Check(sel) && Py_TYPE(sel)->tp_iter == PyList_Type.tp_iter) {
        // The list iterator's walk: the size is read again at every step,
        // since a step may run Python code that changes the list.
        size_hint(PyList_GET_SIZE(sel));
        EntryCursor cursor(self, sel);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sel); ++i) {
            Ref key = Ref::borrow(PyList_GET_ITEM(sel, i));
            KeyHash hash(key.get(), known);
            if (step(hash, key.get(), &cursor) < 0) return -1;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(sel));
    if (!it) return fail_walk();
    for (;;) {
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key) return PyErr_Occurred() ? fail_walk() : 0;
        KeyHash hash(key.get(), known);
        if (step(hash, key.get(), nullptr) < 0) return -1;
    }
}

// The accumulation of `_sum_terms`, run inline: `result = LinExpr()` (the
// global read now), then `result += term` for every term in order, each
// addition the in-place addition of whatever `LinExpr()` returned.
class InlineSum {
public:
    // CAUTION: may run arbitrary Python code
    int start() noexcept {
        Ref linexpr = g_LinExpr.get(frame);
        if (linexpr) result_ = vk::call(linexpr.get(), {});
        return result_ ? 0 : -1;
    }

    // result += term; a failure is the accumulator's.
    // CAUTION: may run arbitrary Python code
    int add(PyObject* term) noexcept {
        Ref sum = Ref::steal(PyNumber_InPlaceAdd(result_.get(), term));
        if (!sum) {
            adding_failed_ = true;
            return -1;
        }
        result_ = std::move(sum);
        return 0;
    }

    // result += coefficient * value; a failed product is the term's.
    // CAUTION: may run arbitrary Python code
    int add_product(PyObject* coefficient, PyObject* value) noexcept {
        Ref term = Ref::steal(PyNumber_Multiply(coefficient, value));
        if (!term) return -1;
        return add(term.get());
    }

    bool adding_failed() const noexcept { return adding_failed_; }
    Ref finish() noexcept { return std::move(result_); }

private:
    Ref result_;
    bool adding_failed_ = false;
};

// `_sum_terms(<generator expression>)` run inline by `produce(sum)`, standing
// in for the calls of `_sum_terms`, of the generator expression and of
// `self._iteritems_internal` (guarded by sums_inline). Failures carry the
// traceback entries of the frames that the Python-level form would have
// shown: the generator expression and `_sum_terms` for a failing term,
// `_sum_terms` for a failing addition.
// CAUTION: may run arbitrary Python code
template <class Produce>
Shortcut accumulate_inline(vk::StandIn& calls, int genexpr_line, Produce&& produce) noexcept {
    InlineSum sum;
    if (sum.start() < 0) return calls.answer(load.sum_terms, Shortcut::failed());
    if (produce(sum) < 0) {
        if (!sum.adding_failed()) vk::add_traceback_entry("genexpr", frame.info.source_path, genexpr_line);
        return calls.answer(load.sum_terms, Shortcut::failed());
    }
    return Shortcut::done(sum.finish());
}

// Can a sum over `self._iteritems_internal(*vals)` run inline? `_sum_terms`
// is the load-time function and the selection is this module's own.
bool sums_inline(PyObject* self) noexcept {
    return vk::shortcuts_on() && g_sum_terms.is(frame, load.sum_terms) && iteritems_is_own(self);
}

// ============================================================================
// select, sum, prod
// ============================================================================

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
    const int r = walk_selection(self, vals, [&](PyObject*, KeyHash&, PyObject* value) noexcept {
        return values.push(value);
    }, [&](Py_ssize_t n) noexcept { values.reserve(n); });
    return r < 0 ? Shortcut::failed() : Shortcut::done(values.to_list());
}

// sum(self, *vals): `_sum_terms(v for k, v in self._iteritems_internal(*vals))`
// CAUTION: may run arbitrary Python code
Shortcut sum(PyObject* self, Vals vals) noexcept {
    if (!sums_inline(self)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    return accumulate_inline(calls, kSumGenexprLine, [&](InlineSum& acc) noexcept {
        return walk_selection(self, vals, [&](PyObject*, KeyHash&, PyObject* value) noexcept {
            return acc.add(value);
        });
    });
}

// prod(self, d, *vals) walking the selection:
// `_sum_terms(d[k] * v for k, v in self._iteritems_internal(*vals) if k in d)`
// CAUTION: may run arbitrary Python code
Shortcut prod_over_selection(PyObject* self, PyObject* d, Vals vals) noexcept {
    if (!sums_inline(self)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    return accumulate_inline(calls, kProdGenexprLine, [&](InlineSum& acc) noexcept {
        return walk_selection(self, vals, [&](PyObject*, KeyHash& key, PyObject* value) noexcept -> int {
            Ref coefficient;
            const int found = key.lookup_in(d, coefficient);
            if (found <= 0) return found;
            return acc.add_product(coefficient.get(), value);
        });
    });
}

}  // namespace native
}  // namespace
