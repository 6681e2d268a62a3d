"""keyshelf.sum and keyshelf.prod: the cases in order, lazy terms, the error
messages, module globals read at call time, and the native fast paths agreeing
with the general path."""
import collections.abc
import functools
import operator
import traceback
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import varnokpy._keyshelf as ks_module
from varnokpy._core import LinExpr, Var
from varnokpy._keyshelf import keyshelf
from varnokpy._rowsieve import rowsieve

x, y, z, w = Var("x"), Var("y"), Var("z"), Var("w")
events = []


class Recorder:
    """Stands in for LinExpr: records its creation and every `+=`."""

    def __init__(self):
        events.append("new")

    def __iadd__(self, term):
        events.append(term)
        return self


class Coef:
    """A coefficient that records being the left operand of a product."""

    def __init__(self, name):
        self.name = name

    def __mul__(self, value):
        return (self.name, value)


@pytest.fixture(autouse=True)
def clear_events():
    events.clear()


@pytest.fixture(params=["fast", "general"])
def make(request):
    """Builds keyshelves whose `_iteritems_internal` is this module's own
    (the native loop) or shadowed by the instance (the general path)."""
    def build(*args, **kwargs):
        d = keyshelf(*args, **kwargs)
        if request.param == "general":
            d._iteritems_internal = types.MethodType(keyshelf._iteritems_internal, d)
        return d
    return build


@pytest.fixture
def recorder(monkeypatch):
    monkeypatch.setattr(ks_module, "LinExpr", Recorder)


def test_end_to_end():
    d = keyshelf({(1, 2): x, (1, 3): y, (2, 3): z})
    assert str(d.sum("*", 3)) == "y + z"
    keylist = d._keys_internal()
    bucket = keylist.select("*", 3)
    assert str(d.sum("*", 3)) == "y + z" and d._keys_internal() is keylist
    assert keylist.select("*", 3) is bucket
    d[3, 3] = w
    assert str(d.sum("*", 3)) == "w + y + z" and d._keys_internal() is not keylist


def test_sum(make, recorder):
    d = make({(1, 2): 1, (1, 3): 2, (2, 3): 3})
    d.sum()
    d.sum(9)
    d.sum([1, 1], 3)
    d.sum([2, 1], "*")
    assert events == ["new", 1, 2, 3, "new", "new", 2, 2, "new", 3, 1, 2]


def test_empty_sums_are_fresh_linexprs(make):
    d = make({(1, 2): x})
    results = [make().sum(), d.sum(9), make().prod({}), d.prod({}, 9)]
    assert all(type(r) is LinExpr and str(r) == "0.0" for r in results)
    assert len({id(r) for r in results}) == 4


def test_prod_with_a_dict(make, recorder):
    d = make({(1, 2): 1, (1, 3): 2, (2, 3): 3})
    a, b, c = Coef("a"), Coef("b"), Coef("c")
    d.prod({(2, 3): a, (9, 9): b, (1, 2): c})                # as long: walk the selection
    d.prod({(2, 3): a, (1, 2): c})                           # shorter: walk d, in d's order
    d.prod({(2, 3): a, (1, 2): c}, 1)                        # a pattern: walk the selection
    d.prod(keyshelf({(1, 3): b}))
    d.prod({})
    assert events == ["new", ("c", 1), ("a", 3), "new", ("a", 3), ("c", 1), "new", ("c", 1),
                      "new", ("b", 2), "new"]


def test_prod_with_a_list(make):
    assert str(make({0: x, 1: y, 5: z}).prod([2, 3])) == "2.0 x + 3.0 y"
    assert str(make({(0, 0): x}).prod([2])) == "0.0"
    assert str(make({0: x}).prod(rowsieve([4]))) == "4.0 x"


@pytest.mark.parametrize("d, coefficients", [
    ({0: object()}, [2]),                      # the product fails
    ({0: "text"}, [1]),                        # the addition fails
    ({0: x}, [[]]),                            # list * Var fails
])
def test_prod_list_errors_become_invalid_argument(make, d, coefficients):
    with pytest.raises(TypeError) as e:
        make(d).prod(coefficients)
    assert str(e.value) == "Invalid keyshelf.prod argument"
    assert type(e.value.__context__) is TypeError and e.value.__cause__ is None
    assert e.value.__context__.__traceback__ is not None


def test_prod_list_keeps_interrupts_and_exits(make):
    class Interrupting:
        def __rmul__(self, other):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        make({0: Interrupting()}).prod([1])


def test_prod_list_replaces_a_missing_accumulator(monkeypatch):
    monkeypatch.delattr(ks_module, "_sum_terms")
    with pytest.raises(TypeError, match="Invalid keyshelf.prod argument") as e:
        keyshelf({0: 1}).prod([1])
    assert type(e.value.__context__) is NameError


@pytest.mark.parametrize("coefficients, vals", [
    ([1, 2], ("*",)), ((1, 2), ()), (types.MappingProxyType({0: 1}), ()),
    (collections.UserDict({0: 1}), ()), (None, ()),
])
def test_prod_refuses_other_coefficients_before_any_term(monkeypatch, coefficients, vals):
    monkeypatch.setattr(ks_module, "LinExpr", None)
    d = keyshelf({0: x})
    with pytest.raises(TypeError) as e:
        d.prod(coefficients, *vals)
    assert str(e.value) == "keyshelf.prod requires a dictionary" and d._keyshelf__keys is None


# ---- module globals are read at call time ------------------------------------

def test_sum_terms_gets_lazy_terms(make, monkeypatch):
    seen = []

    def spy(terms):
        assert isinstance(terms, collections.abc.Generator) and terms.__name__ == "genexpr"
        assert repr(type(terms)) == "<class 'varnokpy.generator'>"
        seen.append(terms.__qualname__)
        first = next(terms)
        dict.__delitem__(d, (1, 3))          # no clean(): the selection still names it
        with pytest.raises(KeyError):
            next(terms)
        return first

    monkeypatch.setattr(ks_module, "_sum_terms", spy)
    d = make({(1, 2): x, (1, 3): y})
    assert d.sum() is x
    d = make({(1, 2): x, (1, 3): y})
    assert str(d.prod({(1, 2): 2, (1, 3): 3})) == "2.0 x"
    assert seen == ["keyshelf.sum.<locals>.genexpr", "keyshelf.prod.<locals>.genexpr"]


def test_rowsieve_and_keyshelf_globals(monkeypatch):
    built = []

    class Sieve(rowsieve):
        def __init__(self, data=(), wild="*"):
            built.append(type(data).__name__)
            rowsieve.__init__(self, data, wild)

    class Shelf(dict):
        def setord(self, order):
            self.order = list(order)

    d = keyshelf({(1, 2): 1, (0, 0): 2})
    monkeypatch.setattr(ks_module, "rowsieve", Sieve)
    monkeypatch.setattr(ks_module, "keyshelf", Shelf)
    assert type(d._keys_internal()) is Sieve and built[0] == "dict_keys"
    sub = d.subset()
    assert type(sub) is Shelf and sub.order == [(1, 2), (0, 0)] and sub.wild == "*"


def test_keyshelf_global_bound_to_a_subclass_recurses_safely(monkeypatch):
    class Shelf(keyshelf):
        pass
    d = keyshelf({1: 2})
    monkeypatch.setattr(ks_module, "keyshelf", Shelf)
    with pytest.raises(RecursionError):
        d.subset()


def test_super_uses_the_keyshelf_global(monkeypatch):
    d = keyshelf()
    monkeypatch.setattr(ks_module, "keyshelf", int)
    with pytest.raises(TypeError):
        d["a"] = 1
    assert "a" not in d and d._keyshelf__pos == {}


# ---- the fast path is the general path ---------------------------------------

def frames(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)][1:]


def outcome(call):
    try:
        return "ok", call()
    except Exception as e:
        return type(e).__name__, frames(e)


@pytest.mark.parametrize("data, call", [
    ({(1, 2): 1, (1, 3): "text"}, lambda d: d.sum()),
    ({(1, 2): 1, (1, 3): 2}, lambda d: d.sum(1, 2, 3)),
    ({(1, 2): 1, (1, 3): 2}, lambda d: d.prod({(1, 2): None, (1, 3): 1, (0, 0): 0})),
    ({(1, 2): 1, (1, 3): 2}, lambda d: d.select(1, 2, 3)),
    ({(1, 2): 1, (1, 3): 2}, lambda d: (dict.__delitem__(d, (1, 3)), d.select())),
    ({(1, 2): 1, (1, 3): 2}, lambda d: (dict.__delitem__(d, (1, 3)), d.sum())),
    ({(1, 2): 1, 3: 2}, lambda d: d.sum()),
])
def test_fast_and_general_paths_fail_alike(monkeypatch, data, call):
    monkeypatch.setattr(ks_module, "LinExpr", float)
    fast, general = keyshelf(data), keyshelf(data)
    outcome(fast._keys_internal)
    outcome(general._keys_internal)
    general._iteritems_internal = types.MethodType(keyshelf._iteritems_internal, general)
    assert outcome(lambda: call(fast)) == outcome(lambda: call(general)) != ("ok", None)


@pytest.mark.parametrize("values", [
    [1e16, 1.0, -1e16, 1.0],
    [1.5, 2, 0.25, True],
    [0.1] * 10 + [3, 0.1],
    [-0.0, -0.0],
    [float("inf"), float("-inf"), 1.0],
])
def test_float_accumulation_is_sequential(make, monkeypatch, values):
    monkeypatch.setattr(ks_module, "LinExpr", float)
    d = make({(0, i): v for i, v in enumerate(values)})
    expected = functools.reduce(operator.add, values, 0.0)
    for _ in range(3):
        got = d.sum()
        assert repr(got) == repr(expected) and type(got) is type(expected)
    coefficients = {k: 0.5 for k in d}
    assert repr(d.prod(coefficients)) == repr(functools.reduce(operator.add, [0.5 * v for v in values], 0.0))


def test_float_accumulation_meets_other_types(monkeypatch):
    monkeypatch.setattr(ks_module, "LinExpr", float)
    d = keyshelf({(0, 0): 1.5, (0, 1): x, (0, 2): 2.5})
    assert str(d.sum()) == "x + 4.0"
    with pytest.raises(TypeError):
        keyshelf({(0, 0): 1.5, (0, 1): "a"}).sum()


def test_repeated_sums_follow_bucket_changes(make, monkeypatch):
    """Changes made to the selection list through the base list's operations
    show at once: nothing about a selection is kept between calls."""
    monkeypatch.setattr(ks_module, "LinExpr", float)
    d = make({**{(5, j): float(j) for j in range(10)}, (6, 0): 100.0})
    bucket = d._keys_internal().select(5, "*")
    assert [d.sum(5, "*") for _ in range(3)] == [45.0] * 3
    list.__setitem__(bucket, 0, (6, 0))
    list.append(bucket, (6, 0))
    assert d.sum(5, "*") == 245.0 and d.select(5, "*")[0] == 100.0
    list.clear(bucket)
    assert d.sum(5, "*") == 0.0 and d.select(5, "*") == []


# Keys of every shape whose hash the native loop takes without the interpreter.
atoms = st.one_of(
    st.integers(), st.sampled_from([-1, -2, 0, 1, 2**30 - 1, 2**30, -(2**30), 2**62, -(2**64)]),
    st.booleans(), st.none(), st.floats(allow_nan=False), st.text(max_size=6),
)
shapes = st.recursive(atoms, lambda inner: st.tuples(inner, inner) | st.tuples(inner), max_leaves=6)


def rebuilt(value):
    """An equal object that shares nothing with `value` (fresh strs and tuples)."""
    if isinstance(value, tuple):
        return tuple(rebuilt(v) for v in value)
    if isinstance(value, str):
        return "".join(list(value)) + ""
    return value


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(shapes, shapes), min_size=1, max_size=12, unique_by=lambda k: hash(k)))
def test_lookups_find_keys_of_every_shape(keys):
    keys = list(dict.fromkeys(keys))
    d = keyshelf({k: float(i) for i, k in enumerate(keys)})
    coefficients = {rebuilt(k): 2.0 for k in keys}
    coefficients[("extra",)] = 0.0
    assert d.prod(coefficients).constant == 2.0 * sum(d.values())
    assert d.select() == [float(i) for i in range(len(keys))]
