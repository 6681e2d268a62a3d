// varnokpy._keyshelf: the `keyshelf` class, a dict whose keys are also held,
// in a defined order, in a `rowsieve` (the key list), so that values can be
// picked by key pattern and summed, or multiplied by coefficients, into
// linear expressions.
//
// Key list lifecycle. The key list is built on the first request after a
// change (`_keys_internal`): a new `rowsieve` of the dict's own keys, stored
// in `_keyshelf__keys`, then sorted in place by the position map. It is never
// changed afterwards, only dropped by `clean()`, which every mutator calls
// after the dict operation succeeded. The sort runs the keys' `__hash__` and
// `__eq__` (through the position map's lookups), so it can re-enter: while
// the stored list is being sorted it looks empty (the base list sort detaches
// its items), a re-entrant request therefore builds a list of its own, and a
// re-entrant mutation drops the stored one. The request returns the list it
// built and sorted either way, so a caller never receives a half-built list
// or None.
//
// Dispatch. Everything that the class's own code reaches through `self`
// (`self._keys_internal()`, `self.clean()`, `self.keys()`, `self[k]`) goes
// through the instance, so subclass overrides and instance attributes are
// honoured; module globals (`keyshelf`, `rowsieve`, `LinExpr`, `_sum_terms`,
// `warnings`) are looked up at call time; the legacy switch is read from the
// class that the global `keyshelf` names at every use.
//
// Fast paths. `select`, `sum` and `prod` are called in tight loops while a
// model is built. Their Python-level form stacks three generators (the
// selection, a generator expression, the accumulator) and a pair tuple per
// key. When `self._iteritems_internal` still resolves to this module's own
// function (found on the type, not shadowed by the instance) and, for the
// sums, `_sum_terms` is still the function bound at load, the same steps
// run as one native loop: the same calls in the same order, the same
// traceback entries on failure, only without the intermediate objects.
// A key whose hashing cannot run Python code is hashed once per step, and
// tuples of plain atoms are hashed without calls into the interpreter; the
// hash then serves every lookup of that key in the step (see `KeyHash`).
#include "frame.hpp"

#include <iterator>
#include <new>
#include <string>
#include <vector>

using vk::Ref;

namespace {

// ============================================================================
// Module state
// ============================================================================

const char* const kBuiltins[] = {"range", "DeprecationWarning", "super", "TypeError", "enumerate", nullptr};
enum Builtin { B_range, B_DeprecationWarning, B_super, B_TypeError, B_enumerate };

int module_constants(vk::ModuleFrame&) noexcept;
int module_prebuilt(vk::ModuleFrame&) noexcept;
int module_body(vk::ModuleFrame&) noexcept;

const vk::ModuleInfo kInfo = {
    "_keyshelf", "varnokpy._keyshelf", "src/varnokpy/_keyshelf", nullptr, kBuiltins, true,
    module_constants, module_prebuilt, module_body,
};

}  // namespace

VARNOK_MODULE(_keyshelf, kInfo)

namespace {

vk::ModuleFrame& frame = _keyshelf_frame;

PyObject* builtin(Builtin b) noexcept { return frame.builtin(b); }

// Interned attribute and method names.
struct Names {
    PyObject *wild, *pos, *keylist, *legacy;
    PyObject *clean, *setord, *keys, *values, *items, *keys_internal, *iteritems_internal;
    PyObject *select, *sort, *warn, *get, *getitem;
    PyObject *init, *setitem, *delitem, *clear, *pop, *popitem, *update;
} N;

vk::GlobalName g_warnings("warnings"), g_LinExpr("LinExpr"), g_rowsieve("rowsieve"), g_sum_terms("_sum_terms"),
    g_keyshelf("keyshelf");

PyObject* kStar = nullptr;           // "*", the wildcard of a new keyshelf
PyObject* kSortKwnames = nullptr;    // ("key",)
PyObject* kLegacyWarning = nullptr;
PyObject* kIterkeysWarning = nullptr;
PyObject* kItervaluesWarning = nullptr;
PyObject* kIteritemsWarning = nullptr;
PyObject* kNeedsDict = nullptr;      // "keyshelf.prod requires a dictionary"
PyObject* kInvalidArgument = nullptr;

// The objects that the module body bound, kept alive here so that an
// identity test against them can never match a newer object that happens to
// reuse the address of a deleted one.
struct LoadTime {
    PyObject* sum_terms = nullptr;           // `_sum_terms`
    PyObject* iteritems_internal = nullptr;  // `keyshelf._iteritems_internal`
} load;

// Traceback names of the frames that a fast path stands in for (the
// functions are kept alive by `load`).
struct TracebackFrames {
    vk::Function* sum_terms = nullptr;
    vk::Function* iteritems_internal = nullptr;
    int keys_internal_line = 0;
} tbf;

const char* const kSource = "src/varnokpy/_keyshelf";

int module_constants(vk::ModuleFrame&) noexcept {
    if (vk::intern_all({
        {&N.wild, "wild"},
        {&N.pos, "_keyshelf__pos"},
        {&N.keylist, "_keyshelf__keys"},
        {&N.legacy, "_legacy_keyshelf_behavior"},
        {&N.clean, "clean"},
        {&N.setord, "setord"},
        {&N.keys, "keys"},
        {&N.values, "values"},
        {&N.items, "items"},
        {&N.keys_internal, "_keys_internal"},
        {&N.iteritems_internal, "_iteritems_internal"},
        {&N.select, "select"},
        {&N.sort, "sort"},
        {&N.warn, "warn"},
        {&N.get, "get"},
        {&N.getitem, "__getitem__"},
        {&N.init, "__init__"},
        {&N.setitem, "__setitem__"},
        {&N.delitem, "__delitem__"},
        {&N.clear, "clear"},
        {&N.pop, "pop"},
        {&N.popitem, "popitem"},
        {&N.update, "update"},
        {&kStar, "*"},
        }) < 0)
        return -1;
    struct {
        PyObject** slot;
        const char* text;
    } texts[] = {
        {&kLegacyWarning, "Python2 legacy behaviour for keyshelf is deprecated."},
        {&kIterkeysWarning, "keyshelf.iterkeys() is deprecated, use .keys() instead"},
        {&kItervaluesWarning, "keyshelf.itervalues() is deprecated, use .values() instead"},
        {&kIteritemsWarning, "keyshelf.iteritems() is deprecated, use .items() instead"},
        {&kNeedsDict, "keyshelf.prod requires a dictionary"},
        {&kInvalidArgument, "Invalid keyshelf.prod argument"},
    };
    for (auto& t : texts) {
        if (!*t.slot && !(*t.slot = PyUnicode_FromString(t.text))) return -1;
    }
    for (vk::GlobalName* g : {&g_warnings, &g_LinExpr, &g_rowsieve, &g_sum_terms, &g_keyshelf})
        if (g->init() < 0) return -1;
    return 0;
}

int ready_rank_function_type() noexcept;

int module_prebuilt(vk::ModuleFrame&) noexcept {
    if (!kSortKwnames) {
        PyObject* key = vk::intern("key");
        if (!key || !(kSortKwnames = PyTuple_Pack(1, key))) return -1;
    }
    return ready_rank_function_type();
}

// ============================================================================
// Helpers
// ============================================================================

// A generator object of `fn` around `body` (a new body, or nullptr when the
// allocation failed).
Ref spawn(vk::Function* fn, vk::GenBody* body) noexcept {
    if (!body) {
        PyErr_NoMemory();
        return Ref();
    }
    return vk::make_generator(fn, body);
}

// Traceback entry of a generator body that a fast path ran inline (plain
// name) or of a module function it stood in for (full name).
void add_generator_entry(const vk::Function* fn) noexcept {
    vk::add_traceback_entry(PyUnicode_AsUTF8(fn->name), kSource, fn->line);
}
void add_function_entry(const vk::Function* fn) noexcept {
    vk::add_traceback_entry(fn->tb_name, kSource, fn->line);
}

// A vectorcall argument stack: slot 0 is left free for
// PY_VECTORCALL_ARGUMENTS_OFFSET, then `lead` (if any), then the items of the
// tuple `rest`.
class ArgStack {
public:
    ArgStack(PyObject* lead, PyObject* rest) noexcept {
        const Py_ssize_t n = PyTuple_GET_SIZE(rest);
        const Py_ssize_t size = n + 2;
        if (size <= static_cast<Py_ssize_t>(std::size(small_))) {
            items_ = small_;
        } else {
            items_ = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * size));
            heap_ = items_;
            if (!items_) {
                PyErr_NoMemory();
                return;
            }
        }
        items_[0] = nullptr;
        count_ = 0;
        if (lead) items_[1 + count_++] = lead;
        for (Py_ssize_t i = 0; i < n; ++i) items_[1 + count_++] = PyTuple_GET_ITEM(rest, i);
    }
    ~ArgStack() { PyMem_Free(heap_); }
    ArgStack(const ArgStack&) = delete;
    ArgStack& operator=(const ArgStack&) = delete;

    bool ok() const noexcept { return items_ != nullptr; }
    PyObject* const* args() const noexcept { return items_ + 1; }
    size_t nargsf() const noexcept { return static_cast<size_t>(count_) | PY_VECTORCALL_ARGUMENTS_OFFSET; }

private:
    PyObject* small_[10];
    PyObject** items_ = nullptr;
    PyObject** heap_ = nullptr;
    Py_ssize_t count_ = 0;
};

// Values gathered for a new list, owned here until the list is made in one
// step (a list under construction is never visible to Python code).
class ValueBuffer {
public:
    ValueBuffer() noexcept = default;
    ValueBuffer(const ValueBuffer&) = delete;
    ValueBuffer& operator=(const ValueBuffer&) = delete;
    ~ValueBuffer() {
        for (PyObject* o : items_) Py_DECREF(o);
    }

    void reserve(Py_ssize_t n) noexcept {
        try {
            items_.reserve(static_cast<size_t>(n));
        } catch (const std::bad_alloc&) {
            // Growing one item at a time still works, or fails in push().
        }
    }
    int push(PyObject* o) noexcept {
        try {
            items_.push_back(o);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
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
    std::vector<PyObject*> items_;
};

// `obj.<name>(*vals)`, dispatched through `obj`.
// CAUTION: may run arbitrary Python code
Ref call_method_star(PyObject* name, PyObject* obj, PyObject* vals) noexcept {
    ArgStack stack(obj, vals);
    if (!stack.ok()) return Ref();
    // `obj` and the tuple `vals` are owned by the caller for the whole call.
    PyObject* const* args = stack.args();
    return Ref::steal(PyObject_VectorcallMethod(name, const_cast<PyObject**>(args), stack.nargsf(), nullptr));
}

// `self.<name>` resolved as the interpreter resolves a method call: either a
// function found on the type and not shadowed by the instance (`unbound`,
// to be called with `self` first), or the attribute's value.
struct Method {
    Ref callable;
    bool unbound = false;

    explicit operator bool() const noexcept { return bool(callable); }
    // Is it `fn`, found on the type?
    bool is(PyObject* fn) const noexcept { return unbound && callable.get() == fn; }
};

// CAUTION: may run arbitrary Python code
Method resolve_method(PyObject* self, PyObject* name) noexcept {
    PyObject* m = nullptr;
    int unbound = _PyObject_GetMethod(self, name, &m);
    Method result;
    result.callable = Ref::steal(m);
    result.unbound = unbound == 1;
    return result;
}

// Calls a resolved method with `*vals`.
// CAUTION: may run arbitrary Python code
Ref call_resolved(const Method& m, PyObject* self, PyObject* vals) noexcept {
    ArgStack stack(m.unbound ? self : nullptr, vals);
    if (!stack.ok()) return Ref();
    return Ref::steal(PyObject_Vectorcall(m.callable.get(), stack.args(), stack.nargsf(), nullptr));
}

// `self.<name>` and `self.<name> = value`, through the instance.
// CAUTION: may run arbitrary Python code
inline Ref get_attr(PyObject* self, PyObject* name) noexcept { return vk::getattr(self, name); }
inline int set_attr(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return PyObject_SetAttr(self, name, value);
}

// `self.clean()`, through the instance.
// CAUTION: may run arbitrary Python code
int call_clean(PyObject* self) noexcept {
    Ref r = vk::call_method(N.clean, {self});
    return r ? 0 : -1;
}

// `warnings.warn(text, DeprecationWarning)`, through the module global.
// CAUTION: may run arbitrary Python code
int warn_deprecated(PyObject* text) noexcept {
    Ref warnings = g_warnings.get(frame);
    if (!warnings) return -1;
    Ref warn = vk::getattr(warnings.get(), N.warn);
    if (!warn) return -1;
    Ref r = vk::call(warn.get(), {text, builtin(B_DeprecationWarning)});
    return r ? 0 : -1;
}

// The truth of `keyshelf._legacy_keyshelf_behavior`, read from the class that
// the module global names now (an instance attribute plays no part).
// CAUTION: may run arbitrary Python code
int legacy_on() noexcept {
    Ref cls = g_keyshelf.get(frame);
    if (!cls) return -1;
    Ref flag = vk::getattr(cls.get(), N.legacy);
    if (!flag) return -1;
    return PyObject_IsTrue(flag.get());
}

// `a, b = pair`, with the interpreter's messages.
// CAUTION: may run arbitrary Python code
int unpack_pair(PyObject* pair, Ref& a, Ref& b) noexcept {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
        a = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        b = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(pair));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(pair)->tp_iter && !PySequence_Check(pair)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(pair)->tp_name);
        }
        return -1;
    }
    Ref* slots[] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Does `dict` follow `cls` in the method order of `type(self)`? Then
// `super(cls, self).<name>` is the `dict` method of that name for every name
// this class calls, since `dict` defines them all.
bool dict_follows(PyObject* cls, PyObject* self) noexcept {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        if (PyTuple_GET_ITEM(mro, i) == cls)
            return PyTuple_GET_ITEM(mro, i + 1) == reinterpret_cast<PyObject*>(&PyDict_Type);
    }
    return false;
}

// `super(cls, self).<name>(*args, **kwargs)`. When `dict` follows `cls`, the
// `dict` method is bound and called directly (the bound method is what the
// super object would have produced, so its messages are the same); item
// assignment, deletion and `__init__` call the `dict` slot they wrap.
// CAUTION: may run arbitrary Python code
Ref super_call(PyObject* cls, PyObject* self, PyObject* name, PyObject* args, PyObject* kwargs) noexcept {
    if (dict_follows(cls, self)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(args);
        const bool no_kwargs = !kwargs || PyDict_GET_SIZE(kwargs) == 0;
        if (name == N.setitem && n == 2 && no_kwargs) {
            if (PyDict_Type.tp_as_mapping->mp_ass_subscript(self, PyTuple_GET_ITEM(args, 0),
                                                           PyTuple_GET_ITEM(args, 1)) < 0)
                return Ref();
            return Ref::borrow(Py_None);
        }
        if (name == N.delitem && n == 1 && no_kwargs) {
            if (PyDict_Type.tp_as_mapping->mp_ass_subscript(self, PyTuple_GET_ITEM(args, 0), nullptr) < 0)
                return Ref();
            return Ref::borrow(Py_None);
        }
        if (name == N.init) {
            if (PyDict_Type.tp_init(self, args, kwargs) < 0) return Ref();
            return Ref::borrow(Py_None);
        }
        PyObject* descr = _PyType_Lookup(&PyDict_Type, name);
        if (descr && Py_TYPE(descr)->tp_descr_get) {
            Ref bound = Ref::steal(
                Py_TYPE(descr)->tp_descr_get(descr, self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
            if (!bound) return Ref();
            return Ref::steal(PyObject_Call(bound.get(), args, kwargs));
        }
    }
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

// ============================================================================
// Key hashes
// ============================================================================

// The hash of a key, taken once and reused for every lookup of that key in
// one step. Reuse is sound only where computing the hash again could not be
// told apart from reusing it: no Python code runs and the result cannot
// change. That holds for exact `str`, `int`, `float`, `bool`, `None` and
// exact tuples of these (nested tuples included), the "pure" keys; any other
// key is hashed by every lookup, as the generic path does.
//
// A tuple does not cache its hash, and hashing the keys is most of the cost
// of a warm `select` or `sum`. For pure keys the hash is therefore computed
// here without calls into the interpreter where the answer is plain: the
// tuple hash (xxHash-style lanes) and the hash of an int of at most one
// digit, as CPython 3.11 defines them, and the hash that a `str` caches.
// Everything else goes through PyObject_Hash.
constexpr Py_uhash_t kXXPrime1 = 11400714785074694791ULL;
constexpr Py_uhash_t kXXPrime2 = 14029467366897019727ULL;
constexpr Py_uhash_t kXXPrime5 = 2870177450012600261ULL;
static_assert(sizeof(Py_uhash_t) == 8, "the lane constants are those of 64-bit hashes");

// Hash of an exact int (or bool) of at most one digit, as long_hash gives it.
inline bool small_int_hash(PyObject* o, Py_uhash_t& h) noexcept {
    const digit* d = reinterpret_cast<PyLongObject*>(o)->ob_digit;
    switch (Py_SIZE(o)) {
        case 0:
            h = 0;
            return true;
        case 1:
            h = d[0];
            return true;
        case -1:
            h = static_cast<Py_uhash_t>(d[0] == 1 ? Py_hash_t(-2) : -static_cast<Py_hash_t>(d[0]));
            return true;
        default:
            return false;
    }
}

bool pure_hash(PyObject* key, Py_hash_t& hash, int depth = 0) noexcept;

// The hash of a pure key that is not a tuple; false for any other key.
inline bool pure_atom_hash(PyObject* key, Py_hash_t& hash) noexcept {
    PyTypeObject* t = Py_TYPE(key);
    if (t == &PyLong_Type || t == &PyBool_Type) {
        Py_uhash_t h;
        if (small_int_hash(key, h)) {
            hash = static_cast<Py_hash_t>(h);
            return true;
        }
    } else if (t == &PyUnicode_Type) {
        hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
        if (hash != -1) return true;
    } else if (t != &PyFloat_Type && key != Py_None) {
        return false;
    }
    hash = PyObject_Hash(key);
    if (hash == -1) {
        // Not expected of these types; the generic path will report it.
        PyErr_Clear();
        return false;
    }
    return true;
}

// Sets `hash` and returns true for a pure key; returns false (having run
// nothing observable) for any other key.
bool pure_hash(PyObject* key, Py_hash_t& hash, int depth) noexcept {
    if (Py_TYPE(key) != &PyTuple_Type) return pure_atom_hash(key, hash);
    if (depth > 16) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(key);
    Py_uhash_t acc = kXXPrime5;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(key, i);
        Py_hash_t lane;
        if (Py_TYPE(item) == &PyTuple_Type ? !pure_hash(item, lane, depth + 1) : !pure_atom_hash(item, lane))
            return false;
        acc += static_cast<Py_uhash_t>(lane) * kXXPrime2;
        acc = (acc << 31) | (acc >> 33);
        acc *= kXXPrime1;
    }
    acc += static_cast<Py_uhash_t>(n) ^ (kXXPrime5 ^ 3527539UL);
    hash = acc == static_cast<Py_uhash_t>(-1) ? 1546275796 : static_cast<Py_hash_t>(acc);
    return true;
}

// `self[k]` on an instance whose type still takes item lookup from `dict`
// (its `__getitem__` is dict's own) is `dict`'s subscript: a lookup, then
// for a missing key `__missing__` or KeyError. A heap subclass of dict
// reaches it through the generic slot, which finds the same method.
PyObject* dict_getitem_method = nullptr;
binaryfunc keyshelf_subscript_slot = nullptr;

// A type version tag known to pass the check: the tag changes whenever the
// type (or a base) is modified, so a match proves nothing has changed since.
unsigned int dict_subscript_tag = 0;

bool subscript_is_dicts_slow(PyObject* self) noexcept {
    PyTypeObject* t = Py_TYPE(self);
    if (!PyDict_Check(self) || !t->tp_as_mapping) return false;
    binaryfunc slot = t->tp_as_mapping->mp_subscript;
    if (slot != PyDict_Type.tp_as_mapping->mp_subscript && slot != keyshelf_subscript_slot) return false;
    if (_PyType_Lookup(t, N.getitem) != dict_getitem_method) return false;
    // The lookup has given the type a tag if it had none.
    if (PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG)) dict_subscript_tag = t->tp_version_tag;
    return true;
}

inline bool subscript_is_dicts(PyObject* self) noexcept {
    PyTypeObject* t = Py_TYPE(self);
    // A tag that passed is a dict subclass's, so the instance is a dict.
    if (dict_subscript_tag && t->tp_version_tag == dict_subscript_tag &&
        PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG))
        return true;
    return subscript_is_dicts_slow(self);
}

class KeyHash {
public:
    explicit KeyHash(PyObject* key) noexcept : key_(key) { pure_ = pure_hash(key, hash_); }

    // `mapping[key]` for an exact dict (no `__missing__`), else the generic
    // item lookup. Returns a new reference.
    // CAUTION: may run arbitrary Python code
    Ref getitem(PyObject* mapping) noexcept {
        if (pure_ && PyDict_CheckExact(mapping)) {
            PyObject* v = _PyDict_GetItem_KnownHash(mapping, key_, hash_);
            if (v) return Ref::borrow(v);
            if (PyErr_Occurred()) return Ref();
            PyObject* exc = PyTuple_Pack(1, key_);
            if (exc) {
                PyErr_SetObject(PyExc_KeyError, exc);
                Py_DECREF(exc);
            }
            return Ref();
        }
        return Ref::steal(PyObject_GetItem(mapping, key_));
    }

    // `key in mapping`.
    // CAUTION: may run arbitrary Python code
    int contained_in(PyObject* mapping) noexcept {
        if (pure_ && PyDict_CheckExact(mapping)) {
            return _PyDict_Contains_KnownHash(mapping, key_, hash_);
        }
        return PySequence_Contains(mapping, key_);
    }

    // Item lookup on the instance `self`; `dict_subscript` tells that its
    // type takes item lookup from dict (`subscript_is_dicts`), so a found key
    // needs no more than the dict lookup, and a missing one is left to the
    // generic lookup (which consults `__missing__`).
    // CAUTION: may run arbitrary Python code
    Ref getitem_of_instance(PyObject* self, bool dict_subscript) noexcept {
        if (pure_ && dict_subscript) {
            PyObject* v = _PyDict_GetItem_KnownHash(self, key_, hash_);
            if (v) return Ref::borrow(v);
            if (PyErr_Occurred()) return Ref();
        }
        return Ref::steal(PyObject_GetItem(self, key_));
    }

private:
    PyObject* key_;  // borrowed: the caller holds it for the object's life
    Py_hash_t hash_ = -1;
    bool pure_ = false;
};

// ============================================================================
// The key list
// ============================================================================

// The sort key of the key list: `lambda k: self.__pos.get(k, len(self.__pos) + 1)`.
struct RankFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* owner;  // the keyshelf
};

PyTypeObject RankFunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

// Is `self.<name>` a plain read of the instance dict (no Python code)?
bool plain_instance_attr(PyObject* self, PyObject* name) noexcept {
    PyTypeObject* t = Py_TYPE(self);
    return t->tp_getattro == PyObject_GenericGetAttr && !_PyType_Lookup(t, name);
}

// CAUTION: may run arbitrary Python code
PyObject* rank_of(PyObject* owner, PyObject* key) noexcept {
    Ref pos = get_attr(owner, N.pos);
    if (!pos) return nullptr;
    if (PyDict_CheckExact(pos.get()) && plain_instance_attr(owner, N.pos)) {
        // `pos.get` is dict.get and the second read of `self.__pos` yields the
        // same map: nothing between the two reads can run Python code.
        const Py_ssize_t n = PyDict_GET_SIZE(pos.get());
        PyObject* r = PyDict_GetItemWithError(pos.get(), key);
        if (r) return Py_NewRef(r);
        if (PyErr_Occurred()) return nullptr;
        return PyLong_FromSsize_t(n + 1);
    }
    Ref get = vk::getattr(pos.get(), N.get);
    if (!get) return nullptr;
    Ref pos_again = get_attr(owner, N.pos);
    if (!pos_again) return nullptr;
    const Py_ssize_t n = PyObject_Length(pos_again.get());
    if (n < 0) return nullptr;
    Ref fallback = Ref::steal(PyLong_FromSsize_t(n + 1));
    if (!fallback) return nullptr;
    return vk::call(get.get(), {key, fallback.get()}).release();
}

PyObject* rank_function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) noexcept {
    auto* self = reinterpret_cast<RankFunction*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if ((kwnames && PyTuple_GET_SIZE(kwnames)) || nargs != 1) {
        PyErr_Format(PyExc_TypeError, "lambda() takes exactly 1 positional argument (%zd given)", nargs);
        return nullptr;
    }
    // Cleared only when the collector breaks a cycle through it.
    Ref owner = Ref::borrow(self->owner);
    PyObject* r = owner ? rank_of(owner.get(), args[0]) : nullptr;
    if (!owner) PyErr_SetString(PyExc_ReferenceError, "the keyshelf of this sort key is gone");
    if (!r)
        vk::add_traceback_entry("varnokpy._keyshelf.keyshelf._keys_internal.lambda", kSource, tbf.keys_internal_line);
    return r;
}

int rank_function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<RankFunction*>(self)->owner);
    return 0;
}

int rank_function_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<RankFunction*>(self)->owner);
    return 0;
}

void rank_function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    rank_function_clear(self);
    PyObject_GC_Del(self);
}

int ready_rank_function_type() noexcept {
    if (RankFunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    RankFunctionType.tp_name = "keyshelf_rank_function";
    RankFunctionType.tp_basicsize = sizeof(RankFunction);
    RankFunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    RankFunctionType.tp_vectorcall_offset = offsetof(RankFunction, vectorcall);
    RankFunctionType.tp_call = PyVectorcall_Call;
    RankFunctionType.tp_dealloc = rank_function_dealloc;
    RankFunctionType.tp_traverse = rank_function_traverse;
    RankFunctionType.tp_clear = rank_function_clear;
    return PyType_Ready(&RankFunctionType);
}

Ref make_rank_function(PyObject* owner) noexcept {
    RankFunction* f = PyObject_GC_New(RankFunction, &RankFunctionType);
    if (!f) return Ref();
    f->vectorcall = rank_function_vectorcall;
    f->owner = Py_NewRef(owner);
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

// _keys_internal(self)
// CAUTION: may run arbitrary Python code
PyObject* keyshelf_keys_internal(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    Ref current = get_attr(self, N.keylist);
    if (!current) return nullptr;
    int built = PyObject_IsTrue(current.get());
    if (built < 0) return nullptr;
    if (built) return current.release();
    current.reset();

    // rowsieve(dict.keys(self), self.wild)
    Ref cls = g_rowsieve.get(frame);
    if (!cls) return nullptr;
    PyObject* keys_descr = _PyType_Lookup(&PyDict_Type, N.keys);
    if (!keys_descr) {
        PyErr_SetString(PyExc_SystemError, "dict.keys is missing");
        return nullptr;
    }
    Ref view = vk::call(keys_descr, {self});
    if (!view) return nullptr;
    Ref wild = get_attr(self, N.wild);
    if (!wild) return nullptr;
    Ref keylist = vk::call(cls.get(), {view.get(), wild.get()});
    if (!keylist) return nullptr;
    view.reset();
    if (set_attr(self, N.keylist, keylist.get()) < 0) return nullptr;

    // keylist.sort(key=...), the base list's stable sort unless the class
    // bound to `rowsieve` says otherwise.
    Ref rank = make_rank_function(self);
    if (!rank) return nullptr;
    PyObject* stack[] = {nullptr, keylist.get(), rank.get()};
    Ref sorted = Ref::steal(
        PyObject_VectorcallMethod(N.sort, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kSortKwnames));
    if (!sorted) return nullptr;
    return keylist.release();
}

// ============================================================================
// Construction and mutators
// ============================================================================

// __init__(self, *args, **kwargs)
PyObject* keyshelf_init(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *args = a[1], *kwargs = a[2];
    Ref r = super_keyshelf_call(self, N.init, args, kwargs);
    if (!r) return nullptr;
    if (set_attr(self, N.wild, kStar) < 0) return nullptr;
    Ref pos = Ref::steal(PyDict_New());
    if (!pos || set_attr(self, N.pos, pos.get()) < 0) return nullptr;
    if (call_clean(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

// clean(self)
PyObject* keyshelf_clean(vk::Function*, PyObject* const* a) noexcept {
    if (set_attr(a[0], N.keylist, Py_None) < 0) return nullptr;
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
    if (set_attr(self, N.pos, map.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// __setitem__(self, *args, **kwargs)
// CAUTION: may run arbitrary Python code
PyObject* keyshelf_setitem(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *args = a[1], *kwargs = a[2];
    Ref r = super_keyshelf_call(self, N.setitem, args, kwargs);
    if (!r) return nullptr;
    // self.__pos[args[0]] = len(self.__pos)
    Ref pos = get_attr(self, N.pos);
    if (!pos) return nullptr;
    const Py_ssize_t n = PyObject_Length(pos.get());
    if (n < 0) return nullptr;
    Ref position = Ref::steal(PyLong_FromSsize_t(n));
    if (!position) return nullptr;
    pos = get_attr(self, N.pos);
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

// ============================================================================
// Generators
// ============================================================================

// `self._keys_internal().select(*vals)`, dispatched as the class's own code
// does it.
// CAUTION: may run arbitrary Python code
Ref selection_of(PyObject* self, PyObject* vals) noexcept {
    Ref keylist = vk::call_method(N.keys_internal, {self});
    if (!keylist) return Ref();
    return call_method_star(N.select, keylist.get(), vals);
}

// _iteritems_internal(self, *vals) and iteritems(self, *vals): the pairs
// (k, self[k]) of the selection, in selection order; `iteritems` warns first.
class PairsBody final : public vk::GenBody {
public:
    PairsBody(PyObject* self, PyObject* vals, PyObject* warning) noexcept
        : self_(Ref::borrow(self)), vals_(Ref::borrow(vals)), warning_(warning) {}

    // CAUTION: may run arbitrary Python code
    PyObject* resume() noexcept override {
        if (!self_) return nullptr;  // cleared by the collector: exhausted
        if (!it_) {
            if (warning_ && warn_deprecated(warning_) < 0) return nullptr;
            Ref selection = selection_of(self_.get(), vals_.get());
            if (!selection) return nullptr;
            it_ = Ref::steal(PyObject_GetIter(selection.get()));
            if (!it_) return nullptr;
        }
        Ref it = it_.dup();
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key) return nullptr;
        Ref value = Ref::steal(PyObject_GetItem(self_.get(), key.get()));
        if (!value) return nullptr;
        return PyTuple_Pack(2, key.get(), value.get());
    }
    int traverse(visitproc visit, void* arg) noexcept override {
        Py_VISIT(self_.get());
        Py_VISIT(vals_.get());
        Py_VISIT(it_.get());
        return 0;
    }
    void clear() noexcept override {
        it_.reset();
        vals_.reset();
        self_.reset();
    }

private:
    Ref self_, vals_, it_;
    PyObject* warning_;  // interned for the process, or nullptr
};

// __iter__(self), iterkeys(self), itervalues(self): walk what `self.keys()`
// returns; `itervalues` yields self[k] instead of k. The deprecated ones warn
// first.
class KeysBody final : public vk::GenBody {
public:
    KeysBody(PyObject* self, PyObject* warning, bool values) noexcept
        : self_(Ref::borrow(self)), warning_(warning), values_(values) {}

    // CAUTION: may run arbitrary Python code
    PyObject* resume() noexcept override {
        if (!self_) return nullptr;  // cleared by the collector: exhausted
        if (!it_) {
            if (warning_ && warn_deprecated(warning_) < 0) return nullptr;
            Ref keys = vk::call_method(N.keys, {self_.get()});
            if (!keys) return nullptr;
            it_ = Ref::steal(PyObject_GetIter(keys.get()));
            if (!it_) return nullptr;
        }
        Ref it = it_.dup();
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key || !values_) return key.release();
        return PyObject_GetItem(self_.get(), key.get());
    }
    int traverse(visitproc visit, void* arg) noexcept override {
        Py_VISIT(self_.get());
        Py_VISIT(it_.get());
        return 0;
    }
    void clear() noexcept override {
        it_.reset();
        self_.reset();
    }

private:
    Ref self_, it_;
    PyObject* warning_;
    bool values_;
};

// The generator expressions that feed `_sum_terms`:
//   sum:          (v for k, v in self._iteritems_internal(*vals))
//   prod, walk d: (w * self[k] for k, w in d.items() if k in self)
//   prod, walk s: (d[k] * v for k, v in self._iteritems_internal(*vals) if k in d)
//   prod, list:   (w * self[i] for i, w in enumerate(d) if i in self)
class TermsBody final : public vk::GenBody {
public:
    enum Kind { Values, CoefficientsFirst, SelectionFirst };

    TermsBody(Kind kind, PyObject* it, PyObject* owner) noexcept
        : kind_(kind), it_(Ref::borrow(it)), owner_(Ref::borrow(owner)) {}

    // CAUTION: may run arbitrary Python code
    PyObject* resume() noexcept override {
        if (!it_ || !owner_) return nullptr;  // cleared by the collector: exhausted
        Ref it = it_.dup();
        Ref owner = owner_.dup();
        for (;;) {
            Ref pair = Ref::steal(PyIter_Next(it.get()));
            if (!pair) return nullptr;
            Ref key, value;
            if (unpack_pair(pair.get(), key, value) < 0) return nullptr;
            pair.reset();
            if (kind_ == Values) return value.release();
            int found = PySequence_Contains(owner.get(), key.get());
            if (found < 0) return nullptr;
            if (!found) continue;
            Ref other = Ref::steal(PyObject_GetItem(owner.get(), key.get()));
            if (!other) return nullptr;
            // The coefficient is always the left operand.
            if (kind_ == CoefficientsFirst) return PyNumber_Multiply(value.get(), other.get());
            return PyNumber_Multiply(other.get(), value.get());
        }
    }
    int traverse(visitproc visit, void* arg) noexcept override {
        Py_VISIT(it_.get());
        Py_VISIT(owner_.get());
        return 0;
    }
    void clear() noexcept override {
        it_.reset();
        owner_.reset();
    }

private:
    Kind kind_;
    Ref it_;     // the iterator of the outermost iterable
    Ref owner_;  // the mapping of the membership test and item lookup
};

const int kSumGenexprLine = __LINE__;
const int kProdGenexprLine = __LINE__;

// Creates a generator expression of `enclosing` over `iterable`: the
// iterator is taken in the enclosing function, as Python does.
// CAUTION: may run arbitrary Python code
Ref make_genexpr(const char* enclosing_tb, const char* qualname, int line, TermsBody::Kind kind, PyObject* iterable,
                 PyObject* owner) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) {
        std::string name = std::string(enclosing_tb) + ".genexpr";
        vk::add_traceback_entry(name.c_str(), kSource, line);
        return Ref();
    }
    auto* body = new (std::nothrow) TermsBody(kind, it.get(), owner);
    if (!body) {
        PyErr_NoMemory();
        return Ref();
    }
    return vk::make_generator("genexpr", qualname, kSource, line, body);
}

PyObject* keyshelf_iteritems_internal(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) PairsBody(a[0], a[1], nullptr)).release();
}
PyObject* keyshelf_iteritems(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) PairsBody(a[0], a[1], kIteritemsWarning)).release();
}
PyObject* keyshelf_iter(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) KeysBody(a[0], nullptr, false)).release();
}
PyObject* keyshelf_iterkeys(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) KeysBody(a[0], kIterkeysWarning, false)).release();
}
PyObject* keyshelf_itervalues(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) KeysBody(a[0], kItervaluesWarning, true)).release();
}

// ============================================================================
// Views
// ============================================================================

// keys(self)
// CAUTION: may run arbitrary Python code
PyObject* keyshelf_keys(vk::Function* fn, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    int on = legacy_on();
    if (on < 0) return nullptr;
    if (!on) return super_cell_call(fn, self, N.keys).release();
    if (warn_deprecated(kLegacyWarning) < 0) return nullptr;
    return vk::call_method(N.keys_internal, {self}).release();
}

// The legacy lists of values() and items(): self[k] (or (k, self[k])) for
// every key of the key list. The loop stands for a generator expression, so
// a failure in it names "genexpr" before the method.
// CAUTION: may run arbitrary Python code
PyObject* legacy_list(vk::Function* fn, PyObject* self, bool pairs, int line) noexcept {
    if (warn_deprecated(kLegacyWarning) < 0) return nullptr;
    Ref keylist = vk::call_method(N.keys_internal, {self});
    if (!keylist) return nullptr;
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(keylist.get()));
    if (!it) {
        std::string name = std::string(fn->tb_name) + ".genexpr";
        vk::add_traceback_entry(name.c_str(), kSource, line);
        return nullptr;
    }
    for (;;) {
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key) {
            if (PyErr_Occurred()) break;
            return result.release();
        }
        Ref value = Ref::steal(PyObject_GetItem(self, key.get()));
        if (!value) break;
        Ref item = pairs ? Ref::steal(PyTuple_Pack(2, key.get(), value.get())) : std::move(value);
        if (!item || PyList_Append(result.get(), item.get()) < 0) break;
    }
    vk::add_traceback_entry("genexpr", kSource, line);
    return nullptr;
}

// values(self)
PyObject* keyshelf_values(vk::Function* fn, PyObject* const* a) noexcept {
    int on = legacy_on();
    if (on < 0) return nullptr;
    if (!on) return super_cell_call(fn, a[0], N.values).release();
    return legacy_list(fn, a[0], false, __LINE__);
}

// items(self)
PyObject* keyshelf_items(vk::Function* fn, PyObject* const* a) noexcept {
    int on = legacy_on();
    if (on < 0) return nullptr;
    if (!on) return super_cell_call(fn, a[0], N.items).release();
    return legacy_list(fn, a[0], true, __LINE__);
}

// ============================================================================
// Selection, subset, aggregation
// ============================================================================

struct NoSizeHint {
    void operator()(Py_ssize_t) const noexcept {}
};

// One walk over the selection as `_iteritems_internal` makes it, run inline
// by the fast paths. `visit(key, hash, value)` gets each key with its value,
// read at the moment the pair would have been produced; a failure of the
// walk itself (key list, select, iteration, value lookup) carries the
// generator's traceback entry. `size_hint` learns the selection's length
// when it is known in advance.
// CAUTION: may run arbitrary Python code
template <class Visit, class SizeHint = NoSizeHint>
int walk_selection(PyObject* self, PyObject* vals, Visit&& visit, SizeHint&& size_hint = SizeHint()) noexcept {
    Ref selection = selection_of(self, vals);
    if (!selection) {
        add_generator_entry(tbf.iteritems_internal);
        return -1;
    }
    auto fail_walk = [&]() noexcept {
        add_generator_entry(tbf.iteritems_internal);
        return -1;
    };
    auto step = [&](KeyHash& hash, PyObject* key) noexcept -> int {
        // Checked at every step: the previous step may have run Python code
        // that changed the class.
        Ref value = hash.getitem_of_instance(self, subscript_is_dicts(self));
        if (!value) return fail_walk();
        return visit(key, hash, value.get());
    };
    PyObject* sel = selection.get();
    if (PyList_Check(sel) && Py_TYPE(sel)->tp_iter == PyList_Type.tp_iter) {
        // The list iterator's walk: the size is read again at every step,
        // since a step may run Python code that changes the list.
        size_hint(PyList_GET_SIZE(sel));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sel); ++i) {
            Ref key = Ref::borrow(PyList_GET_ITEM(sel, i));
            KeyHash hash(key.get());
            if (step(hash, key.get()) < 0) return -1;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(sel));
    if (!it) return fail_walk();
    for (;;) {
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key) return PyErr_Occurred() ? fail_walk() : 0;
        KeyHash hash(key.get());
        if (step(hash, key.get()) < 0) return -1;
    }
}

// Is `self._iteritems_internal` this module's own, with `method` resolved?
// The walks that run its body inline ask; while a profile function is set
// they are not taken: it would miss the calls they stand in for.
bool own_iteritems(const Method& method) noexcept {
    return method.is(load.iteritems_internal) && !vk::profiling_active();
}

// select(self, *vals)
// CAUTION: may run arbitrary Python code
PyObject* keyshelf_select(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *vals = a[1];
    Method method = resolve_method(self, N.iteritems_internal);
    if (!method) return nullptr;
    ValueBuffer values;
    if (own_iteritems(method)) {
        int r = walk_selection(self, vals, [&](PyObject*, KeyHash&, PyObject* value) noexcept {
            return values.push(value);
        }, [&](Py_ssize_t n) noexcept { values.reserve(n); });
        return r < 0 ? nullptr : values.to_list().release();
    }
    Ref pairs = call_resolved(method, self, vals);
    if (!pairs) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(pairs.get()));
    if (!it) return nullptr;
    for (;;) {
        Ref pair = Ref::steal(PyIter_Next(it.get()));
        if (!pair) return PyErr_Occurred() ? nullptr : values.to_list().release();
        Ref key, value;
        if (unpack_pair(pair.get(), key, value) < 0) return nullptr;
        if (values.push(value.get()) < 0) return nullptr;
    }
}

// subset(self, *vals)
// CAUTION: may run arbitrary Python code
PyObject* keyshelf_subset(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *vals = a[1];
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
    Ref wild = get_attr(self, N.wild);
    if (!wild || set_attr(d.get(), N.wild, wild.get()) < 0) return nullptr;
    return d.release();
}

// The accumulation of `_sum_terms`, run inline: `result = LinExpr()` (the
// global read now), then `result += term` for every term in order.
//
// While the running result and the terms are exact floats, `+=` is float
// addition, which makes a new float per step that nothing else sees: the sum
// is then kept as a double and boxed once, when a term of another type
// arrives or at the end. A product of two exact floats, which would be such
// an unseen float too, is folded in the same way. The arithmetic is the same
// IEEE operations in the same order (the product is stored before it is
// added, so it cannot be fused into one rounding).
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
        if (PyFloat_CheckExact(term) && unboxed_or_float()) {
            total_ += PyFloat_AS_DOUBLE(term);
            return 0;
        }
        if (box() < 0) return fail_adding();
        Ref sum = Ref::steal(PyNumber_InPlaceAdd(result_.get(), term));
        if (!sum) return fail_adding();
        result_ = std::move(sum);
        return 0;
    }

    // result += coefficient * value; a failed product is the term's.
    // CAUTION: may run arbitrary Python code
    int add_product(PyObject* coefficient, PyObject* value) noexcept {
        if (PyFloat_CheckExact(coefficient) && PyFloat_CheckExact(value) && unboxed_or_float()) {
            volatile double product = PyFloat_AS_DOUBLE(coefficient) * PyFloat_AS_DOUBLE(value);
            total_ += product;
            return 0;
        }
        Ref term = Ref::steal(PyNumber_Multiply(coefficient, value));
        if (!term) return -1;
        return add(term.get());
    }

    bool adding_failed() const noexcept { return adding_failed_; }

    Ref finish() noexcept {
        if (box() < 0) return Ref();
        return std::move(result_);
    }

private:
    // Can the next float term be added to the double? Unboxes a float result.
    bool unboxed_or_float() noexcept {
        if (!boxed_) return true;
        if (!PyFloat_CheckExact(result_.get())) return false;
        total_ = PyFloat_AS_DOUBLE(result_.get());
        boxed_ = false;
        return true;
    }
    int box() noexcept {
        if (boxed_) return 0;
        Ref f = Ref::steal(PyFloat_FromDouble(total_));
        if (!f) return -1;
        result_ = std::move(f);
        boxed_ = true;
        return 0;
    }
    int fail_adding() noexcept {
        adding_failed_ = true;
        return -1;
    }

    Ref result_;
    double total_ = 0.0;
    bool boxed_ = true;
    bool adding_failed_ = false;
};

// Runs `produce(sum)` on an inline accumulation and returns the result.
// Failures carry the traceback entries of the frames that the Python-level
// form would have shown: the generator expression and `_sum_terms` for a
// failing term, `_sum_terms` for a failing addition.
// CAUTION: may run arbitrary Python code
template <class Produce>
PyObject* accumulate_inline(int genexpr_line, Produce&& produce) noexcept {
    InlineSum sum;
    if (sum.start() < 0) {
        add_function_entry(tbf.sum_terms);
        return nullptr;
    }
    if (produce(sum) < 0) {
        if (!sum.adding_failed()) vk::add_traceback_entry("genexpr", kSource, genexpr_line);
        add_function_entry(tbf.sum_terms);
        return nullptr;
    }
    Ref result = sum.finish();
    if (!result) add_function_entry(tbf.sum_terms);
    return result.release();
}

// sum(self, *vals)
// CAUTION: may run arbitrary Python code
PyObject* keyshelf_sum(vk::Function* fn, PyObject* const* a) noexcept {
    PyObject *self = a[0], *vals = a[1];
    Ref sum_terms = g_sum_terms.get(frame);
    if (!sum_terms) return nullptr;
    Method method = resolve_method(self, N.iteritems_internal);
    if (!method) return nullptr;
    if (sum_terms.get() == load.sum_terms && own_iteritems(method)) {
        return accumulate_inline(kSumGenexprLine, [&](InlineSum& sum) noexcept {
            return walk_selection(self, vals, [&](PyObject*, KeyHash&, PyObject* value) noexcept {
                return sum.add(value);
            });
        });
    }
    Ref pairs = call_resolved(method, self, vals);
    if (!pairs) return nullptr;
    Ref gen = make_genexpr(fn->tb_name, "keyshelf.sum.<locals>.genexpr", kSumGenexprLine, TermsBody::Values,
                           pairs.get(), Py_None);
    if (!gen) return nullptr;
    return vk::call(sum_terms.get(), {gen.get()}).release();
}

// prod, a dict of coefficients: walk the smaller side.
// CAUTION: may run arbitrary Python code
PyObject* prod_with_dict(vk::Function* fn, PyObject* self, PyObject* d, PyObject* vals) noexcept {
    bool walk_coefficients = false;
    if (PyTuple_GET_SIZE(vals) == 0) {
        const Py_ssize_t nd = PyObject_Length(d);
        if (nd < 0) return nullptr;
        const Py_ssize_t ns = PyObject_Length(self);
        if (ns < 0) return nullptr;
        walk_coefficients = nd < ns;
    }
    Ref sum_terms = g_sum_terms.get(frame);
    if (!sum_terms) return nullptr;
    if (walk_coefficients) {
        Ref items = vk::call_method(N.items, {d});
        if (!items) return nullptr;
        Ref gen = make_genexpr(fn->tb_name, "keyshelf.prod.<locals>.genexpr", kProdGenexprLine,
                               TermsBody::CoefficientsFirst, items.get(), self);
        if (!gen) return nullptr;
        return vk::call(sum_terms.get(), {gen.get()}).release();
    }
    Method method = resolve_method(self, N.iteritems_internal);
    if (!method) return nullptr;
    if (sum_terms.get() == load.sum_terms && own_iteritems(method)) {
        return accumulate_inline(kProdGenexprLine, [&](InlineSum& sum) noexcept {
            return walk_selection(self, vals, [&](PyObject*, KeyHash& key, PyObject* value) noexcept -> int {
                int found = key.contained_in(d);
                if (found <= 0) return found;
                Ref coefficient = key.getitem(d);
                if (!coefficient) return -1;
                return sum.add_product(coefficient.get(), value);
            });
        });
    }
    Ref pairs = call_resolved(method, self, vals);
    if (!pairs) return nullptr;
    Ref gen = make_genexpr(fn->tb_name, "keyshelf.prod.<locals>.genexpr", kProdGenexprLine, TermsBody::SelectionFirst,
                           pairs.get(), d);
    if (!gen) return nullptr;
    return vk::call(sum_terms.get(), {gen.get()}).release();
}

// Replaces the pending exception by TypeError("Invalid keyshelf.prod
// argument") raised while the first one is being handled, so that the first
// one becomes its context (as `raise` inside an `except` block does).
void replace_with_invalid_argument() noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    _PyErr_StackItem* handled = PyThreadState_Get()->exc_info;
    PyObject* outer = handled->exc_value;
    handled->exc_value = Py_NewRef(value ? value : Py_None);
    PyErr_SetObject(builtin(B_TypeError), kInvalidArgument);
    PyObject* ours = handled->exc_value;
    handled->exc_value = outer;
    Py_XDECREF(ours);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

// prod, a list of coefficients by position.
// CAUTION: may run arbitrary Python code
PyObject* prod_with_list(vk::Function* fn, PyObject* self, PyObject* d) noexcept {
    Ref result;
    if (Ref sum_terms = g_sum_terms.get(frame)) {
        if (Ref pairs = vk::call(builtin(B_enumerate), {d})) {
            Ref gen = make_genexpr(fn->tb_name, "keyshelf.prod.<locals>.genexpr", kProdGenexprLine,
                                   TermsBody::CoefficientsFirst, pairs.get(), self);
            if (gen) result = vk::call(sum_terms.get(), {gen.get()});
        }
    }
    if (result) return result.release();
    // Interrupts and exits are not argument errors: only Exception
    // subclasses are replaced.
    if (PyErr_ExceptionMatches(PyExc_Exception)) replace_with_invalid_argument();
    return nullptr;
}

// prod(self, d, *vals)
PyObject* keyshelf_prod(vk::Function* fn, PyObject* const* a) noexcept {
    PyObject *self = a[0], *d = a[1], *vals = a[2];
    if (PyDict_Check(d)) return prod_with_dict(fn, self, d, vals);
    if (PyList_Check(d) && PyTuple_GET_SIZE(vals) == 0) return prod_with_list(fn, self, d);
    PyErr_SetObject(builtin(B_TypeError), kNeedsDict);
    return nullptr;
}

// _sum_terms(terms)
// CAUTION: may run arbitrary Python code
PyObject* sum_terms(vk::Function*, PyObject* const* a) noexcept {
    Ref linexpr = g_LinExpr.get(frame);
    if (!linexpr) return nullptr;
    Ref result = vk::call(linexpr.get(), {});
    if (!result) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(a[0]));
    if (!it) return nullptr;
    for (;;) {
        Ref term = Ref::steal(PyIter_Next(it.get()));
        if (!term) return PyErr_Occurred() ? nullptr : result.release();
        Ref sum = Ref::steal(PyNumber_InPlaceAdd(result.get(), term.get()));
        if (!sum) return nullptr;
        result = std::move(sum);
    }
}

// ============================================================================
// Module body
// ============================================================================

const char kClassDoc[] =
    "\n"
    "  Custom Varnok class: keyshelf is a subclass of dict where\n"
    "  the keys are a rowsieve.\n"
    "  ";

const char kSumTermsDoc[] =
    "\n"
    "  ROUTINE:\n"
    "    _sum_terms(terms)\n"
    "\n"
    "  PURPOSE:\n"
    "    Accumulate a list or iterator of terms into a single expression, as\n"
    "    quicksum does, without that function's special cases. Meant for the\n"
    "    keyshelf's own use.\n"
    "  ";

// Line numbers name the statement's place in this source for tracebacks.
const vk::FunctionSpec kSumTerms = {"_sum_terms", "_sum_terms", "terms", sum_terms, kSumTermsDoc,
                                    __LINE__, false};
const vk::FunctionSpec kInit = {"__init__", "keyshelf.__init__", "self, *args, **kwargs", keyshelf_init,
                                nullptr, __LINE__, false};
const vk::FunctionSpec kClean = {"clean", "keyshelf.clean", "self", keyshelf_clean, nullptr, __LINE__,
                                 false};
const vk::FunctionSpec kSetord = {"setord", "keyshelf.setord", "self, ord", keyshelf_setord, nullptr,
                                  __LINE__, false};
const vk::FunctionSpec kIteritems = {"iteritems", "keyshelf.iteritems", "self, *vals", keyshelf_iteritems,
                                     nullptr, __LINE__, true};
const vk::FunctionSpec kIterkeys = {"iterkeys", "keyshelf.iterkeys", "self", keyshelf_iterkeys, nullptr,
                                    __LINE__, true};
const vk::FunctionSpec kItervalues = {"itervalues", "keyshelf.itervalues", "self", keyshelf_itervalues,
                                      nullptr, __LINE__, true};
const vk::FunctionSpec kKeys = {"keys", "keyshelf.keys", "self", keyshelf_keys, nullptr, __LINE__, false};
const vk::FunctionSpec kValues = {"values", "keyshelf.values", "self", keyshelf_values, nullptr, __LINE__,
                                  false};
const vk::FunctionSpec kItems = {"items", "keyshelf.items", "self", keyshelf_items, nullptr, __LINE__,
                                 false};
const vk::FunctionSpec kIter = {"__iter__", "keyshelf.__iter__", "self", keyshelf_iter, nullptr, __LINE__,
                                true};
const vk::FunctionSpec kKeysInternal = {"_keys_internal", "keyshelf._keys_internal", "self",
                                        keyshelf_keys_internal, nullptr, __LINE__, false};
const vk::FunctionSpec kIteritemsInternal = {"_iteritems_internal", "keyshelf._iteritems_internal", "self, *vals",
                                             keyshelf_iteritems_internal, nullptr, __LINE__, true};
const vk::FunctionSpec kSubset = {"subset", "keyshelf.subset", "self, *vals", keyshelf_subset, nullptr,
                                  __LINE__, false};
const vk::FunctionSpec kSelect = {"select", "keyshelf.select", "self, *vals", keyshelf_select, nullptr,
                                  __LINE__, false};
const vk::FunctionSpec kSum = {"sum", "keyshelf.sum", "self, *vals", keyshelf_sum, nullptr, __LINE__,
                               false};
const vk::FunctionSpec kProd = {"prod", "keyshelf.prod", "self, d, *vals", keyshelf_prod, nullptr,
                                __LINE__, false};
const vk::FunctionSpec kDelItem = {"__delitem__", "keyshelf.__delitem__", "self, *args, **kwargs",
                                   keyshelf_delitem, nullptr, __LINE__, false};
const vk::FunctionSpec kSetItem = {"__setitem__", "keyshelf.__setitem__", "self, *args, **kwargs",
                                   keyshelf_setitem, nullptr, __LINE__, false};
const vk::FunctionSpec kClear = {"clear", "keyshelf.clear", "self, *args, **kwargs", keyshelf_clear,
                                 nullptr, __LINE__, false};
const vk::FunctionSpec kPop = {"pop", "keyshelf.pop", "self, *args", keyshelf_pop, nullptr, __LINE__,
                               false};
const vk::FunctionSpec kPopitem = {"popitem", "keyshelf.popitem", "self, *args", keyshelf_popitem,
                                   nullptr, __LINE__, false};
const vk::FunctionSpec kUpdate = {"update", "keyshelf.update", "self, *args", keyshelf_update, nullptr,
                                  __LINE__, false};

vk::Function* as_function(const Ref& r) noexcept { return reinterpret_cast<vk::Function*>(r.get()); }

int module_body(vk::ModuleFrame& f) noexcept {
    // import warnings
    if (f.import_module("warnings") < 0) return -1;
    // from varnokpy._core import LinExpr
    const char* const core_names[] = {"LinExpr", nullptr};
    if (f.import_from("varnokpy._core", core_names) < 0) return -1;
    // from varnokpy._rowsieve import rowsieve
    const char* const rowsieve_names[] = {"rowsieve", nullptr};
    if (f.import_from("varnokpy._rowsieve", rowsieve_names) < 0) return -1;

    // def _sum_terms(terms)
    Ref sum_terms_fn = vk::make_function(f, kSumTerms, Ref());
    if (!sum_terms_fn) return -1;
    if (f.bind("_sum_terms", sum_terms_fn.dup()) < 0) return -1;

    // class keyshelf(dict)
    Ref keys_fn = vk::make_function(f, kKeys, Ref());
    Ref values_fn = vk::make_function(f, kValues, Ref());
    Ref items_fn = vk::make_function(f, kItems, Ref());
    Ref keys_internal_fn = vk::make_function(f, kKeysInternal, Ref());
    Ref iteritems_internal_fn = vk::make_function(f, kIteritemsInternal, Ref());
    if (!keys_fn || !values_fn || !items_fn || !keys_internal_fn || !iteritems_internal_fn) return -1;
    vk::ClassEntry entries[] = {
        {"_legacy_keyshelf_behavior", Ref::borrow(Py_False)},
        {"__init__", vk::make_function(f, kInit, Ref())},
        {"clean", vk::make_function(f, kClean, Ref())},
        {"setord", vk::make_function(f, kSetord, Ref())},
        {"iteritems", vk::make_function(f, kIteritems, Ref())},
        {"iterkeys", vk::make_function(f, kIterkeys, Ref())},
        {"itervalues", vk::make_function(f, kItervalues, Ref())},
        {"keys", keys_fn.dup()},
        {"values", values_fn.dup()},
        {"items", items_fn.dup()},
        {"__iter__", vk::make_function(f, kIter, Ref())},
        {"_keys_internal", keys_internal_fn.dup()},
        {"_iteritems_internal", iteritems_internal_fn.dup()},
        {"subset", vk::make_function(f, kSubset, Ref())},
        {"select", vk::make_function(f, kSelect, Ref())},
        {"sum", vk::make_function(f, kSum, Ref())},
        {"prod", vk::make_function(f, kProd, Ref())},
        {"__delitem__", vk::make_function(f, kDelItem, Ref())},
        {"__setitem__", vk::make_function(f, kSetItem, Ref())},
        {"clear", vk::make_function(f, kClear, Ref())},
        {"pop", vk::make_function(f, kPop, Ref())},
        {"popitem", vk::make_function(f, kPopitem, Ref())},
        {"update", vk::make_function(f, kUpdate, Ref())},
    };
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyDict_Type)));
    if (!bases) return -1;
    Ref cls = vk::create_class(f, "keyshelf", bases.get(), kClassDoc, entries, std::size(entries));
    if (!cls) return -1;
    // keys, values and items use the zero-argument form of super().
    for (const Ref* fn : {&keys_fn, &values_fn, &items_fn}) vk::set_class_cell(fn->get(), cls.get());

    keyshelf_subscript_slot = reinterpret_cast<PyTypeObject*>(cls.get())->tp_as_mapping->mp_subscript;
    vk::set_field(dict_getitem_method, Ref::borrow(_PyType_Lookup(&PyDict_Type, N.getitem)));
    if (!dict_getitem_method) {
        PyErr_SetString(PyExc_SystemError, "dict.__getitem__ is missing");
        return -1;
    }
    vk::set_field(load.sum_terms, sum_terms_fn.dup());
    vk::set_field(load.iteritems_internal, iteritems_internal_fn.dup());
    tbf.sum_terms = as_function(sum_terms_fn);
    tbf.iteritems_internal = as_function(iteritems_internal_fn);
    tbf.keys_internal_line = as_function(keys_internal_fn)->line;
    // copy, deepcopy and pickle: the dict's items, the instance attributes,
    // an independent position map, and no key list.
    static const char* const kFreshNone[] = {"_keyshelf__keys", nullptr};
    static const char* const kCopied[] = {"_keyshelf__pos", nullptr};
    static const vk::CopyRecipe kCopy = {&PyDict_Type, nullptr, kFreshNone, kCopied};
    if (vk::register_copy_support(cls.get(), &kCopy) < 0) return -1;
    return f.bind("keyshelf", std::move(cls));
}

}  // namespace
