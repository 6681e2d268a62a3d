"""keyshelf on a whole model: the sums of a multi-commodity network flow.

Data: nodes with 10 successor arcs each, drawn by `random.Random(7)`
(duplicates dropped), and 10 commodities; the keys are (k, i, j), one per
commodity and arc, each with the value 1.0, and a cost per key. With 3000
nodes that is about 3e5 keys; a second size, 10000 nodes, has about 1e6.

The model, built with keyshelf (`LinExpr` rebound to `complex` in the
module, so that its sums add with the same C-level number addition as the
hand-written ones, and the figures show the module's own cost):

    flow = keyshelf(data)
    flow.sum(k, n, '*') - flow.sum(k, '*', n)   for every commodity k and node n
    flow.sum('*', i, j)                         for every arc (i, j)
    flow.prod(cost)

and the same numbers by hand in pure Python: a plain dict, three
`defaultdict(list)` groupings of the keys built in the same run, and
`sum(..., complex())` over the groups. Both lists of sums must be equal. Each
run is timed whole (construction, the indexes or groupings, every sum) on the
process's CPU time, the two models alternately, with the cyclic collector in
its default state, as a modeller runs it. A second figure times the weighted
sum alone, `flow.prod(cost)` over every key once the key list exists, against
`sum((cost[key] * v for key, v in flow.items()), complex())` on the plain
dict. The memory of the built structures (the keyshelf with its key list and
three indexes; the dict with its three groupings) is measured by tracemalloc
in a separate, untimed run. Every figure is measured with the stand-in
siblings and with the compiled ones (see harness.py).

    PYTHONPATH=src python3 bench/bench_model.py
"""
import collections
import gc
import random
import statistics
import sys
import timeit
import tracemalloc

import harness
from harness import CLOCK, complex_sums, figure, paired_medians

harness.load_siblings()
from varnokpy._keyshelf import keyshelf  # noqa: E402

COMMODITIES = 10
ARCS_PER_NODE = 10
NODES = 3000           # about 3e5 keys: the figure with a target
PLOT_NODES = 10000     # about 1e6 keys: the second size of the plot
TARGET = 0.65
PROD_TARGET = 1.0
REPEATS = 5


def network(nodes):
    """The arcs (i, j), each node's successors in the order drawn."""
    rng = random.Random(7)
    arcs = []
    for i in range(nodes):
        successors = dict.fromkeys(rng.randrange(nodes) for _ in range(ARCS_PER_NODE))
        arcs.extend((i, j) for j in successors)
    return arcs


def instance(nodes):
    arcs = network(nodes)
    keys = [(k, i, j) for k in range(COMMODITIES) for i, j in arcs]
    data = dict.fromkeys(keys, 1.0)
    cost = {key: float((3 * key[0] + 7 * key[1] + 11 * key[2]) % 13) for key in keys}
    return nodes, arcs, data, cost


def keyshelf_model(nodes, arcs, data, cost):
    flow = keyshelf(data)
    sums = []
    for k in range(COMMODITIES):
        for n in range(nodes):
            sums.append(flow.sum(k, n, "*") - flow.sum(k, "*", n))
    for i, j in arcs:
        sums.append(flow.sum("*", i, j))
    sums.append(flow.prod(cost))
    return sums, flow


def python_model(nodes, arcs, data, cost):
    flow = dict(data)
    leaving, entering, carried = (collections.defaultdict(list) for _ in range(3))
    for key in flow:
        k, i, j = key
        leaving[k, i].append(key)
        entering[k, j].append(key)
        carried[i, j].append(key)
    sums = []
    for k in range(COMMODITIES):
        for n in range(nodes):
            sums.append(sum((flow[key] for key in leaving[k, n]), complex())
                        - sum((flow[key] for key in entering[k, n]), complex()))
    for i, j in arcs:
        sums.append(sum((flow[key] for key in carried[i, j]), complex()))
    sums.append(weighted_sum(flow, cost))
    return sums, (flow, leaving, entering, carried)


def weighted_sum(flow, cost):
    return sum((cost[key] * v for key, v in flow.items()), complex())


def timed(model, inst):
    start = CLOCK()
    result = model(*inst)
    spent = CLOCK() - start
    return spent, result  # the result is freed after the clock stopped


def measure(nodes, repeats=REPEATS):
    """Median seconds of both models over alternating runs, the number of
    keys, and the sums of the last runs (checked equal)."""
    inst = instance(nodes)
    ours, theirs = [], []
    with complex_sums():
        for _ in range(repeats):
            t, (ours_sums, _) = timed(keyshelf_model, inst)
            ours.append(t)
            t, (their_sums, _) = timed(python_model, inst)
            theirs.append(t)
            assert ours_sums == their_sums, "keyshelf and the pure-Python model disagree"
    return statistics.median(ours), statistics.median(theirs), len(inst[2])


def warm_prod(nodes):
    """Median seconds of `flow.prod(cost)` over every key, the key list of
    `flow` built beforehand, and of the hand-written weighted sum over a
    plain dict, timed alternately."""
    _, _, data, cost = instance(nodes)
    flow, plain = keyshelf(data), dict(data)
    with complex_sums():
        assert flow.prod(cost) == weighted_sum(plain, cost)  # also builds the key list
        return paired_medians(timeit.Timer(lambda: flow.prod(cost), timer=CLOCK),
                              timeit.Timer(lambda: weighted_sum(plain, cost), timer=CLOCK))


def index_share(nodes):
    """Seconds the model's first queries spend in building the key list and
    the three rowsieve indexes (the rest is construction and warm sums)."""
    _, _, data, _ = instance(nodes)
    flow = keyshelf(data)
    gc.collect()
    start = CLOCK()
    keylist = flow._keys_internal()
    keys_done = CLOCK()
    keylist.select(0, 0, "*")
    keylist.select(0, "*", 0)
    keylist.select("*", 0, 0)
    return keys_done - start, CLOCK() - keys_done


def memory_per_key(nodes):
    """Bytes per key held by the built keyshelf (with its key list, position
    map and three indexes) and by the dict with its three groupings."""
    inst = instance(nodes)
    nkeys = len(inst[2])
    held = []
    with complex_sums():
        for model in (keyshelf_model, python_model):
            gc.collect()
            tracemalloc.start()
            built = model(*inst)[1]  # the sums themselves are not counted
            gc.collect()
            held.append(tracemalloc.get_traced_memory()[0] / nkeys)
            tracemalloc.stop()
            del built
    return held


def measure_figures():
    ours, theirs, nkeys = measure(NODES)
    figure("model sums, keyshelf (%d keys)" % nkeys, ours, theirs, TARGET,
           "hand-written model over defaultdict groupings")
    prod, weighted = warm_prod(NODES)
    figure("warm flow.prod(cost), every key, key list built", prod, weighted, PROD_TARGET,
           "sum((cost[key] * v for key, v in flow.items()), complex())")
    keys_build, indexes = index_share(NODES)
    ours_memory, their_memory = memory_per_key(NODES)
    print("model: %d nodes, %d commodities, %d keys (k, i, j); hand-written model = %.0f ms"
          % (NODES, COMMODITIES, nkeys, theirs * 1e3))
    print("of the keyshelf model: key list %.0f ms, three rowsieve indexes %.0f ms"
          % (keys_build * 1e3, indexes * 1e3))
    print("memory per key: keyshelf with key list and indexes %.0f B, dict with groupings %.0f B (%.2fx)"
          % (ours_memory, their_memory, ours_memory / their_memory))


if __name__ == "__main__":
    sys.exit(harness.run("bench_model.py: the network-flow model, keyshelf against the hand-written one",
                         measure_figures))
