"""DraftRel construction speed against a plain-Python class written here.

Each figure is the median over several repeats of ``timeit`` on a statement
that makes the call directly, divided by the same measurement of its
baseline, the two timed alternately in the same process, once with the
stand-in siblings and once with the compiled ones (see harness.py). Prints
one table; nothing here fails the run unless --strict is given.

    PYTHONPATH=src python3 bench/bench_draftrel.py
"""

import sys

import harness
from harness import figure, paired_per_call

harness.load_siblings()
from varnokpy._core import Var  # noqa: E402
from varnokpy._draftrel import DraftRel  # noqa: E402
from varnokpy._vrk import VRK  # noqa: E402

REPEATS = 9


class PyRel:
    """The baseline: a pure-Python class whose __init__ stores three attributes."""

    def __init__(self, lhs, sense, rhs):
        self._lhs = lhs
        self._sense = sense
        self._rhs = rhs


def measure():
    x = Var("x")
    ns = {"DraftRel": DraftRel, "PyRel": PyRel, "x": x, "LE": VRK.LESS_EQUAL}
    DraftRel(1, "<=", 2.5)  # the first construction imports the expression modules
    figure("DraftRel(1, '<=', 2.5)", *paired_per_call("DraftRel(1, '<=', 2.5)", "PyRel(1, '<=', 2.5)", ns, REPEATS),
           1.5, "Python class storing three attributes")
    # A variable side takes the general steps (seven isinstance tests).
    figure("DraftRel(x, LE, 5) (x a Var)", *paired_per_call("DraftRel(x, LE, 5)", "PyRel(x, LE, 5)", ns, REPEATS),
           None, "Python class storing three attributes")


if __name__ == "__main__":
    sys.exit(harness.run("bench_draftrel.py: DraftRel construction against a Python class", measure))
