"""keyshelf: the cost of the operations that model building repeats.

Each operation and its baseline are timed the same way in one process:
`timeit` on a statement that makes the call directly, the median of several
repeats, on the process's CPU time, once with the stand-in siblings and once
with the compiled ones (see harness.py). `LinExpr` is rebound to `complex` in
the module, and the hand-written sums start from `complex()`: both sides
accumulate with the same C-level number addition, and the figures show the
module's own cost.

Data: one million keys (i, j), i < 10000, j < 100; the queries take slices of
100 keys (all keys with i == 5). The key list is built on a keyshelf without
positions (its sort gives every key the same rank) and, for the first sum
after an item assignment, on one with a single position.

    PYTHONPATH=src python3 bench/bench_keyshelf.py
"""
import collections
import sys
import timeit

import harness
from harness import CLOCK, complex_sums, figure, median_per_call, paired_medians

harness.load_siblings()
from varnokpy._keyshelf import keyshelf  # noqa: E402

REPEATS = 15


def measure():
    mapping = {(i, j): float(j) for i in range(10000) for j in range(100)}
    d = keyshelf(mapping)
    dd = dict(mapping)
    keys_of_slice = [k for k in dd if k[0] == 5]
    coeffs = {k: 2.0 for k in dd}
    pos = {k: n for n, k in enumerate(dd)}

    def rebuild_baseline():
        keys = sorted(dd.keys(), key=pos.get)
        groups = collections.defaultdict(list)
        for k in keys:
            groups[k[0]].append(k)
        return sum((dd[k] for k in groups[5]), complex())

    ns = dict(globals(), **locals())
    d.sum(5, "*")  # warm: key list and index built
    comprehension = median_per_call("[dd[k] for k in keys_of_slice]", ns, number=2000, repeats=REPEATS)
    summed = median_per_call("sum((dd[k] for k in keys_of_slice), complex())", ns, number=2000, repeats=REPEATS)
    weighted = median_per_call("sum((coeffs[k] * dd[k] for k in keys_of_slice), complex())", ns, number=2000,
                               repeats=REPEATS)
    with complex_sums():
        assert d.sum(5, "*") == sum((dd[k] for k in keys_of_slice), complex())
        assert d.prod(coeffs, 5, "*") == sum((coeffs[k] * dd[k] for k in keys_of_slice), complex())
        figure("warm d.sum(5, '*')", median_per_call("d.sum(5, '*')", ns, number=2000, repeats=REPEATS), summed, 1.0,
               "sum((dd[k] for k in keys_of_slice), complex())")
        figure("warm d.select(5, '*')", median_per_call("d.select(5, '*')", ns, number=2000, repeats=REPEATS),
               comprehension, 0.7, "[dd[k] for k in keys_of_slice]")
        figure("warm d.prod(coeffs, 5, '*')",
               median_per_call("d.prod(coeffs, 5, '*')", ns, number=2000, repeats=REPEATS), weighted, 2.0,
               "sum((coeffs[k] * dd[k] for k in keys_of_slice), complex())")
        unranked = keyshelf(mapping)
        ns["unranked"] = unranked
        keylist, listing = paired_medians(timeit.Timer("unranked._keys_internal()", setup="unranked.clean()",
                                                       timer=CLOCK, globals=ns),
                                          timeit.Timer("list(dd)", timer=CLOCK, globals=ns), repeats=15)
        figure("d._keys_internal(), no positions", keylist, listing, 2.0, "list(dd)")
        first, rebuild = paired_medians(timeit.Timer("d.sum(5, '*')", setup="d[(0, 0)] = 0.0", timer=CLOCK,
                                                     globals=ns),
                                        timeit.Timer(rebuild_baseline, timer=CLOCK))
        figure("first d.sum(5, '*') after d[k] = v", first, rebuild, 0.5,
               "sorted by position, grouped by defaultdict, summed")
        construct, plain = paired_medians(timeit.Timer("keyshelf(mapping)", timer=CLOCK, globals=ns),
                                          timeit.Timer("dict(mapping)", timer=CLOCK, globals=ns), repeats=21)
        figure("keyshelf(mapping)", construct, plain, 1.05, "dict(mapping)")


if __name__ == "__main__":
    sys.exit(harness.run("bench_keyshelf.py: keyshelf on 1e6 keys (i, j), slices of 100 keys", measure))
