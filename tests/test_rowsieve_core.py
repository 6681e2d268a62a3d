"""rowsieve construction, mode rules, additions and clean()."""
import collections
import sys

import pytest

from varnokpy._rowsieve import rowsieve

MIX = "Cannot mix scalar and tuple values in a rowsieve"
LENGTH = "All tuples in a rowsieve must be the same length"


def state(r):
    return r._rowsieve__scalar, r._rowsieve__tuplelen


def test_empty_instance_state():
    r = rowsieve()
    assert r == [] and type(r) is rowsieve
    assert vars(r) == {
        "_rowsieve__wild": "*", "_rowsieve__scalar": None, "_rowsieve__tuplelen": None,
        "_rowsieve__index": {}, "_rowsieve__contents": None, "_rowsieve__prev": {}, "_rowsieve__next": {},
        "_rowsieve__prevc": {}, "_rowsieve__nextc": {}}
    assert list(vars(r)) == ["_rowsieve__wild", "_rowsieve__scalar", "_rowsieve__tuplelen",
                             "_rowsieve__index", "_rowsieve__contents", "_rowsieve__prev",
                             "_rowsieve__next", "_rowsieve__prevc", "_rowsieve__nextc"]


Point = collections.namedtuple("Point", "x y")


@pytest.mark.parametrize("data,mode", [
    ([(1, 2), (1, 3)], (False, 2)),
    ([1, "a", 2.0], (True, None)),
    (["ab", "cd"], (True, None)),
    ("abc", (True, None)),
    ([Point(1, 2)], (True, None)),
    ([()], (False, 0)),
    ((x for x in [(1, 2)]), (False, 2)),
])
def test_mode_from_first_batch(data, mode):
    r = rowsieve(data)
    assert state(r) == mode


@pytest.mark.parametrize("data,message", [
    ([(1, 2), (1, 2, 3)], LENGTH),
    ([1, (1, 2)], MIX),
    ([(1, 2), 1], MIX),
    ([Point(1, 2), (1, 2)], MIX),
    ([(1, 2), [1, 2]], MIX),
])
def test_rejected_construction(data, message):
    with pytest.raises(ValueError) as info:
        rowsieve(data)
    assert str(info.value) == message


def test_construction_details():
    assert rowsieve("abc") == ["a", "b", "c"]
    gen = (x for x in [(1, 2)])
    assert rowsieve(gen) == [(1, 2)] and list(gen) == []
    assert rowsieve([("a", 1)], wild=None)._rowsieve__wild is None
    assert rowsieve([], "+")._rowsieve__wild == "+"
    with pytest.raises(TypeError):
        rowsieve(5)
    t = (1, 2)
    assert rowsieve([t])[0] is t   # members are not copied


def test_rejected_first_batch_keeps_the_mode():
    r = rowsieve()
    with pytest.raises(ValueError, match=MIX):
        r.extend([(1, 2), 3])
    assert r == [] and state(r) == (False, None)
    with pytest.raises(ValueError, match=MIX):
        r.append(5)
    r2 = rowsieve()
    with pytest.raises(ValueError, match=LENGTH):
        r2.extend([(1, 2), (1, 2, 3)])
    assert r2 == [] and state(r2) == (False, 2)


def test_additions_against_an_established_mode():
    r = rowsieve([(1, 2)])
    index = r._rowsieve__index
    with pytest.raises(ValueError, match=MIX):
        r.append(5)
    with pytest.raises(ValueError, match=LENGTH):
        r.append((1, 2, 3))
    with pytest.raises(ValueError, match=MIX):
        r.extend([(5, 6), 7])
    assert r == [(1, 2)] and r._rowsieve__index is index   # caches untouched
    assert r.append((3, 4)) is None and r.extend(x for x in [(5, 6)]) is None
    assert r == [(1, 2), (3, 4), (5, 6)]
    s = rowsieve([1])
    with pytest.raises(ValueError, match=MIX):
        s.append((1, 2))
    s.append(Point(1, 2))
    assert s == [1, (1, 2)]


def test_extend_uses_lists_directly():
    r = rowsieve([(1, 2), (3, 4)])
    r.extend(r)
    assert r == [(1, 2), (3, 4)] * 2
    batch = [(5, 6)]
    r2 = rowsieve()
    r2.extend(batch)
    assert r2 == batch and r2 is not batch
    s = rowsieve(["x"])
    s.extend("ab")
    assert s == ["x", "a", "b"]


def test_base_list_operations_keep_mode_and_caches():
    r = rowsieve([(1, 2)])
    index = r._rowsieve__index
    r.clear()
    assert state(r) == (False, 2) and r._rowsieve__index is index
    r[0:0] = [5]   # base slice assignment performs no check
    assert r == [5]


def test_clean_rebinds_fresh_caches():
    r = rowsieve([(1, 2)])
    old = {name: getattr(r, name) for name in ("_rowsieve__index", "_rowsieve__prev", "_rowsieve__next",
                                               "_rowsieve__prevc", "_rowsieve__nextc")}
    for d in old.values():
        d["held"] = 1
    r._rowsieve__contents = {"x": True}
    assert r.clean() is None
    assert r == [(1, 2)] and r._rowsieve__contents is None
    for name, d in old.items():
        assert getattr(r, name) == {} and getattr(r, name) is not d
        assert d == {"held": 1}   # a caller holding the old cache keeps it


def test_additions_check_then_clean_then_change():
    calls = []

    class Probe(rowsieve):
        def _rowsieve__scalaraddcheck(self, x):
            calls.append(("check", list(x), len(self)))
            return super()._rowsieve__scalaraddcheck(x)

        def clean(self):
            calls.append(("clean", len(self)))
            return super().clean()

    p = Probe([(1, 2)])
    assert calls == [("check", [(1, 2)], 0), ("clean", 0)]
    calls.clear()
    p.append((3, 4))
    assert calls == [("check", [(3, 4)], 1), ("clean", 1)]
    calls.clear()
    with pytest.raises(ValueError):
        p.append(5)
    assert calls == [("check", [5], 2)]


def test_calls_on_self_dispatch_through_the_instance():
    r = rowsieve([(1, 2)])
    seen = []
    r.clean = lambda: seen.append("clean")
    r.append((3, 4))
    assert seen == ["clean"] and r == [(1, 2), (3, 4)]

    class Attrs(rowsieve):
        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)

    seen.clear()
    Attrs([(1, 2)])
    assert seen == ["_rowsieve__wild", "_rowsieve__scalar", "_rowsieve__tuplelen", "_rowsieve__scalar",
                    "_rowsieve__tuplelen", "_rowsieve__index", "_rowsieve__contents", "_rowsieve__prev",
                    "_rowsieve__next", "_rowsieve__prevc", "_rowsieve__nextc"]


def test_mode_check_swallows_only_index_errors():
    class Odd(list):
        def __getitem__(self, i):
            raise IndexError("short")

    r = rowsieve()
    assert r._rowsieve__scalaraddcheck(Odd([(1, 2)])) is None   # IndexError from x[0]
    assert state(r) == (None, None)

    t = rowsieve([(1, 2)])
    with pytest.raises(TypeError):
        t._rowsieve__scalaraddcheck(5)   # not subscriptable: propagates


def test_deletion_resets_mode():
    r = rowsieve([(1, 2)])
    assert r.pop() == (1, 2)
    assert state(r) == (None, None)
    r.append(3)
    assert state(r) == (True, None)
    assert r._rowsieve__scalardelcheck() is None and state(r) == (True, None)


def test_references_are_balanced():
    sentinel = (object(), 1)
    before = sys.getrefcount(sentinel)
    for _ in range(50):
        r = rowsieve([sentinel])
        r.append(sentinel)
        r.extend([sentinel])
        with pytest.raises(ValueError):
            r.append(5)
        with pytest.raises(ValueError):
            r.extend([sentinel, (1,)])
        del r
    assert sys.getrefcount(sentinel) == before
