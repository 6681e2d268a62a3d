"""The probed interpreter internals.

Every shortcut that reads interpreter internals depends on a probe run at
load, and a failed probe must only switch shortcuts off, never change an
answer. Two test hooks, both environment variables read at load:
VARNOK_FAIL_PROBES (comma-separated probe names, or "all") marks those probes
failed; VARNOK_REPORT_PROBES makes each module print the state of its probes
to stderr ("varnok probes <module>: <probe>=on|off ..."). A workload over all
four modules runs in a subprocess with probes forced to fail, and must print
exactly what it prints in a normal process."""
import os
import subprocess
import sys

import pytest

NATIVE = ["varnokpy._rowsieve", "varnokpy._keyshelf", "varnokpy.warpmath", "varnokpy._draftrel"]

WORKLOAD = r'''
import traceback, warnings
warnings.simplefilter("ignore")
import varnokpy._keyshelf as ks, varnokpy._rowsieve as rs, varnokpy.warpmath as wm
from varnokpy._core import Var
from varnokpy._draftrel import DraftRel
from varnokpy._keyshelf import keyshelf
from varnokpy._matrixapi import MVar
from varnokpy._rowsieve import rowsieve
from varnokpy._vrk import VRK


def show(label, fn):
    """Prints what `fn()` gives: its value, or its exception with the
    function names of the traceback entries."""
    try:
        value = fn()
        text = repr(value) if isinstance(value, (list, tuple, bool, int, str, type(None))) else str(value)
    except Exception as e:
        names = [f.name for f in traceback.extract_tb(e.__traceback__)][1:]
        text = "raised %s(%r) via %s" % (type(e).__name__, str(e), names)
    print(label, "->", text)


class Sub(rowsieve):
    pass


class SubShelf(keyshelf):
    pass


x, y = Var("x"), Var("y")
ROWS = [(i % 4, i % 3, "abc"[i % 3]) for i in range(24)]

# ---- rowsieve: every kind of select, warm and cold, exact and subclass ---------
for make in (rowsieve, Sub, lambda rows: rowsieve(rows, wild=None)):
    r = make(ROWS)
    w = r._rowsieve__wild
    for rep in range(2):    # the second round meets the built indexes
        for i, args in enumerate([(), (w,), (1,), (1, w), (w, 2), (1, 2), (w, w, "b"), (1, 2, "c"), ([1, 3], w),
                                  ((0, 2), [1, 2]), ([1, [2, (3,)], []], w), (iter([0, 1]), w), (range(2), w, w),
                                  ({1: "a"}, w), (7,), (1, 2, "c", 4), ([1], {}), ([[]],), ("abc",)]):
            show("select %s #%d round %d" % (type(r).__name__, i, rep), lambda: r.select(*args))
    show("identity", lambda: (r.select() is r, r.select(1, w) is r.select(1, w), r.select(w) is r))
    for v in [(1, 1, "b"), (9, 9, "z"), (1, 1), [1]]:
        show("in %r" % (v,), lambda: (v in r, v in r))
    show("repr", lambda: repr(r))

s = rowsieve([3, 1, "a", 2, 1, 5])
for args in [(1,), ([1, "a"],), ((),), ("a",), (1, 2), ()]:
    show("scalar select %r" % (args,), lambda: (s.select(*args), s.select(*args)))
nav = rowsieve([5, 3, 8, 1])
for method in ("next", "prev", "nextc", "prevc"):
    for v in (5, 1, 8, 42, [1]):
        show("%s %r" % (method, v), lambda: getattr(nav, method)(v))
show("repr scalar", lambda: repr(s))
show("repr empty", lambda: repr(rowsieve()))
empty = rowsieve()
empty[:] = [1, 2, 3]
show("select on a list filled by the base list", lambda: (empty.select() is empty, empty.select("*") is empty))

# ---- rowsieve: mutations drop the caches -------------------------------------
r = rowsieve(ROWS[:8])
for step, change in [("append", lambda: r.append((1, 1, "x"))), ("extend", lambda: r.extend([(0, 0, "y")] * 2)),
                     ("insert", lambda: r.insert(0, (3, 3, "z"))), ("pop", lambda: r.pop()),
                     ("remove", lambda: r.remove((1, 1, "b"))), ("delitem", lambda: r.__delitem__(0)),
                     ("delslice", lambda: r.__delslice__(0, 2)), ("iadd", lambda: r.__iadd__([(2, 2, "w")])),
                     ("bad append", lambda: r.append(5)), ("bad extend", lambda: r.extend([(1, 2)]))]:
    show("mutate " + step, change)
    show("after " + step, lambda: (r.select(1, "*"), r.select("*", "*", "b"), (1, 1, "x") in r, len(r)))
show("add", lambda: (r + [(4, 4, "v")]).select(4))
show("getslice", lambda: r.__getslice__(1, 3).select("*", 2))

# ---- keyshelf: selection and aggregation after mutations ----------------------
for make in (keyshelf, SubShelf):
    d = make({(i, j): float(i + 10 * j) for i in range(3) for j in range(3)})
    d[(1, 1)] = x
    d[(0, 2)] = y
    for step, change in [("start", lambda: None), ("setitem", lambda: d.__setitem__((5, 0), 2.5)),
                         ("delitem", lambda: d.__delitem__((2, 2))), ("pop", lambda: d.pop((0, 0))),
                         ("update", lambda: d.update({(2, 0): x, (4, 4): 1.0})),
                         ("setord", lambda: d.setord([(4, 4), (2, 1), (1, 1)])),
                         ("wild", lambda: setattr(d, "wild", None))]:
        show("keyshelf " + step, change)
        w = d.wild
        coeffs = {k: float(k[0] - k[1]) for k in list(dict.keys(d))[::2]}
        show("  keys", lambda: list(d._keys_internal()))
        for args in [(), (1,), (w, 1), ([0, 2], w), (1, 1), (9, 9), (1, 2, 3)]:
            show("  select %r" % (args,), lambda: (d.select(*args), d.select(*args)))
            show("  sum %r" % (args,), lambda: (d.sum(*args), d.sum(*args)))
            show("  prod %r" % (args,), lambda: d.prod(coeffs, *args))
        show("  subset", lambda: (dict(d.subset(w, 1)), d.subset(1).wild, list(d.subset()._keys_internal())))
        show("  items", lambda: (list(d), list(d.values()), list(d.iteritems(w, 1))))
    show("prod list", lambda: keyshelf({i: float(i) for i in range(5)}).prod([1, x, 2]))
    show("prod list pattern", lambda: d.prod([1, 2], 1))
    show("clear", lambda: (d.clear(), d.sum(), d.select()))
show("_sum_terms", lambda: ks._sum_terms([1.0, x, y, 2]))

# ---- warpmath ---------------------------------------------------------------
for name in ["sqrt", "sin", "cos", "tan", "exp", "log", "log2", "log10", "logistic", "square"]:
    fn = getattr(wm, name)
    for arg in (x, 2, x + 1.0, MVar.fromshape(2), "text"):
        show("%s(%s)" % (name, arg), lambda: (fn(arg), fn(arg)))
show("nested", lambda: (wm.exp(wm.log(x)), wm.sqrt(wm.square(MVar.fromshape(3)))))

# ---- DraftRel ---------------------------------------------------------------
rel = DraftRel(x, VRK.LESS_EQUAL, 1.0)
for label, fn in [("repr", lambda: repr(rel)), ("implication", lambda: repr(rel >> (y >= 0))),
                  ("matrix", lambda: repr(DraftRel(MVar.fromshape(2), "=", 5))), ("bool", lambda: bool(rel)),
                  ("chained", lambda: 0 <= x <= 1), ("le", lambda: rel <= 2), ("ge", lambda: rel >= 2)]:
    show("DraftRel " + label, fn)

# ---- module globals rebound after warm calls --------------------------------
show("rebound NLExpr", lambda: (wm.sin(x), setattr(wm, "NLExpr", lambda tree: "tree"), wm.sin(x)))
show("deleted NLExpr", lambda: (vars(wm).pop("NLExpr"), wm.sin(x)))
show("rebound LinExpr", lambda: (setattr(ks, "LinExpr", list), keyshelf({1: 2.0}).sum()))
show("rebound rowsieve", lambda: (setattr(ks, "rowsieve", Sub), type(keyshelf({1: 2.0})._keys_internal())))
show("rebound _isstr", lambda: (setattr(rs, "_isstr", lambda v: True), rowsieve(ROWS).select((1, 2))))
'''


def run(**env):
    """Runs the workload; gives its output and the probe report by module."""
    full = {k: v for k, v in os.environ.items() if k != "VARNOK_FAIL_PROBES"}
    full.update(PYTHONPATH=os.pathsep.join(p for p in sys.path if p), VARNOK_REPORT_PROBES="1", **env)
    proc = subprocess.run([sys.executable, "-c", WORKLOAD], capture_output=True, text=True, env=full, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = {}
    for line in proc.stderr.splitlines():
        if line.startswith("varnok probes "):
            module, states = line[len("varnok probes "):].split(":", 1)
            report[module] = dict(item.split("=") for item in states.split())
    assert set(report) == set(NATIVE), proc.stderr[-3000:]
    return proc.stdout, report


@pytest.fixture(scope="module")
def normal():
    return run()


@pytest.mark.shortcuts
def test_every_probe_passes_on_this_interpreter(normal):
    _, report = normal
    assert all(state == "on" for states in report.values() for state in states.values()), report


@pytest.mark.parametrize("fail", ["all", "no_such_probe", "dict_version,no_such_probe"])
def test_failed_probes_change_no_answer(normal, fail):
    expected_output, normal_report = normal
    output, report = run(VARNOK_FAIL_PROBES=fail)
    forced = set(fail.split(","))
    for module, states in report.items():
        for probe, state in states.items():
            assert state == ("off" if "all" in forced or probe in forced else normal_report[module][probe]), report
    assert output.count("\n") > 500
    assert output == expected_output
