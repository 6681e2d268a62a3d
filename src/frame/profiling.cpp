// Reporting native calls to the profile function (see profiling.hpp).
#include "profiling.hpp"

#include "module.hpp"

#include <new>
#include <vector>

namespace vk {

namespace {

// The native calls of this thread that were reported and still run, shared
// by every module of the package (each shared object has its own copy of the
// frame): a list in the thread state's dict, holding for each call its frame
// and the Python frame that was running when it started (None for none).
PyObject* running_calls() noexcept {
    static PyObject* key = nullptr;
    if (!key && !(key = PyUnicode_InternFromString("varnokpy.profiled_calls"))) return nullptr;
    PyObject* dict = PyThreadState_GetDict();  // borrowed
    if (!dict) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    PyObject* calls = PyDict_GetItemWithError(dict, key);
    if (calls || PyErr_Occurred()) return calls;
    Ref list = Ref::steal(PyList_New(0));
    if (!list || PyDict_SetItem(dict, key, list.get()) < 0) return nullptr;
    return list.get();  // the dict holds it
}

ModuleFrame* g_module = nullptr;

PyObject* interned(PyObject*& slot, const char* text) noexcept {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot;
}

// Is `hook` (what `sys.getprofile()` reports) the dispatcher of the standard
// library's pure-Python profiler: a method of a `profile.Profile`, from the
// module imported as `profile` or run as the main module by
// `python -m profile`? Reads dicts only, runs no Python code, and leaves
// the pending exception (a failed call's) as it was.
bool python_profiler(PyObject* hook) noexcept {
    if (!hook || !PyMethod_Check(hook)) return false;
    PyObject* func = PyMethod_GET_FUNCTION(hook);
    if (!PyFunction_Check(func)) return false;
    struct KeepError {
        PyObject *type, *value, *traceback;
        KeepError() noexcept { PyErr_Fetch(&type, &value, &traceback); }
        ~KeepError() { PyErr_Restore(type, value, traceback); }
    } keep;
    static PyObject *s_Profile, *s_dunder_name, *s_dunder_spec, *s_name, *s_profile;
    if (!interned(s_Profile, "Profile") || !interned(s_dunder_name, "__name__") ||
        !interned(s_dunder_spec, "__spec__") || !interned(s_name, "name") || !interned(s_profile, "profile")) {
        PyErr_Clear();
        return false;
    }
    auto names_profile = [](PyObject* dict, PyObject* key) noexcept {
        PyObject* v = dict && PyDict_Check(dict) ? PyDict_GetItemWithError(dict, key) : nullptr;
        return v && PyUnicode_Check(v) && PyUnicode_Compare(v, s_profile) == 0;
    };
    PyObject* globals = PyFunction_GET_GLOBALS(func);
    PyObject* cls = PyDict_Check(globals) ? PyDict_GetItemWithError(globals, s_Profile) : nullptr;
    bool found = cls && PyType_Check(cls) &&
                 PyObject_TypeCheck(PyMethod_GET_SELF(hook), reinterpret_cast<PyTypeObject*>(cls));
    if (found && !names_profile(globals, s_dunder_name)) {
        // Run as the main module: its spec still names the module.
        PyObject* spec = PyDict_GetItemWithError(globals, s_dunder_spec);
        PyObject* spec_dict = spec && spec != Py_None ? PyObject_GenericGetDict(spec, nullptr) : nullptr;
        found = names_profile(spec_dict, s_name);
        Py_XDECREF(spec_dict);
    }
    PyErr_Clear();  // anything the lookups raised; `keep` then restores the caller's
    return found;
}

}  // namespace

ProfiledCall::~ProfiledCall() {
    pop();
    Py_XDECREF(frame_);
    Py_XDECREF(callable_);
}

void ProfiledCall::pop() noexcept {
    if (!calls_) return;
    // Only what this call pushed, which is on top while it runs.
    const Py_ssize_t n = PyList_GET_SIZE(calls_);
    if (n >= 2 && PyList_GET_ITEM(calls_, n - 2) == frame_) PyList_SetSlice(calls_, n - 2, n, nullptr);
    Py_CLEAR(calls_);
}

int ProfiledCall::enter(PyObject* code, PyObject* globals, PyObject* callable) noexcept {
    PyThreadState* ts = PyThreadState_Get();
    // Borrowed: the caller's frame lives while it runs.
    PyObject* caller = reinterpret_cast<PyObject*>(PyThreadState_GetFrame(ts));
    Py_XDECREF(caller);
    if (python_profiler(py311::profile_hook(ts).obj)) {
        // C-call events of the running Python frame (there is none when the
        // call comes straight from C: then there is nothing to report).
        if (!caller) return 0;
        c_events_ = true;
        frame_ = Py_NewRef(caller);
        callable_ = Py_NewRef(callable);
        reported_ = true;
        return report(PyTrace_C_CALL, callable_);
    }
    if (!code || !globals) return 0;
    PyObject* calls = running_calls();
    if (!calls) return -1;
    PyFrameObject* frame = PyFrame_New(ts, reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
    if (!frame) return -1;
    frame_ = reinterpret_cast<PyObject*>(frame);
    // Called from the innermost native call still running, if that was
    // started by the Python frame running now; else from that Python frame.
    PyObject* back = caller;
    const Py_ssize_t n = PyList_GET_SIZE(calls);
    if (n >= 2 && PyList_GET_ITEM(calls, n - 1) == (caller ? caller : Py_None)) back = PyList_GET_ITEM(calls, n - 2);
    py311::set_frame_back(frame, reinterpret_cast<PyFrameObject*>(back));
    if (PyList_Append(calls, frame_) < 0) return -1;
    if (PyList_Append(calls, caller ? caller : Py_None) < 0) {
        PyList_SetSlice(calls, PyList_GET_SIZE(calls) - 1, PyList_GET_SIZE(calls), nullptr);
        return -1;
    }
    calls_ = Py_NewRef(calls);
    reported_ = true;
    return report(PyTrace_CALL, Py_None);
}

PyObject* ProfiledCall::leave(PyObject* result) noexcept {
    int r = 0;
    if (reported_) {
        // The events go to the profile function set now, as the interpreter
        // sends them, unless it is a profiler of the other kind.
        const bool python = python_profiler(py311::profile_hook(PyThreadState_Get()).obj);
        if (c_events_ && python)
            r = report(result ? PyTrace_C_RETURN : PyTrace_C_EXCEPTION, callable_);
        else if (!c_events_ && !python)
            r = report(PyTrace_RETURN, result);
    }
    pop();
    if (r < 0) {
        Py_XDECREF(result);
        return nullptr;
    }
    return result;
}

// As the interpreter calls a profile function: not while one runs (tracing
// is paused meanwhile, so native calls made by the profile function itself
// are not reported), with the pending exception put aside and restored, and
// an exception of the profile function replacing it.
int ProfiledCall::report(int what, PyObject* arg) noexcept {
    PyThreadState* ts = PyThreadState_Get();
    if (!py311::profile_pending(ts)) return 0;
    const py311::ProfileHook hook = py311::profile_hook(ts);
    Py_XINCREF(hook.obj);  // the profile function may replace itself
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyThreadState_EnterTracing(ts);
    const int r = hook.func(hook.obj, reinterpret_cast<PyFrameObject*>(frame_), what, arg);
    PyThreadState_LeaveTracing(ts);
    Py_XDECREF(hook.obj);
    if (r == 0) {
        PyErr_Restore(type, value, traceback);
        return 0;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return -1;
}

PyObject* generator_site_code(const char* filename, int line, const char* name) noexcept {
    struct Site {
        const char* filename;
        int line;
        const char* name;
        PyObject* code;
    };
    static std::vector<Site> sites;
    for (const Site& s : sites)
        if (s.line == line && s.filename == filename && s.name == name) return s.code;
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, name, line));
    if (!code) return nullptr;
    try {
        sites.push_back({filename, line, name, code});
    } catch (const std::bad_alloc&) {
        Py_DECREF(code);
        PyErr_NoMemory();
        return nullptr;
    }
    return code;
}

void set_profiled_module(ModuleFrame* frame) noexcept { g_module = frame; }

PyObject* profiled_module_globals() noexcept { return g_module ? g_module->dict : nullptr; }

}  // namespace vk
