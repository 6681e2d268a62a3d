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
// Shortcuts. The methods below are the general steps. The ones a modeller
// calls in tight loops (`select`, `sum`, `prod`, the `dict` calls through
// `super`, the sort key) first try a shortcut from _keyshelf_native.hpp,
// which reaches the same answer in C when its guards prove that nothing
// could tell the difference, and otherwise leaves the general steps to run.
#include "frame.hpp"

#include "cpython311.hpp"

#include <algorithm>
#include <climits>
#include <iterator>
#include <new>
#include <string>

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

// Objects bound at load. The module's own functions are kept alive here, so
// that an identity test against them can never match a newer object that
// happens to reuse the address of a deleted one; they also name the
// traceback entries of the calls a shortcut stands in for.
struct LoadTime {
    PyObject* sum_terms = nullptr;           // `_sum_terms`
    PyObject* iteritems_internal = nullptr;  // `keyshelf._iteritems_internal`
    PyObject* rank_prototype = nullptr;      // the sort key, closed over a keyshelf per build
    PyObject* dict_keys = nullptr;           // `dict.keys`
    PyObject* dict_getitem = nullptr;        // `dict.__getitem__`
    PyObject* list_sort = nullptr;           // `list.sort`
    binaryfunc keyshelf_subscript = nullptr; // the item-lookup slot of `keyshelf`
} load;

// How often each shortcut was taken (when VARNOK_COUNT_SHORTCUTS is set).
vk::ShortcutCounter count_select("select"), count_sum("sum"), count_prod("prod"), count_sort("sort"),
    count_rank("rank"), count_super("super");

// The lines of the generator expressions that feed `_sum_terms` in `sum` and
// `prod` (traceback entries).
const int kSumGenexprLine = __LINE__;
const int kProdGenexprLine = __LINE__;

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

PyObject* rank_of_key(vk::Function* fn, PyObject* const* a) noexcept;

// lambda k: self.__pos.get(k, len(self.__pos) + 1), inside _keys_internal.
const vk::FunctionSpec kRank = {"lambda_", "keyshelf._keys_internal.<locals>.<lambda>", "k", rank_of_key, nullptr,
                                __LINE__, false, true};

int module_prebuilt(vk::ModuleFrame& f) noexcept {
    if (!kSortKwnames) {
        PyObject* key = vk::intern("key");
        if (!key || !(kSortKwnames = PyTuple_Pack(1, key))) return -1;
    }
    // dict and list are immutable: their methods are resolved once.
    auto* dict_type = reinterpret_cast<PyObject*>(&PyDict_Type);
    if (!load.dict_keys && !(load.dict_keys = PyObject_GetAttr(dict_type, N.keys))) return -1;
    if (!load.dict_getitem && !(load.dict_getitem = PyObject_GetAttr(dict_type, N.getitem))) return -1;
    auto* list_type = reinterpret_cast<PyObject*>(&PyList_Type);
    if (!load.list_sort && !(load.list_sort = PyObject_GetAttr(list_type, N.sort))) return -1;
    if (!load.rank_prototype) load.rank_prototype = vk::make_function(f, kRank, Ref()).release();
    return load.rank_prototype ? 0 : -1;
}

// ============================================================================
// Calls both paths make
// ============================================================================

// The pattern arguments of a call: the `*vals` tuple's items, or the
// positional arguments as the call passed them (borrowed for the call).
struct Vals {
    PyObject* const* items;
    Py_ssize_t n;
    static Vals of(PyObject* tuple) noexcept { return {&PyTuple_GET_ITEM(tuple, 0), PyTuple_GET_SIZE(tuple)}; }
};

// `obj.<name>(*vals)`, dispatched through `obj`.
// CAUTION: may run arbitrary Python code
Ref call_method_star(PyObject* name, PyObject* obj, Vals vals) noexcept {
    const Py_ssize_t n = vals.n;
    // Slot 0 stays free for PY_VECTORCALL_ARGUMENTS_OFFSET.
    vk::SmallVec<PyObject*, 10> stack;
    if (!stack.reserve(static_cast<size_t>(n) + 2)) return Ref();
    stack.push(nullptr);
    stack.push(obj);
    for (Py_ssize_t i = 0; i < n; ++i) stack.push(vals.items[i]);
    // `obj` and the arguments are owned by the caller for the whole call.
    return Ref::steal(PyObject_VectorcallMethod(name, stack.data() + 1,
                                                static_cast<size_t>(n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `self._keys_internal().select(*vals)`, dispatched as the class's own code
// does it.
// CAUTION: may run arbitrary Python code
Ref selection_of(PyObject* self, Vals vals) noexcept {
    Ref keylist = vk::call_method(N.keys_internal, {self});
    if (!keylist) return Ref();
    return call_method_star(N.select, keylist.get(), vals);
}

}  // namespace

#include "_keyshelf_native.hpp"

namespace {

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

// `super(cls, self).<name>(*args, **kwargs)`.
// CAUTION: may run arbitrary Python code
Ref super_call(PyObject* cls, PyObject* self, PyObject* name, PyObject* args, PyObject* kwargs) noexcept {
    if (vk::Shortcut s = count_super(native::super_dict_call(cls, self, name, args, kwargs)); s.taken()) return s.take();
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
// The key list
// ============================================================================

// The sort key: `lambda k: self.__pos.get(k, len(self.__pos) + 1)`, a closure
// over the keyshelf being built.
// CAUTION: may run arbitrary Python code
PyObject* rank_of_key(vk::Function* fn, PyObject* const* a) noexcept {
    // Held across the calls below: they may drop every other reference.
    Ref self = Ref::borrow(fn->closure);
    if (!self) {
        // Only a function resurrected after the cycle collector cleared it.
        PyErr_SetString(PyExc_RuntimeError, "sort key called after it was cleared");
        return nullptr;
    }
    PyObject* key = a[0];
    if (vk::Shortcut s = count_rank(native::rank_of(self.get(), key)); s.taken()) return s.release();
    Ref pos = vk::getattr(self.get(), N.pos);
    if (!pos) return nullptr;
    Ref get = vk::getattr(pos.get(), N.get);
    if (!get) return nullptr;
    Ref pos_again = vk::getattr(self.get(), N.pos);
    if (!pos_again) return nullptr;
    const Py_ssize_t n = PyObject_Length(pos_again.get());
    if (n < 0) return nullptr;
    Ref fallback = Ref::steal(PyLong_FromSsize_t(n + 1));
    if (!fallback) return nullptr;
    return vk::call(get.get(), {key, fallback.get()}).release();
}

// `keylist.sort(key=lambda k: self.__pos.get(k, len(self.__pos) + 1))`: the
// base list's stable sort unless the class bound to `rowsieve` says otherwise.
// CAUTION: may run arbitrary Python code
int sort_by_rank(PyObject* self, PyObject* keylist) noexcept {
    if (vk::Shortcut s = count_sort(native::sort_by_rank(self, keylist)); s.taken()) return s.rc();
    Ref rank = vk::make_closure(load.rank_prototype, self);
    if (!rank) return -1;
    PyObject* stack[] = {nullptr, keylist, rank.get()};
    Ref sorted = Ref::steal(
        PyObject_VectorcallMethod(N.sort, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kSortKwnames));
    return sorted ? 0 : -1;
}

// _keys_internal(self)
// CAUTION: may run arbitrary Python code
PyObject* keyshelf_keys_internal(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    // 1. A built key list is returned as it is.
    Ref current = vk::getattr(self, N.keylist);
    if (!current) return nullptr;
    const int built = PyObject_IsTrue(current.get());
    if (built < 0) return nullptr;
    if (built) return current.release();
    current.reset();

    // 2. self.__keys = rowsieve(dict.keys(self), self.wild)
    Ref cls = g_rowsieve.get(frame);
    if (!cls) return nullptr;
    Ref view = vk::call(load.dict_keys, {self});
    if (!view) return nullptr;
    Ref wild = vk::getattr(self, N.wild);
    if (!wild) return nullptr;
    Ref keylist = vk::call(cls.get(), {view.get(), wild.get()});
    if (!keylist) return nullptr;
    view.reset();
    if (vk::setattr(self, N.keylist, keylist.get()) < 0) return nullptr;

    // 3.
    if (sort_by_rank(self, keylist.get()) < 0) return nullptr;
    // 4.
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
    if (vk::setattr(self, N.wild, kStar) < 0) return nullptr;
    Ref pos = Ref::steal(PyDict_New());
    if (!pos || vk::setattr(self, N.pos, pos.get()) < 0) return nullptr;
    if (call_clean(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

// clean(self)
PyObject* keyshelf_clean(vk::Function*, PyObject* const* a) noexcept {
    if (vk::setattr(a[0], N.keylist, Py_None) < 0) return nullptr;
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
    if (vk::setattr(self, N.pos, map.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// __setitem__(self, *args, **kwargs)
// CAUTION: may run arbitrary Python code
PyObject* keyshelf_setitem(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *args = a[1], *kwargs = a[2];
    Ref r = super_keyshelf_call(self, N.setitem, args, kwargs);
    if (!r) return nullptr;
    // self.__pos[args[0]] = len(self.__pos)
    Ref pos = vk::getattr(self, N.pos);
    if (!pos) return nullptr;
    const Py_ssize_t n = PyObject_Length(pos.get());
    if (n < 0) return nullptr;
    Ref position = Ref::steal(PyLong_FromSsize_t(n));
    if (!position) return nullptr;
    pos = vk::getattr(self, N.pos);
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
            Ref selection = selection_of(self_.get(), Vals::of(vals_.get()));
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

// Creates a generator expression of `enclosing` over `iterable`: the
// iterator is taken in the enclosing function, as Python does.
// CAUTION: may run arbitrary Python code
Ref make_genexpr(const char* enclosing_tb, const char* qualname, int line, TermsBody::Kind kind, PyObject* iterable,
                 PyObject* owner) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) {
        std::string name = std::string(enclosing_tb) + ".genexpr";
        vk::add_traceback_entry(name.c_str(), frame.info.source_path, line);
        return Ref();
    }
    auto* body = new (std::nothrow) TermsBody(kind, it.get(), owner);
    if (!body) {
        PyErr_NoMemory();
        return Ref();
    }
    return vk::make_generator("genexpr", qualname, frame.info.source_path, line, body);
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
        vk::add_traceback_entry(name.c_str(), frame.info.source_path, line);
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
    vk::add_traceback_entry("genexpr", frame.info.source_path, line);
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

// `_sum_terms(<generator expression of kind over iterable>)`, the global read
// first, as the call expression evaluates it.
// CAUTION: may run arbitrary Python code
PyObject* sum_generated(vk::Function* fn, const char* qualname, int line, TermsBody::Kind kind, PyObject* sum_terms,
                        PyObject* iterable, PyObject* owner) noexcept {
    Ref gen = make_genexpr(fn->tb_name, qualname, line, kind, iterable, owner);
    if (!gen) return nullptr;
    return vk::call(sum_terms, {gen.get()}).release();
}

// sum(self, *vals): _sum_terms(v for k, v in self._iteritems_internal(*vals))
// CAUTION: may run arbitrary Python code
PyObject* sum_values(vk::Function* fn, PyObject* self, Vals vals) noexcept {
    if (vk::Shortcut s = count_sum(native::sum(self, vals)); s.taken()) return s.release();
    Ref sum_terms = g_sum_terms.get(frame);
    if (!sum_terms) return nullptr;
    Ref pairs = call_method_star(N.iteritems_internal, self, vals);
    if (!pairs) return nullptr;
    return sum_generated(fn, "keyshelf.sum.<locals>.genexpr", kSumGenexprLine, TermsBody::Values, sum_terms.get(),
                         pairs.get(), Py_None);
}
PyObject* keyshelf_sum(vk::Function* fn, PyObject* const* a) noexcept { return sum_values(fn, a[0], Vals::of(a[1])); }
PyObject* keyshelf_sum_positional(vk::Function* fn, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return sum_values(fn, args[0], {args + 1, nargs - 1});
}

// prod, a dict of coefficients: walk the smaller side.
// CAUTION: may run arbitrary Python code
PyObject* prod_with_dict(vk::Function* fn, PyObject* self, PyObject* d, Vals vals) noexcept {
    bool walk_coefficients = false;
    if (vals.n == 0) {
        const Py_ssize_t nd = PyObject_Length(d);
        if (nd < 0) return nullptr;
        const Py_ssize_t ns = PyObject_Length(self);
        if (ns < 0) return nullptr;
        walk_coefficients = nd < ns;
    }
    const char* qualname = "keyshelf.prod.<locals>.genexpr";
    if (walk_coefficients) {
        // _sum_terms(w * self[k] for k, w in d.items() if k in self)
        Ref sum_terms = g_sum_terms.get(frame);
        if (!sum_terms) return nullptr;
        Ref items = vk::call_method(N.items, {d});
        if (!items) return nullptr;
        return sum_generated(fn, qualname, kProdGenexprLine, TermsBody::CoefficientsFirst, sum_terms.get(),
                             items.get(), self);
    }
    // _sum_terms(d[k] * v for k, v in self._iteritems_internal(*vals) if k in d)
    if (vk::Shortcut s = count_prod(native::prod_over_selection(self, d, vals)); s.taken()) return s.release();
    Ref sum_terms = g_sum_terms.get(frame);
    if (!sum_terms) return nullptr;
    Ref pairs = call_method_star(N.iteritems_internal, self, vals);
    if (!pairs) return nullptr;
    return sum_generated(fn, qualname, kProdGenexprLine, TermsBody::SelectionFirst, sum_terms.get(), pairs.get(), d);
}

// Replaces the pending exception by TypeError("Invalid keyshelf.prod
// argument") raised while the first one is being handled, so that the first
// one becomes its context (as `raise` inside an `except` block does).
void replace_with_invalid_argument() noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Ref outer = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(value);
    PyErr_SetObject(builtin(B_TypeError), kInvalidArgument);
    PyErr_SetHandledException(outer.get());
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

// prod, a list of coefficients by position:
// _sum_terms(w * self[i] for i, w in enumerate(d) if i in self)
// CAUTION: may run arbitrary Python code
PyObject* prod_with_list(vk::Function* fn, PyObject* self, PyObject* d) noexcept {
    Ref result;
    if (Ref sum_terms = g_sum_terms.get(frame)) {
        if (Ref pairs = vk::call(builtin(B_enumerate), {d}))
            result = Ref::steal(sum_generated(fn, "keyshelf.prod.<locals>.genexpr", kProdGenexprLine,
                                              TermsBody::CoefficientsFirst, sum_terms.get(), pairs.get(), self));
    }
    if (result) return result.release();
    // Interrupts and exits are not argument errors: only Exception
    // subclasses are replaced.
    if (PyErr_ExceptionMatches(PyExc_Exception)) replace_with_invalid_argument();
    return nullptr;
}

// prod(self, d, *vals)
PyObject* prod_terms(vk::Function* fn, PyObject* self, PyObject* d, Vals vals) noexcept {
    if (PyDict_Check(d)) return prod_with_dict(fn, self, d, vals);
    if (PyList_Check(d) && vals.n == 0) return prod_with_list(fn, self, d);
    PyErr_SetObject(builtin(B_TypeError), kNeedsDict);
    return nullptr;
}
PyObject* keyshelf_prod(vk::Function* fn, PyObject* const* a) noexcept {
    return prod_terms(fn, a[0], a[1], Vals::of(a[2]));
}
PyObject* keyshelf_prod_positional(vk::Function* fn, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return prod_terms(fn, args[0], args[1], {args + 2, nargs - 2});
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
                                  __LINE__, false, false, keyshelf_select_positional};
const vk::FunctionSpec kSum = {"sum", "keyshelf.sum", "self, *vals", keyshelf_sum, nullptr, __LINE__,
                               false, false, keyshelf_sum_positional};
const vk::FunctionSpec kProd = {"prod", "keyshelf.prod", "self, d, *vals", keyshelf_prod, nullptr,
                                __LINE__, false, false, keyshelf_prod_positional};
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

    load.keyshelf_subscript = reinterpret_cast<PyTypeObject*>(cls.get())->tp_as_mapping->mp_subscript;
    vk::set_field(load.sum_terms, sum_terms_fn.dup());
    vk::set_field(load.iteritems_internal, iteritems_internal_fn.dup());
    // copy, deepcopy and pickle: the dict's items, the instance attributes,
    // an independent position map, and no key list.
    static const char* const kFreshNone[] = {"_keyshelf__keys", nullptr};
    static const char* const kCopied[] = {"_keyshelf__pos", nullptr};
    static const vk::CopyRecipe kCopy = {&PyDict_Type, nullptr, kFreshNone, kCopied};
    if (vk::register_copy_support(cls.get(), &kCopy) < 0) return -1;
    return f.bind("keyshelf", std::move(cls));
}

}  // namespace
