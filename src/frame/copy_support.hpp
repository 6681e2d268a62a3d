// copy.copy, copy.deepcopy and pickle support for the container classes.
//
// The classes keep their contents in the base list or dict and their state
// in the instance dict, next to caches that must not travel. A reduction
// function registered with `copyreg` (so that neither the class namespace nor
// the module globals gain an entry) rebuilds an instance in two steps: the
// base container is refilled with `copyreg._reconstructor` (the base type's
// own `__new__` and `__init__`, so no check or cache of ours runs), then the
// instance dict is restored, with caches restarted empty and the dictionaries
// that must not be shared copied.
#pragma once

#include "ref.hpp"

namespace vk {

struct CopyRecipe {
    PyTypeObject* base;             // &PyList_Type or &PyDict_Type
    const char* const* fresh_dict;  // attributes that restart as new empty dicts (nullptr-terminated)
    const char* const* fresh_none;  // attributes that restart as None
    const char* const* copied;      // dict attributes carried as independent copies
};

// Registers the reduction of exact instances of `cls`. `recipe` must have
// static storage.
int register_copy_support(PyObject* cls, const CopyRecipe* recipe) noexcept;

}  // namespace vk
