"""A small typed model that touches every public name of the native modules.

tests/test_typing.py type-checks this file with mypy against the stubs in
src/varnokpy/ and also runs it, so the declared types have to agree with what
the modules return.  assert_type() fails the type check when a stub's return
type drifts; the runtime asserts fail the run when a stub promises a type the
module does not deliver.
"""

from __future__ import annotations

import warnings
from typing import Any, Generator, assert_type

from varnokpy import warpmath
from varnokpy._core import LinExpr, NLExpr, Var
from varnokpy._draftrel import DraftRel
from varnokpy._exception import VarnokError
from varnokpy._keyshelf import _sum_terms, keyshelf
from varnokpy._matrixapi import MNLExpr, MVar
from varnokpy._rowsieve import rowsieve
from varnokpy._vrk import VRK


def use_rowsieve() -> None:
    arcs = rowsieve([(1, 2), (1, 3), (2, 3)])
    named = rowsieve(data=[("a", 1), ("b", 2)], wild=None)
    assert_type(named.select(None, 2), rowsieve)

    into3: rowsieve = arcs.select("*", 3)
    either: rowsieve = arcs.select([1, 2], "*")
    assert isinstance(into3, rowsieve) and isinstance(either, rowsieve)
    assert (1, 3) in arcs and isinstance(arcs.__contains__((9, 9)), bool)

    first: Any = arcs.next((1, 2))
    arcs.prev(first)
    arcs.nextc((2, 3))
    arcs.prevc((1, 2))
    table: str = repr(arcs)
    assert table.startswith("<varnok.rowsieve")

    arcs.append((3, 4))
    arcs.extend(t for t in [(4, 5), (5, 6)])
    arcs.insert(0, (0, 1))
    last: Any = arcs.pop()
    arcs.pop(i=0)
    arcs.remove(last if last != (5, 6) else (4, 5))
    del arcs[0]
    del arcs[0:1]
    arcs.__delslice__(0, 1)

    joined = arcs + [(7, 8)]
    assert_type(joined, rowsieve)
    arcs += [(8, 9)]
    assert_type(arcs, rowsieve)
    head = arcs.__getslice__(0, 1)
    assert_type(head, rowsieve)
    assert isinstance(joined, rowsieve) and isinstance(head, rowsieve)

    arcs.sort()
    arcs.clean()


def use_keyshelf() -> None:
    x = {(i, j): Var("x%d%d" % (i, j)) for i in range(2) for j in range(3)}
    flow = keyshelf(x)
    costs = {(0, 1): 2.0, (1, 1): 3.0}

    total: LinExpr = flow.sum("*", 1)
    weighted: LinExpr = flow.prod(costs, "*", 1)
    flow.prod(d=costs)
    flow.prod([1.0, 2.0])
    assert isinstance(total, LinExpr) and isinstance(weighted, LinExpr)
    assert isinstance(_sum_terms(flow.select(0, "*")), LinExpr)

    row: list[Any] = flow.select(0, "*")
    part: keyshelf = flow.subset([0, 1], 2)
    assert isinstance(row, list) and isinstance(part, keyshelf)
    assert len(flow._keys_internal()) == 6
    pairs: Generator[tuple[Any, Any], None, None] = flow._iteritems_internal(1)
    assert len(list(pairs)) == 3

    flow.wild = "+"
    flow.setord(sorted(flow))
    flow.clean()
    names = [k for k in flow]
    assert len(names) == len(flow.keys()) == len(flow.values()) == len(flow.items())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert len(list(flow.iterkeys())) == len(list(flow.itervalues())) == 6
        assert len(list(flow.iteritems(0))) == 3

    flow[(2, 0)] = Var("x20")
    del flow[(2, 0)]
    flow.update({(2, 1): Var("x21")})
    popped: Any = flow.pop((2, 1))
    flow.pop((9, 9), None)
    key, value = flow.popitem()
    assert popped is not None and key is not None and value is not None
    flow.clear()
    assert not flow
    assert isinstance(keyshelf._legacy_keyshelf_behavior, bool)


def use_warpmath() -> None:
    x = Var("x")
    functions = [warpmath.sqrt, warpmath.sin, warpmath.cos, warpmath.tan, warpmath.exp,
                 warpmath.log, warpmath.log2, warpmath.log10, warpmath.logistic,
                 warpmath.square]
    for f in functions:
        assert isinstance(f(x), NLExpr)
    assert_type(warpmath.sqrt(expr=2.0), NLExpr | MNLExpr)

    grid = MVar.fromshape((2, 2), "y")
    waves = warpmath.sin(warpmath.sqrt(grid))
    assert isinstance(waves, MNLExpr)
    direct = warpmath._apply_warpmath(x, warp_math=lambda tree: tree)
    assert isinstance(direct, NLExpr)


def use_draftrel() -> None:
    x, y = Var("x"), Var("y")
    cap = DraftRel(x + y, VRK.LESS_EQUAL, 10)
    floor = DraftRel(lhs=x, sense=VRK.GREATER_EQUAL, rhs=1)
    pair = cap >> floor
    assert_type(pair, DraftRel)
    assert repr(pair).startswith("<varnok.DraftRel: ")
    refuse_truth_test(cap)
    refuse_second_comparison(cap)


def refuse_truth_test(c: DraftRel) -> None:
    try:
        c.__bool__()
    except VarnokError:
        return
    raise AssertionError("a constraint has no truth value")


def refuse_second_comparison(c: DraftRel) -> None:
    for compare in (c.__le__, c.__ge__):
        try:
            compare(5)
        except VarnokError:
            continue
        raise AssertionError("a constraint cannot be compared again")


def main() -> None:
    use_rowsieve()
    use_keyshelf()
    use_warpmath()
    use_draftrel()


if __name__ == "__main__":
    main()
