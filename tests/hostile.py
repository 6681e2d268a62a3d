"""The harness of the systematic hostile-callback tests.

Members, keys, values, coefficients, wildcards and printed sides whose
`__hash__`, `__eq__`, `__ne__`, `__len__`, `__iter__`, `__str__`/`__repr__`,
`__mul__`/`__rmul__` or `__del__` act on the very container while one of its
operations runs: they clear or mutate it (through its own methods and through
the base type's), call `clean()`, rebind or delete module globals, corrupt a
cache, raise, re-enter the operation, or recurse without end. Every operation
of every module that hashes, compares, measures, prints or iterates user
objects is driven through every kind of callback and every action.

Each scenario must end in a Python exception (never a SystemError, the sign of
a broken native return) or a result of the right type, and must leave the
container usable: after `clean()`, its queries answer consistently with its
current contents. The scenarios run in subprocesses, one per group, so a crash
fails one test and names its scenario (printed before it runs).

`run_group(body, *args)` runs HARNESS followed by a group's body (the
targets, operations and actions of one module) in a subprocess; the body
calls `scenario(...)` for each operation and then `finish()`."""
import os
import subprocess
import sys
import textwrap

import pytest

import varnokpy

SRC = os.path.dirname(os.path.dirname(varnokpy.__file__))

HARNESS = r'''
import gc, itertools, operator, sys, types, warnings
sys.setrecursionlimit(350)
warnings.simplefilter("ignore")
import varnokpy._rowsieve as rs, varnokpy._keyshelf as ks, varnokpy._draftrel as dr, varnokpy.warpmath as wm
from varnokpy._rowsieve import rowsieve
from varnokpy._keyshelf import keyshelf
from varnokpy._draftrel import DraftRel
from varnokpy._vrk import VRK
from varnokpy._core import NLExpr, Var, _ExprTree
from varnokpy._matrixapi import MVar

KINDS = ["hash", "eq", "ne", "len", "iter", "str", "mul", "del"]
state = {"kind": None, "shots": 0, "action": None, "fired": 0}


class Hostile(Exception):
    pass


def fire(kind):
    if state["kind"] == kind and state["shots"] > 0:
        state["shots"] -= 1
        state["fired"] += 1
        state["action"]()


class Evil:
    """A hashable value that runs the armed action from its dunders."""

    def __init__(self, v):
        self.v = v

    def __hash__(self):
        fire("hash")
        return hash(self.v)

    def __eq__(self, other):
        fire("eq")
        return isinstance(other, Evil) and self.v == other.v

    def __ne__(self, other):
        fire("ne")
        return not (isinstance(other, Evil) and self.v == other.v)

    def __str__(self):
        fire("str")
        return "E%s" % (self.v,)

    def __repr__(self):
        fire("str")
        return "Evil(%r)" % (self.v,)

    def __mul__(self, other):
        fire("mul")
        return 2.0

    __rmul__ = __mul__

    def __del__(self):
        fire("del")


class EvilSeq(Evil):
    """An Evil that is also a sequence: measured and iterated."""

    def __init__(self, v, items=()):
        super().__init__(v)
        self.items = list(items)

    def __len__(self):
        fire("len")
        return len(self.items)

    def __iter__(self):
        fire("iter")
        return iter(list(self.items))

    def __getitem__(self, i):
        fire("len")
        return self.items[i]


class EvilList(list):
    """A list subclass, used directly (not copied) where lists are taken."""

    def __len__(self):
        fire("len")
        return list.__len__(self)

    def __iter__(self):
        fire("iter")
        return list.__iter__(list(self))

    def __getitem__(self, i):
        fire("len")
        return list.__getitem__(self, i)


class EvilDict(dict):
    def __len__(self):
        fire("len")
        return dict.__len__(self)

    def __iter__(self):
        fire("iter")
        return iter(list(dict.keys(self)))

    def items(self):
        fire("iter")
        return list(dict.items(self))

    def __contains__(self, k):
        fire("eq")
        return dict.__contains__(self, k)


class Acc:
    """The accumulator of sums: takes any term."""

    def __iadd__(self, term):
        return self


class SubRowsieve(rowsieve):
    pass


class SubKeyshelf(keyshelf):
    pass


MODULES = [rs, ks, dr, wm]
SAVED = [dict(vars(m)) for m in MODULES]
ks.LinExpr = Acc
SAVED[1]["LinExpr"] = Acc


def restore():
    keyshelf._legacy_keyshelf_behavior = False
    for m, saved in zip(MODULES, SAVED):
        ns = vars(m)
        for k in [k for k in ns if k not in saved]:
            del ns[k]
        for k, v in saved.items():
            if ns.get(k, saved) is not v:
                ns[k] = v


failures, counts, fired_counts = [], {}, {}
unraisable = set()
sys.unraisablehook = lambda u: unraisable.add(u.exc_type)


def scenario(name, build, op, actions, check, result_type=None):
    """Runs `op` on a fresh target for every kind, action and shot count."""
    for kind in KINDS:
        for action_name, make_action in actions.items():
            for shots in (1, 3):
                label = "%s|%s|%s|%d" % (name, kind, action_name, shots)
                print(label, flush=True)
                target = build()
                if action_name == "recurse":
                    shots = 400     # deeper than the recursion limit; bounded, since a
                                    # `__del__` re-entry can fan out without end
                again = lambda: op(target)
                state.update(kind=kind, shots=shots, action=make_action(target, again), fired=0)
                outcome = None
                try:
                    try:
                        result = op(target)
                        # A rebound global may legitimately change what is returned.
                        checked = result_type is not None and not action_name.startswith("rebind")
                        if checked and not isinstance(result, result_type):
                            outcome = "wrong result type %r" % type(result)
                        del result
                    except SystemError as e:
                        outcome = "SystemError: %s" % e
                    except (Exception, RecursionError):
                        pass
                    fired = state["fired"]
                    state.update(kind=None, shots=0)
                    restore()
                    if outcome is None:
                        check(target)
                except Exception as e:
                    outcome = outcome or "inconsistent afterwards: %r" % (e,)
                finally:
                    state.update(kind=None, shots=0)
                    restore()
                if outcome:
                    failures.append("%s: %s" % (label, outcome))
                counts[kind] = counts.get(kind, 0) + 1
                fired_counts[kind] = fired_counts.get(kind, 0) + (1 if fired else 0)
                del target
    gc.collect()


def finish():
    if SystemError in unraisable:
        failures.append("SystemError reported as unraisable")
    print("RESULT", sum(counts.values()), sum(fired_counts.values()),
          " ".join("%s=%d/%d" % (k, fired_counts.get(k, 0), counts[k]) for k in KINDS if k in counts))
    for f in failures[:40]:
        print("FAIL", f)
    sys.exit(1 if failures else 0)


def raising():
    raise Hostile("callback")


def shared_actions(mutate, clear, clean, rebinds, corrupt):
    """The actions of every group: each maker takes the target and the
    re-entry of the operation, and gives the callback's action."""
    actions = {
        "clear": lambda t, again: lambda: clear[0](t),
        "clear-base": lambda t, again: lambda: clear[1](t),
        "mutate": lambda t, again: lambda: mutate[0](t),
        "mutate-base": lambda t, again: lambda: mutate[1](t),
        "clean": lambda t, again: lambda: clean(t),
        "corrupt": lambda t, again: lambda: corrupt(t),
        "raise": lambda t, again: raising,
        "reenter": lambda t, again: again,
        "recurse": lambda t, again: again,
    }
    for name, rebind in rebinds.items():
        actions["rebind-" + name] = (lambda rebind: lambda t, again: rebind)(rebind)
    return actions
'''


def run_group(body, *args):
    path = os.pathsep.join(p for p in (SRC, os.environ.get("PYTHONPATH")) if p)
    proc = subprocess.run([sys.executable, "-c", HARNESS + textwrap.dedent(body), *args], capture_output=True,
                          text=True, env={**os.environ, "PYTHONPATH": path}, timeout=900)
    lines = proc.stdout.splitlines()
    result = [line for line in lines if line.startswith("RESULT")]
    if proc.returncode != 0 and not result:
        pytest.fail("crashed (exit %d) in scenario %s\n%s" % (proc.returncode, lines[-1] if lines else "?",
                                                               proc.stderr[-3000:]))
    failures = [line for line in lines if line.startswith("FAIL")]
    assert not failures, "\n".join(failures)
    assert proc.returncode == 0, proc.stderr[-3000:]
    fired = {}
    for field in result[0].split()[3:]:
        kind, ratio = field.split("=")
        fired[kind] = int(ratio.split("/")[0])
    return fired
