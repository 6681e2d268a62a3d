"""Attacks on the shortcuts' guards: each scenario runs in two subprocesses,
with shortcuts on and with VARNOK_SHORTCUTS=off, and both must print the same
lines. Each scenario first warms up the shortcut it attacks, and the "on" run
must report that shortcut as taken (VARNOK_COUNT_SHORTCUTS), so that a
scenario cannot pass by never reaching what it attacks.

Classes of attack: keys that collide with a name a guard looks up (a `str`
subclass with the same hash and a Python `__eq__`), `__eq__`/`__hash__`/
`__del__` that mutate what a shortcut walks, the attributes of the class's
own function objects, profile and trace functions set in the middle of an
operation, half-built objects found through `gc`, and the recursion limit."""
import os
import re
import subprocess
import sys
import textwrap

import pytest

from conftest import SHORTCUTS

PRELUDE = r'''
import gc, sys, operator
import varnokpy._rowsieve as rs, varnokpy._keyshelf as ks
from varnokpy._rowsieve import rowsieve
from varnokpy._keyshelf import keyshelf


def show(label, fn):
    try:
        v = fn()
        text = type(v).__name__ + " " + repr(list(v) if isinstance(v, (list, dict)) else v)
    except BaseException as e:
        text = "raised %s(%s)" % (type(e).__name__, e)
    print(label, "->", text, flush=True)


def collider(text, on_eq):
    """A str subclass key hashing like `text`, whose __eq__ runs `on_eq`."""
    class S(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            return on_eq(self, other)
    return S(text)


events = []


def prof(frame, event, arg):
    """A profile function that records (event, name)."""
    events.append((event, getattr(arg, "__name__", None) if event.startswith("c_") else frame.f_code.co_name))


def plant_before(d, name, key, value):
    """Puts `key` ahead of `name` in the probe sequence of `d`: a lookup of
    `name` compares with `key` first."""
    old = d.pop(name)
    d[key] = value
    d[name] = old
'''


def run(body, shortcuts):
    env = dict(os.environ)
    env.pop("VARNOK_SHORTCUTS", None)
    env["VARNOK_COUNT_SHORTCUTS"] = "1"
    env["PYTHONDEVMODE"] = "1"
    if not shortcuts:
        env["VARNOK_SHORTCUTS"] = "off"
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], capture_output=True, text=True,
                          env=env, timeout=120)
    assert proc.returncode == 0, "crashed (%d):\n%s\n%s" % (proc.returncode, proc.stdout, proc.stderr[-3000:])
    counts = {}
    for line in proc.stderr.splitlines():
        if line.startswith("varnok shortcuts "):
            for name, taken in re.findall(r"(\w+)=(\d+)/\d+", line):
                counts[name] = counts.get(name, 0) + int(taken)
    return proc.stdout, counts


# (name, the shortcuts it attacks: at least one must be taken, the body)
SCENARIOS = [
    # ---- keys colliding with a name a guard looks up --------------------------
    ("instance dict: append after a colliding method name", ["append", "own_call"], r'''
        r = rowsieve([(1, 2)])
        show("warm", lambda: r.append((5, 6)))
        def eq(s, o):
            r.__dict__ = {}
            return False
        vars(r)[collider("clean", eq)] = 0
        show("append", lambda: r.append((3, 4)))
        show("list", lambda: list.__repr__(r))
    '''),
    ("instance dict: extend after a colliding method name", ["extend_fresh", "own_call"], r'''
        r = rowsieve([(1, 2)])
        r.extend([(5, 6)])
        def eq(s, o):
            r.__dict__ = {}
            return False
        vars(r)[collider("extend", eq)] = 0
        show("extend", lambda: r.extend([(3, 4)]))
        show("list", lambda: list.__repr__(r))
    '''),
    ("instance dict: warm select after a colliding state name", ["select"], r'''
        r = rowsieve([(1, 2), (1, 3), (2, 3)])
        show("warm", lambda: r.select(1, "*"))
        show("warm", lambda: r.select(1, "*"))
        def eq(s, o):
            vars(r).clear()
            gc.collect()
            return False
        vars(r)[collider("_rowsieve__index", eq)] = 0
        show("select", lambda: r.select(1, "*"))
    '''),
    ("instance dict: a colliding key that answers for the index", ["select"], r'''
        r = rowsieve([(1, 2), (1, 3), (2, 3)])
        show("warm", lambda: r.select(1, "*"))
        show("warm", lambda: r.select(1, "*"))
        armed = []
        planted = {(0,): {1: ["planted"]}}
        plant_before(vars(r), "_rowsieve__index", collider("_rowsieve__index", lambda s, o: bool(armed)), planted)
        show("select", lambda: r.select(1, "*"))
        armed.append(1)
        show("select", lambda: r.select(1, "*"))
    '''),
    ("instance dict: a colliding key that answers for clean", ["own_call", "append"], r'''
        r = rowsieve([(1, 2)])
        show("warm", lambda: r.append((5, 6)))
        armed = []
        vars(r)[collider("clean", lambda s, o: bool(armed))] = lambda: print("instance clean")
        show("append", lambda: r.append((3, 4)))
        armed.append(1)
        show("append", lambda: r.append((7, 8)))
    '''),
    ("index cache: a pattern key with a Python __eq__", ["select"], r'''
        r = rowsieve([(1, 2), (1, 3), (2, 3)])
        show("warm", lambda: r.select(1, "*"))
        show("warm", lambda: r.select(1, "*"))
        calls = []
        class P(tuple):
            __hash__ = tuple.__hash__
            def __eq__(self, other):
                calls.append(other)
                return False
        vars(r)["_rowsieve__index"][P((0,))] = {}
        show("select", lambda: r.select(1, "*"))
        show("select", lambda: r.select(2, "*"))
        print("eq calls", len(calls))
    '''),
    ("keyshelf instance dict: a colliding key that answers for _iteritems_internal", ["sum", "select"], r'''
        d = keyshelf({(1, 2): 1.0, (1, 3): 2.0})
        show("warm", lambda: d.sum(1, "*"))
        armed = []
        def planted(*vals):
            print("planted", vals)
            return iter([((1, 2), 10.0)])
        vars(d)[collider("_iteritems_internal", lambda s, o: bool(armed))] = planted
        show("sum", lambda: d.sum(1, "*"))
        armed.append(1)
        show("sum", lambda: d.sum(1, "*"))
        show("select", lambda: d.select(1, "*"))
        def eq(s, o):
            vars(d).clear()
            gc.collect()
            return False
        e = keyshelf({(1, 2): 1.0})
        e.sum()
        vars(e)[collider("_keyshelf__pos", eq)] = 0
        show("sum", lambda: e.sum())
    '''),
    ("operator module: a colliding key frees the cache a warm select holds", ["select", "itemgetter"], r'''
        r = rowsieve([(1, 2), (1, 3), (2, 3)])
        show("warm", lambda: r.select(1, "*"))
        show("warm", lambda: r.select(1, "*"))
        def eq(s, o):
            r.clean()
            gc.collect()
            return False
        vars(operator)[collider("itemgetter", eq)] = 0
        show("select", lambda: r.select(1, "*"))
        show("select", lambda: r.select(2, "*"))
    '''),
    ("operator module: a colliding key that answers for itemgetter", ["itemgetter"], r'''
        warm = rowsieve([(1, 2), (1, 3)])
        show("warm", lambda: warm.select(1, "*"))
        armed = []
        real = operator.itemgetter
        def fake(*args):
            print("fake itemgetter", args)
            return real(*args)
        plant_before(vars(operator), "itemgetter", collider("itemgetter", lambda s, o: bool(armed)), fake)
        r = rowsieve([(1, 2), (1, 3), (2, 3)])
        show("select", lambda: r.select(1, "*"))
        armed.append(1)
        r.clean()
        show("select", lambda: r.select(2, "*"))
    '''),
    ("module globals: a colliding key that answers for rowsieve", ["new_empty"], r'''
        r = rowsieve([(1, 2), (1, 3)])
        show("warm", lambda: r.select(5, "*"))
        armed = []
        def factory(*args):
            print("factory", args)
            return rowsieve(*args)
        plant_before(vars(rs), "rowsieve", collider("rowsieve", lambda s, o: bool(armed)), factory)
        show("empty", lambda: r.select(5, "*"))
        armed.append(1)
        show("empty", lambda: r.select(6, "*"))
        r.clean()
        show("bucket", lambda: r.select(1, "*"))
    '''),
    ("module globals: a colliding key that answers for _isstr", ["select"], r'''
        r = rowsieve([(1, 2), (1, 3)])
        show("warm", lambda: r.select(1, "*"))
        show("warm", lambda: r.select(1, "*"))
        armed = []
        def isstr(v):
            raise RuntimeError("planted _isstr")
        plant_before(vars(rs), "_isstr", collider("_isstr", lambda s, o: bool(armed)), isstr)
        show("select", lambda: r.select(1, "*"))
        armed.append(1)
        show("select", lambda: r.select(1, "*"))
    '''),
    # ---- keys whose hashing or comparison is Python code -----------------------
    ("keyshelf walk: keys with a Python __hash__, traced", ["sum"], r'''
        from dataclasses import dataclass

        @dataclass(frozen=True)
        class K:
            a: int
            b: int
        d = keyshelf({K(i, j): i * 2 + j for i in range(3) for j in range(2)})
        show("warm", lambda: d.sum())
        calls = []
        def tracer(frame, event, arg):
            if event == "call" and frame.f_code.co_name == "__hash__":
                calls.append(1)
        sys.settrace(tracer)
        total = d.sum()
        sys.settrace(None)
        print("sum", total, "hash calls", len(calls))
    '''),
    ("keyshelf walk: a key whose hash changed after insertion", ["sum", "select"], r'''
        class K:
            def __init__(self, h):
                self.h = h
            def __hash__(self):
                return self.h
            def __repr__(self):
                return "K(%d)" % self.h
        keys = [K(i) for i in range(4)]
        d = keyshelf({k: i for i, k in enumerate(keys)})
        show("warm", lambda: d.sum())
        keys[2].h = 99
        show("sum", lambda: d.sum())
        show("select", lambda: d.select())
    '''),
    ("prod: a coefficient key equal only once", ["prod"], r'''
        d = keyshelf({(1, 2): 2.0, (1, 3): 3.0})
        show("warm", lambda: d.prod({(1, 2): 1.0, (1, 3): 1.0}, 1, "*"))
        class Once(tuple):
            seen = 0
            def __hash__(self):
                return hash(tuple(self))
            def __eq__(self, other):
                Once.seen += 1
                return Once.seen == 1
        c = {Once((1, 2)): 10.0}
        show("prod", lambda: d.prod(c, 1, "*"))
        print("eq calls", Once.seen)
    '''),
    ("extend: a released cache's __del__ appends to the batch", ["extend"], r'''
        r = rowsieve([(0, 0)])
        r.extend([(0, 1)])
        batch = [(1, i) for i in range(300)]
        class Hook:
            def __del__(self):
                batch.append((2, 2))
        r.select(0, "*")
        vars(r)["_rowsieve__index"][(99,)] = Hook()
        r.extend(batch)
        print(len(r), r[-1])
    '''),
    # ---- the attributes of the class's own functions ---------------------------
    ("function attributes: __init__'s defaults", ["bucket", "new_empty"], r'''
        r = rowsieve([(1, 2), (1, 3)])
        show("warm", lambda: r.select(1, "*"))
        show("warm", lambda: r.select(5, "*"))
        rowsieve.__init__.__defaults__ = ([], "#")
        r.clean()
        b = r.select(1, "*")
        show("bucket wild", lambda: b.select("#", 3))
        show("empty wild", lambda: vars(r.select(7, "*")).get("_rowsieve__wild"))
        rowsieve.__init__.__defaults__ = None
        r.clean()
        show("select", lambda: r.select(1, "*"))
        show("select", lambda: r.select(7, "*"))
        show("construct", lambda: rowsieve())
    '''),
    # ---- profile and trace functions set mid-operation -------------------------
    ("profiler set from a term's __iadd__", ["sum"], r'''
        import varnokpy._core as core
        class Acc:
            def __init__(self):
                self.n = 0
            def __iadd__(self, other):
                self.n += 1
                if self.n == 2:
                    sys.setprofile(prof)
                return self
        d = keyshelf({(i, j): i * j for i in range(3) for j in range(3)})
        show("warm", lambda: d.sum(1, "*"))
        ks.LinExpr = Acc
        d.sum("*", 1)
        sys.setprofile(None)
        for e in events:
            print(e)
    '''),
    ("profiler set while prod passes over a key", ["prod"], r'''
        class Trap(tuple):
            __hash__ = tuple.__hash__
            def __eq__(self, other):
                sys.setprofile(prof)
                return False
        d = keyshelf({(0, j): float(j) for j in range(4)})
        show("warm", lambda: d.prod({(0, 0): 1.0}, 0, "*"))
        c = {(0, 0): 1.0, Trap((0, 1)): 2.0, (0, 2): 3.0, (0, 3): 4.0}
        total = d.prod(c, 0, "*")
        sys.setprofile(None)
        print("prod", total)
        for e in events:
            print(e)
    '''),
    ("profiler set from a key's __hash__ during select", ["select"], r'''
        class K:
            armed = False
            def __init__(self, v):
                self.v = v
            def __hash__(self):
                if K.armed:
                    K.armed = False
                    sys.setprofile(prof)
                return hash(self.v)
            def __eq__(self, other):
                return isinstance(other, K) and self.v == other.v
        d = keyshelf({K(i): i for i in range(4)})
        show("warm", lambda: d.select())
        K.armed = True
        values = d.select()
        sys.setprofile(None)
        print("select", values)
        for e in events:
            print(e)
    '''),
    ("traceback name changed mid-walk", ["sum"], r'''
        import traceback
        d = keyshelf({(i, j): i for i in range(3) for j in range(3)})
        show("warm", lambda: d.sum(1, "*"))
        class Acc:
            n = 0
            def __iadd__(self, other):
                Acc.n += 1
                if Acc.n == 1:
                    keyshelf._iteritems_internal.__name__ = "renamed"
                    del d[(2, 2)]
                return self
        ks.LinExpr = Acc
        try:
            d.sum("*", 2)
        except Exception as e:
            print([f.name for f in traceback.extract_tb(e.__traceback__)][1:], type(e).__name__)
    '''),
    # ---- half-built objects found through gc ----------------------------------
    ("an unfinished bucket found through gc", ["index_build"], r'''
        found = []
        class K:
            def __init__(self, v):
                self.v = v
            def __hash__(self):
                if not found:
                    for o in gc.get_objects():
                        if type(o) is rowsieve and o is not r and len(o) == 1 and o[0] == (1, "e"):
                            found.append(o)
                            print("found", list(o), o.select("*", "d"))
                return hash(self.v)
            def __eq__(self, other):
                return isinstance(other, K) and self.v == other.v
        r = rowsieve([(1, "e"), (2, "d"), (1, "d")])
        show("warm", lambda: r.select(2, "*"))
        r.insert(1, (K(0), "f"))
        b = r.select(1, "*")
        print(list(b))
        show("b", lambda: b.select("*", "d"))
        show("found", lambda: found[0].select("*", "d") if found else None)
    '''),
    # ---- the recursion limit ---------------------------------------------------
    ("the depth a call needs", ["select", "new_empty", "append"], r'''
        r = rowsieve([(1, 2), (1, 3)])
        d = keyshelf({(1, 2): 1, (1, 3): 2})
        ops = {"select": lambda: r.select(1, "*"), "empty": lambda: r.select(4, "*"),
               "keyshelf select": lambda: d.select(1, "*"), "construct": lambda: rowsieve([(1, 2)]),
               "append": lambda: r.append((1, 4)), "sum": lambda: d.sum(1, "*")}
        for name, op in ops.items():
            op(); op()
            def at(depth):
                if depth > 1:
                    return at(depth - 1)
                op()
            need = None
            for limit in range(1, 200):
                try:
                    sys.setrecursionlimit(limit)
                except RecursionError:
                    continue
                try:
                    at(1)
                except RecursionError:
                    continue
                finally:
                    sys.setrecursionlimit(1000)
                base = limit
                break
            print(name, "ok at", base)
    '''),
    ("a generator's name after its function is renamed", [], r'''
        d = keyshelf({(1, 2): 1, (1, 3): 2})
        g = keyshelf.iteritems(d, "*", "*")
        next(g)
        keyshelf.iteritems.__name__ = "x" * 40 + "renamed"
        g.__name__ = "y" * 40 + "renamed"
        gc.collect()
        for i in range(1000):
            "y" * 47
        del d[(1, 3)]
        try:
            list(g)
        except Exception as e:
            import traceback
            print([f.name for f in traceback.extract_tb(e.__traceback__)], type(e).__name__)
    '''),
]


@pytest.mark.parametrize("name,attacked,body", SCENARIOS, ids=[s[0] for s in SCENARIOS])
def test_shortcut_and_steps_agree_under_attack(name, attacked, body):
    on, counts = run(body, True)
    off, off_counts = run(body, False)
    assert on == off
    assert not any(off_counts.values())
    if SHORTCUTS and attacked:
        assert any(counts.get(a, 0) for a in attacked), (attacked, counts)
