// Lookups that a guard may make, and answers it may remember.
//
// A guard runs no Python code. Looking a name up in a dict can: a key of a
// `str` subclass with the name's hash and its own `__eq__` is compared by
// calling that `__eq__`, which may then change anything, the very dict and
// whatever the guard holds borrowed included. And an answer remembered for
// an unchanged dict is only as good as the lookup it came from: that
// `__eq__` may answer differently the next time, with no change to the dict.
//
// So a guard looks up only in a dict whose keys are all exact strs (the
// interpreter keeps such dicts in a key table of their own and says so in
// one field): there, a lookup of an exact str compares strings and nothing
// else, and its answer is a function of the dict's state. Any other dict
// answers "unknown", and the caller's general steps run. The same holds for
// a memo: `DictMemo` keeps an answer together with the dicts it was read from
// and their version tags, and gives it back only while each is the same dict
// in the same state; it remembers nothing read from a dict that could run
// code. Version tags are never reused, so a dict freed and another made at
// its address never matches.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "cpython311.hpp"

namespace vk {

// Can the exact str `name` be looked up in the dict `d` without running
// Python code? False when the probes forbid telling (and so in the
// general-only build, where no guard runs).
inline bool lookup_runs_no_code(PyObject* d) noexcept {
    return py311::usable(py311::Probe::str_keys) && py311::str_keys_only(d);
}

// The result of a lookup that a guard may make.
struct GuardLookup {
    bool known;       // false: the lookup could run code and was not made
    PyObject* value;  // borrowed; nullptr when the name is missing
};

// `d[name]` for an exact str `name`, made only when it runs no code.
inline GuardLookup guard_lookup(PyObject* d, PyObject* name) noexcept {
    if (!lookup_runs_no_code(d)) return {false, nullptr};
    // Comparing strs cannot fail, and the name's hash is cached.
    PyObject* v = PyDict_GetItemWithError(d, name);
    if (!v) PyErr_Clear();
    return {true, v};
}

// An answer read from `N` dicts, valid while each is the same dict with the
// same version tag.
template <size_t N, class Answer>
class DictMemo {
public:
    // The remembered answer, when it was read from exactly these dicts and
    // none has changed since; nullptr otherwise.
    const Answer* find(PyObject* const (&dicts)[N]) const noexcept {
        if (!set_) return nullptr;
        for (size_t i = 0; i < N; ++i)
            if (dicts[i] != dicts_[i] || py311::dict_version(dicts[i]) != versions_[i]) return nullptr;
        return &answer_;
    }

    // Remembers `answer` as read from `dicts` now, when every one of them
    // answers lookups without running code (else forgets).
    void remember(PyObject* const (&dicts)[N], const Answer& answer) noexcept {
        set_ = py311::usable(py311::Probe::dict_version);
        for (size_t i = 0; i < N && set_; ++i) {
            set_ = lookup_runs_no_code(dicts[i]);
            dicts_[i] = dicts[i];
            versions_[i] = py311::dict_version(dicts[i]);
        }
        answer_ = answer;
    }

private:
    PyObject* dicts_[N] = {};  // compared only, never dereferenced
    uint64_t versions_[N] = {};
    Answer answer_{};
    bool set_ = false;
};

// Does every key of the dict `d` (of any dict type) hash and compare in the
// interpreter's own code (py311::is_plain_key)? Then looking a plain key up
// in it runs no Python code, whatever it meets on its way, and where the key
// is found is all that the lookup can observe. Scanned once per state of a
// dict: the answers for the last few (dict, version) pairs are kept, and
// version tags are never reused. False when the probes forbid telling.
bool keys_all_plain(PyObject* d) noexcept;

}  // namespace vk
