"""keyshelf: the cost of the operations that model building repeats.

Each operation and its baseline are timed the same way in one process:
`timeit` on a statement that makes the call directly, the median of several
repeats, on the process's CPU time, so that other work on a shared machine
does not blur the ratios. `LinExpr` is rebound to `float` in the module, so that accumulation
is builtin float addition and the figures show the module's own cost.

Data: one million keys (i, j), i < 10000, j < 100; the queries take slices of
100 keys (all keys with i == 5). The key list is built on a keyshelf without
positions (its sort gives every key the same rank) and, for the first sum
after an item assignment, on one with a single position.
"""
import collections
import statistics
import sys
import time
import timeit

import varnokpy._keyshelf as ks
from varnokpy._keyshelf import keyshelf

REPEATS = 15
CLOCK = time.process_time


def median_time(stmt, number, setup="pass", namespace=None):
    timer = timeit.Timer(stmt, setup=setup, timer=CLOCK, globals=namespace)
    return statistics.median(timer.repeat(REPEATS, number)) / number


def paired_medians(first, second, repeats=11):
    """Median single-run times of two slow timers, run alternately so that
    drift in the machine's load affects both alike."""
    a, b = [], []
    for _ in range(repeats):
        a.append(first.timeit(1))
        b.append(second.timeit(1))
    return statistics.median(a), statistics.median(b)


def main():
    ks.LinExpr = float
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
        return groups[5]

    ns = dict(globals(), **locals())
    d.sum(5, "*")  # warm: key list and index built
    comprehension = median_time("[dd[k] for k in keys_of_slice]", 2000, namespace=ns)
    rows = [
        ("warm d.sum(5, '*')", median_time("d.sum(5, '*')", 2000, namespace=ns), comprehension, 1.0),
        ("warm d.select(5, '*')", median_time("d.select(5, '*')", 2000, namespace=ns), comprehension, 0.7),
        ("warm d.prod(coeffs, 5, '*')", median_time("d.prod(coeffs, 5, '*')", 2000, namespace=ns),
         comprehension, 2.0),
    ]
    unranked = keyshelf(mapping)
    ns["unranked"] = unranked
    keylist, listing = paired_medians(timeit.Timer("unranked._keys_internal()", setup="unranked.clean()", timer=CLOCK,
                                                                    globals=ns),
                                      timeit.Timer("list(dd)", timer=CLOCK, globals=ns), repeats=15)
    rows.append(("d._keys_internal(), no positions", keylist, listing, 2.0))
    first, rebuild = paired_medians(timeit.Timer("d.sum(5, '*')", setup="d[(0, 0)] = 0.0", timer=CLOCK, globals=ns),
                                    timeit.Timer(rebuild_baseline, timer=CLOCK))
    rows.append(("first d.sum(5, '*') after d[k] = v", first, rebuild, 0.3))
    construct, plain = paired_medians(timeit.Timer("keyshelf(mapping)", timer=CLOCK, globals=ns),
                                      timeit.Timer("dict(mapping)", timer=CLOCK, globals=ns), repeats=21)
    rows.append(("keyshelf(mapping)", construct, plain, 1.05))

    print("baselines: [dd[k] for k in keys_of_slice] = %.2f us; list(dd) = %.1f ms; sorted+grouping rebuild = "
          "%.1f ms; dict(mapping) = %.1f ms" % (comprehension * 1e6, listing * 1e3, rebuild * 1e3, plain * 1e3))
    print("%-38s %12s %8s %8s" % ("operation", "time", "ratio", "target"))
    failed = False
    for name, t, base, target in rows:
        ratio = t / base
        unit = "%9.2f us" % (t * 1e6) if t < 1e-3 else "%9.1f ms" % (t * 1e3)
        mark = "" if ratio <= target else "  (over target)"
        failed |= ratio > target
        print("%-38s %12s %7.2fx %7.2fx%s" % (name, unit, ratio, target, mark))
    return 1 if failed and "--strict" in sys.argv else 0


if __name__ == "__main__":
    sys.exit(main())
