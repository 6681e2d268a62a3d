"""Pure-Python sibling modules: the behaviour the native modules build on."""

import os
import subprocess
import sys
import types

import numpy as np
import pytest

import varnokpy
from varnokpy._core import GenExpr, LinExpr, NLExpr, Var, _ExprTree
from varnokpy._exception import VarnokError
from varnokpy._matrixapi import MLinExpr, MNLExpr, MQuadExpr, MVar
from varnokpy._util import _isstr
from varnokpy._vrk import VRK

x, y, z = Var("x"), Var("y"), Var("z")
FUNCTIONS = ["sqrt", "sin", "cos", "tan", "exp", "log", "log2", "log10", "logistic", "square"]


def test_package_import_loads_no_submodule():
    code = "import sys, varnokpy; print([m for m in sys.modules if m.startswith('varnokpy.')])"
    src = os.path.dirname(os.path.dirname(varnokpy.__file__))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={"PYTHONPATH": src}, check=True)
    assert out.stdout.strip() == "[]"


def test_small_helpers():
    assert [_isstr(v) for v in ("", "*", b"*", 3, ("a",))] == [True, True, False, False, False]
    err = VarnokError(0, "msg")
    assert (err.args, err.errno, err.message, str(err)) == ((0, "msg"), 0, "msg", "msg")
    senses = {VRK.LESS_EQUAL, VRK.GREATER_EQUAL, VRK.EQUAL}
    assert len(senses) == 3 and not senses & {"<", "="}


@pytest.mark.parametrize("build, text", [
    (lambda: LinExpr(), "0.0"),
    (lambda: 2 * x + 3 * y, "2.0 x + 3.0 y"),
    (lambda: x + x - y * 2, "2.0 x - 2.0 y"),
    (lambda: -x + 5, "-x + 5.0"),
    (lambda: 1 - (y - 4), "-y + 5.0"),
    (lambda: LinExpr(3), "3.0"),
    (lambda: x * y + 2 * z, "x * y + 2.0 z"),
    (lambda: (x + 1) * (y - 2), "x * y - 2.0 x + y - 2.0"),
    (lambda: 3 - x * x, "-x ^ 2 + 3.0"),
])
def test_expression_printing(build, text):
    assert str(build()) == text


def test_linexpr_accumulates_in_place():
    expr = LinExpr()
    for term in (x, 2.5 * y, LinExpr(x), 4):
        same = expr
        expr += term
        assert expr is same
    assert expr.terms() == [(x, 2.0), (y, 2.5)] and expr.constant == 4.0
    copy = LinExpr(expr)
    copy += z
    assert str(expr) == "2.0 x + 2.5 y + 4.0"
    for bad in ("a", None, [1], x * y, np.array([1.0])):
        with pytest.raises(TypeError):
            expr += bad
    with pytest.raises(TypeError):
        LinExpr("x")


@pytest.mark.parametrize("arg, op, text", [
    (2, "constant", "2.0"), (1.5, "constant", "1.5"), (np.float64(3), "constant", "3.0"),
    (x, "variable", "x"), (x + 2 * y, "expression", "x + 2.0 y"),
    (x * y, "expression", "x * y"),
    (NLExpr(_ExprTree._from_exp(_ExprTree("variable", [x]))), "exp", "exp(x)"),
])
def test_coerce_to_exprtree(arg, op, text):
    tree = NLExpr._coerce_to_exprtree(arg)
    assert isinstance(tree, _ExprTree) and tree.op == op and str(tree) == text


def test_coerce_rejects_non_scalars_and_copies_expressions():
    for bad in ([1.0], np.array([x]), "x", None, MVar.fromshape(2)):
        with pytest.raises(TypeError):
            NLExpr._coerce_to_exprtree(bad)
    expr = x + y
    tree = NLExpr._coerce_to_exprtree(expr)
    expr += z
    assert str(tree) == "x + y"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_tree_constructors(name):
    build = getattr(_ExprTree, "_from_" + name)
    inner = NLExpr._coerce_to_exprtree(x + y)
    tree = build(inner)
    assert (tree.op, tree.args, str(tree)) == (name, (inner,), "%s(x + y)" % name)
    assert str(NLExpr(build(_ExprTree._from_sin(NLExpr._coerce_to_exprtree(2))))) == \
        "%s(sin(2.0))" % name
    with pytest.raises(AttributeError):
        tree.op = "cos"
    with pytest.raises(AttributeError):
        del tree.op
    with pytest.raises(TypeError):
        build(x)


def test_mvar_naming_and_item():
    m = MVar.fromshape((2, 3))
    assert m.shape == (2, 3) and m.size == 6 and str(m.array[0, 1]) == "x[0,1]"
    single = MVar.fromshape((1, 1), name="v")
    assert single.item() is single.array[0, 0]
    with pytest.raises(ValueError):
        m.item()
    with pytest.raises(TypeError):
        MVar(np.array([x, 1.0], dtype=object))


m23, m3 = MVar.fromshape((2, 3)), MVar.fromshape(3, "y")


@pytest.mark.parametrize("build, cls, shape", [
    (lambda: m23 - 5, MLinExpr, (2, 3)), (lambda: m23 - m3, MLinExpr, (2, 3)),
    (lambda: 5 - (m3 - x), MLinExpr, (3,)), (lambda: (m23 * 2) - m3, MLinExpr, (2, 3)),
    (lambda: np.arange(3) - m3, MLinExpr, (3,)), (lambda: np.float64(1) + m3, MLinExpr, (3,)),
    (lambda: MQuadExpr([x * y, x * x]) - 1, MQuadExpr, (2,)),
    (lambda: (m3 + 1) - MQuadExpr([x * y] * 3), MQuadExpr, (3,)),
    (lambda: MVar.fromshape(()) - 1, MLinExpr, ()),
])
def test_matrix_arithmetic(build, cls, shape):
    result = build()
    assert type(result) is cls and result.shape == shape


def test_matrix_arithmetic_is_elementwise():
    assert [str(e) for e in (1 - 2 * m3).array] == ["-2.0 y[%d] + 1.0" % i for i in range(3)]
    with pytest.raises(TypeError):
        m3 - "a"
    with pytest.raises(TypeError):
        m3 * m3


@pytest.mark.parametrize("arg", [m23, m23 - 1, MQuadExpr([[x * y]] * 2),
                                 MNLExpr([[NLExpr(NLExpr._coerce_to_exprtree(x))]])])
def test_matrix_coercion_feeds_vectorize(arg):
    trees = MNLExpr._coerce_to_exprtree_array(arg)
    assert trees.dtype == object and trees.shape == arg.shape
    assert all(isinstance(t, _ExprTree) for t in trees.flat)
    result = MNLExpr(np.vectorize(lambda t: NLExpr(_ExprTree._from_cos(t)))(trees))
    assert result.shape == arg.shape and str(result.array.flat[0]).startswith("cos(")
    with pytest.raises(TypeError):
        MNLExpr._coerce_to_exprtree_array(trees)


def test_class_relations():
    assert not issubclass(NLExpr, GenExpr) and not issubclass(GenExpr, NLExpr)
    for cls in (MLinExpr, MQuadExpr, MNLExpr, MVar):
        others = {MVar, MLinExpr, MQuadExpr, MNLExpr, NLExpr, GenExpr} - {cls}
        assert not any(issubclass(cls, other) for other in others)


@pytest.fixture
def draftrel(monkeypatch):
    module = types.ModuleType("varnokpy._draftrel")
    module.DraftRel = type("DraftRel", (), {"__init__": lambda s, *a: setattr(s, "parts", a)})
    monkeypatch.setitem(sys.modules, "varnokpy._draftrel", module)
    return module.DraftRel


SIDES = [x, 2 * x, x * y, NLExpr(NLExpr._coerce_to_exprtree(x)), m3, m3 - 1, MQuadExpr([x * x])]


@pytest.mark.parametrize("lhs", SIDES, ids=lambda s: type(s).__name__)
def test_comparisons_build_draftrel(draftrel, lhs):
    for rel, sense in ((lhs <= 5, VRK.LESS_EQUAL), (lhs >= y, VRK.GREATER_EQUAL),
                       (lhs == 2.5, VRK.EQUAL), (5 >= lhs, VRK.LESS_EQUAL)):
        assert isinstance(rel, draftrel) and rel.parts[:2] == (lhs, sense)
    with pytest.raises(TypeError):
        lhs <= "a"


def test_comparisons_reach_other_side(draftrel):
    g = GenExpr("max_", [x, y])
    assert (x == g).parts == (x, VRK.EQUAL, g) and (g == x).parts == (g, VRK.EQUAL, x)
    assert (x <= m3).parts == (m3, VRK.GREATER_EQUAL, x)
    assert len({x, y, x + y, g, m3}) == 5


def test_draftrel_imported_only_on_comparison(monkeypatch):
    monkeypatch.setitem(sys.modules, "varnokpy._draftrel", None)
    with pytest.raises(ImportError):
        x <= 1
