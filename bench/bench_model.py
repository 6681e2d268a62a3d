"""keyshelf on a whole model: the sums of a multi-commodity network flow.

Data: nodes with 10 successor arcs each, drawn by `random.Random(7)`
(duplicates dropped), and 10 commodities; the keys are (k, i, j), one per
commodity and arc, each with its own value object (a float, distinct as
variables are), and a cost per key. With 3000 nodes that is about 3e5 keys;
the plot's second size, 10000 nodes, has about 1e6.

The model, built with keyshelf (`LinExpr` rebound to `complex` in the
module, so that its sums add with the same C-level number addition as the
hand-written ones, and the figures show the module's own cost):

    flow = keyshelf(data)
    flow.sum(k, n, '*') - flow.sum(k, '*', n)   for every commodity k and node n
    flow.sum('*', i, j)                         for every arc (i, j)
    flow.prod(cost)

and the same numbers written by hand, two ways:

- the expert's: a plain dict, its values grouped once into three
  `defaultdict(list)` (`leaving[k, i].append(v)`), each sum one `+=` loop
  over its list, the weighted sum one loop over the items;
- key-grouped: the keys grouped likewise, each sum
  `sum((flow[key] for key in group), complex())`, every value found again.

The naive scan (every sum a pass over all keys) is left out: 9e4 passes over
3e5 keys would take hours.

All sums must be equal. Each model is timed whole (construction, the indexes
or groupings, every sum) as a pyperf benchmark (harness.timed_samples: worker
processes, every sample from the same heap state, collector on). So are the
warm sums alone, per call: the 9e4 ten-term sums in the model's order on a
keyshelf whose indexes exist, against the expert's loops over the lists it
grouped. The weighted sum alone, `flow.prod(cost)` over every key once the
key list exists, is timed in this process against
`sum((cost[key] * v for key, v in flow.items()), complex())` on the plain
dict. The memory of the built structures (the keyshelf with its key list and
three indexes; the dict with the expert's value groupings) is measured by
tracemalloc in a separate, untimed run, with the compiled siblings. Every
figure is measured with the stand-in siblings and with the compiled ones
(see harness.py); the sums of the three models are compared at 300 nodes.

    PYTHONPATH=src python3 bench/bench_model.py [--fast | --rigorous | pyperf options]
"""
import collections
import gc
import random
import sys
import timeit
import tracemalloc

import harness
from harness import CLOCK, complex_sums, figure, paired_medians, timed_samples

harness.load_siblings()
from varnokpy._keyshelf import keyshelf  # noqa: E402

COMMODITIES = 10
ARCS_PER_NODE = 10
NODES = 3000           # about 3e5 keys: the figures with a target
PLOT_NODES = 10000     # about 1e6 keys: the plot's largest size
CHECK_NODES = 300      # the size at which the three models' sums are compared
EXPERT_TARGET = 0.9
KEY_GROUPED_TARGET = 0.55
PER_CALL_TARGET = 1.2
PROD_TARGET = 1.0
MEMORY_TODAY = 311     # bytes per key of the keyshelf model before the warm-sum work
MEMORY_GROWTH = 1.10   # the most it may grow by


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
    data = {key: float(n % 1000) for n, key in enumerate(keys)}  # integral: every sum is exact
    cost = {key: float((3 * key[0] + 7 * key[1] + 11 * key[2]) % 13) for key in keys}
    return nodes, arcs, data, cost


# ------------------------------------------------------------------ the models

def keyshelf_model(nodes, arcs, data, cost):
    flow = keyshelf(data)
    sums = warm_keyshelf_sums(nodes, arcs, flow)
    sums.append(flow.prod(cost))
    return sums, flow


def expert_groups(flow):
    """The values grouped by (k, i), (k, j) and (i, j)."""
    leaving, entering, carried = (collections.defaultdict(list) for _ in range(3))
    for (k, i, j), v in flow.items():
        leaving[k, i].append(v)
        entering[k, j].append(v)
        carried[i, j].append(v)
    return leaving, entering, carried


def expert_sums(nodes, arcs, leaving, entering, carried):
    empty = ()
    sums = []
    for k in range(COMMODITIES):
        for n in range(nodes):
            out = complex()
            for v in leaving.get((k, n), empty):
                out += v
            into = complex()
            for v in entering.get((k, n), empty):
                into += v
            sums.append(out - into)
    for arc in arcs:
        s = complex()
        for v in carried[arc]:
            s += v
        sums.append(s)
    return sums


def expert_model(nodes, arcs, data, cost):
    flow = dict(data)
    groups = expert_groups(flow)
    sums = expert_sums(nodes, arcs, *groups)
    s = complex()
    for key, v in flow.items():
        s += cost[key] * v
    sums.append(s)
    return sums, (flow, groups)


def key_grouped_model(nodes, arcs, data, cost):
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


MODELS = {"keyshelf": keyshelf_model, "expert": expert_model, "key-grouped": key_grouped_model}


def weighted_sum(flow, cost):
    return sum((cost[key] * v for key, v in flow.items()), complex())


def warm_keyshelf_sums(nodes, arcs, flow):
    """The model's 9e4 sums in its order (warm on a keyshelf queried before)."""
    sums = []
    for k in range(COMMODITIES):
        for n in range(nodes):
            sums.append(flow.sum(k, n, "*") - flow.sum(k, "*", n))
    for i, j in arcs:
        sums.append(flow.sum("*", i, j))
    return sums


def calls(nodes, arcs):
    """The number of sums the model makes (prod aside)."""
    return 2 * COMMODITIES * nodes + len(arcs)


# ------------------------------------------------------------------ measurements

def check(nodes):
    """The three models agree; returns the number of keys."""
    inst = instance(nodes)
    with complex_sums():
        sums = {name: model(*inst)[0] for name, model in MODELS.items()}
    assert sums["keyshelf"] == sums["expert"], "keyshelf and the expert's model disagree"
    assert sums["keyshelf"] == sums["key-grouped"], "keyshelf and the key-grouped model disagree"
    return len(inst[2])


def run_model(model):
    def run(inst):
        with complex_sums():
            return model(*inst)
    return run


def models_in_process(nodes, repeats=3):
    """Median seconds of each model, sampled in this process (for the plot),
    and the number of keys."""
    inst = instance(nodes)
    times = {name: harness.median_samples(inst, run_model(model), repeats=repeats)
             for name, model in MODELS.items()}
    return times, len(inst[2])


def warm_keyshelf(nodes):
    """The data of the per-call figure: the keyshelf, queried once, so that
    its key list and three indexes exist."""
    _, arcs, data, _ = instance(nodes)
    flow = keyshelf(data)
    with complex_sums():
        warm_keyshelf_sums(nodes, arcs, flow)
    return nodes, arcs, flow


def warm_expert(nodes):
    """The data of the per-call figure: the expert's value groupings."""
    _, arcs, data, _ = instance(nodes)
    return (nodes, arcs) + expert_groups(dict(data))


def warm_prod(nodes):
    """Median seconds of `flow.prod(cost)` over every key, the key list of
    `flow` built beforehand, and of the hand-written weighted sum over a
    plain dict, timed alternately."""
    _, _, data, cost = instance(nodes)
    flow, plain = keyshelf(data), dict(data)
    with complex_sums():
        assert flow.prod(cost) == weighted_sum(plain, cost)  # also builds the key list
        return paired_medians(timeit.Timer(lambda: flow.prod(cost), timer=CLOCK),
                              timeit.Timer(lambda: weighted_sum(plain, cost), timer=CLOCK), repeats=7)


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
    """Bytes per key held by the built structures of the keyshelf model (the
    keyshelf with its key list, position map and three indexes, after every
    sum) and of the expert's (the dict with its value groupings; the key
    groupings hold as many list entries). The siblings hold none of it:
    measured in the compiled setting only. (pyperf's --tracemalloc reports
    the peak of a run, not what it keeps.)"""
    inst = instance(nodes)
    nkeys = len(inst[2])
    held = {}
    with complex_sums():
        for name in ("keyshelf", "expert"):
            gc.collect()
            tracemalloc.start()
            built = MODELS[name](*inst)[1]  # the sums themselves are not counted
            gc.collect()
            held[name] = tracemalloc.get_traced_memory()[0] / nkeys
            tracemalloc.stop()
            del built
    return held


def measure_figures():
    t = {name: timed_samples("network model, %s" % name, lambda: instance(NODES), run_model(model))
         for name, model in MODELS.items()}

    def warm(sums):
        def run(state):
            with complex_sums():
                return sums(*state)
        return run

    warm_ours = timed_samples("network model, warm sums, keyshelf", lambda: warm_keyshelf(NODES),
                              warm(warm_keyshelf_sums))
    warm_theirs = timed_samples("network model, warm sums, expert", lambda: warm_expert(NODES), warm(expert_sums))
    if harness.in_pyperf_worker():
        return

    check(CHECK_NODES)
    arcs = network(NODES)
    nkeys, ncalls = COMMODITIES * len(arcs), calls(NODES, arcs)
    name = "network model, keyshelf (%d keys)" % nkeys
    figure(name, t["keyshelf"], t["expert"], EXPERT_TARGET,
           "expert: values grouped, one += loop per sum")
    figure(name, t["keyshelf"], t["key-grouped"], KEY_GROUPED_TARGET,
           "key-grouped: keys grouped, values looked up")
    figure("warm 10-term flow.sum, model's order, per call", warm_ours / ncalls, warm_theirs / ncalls,
           PER_CALL_TARGET, "expert: += loop over its grouped list")
    prod, weighted = warm_prod(NODES)
    figure("warm flow.prod(cost), every key, key list built", prod, weighted, PROD_TARGET,
           "sum((cost[key] * v for key, v in flow.items()), complex())")
    keys_build, indexes = index_share(NODES)
    print("model: %d nodes, %d commodities, %d keys (k, i, j), %d sums; expert %.0f ms, key-grouped %.0f ms"
          % (NODES, COMMODITIES, nkeys, ncalls, t["expert"] * 1e3, t["key-grouped"] * 1e3))
    print("of the keyshelf model: key list %.0f ms, three rowsieve indexes %.0f ms"
          % (keys_build * 1e3, indexes * 1e3))
    if harness.setting() == "compiled":
        memory = memory_per_key(NODES)
        limit = MEMORY_TODAY * MEMORY_GROWTH
        print("memory per key: keyshelf with key list and indexes %.0f B (at most %.0f B)%s, "
              "expert's dict with value groupings %.0f B (%.2fx)"
              % (memory["keyshelf"], limit, " OVER" if memory["keyshelf"] > limit else "",
                 memory["expert"], memory["keyshelf"] / memory["expert"]))


if __name__ == "__main__":
    sys.exit(harness.run("bench_model.py: the network-flow model, keyshelf against the expert's and the "
                         "key-grouped code", measure_figures))
