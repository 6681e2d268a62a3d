"""Example model: a two-commodity network flow with congestion costs.

Two goods travel over the arcs of a network from the towns that produce them
to the towns that use them. Every arc has a capacity shared by both goods, a
unit cost per good, and a congestion cost that grows with the square of its
load. Each good has a shipping budget.

The script builds this model with varnokpy's native core, first on a small
network that it prints in full, then on a generated network of 20,000 arcs
(or the size given), and reports how long building its constraints took.
While the large model builds, a progress bar per stage runs on stderr when it
is a terminal (through tqdm, if installed).

It builds model objects only. Nothing is solved: no solver is called and no
flows, costs or optimal values are computed.

    python examples/demo.py [arcs]      # size of the large network, default 20000
"""
from __future__ import annotations

import random
import sys
import time
from typing import Any, Callable, Collection, Iterable, TypeVar

from varnokpy import keyshelf, rowsieve, warpmath
from varnokpy._core import LinExpr, Var
from varnokpy._draftrel import DraftRel
from varnokpy._exception import VarnokError
from varnokpy._matrixapi import MVar
from varnokpy._vrk import VRK

GOODS = ("grain", "timber")

# arcs, capacity, cost, net supply, budget: the arguments of build_model.
Network = tuple[rowsieve, keyshelf, keyshelf, keyshelf, dict[str, float]]
T = TypeVar("T")


def progress(items: Collection[T], label: str, unit: str, show: bool) -> Iterable[T]:
    """`items`, under a progress bar on stderr if `show` is set, stderr is a
    terminal and tqdm is installed; otherwise `items` unchanged."""
    if not show:
        return items
    try:
        from tqdm import tqdm
    except ImportError:
        return items
    # disable=None: no bar, and nothing written, when stderr is not a terminal.
    return tqdm(items, desc="  %-16s" % label, total=len(items), file=sys.stderr,
                disable=None, leave=True, unit=" " + unit, dynamic_ncols=True)


def build_model(arcs: rowsieve, capacity: keyshelf, cost: keyshelf, net_supply: keyshelf,
                budget: dict[str, float], with_extras: bool = False,
                show_progress: bool = False) -> dict[str, Any]:
    """Variables and constraints of the flow model.

    arcs: rowsieve of (origin, destination); capacity: keyshelf by arc;
    cost: keyshelf by (good, origin, destination); net_supply: keyshelf by
    (good, town), positive where the good is produced, negative where it is
    used; budget: dict by good. show_progress: a progress bar per stage.
    """
    def stage(items: Collection[T], label: str, unit: str = "rows") -> Iterable[T]:
        return progress(items, label, unit, show_progress)

    flow = keyshelf({(k, i, j): Var("flow[%s,%s,%s]" % (k, i, j)) for k in GOODS for i, j in arcs})
    congestion = keyshelf({(i, j): Var("cong[%s,%s]" % (i, j)) for i, j in arcs})
    towns = sorted({i for i, _ in arcs} | {j for _, j in arcs})
    model: dict[str, Any] = {"flow": flow, "congestion": congestion, "towns": towns}

    start = time.perf_counter()
    # Load of an arc: both goods together.
    load = {(i, j): flow.sum("*", i, j) for i, j in stage(arcs, "arc loads", "loads")}
    model["capacity"] = [load[a] <= capacity[a] for a in stage(load, "capacity")]
    # What arrives at a town plus what it produces is what leaves it.
    model["balance"] = [flow.sum(k, "*", n) + net_supply.get((k, n), 0) == flow.sum(k, n, "*")
                        for k, n in stage([(k, n) for k in GOODS for n in towns], "balance")]
    model["budget"] = [flow.prod(cost, k, "*", "*") <= budget[k] for k in stage(GOODS, "budget")]
    # Congestion cost of an arc is at least the square of its load, relative
    # to its capacity.
    model["congestion_rows"] = [congestion[a] >= warpmath.square(load[a] * (1.0 / capacity[a]))
                                for a in stage(load, "congestion")]
    # Unit costs of the flows, then the congestion terms.
    parts: list[Callable[[], LinExpr]] = [lambda: flow.prod(cost), congestion.sum]
    objective = LinExpr()
    for part in stage(parts, "objective", "parts"):
        objective += part()
    model["objective"] = objective
    if with_extras:
        # An arc that is closed carries nothing: indicator pairs built with >>.
        is_open = keyshelf({a: Var("open[%s,%s]" % a) for a in load})
        model["indicators"] = [(is_open[a] == 0) >> (load[a] <= 0) for a in load]
        # Service level of each town, a matrix variable, with a concave
        # satisfaction curve applied element by element.
        service = MVar.fromshape(len(towns), "service")
        model["service"] = [warpmath.log(1 + service) >= 0.1]
    model["seconds"] = time.perf_counter() - start
    return model


def constraint_rows(model: dict[str, Any]) -> list[tuple[str, list[DraftRel]]]:
    return [(name, model[name]) for name in ("capacity", "balance", "budget", "congestion_rows", "indicators",
                                             "service") if name in model]


def summarise(model: dict[str, Any]) -> None:
    rows = constraint_rows(model)
    senses = {VRK.LESS_EQUAL: 0, VRK.GREATER_EQUAL: 0, VRK.EQUAL: 0, "I": 0}
    for _, group in rows:
        for rel in group:
            assert isinstance(rel, DraftRel)
            senses[rel._sense] += 1
    print("  variables:   %d flows, %d congestion terms" % (len(model["flow"]), len(model["congestion"])))
    print("  constraints: %d in all" % sum(len(group) for _, group in rows))
    for name, group in rows:
        print("    %-16s %7d" % (name, len(group)))
    print("  senses:      %d <=, %d >=, %d ==, %d implications" % (
        senses[VRK.LESS_EQUAL], senses[VRK.GREATER_EQUAL], senses[VRK.EQUAL], senses["I"]))
    print("  objective:   linear, %d terms (congestion enters through its epigraph rows)"
          % len(model["objective"].terms()))


def small_network() -> Network:
    arcs = rowsieve([("Ashford", "Bexley"), ("Ashford", "Carrow"), ("Bexley", "Carrow"),
                     ("Bexley", "Dunmere"), ("Carrow", "Dunmere"), ("Carrow", "Elstow"),
                     ("Dunmere", "Elstow")])
    capacity = keyshelf({a: c for a, c in zip(arcs, (80, 60, 40, 50, 70, 30, 60))})
    cost = keyshelf({(k, i, j): round(1.0 + 0.5 * n + (0.25 if k == "timber" else 0.0), 2)
                     for n, (i, j) in enumerate(arcs) for k in GOODS})
    net_supply = keyshelf({("grain", "Ashford"): 50, ("grain", "Elstow"): -50,
                           ("timber", "Bexley"): 30, ("timber", "Dunmere"): -30})
    return arcs, capacity, cost, net_supply, {"grain": 400.0, "timber": 250.0}


def large_network(n_arcs: int, seed: int = 20240607) -> Network:
    """A random network with about 25 arcs leaving each town."""
    rng = random.Random(seed)
    n_towns = max(10, n_arcs // 25)
    seen: set[tuple[int, int]] = set()
    pairs: list[tuple[int, int]] = []
    while len(pairs) < n_arcs:
        i, j = rng.randrange(n_towns), rng.randrange(n_towns)
        if i != j and (i, j) not in seen:
            seen.add((i, j))
            pairs.append((i, j))
    arcs = rowsieve(pairs)
    capacity = keyshelf({a: rng.randint(20, 200) for a in arcs})
    cost = keyshelf({(k, i, j): round(rng.uniform(1, 10), 2) for k in GOODS for i, j in arcs})
    net_supply = keyshelf()
    for k in GOODS:
        towns = rng.sample(range(n_towns), 20)
        for t in towns[:10]:
            net_supply[k, t] = 100
        for t in towns[10:]:
            net_supply[k, t] = -100
    return arcs, capacity, cost, net_supply, {k: 1e6 for k in GOODS}


def main(argv: list[str]) -> None:
    n_large = int(argv[1]) if len(argv) > 1 else 20_000
    print("varnokpy example: two-commodity network flow with congestion costs")
    print("This builds model objects only; nothing is solved.\n")

    arcs, capacity, cost, net_supply, budget = small_network()
    print("Arcs of the small network:")
    print(arcs)
    print()
    model = build_model(arcs, capacity, cost, net_supply, budget, with_extras=True)
    print("Some of its constraints:")
    for name, group in constraint_rows(model):
        print("  %-16s %s" % (name, str(group[0]).replace("\n", "\n" + " " * 19)))
        if name == "indicators":
            print(" " * 19 + "(a >> pair: if the left constraint holds, the right one must; its printed")
            print(" " * 19 + " form joins the two sides with ==)")
    print("  %-16s %s" % ("objective", model["objective"]))
    print()
    print("Built:")
    summarise(model)
    try:
        0 <= model["flow"]["grain", "Ashford", "Bexley"] <= 10
    except VarnokError as error:
        print("\nA chained bound is refused, not silently halved: %s" % error)

    print("\nLarge network: %d arcs, generated" % n_large)
    start = time.perf_counter()
    data = large_network(n_large)
    print("  data generated in %.2f s" % (time.perf_counter() - start))
    start = time.perf_counter()
    model = build_model(*data, show_progress=True)
    total = time.perf_counter() - start
    print("  model built in %.2f s; its constraints and objective took %.2f s of that" % (total, model["seconds"]))
    summarise(model)
    print("\nNo model was solved: varnokpy's native core only builds the objects shown above.")


if __name__ == "__main__":
    main(sys.argv)
