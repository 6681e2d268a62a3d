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
#include <utility>

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

constexpr const char* kProbeNames[] = {"dict_version", "str_keys", "type_version",
                                       // instance dicts, key tables, list storage, lookups with a known hash
                                       "managed_dict", "str_table", "list_storage",
                                       "known_hash", "dict_entries",
                                       // hashes of plain keys, method lookup
                                       "hash_known", "method_lookup",
                                       // attributes kept inline
                                       "instance_values",
                                       // profiling and the call path
                                       "profile_hook", "frame_links", "recursion_depth"};
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

int probe_str_keys() noexcept {
    // Exact str keys, in a table of their own and in an instance's split
    // table; then a str subclass key, and a key of another type.
    Ref d = Ref::steal(PyDict_New());
    Ref a = Ref::steal(PyUnicode_FromString("alpha"));
    Ref b = Ref::steal(PyUnicode_FromString("beta"));
    if (!d || !a || !b || PyDict_SetItem(d.get(), a.get(), Py_None) < 0) return -1;
    if (!str_keys_only(d.get())) return 0;
    Ref sub = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}", "Sub",
                                               &PyUnicode_Type));
    if (!sub) return -1;
    Ref key = Ref::steal(PyObject_CallOneArg(sub.get(), b.get()));
    if (!key) return -1;
    Ref copy = Ref::steal(PyDict_Copy(d.get()));
    if (!copy || PyDict_SetItem(copy.get(), key.get(), Py_None) < 0) return -1;
    if (str_keys_only(copy.get())) return 0;
    Ref other = Ref::steal(PyDict_Copy(d.get()));
    if (!other || PyDict_SetItem(other.get(), Py_None, Py_None) < 0) return -1;
    if (str_keys_only(other.get()) || !str_keys_only(d.get())) return 0;
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}", "Probe",
                                               &PyBaseObject_Type));
    if (!cls) return -1;
    Ref first = Ref::steal(PyObject_CallNoArgs(cls.get()));
    Ref second = Ref::steal(PyObject_CallNoArgs(cls.get()));
    if (!first || !second || PyObject_SetAttr(first.get(), a.get(), Py_None) < 0 ||
        PyObject_SetAttr(second.get(), a.get(), Py_None) < 0)
        return -1;
    Ref split = Ref::steal(PyObject_GenericGetDict(second.get(), nullptr));
    if (!split) return -1;
    if (!str_keys_only(split.get())) return 0;
    if (PyDict_SetItem(split.get(), key.get(), Py_None) < 0) return -1;
    return !str_keys_only(split.get());
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

// ==== instance dicts, key tables and lookups with a known hash =======================

// A heap class `name` with base `base` and an empty namespace.
Ref probe_class(const char* name, PyTypeObject* base) noexcept {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return Ref();
    return Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", name, base, ns.get()));
}

int probe_managed_dict() noexcept {
    // A list subclass, whose instances get a dict at their
    // first attribute store, and a plain class, whose instances start with
    // their attributes inline.
    Ref name = Ref::steal(PyUnicode_InternFromString("probe"));
    if (!name) return -1;
    for (PyTypeObject* base : {&PyList_Type, &PyBaseObject_Type}) {
        Ref cls = probe_class("Probe", base);
        if (!cls) return -1;
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return 0;
        Ref o = Ref::steal(PyObject_CallNoArgs(cls.get()));
        if (!o) return -1;
        if (managed_dict(o.get())) return 0;
        if (PyObject_SetAttr(o.get(), name.get(), Py_True) < 0) return -1;
        // Either the dict that holds the attribute, or nothing (inline).
        PyObject* seen = managed_dict(o.get());
        if (seen && PyDict_GetItemWithError(seen, name.get()) != Py_True) return PyErr_Occurred() ? -1 : 0;
        Ref d = Ref::steal(PyObject_GenericGetDict(o.get(), nullptr));
        if (!d) return -1;
        PyObject** slot = _PyObject_GetDictPtr(o.get());
        if (!slot || *slot != d.get() || managed_dict(o.get()) != d.get() || (seen && seen != d.get())) return 0;
        // A dict installed in a fresh instance is the one the interpreter uses.
        Ref fresh = Ref::steal(type->tp_alloc(type, 0));
        Ref installed = Ref::steal(PyDict_New());
        if (!fresh || !installed || PyDict_SetItem(installed.get(), name.get(), Py_False) < 0) return -1;
        if (managed_dict(fresh.get()) || !install_managed_dict(fresh.get(), Py_NewRef(installed.get()))) return 0;
        if (install_managed_dict(fresh.get(), Py_NewRef(installed.get()))) return 0;  // refused: it has one
        Ref value = Ref::steal(PyObject_GetAttr(fresh.get(), name.get()));
        Ref d2 = Ref::steal(PyObject_GenericGetDict(fresh.get(), nullptr));
        if (!value || !d2) return -1;
        if (value.get() != Py_False || d2.get() != installed.get() || managed_dict(fresh.get()) != installed.get())
            return 0;
    }
    return 1;
}

int probe_str_table() noexcept {
    const char* const names[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota"};
    constexpr Py_ssize_t n = sizeof names / sizeof *names;
    Ref keys[n];
    Ref templ = Ref::steal(PyDict_New());
    if (!templ) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        keys[i] = Ref::steal(PyUnicode_InternFromString(names[i]));
        if (!keys[i] || PyDict_SetItem(templ.get(), keys[i].get(), Py_None) < 0) return -1;
    }
    Ref copy = Ref::steal(PyDict_Copy(templ.get()));
    if (!copy) return -1;
    if (!owns_str_table(copy.get(), n) || owns_str_table(copy.get(), n - 1)) return 0;
    Ref values[n];
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (str_table_key(copy.get(), i) != keys[i].get() || str_table_value(copy.get(), i) != Py_None) return 0;
        if (!(values[i] = Ref::steal(PyLong_FromSsize_t(i * 1000 + 7)))) return -1;
        str_table_set(copy.get(), i, Py_NewRef(values[i].get()));
    }
    // The public API reads what was written, in the same order.
    Py_ssize_t pos = 0, i = 0;
    PyObject *k, *v;
    while (PyDict_Next(copy.get(), &pos, &k, &v)) {
        if (i >= n || k != keys[i].get() || v != values[i].get()) return 0;
        ++i;
    }
    if (i != n) return 0;
    for (i = 0; i < n; ++i)
        if (PyDict_GetItemWithError(copy.get(), keys[i].get()) != values[i].get()) return PyErr_Occurred() ? -1 : 0;
    if (PyDict_GetItemWithError(templ.get(), keys[0].get()) != Py_None) return PyErr_Occurred() ? -1 : 0;
    // Tables that are not of that shape are told apart.
    if (PyDict_DelItem(copy.get(), keys[n - 1].get()) < 0) return -1;
    if (owns_str_table(copy.get(), n - 1)) return 0;
    Ref general = Ref::steal(PyDict_New());
    if (!general || PyDict_SetItem(general.get(), values[0].get(), Py_None) < 0) return -1;
    return !owns_str_table(general.get(), 1);
}

// The capacity of a list as the public API reports it.
int capacity_of(PyObject* l, Py_ssize_t* out) noexcept {
    Ref size = Ref::steal(PyObject_CallMethod(l, "__sizeof__", nullptr));
    if (!size) return -1;
    const Py_ssize_t bytes = PyLong_AsSsize_t(size.get());
    if (bytes == -1 && PyErr_Occurred()) return -1;
    *out = (bytes - (Py_ssize_t)PyList_Type.tp_basicsize) / (Py_ssize_t)sizeof(PyObject*);
    return 0;
}

// A list of `m` ints grown by appends.
Ref appended_list(Py_ssize_t m) noexcept {
    Ref l = Ref::steal(PyList_New(0));
    if (!l) return Ref();
    for (Py_ssize_t i = 0; i < m; ++i) {
        Ref x = Ref::steal(PyLong_FromSsize_t(i));
        if (!x || PyList_Append(l.get(), x.get()) < 0) return Ref();
    }
    return l;
}

int probe_list_storage() noexcept {
    Ref l = appended_list(5);
    if (!l) return -1;
    Py_ssize_t cap;
    if (capacity_of(l.get(), &cap) < 0) return -1;
    if (list_capacity(l.get()) != cap) return 0;
    for (Py_ssize_t i = 0; i < 5; ++i)
        if (list_items(l.get())[i] != PyList_GET_ITEM(l.get(), i)) return 0;
    // Extending by n items after m appends: the base list and list_reserve
    // leave the same capacity.
    const Py_ssize_t cases[][2] = {{0, 1}, {0, 5}, {1, 1}, {3, 1}, {4, 1}, {8, 3}, {0, 300}, {17, 40}, {100, 1}};
    for (const auto& c : cases) {
        const Py_ssize_t m = c[0], n = c[1];
        Ref a = appended_list(m), b = appended_list(m), items = appended_list(n);
        if (!a || !b || !items || PyList_SetSlice(a.get(), m, m, items.get()) < 0) return -1;
        if (list_reserve(b.get(), n) < 0) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) list_items(b.get())[m + i] = Py_NewRef(PyList_GET_ITEM(items.get(), i));
        Py_SET_SIZE(b.get(), m + n);
        Py_ssize_t ca, cb;
        if (capacity_of(a.get(), &ca) < 0 || capacity_of(b.get(), &cb) < 0) return -1;
        if (ca != cb || PyObject_RichCompareBool(a.get(), b.get(), Py_EQ) != 1) return PyErr_Occurred() ? -1 : 0;
        // Moving the items into an empty list leaves what an extension of
        // an empty list leaves.
        Ref base = Ref::steal(PyList_New(0)), to = Ref::steal(PyList_New(0));
        Ref from = appended_list(n);
        if (!base || !to || !from || PyList_SetSlice(base.get(), 0, 0, from.get()) < 0) return -1;
        list_adopt(to.get(), from.get());
        if (capacity_of(base.get(), &ca) < 0 || capacity_of(to.get(), &cb) < 0) return -1;
        if (ca != cb || PyList_GET_SIZE(from.get()) != 0 ||
            PyObject_RichCompareBool(base.get(), to.get(), Py_EQ) != 1)
            return PyErr_Occurred() ? -1 : 0;
    }
    return 1;
}

int probe_dict_entries() noexcept {
    // Dicts of int and tuple keys with 1- and 2-byte index tables, with
    // deleted entries: every key is found at the entry that holds it, a key
    // that is not there is not found, and the entries read by position are
    // those that the public iteration gives.
    for (long size : {5L, 100L, 3000L}) {
        Ref d = Ref::steal(PyDict_New());
        if (!d) return -1;
        for (long i = 0; i < size; ++i) {
            Ref k = Ref::steal(i % 2 ? Py_BuildValue("(li)", i, 7) : PyLong_FromLong(i * 31));
            if (!k || PyDict_SetItem(d.get(), k.get(), k.get()) < 0) return -1;
        }
        Ref gone = Ref::steal(PyLong_FromLong(0));
        if (!gone || PyDict_DelItem(d.get(), gone.get()) < 0) return -1;
        if (!has_general_entries(d.get())) return 0;
        Py_ssize_t at = 0, seen = 0;
        PyObject *k, *v;
        while (PyDict_Next(d.get(), &at, &k, &v)) {
            const Py_hash_t h = PyObject_Hash(k);
            if (h == -1) return -1;
            const Py_ssize_t ix = find_entry(d.get(), k, h);
            if (ix < 0 || ix >= entry_count(d.get()) || entry_key(d.get(), ix) != k || entry_value(d.get(), ix) != v)
                return 0;
            ++seen;
        }
        if (seen != PyDict_GET_SIZE(d.get())) return 0;
        Ref absent = Ref::steal(PyLong_FromLong(-12345));
        if (!absent) return -1;
        if (find_entry(d.get(), absent.get(), PyObject_Hash(absent.get())) != -1 ||
            find_entry(d.get(), gone.get(), PyObject_Hash(gone.get())) != -1)
            return 0;
        // An equal key that is another object: only a comparison could tell.
        Ref twin = Ref::steal(Py_BuildValue("(li)", 1L, 7));
        if (!twin) return -1;
        if (find_entry(d.get(), twin.get(), PyObject_Hash(twin.get())) != -2) return 0;
    }
    return 1;
}

// Sample keys for the hash probes: a dozen of each kind, ints (negative and
// big), strs (of every width), tuples (nested), and a few others.
Ref probe_keys() noexcept {
    static const char kKeys[] =
        "[0, 1, -1, -2, 7, 255, -256, 2**30, -2**31, 2**61 - 1, 2**61, -2**62, 2**64 + 1, -10**30,"
        " '', 'a', '*', 'probe', '_cls__private', 'x' * 100, '\\xe9t\\xe9', '\\u20ac', '\\U0001f600',"
        " 'a\\u20ac', 'name42', 'z',"
        " (), (1,), (1, 2), (-1, -2), ('a', 1), (1, (2, 3)), ((1, 'x'), ('y', (2, None))), (0, 0, 0),"
        " (2**64, -5), ('*', '*'), (1.5, True), ((),),"
        " 1.5, -0.0, 1e300, None, True, False]";
    Ref code = Ref::steal(Py_CompileString(kKeys, "<probe>", Py_eval_input));
    Ref globals = Ref::steal(PyDict_New());
    if (!code || !globals) return Ref();
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (!builtins || PyDict_SetItemString(globals.get(), "__builtins__", builtins) < 0) return Ref();
    return Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
}

// Lookups and membership tests with a known hash, hits and misses alike.
int probe_known_hash_lookups() noexcept {
    Ref keys = probe_keys();
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

int probe_known_hash() noexcept {
    Ref keys = probe_keys();
    Ref by_hash = Ref::steal(PyDict_New()), by_api = Ref::steal(PyDict_New());
    if (!keys || !by_hash || !by_api) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(keys.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* k = PyList_GET_ITEM(keys.get(), i);
        const Py_hash_t h = PyObject_Hash(k);
        Ref v = Ref::steal(PyLong_FromSsize_t(i));
        if (h == -1 || !v) return -1;
        if (dict_set_known_hash(by_hash.get(), k, v.get(), h) < 0 || PyDict_SetItem(by_api.get(), k, v.get()) < 0)
            return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* k = PyList_GET_ITEM(keys.get(), i);
        const Py_hash_t h = PyObject_Hash(k);
        if (h == -1) return -1;
        PyObject* a = PyDict_GetItemWithError(by_hash.get(), k);
        if (!a && PyErr_Occurred()) return -1;
        if (!a || a != dict_get_known_hash(by_api.get(), k, h)) return PyErr_Occurred() ? -1 : 0;
    }
    Ref missing = Ref::steal(PyUnicode_FromString("missing"));
    if (!missing) return -1;
    const Py_hash_t h = PyObject_Hash(missing.get());
    if (h == -1) return -1;
    if (dict_get_known_hash(by_api.get(), missing.get(), h) || PyErr_Occurred() ||
        PyDict_GET_SIZE(by_hash.get()) != PyDict_GET_SIZE(by_api.get()))
        return PyErr_Occurred() ? -1 : 0;
    return probe_known_hash_lookups();
}

// ---- plain-key hashes, known-hash lookups, method lookup ---------------------------

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

int (*const kProbes[])() noexcept = {probe_dict_version, probe_str_keys, probe_type_version,
                                     // instance dicts, key tables, list storage, lookups with a known hash
                                     probe_managed_dict, probe_str_table, probe_list_storage,
                                     probe_known_hash, probe_dict_entries,
                                     // hashes of plain keys, method lookup
                                     probe_hash_known, probe_method_lookup,
                                     // attributes kept inline
                                     probe_instance_values,
                                     // profiling and the call path
                                     probe_profile_hook, probe_frame_links, probe_recursion_depth};
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
        if (r < 0 || PyErr_Occurred()) {
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

void report_probes(const char* module) noexcept {
    const char* env = std::getenv("VARNOK_REPORT_PROBES");
    if (!env || !*env) return;
    std::fprintf(stderr, "varnok probes %s:", module);
    for (size_t i = 0; i < static_cast<size_t>(Probe::count); ++i)
        std::fprintf(stderr, " %s=%s", kProbeNames[i], usable(static_cast<Probe>(i)) ? "on" : "off");
    std::fprintf(stderr, "\n");
}

// ==== list storage ==================================================================

namespace {
// The capacity that the base list gives a list grown by `step` items to
// `needed`: a little room beyond the need, unless the step exceeds it.
size_t grown_capacity(Py_ssize_t needed, Py_ssize_t step) noexcept {
    size_t allocated = ((size_t)needed + ((size_t)needed >> 3) + 6) & ~(size_t)3;
    if ((size_t)step > allocated - (size_t)needed) allocated = ((size_t)needed + 3) & ~(size_t)3;
    return allocated;
}
}  // namespace

Py_ssize_t find_entry(PyObject* d, PyObject* key, Py_hash_t hash) noexcept {
    const detail::KeyTable* keys = detail::key_table(d);
    const detail::GeneralEntry* entries = detail::general_entries(d);
    const int log2_size = keys->log2_size;
    const size_t mask = ((size_t)1 << log2_size) - 1;
    size_t perturb = static_cast<size_t>(hash);
    size_t i = static_cast<size_t>(hash) & mask;
    for (;;) {
        Py_ssize_t ix;
        if (log2_size < 8)
            ix = reinterpret_cast<const int8_t*>(keys->indices)[i];
        else if (log2_size < 16)
            ix = reinterpret_cast<const int16_t*>(keys->indices)[i];
        else if (log2_size < 32)
            ix = reinterpret_cast<const int32_t*>(keys->indices)[i];
        else
            ix = reinterpret_cast<const int64_t*>(keys->indices)[i];
        if (ix >= 0) {
            if (entries[ix].key == key) return ix;
            if (entries[ix].hash == hash) return -2;
        } else if (ix == -1) {  // an empty slot: the walk ends (-2 marks a deleted one)
            return -1;
        }
        perturb >>= 5;
        i = mask & (i * 5 + perturb + 1);
    }
}

int list_reserve(PyObject* l, Py_ssize_t n) noexcept {
    auto* list = reinterpret_cast<PyListObject*>(l);
    const Py_ssize_t size = Py_SIZE(l);
    if (n > PY_SSIZE_T_MAX / (Py_ssize_t)sizeof(PyObject*) - size) {
        PyErr_NoMemory();
        return -1;
    }
    const Py_ssize_t needed = size + n;
    if (needed <= list->allocated) return 0;
    const size_t allocated = grown_capacity(needed, n);
    if (allocated > (size_t)PY_SSIZE_T_MAX / sizeof(PyObject*)) {
        PyErr_NoMemory();
        return -1;
    }
    auto** items = static_cast<PyObject**>(PyMem_Realloc(list->ob_item, allocated * sizeof(PyObject*)));
    if (!items) {
        PyErr_NoMemory();
        return -1;
    }
    list->ob_item = items;
    list->allocated = (Py_ssize_t)allocated;
    return 0;
}

void list_adopt(PyObject* to, PyObject* from) noexcept {
    auto* x = reinterpret_cast<PyListObject*>(to);
    auto* y = reinterpret_cast<PyListObject*>(from);
    std::swap(x->ob_item, y->ob_item);
    std::swap(x->allocated, y->allocated);
    Py_SET_SIZE(to, Py_SIZE(from));
    Py_SET_SIZE(from, 0);
    const Py_ssize_t n = Py_SIZE(to);
    const size_t fit = n ? grown_capacity(n, n) : 0;
    if (fit && (size_t)x->allocated != fit) {
        // Shrinking or growing to the base list's size; should the
        // allocator refuse, the larger array stays (nothing is lost).
        if (auto** items = static_cast<PyObject**>(PyMem_Realloc(x->ob_item, fit * sizeof(PyObject*)))) {
            x->ob_item = items;
            x->allocated = (Py_ssize_t)fit;
        }
    }
}

}  // namespace vk::py311
