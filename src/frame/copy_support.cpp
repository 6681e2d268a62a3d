#include "copy_support.hpp"

#include "ref.hpp"

namespace vk {

namespace {

// copyreg._reconstructor; a plain pointer: process-lifetime references are
// never released (a static destructor would run after the interpreter is gone).
PyObject* g_reconstructor = nullptr;

int set_each(PyObject* state, const char* const* names, PyObject* (*make)()) noexcept {
    for (size_t i = 0; names && names[i]; ++i) {
        Ref value = Ref::steal(make());
        if (!value || PyDict_SetItemString(state, names[i], value.get()) < 0) return -1;
    }
    return 0;
}

PyObject* new_none() { return Py_NewRef(Py_None); }
PyObject* new_dict() { return PyDict_New(); }

// The dict's own items, in order: PyDict_Copy would go through an
// overridden `keys()` of a subclass.
PyObject* base_dict_items(PyObject* obj) noexcept {
    Ref copy = Ref::steal(PyDict_New());
    if (!copy) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj, &pos, &key, &value)) {
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        if (PyDict_SetItem(copy.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return copy.release();
}

PyObject* reduce(PyObject* capsule, PyObject* obj) noexcept {
    auto* recipe = static_cast<const CopyRecipe*>(PyCapsule_GetPointer(capsule, "varnok.copy"));
    if (!recipe) return nullptr;
    if (!PyObject_TypeCheck(obj, recipe->base)) {
        PyErr_Format(PyExc_TypeError, "cannot reduce a '%s' object", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    // The base container's own contents, bypassing any overridden iteration.
    Ref items = Ref::steal(recipe->base == &PyList_Type ? PyList_GetSlice(obj, 0, PyList_GET_SIZE(obj))
                                                        : base_dict_items(obj));
    if (!items) return nullptr;
    Ref attrs = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!attrs) return nullptr;
    Ref state = Ref::steal(PyDict_Copy(attrs.get()));
    if (!state) return nullptr;
    if (set_each(state.get(), recipe->fresh_dict, new_dict) < 0 ||
        set_each(state.get(), recipe->fresh_none, new_none) < 0)
        return nullptr;
    for (size_t i = 0; recipe->copied && recipe->copied[i]; ++i) {
        PyObject* value = PyDict_GetItemString(state.get(), recipe->copied[i]);
        if (value && PyDict_Check(value)) {
            Ref copy = Ref::steal(PyDict_Copy(value));
            if (!copy || PyDict_SetItemString(state.get(), recipe->copied[i], copy.get()) < 0) return nullptr;
        }
    }
    Ref args = Ref::steal(Py_BuildValue("(OOO)", Py_TYPE(obj), recipe->base, items.get()));
    if (!args) return nullptr;
    return Py_BuildValue("(OOO)", g_reconstructor, args.get(), state.get());
}

PyMethodDef reduce_def = {"_reduce", reinterpret_cast<PyCFunction>(reduce), METH_O, nullptr};

}  // namespace

int register_copy_support(PyObject* cls, const CopyRecipe* recipe) noexcept {
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    if (!copyreg) return -1;
    if (!g_reconstructor) {
        g_reconstructor = PyObject_GetAttrString(copyreg.get(), "_reconstructor");
        if (!g_reconstructor) return -1;
    }
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<CopyRecipe*>(recipe), "varnok.copy", nullptr));
    if (!capsule) return -1;
    Ref fn = Ref::steal(PyCFunction_NewEx(&reduce_def, capsule.get(), nullptr));
    if (!fn) return -1;
    Ref done = Ref::steal(PyObject_CallMethod(copyreg.get(), "pickle", "OO", cls, fn.get()));
    return done ? 0 : -1;
}

}  // namespace vk
