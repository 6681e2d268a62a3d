"""Members whose __hash__, __eq__, __str__ or __len__ change the list, clean
it or raise while an index, the membership map, a neighbour map or the table
is built. Each action runs in a subprocess against every operation: the
process must not crash, each operation must give a value or an exception, and
afterwards every cache that is filled must describe the list as it is, unless
the action changed the list through the base list alone (which, as
documented, leaves the caches describing the old contents)."""
import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT = r'''
import sys
from varnokpy._rowsieve import rowsieve

ACTION = sys.argv[1]
armed = [0]


class Hostile:
    """A field or member that acts on `target` the first few times it is
    hashed, compared, printed or measured."""

    def __init__(self, v):
        self.v = v

    def act(self):
        if armed[0] <= 0:
            return
        armed[0] -= 1
        r = target[0]
        if ACTION == "clear":
            list.clear(r)
        elif ACTION == "grow":
            list.extend(r, [r[0] if len(r) else (Hostile(0), 0)] * 64)   # the storage moves
        elif ACTION == "append":
            r.append(r[0] if len(r) else (Hostile(0), 0))
        elif ACTION == "clean":
            r.clean()
        elif ACTION == "delete":
            del r[:]
        elif ACTION == "drop":
            vars(r).clear()
        elif ACTION == "reverse":
            list.reverse(r)
        elif ACTION == "raise":
            raise RuntimeError("hostile")

    def __hash__(self):
        self.act()
        return hash(self.v)

    def __eq__(self, other):
        self.act()
        return self.v == (other.v if isinstance(other, Hostile) else other)

    def __str__(self):
        self.act()
        return "H%s" % self.v

    def __len__(self):
        self.act()
        return 2

    __repr__ = __str__


def tuples():
    return rowsieve([(Hostile(i % 7), i) for i in range(40)])


def scalars():
    return rowsieve([Hostile(i) for i in range(40)])


def first_len():
    r = rowsieve([Hostile(1), Hostile(2)])
    r._rowsieve__scalar = False          # the first member is measured with len()
    return r


OPERATIONS = {
    "index build": (tuples, lambda r: r.select(Hostile(3), "*")),
    "index query": (tuples, lambda r: (r.select(3, "*"), r.select(Hostile(3), "*"))),
    "alternatives": (tuples, lambda r: r.select([Hostile(1), Hostile(2), 3], "*")),
    "pattern of two": (tuples, lambda r: r.select(Hostile(4), 4)),
    "scalar index": (scalars, lambda r: r.select(Hostile(5))),
    "membership": (tuples, lambda r: (Hostile(1), 1) in r),
    "scalar membership": (scalars, lambda r: Hostile(5) in r),
    "next": (scalars, lambda r: r.next(Hostile(3))),
    "prev": (tuples, lambda r: r.prev((Hostile(3), 3))),
    "nextc": (scalars, lambda r: r.nextc(Hostile(39))),
    "prevc": (scalars, lambda r: r.prevc(Hostile(0))),
    "table": (tuples, repr),
    "remove": (scalars, lambda r: r.remove(Hostile(9))),
    "makeindex": (tuples, lambda r: r._rowsieve__makeindex(lambda x: x[0])),
    "first length": (first_len, lambda r: r.select(1, 2)),
}


def check(r):
    """Every filled cache describes the current members."""
    armed[0] = 0
    if not isinstance(vars(r).get("_rowsieve__index"), dict):
        return
    members = list(r)
    contents = r._rowsieve__contents
    if contents is not None:
        assert contents == dict.fromkeys(members, True), "membership map"
    for name in ("next", "prev", "nextc", "prevc"):
        cache = getattr(r, "_rowsieve__" + name)
        if cache:
            fresh = rowsieve()
            list.extend(fresh, members)
            try:
                getattr(fresh, name)(members[0])
            except KeyError:
                pass
            assert cache == getattr(fresh, "_rowsieve__" + name), name
    for pattern, field_index in r._rowsieve__index.items():
        def key(m):
            return m if r._rowsieve__scalar else tuple(m[p] for p in pattern)
        for k, bucket in field_index.items():
            k = k if len(pattern) > 1 or r._rowsieve__scalar else (k,)
            assert list(bucket) == [m for m in members if key(m) == k], pattern


for name, (make, op) in OPERATIONS.items():
    for fires in (1, 3, 1000):
        r = make()
        target = [r]
        armed[0] = fires
        try:
            op(r)
        except Exception:
            pass
        if ACTION not in ("clear", "grow", "reverse", "drop"):
            check(r)
        # The list stays usable.
        armed[0] = 0
        r.clean()
        try:
            r.select("*")
            repr(r)
        except Exception:
            pass
    print(name, flush=True)
print("done")
'''

ACTIONS = ["clear", "grow", "append", "clean", "delete", "drop", "reverse", "raise"]


@pytest.mark.parametrize("action", ACTIONS)
def test_hostile_members_never_crash_or_corrupt(action):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(SCRIPT), action], capture_output=True, text=True,
                         env=env, timeout=300)
    assert out.returncode == 0, out.stdout[-2000:] + out.stderr[-3000:]
    assert out.stdout.strip().endswith("done")


def test_clean_during_a_build_publishes_nothing():
    from varnokpy._rowsieve import rowsieve

    class Cleaner:
        def __init__(self, v):
            self.v = v

        def __hash__(self):
            if target:
                target[0].clean()
            return hash(self.v)

        def __eq__(self, other):
            return self.v == getattr(other, "v", other)

    target = []
    r = rowsieve([(Cleaner(1), 1), (Cleaner(2), 2)])
    s = rowsieve([Cleaner(1), Cleaner(2)])
    target.append(r)
    assert r.select(1, "*") == [(r[0][0], 1)]   # answered from the index it built ...
    assert r._rowsieve__index == {}             # ... which was not stored
    assert (r[1][0], 2) in r and r._rowsieve__contents is None
    target[0] = s
    assert s.next(1) is s[1] and s._rowsieve__next == {}
    assert s.prevc(1) is s[0] or s.prevc(1) is s[1]


def test_hostile_str_emptying_the_list_during_the_table():
    from varnokpy._rowsieve import rowsieve

    class Emptier:
        def __str__(self):
            list.clear(r)
            return "e"

    r = rowsieve([(Emptier(), 1), (Emptier(), 2)])
    text = repr(r)
    assert text.startswith("<varnok.rowsieve (2 tuples, 2 values each):\n") and text.endswith(">")
    assert r == []
