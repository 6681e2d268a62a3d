"""A small typed model, then every public name of the native modules.

tests/test_typing.py type-checks this file with mypy --strict against the
stubs and the annotated Python modules in src/varnokpy/, and also runs it, so
the declared types have to agree with what the modules return.  assert_type()
fails the type check when a declared type drifts; the runtime asserts fail the
run when a declaration promises a type the modules do not deliver.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any, Generator, assert_type

from varnokpy import warpmath
from varnokpy._core import LinExpr, NLExpr, QuadExpr, Var
from varnokpy._draftrel import DraftRel
from varnokpy._exception import VarnokError
from varnokpy._keyshelf import _sum_terms, keyshelf
from varnokpy._matrixapi import MLinExpr, MNLExpr, MQuadExpr, MVar
from varnokpy._rowsieve import rowsieve
from varnokpy._vrk import VRK

# ---------------------------------------------------------------- the model

Arc = tuple[str, str]

ARCS: list[Arc] = [("mill", "yard"), ("mill", "depot"), ("yard", "depot"),
                   ("yard", "shop"), ("depot", "shop"), ("depot", "market")]
CAPACITY: dict[Arc, float] = {arc: 40.0 + 10.0 * n for n, arc in enumerate(ARCS)}
UNIT_COST: dict[Arc, float] = {arc: 1.0 + 0.5 * n for n, arc in enumerate(ARCS)}
SUPPLY: dict[str, float] = {"mill": 50.0, "shop": -20.0, "market": -30.0}
SINKS = ["shop", "market"]


@dataclass
class FlowModel:
    flow: dict[Arc, Var]
    balance: list[DraftRel]
    capacity: list[DraftRel]
    congestion: list[DraftRel]
    closed_arcs: list[DraftRel]
    service: list[DraftRel]
    objective: QuadExpr


def build_flow_model() -> FlowModel:
    """A single-good network flow: balance rows per town, capacity rows,
    congestion above the square of each arc's relative load, arcs that carry
    nothing when closed, a service level per sink with a concave value, and a
    weighted objective with a quadratic penalty on the yard's throughput."""
    flow = {arc: Var("flow[%s,%s]" % arc) for arc in ARCS}
    shelf = keyshelf(flow)
    towns = sorted({town for arc in ARCS for town in arc})

    # What leaves a town minus what arrives is what it supplies.
    out_minus_in = [shelf.sum(t, "*") - shelf.sum("*", t) for t in towns]
    assert_type(out_minus_in, list[LinExpr])
    balance = [e == SUPPLY.get(t, 0.0) for e, t in zip(out_minus_in, towns)]
    capacity = [flow[arc] <= CAPACITY[arc] for arc in ARCS]

    delay = {arc: Var("delay[%s,%s]" % arc) for arc in ARCS}
    load = {arc: flow[arc] * (1.0 / CAPACITY[arc]) for arc in ARCS}
    assert_type(load, dict[Arc, LinExpr])
    squared = {arc: warpmath.square(load[arc]) for arc in ARCS}
    assert_type(squared, dict[Arc, NLExpr])
    congestion = [delay[arc] >= squared[arc] for arc in ARCS]

    is_open = {arc: Var("open[%s,%s]" % arc) for arc in ARCS}
    closed_arcs = [(is_open[arc] == 0) >> (flow[arc] <= 0) for arc in ARCS]
    assert_type(closed_arcs, list[DraftRel])

    level = MVar.fromshape(len(SINKS), "service")
    headroom = 1 - level
    assert_type(headroom, MLinExpr)
    value = warpmath.log(1 + 2 * level)
    assert_type(value, MNLExpr)
    inbound = [shelf.sum("*", sink) for sink in SINKS]
    # A sink's service level grows with what reaches it (element by element).
    served = level - MLinExpr(inbound) * (1.0 / 50.0)
    assert_type(served, MLinExpr)
    service = [value >= 0.1, headroom >= 0, served <= 0]

    through_yard = shelf.sum("yard", "*")
    objective = (shelf.prod(UNIT_COST) + 10.0 * keyshelf(delay).sum()
                 + 0.5 * through_yard * through_yard)
    assert_type(objective, QuadExpr)
    return FlowModel(flow, balance, capacity, congestion, closed_arcs, service, objective)


def check_flow_model() -> None:
    model = build_flow_model()
    rows = model.balance + model.capacity + model.congestion + model.closed_arcs + model.service
    assert all(isinstance(row, DraftRel) for row in rows)
    assert [row._sense for row in model.balance] == [VRK.EQUAL] * 5
    mill = model.balance[2]._lhs
    assert isinstance(mill, LinExpr) and str(mill) == "flow[mill,yard] + flow[mill,depot]"
    assert all(isinstance(row._rhs, NLExpr) for row in model.congestion)
    pair = model.closed_arcs[0]
    assert (pair._sense, type(pair._lhs), type(pair._rhs)) == ("I", DraftRel, DraftRel)
    value, headroom, served = model.service
    assert isinstance(value._lhs, MNLExpr) and value._lhs.shape == (2,)
    # Matrix sides are moved to the left: `lhs - rhs` against zero.
    assert isinstance(headroom._lhs, MLinExpr) and headroom._rhs == 0.0
    assert isinstance(served._lhs, MLinExpr)
    assert isinstance(model.objective, QuadExpr)
    assert [str(v) for v, _ in model.objective.linear.terms()][:2] == ["flow[mill,yard]",
                                                                      "flow[mill,depot]"]
    assert len(model.objective.terms()) == 3  # the yard's two out-arcs, squared


# ---------------------------------------------------------------- every public name

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
    grid = MVar.fromshape((2, 2), "y")
    for f in functions:
        assert isinstance(f(x), NLExpr) and isinstance(f(grid), MNLExpr)
    assert_type(warpmath.sqrt(expr=2.0), NLExpr)
    assert_type(warpmath.exp(x * x + 1), NLExpr)

    waves = warpmath.sin(warpmath.sqrt(grid))
    assert_type(waves, MNLExpr)
    quad = grid + x * x
    assert_type(quad, MQuadExpr)
    assert isinstance(warpmath.cos(quad), MNLExpr)
    direct = warpmath._apply_warpmath(x, warp_math=lambda tree: tree)
    assert_type(direct, NLExpr)
    by_element = warpmath._apply_warpmath(arg=grid, warp_math=lambda tree: tree)
    assert_type(by_element, MNLExpr)
    assert isinstance(direct, NLExpr) and isinstance(by_element, MNLExpr)
    either: Var | MVar = grid
    assert_type(warpmath.log(either), NLExpr | MNLExpr)


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
    check_flow_model()
    use_rowsieve()
    use_keyshelf()
    use_warpmath()
    use_draftrel()


if __name__ == "__main__":
    main()
