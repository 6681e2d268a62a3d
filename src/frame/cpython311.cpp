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

constexpr const char* kProbeNames[] = {"dict_version", "type_version", "instance_values"};
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

// Stores through the accessors and through the public API on instances of a
// fresh class must agree on every value and on the insertion order.
int probe_instance_values() noexcept {
    Ref first = Ref::steal(PyUnicode_InternFromString("probe_first"));
    Ref second = Ref::steal(PyUnicode_InternFromString("probe_second"));
    Ref ns = Ref::steal(PyDict_New());
    if (!first || !second || !ns) return -1;
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "Probe",
                                               &PyBaseObject_Type, ns.get()));
    if (!cls) return -1;
    auto* t = reinterpret_cast<PyTypeObject*>(cls.get());
    // One instance teaches the class both names, in this order.
    Ref teacher = Ref::steal(PyObject_CallNoArgs(cls.get()));
    if (!teacher || PyObject_SetAttr(teacher.get(), first.get(), Py_None) < 0 ||
        PyObject_SetAttr(teacher.get(), second.get(), Py_None) < 0)
        return -1;
    const Py_ssize_t ix_first = instance_slot(t, first.get()), ix_second = instance_slot(t, second.get());
    if (ix_first < 0 || ix_second < 0 || ix_first == ix_second) return 0;

    Ref o = Ref::steal(PyObject_CallNoArgs(cls.get()));
    if (!o) return -1;
    PyObject** values = instance_values(o.get());
    if (!values || values[ix_first] || values[ix_second]) return 0;
    // The public store lands in the slot the accessor names; the accessor's
    // store is read back by the public API, and set second.
    if (PyObject_SetAttr(o.get(), second.get(), Py_True) < 0) return -1;
    if (instance_values(o.get()) != values || values[ix_second] != Py_True) return 0;
    store_instance_value(values, ix_first, Py_False);
    Ref back = Ref::steal(PyObject_GetAttr(o.get(), first.get()));
    if (!back) return PyErr_ExceptionMatches(PyExc_AttributeError) ? 0 : -1;
    if (back.get() != Py_False) return 0;
    Ref d = Ref::steal(PyObject_GenericGetDict(o.get(), nullptr));
    if (!d) return -1;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyObject* const want_keys[] = {second.get(), first.get()};
    PyObject* const want_values[] = {Py_True, Py_False};
    for (int i = 0; i < 2; ++i)
        if (!PyDict_Next(d.get(), &pos, &key, &value) || key != want_keys[i] || value != want_values[i]) return 0;
    return PyDict_GET_SIZE(d.get()) == 2;
}

int (*const kProbes[])() noexcept = {probe_dict_version, probe_type_version, probe_instance_values};
static_assert(sizeof kProbes / sizeof *kProbes == static_cast<size_t>(Probe::count));

}  // namespace

// ---- instance attributes kept inline ------------------------------------------------

namespace {

// The head of a dict keys object and its entries for str keys (3.11).
struct DictKeys311 {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[];
};
struct UnicodeEntry311 {
    PyObject* me_key;
    PyObject* me_value;
};
constexpr uint8_t kKeysGeneral = 0;

}  // namespace

Py_ssize_t instance_slot(PyTypeObject* t, PyObject* name) noexcept {
    if (!PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE) || !PyType_HasFeature(t, Py_TPFLAGS_MANAGED_DICT)) return -1;
    auto* keys = reinterpret_cast<const DictKeys311*>(reinterpret_cast<PyHeapTypeObject*>(t)->ht_cached_keys);
    if (!keys || keys->dk_kind == kKeysGeneral) return -1;
    // The entries follow the hash table of indices.
    const char* table_end = keys->dk_indices + (size_t{1} << keys->dk_log2_index_bytes);
    auto* entries = reinterpret_cast<const UnicodeEntry311*>(table_end);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i)
        if (entries[i].me_key == name) return i;
    return -1;
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
        g_ok[i] = r == 1 && !forced_to_fail(kProbeNames[i]);
    }
    g_ran = true;
    return 0;
}

bool usable(Probe p) noexcept { return kShortcuts && g_ok[static_cast<size_t>(p)]; }

const char* probe_name(Probe p) noexcept { return kProbeNames[static_cast<size_t>(p)]; }

}  // namespace vk::py311
