"""No reference leaks in keyshelf: every operation on its success path and
on each of its error paths, the legacy views and the deprecated generators,
generators abandoned half-way, closed and thrown into, failures whose
tracebacks are walked; reference cycles through a keyshelf are collectable,
and sentinels passed through each call keep their reference counts."""
import gc
import sys
import warnings
import weakref

import pytest

import varnokpy._keyshelf as ks
from leakcheck import (BadHash, Boom, Unhashable, abandoned, assert_no_leak, assert_sentinel_counts, failing,
                       numbered, with_traceback)
from varnokpy._core import Var
from varnokpy._keyshelf import keyshelf

# ---- every operation, on success and on each failure ------------------------

x = Var("x")
D = keyshelf({(i, j): float(i * j) for i in range(4) for j in range(4)})
D[(0, 0)] = 0.0
SCALAR = keyshelf({i: float(i) for i in range(5)})
MIXED = keyshelf({(1, 2): 1.0, 3: x})
COEFFS = {k: 2.0 for k in list(D)[:5]}


def filled():
    return keyshelf({(i, j): float(j) for i in range(3) for j in range(3)})


def stale_sum():
    d = filled()
    d._keys_internal()
    dict.__delitem__(d, (1, 1))     # the base dict's deletion keeps the key list
    d.sum()


def vanishing_key():
    d = filled()
    g = d._iteritems_internal()
    next(g)
    del d[(2, 2)]
    list(g)


@numbered([
    # construction and mutators
    lambda: keyshelf(), lambda: keyshelf({(1, 2): x}, a=1), lambda: keyshelf([((1, 2), 3)]),
    lambda: filled().__setitem__((9, 9), 1), lambda: filled().__delitem__((1, 1)), lambda: filled().clear(),
    lambda: filled().pop((1, 1)), lambda: filled().pop((7, 7), None), lambda: filled().popitem(),
    lambda: filled().update({(5, 5): 1}, ), lambda: filled().setord([(2, 2), (1, 1), (2, 2), "x"]),
    lambda: filled().clean(), lambda: filled()._keys_internal(),
    failing(TypeError, keyshelf, 5), failing(TypeError, filled().__setitem__, [1], 1),
    failing(KeyError, filled().__delitem__, (7, 7)), failing(KeyError, filled().pop, (7, 7)),
    failing(KeyError, keyshelf().popitem), failing(TypeError, filled().update, a=1),
    failing(TypeError, filled().setord, 5), failing(TypeError, filled().setord, [[1]]),
    failing(RuntimeError, filled().setord, [BadHash()]), failing(ValueError, MIXED._keys_internal),
    failing(RuntimeError, keyshelf().__setitem__, BadHash(), 1),
    failing(TypeError, filled().pop, key=1), failing(TypeError, filled().setord), failing(TypeError, D.clean, 1),
    # selection, subset, aggregation
    lambda: D.select(), lambda: D.select(1, "*"), lambda: D.select([1, 1, 2], ["*", 3]), lambda: D.select(9),
    lambda: D.subset(2), lambda: D.subset([2, 1], "*"), lambda: filled().subset(),
    lambda: D.sum(), lambda: D.sum("*", [1, 2]), lambda: filled().sum(1),
    lambda: D.prod(COEFFS), lambda: D.prod({k: 2.0 for k in D}), lambda: D.prod(COEFFS, 1, "*"),
    lambda: D.prod({(0, 0): x}), lambda: SCALAR.prod([1, 2, 3]), lambda: D.prod(d=[1]), lambda: D.prod(keyshelf()),
    lambda: ks._sum_terms(iter([1.0, x])), lambda: ks._sum_terms(terms=[]),
    failing(IndexError, D.select, 1, 2, 3), failing(TypeError, D.select, Unhashable()),
    failing(ValueError, MIXED.select), failing(ValueError, MIXED.subset), failing(ValueError, MIXED.sum),
    failing(TypeError, keyshelf({(1, 2): object()}).sum), failing(TypeError, D.prod, {(0, 0): object()}),
    failing(TypeError, D.prod, [1], 1), failing(TypeError, D.prod, (1, 2)), failing(TypeError, D.prod),
    failing(TypeError, keyshelf({0: object()}).prod, [1]), failing(TypeError, SCALAR.prod, [Unhashable()]),
    failing(TypeError, D.sum, x=1), failing(TypeError, D.prod, 1, d=2), failing(TypeError, ks._sum_terms, 5),
    failing(TypeError, ks._sum_terms, [object()]), failing(KeyError, stale_sum),
    with_traceback(LookupError, D.prod, {(1, 1): Boom()}),
    with_traceback(TypeError, SCALAR.prod, [1, "a"]), with_traceback(ValueError, MIXED.select, 1),
    # views and generators: complete, abandoned half-way, closed, thrown into
    lambda: list(D), lambda: list(D.keys()), lambda: list(D.values()), lambda: list(D.items()),
    lambda: list(D._iteritems_internal("*", 1)), abandoned(lambda: iter(D)), abandoned(lambda: iter(D.values())),
    abandoned(lambda: D._iteritems_internal(), 3), lambda: D._iteritems_internal(1),
    lambda: next(D._iteritems_internal()) and None, lambda: D._iteritems_internal().close(),
    failing(KeyError, lambda: D._iteritems_internal().throw(KeyError("k"))),
    failing(ValueError, lambda: next(MIXED._iteritems_internal())),
    failing(KeyError, vanishing_key),
    failing(TypeError, D._iteritems_internal().send, 1), failing(TypeError, D.keys, 1),
])
def test_no_leak(fn):
    assert_no_leak(fn)


@pytest.fixture
def legacy(monkeypatch):
    monkeypatch.setattr(keyshelf, "_legacy_keyshelf_behavior", True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


@numbered([
    lambda: D.keys(), lambda: D.values(), lambda: D.items(), lambda: list(D), lambda: list(filled().items()),
    lambda: list(D.iterkeys()), lambda: list(D.itervalues()), lambda: list(D.iteritems(1)),
    abandoned(D.iterkeys), abandoned(D.itervalues, 2), abandoned(lambda: D.iteritems("*", 1)),
    lambda: D.iteritems(), lambda: D.iterkeys().close(),
    failing(ValueError, MIXED.keys), failing(ValueError, MIXED.items), failing(ValueError, lambda: list(MIXED.itervalues())),
    failing(KeyError, lambda: list(keyshelf({(1, 2): 1}).iterkeys().throw(KeyError))),
])
def test_legacy_and_deprecated_no_leak(fn, legacy):
    assert_no_leak(fn)


@numbered([
    lambda: next(D.iterkeys()), lambda: D.values(), lambda: next(D.iteritems()),
])
def test_warnings_raised_as_errors_no_leak(fn, monkeypatch):
    monkeypatch.setattr(keyshelf, "_legacy_keyshelf_behavior", True)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        assert_no_leak(failing(DeprecationWarning, fn))


# Aggregation over a larger grid of keys, with every coefficient.
GRID = keyshelf({(i, j): float(j) for i in range(5) for j in range(5)})
GRID_COEFFS = {k: 2.0 for k in GRID}


@pytest.mark.parametrize("fn", [
    lambda: GRID.sum(1, "*"), lambda: GRID.select([1, 2], "*"), lambda: GRID.prod(GRID_COEFFS, "*", 3),
    lambda: GRID.prod({(0, 0): x}), lambda: keyshelf({0: x}).prod([1, 2]), lambda: GRID.subset(2),
    lambda: list(GRID.iteritems(1)), lambda: list(GRID), lambda: keyshelf(GRID).update({(9, 9): 1}),
    lambda: keyshelf(GRID).pop((0, 0)), lambda: GRID.setord(list(GRID)[::-1]) or GRID.clean(),
    failing(ValueError, MIXED.sum), failing(KeyError, lambda: next(MIXED.__iter__()) and MIXED.pop(7)),
    failing(TypeError, GRID.prod, [1], 1), failing(TypeError, keyshelf({0: object()}).prod, [1]),
    failing(IndexError, GRID.select, 1, 2, 3), failing(TypeError, GRID.__setitem__, [1], 1),
], ids=lambda f: getattr(f, "__name__", "call"))
def test_aggregation_on_a_grid_no_leak(fn, recwarn):
    assert_no_leak(fn)


# ---- reference cycles through a keyshelf ---------------------------------------

@pytest.mark.parametrize("make", [
    lambda d: setattr(d, "g", d.iteritems()) or next(d.g),
    lambda d: setattr(d, "g", iter(d)) or next(d.g),
    lambda d: setattr(d, "g", d._iteritems_internal("*", 0)) or next(d.g),
    lambda d: setattr(d, "g", d.itervalues()),
    lambda d: d.__setitem__((5, 5), d) or d.select(),
    lambda d: setattr(d, "k", d._keys_internal()) or d.k.append((9, d)),
    lambda d: setattr(d, "m", d.select),
])
def test_cycles_through_keyshelf_are_collected(make):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        d = filled()
        make(d)
        ref = weakref.ref(d)
        del d
        gc.collect()
    assert ref() is None


# ---- pinpoint reference counts ------------------------------------------------

def test_sentinel_key_and_value_refcounts():
    key, value = ("sentinel", 1), object()
    before = sys.getrefcount(key), sys.getrefcount(value)
    d = keyshelf({key: value})
    for _ in range(5):
        assert d.select() == [value] and d.sum.__self__ is d
        try:
            d.prod([1])
            d.sum()
        except TypeError as e:
            del e
    del d
    assert (sys.getrefcount(key), sys.getrefcount(value)) == before


SENTINEL_CALLS = [
    lambda s: keyshelf({(s, 1): s}).select(s), lambda s: keyshelf({(s, 1): s}).subset("*", 1),
    lambda s: keyshelf({(s, 1): 1.0}).sum(s), lambda s: keyshelf({(s, 1): s}).sum(),
    lambda s: keyshelf({(s, 1): 1.0}).prod({(s, 1): s}), lambda s: keyshelf({(s, 1): s, (1, 1): s}).prod({(s, 1): s}),
    lambda s: keyshelf({0: s}).prod([s]), lambda s: keyshelf({0: s}).prod([object()]), lambda s: keyshelf().prod(s),
    lambda s: keyshelf({(s, 1): 1.0}).setord([(s, 1), s]), lambda s: keyshelf().__setitem__(s, s),
    lambda s: keyshelf({s: s}).pop(s), lambda s: keyshelf().pop(s, s), lambda s: keyshelf({s: s}).popitem(),
    lambda s: keyshelf({s: 1}).update({s: s}), lambda s: keyshelf({(1, 2): s, s: s})._keys_internal(),
    lambda s: keyshelf({(s, 1): s}).iteritems(s), lambda s: keyshelf({(s, 1): s})._iteritems_internal(s),
    lambda s: keyshelf({s: s}).itervalues(), lambda s: keyshelf({s: s}).values(), lambda s: ks._sum_terms([s]),
    lambda s: keyshelf({(1, 1): s}).select(1, 1, s), lambda s: keyshelf().select(vals=s),
]


def test_sentinel_argument_refcounts():
    assert_sentinel_counts(SENTINEL_CALLS, "keyshelf")
