// The class body of `rowsieve` and the module body: the docstrings, the
// specs of the functions, and the statements that run at load.
#pragma once

#include <iterator>
#include <utility>

#include "frame.hpp"

#include "select.hpp"
#include "navigation.hpp"

namespace {

// The key function of scalar mode.
PyObject* select_identity(vk::Function*, PyObject* const* a) noexcept { return Py_NewRef(a[0]); }

// The generator expression of `__repr__` runs inline (row_fields); its
// function object only names its traceback entries and is never called.
PyObject* field_texts_body(vk::Function*, PyObject* const*) noexcept {
    PyErr_SetString(builtin(B_TypeError), "the generator expression of __repr__ runs only inside it");
    return nullptr;
}

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
const vk::FunctionSpec kRepl = {"__repl", "rowsieve.__repl", "x, k, v", rowsieve_repl, nullptr, __LINE__, false};
const vk::FunctionSpec kInit = {"__init__", "rowsieve.__init__", "self, data, wild", rowsieve_init, nullptr, __LINE__, false};
const vk::FunctionSpec kPrev = {"prev", "rowsieve.prev", "self, v", rowsieve_prev, nullptr, __LINE__, false};
const vk::FunctionSpec kPrevc = {"prevc", "rowsieve.prevc", "self, v", rowsieve_prevc, nullptr, __LINE__, false};
const vk::FunctionSpec kNext = {"next", "rowsieve.next", "self, v", rowsieve_next, nullptr, __LINE__, false};
const vk::FunctionSpec kNextc = {"nextc", "rowsieve.nextc", "self, v", rowsieve_nextc, nullptr, __LINE__, false};
const vk::FunctionSpec kScalarDel = {"__scalardelcheck", "rowsieve.__scalardelcheck", "self", rowsieve_scalardelcheck,
                                     nullptr, __LINE__, false};
const vk::FunctionSpec kScalarAdd = {"__scalaraddcheck", "rowsieve.__scalaraddcheck", "self, x",
                                     rowsieve_scalaraddcheck, nullptr, __LINE__, false};
const vk::FunctionSpec kRepr = {"__repr__", "rowsieve.__repr__", "self", rowsieve_repr, nullptr, __LINE__, false};
const vk::FunctionSpec kFieldTexts = {"genexpr", "rowsieve.__repr__.<locals>.genexpr", "", field_texts_body, nullptr,
                                      __LINE__, true};
const vk::FunctionSpec kClean = {"clean", "rowsieve.clean", "self", rowsieve_clean, kCleanDoc, __LINE__, false};
const vk::FunctionSpec kSelect = {"select", "rowsieve.select", "self, *vals", rowsieve_select, kSelectDoc, __LINE__,
                                  false, false, rowsieve_select_positional};
const vk::FunctionSpec kContains = {"__contains__", "rowsieve.__contains__", "self, val", rowsieve_contains,
                                    kContainsDoc, __LINE__, false};
const vk::FunctionSpec kMakeIndex = {"__makeindex", "rowsieve.__makeindex", "self, getkey", rowsieve_makeindex,
                                     nullptr, __LINE__, false};
const vk::FunctionSpec kAppend = {"append", "rowsieve.append", "self, x", rowsieve_append, nullptr, __LINE__, false};
const vk::FunctionSpec kExtend = {"extend", "rowsieve.extend", "self, L", rowsieve_extend, nullptr, __LINE__, false};
const vk::FunctionSpec kInsert = {"insert", "rowsieve.insert", "self, i, x", rowsieve_insert, nullptr, __LINE__, false};
const vk::FunctionSpec kPop = {"pop", "rowsieve.pop", "self, i", rowsieve_pop, nullptr, __LINE__, false};
const vk::FunctionSpec kRemove = {"remove", "rowsieve.remove", "self, x", rowsieve_remove, nullptr, __LINE__, false};
const vk::FunctionSpec kDelItem = {"__delitem__", "rowsieve.__delitem__", "self, i", rowsieve_delitem, nullptr,
                                   __LINE__, false};
const vk::FunctionSpec kDelSlice = {"__delslice__", "rowsieve.__delslice__", "self, i, j", rowsieve_delslice, nullptr,
                                    __LINE__, false};
const vk::FunctionSpec kAdd = {"__add__", "rowsieve.__add__", "self, other", rowsieve_add, nullptr, __LINE__, false};
const vk::FunctionSpec kIAdd = {"__iadd__", "rowsieve.__iadd__", "self, other", rowsieve_iadd, nullptr, __LINE__, false};
const vk::FunctionSpec kGetSlice = {"__getslice__", "rowsieve.__getslice__", "self, b, c", rowsieve_getslice, nullptr,
                                    __LINE__, false};
// `lambda x: x`, the key function of scalar mode.
const vk::FunctionSpec kIdentity = {"lambda_", "rowsieve.select.<locals>.<lambda>", "x", select_identity, nullptr,
                                    __LINE__, false, true};

// Keeps `fn` (a function made from a spec) in `slot` for the life of the
// process, and hands it on.
Ref recorded(PyObject*& slot, Ref fn) noexcept {
    if (fn) vk::set_field(slot, fn.dup());
    return fn;
}

// Keeps the function of each self-called method (kSelfCalled) as the class
// body defined it, read from the new class's own namespace.
int record_self_called(PyObject* cls) noexcept {
    PyObject* ns = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    for (const SelfCalled& m : kSelfCalled) {
        if (!m.fn) continue;
        PyObject* fn = PyDict_GetItemWithError(ns, *m.name);
        if (!fn) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, *m.name);
            return -1;
        }
        vk::set_field(*m.fn, Ref::borrow(fn));
    }
    return 0;
}

// The base list's methods, which the deletions and slices call on the instance.
int record_list_methods() noexcept {
    struct {
        PyObject** slot;
        const char* name;
    } methods[] = {{&B.insert, "insert"}, {&B.pop, "pop"}, {&B.remove, "remove"},
                   {&B.delitem, "__delitem__"}, {&B.getitem, "__getitem__"}};
    for (auto& m : methods) {
        PyObject* descr = PyDict_GetItemString(PyList_Type.tp_dict, m.name);
        if (!descr) {
            PyErr_Format(PyExc_AttributeError, "type object 'list' has no attribute '%s'", m.name);
            return -1;
        }
        vk::set_field(*m.slot, Ref::borrow(descr));
    }
    return 0;
}

// copy, deepcopy and pickle: the members, the instance attributes, and every
// cache restarted fresh (kCaches).
int register_copy(PyObject* cls) noexcept {
    static const char* fresh_dicts[kCacheCount + 1] = {};
    static const char* fresh_nones[kCacheCount + 1] = {};
    int dicts = 0, nones = 0;
    for (const Cache& c : kCaches) (c.is_dict ? fresh_dicts[dicts++] : fresh_nones[nones++]) = c.text;
    static const vk::CopyRecipe kCopy = {&PyList_Type, fresh_dicts, fresh_nones, nullptr};
    return vk::register_copy_support(cls, &kCopy);
}

int module_body(vk::ModuleFrame& f) noexcept {
    // import operator
    if (f.import_module("operator") < 0) return -1;
    // from varnokpy._util import _isstr
    const char* const util_names[] = {"_isstr", nullptr};
    if (f.import_from("varnokpy._util", util_names) < 0) return -1;

    if (!g_identity) {
        Ref identity = vk::make_function(f, kIdentity, Ref());
        if (!identity) return -1;
        g_identity = identity.release();
    }
    if (!recorded(F.field_texts, vk::make_function(f, kFieldTexts, Ref())) || record_list_methods() < 0) return -1;

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
    if (!cls || record_self_called(cls.get()) < 0) return -1;
    if (native::record_load(f, cls.get()) < 0 || native::make_instance_template() < 0) return -1;
    if (register_copy(cls.get()) < 0) return -1;
    return f.bind("rowsieve", std::move(cls));
}

}  // namespace
