// The load-time probes of cpython311.hpp.
//
// Each probe exercises its accessors on objects made here and compares what
// they report with what the public API says of the same objects. A probe
// never raises: a mismatch, or a failure while building the samples, marks
// it failed (and clears the error), except MemoryError, which fails the load.
#include "cpython311.hpp"

#include <cstdlib>
#include <cstring>

namespace vk::py311 {

namespace {

constexpr const char* kProbeNames[] = {"dict_version", "type_version", "profile_hook", "frame_links",
                                       "recursion_depth"};
static_assert(sizeof kProbeNames / sizeof *kProbeNames == static_cast<size_t>(Probe::count));

bool g_ran = false;

// Is `name` listed in VARNOK_FAIL_PROBES?
bool forced_to_fail(const char* name) noexcept {
    const char* env = std::getenv("VARNOK_FAIL_PROBES");
    if (!env || !*env) return false;
    const size_t n = std::strlen(name);
    for (const char* p = env; *p;) {
        const char* end = std::strchr(p, ',');
        const size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
        if ((len == 3 && std::strncmp(p, "all", 3) == 0) || (len == n && std::strncmp(p, name, n) == 0)) return true;
        if (!end) break;
        p = end + 1;
    }
    return false;
}

// ---- the probes: each returns 1 (trusted), 0 (not trusted) or -1 (MemoryError)

int probe_dict_version() noexcept {
    Ref d = Ref::steal(PyDict_New());
    Ref k = Ref::steal(PyUnicode_FromString("probe"));
    if (!d || !k) return -1;
    const uint64_t v0 = dict_version(d.get());
    if (PyDict_SetItem(d.get(), k.get(), Py_None) < 0) return -1;
    const uint64_t v1 = dict_version(d.get());
    if (PyDict_GetItemWithError(d.get(), k.get()) != Py_None) return PyErr_Occurred() ? -1 : 0;
    const uint64_t v2 = dict_version(d.get());
    if (PyDict_DelItem(d.get(), k.get()) < 0) return -1;
    const uint64_t v3 = dict_version(d.get());
    return v1 != v0 && v2 == v1 && v3 != v2;
}

int probe_type_version() noexcept {
    // A fresh class: looking an attribute up gives it a tag, changing the
    // class takes the tag away; the lookup agrees with the public getattr.
    Ref name = Ref::steal(PyUnicode_FromString("probe"));
    Ref ns = Ref::steal(PyDict_New());
    if (!name || !ns || PyDict_SetItem(ns.get(), name.get(), Py_True) < 0) return -1;
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "Probe",
                                               &PyBaseObject_Type, ns.get()));
    if (!cls) return -1;
    auto* t = reinterpret_cast<PyTypeObject*>(cls.get());
    if (type_lookup(t, name.get()) != Py_True) return 0;
    const unsigned int tag = type_version(t);
    if (!tag || type_version(t) != tag) return 0;
    if (PyObject_SetAttr(cls.get(), name.get(), Py_False) < 0) return -1;
    if (type_lookup(t, name.get()) != Py_False) return 0;
    return type_version(t) != tag;
}

// ---- profiling

// The leading fields of CPython 3.11's frame object and of the interpreter
// frame it owns (Include/internal/pycore_frame.h), as far as this file reads
// or writes them. Checked by `probe_frame_links` before anything is written.
struct InterpreterFrameHead {
    PyObject* f_func;
    PyObject* f_globals;
    PyObject* f_builtins;
    PyObject* f_locals;
    PyObject* f_code;
    PyObject* frame_obj;
    InterpreterFrameHead* previous;
};

struct FrameHead {
    PyObject_HEAD
    PyFrameObject* f_back;
    InterpreterFrameHead* f_frame;
    PyObject* f_trace;
    int f_lineno;
    char f_trace_lines;
    char f_trace_opcodes;
    char f_fast_as_locals;
    PyObject* f_frame_data[1];  // the interpreter frame, when the frame object owns it
};

int probe_profile_function(PyObject*, PyFrameObject*, int, PyObject*) noexcept { return 0; }

// `sys.getprofile()` or `sys.gettrace()`: the object the hook is called with, or None.
Ref sys_hook_object(const char* getter) noexcept {
    PyObject* f = PySys_GetObject(getter);  // borrowed
    if (!f) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, getter);
        return Ref();
    }
    return Ref::steal(PyObject_CallNoArgs(f));
}

int probe_profile_hook() noexcept {
    PyThreadState* ts = PyThreadState_Get();
    Ref current = sys_hook_object("getprofile");
    if (!current) return -1;
    const ProfileHook before = profile_hook(ts);
    if (current.get() != Py_None) {
        // Loaded under a profiler (perhaps from inside its profile function,
        // where tracing is paused): what is set must be what `sys` reports.
        return before.obj == current.get() && before.func && ts->cframe;
    }
    if (before.func || before.obj) return 0;
    // Set a profile function of our own, read it back, and take it away again.
    Ref marker = Ref::steal(PyList_New(0));
    if (!marker) return -1;
    if (_PyEval_SetProfile(ts, probe_profile_function, marker.get()) < 0) return -1;
    const ProfileHook during = profile_hook(ts);
    Ref reported = sys_hook_object("getprofile");
    const bool same = during.func == probe_profile_function && during.obj == marker.get() &&
                      reported.get() == marker.get();
    // Only once the two fields were found where they belong is the frame
    // pointer beside them followed.
    const bool pending = same && profile_pending(ts);
    PyObject *type, *value, *traceback;  // what reading it back raised, if anything
    PyErr_Fetch(&type, &value, &traceback);
    const int cleared = _PyEval_SetProfile(ts, nullptr, nullptr);
    if (cleared < 0 || !reported) {
        if (cleared == 0) PyErr_Restore(type, value, traceback);
        else {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
        }
        return -1;
    }
    const ProfileHook after = profile_hook(ts);
    Ref trace = sys_hook_object("gettrace");
    if (!trace) return -1;
    // Tracing is off again, unless a trace function keeps it on.
    const bool quiet = trace.get() != Py_None || (pending && ts->cframe->use_tracing == 0);
    return pending && quiet && !after.func && !after.obj;
}

int probe_frame_links() noexcept {
    PyThreadState* ts = PyThreadState_Get();
    Ref globals = Ref::steal(PyDict_New());
    if (!globals) return -1;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("probe", "probe", 1)));
    if (!code) return -1;
    auto* co = reinterpret_cast<PyCodeObject*>(code.get());
    Ref outer = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(ts, co, globals.get(), nullptr)));
    Ref inner = outer ? Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(ts, co, globals.get(), nullptr))) : Ref();
    if (!inner) return -1;
    auto* head = reinterpret_cast<FrameHead*>(inner.get());
    Ref builtins = Ref::steal(PyFrame_GetBuiltins(reinterpret_cast<PyFrameObject*>(inner.get())));
    if (!builtins) return -1;
    // The frame owns its interpreter frame, which names its code, globals and
    // builtins where the layout says.
    InterpreterFrameHead* data = head->f_frame;
    if (head->f_back || data != reinterpret_cast<InterpreterFrameHead*>(head->f_frame_data) ||
        data->f_code != code.get() || data->f_globals != globals.get() || data->f_builtins != builtins.get())
        return 0;
    set_frame_back(reinterpret_cast<PyFrameObject*>(inner.get()), reinterpret_cast<PyFrameObject*>(outer.get()));
    set_frame_back(reinterpret_cast<PyFrameObject*>(outer.get()), nullptr);
    Ref back = Ref::steal(PyObject_GetAttrString(inner.get(), "f_back"));
    Ref none = back ? Ref::steal(reinterpret_cast<PyObject*>(
                          PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(outer.get()))))
                    : Ref();
    if (!back) return -1;
    return back.get() == outer.get() && !none;
}

// ---- recursion depth

int probe_recursion_depth() noexcept {
    // The public calls and the accessors move the same counter by one.
    PyThreadState* ts = PyThreadState_Get();
    const int start = ts->recursion_remaining;
    if (start < 2 || Py_EnterRecursiveCall("")) {
        PyErr_Clear();
        return 0;
    }
    const bool entered = ts->recursion_remaining == start - 1;
    Py_LeaveRecursiveCall();
    if (!entered || ts->recursion_remaining != start) return 0;
    if (enter_recursive_call(ts, "")) {
        PyErr_Clear();
        return 0;
    }
    Py_LeaveRecursiveCall();
    if (ts->recursion_remaining != start) return 0;
    if (Py_EnterRecursiveCall("")) {
        PyErr_Clear();
        return 0;
    }
    leave_recursive_call(ts);
    return ts->recursion_remaining == start;
}

int (*const kProbes[])() noexcept = {probe_dict_version, probe_type_version, probe_profile_hook, probe_frame_links,
                                     probe_recursion_depth};
static_assert(sizeof kProbes / sizeof *kProbes == static_cast<size_t>(Probe::count));

}  // namespace

bool detail::g_passed[static_cast<size_t>(Probe::count)] = {};

void set_frame_back(PyFrameObject* f, PyFrameObject* back) noexcept {
    auto* head = reinterpret_cast<FrameHead*>(f);
    PyFrameObject* old = head->f_back;
    head->f_back = reinterpret_cast<PyFrameObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(back)));
    head->f_frame->previous = nullptr;
    Py_XDECREF(old);
}

int run_probes() noexcept {
    if (g_ran) return 0;
    for (size_t i = 0; i < static_cast<size_t>(Probe::count); ++i) {
        int r = kProbes[i]();
        if (r < 0) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return -1;
            PyErr_Clear();
            r = 0;
        }
        detail::g_passed[i] = r == 1 && !forced_to_fail(kProbeNames[i]);
    }
    g_ran = true;
    return 0;
}

const char* probe_name(Probe p) noexcept { return kProbeNames[static_cast<size_t>(p)]; }

}  // namespace vk::py311
