"""rowsieve speed against plain-Python baselines written here.

Each figure is the median over several repeats of ``timeit`` on a statement
that makes the call directly, divided by the same measurement of its
baseline in the same process, once with the stand-in siblings and once with
the compiled ones (see harness.py). Prints one table; nothing here fails the
run unless --strict is given.

    PYTHONPATH=src python3 bench/bench_rowsieve.py
"""

import sys
from collections import defaultdict

import harness
from harness import figure, median_first_call, median_first_call_collected, median_per_call

harness.load_siblings()
from varnokpy._rowsieve import rowsieve  # noqa: E402


# ------------------------------------------------------------------ baselines

class PyClean(list):
    """A pure-Python class whose clean() rebinds six attributes the same way."""

    def clean(self):
        self._index = {}
        self._contents = None
        self._prev = {}
        self._next = {}
        self._prevc = {}
        self._nextc = {}


class PyAppend(list):
    def append(self, x):
        pass


class PyDelCheck(list):
    """The body of the mode reset on deletion, as a pure-Python method."""

    def delcheck(self):
        if not self:
            self._scalar = None
            self._tuplelen = None


def group(rows, field):
    groups = defaultdict(list)
    for x in rows:
        groups[x[field]].append(x)
    return groups


def group_pair(rows):
    groups = defaultdict(list)
    for t in rows:
        groups[(t[1], t[2])].append(t)
    return groups


def group_whole(rows):
    groups = defaultdict(list)
    for t in rows:
        groups[t].append(t)
    return groups


def py_table(rows, tuplelen):
    """The printed table of a tuple-mode rowsieve, in plain Python."""
    pieces = ["<varnok.rowsieve (%d tuples, %d values each):\n" % (len(rows), tuplelen)]
    fieldlen = [max(len(str(x)) + 1 for x in column) for column in zip(*rows)]
    fieldfmt = ["%%-%is" % w for w in fieldlen]
    for k in rows:
        pieces += [" ( ", ", ".join(fieldfmt[i] % str(x) for i, x in enumerate(k)), ")\n"]
    pieces.append(">")
    return "".join(pieces)


def measure():
    small = [(i, j) for i in range(1000) for j in range(100)]
    r = rowsieve(small)
    d = dict.fromkeys(small, True)
    k = (7, 3)
    ns = {"r": r, "d": d, "k": k, "g": d.get}

    base_get = median_per_call("g(k)", namespace=ns)
    r.select(7, "*")
    figure("warm r.select(7, '*')", median_per_call("r.select(7, '*')", namespace=ns), base_get, 6.0, "g(k)")
    r.select([7, 8], "*")
    figure("warm r.select([7, 8], '*')", median_per_call("r.select([7, 8], '*')", namespace=ns), base_get, 30.0,
           "g(k)")
    k in r
    figure("warm k in r", median_per_call("k in r", namespace=ns), median_per_call("k in d", namespace=ns), 2.0,
           "k in d")
    r.next(k)
    figure("warm r.next(k)", median_per_call("r.next(k)", namespace=ns), median_per_call("d[k]", namespace=ns), 2.0,
           "d[k]")
    p = PyClean(small)
    p.clean()
    ns["p"] = p
    figure("r.clean()", median_per_call("r.clean()", namespace=ns), median_per_call("p.clean()", namespace=ns), 1.5,
           "Python method rebinding six attributes")
    del ns, r, d, p, small

    # Three fields, 1e5 members (i, j, k), 10 per (i, j): a selection on the
    # first two fields, and one that finds nothing, against a dict lookup of
    # a prebuilt key.
    triples = [(i, j, k) for i in range(100) for j in range(100) for k in range(10)]
    tns = {"r": rowsieve(triples), "g": dict.fromkeys(triples, True).get, "k": (3, 4, 5)}
    base_get = median_per_call("g(k)", namespace=tns)
    tns["r"].select(3, 4, "*")
    figure("warm r.select(3, 4, '*') (1e5 3-tuples)", median_per_call("r.select(3, 4, '*')", namespace=tns),
           base_get, 3.0, "g(k), k a prebuilt 3-tuple")
    tns["r"].select(3, 999, "*")
    figure("warm r.select(3, 999, '*') (finds nothing)", median_per_call("r.select(3, 999, '*')", namespace=tns),
           base_get, 4.0, "g(k), k a prebuilt 3-tuple")
    del tns, triples

    big = [(i, j) for i in range(10000) for j in range(100)]
    big_ns = {"r": rowsieve(big), "L": big, "group": group, "rowsieve": rowsieve}
    figure("first r.select('*', 3) after clean (100 buckets)",
           median_first_call("r.select('*', 3)", "r.clean()", big_ns),
           median_first_call("group(L, 1)", "pass", big_ns), 1.0, "defaultdict grouping by field 1, 1e6 2-tuples")
    figure("first r.select(3, '*') after clean (1e4 buckets)",
           median_first_call("r.select(3, '*')", "r.clean()", big_ns),
           median_first_call("group(L, 0)", "pass", big_ns), 1.2, "defaultdict grouping by field 0, 1e6 2-tuples")
    figure("rowsieve(L) (1e6 2-tuples)", median_first_call("rowsieve(L)", "pass", big_ns),
           median_first_call("list(L)", "pass", big_ns), 2.0, "list(L)")
    del big_ns, big

    # Indexes with many buckets: 9e5 3-tuples (k, i, j), 10 x 300 x 300,
    # with the cyclic collector on. Each bucket is a rowsieve, whose objects
    # the collector's passes walk; a build that paused the collector leaves
    # one young collection owed, shown in the second line of each figure.
    cube = [(k, i, j) for k in range(10) for i in range(300) for j in range(300)]
    cube_ns = {"r": rowsieve(cube), "L": cube, "group_pair": group_pair, "group_whole": group_whole}
    for name, stmt, base_stmt, target, base_name in [
            ("first r.select('*', i, j) (9e4 buckets)", "r.select('*', 4, 5)", "group_pair(L)", 1.0,
             "defaultdict by (t[1], t[2]), 9e5 3-tuples"),
            ("first r.select(k, i, j) (9e5 buckets)", "r.select(3, 4, 5)", "group_whole(L)", 1.0,
             "defaultdict by t, 9e5 3-tuples")]:
        cube_ns["r"].clean()
        base, base_owed = median_first_call_collected(base_stmt, "pass", cube_ns, repeats=5)
        ours, owed = median_first_call_collected(stmt, "r.clean()", cube_ns, repeats=5)
        figure(name, ours, base, target, base_name)
        figure("  the same, with the young collection owed", ours + owed, base + base_owed, None,
               "the same, likewise")
    del cube_ns, cube

    triples = [(i, "name%d" % (i % 77), i * 0.5) for i in range(10000)]
    t = rowsieve(triples)
    assert repr(t) == py_table(triples, 3)
    tns = {"t": t, "T": triples, "py_table": py_table}
    figure("repr(r) (1e4 3-tuples)", median_per_call("repr(t)", namespace=tns, number=5),
           median_per_call("py_table(T, 3)", namespace=tns, number=5), 0.3, "Python function, same text")

    # append in tuple mode: each call also drops the caches (clean()).
    ans = {"r": rowsieve([(0, 0)]), "l": [], "p": PyAppend(), "x": (1, 2)}
    setup = "r[:] = [(0, 0)]; del l[:]"
    ours = median_per_call("r.append(x)", setup=setup, namespace=ans, number=100000)
    figure("r.append(x) (tuple mode)", ours, median_per_call("l.append(x)", setup=setup, namespace=ans,
                                                              number=100000), None, "list.append")
    figure("r.append(x) (tuple mode)", ours, median_per_call("p.append(x)", namespace=ans, number=100000), None,
           "trivial Python method")

    # The cost of a call through the frame: a method whose body is one truth
    # test, against the same method written in Python, both called as plain
    # functions. (Called as `r.method()`, a rowsieve pays a few more ns for
    # the method lookup: once its instance dict exists, the interpreter does
    # not specialise that lookup.)
    fns = {"r": rowsieve([(0, 0)]), "p": PyDelCheck([(0, 0)]),
           "f": rowsieve._rowsieve__scalardelcheck, "g": PyDelCheck.delcheck}
    figure("__scalardelcheck(r) (call cost)", median_per_call("f(r)", namespace=fns),
           median_per_call("g(p)", namespace=fns), 1.0, "same Python method")


if __name__ == "__main__":
    sys.exit(harness.run("bench_rowsieve.py: rowsieve against plain-Python baselines", measure))
