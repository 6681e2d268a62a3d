// The load-time probes of cpython311.hpp.
//
// Each probe exercises its accessors on objects made here and compares what
// they report with what the public API says of the same objects. A probe
// never raises: a mismatch, or a failure while building the samples, marks
// it failed (and clears the error), except MemoryError, which fails the load.
#include "cpython311.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vk::py311 {

namespace {

constexpr const char* kProbeNames[] = {"dict_version", "type_version"};
static_assert(sizeof kProbeNames / sizeof *kProbeNames == static_cast<size_t>(Probe::count));

bool g_ran = false;
bool g_ok[static_cast<size_t>(Probe::count)] = {};

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

int (*const kProbes[])() noexcept = {probe_dict_version, probe_type_version};
static_assert(sizeof kProbes / sizeof *kProbes == static_cast<size_t>(Probe::count));

}  // namespace

int run_probes() noexcept {
    if (g_ran) return 0;
    for (size_t i = 0; i < static_cast<size_t>(Probe::count); ++i) {
        int r = kProbes[i]();
        if (r < 0) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return -1;
            PyErr_Clear();
            r = 0;
        }
        g_ok[i] = r == 1 && !forced_to_fail(kProbeNames[i]);
    }
    g_ran = true;
    return 0;
}

bool usable(Probe p) noexcept { return kShortcuts && g_ok[static_cast<size_t>(p)]; }

const char* probe_name(Probe p) noexcept { return kProbeNames[static_cast<size_t>(p)]; }

void report_probes(const char* module) noexcept {
    const char* env = std::getenv("VARNOK_REPORT_PROBES");
    if (!env || !*env) return;
    std::fprintf(stderr, "varnok probes %s:", module);
    for (size_t i = 0; i < static_cast<size_t>(Probe::count); ++i)
        std::fprintf(stderr, " %s=%s", kProbeNames[i], usable(static_cast<Probe>(i)) ? "on" : "off");
    std::fprintf(stderr, "\n");
}

}  // namespace vk::py311
