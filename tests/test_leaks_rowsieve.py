"""No reference leaks in rowsieve: every operation on its success path and
on each of its error paths (argument binding, the documented exceptions,
failures raised by the objects it calls back), on the exact class and on a
subclass (general path); a sentinel passed through each call keeps its
reference count."""
import operator
import sys

import pytest

from conftest import Plain
from leakcheck import BadHash, BadStr, Unhashable, assert_no_leak, assert_sentinel_counts, boom, failing, numbered
from varnokpy._rowsieve import rowsieve

# ---- every operation, on success and on each failure ------------------------

PAIRS = [(i % 5, i % 3) for i in range(30)]
T = rowsieve(PAIRS)
S = rowsieve([1, 2, 2, 3, "a"])
NAV = rowsieve(list(range(10)))
TUPLES = [(i, i % 7) for i in range(50)]


def inconsistent(extra):
    r = rowsieve([(1, 2)])
    list.append(r, extra)
    return r


@numbered([
    # construction, additions and clean
    lambda: rowsieve(TUPLES), lambda: rowsieve(iter(TUPLES), wild=None), lambda: rowsieve("abc").append("d"),
    lambda: rowsieve(TUPLES).extend(TUPLES), lambda: rowsieve(TUPLES).clean(),
    failing(ValueError, rowsieve, [(1, 2), 3]), failing(ValueError, rowsieve, [(1, 2), (1, 2, 3)]),
    failing(TypeError, rowsieve, 5),
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
def test_no_leak(fn):
    assert_no_leak(fn)


# ---- the exact class and a subclass (general path), deep failures -------------

ROWS = [(i % 10, i % 7) for i in range(60)]


def selections(cls):
    def run():
        r = cls(ROWS)
        r.select(3, "*")
        r.select("*", [1, 2])
        r.select([1, 2], [3, 9])
        r.select(3, 4)
        r.select(99)
        r.select()
        r.select(iter([1]), "*")
        cls([1, 2, 2]).select([2, 5])
        cls().select(1, 2)
    return run


def errors(cls):
    def run():
        r = cls(ROWS)
        for call, exc in [(lambda: r.select(1, 2, 3), IndexError), (lambda: r.select([1], {}), TypeError),
                          (lambda: r.select((x for x in [1, 1 / 0 if False else None]), [[]]), TypeError),
                          (lambda: [1] in r, TypeError), (lambda: r.next((99, 99)), KeyError),
                          (lambda: cls("aba").nextc("a"), KeyError), (lambda: r.pop(999), IndexError),
                          (lambda: r.remove(5), ValueError), (lambda: r.insert(0, 5), ValueError),
                          (lambda: r + [5], ValueError)]:
            try:
                call()
            except exc:
                pass
    return run


def others(cls):
    def run():
        r = cls(ROWS)
        (3, 3) in r
        r.next(ROWS[0]), r.prev(ROWS[1])
        repr(r), repr(cls("ab")), repr(cls())
        r.insert(1, (5, 5)); r.pop(); r.remove((5, 5)); del r[0]; r.__delslice__(0, 2)
        r + ROWS[:3]; r.__getslice__(0, 5)
        r += ROWS[:2]
        r._rowsieve__makeindex(len)
    return run


@pytest.mark.parametrize("cls", [rowsieve, Plain], ids=["exact", "subclass"])
@pytest.mark.parametrize("make", [selections, errors, others])
def test_exact_and_subclass_no_leak(cls, make):
    assert_no_leak(make(cls))


class Pair:
    """Equal to (5, 6) as a key, and not iterable."""

    def __hash__(self):
        return hash((5, 6))

    def __eq__(self, other):
        return other == (5, 6)


def mixed_concatenation():
    r = rowsieve([1, 2])
    list.append(r, (5, 6))
    r.select([1, Pair()])


loop = []
loop.append(loop)


@pytest.mark.parametrize("fn", [
    failing(ValueError, mixed_concatenation),
    failing(RecursionError, lambda: rowsieve([1]).select(loop)),
], ids=["mode error in a concatenation", "recursion"])
def test_no_leak_on_deep_failures(fn):
    assert_no_leak(fn, calls=5)


# ---- pinpoint reference counts ------------------------------------------------

def test_sentinel_member_refcounts():
    sentinel = (object(), 1)
    value = sentinel[0]
    before = sys.getrefcount(sentinel), sys.getrefcount(value)
    for _ in range(30):
        r = rowsieve([sentinel, (2, 2)])
        r.select(value, "*"), r.select("*", 1), r.select([value, 2], "*")
        sentinel in r
        r.next(sentinel), r.nextc(sentinel), r.prevc(sentinel)
        repr(r)
        r.remove(sentinel)
        r.append(sentinel)
        r.insert(0, sentinel)
        r.pop(0)
        for bad in (lambda: r.append(value), lambda: r.select(value, 1, 2)):
            try:
                bad()
            except (ValueError, IndexError):
                pass
        del r
    assert (sys.getrefcount(sentinel), sys.getrefcount(value)) == before


def test_sentinel_refcounts_on_error_paths():
    sentinel = object()
    before = sys.getrefcount(sentinel)
    r = rowsieve([(1, 2)])
    for _ in range(20):
        for call in (lambda: r.append(sentinel), lambda: r.extend([(1, 2), sentinel]),
                     lambda: rowsieve([sentinel, (1, 2)], wild=sentinel),
                     lambda: r.prev(sentinel, v=sentinel)):
            try:
                call()
            except (ValueError, TypeError) as e:
                del e
    assert sys.getrefcount(sentinel) == before


SENTINEL_CALLS = [
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
]


def test_sentinel_argument_refcounts():
    assert_sentinel_counts(SENTINEL_CALLS, "rowsieve")
