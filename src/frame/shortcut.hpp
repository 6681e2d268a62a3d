// Shortcuts: the one switch that turns them all off, and the one answer they give.
//
// A method of a native class has two implementations of the same steps: the
// general one, which does exactly what a Python body would (attribute reads
// through the instance, method calls by name, the abstract object API), and,
// for the calls a modeller makes millions of times, a shortcut that reaches
// the same answer in C when its guards prove that nothing could tell the
// difference. Every method reads the same way:
//
//     if (vk::Shortcut s = try_the_shortcut(...); s.taken()) return s.release();
//     ... the general steps, in their order ...
//
// A shortcut answers done (with its value), failed (with an exception set)
// or not taken (nothing was observed: no Python code ran, nothing changed).
// `kShortcuts` is false in the general-only build (CMake option
// VARNOK_GENERAL_ONLY): every guard consults it first, so that build runs the
// whole test suite on the general steps alone.
#pragma once

#include "ref.hpp"

#ifndef VARNOK_GENERAL_ONLY
#define VARNOK_GENERAL_ONLY 0
#endif

namespace vk {

inline constexpr bool kShortcuts = !VARNOK_GENERAL_ONLY;

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

}  // namespace vk
