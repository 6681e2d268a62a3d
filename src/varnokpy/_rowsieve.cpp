// varnokpy._rowsieve: the `rowsieve` class, a list of equal-length tuples (or
// of scalars) that answers pattern queries through lazily built indexes.
//
// Cache lifecycle. An instance keeps its derived data in ordinary instance
// attributes under the class-private names: the index cache, the membership
// map and four navigation caches. Each cache is either empty or describes the
// list as it was when the cache was built; it is never updated in place.
// `clean()` rebinds fresh empty caches (it never clears the old ones: a
// caller may hold them). Additions check, then clean, then change; deletions
// change, then reset the mode of an emptied list, then clean.
//
// Re-entrancy. Members' `__hash__`, `__eq__`, `__len__` and `__str__` run
// arbitrary code that may mutate this very list or call `clean()`. Every walk
// over the list re-reads its size and holds a strong reference to the member
// it works on; new caches are built in local objects and published with one
// final attribute store.
//
// Dispatch. Calls that the class makes on `self` (`self.clean()`,
// `self.extend(...)`, the private checks) go through the instance, so
// subclass overrides and instance attributes are honoured. The list change
// itself is the base `list` operation.
#include "frame.hpp"

#include <iterator>

using vk::Ref;

namespace {

// ============================================================================
// Module state
// ============================================================================

const char* const kBuiltins[] = {"staticmethod", "super", "zip", "KeyError", "ValueError", "IndexError", "max",
                                 "enumerate", "TypeError", "AttributeError", nullptr};
enum Builtin { B_staticmethod, B_super, B_zip, B_KeyError, B_ValueError, B_IndexError, B_max, B_enumerate,
               B_TypeError, B_AttributeError };

int module_constants(vk::ModuleFrame&) noexcept;
int module_prebuilt(vk::ModuleFrame&) noexcept;
int module_body(vk::ModuleFrame&) noexcept;

const vk::ModuleInfo kInfo = {
    "_rowsieve", "varnokpy._rowsieve", "src/varnokpy/_rowsieve", nullptr, kBuiltins, true,
    module_constants, module_prebuilt, module_body,
};

}  // namespace

VARNOK_MODULE(_rowsieve, kInfo)

namespace {

vk::ModuleFrame& frame = _rowsieve_frame;

PyObject* builtin(Builtin b) noexcept { return frame.builtin(b); }

// Interned attribute and method names.
struct Names {
    PyObject *wild, *scalar, *tuplelen, *index, *contents, *prev, *next, *prevc, *nextc;
    PyObject *scalardelcheck, *scalaraddcheck, *makeindex, *clean, *extend, *select, *contains, *get;
    PyObject *itemgetter;
} N;

vk::GlobalName g_operator("operator"), g_isstr("_isstr"), g_rowsieve("rowsieve");

PyObject* kStar = nullptr;         // "*", the default wildcard
PyObject* kEmptyTuple = nullptr;

int module_constants(vk::ModuleFrame&) noexcept {
    struct {
        PyObject** slot;
        const char* text;
    } names[] = {
        {&N.wild, "_rowsieve__wild"},
        {&N.scalar, "_rowsieve__scalar"},
        {&N.tuplelen, "_rowsieve__tuplelen"},
        {&N.index, "_rowsieve__index"},
        {&N.contents, "_rowsieve__contents"},
        {&N.prev, "_rowsieve__prev"},
        {&N.next, "_rowsieve__next"},
        {&N.prevc, "_rowsieve__prevc"},
        {&N.nextc, "_rowsieve__nextc"},
        {&N.scalardelcheck, "_rowsieve__scalardelcheck"},
        {&N.scalaraddcheck, "_rowsieve__scalaraddcheck"},
        {&N.makeindex, "_rowsieve__makeindex"},
        {&N.clean, "clean"},
        {&N.extend, "extend"},
        {&N.select, "select"},
        {&N.contains, "__contains__"},
        {&N.get, "get"},
        {&N.itemgetter, "itemgetter"},
        {&kStar, "*"},
    };
    for (auto& n : names) {
        if (!*n.slot && !(*n.slot = vk::intern(n.text))) return -1;
    }
    if (!kEmptyTuple && !(kEmptyTuple = PyTuple_New(0))) return -1;
    for (vk::GlobalName* g : {&g_operator, &g_isstr, &g_rowsieve})
        if (g->init() < 0) return -1;
    return 0;
}

int module_prebuilt(vk::ModuleFrame&) noexcept { return 0; }

// ============================================================================
// Helpers
// ============================================================================

// `type(x) is not tuple`: only an exact tuple counts as a tuple.
inline bool is_scalar_item(PyObject* x) noexcept { return !PyTuple_CheckExact(x); }

// `self.<name>` and `self.<name> = value`, through the instance.
// CAUTION: may run arbitrary Python code
inline Ref get_attr(PyObject* self, PyObject* name) noexcept { return vk::getattr(self, name); }
inline int set_attr(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return PyObject_SetAttr(self, name, value);
}

// Calls `self.<name>(args...)` and discards the result.
// CAUTION: may run arbitrary Python code
inline int call_self(PyObject* name, std::initializer_list<PyObject*> args) noexcept {
    Ref r = vk::call_method(name, args);
    return r ? 0 : -1;
}

// `rowsieve(...)` through the module global, as the class body's own code
// would write it.
// CAUTION: may run arbitrary Python code
Ref new_rowsieve(std::initializer_list<PyObject*> args) noexcept {
    Ref cls = g_rowsieve.get(frame);
    if (!cls) return Ref();
    return vk::call(cls.get(), args);
}

// A new one-item list `[x]`.
Ref list_of(PyObject* x) noexcept {
    Ref l = Ref::steal(PyList_New(1));
    if (!l) return Ref();
    PyList_SET_ITEM(l.get(), 0, Py_NewRef(x));
    return l;
}

// Does the pending exception match one of the builtins resolved at load?
inline bool error_is(Builtin b) noexcept { return PyErr_ExceptionMatches(builtin(b)); }

// ============================================================================
// Mode checks and clean (construction and additions)
// ============================================================================

// The steps of the mode check; an IndexError anywhere ends the check quietly.
// CAUTION: may run arbitrary Python code
int scalaraddcheck_steps(PyObject* self, PyObject* x) noexcept {
    // 1. Decide the mode from the first item when it is undetermined.
    Ref scalar = get_attr(self, N.scalar);
    if (!scalar) return -1;
    if (scalar.get() == Py_None) {
        Ref first = Ref::steal(PySequence_GetItem(x, 0));
        if (!first) return -1;
        if (set_attr(self, N.scalar, is_scalar_item(first.get()) ? Py_True : Py_False) < 0) return -1;
    }
    // 2. Every item must agree with the mode.
    scalar = get_attr(self, N.scalar);
    if (!scalar) return -1;
    {
        Ref it = Ref::steal(PyObject_GetIter(x));
        if (!it) return -1;
        while (Ref y = Ref::steal(PyIter_Next(it.get()))) {
            PyObject* kind = is_scalar_item(y.get()) ? Py_True : Py_False;
            int differs = PyObject_RichCompareBool(kind, scalar.get(), Py_NE);
            if (differs < 0) return -1;
            if (differs) {
                PyErr_SetString(builtin(B_ValueError), "Cannot mix scalar and tuple values in a rowsieve");
                return -1;
            }
        }
        if (PyErr_Occurred()) return -1;
    }
    // 3. Scalar mode checks nothing more.
    int truth = PyObject_IsTrue(scalar.get());
    if (truth < 0) return -1;
    if (truth) return 0;
    // 4. Tuple mode: every item has the recorded length.
    Ref tuplelen = get_attr(self, N.tuplelen);
    if (!tuplelen) return -1;
    if (tuplelen.get() == Py_None) {
        Ref first = Ref::steal(PySequence_GetItem(x, 0));
        if (!first) return -1;
        Py_ssize_t n = PyObject_Length(first.get());
        if (n < 0) return -1;
        Ref len_obj = Ref::steal(PyLong_FromSsize_t(n));
        if (!len_obj || set_attr(self, N.tuplelen, len_obj.get()) < 0) return -1;
        tuplelen = get_attr(self, N.tuplelen);
        if (!tuplelen) return -1;
    }
    Ref it = Ref::steal(PyObject_GetIter(x));
    if (!it) return -1;
    while (Ref y = Ref::steal(PyIter_Next(it.get()))) {
        Py_ssize_t n = PyObject_Length(y.get());
        if (n < 0) return -1;
        int differs;
        if (PyLong_CheckExact(tuplelen.get())) {
            Py_ssize_t want = PyLong_AsSsize_t(tuplelen.get());
            if (want == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                differs = 1;
            } else {
                differs = want != n;
            }
        } else {
            Ref len_obj = Ref::steal(PyLong_FromSsize_t(n));
            if (!len_obj) return -1;
            differs = PyObject_RichCompareBool(len_obj.get(), tuplelen.get(), Py_NE);
            if (differs < 0) return -1;
        }
        if (differs) {
            PyErr_SetString(builtin(B_ValueError), "All tuples in a rowsieve must be the same length");
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// __scalaraddcheck(self, x)
PyObject* rowsieve_scalaraddcheck(vk::Function*, PyObject* const* a) noexcept {
    if (scalaraddcheck_steps(a[0], a[1]) < 0) {
        if (!error_is(B_IndexError)) return nullptr;
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

// __scalardelcheck(self)
PyObject* rowsieve_scalardelcheck(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    int truth = PyObject_IsTrue(self);
    if (truth < 0) return nullptr;
    if (!truth) {
        if (set_attr(self, N.scalar, Py_None) < 0 || set_attr(self, N.tuplelen, Py_None) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// clean(self)
PyObject* rowsieve_clean(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    PyObject* const order[] = {N.index, N.contents, N.prev, N.next, N.prevc, N.nextc};
    for (PyObject* name : order) {
        if (name == N.contents) {
            if (set_attr(self, name, Py_None) < 0) return nullptr;
            continue;
        }
        Ref d = Ref::steal(PyDict_New());
        if (!d || set_attr(self, name, d.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// __init__(self, data=[], wild='*')
PyObject* rowsieve_init(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *data = a[1], *wild = a[2];
    if (!PyList_Check(self)) {
        PyErr_Format(builtin(B_TypeError), "descriptor '__init__' requires a 'list' object but received a '%s'",
                     Py_TYPE(self)->tp_name);
        return nullptr;
    }
    // The base list, initialised with no arguments, is empty.
    if (PyList_Type.tp_init(self, kEmptyTuple, nullptr) < 0) return nullptr;
    if (set_attr(self, N.wild, wild) < 0) return nullptr;
    if (call_self(N.scalardelcheck, {self}) < 0) return nullptr;
    if (call_self(N.extend, {self, data}) < 0) return nullptr;
    Py_RETURN_NONE;
}

// append(self, x)
PyObject* rowsieve_append(vk::Function*, PyObject* const* a) noexcept {
    PyObject *self = a[0], *x = a[1];
    Ref batch = list_of(x);
    if (!batch) return nullptr;
    if (call_self(N.scalaraddcheck, {self, batch.get()}) < 0) return nullptr;
    if (call_self(N.clean, {self}) < 0) return nullptr;
    if (!PyList_Check(self)) {
        PyErr_SetString(builtin(B_TypeError), "descriptor 'append' requires a 'list' object");
        return nullptr;
    }
    if (PyList_Append(self, x) < 0) return nullptr;
    Py_RETURN_NONE;
}

// extend(self, L)
PyObject* rowsieve_extend(vk::Function*, PyObject* const* a) noexcept {
    PyObject* self = a[0];
    Ref items = Ref::borrow(a[1]);
    if (!PyList_Check(items.get())) {
        items = Ref::steal(PySequence_List(items.get()));
        if (!items) return nullptr;
    }
    if (call_self(N.scalaraddcheck, {self, items.get()}) < 0) return nullptr;
    if (call_self(N.clean, {self}) < 0) return nullptr;
    if (!PyList_Check(self)) {
        PyErr_SetString(builtin(B_TypeError), "descriptor 'extend' requires a 'list' object");
        return nullptr;
    }
    // Base list extension; slice assignment copies first when `items` is self.
    Py_ssize_t n = PyList_GET_SIZE(self);
    if (PyList_SetSlice(self, n, n, items.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ============================================================================
// Selection, membership, mutations, navigation, printing
// ============================================================================

PyObject* not_yet(vk::Function* fn, PyObject* const*) noexcept {
    PyErr_Format(PyExc_NotImplementedError, "%U is not available yet", fn->qualname);
    return nullptr;
}

// ============================================================================
// Class body
// ============================================================================

const char kClassDoc[] =
    "\n"
    "  Custom Varnok class: rowsieve is a subclass of list that is designed\n"
    "  to efficiently support sub-list selection using wildcards.\n"
    "\n"
    "  A rowsieve holds tuples of one common length (or scalars). Its select()\n"
    "  method returns the sub-list of the tuples that match the given values\n"
    "  in the given fields, where '*' matches any value:\n"
    "\n"
    "    l = rowsieve([(1, 2), (1, 3), (2, 3), (2, 4)])\n"
    "    l.select(1, '*')    # [(1, 2), (1, 3)]\n"
    "    l.select('*', 3)    # [(1, 3), (2, 3)]\n"
    "    l.select([1, 2], 3) # [(1, 3), (2, 3)]\n"
    "\n"
    "  Member tuples should hold scalar values (int, float, string, ...);\n"
    "  tuples of tuples are not supported.\n"
    "  ";

const char kCleanDoc[] =
    "\n"
    "  ROUTINE:\n"
    "    clean()\n"
    "\n"
    "  PURPOSE:\n"
    "    rowsieve gets its speed from indexes that it builds on first use and\n"
    "    stores inside the object. They cost memory; clean() discards them and\n"
    "    gives that memory back. It also resynchronises the indexes after the\n"
    "    base list's own operations (item assignment, sort, ...) were used.\n"
    "\n"
    "  ARGUMENTS:\n"
    "    None.\n"
    "\n"
    "  RETURN VALUE:\n"
    "    None.\n"
    "\n"
    "  EXAMPLE:\n"
    "    l = rowsieve([(1, 2), (2, 3)])\n"
    "    l.select(1, '*')\n"
    "    l.clean()\n"
    "  ";

const char kSelectDoc[] =
    "\n"
    "  ROUTINE:\n"
    "    select(value1, value2, ...)\n"
    "\n"
    "  PURPOSE:\n"
    "    Return the sub-list of the members that match the given values in the\n"
    "    given fields. The string '*' stands for any value. Any argument may be\n"
    "    a list, which matches if any of its items matches.\n"
    "\n"
    "  ARGUMENTS:\n"
    "    One value (or '*', or a list of values) per field, from the first on.\n"
    "\n"
    "  RETURN VALUE:\n"
    "    The matching sub-list, a rowsieve.\n"
    "\n"
    "  EXAMPLE:\n"
    "    m = l.select('*', 1, '*', 'a')\n"
    "  ";

const char kContainsDoc[] =
    "\n"
    "  ROUTINE:\n"
    "    __contains__(val)\n"
    "\n"
    "  PURPOSE:\n"
    "    Membership test (val in l) through a hash map built on first use:\n"
    "    faster than the base list's test when called inside a loop.\n"
    "\n"
    "  ARGUMENTS:\n"
    "    val: the value to look for.\n"
    "\n"
    "  RETURN VALUE:\n"
    "    True if val is a member, else False.\n"
    "\n"
    "  EXAMPLE:\n"
    "    if (1, 2) in l:\n"
    "        print('found')\n"
    "  ";

// Line numbers name the statement's place in this source for tracebacks.
const vk::FunctionSpec kRepl = {"__repl", "rowsieve.__repl", "x, k, v", not_yet, nullptr, __LINE__, false};
const vk::FunctionSpec kInit = {"__init__", "rowsieve.__init__", "self, data, wild", rowsieve_init, nullptr, __LINE__, false};
const vk::FunctionSpec kPrev = {"prev", "rowsieve.prev", "self, v", not_yet, nullptr, __LINE__, false};
const vk::FunctionSpec kPrevc = {"prevc", "rowsieve.prevc", "self, v", not_yet, nullptr, __LINE__, false};
const vk::FunctionSpec kNext = {"next", "rowsieve.next", "self, v", not_yet, nullptr, __LINE__, false};
const vk::FunctionSpec kNextc = {"nextc", "rowsieve.nextc", "self, v", not_yet, nullptr, __LINE__, false};
const vk::FunctionSpec kScalarDel = {"__scalardelcheck", "rowsieve.__scalardelcheck", "self", rowsieve_scalardelcheck,
                                     nullptr, __LINE__, false};
const vk::FunctionSpec kScalarAdd = {"__scalaraddcheck", "rowsieve.__scalaraddcheck", "self, x",
                                     rowsieve_scalaraddcheck, nullptr, __LINE__, false};
const vk::FunctionSpec kRepr = {"__repr__", "rowsieve.__repr__", "self", not_yet, nullptr, __LINE__, false};
const vk::FunctionSpec kClean = {"clean", "rowsieve.clean", "self", rowsieve_clean, kCleanDoc, __LINE__, false};
const vk::FunctionSpec kSelect = {"select", "rowsieve.select", "self, *vals", not_yet, kSelectDoc, __LINE__, false};
const vk::FunctionSpec kContains = {"__contains__", "rowsieve.__contains__", "self, val", not_yet, kContainsDoc,
                                    __LINE__, false};
const vk::FunctionSpec kMakeIndex = {"__makeindex", "rowsieve.__makeindex", "self, getkey", not_yet, nullptr,
                                     __LINE__, false};
const vk::FunctionSpec kAppend = {"append", "rowsieve.append", "self, x", rowsieve_append, nullptr, __LINE__, false};
const vk::FunctionSpec kExtend = {"extend", "rowsieve.extend", "self, L", rowsieve_extend, nullptr, __LINE__, false};
const vk::FunctionSpec kInsert = {"insert", "rowsieve.insert", "self, i, x", not_yet, nullptr, __LINE__, false};
const vk::FunctionSpec kPop = {"pop", "rowsieve.pop", "self, i", not_yet, nullptr, __LINE__, false};
const vk::FunctionSpec kRemove = {"remove", "rowsieve.remove", "self, x", not_yet, nullptr, __LINE__, false};
const vk::FunctionSpec kDelItem = {"__delitem__", "rowsieve.__delitem__", "self, i", not_yet, nullptr, __LINE__, false};
const vk::FunctionSpec kDelSlice = {"__delslice__", "rowsieve.__delslice__", "self, i, j", not_yet, nullptr, __LINE__,
                                    false};
const vk::FunctionSpec kAdd = {"__add__", "rowsieve.__add__", "self, other", not_yet, nullptr, __LINE__, false};
const vk::FunctionSpec kIAdd = {"__iadd__", "rowsieve.__iadd__", "self, other", not_yet, nullptr, __LINE__, false};
const vk::FunctionSpec kGetSlice = {"__getslice__", "rowsieve.__getslice__", "self, b, c", not_yet, nullptr, __LINE__,
                                    false};

Ref tuple_of(std::initializer_list<PyObject*> items) noexcept {
    Ref t = Ref::steal(PyTuple_New((Py_ssize_t)items.size()));
    if (!t) return Ref();
    Py_ssize_t i = 0;
    for (PyObject* o : items) {
        if (!o) return Ref();
        PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    }
    return t;
}

int module_body(vk::ModuleFrame& f) noexcept {
    // import operator
    if (f.import_module("operator") < 0) return -1;
    // from varnokpy._util import _isstr
    const char* const util_names[] = {"_isstr", nullptr};
    if (f.import_from("varnokpy._util", util_names) < 0) return -1;

    // class rowsieve(list)
    Ref shared_default = Ref::steal(PyList_New(0));  // one list, shared by every call
    if (!shared_default) return -1;
    Ref init_defaults = tuple_of({shared_default.get(), kStar});
    Ref pop_default = Ref::steal(PyLong_FromLong(-1));
    if (!init_defaults || !pop_default) return -1;
    Ref pop_defaults = tuple_of({pop_default.get()});
    Ref repl = vk::make_function(f, kRepl, Ref());
    if (!repl) return -1;
    Ref static_repl = vk::call(builtin(B_staticmethod), {repl.get()});

    vk::ClassEntry entries[] = {
        {"_rowsieve__repl", std::move(static_repl)},
        {"__init__", vk::make_function(f, kInit, std::move(init_defaults))},
        {"prev", vk::make_function(f, kPrev, Ref())},
        {"prevc", vk::make_function(f, kPrevc, Ref())},
        {"next", vk::make_function(f, kNext, Ref())},
        {"nextc", vk::make_function(f, kNextc, Ref())},
        {"_rowsieve__scalardelcheck", vk::make_function(f, kScalarDel, Ref())},
        {"_rowsieve__scalaraddcheck", vk::make_function(f, kScalarAdd, Ref())},
        {"__repr__", vk::make_function(f, kRepr, Ref())},
        {"clean", vk::make_function(f, kClean, Ref())},
        {"select", vk::make_function(f, kSelect, Ref())},
        {"__contains__", vk::make_function(f, kContains, Ref())},
        {"_rowsieve__makeindex", vk::make_function(f, kMakeIndex, Ref())},
        {"append", vk::make_function(f, kAppend, Ref())},
        {"extend", vk::make_function(f, kExtend, Ref())},
        {"insert", vk::make_function(f, kInsert, Ref())},
        {"pop", vk::make_function(f, kPop, std::move(pop_defaults))},
        {"remove", vk::make_function(f, kRemove, Ref())},
        {"__delitem__", vk::make_function(f, kDelItem, Ref())},
        {"__delslice__", vk::make_function(f, kDelSlice, Ref())},
        {"__add__", vk::make_function(f, kAdd, Ref())},
        {"__iadd__", vk::make_function(f, kIAdd, Ref())},
        {"__getslice__", vk::make_function(f, kGetSlice, Ref())},
    };
    Ref bases = tuple_of({reinterpret_cast<PyObject*>(&PyList_Type)});
    if (!bases) return -1;
    Ref cls = vk::create_class(f, "rowsieve", bases.get(), kClassDoc, entries, std::size(entries));
    return f.bind("rowsieve", std::move(cls));
}

}  // namespace
