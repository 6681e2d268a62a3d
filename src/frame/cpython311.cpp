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

// Nested tuples of hash_known, out of line.
bool detail::nested_tuple_hash(PyObject* key, Py_hash_t& hash, int depth) noexcept {
    return depth <= kMaxPlainDepth && tuple_hash(key, hash, depth);
}

// Nested tuples of is_plain_key, out of line.
bool detail::is_plain_tuple(PyObject* key, int depth) noexcept {
    if (depth > kMaxPlainDepth) return false;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(key); i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(key, i);
        if (Py_TYPE(item) == &PyTuple_Type ? !is_plain_tuple(item, depth + 1) : !is_plain_atom(item)) return false;
    }
    return true;
}

namespace {

constexpr const char* kProbeNames[] = {"dict_version", "type_version", "hash_known", "dict_known_hash",
                                       "method_lookup"};
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

// ---- keyshelf: plain-key hashes, known-hash lookups, method lookup ------------------

// Sample keys of every kind `hash_known` treats itself: ints of zero, one and
// more digits of both signs, bools, strs (ASCII, wider kinds, hashed and not
// yet hashed), floats, None, and tuples of these, nested ones included.
Ref plain_key_samples() noexcept {
    return Ref::steal(Py_BuildValue(
        "[iiiiiiLLLLNNOO" "ssssssss" "ddO" "()(i)(ii)(ii)(Li)(Ns)(Odi)((ii)(is))((()))(s(s(s(ii))))(dd)"
        "(iiiiiiiiiiii)]",
        0, 1, -1, -2, 7, (1 << 30) - 1, 1LL << 30, -(1LL << 30), 1LL << 62, -(1LL << 62),
        PyLong_FromString("123456789012345678901234567890", nullptr, 10),
        PyLong_FromString("-98765432109876543210", nullptr, 10), Py_True, Py_False,
        "", "a", "probe", "-1", "\xc3\xa9t\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac", "\xf0\x9f\x98\x80",
        "a somewhat longer string that no one has hashed before this probe ran",
        1.5, -0.0, Py_None,
        3, 1, 2, -1, -2, 1LL << 40, -7,
        PyLong_FromString("-123456789012345678901234567890", nullptr, 10), "x",
        Py_None, 2.5, 1, 1, 2, 3, "a", "x", "y", "z", 1, -1, 0.5, -1e300,
        1, -1, 2, -2, 3, -3, 1 << 20, -(1 << 20), 0, 9, 10, 11));
}

// hash_known(key) against PyObject_Hash(key): 1 agree, 0 differ, -1 error.
int same_hash(PyObject* key) noexcept {
    Py_hash_t known;
    if (!is_plain_key(key) || !hash_known(key, known)) return 0;
    const Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1) return -1;
    Py_hash_t again;  // a str has cached its hash by now
    return known == hash && hash_known(key, again) && again == hash;
}

int probe_hash_known() noexcept {
    Ref keys = plain_key_samples();
    if (!keys) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        if (int r = same_hash(key); r != 1) return r;
        // The same key one and two tuples deep.
        Ref wrapped = Ref::steal(Py_BuildValue("((Oi)O)", key, -1, key));
        if (!wrapped) return -1;
        if (int r = same_hash(wrapped.get()); r != 1) return r;
    }
    // Keys that are not plain are refused, and leave no error behind.
    Ref other = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref in_tuple = other ? Ref::steal(Py_BuildValue("(iO)", 1, other.get())) : Ref();
    Ref deep = Ref::steal(PyTuple_New(0));
    for (int i = 0; deep && i < 20; ++i) deep = Ref::steal(PyTuple_Pack(1, deep.get()));
    if (!in_tuple || !deep) return -1;
    Py_hash_t h;
    for (PyObject* k : {other.get(), in_tuple.get(), deep.get(), keys.get()})
        if (hash_known(k, h) || is_plain_key(k) || PyErr_Occurred()) return 0;
    return 1;
}

int probe_dict_known_hash() noexcept {
    Ref keys = plain_key_samples();
    Ref d = Ref::steal(PyDict_New());
    if (!keys || !d) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(keys.get());
    // Every other sample is stored; the rest are looked up and missed.
    for (Py_ssize_t i = 0; i < n; i += 2) {
        Ref value = Ref::steal(PyLong_FromSsize_t(i));
        if (!value || PyDict_SetItem(d.get(), PyList_GET_ITEM(keys.get(), i), value.get()) < 0) return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        const Py_hash_t hash = PyObject_Hash(key);
        if (hash == -1) return -1;
        PyObject* expected = PyDict_GetItemWithError(d.get(), key);
        if (!expected && PyErr_Occurred()) return -1;
        if (dict_get_known_hash(d.get(), key, hash) != expected) return PyErr_Occurred() ? -1 : 0;
        const int contains = dict_contains_known_hash(d.get(), key, hash);
        if (contains < 0) return -1;
        if (contains != (expected != nullptr) || contains != PyDict_Contains(d.get(), key)) return 0;
    }
    return 1;
}

int probe_method_lookup() noexcept {
    // class Probe(dict): probe = True; then an instance, with and without an
    // instance attribute that shadows a method.
    Ref keys = Ref::steal(PyUnicode_FromString("keys"));
    Ref probe = Ref::steal(PyUnicode_FromString("probe"));
    Ref missing = Ref::steal(PyUnicode_FromString("no_such_attribute"));
    Ref ns = Ref::steal(PyDict_New());
    if (!keys || !probe || !missing || !ns || PyDict_SetItem(ns.get(), probe.get(), Py_True) < 0) return -1;
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "Probe",
                                               &PyDict_Type, ns.get()));
    if (!cls) return -1;
    Ref obj = Ref::steal(PyObject_CallNoArgs(cls.get()));
    Ref keys_descr = Ref::steal(PyObject_GetAttr(cls.get(), keys.get()));
    if (!obj || !keys_descr) return -1;
    PyObject* m = nullptr;  // get_method wants it null on entry
    int r = get_method(obj.get(), keys.get(), &m);
    Ref found = Ref::steal(m);
    if (r != 1 || found.get() != keys_descr.get()) return found ? 0 : -1;
    r = get_method(obj.get(), probe.get(), &(m = nullptr));
    found = Ref::steal(m);
    if (r != 0 || found.get() != Py_True) return found ? 0 : -1;
    if (PyObject_SetAttr(obj.get(), keys.get(), Py_False) < 0) return -1;
    r = get_method(obj.get(), keys.get(), &(m = nullptr));
    found = Ref::steal(m);
    if (r != 0 || found.get() != Py_False) return found ? 0 : -1;
    r = get_method(obj.get(), missing.get(), &(m = nullptr));
    if (r != 0 || m || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        Py_XDECREF(m);
        return 0;
    }
    PyErr_Clear();
    return 1;
}

int (*const kProbes[])() noexcept = {probe_dict_version, probe_type_version, probe_hash_known,
                                     probe_dict_known_hash, probe_method_lookup};
static_assert(sizeof kProbes / sizeof *kProbes == static_cast<size_t>(Probe::count));

}  // namespace

int run_probes() noexcept {
    if (g_ran) return 0;
    for (size_t i = 0; i < static_cast<size_t>(Probe::count); ++i) {
        int r = kProbes[i]();
        if (r < 0 || PyErr_Occurred()) {
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
