// The module body: docstrings, the description of each function (its name,
// parameters, body and line), and the load steps that make the functions
// and the class.
#pragma once

#include <iterator>
#include <utility>

#include "frame.hpp"

#include "views.hpp"
#include "select.hpp"
#include "aggregate.hpp"

namespace {

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

// Each line number is that of the definition in this part; tracebacks and
// profiles name the function by it.
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

// `type.<name>` into `slot`, resolved at the first load only: the methods of
// dict and list never change.
int resolve_once(PyObject*& slot, PyTypeObject* type, PyObject* name) noexcept {
    if (!slot) slot = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name);
    return slot ? 0 : -1;
}

int module_prebuilt(vk::ModuleFrame& f) noexcept {
    if (!kSortKwnames) {
        PyObject* key = vk::intern("key");
        if (!key || !(kSortKwnames = PyTuple_Pack(1, key))) return -1;
    }
    if (resolve_once(load.dict_keys, &PyDict_Type, N.keys) < 0 ||
        resolve_once(load.dict_getitem, &PyDict_Type, N.getitem) < 0 ||
        resolve_once(load.list_sort, &PyList_Type, N.sort) < 0)
        return -1;
    if (!load.rank_prototype) load.rank_prototype = vk::make_function(f, kRank, Ref()).release();
    return load.rank_prototype ? 0 : -1;
}

// class keyshelf(dict); `iteritems_internal` receives the class's
// `_iteritems_internal`.
Ref make_class(vk::ModuleFrame& f, Ref& iteritems_internal) noexcept {
    Ref keys_fn = vk::make_function(f, kKeys, Ref());
    Ref values_fn = vk::make_function(f, kValues, Ref());
    Ref items_fn = vk::make_function(f, kItems, Ref());
    Ref keys_internal_fn = vk::make_function(f, kKeysInternal, Ref());
    Ref iteritems_internal_fn = vk::make_function(f, kIteritemsInternal, Ref());
    if (!keys_fn || !values_fn || !items_fn || !keys_internal_fn || !iteritems_internal_fn) return Ref();
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
    if (!bases) return Ref();
    Ref cls = vk::create_class(f, "keyshelf", bases.get(), kClassDoc, entries, std::size(entries));
    if (!cls) return Ref();
    // keys, values and items use the zero-argument form of super().
    for (const Ref* fn : {&keys_fn, &values_fn, &items_fn}) vk::set_class_cell(fn->get(), cls.get());
    iteritems_internal = std::move(iteritems_internal_fn);
    return cls;
}

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

    Ref iteritems_internal_fn;
    Ref cls = make_class(f, iteritems_internal_fn);
    if (!cls) return -1;
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
