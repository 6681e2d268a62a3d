// The generators: the scaffold that every generator body shares, the bodies
// (the selection's pairs, the key walks, the generator expressions that feed
// `_sum_terms`), and the methods that make generators.
#pragma once

#include <array>
#include <new>
#include <string>
#include <utility>

#include "frame.hpp"

#include "state.hpp"

namespace {

// A generator object of `fn` around `body` (a new body, or nullptr when the
// allocation failed).
Ref spawn(vk::Function* fn, vk::GenBody* body) noexcept {
    if (!body) {
        PyErr_NoMemory();
        return Ref();
    }
    return vk::make_generator(fn, body);
}

// `a, b = pair`, with the interpreter's messages.
// CAUTION: may run arbitrary Python code
int unpack_pair(PyObject* pair, Ref& a, Ref& b) noexcept {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
        a = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        b = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(pair));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(pair)->tp_iter && !PySequence_Check(pair)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(pair)->tp_name);
        }
        return -1;
    }
    Ref* slots[] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The scaffold of every generator body here. A body keeps what it needs
// between resumptions in `kept_`, in slots named by its own enum; the
// scaffold visits them for the collector and drops them on clear, slot by
// slot in that order, and a body that the collector cleared is exhausted.
// Each resumption runs `Body::step(held)`, `held` being the step's own
// references to the kept objects: code that the step runs may drop the
// body's.
template <class Body, size_t N>
class BodyScaffold : public vk::GenBody {
public:
    using Held = std::array<Ref, N>;

    // CAUTION: may run arbitrary Python code
    PyObject* resume() noexcept final {
        if (cleared_) return nullptr;  // cleared by the collector: exhausted
        Held held;
        for (size_t i = 0; i < N; ++i) held[i] = kept_[i].dup();
        return static_cast<Body*>(this)->step(held);
    }
    int traverse(visitproc visit, void* arg) noexcept final {
        for (const Ref& r : kept_) Py_VISIT(r.get());
        return 0;
    }
    void clear() noexcept final {
        cleared_ = true;
        for (Ref& r : kept_) r.reset();
    }

protected:
    // Keeps the objects `kept` (borrowed; nullptr leaves a slot empty).
    explicit BodyScaffold(std::array<PyObject*, N> kept) noexcept {
        for (size_t i = 0; i < N; ++i) kept_[i] = Ref::borrow(kept[i]);
    }

    // Keeps `o` in slot `i` from this step on: 0, or -1 when `o` is empty
    // (its making failed).
    int keep(Held& held, size_t i, Ref o) noexcept {
        if (!o) return -1;
        kept_[i] = o.dup();
        held[i] = std::move(o);
        return 0;
    }

    // The first step of a body that walks what `make()` returns: the
    // deprecation warning (if any), then the iterator, kept in slot `i`.
    // CAUTION: may run arbitrary Python code
    template <class Make>
    int start_walk(Held& held, size_t i, PyObject* warning, Make&& make) noexcept {
        if (warning && warn_deprecated(warning) < 0) return -1;
        Ref iterable = make();
        if (!iterable) return -1;
        return keep(held, i, Ref::steal(PyObject_GetIter(iterable.get())));
    }

private:
    Held kept_;
    bool cleared_ = false;
};

// _iteritems_internal(self, *vals) and iteritems(self, *vals): the pairs
// (k, self[k]) of the selection, in selection order; `iteritems` warns first.
class PairsBody final : public BodyScaffold<PairsBody, 3> {
public:
    enum : size_t { kIt, kVals, kSelf };

    // `it`: the iterator of a selection already started (the walk goes on
    // from where it is), or nullptr.
    PairsBody(PyObject* self, PyObject* vals, PyObject* warning, PyObject* it = nullptr) noexcept
        : BodyScaffold({it, vals, self}), warning_(warning) {}

    // CAUTION: may run arbitrary Python code
    PyObject* step(Held& held) noexcept {
        PyObject* self = held[kSelf].get();
        auto selection = [&]() noexcept { return selection_of(self, Vals::of(held[kVals].get())); };
        if (!held[kIt] && start_walk(held, kIt, warning_, selection) < 0) return nullptr;
        Ref key = Ref::steal(PyIter_Next(held[kIt].get()));
        if (!key) return nullptr;
        Ref value = Ref::steal(PyObject_GetItem(self, key.get()));
        if (!value) return nullptr;
        return PyTuple_Pack(2, key.get(), value.get());
    }

private:
    PyObject* warning_;  // interned for the process, or nullptr
};

// __iter__(self), iterkeys(self), itervalues(self): walk what `self.keys()`
// returns; `itervalues` yields self[k] instead of k. The deprecated ones warn
// first.
class KeysBody final : public BodyScaffold<KeysBody, 2> {
public:
    enum : size_t { kIt, kSelf };

    KeysBody(PyObject* self, PyObject* warning, bool values) noexcept
        : BodyScaffold({nullptr, self}), warning_(warning), values_(values) {}

    // CAUTION: may run arbitrary Python code
    PyObject* step(Held& held) noexcept {
        PyObject* self = held[kSelf].get();
        auto keys = [&]() noexcept { return vk::call_method(N.keys, {self}); };
        if (!held[kIt] && start_walk(held, kIt, warning_, keys) < 0) return nullptr;
        Ref key = Ref::steal(PyIter_Next(held[kIt].get()));
        if (!key || !values_) return key.release();
        return PyObject_GetItem(self, key.get());
    }

private:
    PyObject* warning_;
    bool values_;
};

// The generator expressions that feed `_sum_terms`:
//   sum:          (v for k, v in self._iteritems_internal(*vals))
//   prod, walk d: (w * self[k] for k, w in d.items() if k in self)
//   prod, walk s: (d[k] * v for k, v in self._iteritems_internal(*vals) if k in d)
//   prod, list:   (w * self[i] for i, w in enumerate(d) if i in self)
// `it` is the iterator of the outermost iterable, `owner` the mapping of the
// membership test and the item lookup.
class TermsBody final : public BodyScaffold<TermsBody, 2> {
public:
    enum Kind { Values, CoefficientsFirst, SelectionFirst };
    enum : size_t { kIt, kOwner };

    TermsBody(Kind kind, PyObject* it, PyObject* owner) noexcept : BodyScaffold({it, owner}), kind_(kind) {}

    // CAUTION: may run arbitrary Python code
    PyObject* step(Held& held) noexcept {
        PyObject *it = held[kIt].get(), *owner = held[kOwner].get();
        for (;;) {
            Ref pair = Ref::steal(PyIter_Next(it));
            if (!pair) return nullptr;
            Ref key, value;
            if (unpack_pair(pair.get(), key, value) < 0) return nullptr;
            pair.reset();
            if (kind_ == Values) return value.release();
            int found = PySequence_Contains(owner, key.get());
            if (found < 0) return nullptr;
            if (!found) continue;
            Ref other = Ref::steal(PyObject_GetItem(owner, key.get()));
            if (!other) return nullptr;
            // The coefficient is always the left operand.
            if (kind_ == CoefficientsFirst) return PyNumber_Multiply(value.get(), other.get());
            return PyNumber_Multiply(other.get(), value.get());
        }
    }

private:
    Kind kind_;
};

// Where a generator expression is written: its qualified name and its line
// (the generator's names and traceback entries).
struct GenexprSite {
    const char* qualname;
    int line;
};

// Creates the generator expression at `site` inside the function named
// `enclosing_tb` over `iterable`: the iterator is taken in the enclosing
// function, as Python does.
// CAUTION: may run arbitrary Python code
Ref make_genexpr(const char* enclosing_tb, const GenexprSite& site, TermsBody::Kind kind, PyObject* iterable,
                 PyObject* owner) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) {
        std::string name = std::string(enclosing_tb) + ".genexpr";
        vk::add_traceback_entry(name.c_str(), frame.info.source_path, site.line);
        return Ref();
    }
    auto* body = new (std::nothrow) TermsBody(kind, it.get(), owner);
    if (!body) {
        PyErr_NoMemory();
        return Ref();
    }
    return vk::make_generator("genexpr", site.qualname, frame.info.source_path, site.line, body);
}

PyObject* keyshelf_iteritems_internal(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) PairsBody(a[0], a[1], nullptr)).release();
}
PyObject* keyshelf_iteritems(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) PairsBody(a[0], a[1], kIteritemsWarning)).release();
}
PyObject* keyshelf_iter(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) KeysBody(a[0], nullptr, false)).release();
}
PyObject* keyshelf_iterkeys(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) KeysBody(a[0], kIterkeysWarning, false)).release();
}
PyObject* keyshelf_itervalues(vk::Function* fn, PyObject* const* a) noexcept {
    return spawn(fn, new (std::nothrow) KeysBody(a[0], kItervaluesWarning, true)).release();
}

}  // namespace
