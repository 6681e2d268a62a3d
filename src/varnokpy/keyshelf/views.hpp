// keys(), values() and items(): the dict's views, or the legacy lists.
#pragma once

#include <string>
#include <utility>

#include "frame.hpp"

#include "keylist.hpp"

namespace {

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

// values(self) and items(self): the dict's view, through zero-argument
// super(), or the legacy list while the legacy switch is on; `line` is the
// line of the legacy list's generator expression.
// CAUTION: may run arbitrary Python code
PyObject* view_or_legacy_list(vk::Function* fn, PyObject* self, PyObject* name, bool pairs, int line) noexcept {
    int on = legacy_on();
    if (on < 0) return nullptr;
    if (!on) return super_cell_call(fn, self, name).release();
    return legacy_list(fn, self, pairs, line);
}

PyObject* keyshelf_values(vk::Function* fn, PyObject* const* a) noexcept {
    return view_or_legacy_list(fn, a[0], N.values, false, __LINE__);
}
PyObject* keyshelf_items(vk::Function* fn, PyObject* const* a) noexcept {
    return view_or_legacy_list(fn, a[0], N.items, true, __LINE__);
}

}  // namespace
