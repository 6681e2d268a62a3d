// The function type: argument binding, the data model attributes, method
// binding. Modelled on CPython's own function objects.
//
// Argument binding, in this order:
//  1. positional arguments fill the parameters from the left; a surplus goes
//     to the `*` parameter or fails with the count message;
//  2. each parameter not filled by position is looked up among the keywords
//     (identity, then string equality); a required one found neither way
//     fails with the count message;
//  3. a keyword left over names a parameter filled by position ("multiple
//     values"), or is collected by `**`, or is unexpected.
// The count message counts `self`; when keywords were passed and a required
// parameter is missing, "given" is the position of that parameter.
#include "call.hpp"
#include "function.hpp"
#include "module.hpp"
#include "ref.hpp"

#include "cpython311.hpp"
#include "profiling.hpp"

#include <cstring>
#include <string>

namespace vk {

namespace {

constexpr int kMaxParams = 14;

void count_error(Function* fn, bool too_many, Py_ssize_t given) noexcept {
    Py_ssize_t ndefaults = fn->defaults ? PyTuple_GET_SIZE(fn->defaults) : 0;
    if (ndefaults > fn->nparams) ndefaults = fn->nparams;
    const bool exact = ndefaults == 0 && !fn->star;
    const char* more_or_less = exact ? "exactly" : (too_many ? "at most" : "at least");
    Py_ssize_t expected = (exact || too_many) ? fn->nparams : fn->nparams - ndefaults;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 PyUnicode_AsUTF8(fn->name), more_or_less, expected, expected == 1 ? "" : "s", given);
}

bool same_name(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    return PyUnicode_Check(a) && PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0;
}

PyObject* finish(Function* fn, PyObject* result) noexcept {
    if (!result) add_traceback_entry(fn->tb_name, fn->frame->info.source_path, fn->line);
    return result;
}

// Binding, step 1: `*args`, the positional arguments beyond the parameters.
Ref star_tuple(PyObject* const* args, Py_ssize_t nargs, int np) noexcept {
    Py_ssize_t extra = nargs > np ? nargs - np : 0;
    Ref star = Ref::steal(PyTuple_New(extra));
    if (!star) return Ref();
    for (Py_ssize_t i = 0; i < extra; ++i) {
        Py_INCREF(args[np + i]);
        PyTuple_SET_ITEM(star.get(), i, args[np + i]);
    }
    return star;
}

// Binding, step 2: the parameters from `nfill` on, from the keywords (each
// taken one marked in `used`), else from `defaults`.
int fill_from_keywords(Function* fn, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nfill, PyObject* kwnames,
                       bool* used, PyObject* defaults, PyObject** slots) noexcept {
    const int np = fn->nparams;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (ndefaults > np) ndefaults = np;
    const Py_ssize_t nrequired = np - ndefaults;
    for (Py_ssize_t i = nfill; i < np; ++i) {
        slots[i] = nullptr;
        if (nkw) {
            PyObject* pname = PyTuple_GET_ITEM(fn->varnames, i);
            for (Py_ssize_t j = 0; j < nkw; ++j) {
                if (!used[j] && same_name(PyTuple_GET_ITEM(kwnames, j), pname)) {
                    slots[i] = args[nargs + j];
                    used[j] = true;
                    break;
                }
            }
        }
        if (!slots[i]) {
            if (i < nrequired) {
                count_error(fn, false, nkw ? i : nargs);
                return -1;
            }
            slots[i] = PyTuple_GET_ITEM(defaults, i - nrequired);
        }
    }
    return 0;
}

// Binding, step 3: the keywords left over go to `kwargs` (a new dict, made
// only when the function takes `**kwargs`); one that names a parameter
// filled by position, or any when there is no `**kwargs`, is an error.
int leftover_keywords(Function* fn, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nfill, PyObject* kwnames,
                      const bool* used, Ref& kwargs) noexcept {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (fn->starstar) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return -1;
    }
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        if (used[j]) continue;
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        bool positional = false;
        for (Py_ssize_t i = 0; i < nfill; ++i) {
            if (same_name(key, PyTuple_GET_ITEM(fn->varnames, i))) {
                positional = true;
                break;
            }
        }
        if (positional) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         PyUnicode_AsUTF8(fn->name), key);
            return -1;
        }
        if (!fn->starstar) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         PyUnicode_AsUTF8(fn->name), key);
            return -1;
        }
        if (PyDict_SetItem(kwargs.get(), key, args[nargs + j]) < 0) return -1;
    }
    return 0;
}

PyObject* bind_and_call(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const int np = fn->nparams;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* slots[kMaxParams + 2];
    // Which keywords were taken by a named parameter.
    bool used_small[32] = {};
    bool* used = used_small;
    struct Free {
        bool* p;
        ~Free() { PyMem_Free(p); }
    } used_big{nullptr};
    if (nkw > 32) {
        used = used_big.p = static_cast<bool*>(PyMem_Calloc(nkw, sizeof(bool)));
        if (!used) {
            PyErr_NoMemory();
            return nullptr;
        }
    }
    // `__defaults__` may be replaced by the body; keep this call's tuple alive.
    Ref defaults = Ref::borrow(fn->defaults);

    // 1. positional
    Py_ssize_t nfill = nargs < np ? nargs : np;
    for (Py_ssize_t i = 0; i < nfill; ++i) slots[i] = args[i];
    if (nargs > np && !fn->star) {
        count_error(fn, true, nargs);
        return nullptr;
    }
    Ref star;
    if (fn->star && !(star = star_tuple(args, nargs, np))) return nullptr;
    // 2. keywords for the parameters left
    if (fill_from_keywords(fn, args, nargs, nfill, kwnames, used, defaults.get(), slots) < 0) return nullptr;
    // 3. keywords left over
    Ref kwargs;
    if (leftover_keywords(fn, args, nargs, nfill, kwnames, used, kwargs) < 0) return nullptr;
    int n = np;
    if (fn->star) slots[n++] = star.get();
    if (fn->starstar) slots[n++] = kwargs.get();
    return fn->body(fn, slots);
}

inline PyObject* call_body(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    // Binding would copy the arguments unchanged.
    if (shortcuts_on() && !kwnames && !fn->starstar) {
        if (nargs == fn->nparams && !fn->star) return fn->body(fn, args);
        // Without the `*` tuple, which the body makes if it needs one.
        if (nargs >= fn->nparams && fn->positional) return fn->positional(fn, args, nargs);
    }
    return bind_and_call(fn, args, nargs, kwnames);
}

// The call as the profile function sees it (profiling.hpp).
[[gnu::noinline]] PyObject* call_body_profiled(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) noexcept {
    PyObject* globals = fn->globals ? fn->globals : fn->frame->dict;
    return run_profiled(fn->code, globals, reinterpret_cast<PyObject*>(fn),
                        [&]() noexcept { return call_body(fn, args, nargs, kwnames); });
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    Function* fn = reinterpret_cast<Function*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Native calls count towards the recursion limit like Python frames, so
    // runaway recursion through these functions raises RecursionError
    // instead of overflowing the C stack. The thread state, fetched once,
    // serves that count and the profiling test.
    static constexpr char kWhere[] = " while calling a Python object";
    PyThreadState* ts = PyThreadState_Get();
    const bool count_here = py311::usable(py311::Probe::recursion_depth);
    if (count_here ? py311::enter_recursive_call(ts, kWhere) : Py_EnterRecursiveCall(kWhere)) {
        finish(fn, nullptr);
        return nullptr;
    }
    // The body may drop the last other reference to this function.
    Py_INCREF(fn);
    PyObject* result = profiling_active(ts) ? call_body_profiled(fn, args, nargs, kwnames)
                                            : call_body(fn, args, nargs, kwnames);
    if (count_here)
        py311::leave_recursive_call(ts);
    else
        Py_LeaveRecursiveCall();
    finish(fn, result);
    Py_DECREF(fn);
    return result;
}

// ---- data model -----------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->varnames);
    Py_VISIT(f->annotations);
    Py_VISIT(f->klass);
    Py_VISIT(f->closure);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    // name, qualname, code and varnames are strings and code: they make no
    // cycles and binding needs them until deallocation.
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->klass);
    Py_CLEAR(f->closure);
    return 0;
}

void function_dealloc(PyObject* self) {
    dealloc_tracked<Function>(
        self, [self](Function*) noexcept { function_clear(self); },
        {&Function::name, &Function::qualname, &Function::module, &Function::code, &Function::varnames});
}

PyObject* function_repr(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == Py_None || obj == nullptr) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

template <size_t Offset>
PyObject* get_field_or_none(PyObject* self, void*) {
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    return Py_NewRef(v ? v : Py_None);
}

int set_doc(PyObject* self, PyObject* value, void*) {
    set_field(reinterpret_cast<Function*>(self)->doc, Ref::borrow(value ? value : Py_None));
    return 0;
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Function* f = reinterpret_cast<Function*>(self);
    set_field(f->defaults, Ref::borrow(value));
    f->frame->functions_changed = true;
    return 0;
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Function* f = reinterpret_cast<Function*>(self);
    set_field(f->kwdefaults, Ref::borrow(value));
    f->frame->functions_changed = true;
    return 0;
}
PyObject* get_annotations(PyObject* self, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    set_field(reinterpret_cast<Function*>(self)->annotations, Ref::borrow(value));
    return 0;
}
PyObject* get_closure(PyObject* self, void*) {
    Function* f = reinterpret_cast<Function*>(self);
    if (!f->closure) Py_RETURN_NONE;
    Ref cell = Ref::steal(PyCell_New(f->closure));
    if (!cell) return nullptr;
    return PyTuple_Pack(1, cell.get());
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    // Pickled by reference, like any module-level function or method.
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", NameAccessors<Function>::get_name, NameAccessors<Function>::set_name, nullptr, nullptr},
    {"__qualname__", NameAccessors<Function>::get_qualname, NameAccessors<Function>::set_qualname, nullptr, nullptr},
    {"__doc__", get_field_or_none<offsetof(Function, doc)>, set_doc, nullptr, nullptr},
    {"__defaults__", get_field_or_none<offsetof(Function, defaults)>, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_field_or_none<offsetof(Function, kwdefaults)>, set_kwdefaults, nullptr, nullptr},
    {"__globals__", get_field_or_none<offsetof(Function, globals)>, nullptr, nullptr, nullptr},
    {"__code__", get_field_or_none<offsetof(Function, code)>, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakreflist), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Parses "self, data, wild" / "self, *vals" / "*args, **kwargs".
bool parse_params(const char* text, std::string names[], int& n, bool& star, bool& starstar) {
    n = 0;
    star = starstar = false;
    std::string s(text);
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t comma = s.find(',', pos);
        if (comma == std::string::npos) comma = s.size();
        std::string item = s.substr(pos, comma - pos);
        size_t a = item.find_first_not_of(' '), b = item.find_last_not_of(' ');
        pos = comma + 1;
        if (a == std::string::npos) continue;
        item = item.substr(a, b - a + 1);
        if (n >= kMaxParams) return false;
        if (item.rfind("**", 0) == 0) {
            starstar = true;
        } else if (item.rfind("*", 0) == 0) {
            star = true;
        }
        names[n++] = item;
    }
    return true;
}

Ref make_code(ModuleFrame& frame, const FunctionSpec& spec) noexcept {
    std::string src(spec.line > 1 ? spec.line - 1 : 0, '\n');
    src += "def ";
    src += spec.name;
    src += "(";
    src += spec.params;
    src += "):\n    ";
    src += spec.generator ? "yield\n" : "pass\n";
    Ref module_code = Ref::steal(Py_CompileString(src.c_str(), frame.info.source_path, Py_file_input));
    if (!module_code) return Ref();
    Ref consts = Ref::steal(PyObject_GetAttrString(module_code.get(), "co_consts"));
    if (!consts) return Ref();
    for (Py_ssize_t i = 0; PyTuple_Check(consts.get()) && i < PyTuple_GET_SIZE(consts.get()); ++i) {
        PyObject* c = PyTuple_GET_ITEM(consts.get(), i);
        if (PyCode_Check(c)) return Ref::borrow(c);
    }
    PyErr_SetString(PyExc_SystemError, "function stub without code");
    return Ref();
}

}  // namespace

PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
};

int ready_function_type() noexcept {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    fill_tracked_type(FunctionType, {"varnokpy.function", sizeof(Function),
                                     Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL, function_dealloc,
                                     function_traverse, function_clear, function_repr, function_getset,
                                     function_methods, offsetof(Function, weakreflist)});
    FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_members = function_members;
    FunctionType.tp_dictoffset = offsetof(Function, dict);
    return PyType_Ready(&FunctionType);
}

void fill_tracked_type(PyTypeObject& type, const TrackedTypeSlots& slots) noexcept {
    type.tp_name = slots.name;
    type.tp_basicsize = slots.basicsize;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | slots.flags;
    type.tp_dealloc = slots.dealloc;
    type.tp_traverse = slots.traverse;
    type.tp_clear = slots.clear;
    type.tp_repr = slots.repr;
    type.tp_getset = slots.getset;
    type.tp_methods = slots.methods;
    type.tp_weaklistoffset = slots.weaklistoffset;
}

namespace {

// `co_varnames` of a function: its parameter names, without their stars.
Ref make_varnames(const std::string* names, int n) noexcept {
    Ref varnames = Ref::steal(PyTuple_New(n));
    if (!varnames) return Ref();
    for (int i = 0; i < n; ++i) {
        const char* nm = names[i].c_str();
        while (*nm == '*') ++nm;
        PyObject* s = intern(nm);
        if (!s) return Ref();
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(s));
    }
    return varnames;
}

// The stub of a lambda was compiled as `def <spec.name>`; a lambda's code is
// named "<lambda>".
Ref lambda_code(const Ref& code, const FunctionSpec& spec) noexcept {
    Ref replace = getattr(code.get(), intern("replace"));
    Ref empty = replace ? Ref::steal(PyTuple_New(0)) : Ref();
    Ref kwargs = empty ? Ref::steal(Py_BuildValue("{ssss}", "co_name", "<lambda>", "co_qualname", spec.qualname))
                       : Ref();
    return kwargs ? Ref::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get())) : Ref();
}

// The name of a function's traceback entries: the module's full name and the
// qualname, where nested functions name their entries "<enclosing>.<name>",
// a lambda "<enclosing>.lambda".
Ref traceback_name(const ModuleFrame& frame, const FunctionSpec& spec) noexcept {
    std::string tb = std::string(frame.info.full_name) + "." + spec.qualname;
    for (size_t at; (at = tb.find("<locals>.")) != std::string::npos;) tb.erase(at, 9);
    for (size_t at; (at = tb.find("<lambda>")) != std::string::npos;) tb.replace(at, 8, "lambda");
    return Ref::steal(PyUnicode_InternFromString(tb.c_str()));
}

}  // namespace

Ref make_function(ModuleFrame& frame, const FunctionSpec& spec, Ref defaults) noexcept {
    if (ready_function_type() < 0) return Ref();
    std::string names[kMaxParams];
    int n;
    bool star, starstar;
    if (!parse_params(spec.params, names, n, star, starstar)) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return Ref();
    }
    Ref varnames = make_varnames(names, n);
    if (!varnames) return Ref();
    Ref code = make_code(frame, spec);
    if (!code) return Ref();
    const char* name = spec.lambda ? "<lambda>" : spec.name;
    if (spec.lambda && !(code = lambda_code(code, spec))) return Ref();
    Ref tb_obj = traceback_name(frame, spec);
    if (!tb_obj) return Ref();

    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) return Ref();
    f->vectorcall = function_vectorcall;
    f->body = spec.body;
    f->positional = spec.positional;
    f->frame = &frame;
    f->name = PyUnicode_InternFromString(name);
    f->qualname = PyUnicode_InternFromString(spec.qualname);
    f->module = PyUnicode_InternFromString(frame.info.full_name);
    f->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    f->defaults = (defaults && PyTuple_GET_SIZE(defaults.get())) ? defaults.release() : nullptr;
    f->kwdefaults = nullptr;
    f->dict = nullptr;
    f->globals = Py_NewRef(frame.dict);
    f->code = code.release();
    f->varnames = varnames.release();
    f->annotations = nullptr;
    f->klass = nullptr;
    f->closure = nullptr;
    f->weakreflist = nullptr;
    // Interned strings live as long as the process holds them; keep one
    // reference so the UTF-8 buffer stays valid.
    f->tb_name = PyUnicode_AsUTF8(tb_obj.release());
    f->line = spec.line;
    f->nparams = n - (star ? 1 : 0) - (starstar ? 1 : 0);
    f->star = star;
    f->starstar = starstar;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(f));
    if (!f->name || !f->qualname || !f->module || !f->doc) return Ref();
    PyObject_GC_Track(f);
    return result;
}

Ref make_closure(PyObject* prototype, PyObject* captured) noexcept {
    Function* p = reinterpret_cast<Function*>(prototype);
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) return Ref();
    f->vectorcall = p->vectorcall;
    f->body = p->body;
    f->positional = p->positional;
    f->frame = p->frame;
    f->name = Py_NewRef(p->name);
    f->qualname = Py_NewRef(p->qualname);
    f->module = Py_NewRef(p->module);
    f->doc = Py_XNewRef(p->doc);
    f->defaults = Py_XNewRef(p->defaults);
    f->kwdefaults = Py_XNewRef(p->kwdefaults);
    f->dict = nullptr;
    f->globals = Py_XNewRef(p->globals);
    f->code = Py_NewRef(p->code);
    f->varnames = Py_NewRef(p->varnames);
    f->annotations = nullptr;
    f->klass = Py_XNewRef(p->klass);
    f->closure = Py_XNewRef(captured);
    f->weakreflist = nullptr;
    f->tb_name = p->tb_name;
    f->line = p->line;
    f->nparams = p->nparams;
    f->star = p->star;
    f->starstar = p->starstar;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

int set_str_field(PyObject*& field, PyObject* value, const char* what) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    set_field(field, Ref::borrow(value));
    return 0;
}

void set_class_cell(PyObject* fn, PyObject* klass) noexcept {
    set_field(reinterpret_cast<Function*>(fn)->klass, Ref::borrow(klass));
}

void add_traceback_entry(const char* funcname, const char* filename, int line) noexcept {
    py311::add_traceback(funcname, filename, line);
}

void detail::add_call_entry(PyObject* fn) noexcept {
    const Function* f = reinterpret_cast<const Function*>(fn);
    add_traceback_entry(f->tb_name, f->frame->info.source_path, f->line);
}

void add_body_entry(PyObject* fn) noexcept {
    // Named as a generator's entries are: by its code's name, which stays
    // what it was when `__name__` is replaced.
    const Function* f = reinterpret_cast<const Function*>(fn);
    // (Names in the table are ASCII: their text is the string's own data,
    // read without a call that could replace the pending exception.)
    PyObject* co_name = reinterpret_cast<PyCodeObject*>(f->code)->co_name;
    const char* name = PyUnicode_IS_COMPACT_ASCII(co_name) ? static_cast<const char*>(PyUnicode_DATA(co_name))
                                                           : PyUnicode_AsUTF8(f->name);
    add_traceback_entry(name, f->frame->info.source_path, f->line);
}

}  // namespace vk
