// Module definition, the create and exec steps, imports, globals and class
// creation.
//
// Life cycle of a module: create records the interpreter and makes (or
// returns) the one module object of the process; exec runs the body once.
// A later import after the module was removed from sys.modules gets the same
// object back and exec returns at once. A failing exec drops the recorded
// module, so the next import starts again from a fresh create.
#include "call.hpp"
#include "dict_memo.hpp"
#include "function.hpp"
#include "generator.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "shortcut.hpp"

#include "cpython311.hpp"

#include <cstddef>
#include <utility>

namespace vk {

namespace {

ModuleFrame* frame_of(PyModuleDef* def) noexcept {
    // `def` is a member of the module's static ModuleFrame.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
    return reinterpret_cast<ModuleFrame*>(reinterpret_cast<char*>(def) - offsetof(ModuleFrame, def));
#pragma GCC diagnostic pop
}

PyObject* create_slot(PyObject* spec, PyModuleDef* def) noexcept { return frame_of(def)->create(spec); }

int exec_slot(PyObject* module) noexcept {
    PyModuleDef* def = PyModule_GetDef(module);
    if (!def) return -1;
    return frame_of(def)->exec(module);
}

// Copies spec.<attr> into the module namespace as `key`; a missing attribute
// is skipped.
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key, bool skip_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, key, value.get());
}

int version_check(const ModuleInfo& info) noexcept {
    const unsigned long major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
    if (major == 3 && minor == 11) return 0;
    char text[300];
    PyOS_snprintf(text, sizeof text, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 11, info.full_name, "does not match", (int)major, (int)minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, text, 1);
}

}  // namespace

int intern_all(std::initializer_list<Interned> names) noexcept {
    for (const Interned& n : names)
        if (!*n.slot && !(*n.slot = intern(n.text))) return -1;
    return 0;
}

PyObject* intern(const char* s) noexcept {
    // Interned strings are immortal for the life of the process in practice:
    // the interned table and our caches keep them.
    return PyUnicode_InternFromString(s);
}

ModuleFrame::ModuleFrame(const ModuleInfo& i) noexcept : info(i) {
    slots[0] = {Py_mod_create, reinterpret_cast<void*>(create_slot)};
    slots[1] = {Py_mod_exec, reinterpret_cast<void*>(exec_slot)};
    slots[2] = {0, nullptr};
    def = {
        PyModuleDef_HEAD_INIT,
        info.short_name,
        info.doc,
        0,
        nullptr,
        slots,
        nullptr,
        nullptr,
        nullptr,
    };
    // One module per shared object: its generators' profiled frames run in
    // its namespace.
    set_profiled_module(this);
}

PyObject* ModuleFrame::create(PyObject* spec) noexcept {
    PyInterpreterState* interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) return nullptr;
    if (interp_id == -1) {
        interp_id = id;
    } else if (interp_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (module) {
        // The interpreter resets the state pointer of whatever module the
        // create slot returns and allocates a new (empty) state at exec, so
        // the block allocated by the previous import would be lost. Give it
        // back now; nothing reads it before the reset.
        PyMem_Free(PyModule_GetState(module));
        return Py_NewRef(module);
    }

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref m = Ref::steal(PyModule_NewObject(name.get()));
    if (!m) return nullptr;
    PyObject* d = PyModule_GetDict(m.get());
    if (copy_spec_attr(spec, d, "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, d, "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, d, "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, d, "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return m.release();
}

namespace {

// `sys.modules[full_name] = m`, unless an entry is there already.
int add_to_sys_modules(const char* full_name, PyObject* m) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* key = PyUnicode_FromString(full_name);
    if (!key) return -1;
    int has = PyDict_Contains(modules, key);
    if (has == 0) has = PyDict_SetItem(modules, key, m);
    Py_DECREF(key);
    return has < 0 ? -1 : 0;
}

// `slot = builtins.<name>`; NameError, as a global lookup would raise it,
// when there is no such builtin.
int resolve_builtin(PyObject* builtins, const char* name, PyObject*& slot) noexcept {
    PyObject* v = PyObject_GetAttrString(builtins, name);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return -1;
    }
    set_field(slot, Ref::steal(v));
    return 0;
}

}  // namespace

int ModuleFrame::exec(PyObject* m) noexcept {
    if (module) {
        if (module == m) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", info.short_name);
        return -1;
    }
    module = Py_NewRef(m);
    dict = PyModule_GetDict(m);
    int step = 2;
    auto fail = [&]() noexcept -> int {
        if (step > 4) {
            char name[200];
            PyOS_snprintf(name, sizeof name, "init %s", info.full_name);
            add_traceback_entry(name, info.source_path, 1);
        }
        // Drop the module so that the next import starts afresh.
        Py_CLEAR(module);
        dict = nullptr;
        return -1;
    };

    if (!builtins_module) {
        builtins_module = PyImport_ImportModule("builtins");
        if (!builtins_module) return fail();
        builtins_dict = PyModule_GetDict(builtins_module);
    }
    if (PyObject_SetAttrString(m, "__builtins__", builtins_module) < 0) return fail();
    step = 3;
    if (version_check(info) < 0) return fail();
    step = 4;
    read_shortcut_settings(info.full_name);
    if (py311::run_probes() < 0) return fail();
    py311::report_probes(info.full_name);
    if (info.constants && info.constants(*this) < 0) return fail();
    step = 5;
    if (add_to_sys_modules(info.full_name, m) < 0) return fail();
    step = 6;
    for (int i = 0; info.builtins && info.builtins[i]; ++i)
        if (resolve_builtin(builtins_module, info.builtins[i], resolved[i]) < 0) return fail();
    step = 7;
    if (ready_function_type() < 0) return fail();
    if (info.prebuilt && info.prebuilt(*this) < 0) return fail();
    step = 8;
    if (info.generators && ready_generator_type() < 0) return fail();
    step = 9;
    if (info.body(*this) < 0) return fail();
    step = 10;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(dict, "__test__", test.get()) < 0) return fail();
    return 0;
}

int ModuleFrame::bind(const char* name, Ref value) noexcept {
    if (!value) return -1;
    return PyDict_SetItemString(dict, name, value.get());
}

namespace {

// A module found in sys.modules that is not still initialising.
Ref loaded_module(PyObject* name) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* m = PyDict_GetItemWithError(modules, name);
    if (!m) return Ref();
    Ref mod = Ref::borrow(m);
    Ref spec = Ref::steal(PyObject_GetAttrString(mod.get(), "__spec__"));
    if (!spec) {
        PyErr_Clear();
        return mod;
    }
    Ref initializing = Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing"));
    if (!initializing) {
        PyErr_Clear();
        return mod;
    }
    int busy = PyObject_IsTrue(initializing.get());
    if (busy < 0) {
        PyErr_Clear();
        return mod;
    }
    return busy ? Ref() : std::move(mod);
}

}  // namespace

int ModuleFrame::import_module(const char* name) noexcept {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return -1;
    Ref m = loaded_module(key.get());
    if (!m) {
        if (PyErr_Occurred()) return -1;
        m = Ref::steal(PyImport_ImportModuleLevelObject(key.get(), dict, nullptr, nullptr, 0));
        if (!m) return -1;
    }
    return bind(name, std::move(m));
}

// ---- imports at call time -----------------------------------------------------
//
// `from M import a, b` inside a function runs on every call. For a module
// that is loaded, the import machinery's steps are: look M up in
// sys.modules; read `M.__spec__` and its `_initializing` (a module still
// initialising is waited for); read `M.__path__` (a package hands the
// fromlist to importlib's `_handle_fromlist`); then the statement reads
// `M.a`, `M.b`. The cache remembers the module and the values of one
// statement, and answers the next run only when each of those steps would
// read the very objects it read the last time, without running Python code:
//   - sys.modules is the same exact dict, with the same version tag (so the
//     same object under M: a replaced or deleted entry changes the tag);
//   - M is (still) an exact module, whose namespace is the same dict with
//     the same version tag, holding `__spec__` and every name, and neither
//     `__path__` nor a module `__getattr__` (module attribute reads are then
//     plain lookups in that dict: the module type is immutable and defines
//     none of these names);
//   - the module spec's class is the same, with the same type version tag, reads
//     attributes generically and defines no `_initializing` itself; the
//     spec's instance dict is the same dict with the same version tag, and
//     holds `_initializing` as False or not at all (`spec._initializing =
//     True` changes that tag).
// Version tags of dicts are unique across the process and change on every
// mutation, so an equal tag means an unchanged dict. Every dict the answer
// was read from had only exact str keys when it was remembered: a lookup of
// a str key then never calls a key's `__eq__`, and a dict that later gains
// another key changes its tag. The check itself reads the state without
// running code; anything else, or a first run, goes through the machinery
// and then remembers what it read, if it qualifies. (The identity checks
// beside the tags are what the tags imply; they cost a compare each.)

namespace {

// A name that ModuleType's own attribute lookup could answer before the
// module's namespace.
bool module_type_defines(PyObject* name) noexcept {
    return py311::type_lookup(&PyModule_Type, name) != nullptr;
}

PyObject* g_spec_name = nullptr;          // "__spec__"
PyObject* g_path_name = nullptr;          // "__path__"
PyObject* g_getattr_name = nullptr;       // "__getattr__"
PyObject* g_initializing_name = nullptr;  // "_initializing"

}  // namespace

void ImportCache::drop() noexcept {
    Py_CLEAR(modules_);
    Py_CLEAR(module_);
    Py_CLEAR(module_dict_);
    Py_CLEAR(spec_);
    PyObject* type = reinterpret_cast<PyObject*>(spec_type_);
    spec_type_ = nullptr;
    Py_XDECREF(type);
    Py_CLEAR(spec_dict_);
    for (PyObject*& v : values_) Py_CLEAR(v);
    count_ = 0;
}

void ImportCache::swap(ImportCache& o) noexcept {
    std::swap(module_name_, o.module_name_);
    std::swap(fromlist_, o.fromlist_);
    std::swap(modules_, o.modules_);
    std::swap(modules_version_, o.modules_version_);
    std::swap(module_, o.module_);
    std::swap(module_dict_, o.module_dict_);
    std::swap(module_dict_version_, o.module_dict_version_);
    std::swap(spec_, o.spec_);
    std::swap(spec_type_, o.spec_type_);
    std::swap(spec_type_version_, o.spec_type_version_);
    std::swap(spec_dict_, o.spec_dict_);
    std::swap(spec_dict_version_, o.spec_dict_version_);
    std::swap(values_, o.values_);
    std::swap(count_, o.count_);
}

// The remembered values into `out` (done), if nothing they were read from
// changed; otherwise not taken. Runs no Python code.
Shortcut ImportCache::answer(PyObject* module_name, PyObject* fromlist, Ref* out) noexcept {
    if (!shortcuts_on() || !count_ || module_name != module_name_ || fromlist != fromlist_) return Shortcut::not_taken();
    // The module spec's dict is read again: `spec.__dict__ = {...}` replaces it
    // without touching any version tag. It exists since `remember`, so this
    // hands it back, except after `del spec.__dict__`: then it makes an empty
    // one, and an allocation may run a collection and so any code; hence it
    // comes before every other check.
    PyObject* spec_dict = PyObject_GenericGetDict(spec_, nullptr);
    if (!spec_dict) {
        PyErr_Clear();  // the machinery will say what is wrong
        return Shortcut::not_taken();
    }
    Py_DECREF(spec_dict);  // still held by the module spec
    if (spec_dict != spec_dict_ || py311::dict_version(spec_dict) != spec_dict_version_)
        return Shortcut::not_taken();
    if (Py_TYPE(spec_) != spec_type_ || py311::type_version(spec_type_) != spec_type_version_)
        return Shortcut::not_taken();
    PyObject* modules = PyImport_GetModuleDict();
    if (modules != modules_ || py311::dict_version(modules) != modules_version_) return Shortcut::not_taken();
    // `module.__class__ = <a ModuleType subclass>` changes no tag.
    if (!PyModule_CheckExact(module_) || PyModule_GetDict(module_) != module_dict_ ||
        py311::dict_version(module_dict_) != module_dict_version_)
        return Shortcut::not_taken();
    for (Py_ssize_t i = 0; i < count_; ++i) out[i] = Ref::borrow(values_[i]);
    return Shortcut::done();
}

// After a run through the machinery that gave `module` and `values`: keeps
// them if the next run can be answered by the checks of `answer`. -1 only
// for MemoryError.
// CAUTION: may run arbitrary Python code (a collection, while the module spec's
// dict is made)
namespace {

// Every attribute read of `from <module> import <fromlist>` is a lookup in
// the namespace `md` of `module` that finds `spec` and `values`, and no
// lookup can run code: 1, 0 (not so) or -1 (error set).
int reads_are_lookups(PyObject* module, PyObject* md, PyObject* spec, PyObject* fromlist,
                      const Ref* values) noexcept {
    if (PyModule_GetDict(module) != md || !vk::lookup_runs_no_code(md)) return 0;
    if (PyDict_GetItemWithError(md, g_spec_name) != spec) return PyErr_Occurred() ? -1 : 0;
    for (PyObject* absent : {g_path_name, g_getattr_name}) {
        if (PyDict_GetItemWithError(md, absent)) return 0;
        if (PyErr_Occurred()) return -1;
    }
    if (module_type_defines(g_spec_name) || module_type_defines(g_path_name)) return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fromlist); ++i) {
        PyObject* name = PyTuple_GET_ITEM(fromlist, i);
        if (!PyUnicode_CheckExact(name) || module_type_defines(name)) return 0;
        if (PyDict_GetItemWithError(md, name) != values[i].get()) return PyErr_Occurred() ? -1 : 0;
    }
    return 1;
}

// `__spec__._initializing` is an instance attribute (in `sd`, the instance
// dict of the module's `__spec__`), False or absent, of a `__spec__` whose
// type has a version tag, stored in `version`: 1, 0 (not so) or -1 (error
// set).
int spec_not_initializing(PyTypeObject* spec_type, PyObject* sd, unsigned int& version) noexcept {
    if (PyType_GetSlot(spec_type, Py_tp_getattro) != reinterpret_cast<void*>(PyObject_GenericGetAttr)) return 0;
    if (py311::type_lookup(spec_type, g_initializing_name)) return 0;
    version = py311::type_version(spec_type);
    if (!version) return 0;
    if (!PyDict_CheckExact(sd) || !vk::lookup_runs_no_code(sd)) return 0;
    PyObject* initializing = PyDict_GetItemWithError(sd, g_initializing_name);
    if (!initializing && PyErr_Occurred()) return -1;
    return initializing && initializing != Py_False ? 0 : 1;
}

}  // namespace

int ImportCache::remember(PyObject* module_name, PyObject* fromlist, PyObject* module, Ref* values) noexcept {
    if (!py311::usable(py311::Probe::dict_version) || !py311::usable(py311::Probe::type_version)) return 0;
    if (intern_all({{&g_spec_name, "__spec__"},
                    {&g_path_name, "__path__"},
                    {&g_getattr_name, "__getattr__"},
                    {&g_initializing_name, "_initializing"}}) < 0)
        return -1;
    if (!PyUnicode_CheckExact(module_name) || !PyTuple_CheckExact(fromlist)) return 0;
    const Py_ssize_t n = PyTuple_GET_SIZE(fromlist);
    if (n == 0 || n > kMaxNames || !PyModule_CheckExact(module)) return 0;
    PyObject* md = PyModule_GetDict(module);
    if (!md || !PyDict_CheckExact(md) || !vk::lookup_runs_no_code(md)) return 0;

    // First the module spec's instance dict: the module spec may keep its attributes
    // without one, and then a later `spec._initializing = True` would change
    // no tag; made now, every later store goes through it. Making it may run
    // code (see `answer`), so everything else is checked after it.
    Ref spec = Ref::borrow(PyDict_GetItemWithError(md, g_spec_name));
    if (!spec) return PyErr_Occurred() ? -1 : 0;
    Ref spec_dict = Ref::steal(PyObject_GenericGetDict(spec.get(), nullptr));
    if (!spec_dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();  // no instance dict
        return 0;
    }

    // From here on nothing runs code. sys.modules[module_name] is `module`,
    // found by a plain lookup.
    PyObject* modules = PyImport_GetModuleDict();
    if (!PyDict_CheckExact(modules) || !vk::lookup_runs_no_code(modules)) return 0;
    if (PyDict_GetItemWithError(modules, module_name) != module) return PyErr_Occurred() ? -1 : 0;

    if (int found = reads_are_lookups(module, md, spec.get(), fromlist, values); found <= 0) return found;
    PyTypeObject* spec_type = Py_TYPE(spec.get());
    PyObject* sd = spec_dict.get();
    unsigned int spec_type_version = 0;
    if (int idle = spec_not_initializing(spec_type, sd, spec_type_version); idle <= 0) return idle;

    ImportCache fresh;
    fresh.module_name_ = module_name;
    fresh.fromlist_ = fromlist;
    fresh.modules_ = Py_NewRef(modules);
    fresh.modules_version_ = py311::dict_version(modules);
    fresh.module_ = Py_NewRef(module);
    fresh.module_dict_ = Py_NewRef(md);
    fresh.module_dict_version_ = py311::dict_version(md);
    fresh.spec_ = spec.release();
    fresh.spec_type_ = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(spec_type)));
    fresh.spec_type_version_ = spec_type_version;
    fresh.spec_dict_version_ = py311::dict_version(sd);
    fresh.spec_dict_ = spec_dict.release();
    for (Py_ssize_t i = 0; i < n; ++i) fresh.values_[i] = Py_NewRef(values[i].get());
    fresh.count_ = n;
    // Publish, then let go of the previous answer: its decrefs may run code
    // that runs this statement again, which must find a whole answer.
    swap(fresh);
    fresh.drop();
    return 0;
}

int import_names(PyObject* globals, PyObject* module_name, PyObject* fromlist, Ref* out,
                 ImportCache* cache) noexcept {
    if (cache)
        if (Shortcut s = cache->answer(module_name, fromlist, out); s.taken()) return s.rc();

    Ref m = Ref::steal(PyImport_ImportModuleLevelObject(module_name, globals, nullptr, fromlist, 0));
    if (!m) return -1;
    Ref names = Ref::steal(PySequence_Tuple(fromlist));
    if (!names) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), i);
        Ref value = Ref::steal(PyObject_GetAttr(m.get(), name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            // A submodule that is loaded but not yet bound on its package.
            Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, name));
            if (!full) return -1;
            PyObject* sub = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
            if (!sub) {
                if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
                return -1;
            }
            value = Ref::borrow(sub);
        }
        out[i] = std::move(value);
    }
    if (shortcuts_on() && cache) return cache->remember(module_name, fromlist, m.get(), out);
    return 0;
}

int ModuleFrame::import_from(const char* module_name, const char* const* names) noexcept {
    Ref key = Ref::steal(PyUnicode_FromString(module_name));
    if (!key) return -1;
    Py_ssize_t n = 0;
    while (names[n]) ++n;
    Ref fromlist = Ref::steal(PyList_New(n));
    if (!fromlist) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* s = PyUnicode_FromString(names[i]);
        if (!s) return -1;
        PyList_SET_ITEM(fromlist.get(), i, s);
    }
    constexpr Py_ssize_t kMaxNames = 16;
    if (n > kMaxNames) {
        PyErr_SetString(PyExc_SystemError, "too many names in one import");
        return -1;
    }
    Ref values[kMaxNames];
    if (import_names(dict, key.get(), fromlist.get(), values) < 0) return -1;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyDict_SetItem(dict, PyList_GET_ITEM(fromlist.get(), i), values[i].get()) < 0) return -1;
    return 0;
}

// ---- globals ----------------------------------------------------------------

int GlobalName::init() noexcept {
    if (!name) name = intern(text);
    return name ? 0 : -1;
}

Ref GlobalName::get(const ModuleFrame& frame) noexcept {
    PyObject* const dicts[2] = {frame.dict, frame.builtins_dict};
    if (PyObject* const* v = found.find(dicts)) return Ref::borrow(*v);
    // Remembered only when neither lookup could run code.
    const bool pure = lookup_runs_no_code(frame.dict) && lookup_runs_no_code(frame.builtins_dict);
    PyObject* v = PyDict_GetItemWithError(frame.dict, name);
    if (!v) {
        if (PyErr_Occurred()) return Ref();
        v = PyDict_GetItemWithError(frame.builtins_dict, name);
        if (!v) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            return Ref();
        }
    }
    if (pure) found.remember(dicts, v);
    return Ref::borrow(v);
}

bool GlobalName::is(const ModuleFrame& frame, PyObject* expected) noexcept {
    PyObject* const dicts[2] = {frame.dict, frame.builtins_dict};
    if (PyObject* const* v = found.find(dicts)) return *v == expected;
    if (!lookup_runs_no_code(frame.dict) || !lookup_runs_no_code(frame.builtins_dict)) return false;
    Ref v = get(frame);
    if (!v) PyErr_Clear();
    return v && v.get() == expected;
}

// ---- classes ----------------------------------------------------------------

Ref create_class(ModuleFrame& frame, const char* name, PyObject* bases, const char* doc, ClassEntry* entries,
                 size_t nentries) noexcept {
    // The most derived metaclass of the bases.
    PyObject* meta = reinterpret_cast<PyObject*>(&PyType_Type);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, i)));
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(t), reinterpret_cast<PyTypeObject*>(meta)))
            meta = t;
        else if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(meta), reinterpret_cast<PyTypeObject*>(t))) {
            PyErr_SetString(PyExc_TypeError,
                            "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                            "subclass of the metaclasses of all its bases");
            return Ref();
        }
    }
    Ref name_obj = Ref::steal(PyUnicode_FromString(name));
    if (!name_obj) return Ref();
    Ref ns;
    Ref prepare = Ref::steal(PyObject_GetAttrString(meta, "__prepare__"));
    if (prepare) {
        ns = call(prepare.get(), {name_obj.get(), bases});
        if (!ns) return Ref();
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
        ns = Ref::steal(PyDict_New());
        if (!ns) return Ref();
    }
    Ref module_name = Ref::steal(PyUnicode_FromString(frame.info.full_name));
    Ref doc_obj = doc ? Ref::steal(PyUnicode_FromString(doc)) : Ref::borrow(Py_None);
    if (!module_name || !doc_obj) return Ref();
    if (PyMapping_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyMapping_SetItemString(ns.get(), "__qualname__", name_obj.get()) < 0 ||
        PyMapping_SetItemString(ns.get(), "__doc__", doc_obj.get()) < 0)
        return Ref();
    for (size_t i = 0; i < nentries; ++i) {
        if (!entries[i].value) return Ref();
        if (PyMapping_SetItemString(ns.get(), entries[i].key, entries[i].value.get()) < 0) return Ref();
    }
    return call(meta, {name_obj.get(), bases, ns.get()});
}

}  // namespace vk
