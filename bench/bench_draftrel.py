"""DraftRel construction speed against a plain-Python class written here.

Each figure is the median over several repeats of ``timeit`` on a statement
that makes the call directly, divided by the same measurement of its
baseline in the same process. The clock is the process's CPU time, so that
other work on a shared machine does not blur the ratios. Prints one line per
operation with both times, the ratio and the target ratio; nothing here fails
the run.

    PYTHONPATH=src python3 bench/bench_draftrel.py
"""

import statistics
import sys
import time
import timeit

from varnokpy._core import Var
from varnokpy._draftrel import DraftRel
from varnokpy._vrk import VRK

REPEATS = 9
CLOCK = time.process_time


def paired_per_call(stmt, base_stmt, namespace, repeats=REPEATS):
    """Median seconds per execution of ``stmt`` and of ``base_stmt``.

    The two are timed in alternation, repeat by repeat, so that a burst of
    load on the machine falls on both sides of a ratio."""
    ours, base = (timeit.Timer(s, timer=CLOCK, globals=namespace) for s in (stmt, base_stmt))
    number, _ = base.autorange()
    samples = [(ours.timeit(number), base.timeit(number)) for _ in range(repeats)]
    return tuple(statistics.median(side) / number for side in zip(*samples))


class PyRel:
    """The baseline: a pure-Python class whose __init__ stores three attributes."""

    def __init__(self, lhs, sense, rhs):
        self._lhs = lhs
        self._sense = sense
        self._rhs = rhs


results = []


def report(name, ours, base, target, base_name):
    ratio = ours / base
    results.append((name, ours, base, ratio, target))
    mark = "ok  " if target is None or ratio <= target else "OVER"
    target_text = "-" if target is None else "%.2f" % target
    print("%s %-44s %10.1f ns %10.1f ns  ratio %6.2f  target %5s  (baseline: %s)"
          % (mark, name, ours * 1e9, base * 1e9, ratio, target_text, base_name))
    sys.stdout.flush()


def main():
    x = Var("x")
    ns = {"DraftRel": DraftRel, "PyRel": PyRel, "x": x, "LE": VRK.LESS_EQUAL}
    DraftRel(1, "<=", 2.5)  # the first construction imports the expression modules
    report("DraftRel(1, '<=', 2.5)", *paired_per_call("DraftRel(1, '<=', 2.5)", "PyRel(1, '<=', 2.5)", ns), 1.5,
           "Python class storing three attributes")
    # A variable side takes the general steps (seven isinstance tests).
    report("DraftRel(x, LE, 5) (x a Var)", *paired_per_call("DraftRel(x, LE, 5)", "PyRel(x, LE, 5)", ns), None,
           "Python class storing three attributes")

    over = [name for name, _, _, ratio, target in results if target is not None and ratio > target]
    print("\n%d figures, %d over target%s" % (len(results), len(over), (": " + ", ".join(over)) if over else ""))


if __name__ == "__main__":
    main()
