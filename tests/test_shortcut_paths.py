"""The shortcuts against the general steps, in subprocesses.

VARNOK_SHORTCUTS=off at load makes the native modules run only their
general steps; every workload here must print the same with and without it:
with sibling modules that differ from the stand-ins where their contract
leaves room, and under a profile function (the same calls and returns). With
VARNOK_COUNT_SHORTCUTS=1 a model in the package's real shape must take the
hot shortcuts."""
import difflib
import os
import subprocess
import sys
from pathlib import Path

import pytest

from test_probes import WORKLOAD

ROOT = Path(__file__).resolve().parents[1]

# argv: variant, repository root. Installs the variant's `_isstr` in
# `varnokpy._util` before the native modules load and bind it.
SETUP = r'''
import sys
VARIANT, ROOT = sys.argv[1], sys.argv[2]
if VARIANT == "compiled":
    sys.path.insert(0, ROOT + "/tools")
    import compiled_siblings
    compiled_siblings.use(ROOT + "/build/siblings")
import varnokpy._util as _util
CALLS = 0


class Verdict:
    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth


def counting(v):
    global CALLS
    CALLS += 1
    return isinstance(v, str)


_util._isstr = {"bytes": lambda v: isinstance(v, (str, bytes)), "int": lambda v: int(isinstance(v, str)),
                "text": lambda v: "yes" if isinstance(v, str) else "", "object": lambda v: Verdict(isinstance(v, str)),
                "counting": counting}.get(VARIANT, _util._isstr)
import varnokpy._rowsieve, varnokpy._keyshelf
if VARIANT == "compiled":
    assert compiled_siblings.in_use() and not _util.__file__.endswith(".py"), _util.__file__
'''

# Queries whose arguments `_isstr` sorts into values and alternatives.
STRINGS = r'''
from varnokpy._core import Var
from varnokpy._keyshelf import keyshelf
from varnokpy._rowsieve import rowsieve


def out(label, fn):
    try:
        value = fn()
        text = type(value).__name__ + repr(list(value)) if isinstance(value, list) else repr(value)
    except Exception as e:
        text = "raised %s(%s)" % (type(e).__name__, e)
    print(label, "->", text)


rows = [(i % 3, "ab"[i % 2], b"ab" if i % 4 else "ab", ("t", i % 2)) for i in range(12)]
queries = [(rowsieve(rows), [(1, "a"), ("*", "ab"), ("*", ["a", "b"]), ("*", "*", b"ab"), ([0, 2], "*", ["ab", b"ab"]),
                            ("*", "*", "*", ("t", 1)), ("*", ("a",)), (7,), (1, "c"), ("*", "*", "*", "*"), ("ab",)]),
           (rowsieve([b"ab", 97, 98, "ab", "a", "b"]), [(b"ab",), ("ab",), (["ab", b"ab"],), (97,), ([97, "zz"],), ("zz",)]),
           (rowsieve([b"ab", 97, 98]), [(b"ab",), ([b"ab"],)])]
for r, cases in queries:
    for rep in ("cold", "warm"):
        for args in cases:
            out("select %r %s" % (args, rep), lambda: r.select(*args))
    out("in", lambda: [v in r for v in (b"ab", "ab", (1, "b", b"ab", ("t", 1)))])

d = keyshelf({(i, "ab"[i % 2], b"x" if i % 3 else "x"): Var("v%d" % i) if i % 2 else float(i) for i in range(12)})
coeffs = {k: 2.0 for k in list(d)[::2]}
for rep in ("cold", "warm"):
    for args in [("*", "a"), ("*", "ab"), ("*", ["a", "b"]), (1, "*", b"x"), ("*", "*", "x"), (9, "*"), ("b",)]:
        out("keyshelf %r %s" % (args, rep), lambda: (d.sum(*args), d.prod(coeffs, *args), d.select(*args),
                                                     list(d.subset(*args)._keys_internal())))
'''

# `_isstr(value)` is called with one argument, and only the truth of its
# answer counts. The variants keep to that and differ from the stand-in
# elsewhere: bytes are strings too; the answers are not bools; the calls are
# counted (the count is part of the output). "compiled": the siblings as
# Cython builds them.
VARIANTS = ["bytes", "int", "text", "object", "counting", "compiled"]


def run(script, variant="standin", **env):
    full = {k: v for k, v in os.environ.items() if not k.startswith("VARNOK_")}
    full.update(PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **env)
    proc = subprocess.run([sys.executable, "-c", script, variant, str(ROOT)], capture_output=True, text=True,
                          env=full, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc


def require_compiled_siblings():
    if not (ROOT / "build" / "siblings" / ".built").exists():
        pytest.skip("the compiled siblings are not built (make build/siblings/.built)")


def general_vs_shortcuts(script, variant):
    """Runs `script` both ways; fails with the lines that differ."""
    if variant == "compiled":
        require_compiled_siblings()
    general = run(script, variant, VARNOK_SHORTCUTS="off").stdout
    shortcuts = run(script, variant).stdout
    diff = list(difflib.unified_diff(general.splitlines(), shortcuts.splitlines(), "VARNOK_SHORTCUTS=off",
                                     "shortcuts", n=1, lineterm=""))
    if diff:
        pytest.fail("the outputs differ:\n" + "\n".join(diff[:40]), pytrace=False)
    return general


@pytest.mark.parametrize("variant", VARIANTS)
def test_sibling_variants_give_the_general_answers(variant):
    output = general_vs_shortcuts(SETUP + STRINGS + WORKLOAD + "\nprint('_isstr calls', CALLS)\n", variant)
    assert output.count("\n") > 1500
    if variant == "bytes":
        assert "select (b'ab',) cold -> rowsieve[b'ab']" in output
    assert (variant == "counting") == ("_isstr calls 0" not in output)


# Values read at remembered entry positions against the general lookups,
# after every kind of change: assignment, deletion, growth of the dict, a
# bucket changed through the base list's own mutators, keys that are not
# plain.
POSITIONS = r'''
from varnokpy._keyshelf import keyshelf


class Num(int):
    """Not plain: an int subclass, hashed and compared like its int."""


def show(label, d, queries):
    for q in queries:
        print(label, q, d.sum(*q), d.select(*q), d.prod({k: 2.0 for k in list(d)[::2]}, *q))


queries = [(1, "*"), ("*", 2), (1, 2), ("*", "*")]
d = keyshelf({(i, j): float(10 * i + j) for i in range(4) for j in range(5)})
for label, change in [("warm", lambda: None), ("assign", lambda: d.__setitem__((1, 2), 99.0)),
                      ("base assign", lambda: dict.__setitem__(d, (1, 3), -1.0)),
                      ("delete", lambda: d.__delitem__((1, 0))),
                      ("grow", lambda: d.update({(i, 7): float(i) for i in range(50)})),
                      ("bucket", lambda: list.append(d._keys_internal().select(1, "*"), (1, 7))),
                      ("bucket reversed", lambda: list.reverse(d._keys_internal().select("*", 2))),
                      ("not plain", lambda: d.__setitem__((1, Num(9)), 5.0)),
                      ("base delete", lambda: dict.__delitem__(d, (2, 2)))]:
    change()
    for rep in range(2):
        try:
            show(label, d, queries)
        except KeyError as e:
            print(label, "KeyError", e)
'''


def test_remembered_positions_follow_every_change():
    output = general_vs_shortcuts(SETUP + POSITIONS, "standin")
    assert "not plain" in output and "base delete" in output


TRACE = r'''
from varnokpy import warpmath
from varnokpy._core import Var
from varnokpy._draftrel import DraftRel
from varnokpy._keyshelf import keyshelf
from varnokpy._rowsieve import rowsieve
from varnokpy._vrk import VRK


def work():
    x = {(i, j, "ab"[j % 2]): Var("x%d%d" % (i, j)) for i in range(3) for j in range(4)}
    r = rowsieve(list(x))
    for rep in range(2):
        r.select(1, "*", "a"), r.select([0, 2], "*"), r.select("*", (1, 3)), r.select(9), r.select("*", "*", "ab")
    r.append((5, 5, "b")), r.extend([(6, 6, "a")]), r.select(5), (5, 5, "b") in r, (7, 7, "z") in r
    s = rowsieve([3, 1, 2])
    s.next(1), s.select([1, 2]), s.select("a")
    d = keyshelf(x)
    d[9, 9, "a"] = 2.0
    for rep in range(2):
        d.sum(1, "*"), d.sum("*", "*", "a"), d.prod({k: 2.0 for k in list(x)[::3]}, "*", 1), d.select(0)
        d.subset("*", 2), d.sum(8)
    d.setord([(9, 9, "a"), (2, 3, "b")])
    list(d._keys_internal()), d.select("*", "*", "b")
    DraftRel(x[0, 0, "a"], VRK.LESS_EQUAL, 1.0), warpmath.sin(x[0, 1, "b"])


PLAIN = (int, float, str, bytes, bool, type(None))
events = []


def hook(frame, event, arg):
    if event in ("call", "return"):
        code = frame.f_code
        shown = (repr(arg) if type(arg) in PLAIN else type(arg).__name__) if event == "return" else ""
        events.append("%s %s %s %s" % (event, code.co_filename, code.co_name, shown))


sys.setprofile(hook)
work()
sys.setprofile(None)
print("\n".join(events))
'''


@pytest.mark.parametrize("variant", ["standin", "compiled"])
def test_profile_sees_the_same_calls_on_both_paths(variant):
    output = general_vs_shortcuts(SETUP + TRACE, variant)
    native = {line.split()[2] for line in output.splitlines() if line.split()[1].startswith("src/varnokpy/")}
    assert {"select", "sum", "prod", "subset", "_keys_internal", "__init__", "sin"} <= native, native


MODEL = r'''
import varnokpy._core as core, varnokpy._keyshelf as ks
from varnokpy._core import Var
from varnokpy._keyshelf import keyshelf
from varnokpy._rowsieve import rowsieve
assert ks.LinExpr is core.LinExpr and not core.__file__.endswith(".py")

x = keyshelf({(k, i, j): Var("x[%d,%d,%d]" % (k, i, j)) for k in range(4) for i in range(12) for j in range(12)})
for k in range(4):
    for i in range(12):
        x.sum(k, i, "*") <= 1
for i in range(12):
    for j in range(12):
        x.sum("*", i, j) >= 1
x.prod({key: 1.0 + key[2] for key in list(x)[::5]}), x.prod({key: 2.0 for key in x}, 1, "*", "*")
for k in range(4):
    x.select(k, "*", 3), x.select(k, 2, "*")
arcs = rowsieve(list(x))
for i in range(12):
    arcs.select("*", i, "*"), arcs.select(1, "*", i)
'''

HOT = {"varnokpy._rowsieve": ["select", "index_build", "bucket"], "varnokpy._keyshelf": ["sum", "prod", "select"]}


def shortcut_counts(**env):
    """{module: {counter: (taken, not taken)}} from the model's stderr."""
    stderr = run(SETUP + MODEL, "compiled", VARNOK_COUNT_SHORTCUTS="1", **env).stderr
    counts = {}
    for line in stderr.splitlines():
        if line.startswith("varnok shortcuts "):
            module, items = line[len("varnok shortcuts "):].split(":", 1)
            counts[module] = {name: tuple(map(int, n.split("/"))) for name, n in (i.split("=") for i in items.split())}
    assert set(HOT) <= set(counts), stderr[-3000:]
    return counts


@pytest.mark.shortcuts
def test_the_model_takes_the_hot_shortcuts():
    require_compiled_siblings()
    counts = shortcut_counts()
    missing = ["%s %s" % (m, n) for m, names in HOT.items() for n in names if n not in counts[m]]
    assert not missing, "counters not reported: %s (got %s)" % (missing, counts)
    idle = ["%s %s" % (m, n) for m, names in HOT.items() for n in names if counts[m][n][0] == 0]
    assert not idle, "never taken: %s (got %s)" % (idle, counts)
    for module, name in [("varnokpy._rowsieve", "select"), ("varnokpy._keyshelf", "sum"),
                         ("varnokpy._keyshelf", "select")]:
        taken, not_taken = counts[module][name]
        assert taken >= 4 * not_taken, (module, name, counts[module])
    off = shortcut_counts(VARNOK_SHORTCUTS="off")
    assert all(taken == 0 for names in off.values() for taken, _ in names.values()), off
