"""No reference leaks in selection, membership, mutations, navigation and the
printed table, on success and on their error paths, on the exact class and
on a subclass (general path)."""
import sys

import pytest

from leakcheck import assert_no_leak, failing
from varnokpy._rowsieve import rowsieve

ROWS = [(i % 10, i % 7) for i in range(60)]


class Plain(rowsieve):
    pass


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
def test_no_leak(cls, make):
    assert_no_leak(make(cls))


def test_sentinel_refcounts():
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
