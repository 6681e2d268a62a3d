"""varnokpy.warpmath: classification, the term and matrix paths, call-time
lookups, NumPy's vectorize rules and propagation of foreign errors."""
import inspect
import sys
import traceback
import types

import numpy as np
import pytest

import varnokpy.warpmath as wm
from leakcheck import assert_no_leak, failing
from varnokpy._core import LinExpr, NLExpr, QuadExpr, Var, _ExprTree
from varnokpy._matrixapi import MLinExpr, MNLExpr, MQuadExpr, MVar

FUNCTIONS = ["sqrt", "sin", "cos", "tan", "exp", "log", "log2", "log10", "logistic", "square"]
x, y = Var("x"), Var("y")


def tb_names(excinfo):
    return [entry.name for entry in traceback.extract_tb(excinfo.tb)]


# ---- module surface --------------------------------------------------------

def test_module_globals_and_docs():
    own = [k for k in vars(wm) if not (k.startswith("__") and k != "__test__")]
    assert own == ["math", "Var", "LinExpr", "QuadExpr", "NLExpr", "_ExprTree", "MVar", "MLinExpr",
                   "MQuadExpr", "MNLExpr", "_apply_warpmath", *FUNCTIONS, "__test__"]
    assert wm.__test__ == {} and wm.NLExpr is NLExpr and wm.MNLExpr is MNLExpr
    assert "nonlinear functions module" in wm.__doc__ and "MNLExpr" in wm.__doc__
    assert wm._apply_warpmath.__doc__ is None
    assert str(inspect.signature(wm._apply_warpmath)) == "(arg, warp_math)"
    for name in FUNCTIONS:
        fn = getattr(wm, name)
        assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, "varnokpy.warpmath")
        assert str(inspect.signature(fn)) == "(expr)"
        heads = [line.strip() for line in fn.__doc__.splitlines() if line.strip().endswith(":")]
        assert heads[:5] == ["ROUTINE:", "PURPOSE:", "ARGUMENTS:", "RETURN VALUE:", "EXAMPLE:"]
        assert "%s(expr)" % name in fn.__doc__ and "warpmath.%s(x)" % name in fn.__doc__


def test_module_doc_example_runs():
    code = wm.__doc__.split("Example:")[1]
    namespace = {}
    exec(compile("\n".join(line[2:] for line in code.splitlines()), "doc", "exec"), namespace)
    assert str(namespace["c"]) == "<varnok.DraftRel: z == sin(x + y)>"


@pytest.mark.parametrize("call, message", [
    (lambda: wm.sqrt(), "sqrt() takes exactly 1 positional argument (0 given)"),
    (lambda: wm.sqrt(1, 2), "sqrt() takes exactly 1 positional argument (2 given)"),
    (lambda: wm.sqrt(x=1), "sqrt() takes exactly 1 positional argument (0 given)"),
    (lambda: wm.sqrt(1, expr=2), "sqrt() got multiple values for keyword argument 'expr'"),
    (lambda: wm._apply_warpmath(1), "_apply_warpmath() takes exactly 2 positional arguments (1 given)"),
    (lambda: wm._apply_warpmath(1, warp=2), "_apply_warpmath() takes exactly 2 positional arguments (1 given)"),
])
def test_argument_binding(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message


def test_keyword_arguments_work():
    assert str(wm.sqrt(expr=1)) == "sqrt(1.0)"
    assert str(wm._apply_warpmath(warp_math=_ExprTree._from_exp, arg=x)) == "exp(x)"


# ---- with the package's expression classes -----------------------------------

@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("arg", [2.0, 3, x, x + 2 * y, x * y, NLExpr(_ExprTree._from_sin(_ExprTree("variable", [y])))],
                         ids=["float", "int", "Var", "LinExpr", "QuadExpr", "NLExpr"])
def test_term_path(name, arg):
    result = getattr(wm, name)(arg)
    assert type(result) is NLExpr and result.tree.op == name
    assert str(result.tree.args[0]) == str(NLExpr._coerce_to_exprtree(arg))


@pytest.mark.parametrize("arg", [MVar.fromshape((2, 3)), MVar.fromshape((2, 3)) * 2 - 1,
                                 MQuadExpr([[x * y] * 3] * 2), wm.sqrt(MVar.fromshape((2, 3)))],
                         ids=["MVar", "MLinExpr", "MQuadExpr", "MNLExpr"])
def test_matrix_path_is_elementwise(arg):
    result = wm.cos(arg)
    assert type(result) is MNLExpr and result.shape == (2, 3)
    for index in np.ndindex(2, 3):
        element = result.array[index]
        assert type(element) is NLExpr
        assert str(element) == "cos(%s)" % NLExpr._coerce_to_exprtree(arg.array[index])


def test_nesting_and_array_of_variables():
    assert str(wm.sin(wm.sqrt(MVar.fromshape(2))).array[1]) == "sin(sqrt(x[1]))"
    with pytest.raises(TypeError, match="cannot build an expression tree from ndarray"):
        wm.sin(np.array([x, y]))  # not matrix-friendly: the term path decides


def test_vectorize_calls_first_element_twice_and_refuses_size_zero():
    seen = []

    def tree_function(tree):
        seen.append(str(tree))
        return _ExprTree._from_exp(tree)

    result = wm._apply_warpmath(MVar.fromshape(3), tree_function)
    assert seen == ["x[0]", "x[0]", "x[1]", "x[2]"] and result.shape == (3,)
    with pytest.raises(ValueError, match="size 0"):
        wm._apply_warpmath(MVar.fromshape((0, 2)), tree_function)
    assert len(seen) == 4


# ---- probe siblings ------------------------------------------------------------

@pytest.fixture
def probe(monkeypatch):
    """Replaces every sibling global of the module with recording fakes."""
    log = []

    class Recorded(type):
        def __instancecheck__(cls, obj):
            log.append(("isinstance", cls.__name__))
            return type.__instancecheck__(cls, obj)

    class FakeNL:
        def __init__(self, tree):
            log.append(("NLExpr", tree))
            self.tree = tree

        @staticmethod
        def _coerce_to_exprtree(arg):
            log.append(("coerce", arg))
            return ("tree", arg)

    def coerce_array(arg):
        log.append(("coerce_array", arg))
        trees = np.empty(2, dtype=object)
        trees[:] = [("tree", 0), ("tree", 1)]
        return trees

    def wrap_array(array):
        log.append(("MNLExpr", list(array)))
        return ("MNLExpr", array)

    classes = {n: Recorded(n, (), {}) for n in ("MVar", "MLinExpr", "MQuadExpr")}
    classes["MNLExpr"] = Recorded("MNLExpr", (), {"_coerce_to_exprtree_array": staticmethod(coerce_array),
                                                  "__new__": staticmethod(lambda cls, a: wrap_array(a))})
    tree_class = type("FakeTree", (), {"_from_" + n: staticmethod(lambda t, n=n: (n, t)) for n in FUNCTIONS})
    for name, value in dict(classes, NLExpr=FakeNL, _ExprTree=tree_class).items():
        monkeypatch.setattr(wm, name, value)
    return types.SimpleNamespace(log=log, **classes)


def instance_of(cls):
    """A subclass instance: isinstance skips __instancecheck__ for the exact class."""
    return object.__new__(type("Sub" + cls.__name__, (cls,), {}))


def test_classification_order(probe):
    wm.sin(instance_of(probe.MLinExpr))
    assert [e for e in probe.log if e[0] == "isinstance"] == [("isinstance", "MVar"), ("isinstance", "MLinExpr")]
    del probe.log[:]
    wm.sin(5)
    assert probe.log == [("isinstance", n) for n in ("MVar", "MLinExpr", "MQuadExpr", "MNLExpr")] + \
        [("coerce", 5), ("NLExpr", ("sin", ("tree", 5)))]


def test_all_matrix_classes_read_before_any_test(probe, monkeypatch):
    monkeypatch.delattr(wm, "MNLExpr")
    with pytest.raises(NameError, match="name 'MNLExpr' is not defined"):
        wm.sin(instance_of(probe.MVar))
    assert probe.log == []


def test_matrix_path_uses_numpy_at_call_time(probe, monkeypatch):
    vectorized = []

    def vectorize(*args, **kwargs):
        assert len(args) == 1 and kwargs == {}
        vectorized.append(args[0])
        return lambda trees: [args[0](t) for t in trees]

    monkeypatch.setitem(sys.modules, "numpy", types.SimpleNamespace(vectorize=vectorize))
    arg = instance_of(probe.MQuadExpr)
    result = wm.log(arg)
    assert result[0] == "MNLExpr" and [e.tree for e in result[1]] == [("log", ("tree", 0)), ("log", ("tree", 1))]
    assert probe.log[3:] == [("coerce_array", arg), ("NLExpr", ("log", ("tree", 0))),
                             ("NLExpr", ("log", ("tree", 1))), ("MNLExpr", result[1])]
    f = vectorized[0]
    assert (f.__name__, f.__qualname__, f.__module__) == ("f", "_apply_warpmath.<locals>.f", "varnokpy.warpmath")
    monkeypatch.setitem(sys.modules, "numpy", None)
    with pytest.raises(ImportError):
        wm.log(arg)
    assert wm.log(7).tree == ("log", ("tree", 7))  # the term path never imports NumPy


def test_element_function_binding_and_closure(probe, monkeypatch):
    captured = []
    monkeypatch.setitem(sys.modules, "numpy", types.SimpleNamespace(
        vectorize=lambda f: captured.append(f) or (lambda trees: [])))
    wm._apply_warpmath(instance_of(probe.MVar), lambda t: ("first", t))
    wm._apply_warpmath(instance_of(probe.MVar), lambda t: ("second", t))
    first, second = captured
    assert first(1).tree == ("first", 1) and second(x=2).tree == ("second", 2)
    for call, message in [(lambda: first(), "f() takes exactly 1 positional argument (0 given)"),
                          (lambda: first(1, 2), "f() takes exactly 1 positional argument (2 given)"),
                          (lambda: first(y=1), "f() takes exactly 1 positional argument (0 given)"),
                          (lambda: first(1, x=1), "f() got multiple values for keyword argument 'x'"),
                          (lambda: first(x=1, z=1), "f() got an unexpected keyword argument 'z'")]:
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == message
    # NLExpr is read at each element call, not captured.
    monkeypatch.setattr(wm, "NLExpr", lambda tree: ("rebound", tree))
    assert first(3) == ("rebound", ("first", 3))


def test_public_functions_read_globals_at_call_time(probe, monkeypatch):
    calls = []
    monkeypatch.setattr(wm, "_apply_warpmath", lambda *a, **k: calls.append((a, k)) or "done")
    assert wm.tan(x) == "done" and calls == [((x, wm._ExprTree._from_tan), {})]
    monkeypatch.delattr(wm._ExprTree, "_from_tan")
    with pytest.raises(AttributeError):
        wm.tan(x)
    monkeypatch.delattr(wm, "_ExprTree")
    with pytest.raises(NameError, match="name '_ExprTree' is not defined"):
        wm.exp(x)
    assert len(calls) == 1


def test_foreign_errors_propagate_unchanged_with_traceback_entries():
    error = KeyError("from the tree function")

    def failing(tree):
        raise error

    with pytest.raises(KeyError) as term:
        wm._apply_warpmath(x, failing)
    assert term.value is error
    with pytest.raises(KeyError) as matrix:
        wm._apply_warpmath(MVar.fromshape(2), failing)
    assert matrix.value is error
    assert "varnokpy.warpmath._apply_warpmath.f" in tb_names(matrix)
    with pytest.raises(TypeError) as excinfo:
        wm.sin("text")
    assert tb_names(excinfo)[1:3] == ["varnokpy.warpmath.sin", "varnokpy.warpmath._apply_warpmath"]


def test_closure_released_after_call():
    sentinel = lambda tree: _ExprTree._from_sin(tree)  # noqa: E731
    before = sys.getrefcount(sentinel)
    for _ in range(3):
        wm._apply_warpmath(MVar.fromshape(2), sentinel)
        with pytest.raises(ValueError):
            wm._apply_warpmath(MVar.fromshape(0), sentinel)
    assert sys.getrefcount(sentinel) == before


def raising(tree):
    raise KeyError(tree)


@pytest.mark.parametrize("fn", [
    lambda: wm.sin(x + y), lambda: wm.exp(2), lambda: wm.cos(MVar.fromshape((2, 2))),
    lambda: wm._apply_warpmath(arg=MVar.fromshape(2), warp_math=_ExprTree._from_log),
    failing(ValueError, wm.sqrt, MVar.fromshape(0)), failing(TypeError, wm.sqrt, "a"),
    failing(KeyError, wm._apply_warpmath, x, raising), failing(KeyError, wm._apply_warpmath, MVar.fromshape(2), raising),
    failing(TypeError, wm.sqrt, x=1), failing(TypeError, wm.sqrt, 1, expr=2),
], ids=lambda f: getattr(f, "__name__", "call"))
def test_no_leak(fn, monkeypatch):
    # NumPy's frompyfunc keeps growing caches of its own for thousands of
    # calls; a plain mapping keeps them out of the measurement.
    def plain_vectorize(f):
        def run(trees):
            if trees.size == 0:
                raise ValueError("size 0")
            return [f(tree) for tree in trees.flat]
        return run

    monkeypatch.setitem(sys.modules, "numpy", types.SimpleNamespace(vectorize=plain_vectorize))
    assert_no_leak(fn, calls=30)
