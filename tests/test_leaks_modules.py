"""No reference leaks in the public operations of the four modules.

Every operation runs on its success path and on each of its error paths
(argument binding, the documented exceptions, failures raised by the objects
it calls back), through `assert_no_leak`; a sentinel passed through each call
must have the same reference count afterwards. Generators are abandoned
half-way, closed and thrown into; failing calls leave tracebacks that are
walked and dropped; reference cycles through the native objects must be
collectable."""
import gc
import importlib
import operator
import sys
import traceback
import types
import warnings
import weakref

import pytest

import varnokpy._keyshelf as ks
import varnokpy.warpmath as wm
from leakcheck import assert_no_leak, failing
from varnokpy._core import Var, _ExprTree
from varnokpy._draftrel import DraftRel
from varnokpy._exception import VarnokError
from varnokpy._keyshelf import keyshelf
from varnokpy._matrixapi import MVar
from varnokpy._rowsieve import rowsieve
from varnokpy._vrk import VRK


def walk_traceback(e):
    """Reads every entry of the traceback that a failure built (without the
    source-parsing of full formatting, whose own caches take a few thousand
    calls to settle)."""
    names = [(f.name, f.lineno, f.filename) for f in traceback.extract_tb(e.__traceback__)]
    assert names
    tb = e.__traceback__
    while tb is not None:
        tb.tb_frame.f_code.co_name, tb.tb_frame.f_locals, tb.tb_lineno
        tb = tb.tb_next


def with_traceback(exc_type, fn, *args, **kwargs):
    """Like `failing`, and also walks the traceback that the failure built."""
    def run():
        try:
            fn(*args, **kwargs)
        except exc_type as e:
            walk_traceback(e)
            return
        raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")
    return run


def abandoned(make, steps=1):
    """A generator advanced `steps` times, then dropped."""
    def run():
        g = make()
        for _ in range(steps):
            next(g)
    return run


class Unhashable:
    __hash__ = None


class BadHash:
    def __hash__(self):
        raise RuntimeError("hash")


class BadStr:
    def __hash__(self):
        return 1

    def __str__(self):
        raise RuntimeError("str")


def numbered(cases):
    """Parametrizes `fn` over `cases`, named by their index in the list."""
    return pytest.mark.parametrize("fn", cases, ids=[f"case{i}" for i in range(len(cases))])


def boom(*args):
    raise LookupError("callback")


class Boom:
    __mul__ = __rmul__ = __str__ = boom


@pytest.fixture
def namespaces():
    """Puts the modules' globals back in their load order after a test that
    deletes some (other tests check that order)."""
    modules = [sys.modules[name] for name in ("varnokpy.warpmath", "varnokpy._draftrel", "varnokpy._core")]
    saved = [dict(vars(m)) for m in modules]
    yield
    for m, names in zip(modules, saved):
        ns = vars(m)
        for key in [key for key in ns if key not in names]:
            del ns[key]
        for key, value in names.items():
            ns.pop(key, None)
            ns[key] = value


def test_the_checker_catches_a_leak():
    if sys.getallocatedblocks() == 0:
        pytest.skip("blocks are not counted without the small-object allocator (PYTHONMALLOC=malloc)")
    kept = []
    with pytest.raises(AssertionError, match="grew every round"):
        assert_no_leak(lambda: kept.append(object()))


# ---- rowsieve --------------------------------------------------------------

PAIRS = [(i % 5, i % 3) for i in range(30)]
T = rowsieve(PAIRS)
S = rowsieve([1, 2, 2, 3, "a"])
NAV = rowsieve(list(range(10)))


def inconsistent(extra):
    r = rowsieve([(1, 2)])
    list.append(r, extra)
    return r


@numbered([
    # select, every form, on a cached and on a fresh index
    lambda: T.select(1), lambda: T.select("*", 2), lambda: T.select(), lambda: T.select(9, "*"),
    lambda: rowsieve(PAIRS).select(1, "*"), lambda: rowsieve(PAIRS).select(1, 2),
    lambda: T.select([1, [2, (3,)], []], "*"), lambda: T.select((v for v in (1, 2)), range(2)),
    lambda: T.select({1: "a"}, ["*", 0]), lambda: rowsieve(PAIRS, wild=None).select(None, 1),
    lambda: S.select(2), lambda: S.select([3, 1, "a"]), lambda: rowsieve().select(1, 2, 3),
    failing(IndexError, T.select, 1, 2, 3), failing(IndexError, T.select, [1, 2], 0, 0),
    failing(IndexError, S.select, 1, 2), failing(TypeError, T.select, Unhashable()),
    failing(TypeError, rowsieve([([1], 1)]).select, 1), failing(RuntimeError, rowsieve([(BadHash(), 1)]).select, 1),
    failing(TypeError, T.select, vals=1), failing(TypeError, rowsieve.select),
    # membership
    lambda: (1, 1) in T, lambda: (7, 7) in rowsieve(PAIRS), lambda: "a" in S,
    failing(TypeError, T.__contains__, [1, 1]), failing(TypeError, rowsieve([[1]]).__contains__, 1),
    failing(RuntimeError, rowsieve([BadHash()]).__contains__, 1), failing(TypeError, T.__contains__),
    # private helpers
    lambda: T._rowsieve__makeindex(operator.itemgetter(0)), failing(LookupError, T._rowsieve__makeindex, boom),
    lambda: rowsieve._rowsieve__repl((1, 2), 0, 5), failing(IndexError, rowsieve._rowsieve__repl, (1, 2), 5, 5),
    lambda: rowsieve()._rowsieve__scalaraddcheck([(1, 2)]), lambda: T._rowsieve__scalardelcheck(),
    failing(ValueError, T._rowsieve__scalaraddcheck, [5]), failing(TypeError, T._rowsieve__scalaraddcheck, 5),
    # navigation, cached and fresh, and every failure
    lambda: NAV.next(3), lambda: NAV.prev(3), lambda: NAV.nextc(9), lambda: NAV.prevc(0),
    lambda: rowsieve(range(20)).nextc(5), lambda: rowsieve(range(20)).prev(5),
    failing(KeyError, NAV.next, 9), failing(KeyError, NAV.prev, 0), failing(KeyError, NAV.nextc, 99),
    failing(KeyError, rowsieve([1, 2, 1]).nextc, 1), failing(KeyError, rowsieve([1, 1, 2]).next, 1),
    failing(TypeError, NAV.prevc, [1]), failing(TypeError, rowsieve([[1], [2]]).next, 1),
    failing(TypeError, NAV.next), failing(TypeError, NAV.prev, 1, v=2), failing(TypeError, NAV.nextc, w=1),
    # printed forms
    lambda: repr(T), lambda: repr(S), lambda: repr(rowsieve()), lambda: str(rowsieve([("abc", 1), ("d", 22)])),
    failing(RuntimeError, repr, rowsieve([(BadStr(), 1)])), failing(TypeError, repr, inconsistent(5)),
    failing(IndexError, repr, inconsistent((1, 2, 3))),
    # mutations
    lambda: rowsieve(PAIRS).insert(0, (9, 9)), lambda: rowsieve(PAIRS).pop(), lambda: rowsieve(PAIRS).pop(i=0),
    lambda: rowsieve(PAIRS).remove((1, 1)), lambda: rowsieve(PAIRS).__delitem__(0),
    lambda: rowsieve(PAIRS).__delitem__(slice(2, 9)), lambda: rowsieve(PAIRS).__delslice__(-5, 99),
    lambda: T + [(5, 5)], lambda: T.__iadd__(()), lambda: rowsieve(PAIRS).__iadd__(PAIRS),
    lambda: T.__getslice__(2, -2), lambda: rowsieve([(1, 2)]).pop() and None,
    failing(ValueError, rowsieve(PAIRS).insert, 0, 5), failing(TypeError, rowsieve(PAIRS).insert, "0", (1, 1)),
    failing(IndexError, rowsieve().pop), failing(TypeError, T.pop, "x"), failing(ValueError, T.remove, (9, 9)),
    failing(IndexError, T.__delitem__, 99), failing(TypeError, T.__delitem__, "x"),
    failing(ValueError, T.__add__, [5]), failing(TypeError, T.__add__, 5), failing(ValueError, T.__iadd__, [5]),
    failing(TypeError, T.insert, 0), failing(TypeError, T.pop, 1, 2), failing(TypeError, T.__getslice__, b=1),
    failing(TypeError, T.__delslice__, 1, 2, 3), failing(TypeError, rowsieve, [BadHash()], w=1),
])
def test_rowsieve_no_leak(fn):
    assert_no_leak(fn)


# ---- keyshelf --------------------------------------------------------------

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
def test_keyshelf_no_leak(fn):
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
def test_keyshelf_legacy_and_deprecated_no_leak(fn, legacy):
    assert_no_leak(fn)


@numbered([
    lambda: next(D.iterkeys()), lambda: D.values(), lambda: next(D.iteritems()),
])
def test_warnings_raised_as_errors_no_leak(fn, monkeypatch):
    monkeypatch.setattr(keyshelf, "_legacy_keyshelf_behavior", True)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        assert_no_leak(failing(DeprecationWarning, fn))


# ---- warpmath --------------------------------------------------------------

FUNCTIONS = ["sqrt", "sin", "cos", "tan", "exp", "log", "log2", "log10", "logistic", "square"]


@pytest.fixture
def plain_numpy(monkeypatch):
    """NumPy's own caches grow for thousands of calls: a plain mapping in its
    place keeps them out of the measurement."""
    def vectorize(f):
        def run(trees):
            if trees.size == 0:
                raise ValueError("size 0")
            return [f(tree) for tree in trees.flat]
        return run
    monkeypatch.setitem(sys.modules, "numpy", types.SimpleNamespace(vectorize=vectorize))


M = MVar.fromshape(3)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_warpmath_functions_no_leak(name, plain_numpy):
    fn = getattr(wm, name)
    assert_no_leak(lambda: (fn(x), fn(2), fn(expr=x + 1.0), fn(M), fn(fn(M))), calls=30)
    assert_no_leak(failing(TypeError, fn, "text"), calls=30)


@numbered([
    lambda: wm._apply_warpmath(wm.log(x), _ExprTree._from_exp),
    lambda: wm._apply_warpmath(warp_math=_ExprTree._from_exp, arg=M),
    failing(LookupError, wm._apply_warpmath, x, boom), failing(LookupError, wm._apply_warpmath, M, boom),
    with_traceback(LookupError, wm._apply_warpmath, M, boom), failing(ValueError, wm.exp, MVar.fromshape(0)),
    failing(TypeError, wm._apply_warpmath, x), failing(TypeError, wm._apply_warpmath, x, boom, arg=1),
    failing(TypeError, wm.sqrt, 1, 2), failing(TypeError, wm.sqrt, x=1),
])
def test_warpmath_paths_no_leak(fn, plain_numpy):
    assert_no_leak(fn, calls=30)


@pytest.mark.parametrize("change", [
    lambda mp: mp.delattr(wm, "_ExprTree"), lambda mp: mp.delattr(wm, "MNLExpr"),
    lambda mp: mp.setattr(wm, "NLExpr", types.SimpleNamespace(_coerce_to_exprtree=boom)),
    lambda mp: mp.setattr(_ExprTree, "_from_sin", boom), lambda mp: mp.delattr(_ExprTree, "_from_sin"),
    lambda mp: mp.setattr(wm, "MNLExpr", types.SimpleNamespace(_coerce_to_exprtree_array=boom)),
    lambda mp: mp.setitem(sys.modules, "numpy", None),
])
def test_warpmath_broken_globals_no_leak(change, plain_numpy, namespaces, monkeypatch):
    change(monkeypatch)
    assert_no_leak(failing(Exception, lambda: (wm.sin(x), wm.sin(M))), calls=30)


# ---- DraftRel --------------------------------------------------------------

class Minus:
    """A matrix-like operand whose subtraction fails."""

    def __sub__(self, other):
        raise ArithmeticError("minus")

    __rsub__ = __sub__


class BadSense:
    def __eq__(self, other):
        raise LookupError("sense")


TC = DraftRel(x, VRK.LESS_EQUAL, 1.0)


@numbered([
    lambda: DraftRel(x, VRK.LESS_EQUAL, 2), lambda: DraftRel(lhs=1, sense=2, rhs=3), lambda: DraftRel(M, "=", 5),
    lambda: DraftRel(5, "=", M * 2.0), lambda: DraftRel(M, "=", wm.sin(x)),
    lambda: DraftRel(MVar.fromshape(1), "=", Var("y") * Var("z")), lambda: repr(TC >> TC), lambda: str(TC),
    lambda: repr(DraftRel("text", VRK.GREATER_EQUAL, x + 1)), lambda: TC >> 5,
    failing(VarnokError, bool, TC), failing(VarnokError, TC.__le__, 1), failing(VarnokError, TC.__ge__, rhs=1),
    failing(VarnokError, lambda: 0 <= x <= 1), with_traceback(VarnokError, lambda: (x <= 1) >= 2),
    failing(TypeError, DraftRel, 1, 2), failing(TypeError, DraftRel, 1, 2, 3, 4), failing(TypeError, TC.__bool__, 1),
    failing(TypeError, DraftRel, 1, 2, 3, sense=2), failing(ArithmeticError, DraftRel, M, "=", Minus()),
    failing(RuntimeError, repr, DraftRel(BadStr(), "=", 1)), failing(LookupError, repr, DraftRel(1, BadSense(), 2)),
    failing(AttributeError, lambda: repr(DraftRel.__new__(DraftRel))),
])
def test_draftrel_no_leak(fn):
    assert_no_leak(fn)


@pytest.mark.parametrize("change", [
    lambda mp: mp.delattr(sys.modules["varnokpy._core"], "GenExpr"),
    lambda mp: mp.setattr(MVar, "item", boom),
    lambda mp: mp.delattr(sys.modules["varnokpy._draftrel"], "VRK"),
    lambda mp: mp.setattr(sys.modules["varnokpy._draftrel"], "VarnokError", lambda *a: "not an exception"),
    lambda mp: mp.setattr(sys.modules["varnokpy._draftrel"], "DraftRel", boom),
])
def test_draftrel_broken_siblings_no_leak(change, namespaces, monkeypatch):
    change(monkeypatch)
    assert_no_leak(failing(Exception, lambda: (repr(DraftRel(M, "=", wm.sin(x)) >> TC), bool(TC))))


# ---- module re-import --------------------------------------------------------

@pytest.mark.parametrize("name", ["varnokpy._keyshelf", "varnokpy.warpmath", "varnokpy._draftrel"])
def test_module_reimport_no_leak(name):
    def reimport():
        sys.modules.pop(name)
        importlib.import_module(name)
    # The import system itself adds a few blocks to some rounds.
    assert_no_leak(reimport, warmup=300, calls=200, min_growth=50)


# ---- reference cycles through native objects ---------------------------------

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


def test_cycles_through_the_element_function_are_collected(plain_numpy):
    class Tree:
        def __call__(self, tree):
            self.last = tree
            return _ExprTree._from_sin(tree)

    holder = Tree()
    result = wm._apply_warpmath(M, holder)
    holder.result = result          # tree function -> result -> trees -> ...
    holder.me = holder
    ref = weakref.ref(holder)
    del holder, result
    gc.collect()
    assert ref() is None


# ---- pinpoint reference counts --------------------------------------------------

class Sentinel:
    """Passed through every call: hashable, printable, callable as a tree
    function, usable as a coefficient."""

    def __call__(self, tree):
        return _ExprTree._from_sin(tree)

    def __str__(self):
        return "s"

    def __mul__(self, other):
        return 2.0

    __rmul__ = __mul__


def quietly(call, s):
    try:
        r = call(s)
        if repr(type(r)) == "<class 'varnokpy.generator'>":
            for _ in zip(range(2), r):
                pass
        del r
    except Exception as e:
        walk_traceback(e)
        del e


SENTINEL_CALLS = {
    "rowsieve": [
        lambda s: rowsieve([(s, 1), (s, 2)]).select(s), lambda s: rowsieve([(1, s)], wild=s).select(s, s),
        lambda s: rowsieve([(s, 1)]).select([s, [s]], [s, 1]), lambda s: s in rowsieve([s, 1]),
        lambda s: rowsieve([s, 1]).next(s), lambda s: rowsieve([s, 1]).prev(s), lambda s: rowsieve([s]).nextc(s),
        lambda s: rowsieve([s, s]).prevc(s), lambda s: rowsieve([1, s]).next(s), lambda s: repr(rowsieve([(s, 1)])),
        lambda s: rowsieve([s]).select(s, 1), lambda s: rowsieve([(s, 1)]).select(s, 1, s),
        lambda s: rowsieve([(1, 2)]).append(s), lambda s: rowsieve([(1, 2)]).extend([(s, s), s]),
        lambda s: rowsieve([s]).insert(0, s), lambda s: rowsieve([s, s]).pop(), lambda s: rowsieve([s]).remove(s),
        lambda s: rowsieve([s]).remove(1), lambda s: rowsieve([s]).__delitem__(slice(0, 1)),
        lambda s: rowsieve([s]) + [s], lambda s: rowsieve([s], wild=s).__getslice__(0, 1),
        lambda s: rowsieve([s]).__iadd__([(s,)]), lambda s: rowsieve().prev(s, v=s), lambda s: rowsieve([s]).pop(s),
        lambda s: rowsieve._rowsieve__repl([s], 3, s), lambda s: rowsieve([s])._rowsieve__makeindex(lambda m: [m]),
    ],
    "keyshelf": [
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
    ],
    "warpmath": [
        lambda s: wm._apply_warpmath(2.0, s), lambda s: wm._apply_warpmath(M, s), lambda s: wm.sin(s),
        lambda s: wm._apply_warpmath(MVar.fromshape(0), s), lambda s: wm.exp(expr=s, x=s),
        lambda s: wm._apply_warpmath(s, warp_math=boom),
    ],
    "DraftRel": [
        lambda s: repr(DraftRel(s, s, s)), lambda s: DraftRel(s, "I", s) >> s, lambda s: DraftRel(M, s, 1.0),
        lambda s: DraftRel(s, "=", M), lambda s: bool(DraftRel(s, s, s)), lambda s: DraftRel(s, s, s) <= s,
        lambda s: s >= DraftRel(s, s, s), lambda s: DraftRel(s, s), lambda s: DraftRel(s, s, s, lhs=s),
    ],
}


@pytest.mark.parametrize("module", list(SENTINEL_CALLS))
def test_sentinel_reference_counts(module, plain_numpy):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for index, call in enumerate(SENTINEL_CALLS[module]):
            s = Sentinel()
            quietly(call, s)      # first call: lazily created module state
            gc.collect()
            before = sys.getrefcount(s)
            for _ in range(5):
                quietly(call, s)
            gc.collect()
            assert sys.getrefcount(s) == before, f"{module} call #{index}"
