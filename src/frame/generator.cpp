// The generator type.
//
// A generator owns its body (a `GenBody`); the body is deleted as soon as the
// generator finishes, fails, is closed or has an exception thrown into it, so
// the objects it held are released early, as a finished Python generator
// releases its frame.
#include "function.hpp"
#include "generator.hpp"
#include "module.hpp"
#include "profiling.hpp"
#include "ref.hpp"

namespace vk {

namespace {

void finish_body(Generator* g) noexcept {
    GenBody* body = g->body;
    g->body = nullptr;
    if (body) {
        body->clear();
        delete body;
    }
}

// A resumption as the profile function sees it (profiling.hpp): a call of
// the generator function's code, or of a code object that stands for the
// generator expression.
[[gnu::noinline]] PyObject* resume_profiled(Generator* g) noexcept {
    PyObject* code = g->code ? g->code : generator_site_code(g->filename, g->line, PyUnicode_AsUTF8(g->tb_name));
    if (!code) return nullptr;
    return run_profiled(code, profiled_module_globals(), reinterpret_cast<PyObject*>(g),
                        [g]() noexcept { return g->body->resume(); });
}

PyObject* generator_next(PyObject* self) noexcept {
    Generator* g = reinterpret_cast<Generator*>(self);
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (!g->body) return nullptr;
    g->started = true;
    g->running = true;
    Py_INCREF(self);
    PyObject* value = profiling_active() ? resume_profiled(g) : g->body->resume();
    g->running = false;
    if (!value) {
        if (PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                // As in Python generators: a StopIteration leaking from the
                // body becomes a RuntimeError.
                PyObject *t, *v, *tb;
                PyErr_Fetch(&t, &v, &tb);
                PyErr_NormalizeException(&t, &v, &tb);
                if (tb) PyException_SetTraceback(v, tb);
                PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
                PyObject *t2, *v2, *tb2;
                PyErr_Fetch(&t2, &v2, &tb2);
                PyErr_NormalizeException(&t2, &v2, &tb2);
                Py_INCREF(v);
                PyException_SetCause(v2, v);
                PyException_SetContext(v2, v);
                Py_XDECREF(t);
                Py_XDECREF(tb);
                PyErr_Restore(t2, v2, tb2);
            }
            add_traceback_entry(PyUnicode_AsUTF8(g->tb_name), g->filename, g->line);
        }
        finish_body(g);
    }
    Py_DECREF(self);
    return value;
}

PyObject* generator_send(PyObject* self, PyObject* value) noexcept {
    Generator* g = reinterpret_cast<Generator*>(self);
    if (!g->started && g->body && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* r = generator_next(self);
    if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return r;
}

PyObject* generator_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Generator* g = reinterpret_cast<Generator*>(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, nargs < 1 ? "throw expected at least 1 argument, got %zd"
                                                : "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val ? val : Py_None);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(typ)), typ);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb) {
        PyObject *t, *v, *old_tb;
        PyErr_Fetch(&t, &v, &old_tb);
        PyErr_NormalizeException(&t, &v, &old_tb);
        Py_XDECREF(old_tb);
        Py_INCREF(tb);
        PyErr_Restore(t, v, tb);
    }
    // The body has no handler: the exception ends the generator where it
    // stands, and its frame shows in the traceback.
    if (g->body) {
        add_traceback_entry(PyUnicode_AsUTF8(g->tb_name), g->filename, g->line);
        g->started = true;
        Py_INCREF(self);
        finish_body(g);
        Py_DECREF(self);
    }
    return nullptr;
}

PyObject* generator_close(PyObject* self, PyObject*) noexcept {
    Generator* g = reinterpret_cast<Generator*>(self);
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    Py_INCREF(self);
    finish_body(g);
    Py_DECREF(self);
    Py_RETURN_NONE;
}

PyObject* generator_iter(PyObject* self) noexcept { return Py_NewRef(self); }

int generator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Generator* g = reinterpret_cast<Generator*>(self);
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    if (g->body) return g->body->traverse(visit, arg);
    return 0;
}

int generator_clear(PyObject* self) noexcept {
    Generator* g = reinterpret_cast<Generator*>(self);
    if (g->body && !g->running) g->body->clear();
    return 0;
}

void generator_dealloc(PyObject* self) noexcept {
    dealloc_tracked<Generator>(self, finish_body,
                               {&Generator::name, &Generator::qualname, &Generator::tb_name, &Generator::code});
}

PyObject* generator_repr(PyObject* self) noexcept {
    Generator* g = reinterpret_cast<Generator*>(self);
    return PyUnicode_FromFormat("<generator object %U at %p>", g->qualname, self);
}

PyObject* get_running(PyObject* self, void*) noexcept {
    return PyBool_FromLong(reinterpret_cast<Generator*>(self)->running);
}
PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyGetSetDef generator_getset[] = {
    {"__name__", NameAccessors<Generator>::get_name, NameAccessors<Generator>::set_name, nullptr, nullptr},
    {"__qualname__", NameAccessors<Generator>::get_qualname, NameAccessors<Generator>::set_qualname, nullptr,
     nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_frame", get_none, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_throw)), METH_FASTCALL, nullptr},
    {"close", generator_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject GeneratorType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
};

Ref make_generator(const char* name, const char* qualname, const char* filename, int line, GenBody* body) noexcept {
    if (!body) return Ref();
    Generator* g = PyObject_GC_New(Generator, &GeneratorType);
    if (!g) {
        body->clear();
        delete body;
        return Ref();
    }
    g->body = body;
    g->name = PyUnicode_InternFromString(name);
    g->qualname = PyUnicode_InternFromString(qualname);
    g->tb_name = Py_XNewRef(g->name);
    g->filename = filename;
    g->code = nullptr;
    g->line = line;
    g->started = false;
    g->running = false;
    g->weakreflist = nullptr;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(g));
    if (!g->name || !g->qualname) return Ref();
    PyObject_GC_Track(g);
    return result;
}

Ref make_generator(Function* fn, GenBody* body) noexcept {
    Ref g = make_generator(PyUnicode_AsUTF8(fn->name), PyUnicode_AsUTF8(fn->qualname), fn->frame->info.source_path,
                           fn->line, body);
    if (g) reinterpret_cast<Generator*>(g.get())->code = Py_XNewRef(fn->code);
    return g;
}

int ready_generator_type() noexcept {
    if (GeneratorType.tp_flags & Py_TPFLAGS_READY) return 0;
    fill_tracked_type(GeneratorType, {"varnokpy.generator", sizeof(Generator), 0, generator_dealloc,
                                      generator_traverse, generator_clear, generator_repr, generator_getset,
                                      generator_methods, offsetof(Generator, weakreflist)});
    GeneratorType.tp_iter = generator_iter;
    GeneratorType.tp_iternext = generator_next;
    if (PyType_Ready(&GeneratorType) < 0) return -1;

    // Register as a virtual subclass of the generator ABCs, once per process.
    PyObject* type = reinterpret_cast<PyObject*>(&GeneratorType);
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) {
        PyErr_WriteUnraisable(nullptr);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, "generator type not registered with collections.abc.Generator", 1) < 0)
            return -1;
    } else {
        Ref gen_abc = Ref::steal(PyObject_GetAttrString(abc.get(), "Generator"));
        if (!gen_abc) return -1;
        Ref done = Ref::steal(PyObject_CallMethod(gen_abc.get(), "register", "O", type));
        if (!done) return -1;
    }
    Ref backports = Ref::steal(PyImport_ImportModule("backports_abc"));
    Ref back_gen = backports ? Ref::steal(PyObject_GetAttrString(backports.get(), "Generator")) : Ref();
    Ref done = back_gen ? Ref::steal(PyObject_CallMethod(back_gen.get(), "register", "O", type)) : Ref();
    if (!done) PyErr_Clear();
    return 0;
}

}  // namespace vk
