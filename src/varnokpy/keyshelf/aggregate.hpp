// Aggregation: `_sum_terms`, `sum` and `prod`, with the shortcuts that run
// a sum inline right before the steps that try them.
#pragma once

#include <utility>

#include "frame.hpp"

#include "walk.hpp"

namespace {

// The generator expressions that feed `_sum_terms` in `sum` and `prod`.
const GenexprSite kSumGenexpr = {"keyshelf.sum.<locals>.genexpr", __LINE__};
const GenexprSite kProdGenexpr = {"keyshelf.prod.<locals>.genexpr", __LINE__};

// _sum_terms(terms)
// CAUTION: may run arbitrary Python code
PyObject* sum_terms(vk::Function*, PyObject* const* a) noexcept {
    Ref linexpr = g_LinExpr.get(frame);
    if (!linexpr) return nullptr;
    Ref result = vk::call(linexpr.get(), {});
    if (!result) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(a[0]));
    if (!it) return nullptr;
    for (;;) {
        Ref term = Ref::steal(PyIter_Next(it.get()));
        if (!term) return PyErr_Occurred() ? nullptr : result.release();
        Ref sum = Ref::steal(PyNumber_InPlaceAdd(result.get(), term.get()));
        if (!sum) return nullptr;
        result = std::move(sum);
    }
}

namespace native {

// The accumulation of `_sum_terms`, run inline: `result = LinExpr()` (the
// global read now), then `result += term` for every term in order, each
// addition the in-place addition of whatever `LinExpr()` returned.
class InlineSum {
public:
    // CAUTION: may run arbitrary Python code
    int start() noexcept {
        Ref linexpr = g_LinExpr.get(frame);
        if (linexpr) result_ = vk::call(linexpr.get(), {});
        return result_ ? 0 : -1;
    }

    // result += term; a failure is the accumulator's.
    // CAUTION: may run arbitrary Python code
    int add(PyObject* term) noexcept {
        Ref sum = Ref::steal(PyNumber_InPlaceAdd(result_.get(), term));
        if (!sum) {
            adding_failed_ = true;
            return -1;
        }
        result_ = std::move(sum);
        return 0;
    }

    // result += coefficient * value; a failed product is the term's.
    // CAUTION: may run arbitrary Python code
    int add_product(PyObject* coefficient, PyObject* value) noexcept {
        Ref term = Ref::steal(PyNumber_Multiply(coefficient, value));
        if (!term) return -1;
        return add(term.get());
    }

    // `result += term` for every term of the generator `terms`, as
    // `_sum_terms` loops; a failing term already carries the entries of
    // the generators it came from.
    // CAUTION: may run arbitrary Python code
    int add_all(PyObject* terms) noexcept {
        for (;;) {
            Ref term = Ref::steal(PyIter_Next(terms));
            if (!term) {
                adding_failed_ = PyErr_Occurred();
                return adding_failed_ ? -1 : 0;
            }
            if (add(term.get()) < 0) return -1;
        }
    }

    bool adding_failed() const noexcept { return adding_failed_; }
    Ref finish() noexcept { return std::move(result_); }

private:
    Ref result_;
    bool adding_failed_ = false;
};

// `_sum_terms(<generator expression>)` run inline by `produce(sum)`, standing
// in for the calls of `_sum_terms`, of the generator expression and of
// `self._iteritems_internal` (guarded by sums_inline). Failures carry the
// traceback entries of the frames that the Python-level form would have
// shown: the generator expression and `_sum_terms` for a failing term,
// `_sum_terms` for a failing addition.
// CAUTION: may run arbitrary Python code
template <class Produce>
Shortcut accumulate_inline(vk::StandIn& calls, const GenexprSite& genexpr, Produce&& produce) noexcept {
    InlineSum sum;
    if (sum.start() < 0) return calls.answer(load.sum_terms, Shortcut::failed());
    if (produce(sum) < 0) {
        if (!sum.adding_failed()) vk::add_traceback_entry("genexpr", frame.info.source_path, genexpr.line);
        return calls.answer(load.sum_terms, Shortcut::failed());
    }
    return Shortcut::done(sum.finish());
}

// sum(self, *vals): `_sum_terms(v for k, v in self._iteritems_internal(*vals))`
// CAUTION: may run arbitrary Python code
Shortcut sum(vk::Function* fn, PyObject* self, Vals vals) noexcept {
    if (!sums_inline(self)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    return accumulate_inline(calls, kSumGenexpr, [&](InlineSum& acc) noexcept {
        auto add = [&](PyObject*, KeyHash&, PyObject* value) noexcept { return acc.add(value) < 0 ? -1 : 1; };
        auto handover = [&](PyObject* rest, bool) noexcept -> int {
            Ref pairs = pairs_from(self, rest);
            Ref terms =
                pairs ? make_genexpr(fn->tb_name, kSumGenexpr, TermsBody::Values, pairs.get(), Py_None) : Ref();
            return terms ? acc.add_all(terms.get()) : -1;
        };
        return walk_selection(self, vals, add, handover);
    });
}

// The rest of a resumption of prod's generator expression that the walk
// began: pairs from the generator `pairs` until one yields a term, added.
// 0 (the term added, or no pair left: `*exhausted` tells), or -1.
// CAUTION: may run arbitrary Python code
int finish_prod_resumption(InlineSum& acc, PyObject* pairs, PyObject* d, bool* exhausted) noexcept {
    for (;;) {
        Ref pair = Ref::steal(PyIter_Next(pairs));
        if (!pair) {
            *exhausted = true;
            return PyErr_Occurred() ? -1 : 0;
        }
        Ref key, value;
        if (unpack_pair(pair.get(), key, value) < 0) return -1;
        pair.reset();
        const int found = PySequence_Contains(d, key.get());
        if (found < 0) return -1;
        if (!found) continue;
        Ref coefficient = Ref::steal(PyObject_GetItem(d, key.get()));
        if (!coefficient) return -1;
        return acc.add_product(coefficient.get(), value.get());
    }
}

// prod(self, d, *vals) walking the selection:
// `_sum_terms(d[k] * v for k, v in self._iteritems_internal(*vals) if k in d)`
// CAUTION: may run arbitrary Python code
Shortcut prod_over_selection(vk::Function* fn, PyObject* self, PyObject* d, Vals vals) noexcept {
    if (!sums_inline(self)) return Shortcut::not_taken();
    vk::StandIn calls;
    if (!calls) return Shortcut::not_taken();
    return accumulate_inline(calls, kProdGenexpr, [&](InlineSum& acc) noexcept {
        auto add = [&](PyObject*, KeyHash& key, PyObject* value) noexcept -> int {
            Ref coefficient;
            const int found = key.lookup_in(d, coefficient);
            if (found <= 0) return found;
            return acc.add_product(coefficient.get(), value) < 0 ? -1 : 1;
        };
        auto handover = [&](PyObject* rest, bool mid) noexcept -> int {
            Ref pairs = pairs_from(self, rest);
            if (!pairs) return -1;
            bool exhausted = false;
            if (mid && (finish_prod_resumption(acc, pairs.get(), d, &exhausted) < 0 || exhausted))
                return PyErr_Occurred() ? -1 : 0;
            Ref terms = make_genexpr(fn->tb_name, kProdGenexpr, TermsBody::SelectionFirst, pairs.get(), d);
            return terms ? acc.add_all(terms.get()) : -1;
        };
        return walk_selection(self, vals, add, handover);
    });
}

}  // namespace native

// `_sum_terms(<generator expression at site, of kind, over iterable()>)`:
// the global is read first, then the iterable made, as the call expression
// evaluates them; `owner` is the mapping that the expression tests and
// indexes.
// CAUTION: may run arbitrary Python code
template <class Iterable>
PyObject* sum_generated(vk::Function* fn, const GenexprSite& site, TermsBody::Kind kind, Iterable&& iterable,
                        PyObject* owner) noexcept {
    Ref sum_terms = g_sum_terms.get(frame);
    if (!sum_terms) return nullptr;
    Ref source = iterable();
    if (!source) return nullptr;
    Ref gen = make_genexpr(fn->tb_name, site, kind, source.get(), owner);
    if (!gen) return nullptr;
    return vk::call(sum_terms.get(), {gen.get()}).release();
}

// `_sum_terms(... for k, v in self._iteritems_internal(*vals) ...)`: a sum
// over the selection, of `sum` or of `prod`.
// CAUTION: may run arbitrary Python code
PyObject* sum_over_selection(vk::Function* fn, const GenexprSite& site, TermsBody::Kind kind, PyObject* self,
                             Vals vals, PyObject* owner) noexcept {
    auto pairs = [&]() noexcept { return call_method_star(N.iteritems_internal, self, vals); };
    return sum_generated(fn, site, kind, pairs, owner);
}

// sum(self, *vals): _sum_terms(v for k, v in self._iteritems_internal(*vals))
// CAUTION: may run arbitrary Python code
PyObject* sum_values(vk::Function* fn, PyObject* self, Vals vals) noexcept {
    if (vk::Shortcut s = count_sum(native::sum(fn, self, vals)); s.taken()) return s.release();
    return sum_over_selection(fn, kSumGenexpr, TermsBody::Values, self, vals, Py_None);
}
PyObject* keyshelf_sum(vk::Function* fn, PyObject* const* a) noexcept { return sum_values(fn, a[0], Vals::of(a[1])); }
PyObject* keyshelf_sum_positional(vk::Function* fn, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return sum_values(fn, args[0], {args + 1, nargs - 1});
}

// prod with a dict of coefficients walks the smaller side: the coefficients
// when there are no patterns and the dict has fewer keys. 1 it does, 0 it
// walks the selection, -1 failed.
// CAUTION: may run arbitrary Python code
int walks_coefficients(PyObject* self, PyObject* d, Vals vals) noexcept {
    if (vals.n != 0) return 0;
    const Py_ssize_t nd = PyObject_Length(d);
    if (nd < 0) return -1;
    const Py_ssize_t ns = PyObject_Length(self);
    if (ns < 0) return -1;
    return nd < ns;
}

// prod walking the coefficients:
// _sum_terms(w * self[k] for k, w in d.items() if k in self)
// CAUTION: may run arbitrary Python code
PyObject* prod_over_coefficients(vk::Function* fn, PyObject* self, PyObject* d) noexcept {
    auto items = [&]() noexcept { return vk::call_method(N.items, {d}); };
    return sum_generated(fn, kProdGenexpr, TermsBody::CoefficientsFirst, items, self);
}

// prod walking the selection:
// _sum_terms(d[k] * v for k, v in self._iteritems_internal(*vals) if k in d)
// CAUTION: may run arbitrary Python code
PyObject* prod_over_selection(vk::Function* fn, PyObject* self, PyObject* d, Vals vals) noexcept {
    if (vk::Shortcut s = count_prod(native::prod_over_selection(fn, self, d, vals)); s.taken()) return s.release();
    return sum_over_selection(fn, kProdGenexpr, TermsBody::SelectionFirst, self, vals, d);
}

// Replaces the pending exception by TypeError("Invalid keyshelf.prod
// argument") raised while the first one is being handled, so that the first
// one becomes its context (as `raise` inside an `except` block does).
void replace_with_invalid_argument() noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Ref outer = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(value);
    PyErr_SetObject(builtin(B_TypeError), kInvalidArgument);
    PyErr_SetHandledException(outer.get());
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

// prod with a list of coefficients by position:
// _sum_terms(w * self[i] for i, w in enumerate(d) if i in self)
// CAUTION: may run arbitrary Python code
PyObject* prod_over_positions(vk::Function* fn, PyObject* self, PyObject* d) noexcept {
    auto pairs = [&]() noexcept { return vk::call(builtin(B_enumerate), {d}); };
    PyObject* result = sum_generated(fn, kProdGenexpr, TermsBody::CoefficientsFirst, pairs, self);
    // Interrupts and exits are not argument errors: only Exception
    // subclasses are replaced.
    if (!result && PyErr_ExceptionMatches(PyExc_Exception)) replace_with_invalid_argument();
    return result;
}

// prod(self, d, *vals)
// CAUTION: may run arbitrary Python code
PyObject* prod_terms(vk::Function* fn, PyObject* self, PyObject* d, Vals vals) noexcept {
    if (PyDict_Check(d)) {
        const int walk = walks_coefficients(self, d, vals);
        if (walk < 0) return nullptr;
        return walk ? prod_over_coefficients(fn, self, d) : prod_over_selection(fn, self, d, vals);
    }
    if (PyList_Check(d) && vals.n == 0) return prod_over_positions(fn, self, d);
    PyErr_SetObject(builtin(B_TypeError), kNeedsDict);
    return nullptr;
}
PyObject* keyshelf_prod(vk::Function* fn, PyObject* const* a) noexcept {
    return prod_terms(fn, a[0], a[1], Vals::of(a[2]));
}
PyObject* keyshelf_prod_positional(vk::Function* fn, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return prod_terms(fn, args[0], args[1], {args + 2, nargs - 2});
}

}  // namespace
