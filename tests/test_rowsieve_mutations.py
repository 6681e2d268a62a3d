"""rowsieve mutations: the overridden list operations, their order of check,
clean and change, their failures, and the concatenation and slice methods."""
import pytest

import varnokpy._rowsieve as rs_module
from varnokpy._rowsieve import rowsieve

MIX = "Cannot mix scalar and tuple values in a rowsieve"
LENGTH = "All tuples in a rowsieve must be the same length"
EMPTY_CACHES = {"_rowsieve__index": {}, "_rowsieve__contents": None, "_rowsieve__prev": {},
                "_rowsieve__next": {}, "_rowsieve__prevc": {}, "_rowsieve__nextc": {}}


def warmed(cls, rows=((1, 2), (2, 3))):
    """A list with every cache filled."""
    r = cls(list(rows))
    r.select(1, "*")
    (1, 2) in r
    for nav in (r.next, r.prev, r.nextc, r.prevc):
        try:
            nav(rows[0])
        except KeyError:
            pass
    return r


def caches(r):
    return {k: v for k, v in vars(r).items() if k in EMPTY_CACHES}


def mode(r):
    return r._rowsieve__scalar, r._rowsieve__tuplelen


@pytest.mark.parametrize("op, expected, result", [
    (lambda r: r.insert(0, (0, 1)), [(0, 1), (1, 2), (2, 3)], None),
    (lambda r: r.insert(-1, (0, 1)), [(1, 2), (0, 1), (2, 3)], None),
    (lambda r: r.insert(99, (0, 1)), [(1, 2), (2, 3), (0, 1)], None),
    (lambda r: r.pop(), [(1, 2)], (2, 3)),
    (lambda r: r.pop(0), [(2, 3)], (1, 2)),
    (lambda r: r.pop(i=-2), [(2, 3)], (1, 2)),
    (lambda r: r.remove((2, 3)), [(1, 2)], None),
    (lambda r: r.__delitem__(0), [(2, 3)], None),
    (lambda r: r.__delitem__(slice(0, 1)), [(2, 3)], None),
    (lambda r: r.__delslice__(0, 1), [(2, 3)], None),
    (lambda r: r.__delslice__(-1, 99), [(1, 2)], None),
    (lambda r: r.__delslice__(1, 0), [(1, 2), (2, 3)], None),
    (lambda r: r.append((3, 4)), [(1, 2), (2, 3), (3, 4)], None),
    (lambda r: r.extend(x for x in [(5, 6)]), [(1, 2), (2, 3), (5, 6)], None),
])
def test_successful_mutations_drop_every_cache(cls, op, expected, result):
    r = warmed(cls)
    assert op(r) == result
    assert list(r) == expected and caches(r) == EMPTY_CACHES and mode(r) == (False, 2)


def test_del_syntax_goes_through_delitem(cls):
    r = warmed(cls, [(1, 2), (2, 3), (3, 4)])
    del r[0]
    assert r == [(2, 3), (3, 4)] and caches(r) == EMPTY_CACHES
    r.select(2, "*")
    del r[0:1]
    assert r == [(3, 4)] and caches(r) == EMPTY_CACHES
    del r[:]
    assert r == [] and mode(r) == (None, None)
    r.append("a")
    assert mode(r) == (True, None)


@pytest.mark.parametrize("op", [
    lambda r: r.pop(),
    lambda r: r.pop(0),
    lambda r: r.remove((1, 2)),
    lambda r: r.__delitem__(0),
    lambda r: r.__delslice__(0, 5),
])
def test_emptying_deletion_resets_the_mode(cls, op):
    r = warmed(cls, [(1, 2)])
    op(r)
    assert r == [] and mode(r) == (None, None) and caches(r) == EMPTY_CACHES
    r.append(7)
    assert mode(r) == (True, None)


def test_deleting_an_empty_slice_of_an_empty_list_resets_a_leftover_mode(cls):
    r = cls()
    with pytest.raises(ValueError, match=MIX):
        r.extend([(1, 2), 3])
    assert mode(r) == (False, None)
    r.__delslice__(0, 0)
    assert mode(r) == (None, None)


@pytest.mark.parametrize("op, exc, message", [
    (lambda r: r.pop(5), IndexError, "pop index out of range"),
    (lambda r: r.pop("x"), TypeError, None),
    (lambda r: r.remove((9, 9)), ValueError, "list.remove(x): x not in list"),
    (lambda r: r.__delitem__(5), IndexError, "list assignment index out of range"),
    (lambda r: r.__delitem__("x"), TypeError, "list indices must be integers or slices, not str"),
    (lambda r: r.__delslice__("a", 1), TypeError, None),
])
def test_failed_deletions_change_nothing(cls, op, exc, message):
    r = warmed(cls)
    before = {k: id(v) for k, v in caches(r).items()}
    with pytest.raises(exc) as info:
        op(r)
    if message:
        assert str(info.value) == message
    assert r == [(1, 2), (2, 3)] and {k: id(v) for k, v in caches(r).items()} == before


def test_pop_on_an_empty_list(cls):
    r = cls()
    with pytest.raises(IndexError, match="pop from empty list"):
        r.pop()
    assert r == [] and mode(r) == (None, None)


@pytest.mark.parametrize("op, message", [
    (lambda r: r.insert(0, 5), MIX),
    (lambda r: r.insert(0, (1, 2, 3)), LENGTH),
    (lambda r: r.append(5), MIX),
    (lambda r: r.extend([(5, 6), 7]), MIX),
    (lambda r: r.__iadd__([(5, 6), (1,)]), LENGTH),
])
def test_rejected_additions_keep_list_and_caches(cls, op, message):
    r = warmed(cls)
    bucket = r.select(1, "*")
    with pytest.raises(ValueError) as info:
        op(r)
    assert str(info.value) == message
    assert r == [(1, 2), (2, 3)] and r.select(1, "*") is bucket


def test_insert_with_a_bad_index_has_dropped_the_caches(cls):
    r = warmed(cls)
    with pytest.raises(TypeError):
        r.insert("x", (3, 4))
    assert r == [(1, 2), (2, 3)] and caches(r) == EMPTY_CACHES


def test_order_of_steps():
    calls = []

    class Probe(rowsieve):
        def _rowsieve__scalaraddcheck(self, x):
            calls.append(("check", list(x), len(self)))
            return super()._rowsieve__scalaraddcheck(x)

        def _rowsieve__scalardelcheck(self):
            calls.append(("delcheck", len(self)))
            return super()._rowsieve__scalardelcheck()

        def clean(self):
            calls.append(("clean", len(self)))
            return super().clean()

        def extend(self, L):
            calls.append(("extend", len(self)))
            return super().extend(L)

    p = Probe([(1, 2)])
    calls.clear()
    p.insert(0, (0, 0))
    assert calls == [("check", [(0, 0)], 1), ("clean", 1)]
    p.append((7, 7))
    for op, size in [(lambda: p.pop(), 3), (lambda: p.remove((0, 0)), 2), (lambda: p.__delitem__(0), 1)]:
        calls.clear()
        op()
        assert calls == [("delcheck", size - 1), ("clean", size - 1)]
    calls.clear()
    p += [(3, 4)]
    assert calls[0] == ("extend", 0) and calls[1:] == [("check", [(3, 4)], 0), ("clean", 0)]


def test_iadd_returns_self(cls):
    r = cls([(1, 2)])
    alias = r
    r += [(3, 4)]
    assert r is alias and r == [(1, 2), (3, 4)]
    r += (t for t in [(5, 6)])
    assert r == [(1, 2), (3, 4), (5, 6)]
    with pytest.raises(TypeError):
        r += 5


def test_add_builds_a_new_list_with_the_wildcard(cls):
    r = warmed(cls, [(1, 2), (2, 3)])
    r._rowsieve__wild = "+"
    total = r + [(5, 6)]
    assert type(total) is rowsieve and total == [(1, 2), (2, 3), (5, 6)]
    assert total._rowsieve__wild == "+" and mode(total) == (False, 2) and caches(total) == EMPTY_CACHES
    assert r == [(1, 2), (2, 3)] and r._rowsieve__index != {}
    assert (r + (t for t in [(7, 8)]))[-1] == (7, 8)
    with pytest.raises(ValueError, match=MIX):
        r + [5]
    with pytest.raises(TypeError):
        r + 5
    left = [(0, 0)] + r
    assert type(left) is list and left == [(0, 0), (1, 2), (2, 3)]
    assert mode(rowsieve() + ["a"]) == (True, None)


def test_getslice_builds_a_new_list_with_the_wildcard(cls):
    r = cls([(1, 2), (2, 3), (3, 4)], wild=None)
    part = r.__getslice__(0, 1)
    assert type(part) is rowsieve and part == [(1, 2)] and part._rowsieve__wild is None
    assert r.__getslice__(-2, 99) == [(2, 3), (3, 4)] and r.__getslice__(2, 1) == []
    assert mode(r.__getslice__(2, 1)) == (None, None)
    assert type(r[0:1]) is list
    with pytest.raises(TypeError):
        r.__getslice__("a", 1)


def test_results_are_built_through_the_global(monkeypatch):
    made = []

    def factory(*args):
        made.append(args)
        return rowsieve(*args)

    monkeypatch.setattr(rs_module, "rowsieve", factory)
    r = rowsieve([(1, 2)], wild="+")
    r + [(3, 4)]
    r.__getslice__(0, 1)
    assert made == [([(1, 2), (3, 4)], "+"), ([(1, 2)], "+")]


def test_extend_by_itself_and_by_a_rowsieve(cls):
    r = cls([(1, 2), (3, 4)])
    r.extend(r)
    assert r == [(1, 2), (3, 4)] * 2
    other = cls([(5, 6)])
    r.extend(other)
    assert r[-1] == (5, 6) and other == [(5, 6)]
    big = [(i, i) for i in range(1000)]
    e = cls()
    e.extend(big)
    assert e == big and e is not big and mode(e) == (False, 2)
    bad = big + [(1,)]
    with pytest.raises(ValueError, match=LENGTH):
        e.extend(bad)
    assert len(e) == 1000
    with pytest.raises(ValueError, match=MIX):
        cls().extend(big + [None])


def test_instance_attributes_shadow_the_steps():
    r = rowsieve([(1, 2)])
    seen = []
    r.clean = lambda: seen.append("clean")
    r._rowsieve__scalardelcheck = lambda: seen.append("delcheck")
    r.pop()
    r.insert(0, (5, 6))
    assert seen == ["delcheck", "clean", "clean"] and r == [(5, 6)]
