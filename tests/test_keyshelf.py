"""keyshelf: module shape, the key list and its order, mutators, selection,
views, the legacy switch and the deprecated generators."""
import inspect
import os
import subprocess
import sys
import traceback
import warnings

import pytest

import varnokpy
import varnokpy._keyshelf as ks_module
from varnokpy._keyshelf import keyshelf
from varnokpy._rowsieve import rowsieve

LEGACY = "Python2 legacy behaviour for keyshelf is deprecated."
DEPRECATED = {name: "keyshelf.%s() is deprecated, use .%s() instead" % (name, name[4:])
              for name in ("iterkeys", "itervalues", "iteritems")}


def shelf():
    return keyshelf({(1, 2): "a", (1, 3): "b", (2, 3): "c"})


@pytest.fixture
def legacy(monkeypatch):
    monkeypatch.setattr(keyshelf, "_legacy_keyshelf_behavior", True)


@pytest.fixture
def caught():
    with warnings.catch_warnings(record=True) as log:
        warnings.simplefilter("always")
        yield log


def texts(log):
    return [(w.category, str(w.message)) for w in log]


# ---- module shape ------------------------------------------------------------

INTERPRETER_NAMES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
                     "__builtins__"}


def test_module_globals_and_class_namespace():
    names = set(vars(ks_module)) - INTERPRETER_NAMES
    assert names == {"warnings", "LinExpr", "rowsieve", "_sum_terms", "keyshelf", "__test__"}
    assert list(vars(keyshelf))[:3] == ["__module__", "__doc__", "_legacy_keyshelf_behavior"]
    methods = [k for k, v in vars(keyshelf).items() if callable(v)]
    assert methods == ["__init__", "clean", "setord", "iteritems", "iterkeys", "itervalues", "keys",
                       "values", "items", "__iter__", "_keys_internal", "_iteritems_internal", "subset",
                       "select", "sum", "prod", "__delitem__", "__setitem__", "clear", "pop", "popitem",
                       "update"]
    assert keyshelf.__doc__ == ("\n  Custom Varnok class: keyshelf is a subclass of dict where\n"
                                "  the keys are a rowsieve.\n  ")
    assert keyshelf.__bases__ == (dict,) and keyshelf._legacy_keyshelf_behavior is False
    assert ks_module._sum_terms.__doc__ and ks_module.__doc__ is None


def test_signatures_and_positional_only_mutators():
    signatures = {name: str(inspect.signature(getattr(keyshelf, name)))
                  for name in ("__init__", "setord", "prod", "pop", "update")}
    assert signatures == {"__init__": "(self, *args, **kwargs)", "setord": "(self, ord)",
                          "prod": "(self, d, *vals)", "pop": "(self, *args)", "update": "(self, *args)"}
    assert keyshelf(a=1) == {"a": 1}
    for call, message in ((lambda d: d.update(a=1), "update() got an unexpected keyword argument 'a'"),
                          (lambda d: d.pop(k=1), "pop() got an unexpected keyword argument 'k'")):
        with pytest.raises(TypeError) as e:
            call(shelf())
        assert str(e.value) == message


# ---- construction, positions, the key list -----------------------------------

def test_construction_state():
    d = keyshelf(a=1)
    assert (d, vars(d)) == ({"a": 1}, {"wild": "*", "_keyshelf__pos": {}, "_keyshelf__keys": None})


def test_key_list_order_follows_positions():
    d = keyshelf({(1, 2): 0, (0, 1): 0})
    assert d._keys_internal() == [(1, 2), (0, 1)]
    d[5, 5] = 0
    assert d._keys_internal() == [(5, 5), (1, 2), (0, 1)]
    e = keyshelf()
    e["a"] = e["b"] = 1
    e["a"] = 2
    assert list(e) == ["a", "b"] and e._keys_internal() == ["b", "a"]
    e["b"] = 3
    assert e._keyshelf__pos == {"a": 2, "b": 2} and e._keys_internal() == ["a", "b"]


def test_setord():
    d = keyshelf(a=1, b=2)
    d.setord(["a", "a", "b"])
    assert d._keyshelf__pos == {"a": 1, "b": 2}
    d.setord(("b", "zz"))
    assert d._keyshelf__pos == {"b": 0, "zz": 1} and d._keys_internal() == ["b", "a"]
    built = d._keys_internal()
    d.setord(["a", "b"])
    assert d._keys_internal() is built and built == ["b", "a"]
    d.clean()
    assert d._keys_internal() == ["a", "b"]
    for bad in (5, ["x", []]):
        with pytest.raises(TypeError):
            d.setord(bad)
    assert d._keyshelf__pos == {"a": 0, "b": 1}


def test_key_list_is_cached_until_clean_and_rebuilt_from_wild():
    d = shelf()
    built = d._keys_internal()
    assert type(built) is rowsieve and d._keys_internal() is built and d._keyshelf__keys is built
    d.wild = "+"
    assert d._keys_internal() is built
    d.clean()
    assert d._keyshelf__keys is None and d._keys_internal()._rowsieve__wild == "+"
    empty = keyshelf()
    assert empty._keys_internal() == [] and empty._keys_internal() is not empty._keys_internal()


@pytest.mark.parametrize("mutate, result", [
    (lambda d: d.__setitem__((9, 9), "z"), None),
    (lambda d: d.__delitem__((1, 2)), None),
    (lambda d: d.clear(), None),
    (lambda d: d.pop((1, 2)), "a"),
    (lambda d: d.pop((7, 7), "dflt"), "dflt"),
    (lambda d: d.popitem(), ((2, 3), "c")),
    (lambda d: d.update({(1, 2): "A"}), None),
])
def test_mutators_drop_the_key_list(mutate, result):
    d = shelf()
    d._keys_internal()
    assert mutate(d) == result and d._keyshelf__keys is None


@pytest.mark.parametrize("mutate, error", [
    (lambda d: d.__setitem__([1], 0), TypeError),
    (lambda d: d.__delitem__((7, 7)), KeyError),
    (lambda d: d.pop((7, 7)), KeyError),
    (lambda d: d.popitem(1), TypeError),
    (lambda d: d.__setitem__((1, 2)), TypeError),
    (lambda d: d.clear(1), TypeError),
])
def test_failing_mutators_keep_state(mutate, error):
    d = shelf()
    built = d._keys_internal()
    pos = dict(d._keyshelf__pos)
    with pytest.raises(error):
        mutate(d)
    assert d._keyshelf__pos == pos and d._keyshelf__keys is built
    with pytest.raises(KeyError):
        keyshelf().popitem()


def test_clear_keeps_positions_and_update_sets_none():
    d = keyshelf()
    d["a"] = d["b"] = 0
    d.clear()
    d.update({"c": 0, "b": 0, "a": 0})
    assert d._keyshelf__pos == {"a": 0, "b": 1} and d._keys_internal() == ["a", "b", "c"]


def test_mixed_keys_fail_only_where_the_key_list_is_needed():
    d = keyshelf({(1, 2): 1.0, 3: 2.0})
    d[4] = 5.0
    del d[4]
    assert len(d) == 2 and d[3] == 2.0 and d.prod([0, 0, 0, 1.0]).constant == 2.0
    assert d.prod({3: 0.5}).constant == 1.0
    for op in (d._keys_internal, d.select, d.sum, lambda: d.prod({3: 1, (1, 2): 1, 0: 0})):
        with pytest.raises(ValueError, match="Cannot mix scalar and tuple values in a rowsieve"):
            op()
        assert d._keyshelf__keys is None


# ---- selection ---------------------------------------------------------------

def test_select_and_subset():
    d = shelf()
    assert d.select() == ["a", "b", "c"] and d.select(1, "*") == ["a", "b"]
    assert d.select(9) == [] and d.subset(9) == {} and type(d.subset(9)) is keyshelf
    assert d.select([1, 1], 3) == ["b", "b"]
    sub = d.subset([2, 1], "*")
    assert sub == {(2, 3): "c", (1, 2): "a", (1, 3): "b"} and list(sub) == [(2, 3), (1, 2), (1, 3)]
    assert sub._keys_internal() == [(2, 3), (1, 2), (1, 3)]
    with pytest.raises(IndexError, match="^Too many indices for rowsieve with 2-tuple keys$"):
        d.select(1, 2, 3)


def test_subset_duplicates_wild_and_class():
    class Sub(keyshelf):
        pass
    d = Sub({(1, 2): [], (1, 3): [], (2, 3): []})
    d.wild = "+"
    sub = d.subset([2, 1, 2], "+")
    assert type(sub) is keyshelf and sub.wild == "+"
    assert list(sub) == [(2, 3), (1, 2), (1, 3)] and sub._keys_internal() == [(1, 2), (1, 3), (2, 3)]
    assert sub._keyshelf__pos == {(2, 3): 3, (1, 2): 1, (1, 3): 2}
    assert sub[1, 2] is d[1, 2]


def test_select_follows_key_list_order_and_views_follow_insertion(caught):
    d = keyshelf({"b": 1, "a": 2})
    d["a"] = 3
    assert d.select() == [3, 1] and list(d.iteritems()) == [("a", 3), ("b", 1)]
    assert list(d.keys()) == ["b", "a"] == list(d) and list(d.iterkeys()) == ["b", "a"]


# ---- legacy switch and warnings ----------------------------------------------

def test_views_without_legacy(caught):
    d = shelf()
    assert type(d.keys()).__name__ == "dict_keys" and list(d.values()) == ["a", "b", "c"]
    assert list(d.items())[0] == ((1, 2), "a") and caught == []

    class Mixin(dict):
        def keys(self):
            return "after keyshelf"
    class Sub(keyshelf, Mixin):
        def keys(self):
            return "overridden"
    # super() starts after keyshelf, whatever the instance's class; iteration
    # goes through the instance's own keys().
    assert keyshelf.keys(Sub()) == "after keyshelf" and list(Sub(a=1)) == list("overridden")


def test_legacy_views(legacy, caught):
    d = keyshelf({"b": 1, "a": 2})
    d["a"] = 2
    assert d.keys() is d.keys() and d.keys() == ["a", "b"]
    assert d.values() == [2, 1] and d.items() == [("a", 2), ("b", 1)] and list(d) == ["a", "b"]
    assert texts(caught) == [(DeprecationWarning, LEGACY)] * 6
    old = d.keys()
    d["c"] = 0
    assert d.keys() is not old


def test_legacy_switch_is_read_from_the_class(monkeypatch, caught):
    d = shelf()
    d._legacy_keyshelf_behavior = True
    assert type(d.keys()).__name__ == "dict_keys"

    class Other:
        _legacy_keyshelf_behavior = 1
    monkeypatch.setattr(ks_module, "keyshelf", Other)
    assert d.keys() == list(dict.keys(d)) and texts(caught) == [(DeprecationWarning, LEGACY)]


@pytest.mark.parametrize("name, args, expected", [
    ("iterkeys", (), [(1, 2), (1, 3), (2, 3)]),
    ("itervalues", (), ["a", "b", "c"]),
    ("iteritems", ("*", 3), [((1, 3), "b"), ((2, 3), "c")]),
])
def test_deprecated_generators_warn_at_first_next(caught, name, args, expected):
    d = shelf()
    gen = getattr(d, name)(*args)
    assert caught == [] and d._keyshelf__keys is None
    assert (gen.__name__, gen.__qualname__) == (name, "keyshelf." + name)
    assert list(gen) == expected and texts(caught) == [(DeprecationWarning, DEPRECATED[name])]


def test_iterkeys_warning_order_in_legacy_mode(legacy, caught):
    assert list(shelf().iterkeys()) == [(1, 2), (1, 3), (2, 3)]
    assert [str(w.message) for w in caught] == [DEPRECATED["iterkeys"], LEGACY]


def test_warnings_as_errors_build_nothing():
    d = shelf()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning):
            next(d.iteritems())
    assert d._keyshelf__keys is None


def test_warnings_global_is_read_at_call_time(monkeypatch):
    seen = []

    class Recorder:
        @staticmethod
        def warn(text, category):
            seen.append((text, category))
    monkeypatch.setattr(ks_module, "warnings", Recorder)
    list(shelf().itervalues())
    assert seen == [(DEPRECATED["itervalues"], DeprecationWarning)]


# ---- generators: laziness, walks under change, tracebacks ----------------------

def test_generators_are_lazy_and_walk_what_they_fetched():
    d = shelf()
    gen = d._iteritems_internal(1)
    assert d._keyshelf__keys is None
    assert next(gen) == ((1, 2), "a")
    del d[1, 3]
    with pytest.raises(KeyError):
        next(gen)
    it = iter(d)
    next(it)
    d[9, 9] = 0
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        next(it)


def frame_names(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


def test_traceback_names(legacy, caught):
    class Missing(keyshelf):
        def _keys_internal(self):
            return rowsieve(["no such key"])
    d = Missing({1: 2})
    with pytest.raises(KeyError) as e:
        d.values()
    assert frame_names(e.value)[-2:] == ["varnokpy._keyshelf.keyshelf.values", "genexpr"]
    with pytest.raises(KeyError) as e:
        next(d.iteritems())
    assert frame_names(e.value)[-1] == "iteritems"
