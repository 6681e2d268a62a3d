"""No reference leaks in warpmath and DraftRel, the modules that build
expressions and constraints from the sibling modules' objects: every
function and method on its success path and on each of its error paths,
with broken module globals and siblings; cycles through the element
function are collectable, and sentinels keep their reference counts."""
import gc
import sys
import types
import weakref

import pytest

import varnokpy.warpmath as wm
from leakcheck import BadStr, assert_no_leak, assert_sentinel_counts, boom, failing, numbered, with_traceback
from varnokpy._core import Var, _ExprTree
from varnokpy._draftrel import DraftRel
from varnokpy._exception import VarnokError
from varnokpy._matrixapi import MVar
from varnokpy._vrk import VRK

x = Var("x")


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


# ---- pinpoint reference counts ------------------------------------------------

SENTINEL_CALLS = {
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
def test_sentinel_argument_refcounts(module, plain_numpy):
    assert_sentinel_counts(SENTINEL_CALLS[module], module)
