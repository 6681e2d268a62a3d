"""rowsieve neighbour lookups and the printed table."""
import traceback

import pytest
from hypothesis import given, settings, strategies as st

from conftest import Plain
from varnokpy._rowsieve import rowsieve

DUPLICATE = "Duplicate values in keyshelf"


# ---- neighbours ---------------------------------------------------------------

THREE = [(1, 2), (3, 4), (5, 6)]


@pytest.mark.parametrize("method, v, expected", [
    ("next", (1, 2), (3, 4)), ("next", (3, 4), (5, 6)), ("next", (5, 6), KeyError),
    ("prev", (1, 2), KeyError), ("prev", (5, 6), (3, 4)),
    ("nextc", (5, 6), (1, 2)), ("nextc", (1, 2), (3, 4)),
    ("prevc", (1, 2), (5, 6)), ("prevc", (3, 4), (1, 2)),
    ("next", (9, 9), KeyError), ("nextc", (9, 9), KeyError),
])
def test_neighbours(cls, method, v, expected):
    r = cls(THREE)
    if expected is KeyError:
        with pytest.raises(KeyError) as info:
            getattr(r, method)(v)
        assert info.value.args == (v,)
    else:
        assert getattr(r, method)(v) is r[THREE.index(expected)]


@pytest.mark.parametrize("members, method, v, expected", [
    (["a", "b", "a"], "next", "a", "b"),
    (["a", "b", "a"], "prev", "a", "b"),
    (["a", "b", "a"], "nextc", "a", DUPLICATE),
    (["a", "b", "a"], "prevc", "b", DUPLICATE),
    (["b", "b", "a"], "next", "a", DUPLICATE),
    (["a", "b", "b"], "prev", "a", DUPLICATE),
    (["a", "b", "b"], "next", "a", "b"),   # the last member is no key of `next`
    (["b", "b", "a"], "prev", "a", "b"),
    ([1, True], "nextc", 1, DUPLICATE),
    ([1, 2.0], "next", 1.0, 2.0),
    (["m"], "nextc", "m", "m"),
    (["m"], "prevc", "m", "m"),
    (["m"], "next", "m", KeyError),
])
def test_duplicates_and_edges(cls, members, method, v, expected):
    r = cls(members)
    if expected in (DUPLICATE, KeyError):
        with pytest.raises(KeyError) as info:
            getattr(r, method)(v)
        assert info.value.args == ((DUPLICATE,) if expected == DUPLICATE else (v,))
        if expected == DUPLICATE:
            assert getattr(r, "_rowsieve__" + method) == {}   # not stored: checked again next time
    else:
        assert getattr(r, method)(v) == expected


def test_empty_list(cls):
    e = cls()
    for method in ("next", "prev", "nextc", "prevc"):
        with pytest.raises(KeyError) as info:
            getattr(e, method)(1)
        assert info.value.args == (1,)


def test_caches_are_built_once_and_dropped_by_clean(cls):
    r = cls([1, 2, 3])
    assert r.next(1) == 2 and r._rowsieve__next == {1: 2, 2: 3}
    cache = r._rowsieve__next
    assert r.next(2) == 3 and r._rowsieve__next is cache
    assert r.prevc(1) == 3 and r._rowsieve__prevc == {1: 3, 2: 1, 3: 2}
    assert r._rowsieve__prev == {} and r._rowsieve__nextc == {}
    r.reverse()   # base list operation: the caches stay
    assert r.next(1) == 2
    r.clean()
    assert r.next(2) == 1
    r.append(0)
    assert r.next(1) == 0


def test_failed_lookup_keeps_the_built_cache(cls):
    r = cls([1, 2])
    with pytest.raises(KeyError):
        r.next(2)
    assert r._rowsieve__next == {1: 2}
    with pytest.raises(TypeError):
        r.next([1])


def test_unhashable_members_leave_the_cache_empty(cls):
    r = cls([[1], [2]])
    with pytest.raises(TypeError):
        r.next([1])
    assert r._rowsieve__next == {}


def test_navigation_reads_through_the_instance():
    r = rowsieve([1, 2])
    r._rowsieve__next = {1: "stored"}
    assert r.next(1) == "stored"   # a non-empty cache is used as it is
    r._rowsieve__next = ["x"]
    with pytest.raises(IndexError):
        r.next(1)


# ---- the printed table ----------------------------------------------------------

@pytest.mark.parametrize("members, text", [
    ([(1, "a"), (22, "bcd")], "<varnok.rowsieve (2 tuples, 2 values each):\n ( 1  , a   )\n ( 22 , bcd )\n>"),
    ([(1,)], "<varnok.rowsieve (1 tuples, 1 values each):\n ( 1 )\n>"),
    ([()], "<varnok.rowsieve (1 tuples, 0 values each):\n ( )\n>"),
    ([(), ()], "<varnok.rowsieve (2 tuples, 0 values each):\n ( )\n ( )\n>"),
    ([("abc", 1), ("d", 22)], "<varnok.rowsieve (2 tuples, 2 values each):\n ( abc , 1  )\n ( d   , 22 )\n>"),
    ([(None, True, 1.5)], "<varnok.rowsieve (1 tuples, 3 values each):\n ( None , True , 1.5 )\n>"),
    ([("é", "€"), ("ab", "c")], "<varnok.rowsieve (2 tuples, 2 values each):\n ( é  , € )\n ( ab , c )\n>"),
    ([("x", "\U0001F600"), ("y", "ü")], "<varnok.rowsieve (2 tuples, 2 values each):\n ( x , \U0001F600 )\n ( y , ü )\n>"),
    ([((1, 2), [3])], "<varnok.rowsieve (1 tuples, 2 values each):\n ( (1, 2) , [3] )\n>"),
    ([], "[]"),
    (["x", "y"], "['x', 'y']"),
    ([1, "a", 2.5], "[1, 'a', 2.5]"),
])
def test_printed_forms(cls, members, text):
    r = cls(members)
    assert repr(r) == text and str(r) == text


def test_undetermined_mode_prints_as_a_list(cls):
    r = cls()
    list.append(r, (1, 2))
    assert repr(r) == "[(1, 2)]"


def test_table_uses_recorded_length_and_the_shortest_member(cls):
    r = cls([(1, 2)])
    list.append(r, (3,))   # shorter: one column only
    with pytest.raises(IndexError, match="list index out of range") as info:
        repr(r)
    names = [fs.name for fs in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == ["varnokpy._rowsieve.rowsieve.__repr__", "genexpr"]

    s = cls([(1, 2)])
    list.append(s, 5)
    with pytest.raises(TypeError):
        repr(s)
    t = cls([(1, 2)])
    t._rowsieve__tuplelen = None
    with pytest.raises(TypeError, match="%d format"):
        repr(t)


def test_field_str_errors_propagate(cls):
    class Loud:
        def __init__(self):
            self.calls = 0

        def __str__(self):
            self.calls += 1
            if self.calls == 2:
                raise ArithmeticError("second str()")
            return "loud"

    loud = Loud()
    r = cls([(loud, 1)])
    with pytest.raises(ArithmeticError) as info:
        repr(r)   # widths call str() once, the row a second time
    names = [fs.name for fs in traceback.extract_tb(info.value.__traceback__)]
    assert names[-3:] == ["varnokpy._rowsieve.rowsieve.__repr__", "genexpr", "__str__"]
    assert loud.calls == 2
    quiet = Loud()
    quiet.calls = 5
    assert repr(cls([(quiet, 1)])) == "<varnok.rowsieve (1 tuples, 2 values each):\n ( loud , 1 )\n>"
    assert quiet.calls == 7


def reference_table(rows, tuplelen):
    pieces = ["<varnok.rowsieve (%d tuples, %d values each):\n" % (len(rows), tuplelen)]
    fieldlen = [max(len(str(x)) + 1 for x in column) for column in zip(*rows)]
    fieldfmt = ["%%-%is" % w for w in fieldlen]
    for k in rows:
        pieces += [" ( ", ", ".join(fieldfmt[i] % str(x) for i, x in enumerate(k)), ")\n"]
    pieces.append(">")
    return "".join(pieces)


field = st.one_of(st.integers(), st.text(max_size=6), st.floats(allow_nan=False), st.booleans(), st.none())


@settings(max_examples=150, deadline=None)
@given(st.integers(0, 4).flatmap(lambda m: st.lists(st.tuples(*[field] * m), min_size=1, max_size=8)))
def test_table_matches_the_reference(rows):
    expected = reference_table(rows, len(rows[0]))
    assert repr(rowsieve(rows)) == expected
    assert repr(Plain(rows)) == expected
