"""varnokpy._draftrel: normalisation of matrix operands, the printed form,
implication pairs and the refusals of truth tests and chained comparisons."""
import inspect
import os
import subprocess
import sys
import traceback
import types

import pytest

import varnokpy._draftrel as dr
from leakcheck import assert_no_leak, failing
from varnokpy._core import GenExpr, LinExpr, NLExpr, Var
from varnokpy._draftrel import DraftRel
from varnokpy._exception import VarnokError
from varnokpy._matrixapi import MLinExpr, MNLExpr, MVar
from varnokpy._vrk import VRK
from varnokpy.warpmath import sin

NO_BOOL = 'Constraint has no bool value (are you trying "lb <= expr <= ub"?)'
NO_COMPARE = "Constraint comparison not implemented"
x, y = Var("x"), Var("y")


def run_python(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)


# ---- module surface --------------------------------------------------------

def test_module_and_class_surface():
    own = [k for k in vars(dr) if not (k.startswith("__") and k != "__test__")]
    assert own == ["VarnokError", "VRK", "DraftRel", "__test__"] and dr.__test__ == {} and dr.__doc__ is None
    assert dr.VarnokError is VarnokError and dr.VRK is VRK
    assert [k for k in vars(DraftRel) if k not in ("__dict__", "__weakref__")] == [
        "__module__", "__doc__", "__init__", "__repr__", "__rshift__", "__le__", "__ge__", "__bool__"]
    assert (DraftRel.__module__, DraftRel.__qualname__, DraftRel.__bases__) == ("varnokpy._draftrel", "DraftRel",
                                                                                 (object,))
    assert "temporary constraint object" in DraftRel.__doc__
    assert str(inspect.signature(DraftRel.__init__)) == "(self, lhs, sense, rhs)"
    assert str(inspect.signature(DraftRel.__le__)) == "(self, rhs)"


def test_load_needs_only_exception_and_constants():
    out = run_python("import sys, varnokpy._draftrel as d\n"
                     "loaded = lambda: [m in sys.modules for m in ('varnokpy._core', 'varnokpy._matrixapi')]\n"
                     "print(loaded()); d.DraftRel(1, 2, 3); print(loaded())")
    assert out.stdout.split("\n")[:2] == ["[False, False]", "[True, True]"], out.stderr


@pytest.mark.parametrize("call, message", [
    (lambda: DraftRel(1, 2), "__init__() takes exactly 4 positional arguments (3 given)"),
    (lambda: DraftRel(1, 2, 3, lhs=4), "__init__() got multiple values for keyword argument 'lhs'"),
    (lambda: DraftRel(1, 2, 3).__le__(), "__le__() takes exactly 2 positional arguments (1 given)"),
    (lambda: DraftRel(1, 2, 3).__bool__(1), "__bool__() takes exactly 1 positional argument (2 given)"),
])
def test_argument_binding(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message


# ---- printing ----------------------------------------------------------------

@pytest.mark.parametrize("sense, text", [(VRK.LESS_EQUAL, "<="), (VRK.GREATER_EQUAL, ">="), (VRK.EQUAL, "=="),
                                         ("<", "=="), ("=", "=="), ("I", "=="), (None, "=="), (3, "==")])
def test_sense_is_stored_untouched_and_printed(sense, text):
    tc = DraftRel(1, sense, 2.5)
    assert (tc._lhs, tc._sense, tc._rhs) == (1, sense, 2.5) and tc._sense is sense
    assert repr(tc) == str(tc) == "<varnok.DraftRel: 1 %s 2.5>" % text


def test_printing_through_package_operators():
    assert str(x + 2 * y <= 5) == "<varnok.DraftRel: x + 2.0 y <= 5>"
    assert str(y == sin(x + y)) == "<varnok.DraftRel: y == sin(x + y)>"
    tc, td = DraftRel(1, VRK.LESS_EQUAL, 2), DraftRel(3, VRK.GREATER_EQUAL, 4)
    assert str(tc >> td) == "<varnok.DraftRel: <varnok.DraftRel: 1 <= 2> == <varnok.DraftRel: 3 >= 4>>"


def test_sense_compared_by_equality_in_order(monkeypatch):
    seen = []

    class Sense:
        __hash__ = object.__hash__

        def __init__(self, answers):
            self.answers = answers

        def __eq__(self, other):
            seen.append(other)
            return self.answers.get(other, 0)

    assert str(DraftRel(1, Sense({">=": [1]}), 2)) == "<varnok.DraftRel: 1 >= 2>" and seen == ["<=", ">="]
    del seen[:]
    assert str(DraftRel(1, Sense({"<=": "yes", ">=": 1}), 2)) == "<varnok.DraftRel: 1 <= 2>" and seen == ["<="]
    never_equal = Sense({})
    monkeypatch.setattr(dr, "VRK", types.SimpleNamespace(LESS_EQUAL=never_equal, GREATER_EQUAL="g"))
    assert str(DraftRel(1, never_equal, 2)) == "<varnok.DraftRel: 1 == 2>"  # no identity shortcut
    assert str(DraftRel(1, "g", 2)) == "<varnok.DraftRel: 1 >= 2>"


def test_printing_sides_and_its_failures():
    class Shown(str):
        def __str__(self):
            return "shown"

    class Broken:
        def __str__(self):
            raise ZeroDivisionError("str")

    assert str(DraftRel("a", "<=", Shown("b"))) == "<varnok.DraftRel: a <= shown>"
    broken_sense = type("Sense", (), {"__eq__": lambda self, other: Broken().__str__()})()
    for tc in (DraftRel(Broken(), "<=", 1), DraftRel(1, broken_sense, 1), DraftRel(1, "<=", Broken())):
        with pytest.raises(ZeroDivisionError):
            repr(tc)
    tc = DraftRel(1, 2, 3)
    del tc._sense
    with pytest.raises(AttributeError):
        repr(tc)


def test_self_nested_printing_is_a_recursion_error_not_a_crash():
    out = run_python("from varnokpy._draftrel import DraftRel\nt = DraftRel(1, 2, 3); t._rhs = t\n"
                     "try:\n    repr(t)\nexcept RecursionError:\n    print('recursion')")
    assert out.returncode == 0 and out.stdout == "recursion\n", out.stderr


# ---- normalisation ---------------------------------------------------------------

m3, m1, g = MVar.fromshape(3), MVar.fromshape(1, "v"), GenExpr("max_", [x, y])


@pytest.mark.parametrize("lhs, rhs, kind, text", [
    (m3, 5, MLinExpr, str(m3 - 5)), (5, m3 - 1, MLinExpr, str(5 - (m3 - 1))),
    (m3 - 1, x, MLinExpr, str(m3 - 1 - x)), (m1, g, LinExpr, "v[0]"),
    (m1, sin(x), None, None), (sin(m3), 0, None, None), (x, y, None, None),
], ids=["MVar-number", "number-MLinExpr", "MLinExpr-Var", "MVar-GenExpr", "MVar-NLExpr", "MNLExpr", "scalars"])
def test_normalisation_with_package_classes(lhs, rhs, kind, text):
    tc = DraftRel(lhs, VRK.EQUAL, rhs)
    if kind is None:
        assert tc._lhs is lhs and tc._rhs is rhs
    else:
        assert type(tc._lhs) is kind and str(tc._lhs) == text
        if kind is LinExpr:
            assert tc._rhs is rhs
        else:
            assert type(tc._rhs) is float and tc._rhs == 0.0


def test_failed_construction_sets_nothing():
    tc = object.__new__(DraftRel)
    with pytest.raises(ValueError, match="size 1"):
        tc.__init__(m3, VRK.EQUAL, g)  # m3.item() fails
    with pytest.raises(TypeError):
        tc.__init__(MLinExpr([x]), VRK.EQUAL, "text")  # the subtraction fails
    assert vars(tc) == {}


def test_attributes_stored_by_ordinary_assignment():
    order = []

    class Traced(DraftRel):
        def __setattr__(self, name, value):
            order.append(name)
            super().__setattr__(name, value)

    tc = Traced(1, 2, 3)
    tc._lhs = 9
    assert order == ["_lhs", "_sense", "_rhs", "_lhs"] and repr(tc) == "<varnok.DraftRel: 9 == 3>"


def test_attribute_stores_follow_instance_and_class(monkeypatch):
    for _ in range(3):
        tc = DraftRel(1, 2, 3)
    tc.__init__(4, 5, 6)  # a second __init__ replaces the values
    assert list(vars(tc).items()) == [("_lhs", 4), ("_sense", 5), ("_rhs", 6)]
    bare = object.__new__(DraftRel)
    bare.extra = 0
    bare.__init__(1, 2, 3)
    assert list(vars(bare)) == ["extra", "_lhs", "_sense", "_rhs"]
    # Changes to the class after load are seen by the next construction.
    seen = []
    sense = property(lambda self: "read", lambda self, v: seen.append(v))
    monkeypatch.setattr(DraftRel, "_sense", sense, raising=False)
    tc = DraftRel(1, 2, 3)
    assert seen == [2] and list(vars(tc)) == ["_lhs", "_rhs"] and tc._sense == "read"
    monkeypatch.setattr(DraftRel, "__setattr__", lambda self, name, v: seen.append(name), raising=False)
    DraftRel(1, 2, 3)
    assert seen == [2, "_lhs", "_sense", "_rhs"]


@pytest.fixture
def probe(monkeypatch):
    """Recording stand-ins for the two sibling modules, imported per construction."""
    log = []

    class Recorded(type):
        def __instancecheck__(cls, obj):
            log.append(cls.__name__)
            return type.__instancecheck__(cls, obj)

    class Arithmetic:
        def item(self):
            log.append("item")
            return "scalar"

        def __sub__(self, other):
            log.append("sub")
            return ("diff", self, other)

        def __rsub__(self, other):
            log.append("rsub")
            return ("diff", other, self)

    core, matrix = types.ModuleType("varnokpy._core"), types.ModuleType("varnokpy._matrixapi")
    core.GenExpr, core.NLExpr = Recorded("GenExpr", (), {}), Recorded("NLExpr", (), {})
    core.LinExpr = lambda value: log.append("LinExpr") or ("LinExpr", value)
    for name in ("MLinExpr", "MQuadExpr", "MVar", "MNLExpr"):
        setattr(matrix, name, Recorded(name, (Arithmetic,), {}))
    monkeypatch.setitem(sys.modules, "varnokpy._core", core)
    monkeypatch.setitem(sys.modules, "varnokpy._matrixapi", matrix)
    make = lambda mod, name: object.__new__(type("Sub", (getattr(mod, name),), {}))  # noqa: E731
    return types.SimpleNamespace(log=log, core=core, matrix=matrix, make=make)


@pytest.mark.parametrize("lhs, rhs, log, stored", [
    (("m", "MVar"), ("c", "GenExpr"), "MVar GenExpr NLExpr MNLExpr item LinExpr", (("LinExpr", "scalar"), "rhs")),
    (("m", "MVar"), ("c", "NLExpr"), "MVar GenExpr NLExpr NLExpr", ("lhs", "rhs")),
    (("m", "MVar"), 5, "MVar GenExpr NLExpr MVar sub", ("diff", 0.0)),
    (("m", "MLinExpr"), ("c", "NLExpr"), "MVar MVar MLinExpr sub", ("diff", 0.0)),
    (("m", "MQuadExpr"), 5, "MVar MVar MLinExpr MQuadExpr sub", ("diff", 0.0)),
    (5, ("m", "MQuadExpr"), "MVar MVar MLinExpr MQuadExpr MVar MLinExpr MQuadExpr rsub", ("diff", 0.0)),
    (("m", "MNLExpr"), 0, "MVar MVar MLinExpr MQuadExpr MVar MLinExpr MQuadExpr", ("lhs", "rhs")),
])
def test_normalisation_test_order(probe, lhs, rhs, log, stored):
    sides = [probe.make(probe.core if s[0] == "c" else probe.matrix, s[1]) if isinstance(s, tuple) else s
             for s in (lhs, rhs)]
    tc = DraftRel(sides[0], "s", sides[1])
    assert " ".join(probe.log) == log
    want_lhs = {"lhs": sides[0], "diff": ("diff", *sides)}.get(stored[0], stored[0])
    assert tc._lhs == want_lhs and tc._sense == "s"
    want_rhs = sides[1] if stored[1] == "rhs" else stored[1]
    assert tc._rhs is want_rhs or (type(tc._rhs) is float and tc._rhs == want_rhs)


def test_sibling_names_imported_per_construction(probe, monkeypatch):
    DraftRel(1, 2, 3)
    assert " ".join(probe.log) == "MVar MVar MLinExpr MQuadExpr MVar MLinExpr MQuadExpr"  # numbers are tested too
    sub = probe.make(probe.matrix, "MVar")
    monkeypatch.setattr(probe.core, "GenExpr", type(sub))  # rebinding is seen by the next construction
    assert DraftRel(sub, 2, sub)._lhs == ("LinExpr", "scalar")
    monkeypatch.delattr(probe.core, "GenExpr")
    monkeypatch.setitem(sys.modules, "varnokpy._matrixapi", None)
    with pytest.raises(ImportError, match="^cannot import name GenExpr$"):
        DraftRel(1, 2, 3)
    monkeypatch.setitem(sys.modules, "varnokpy._core.GenExpr", type("GenExpr", (), {}))
    with pytest.raises(ImportError, match="varnokpy._matrixapi"):
        DraftRel(1, 2, 3)


# After a few constructions the imports may be answered from what the last one
# found; each change below must still be seen by the next construction.

@pytest.fixture
def warm():
    for _ in range(3):
        DraftRel(1, 2, 3)


def test_module_replaced_in_sys_modules_is_seen(warm, monkeypatch):
    fake = types.ModuleType("varnokpy._core")
    fake.GenExpr, fake.NLExpr = type("GenExpr", (), {}), type("NLExpr", (), {})
    fake.LinExpr = lambda value: ("fake LinExpr", str(value))
    monkeypatch.setitem(sys.modules, "varnokpy._core", fake)
    assert DraftRel(m1, 2, fake.GenExpr())._lhs == ("fake LinExpr", "v[0]")


def test_name_deleted_from_module_is_seen(warm, monkeypatch):
    monkeypatch.delattr(sys.modules["varnokpy._matrixapi"], "MNLExpr")
    with pytest.raises(ImportError, match="^cannot import name MNLExpr$"):
        DraftRel(1, 2, 3)


def test_module_marked_initialising_is_waited_for(warm, monkeypatch):
    import importlib._bootstrap as bootstrap

    waited, wait = [], bootstrap._lock_unlock_module
    monkeypatch.setattr(bootstrap, "_lock_unlock_module", lambda name: waited.append(name) or wait(name))
    monkeypatch.setattr(sys.modules["varnokpy._core"].__spec__, "_initializing", True)
    DraftRel(1, 2, 3)
    assert waited == ["varnokpy._core"]


# ---- implication, refusals ---------------------------------------------------------

def test_implication_goes_through_module_global(monkeypatch):
    class Sub(DraftRel):
        pass

    tc, td = Sub(1, "<=", 2), DraftRel(3, ">=", 4)
    pair = tc >> td
    assert type(pair) is DraftRel and (pair._lhs, pair._sense, pair._rhs) == (tc, "I", td) and pair._lhs is tc
    with pytest.raises(TypeError):
        tc >> m3  # tc - m3: the matrix class refuses a DraftRel operand
    with pytest.raises(TypeError):
        5 >> tc
    monkeypatch.setattr(dr, "DraftRel", lambda *a, **k: (a, k))
    assert (tc >> 7) == ((tc, "I", 7), {})
    monkeypatch.delattr(dr, "DraftRel")
    with pytest.raises(NameError, match="name 'DraftRel' is not defined"):
        tc >> td


tc, td = DraftRel(x, VRK.LESS_EQUAL, 1), DraftRel(y, VRK.GREATER_EQUAL, 2)


def chained():
    return 0 <= x <= 1


@pytest.mark.parametrize("action, message, where", [
    (lambda: bool(tc), NO_BOOL, "__bool__"), (lambda: not tc, NO_BOOL, "__bool__"),
    (lambda: tc and 1, NO_BOOL, "__bool__"), (chained, NO_BOOL, "__bool__"),
    (lambda: tc <= 1, NO_COMPARE, "__le__"), (lambda: tc >= x, NO_COMPARE, "__ge__"),
    (lambda: 1 >= tc, NO_COMPARE, "__le__"), (lambda: x <= tc, NO_COMPARE, "__ge__"),
    (lambda: (0 <= x) <= 1, NO_COMPARE, "__le__"), (lambda: tc <= td, NO_COMPARE, "__le__"),
])
def test_refusals(action, message, where):
    with pytest.raises(VarnokError) as excinfo:
        action()
    assert type(excinfo.value) is VarnokError and excinfo.value.args == (0, message)
    assert traceback.extract_tb(excinfo.tb)[-1].name == "varnokpy._draftrel.DraftRel." + where


def test_no_other_comparisons_defined():
    assert (tc == td) is False and (tc == tc) is True and len({tc, td}) == 2
    with pytest.raises(TypeError):
        tc < td


def test_error_class_read_at_call_time(monkeypatch):
    made = []

    class Recorded(VarnokError):
        def __init__(self, *args):
            made.append(args)
            super().__init__(*args)

    monkeypatch.setattr(dr, "VarnokError", Recorded)
    with pytest.raises(Recorded):
        bool(tc)
    assert made == [(0, NO_BOOL)]
    monkeypatch.setattr(dr, "VarnokError", lambda *a: "not an exception")
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        tc <= 1
    monkeypatch.delattr(dr, "VarnokError")
    with pytest.raises(NameError, match="name 'VarnokError' is not defined"):
        bool(tc)


def test_references_balanced():
    side = object()
    before = sys.getrefcount(side)
    for _ in range(5):
        rel = DraftRel(side, "<=", side)
        repr(rel >> rel)
        for refuse in (bool, lambda r: r <= side):
            try:
                refuse(rel)
            except VarnokError:
                pass
        del rel
    assert sys.getrefcount(side) == before


@pytest.mark.parametrize("fn", [
    lambda: repr(DraftRel(x, VRK.LESS_EQUAL, 1) >> DraftRel(y, VRK.GREATER_EQUAL, 2)),
    lambda: DraftRel(m3, VRK.EQUAL, 5), lambda: DraftRel(m1, VRK.EQUAL, g), lambda: DraftRel(lhs=1, sense=2, rhs=3),
    failing(ValueError, DraftRel, m3, VRK.EQUAL, g), failing(TypeError, DraftRel, 1, 2),
    failing(VarnokError, bool, tc), failing(VarnokError, tc.__le__, 1), failing(VarnokError, chained),
], ids=lambda f: getattr(f, "__name__", "call"))
def test_no_leak(fn):
    assert_no_leak(fn)
