// Shortcuts: the switches that turn them off, the one answer they give, and
// the counters that tell which were taken.
//
// A method of a native class has two implementations of the same steps: the
// general one, which does exactly what a Python body would (attribute reads
// through the instance, method calls by name, the abstract object API), and,
// for the calls a modeller makes millions of times, a shortcut that reaches
// the same answer in C when its guards prove that nothing could tell the
// difference. Every method reads the same way:
//
//     if (vk::Shortcut s = kCounter(try_the_shortcut(...)); s.taken()) return s.release();
//     ... the general steps, in their order ...
//
// A shortcut answers done (with its value), failed (with an exception set)
// or not taken (nothing was observed: no Python code ran, nothing changed).
//
// Switches. `kShortcuts` is false in the general-only build (CMake option
// VARNOK_GENERAL_ONLY). The environment variable VARNOK_SHORTCUTS=off, read
// at load, turns them off in any build, so that a test can run the same
// workload both ways in one build. Every guard consults `shortcuts_on()`
// first, directly or through py311::usable.
//
// Counting. With VARNOK_COUNT_SHORTCUTS set at load, each `ShortcutCounter`
// counts the answers it sees, and at exit every module prints one line to
// stderr: "varnok shortcuts <module>: <name>=<taken>/<not taken> ...".
#pragma once

#include <cstdint>

#include "ref.hpp"

#ifndef VARNOK_GENERAL_ONLY
#define VARNOK_GENERAL_ONLY 0
#endif

namespace vk {

inline constexpr bool kShortcuts = !VARNOK_GENERAL_ONLY;

namespace detail {
extern bool g_shortcuts_off;  // VARNOK_SHORTCUTS=off
extern bool g_counting;       // VARNOK_COUNT_SHORTCUTS
}  // namespace detail

// Shortcuts may run: compiled in and not switched off.
inline bool shortcuts_on() noexcept { return kShortcuts && !detail::g_shortcuts_off; }

class [[nodiscard]] Shortcut {
public:
    // The guards did not hold; the caller runs the general steps.
    static Shortcut not_taken() noexcept { return Shortcut(State::not_taken, Ref()); }
    // The shortcut raised; an exception is set.
    static Shortcut failed() noexcept { return Shortcut(State::failed, Ref()); }
    // The shortcut answered `None` (or, for an int-returning slot, success).
    static Shortcut done() noexcept { return Shortcut(State::done, Ref::borrow(Py_None)); }
    // The shortcut answered `value`; an empty `value` means it failed.
    static Shortcut done(Ref value) noexcept {
        return value ? Shortcut(State::done, std::move(value)) : failed();
    }
    // From the CPython status convention: 0 done, -1 failed.
    static Shortcut status(int rc) noexcept { return rc < 0 ? failed() : done(); }

    bool taken() const noexcept { return state_ != State::not_taken; }
    bool ok() const noexcept { return state_ == State::done; }
    // The answer as a new reference, or nullptr when the shortcut failed.
    PyObject* release() noexcept { return value_.release(); }
    // The answer as a handle (empty when the shortcut failed).
    Ref take() noexcept { return std::move(value_); }
    // The answer for an int-returning caller: 0 done, -1 failed.
    int rc() const noexcept { return ok() ? 0 : -1; }

private:
    enum class State : unsigned char { not_taken, failed, done };
    Shortcut(State s, Ref v) noexcept : state_(s), value_(std::move(v)) {}
    State state_;
    Ref value_;
};

// Counts how often one shortcut was taken and not taken (when counting is
// on). Counters are objects of static storage; each links itself into the
// list of its shared object, printed at exit.
class ShortcutCounter {
public:
    explicit ShortcutCounter(const char* name) noexcept;
    ShortcutCounter(const ShortcutCounter&) = delete;
    ShortcutCounter& operator=(const ShortcutCounter&) = delete;

    // Counts `s` and hands it on.
    Shortcut operator()(Shortcut s) noexcept {
        if (detail::g_counting) ++(s.taken() ? taken_ : not_taken_);
        return s;
    }
    // Counts an answer given as a bool (true: taken).
    bool operator()(bool taken) noexcept {
        if (detail::g_counting) ++(taken ? taken_ : not_taken_);
        return taken;
    }

private:
    friend void print_shortcut_counts() noexcept;
    const char* name_;
    uint64_t taken_ = 0, not_taken_ = 0;
    ShortcutCounter* next_;
};

// Reads VARNOK_SHORTCUTS and VARNOK_COUNT_SHORTCUTS (called by the frame when
// the module `module` loads).
void read_shortcut_settings(const char* module) noexcept;

}  // namespace vk
