"""rowsieve under hostile callbacks.

The systematic group (the harness of hostile.py): members, wildcards and
arguments whose dunders clear, mutate or clean the list, rebind module
globals, corrupt a cache, raise or re-enter, driven through every operation.

Then members whose __hash__, __eq__, __str__ or __len__ change the list, clean
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

from hostile import run_group

ROWSIEVE = r'''
LAYOUT = sys.argv[1]
if LAYOUT == "tuple":
    member = lambda i: (Evil(i), i % 3)
else:
    member = lambda i: Evil(i)


def build():
    return rowsieve([member(i) for i in range(8)])


def ids(seq):
    return [id(m) for m in seq]


def check(r):
    r.clean()
    items = list(r)
    assert r.select() is r
    for m in items:
        assert m in r
    assert (member(1000) in r) is False
    # Selections are checked where the operation left members that agree
    # with the mode (base-list operations may not).
    uniform = all(type(m) is tuple and len(m) == 2 for m in items)
    if LAYOUT == "tuple" and uniform and r._rowsieve__scalar is False and r._rowsieve__tuplelen == 2:
        wild = r._rowsieve__wild
        for j in range(3):
            assert ids(r.select(wild, j)) == ids(m for m in items if m[1] == j)
        for m in items[:3]:
            assert ids(r.select(m[0])) == ids(x for x in items if x[0] == m[0])
        assert repr(r).count("\n") == len(items) + 1 if items else repr(r) == "[]"
    if LAYOUT == "scalar" and r._rowsieve__scalar is True and not any(type(m) is tuple for m in items):
        for m in items[:3]:
            assert ids(r.select(m)) == ids(x for x in items if x == m)
    if items and len(set(items)) == len(items):
        for i, m in enumerate(items):
            assert r.nextc(m) is items[(i + 1) % len(items)]
            assert r.prevc(m) is items[i - 1]


def cached(r):
    """Builds every cache first, so that the operation meets warm caches."""
    r.select(r[0][0] if LAYOUT == "tuple" else r[0])
    r[0] in r
    for nav in (r.next, r.prev, r.nextc, r.prevc):
        try:
            nav(r[1])
        except KeyError:
            pass
    return r


def stale_clean(r):
    cached(r)
    list.__setitem__(r, 0, member(94))     # the old first member lives on in the caches only
    list.__delitem__(r, 1)
    return r.clean()


def wild_select(r):
    r._rowsieve__wild = Evil(-1)
    return r.select(Evil(1), *([Evil(-1)] if LAYOUT == "tuple" else []))


OPS = {
    "select-value": (lambda r: r.select(Evil(2)), rowsieve),
    "select-cached": (lambda r: cached(r).select(Evil(2)), rowsieve),
    "select-second-field": (lambda r: r.select("*", 1), rowsieve),
    "select-alternatives": (lambda r: r.select([Evil(1), [Evil(2), ()], Evil(1)]), rowsieve),
    "select-iterable-argument": (lambda r: r.select(EvilSeq(0, [Evil(3), Evil(4)])), rowsieve),
    "select-custom-wildcard": (wild_select, rowsieve),
    "select-member-length": (lambda r: (list.__setitem__(r, 0, EvilSeq(0, [Evil(0), 0])), r.select("*", 0)), None),
    "in": (lambda r: r[3] in r, bool),
    "in-cached": (lambda r: Evil(99) in cached(r), bool),
    "next": (lambda r: r.next(r[2]), None),
    "prev": (lambda r: r.prev(r[2]), None),
    "nextc": (lambda r: r.nextc(r[7]), None),
    "prevc-cached": (lambda r: cached(r).prevc(r[0]), None),
    "repr": (lambda r: repr(r), str),
    "repr-iterable-member": (lambda r: (list.__setitem__(r, 1, EvilSeq(1, [Evil(1), 1])), repr(r)), None),
    "append": (lambda r: r.append(member(90)), type(None)),
    "extend": (lambda r: r.extend([member(91), member(92)]), type(None)),
    "extend-iterable": (lambda r: r.extend(EvilSeq(0, [member(93)])), type(None)),
    "extend-list-subclass": (lambda r: r.extend(EvilList([member(94), member(95)])), type(None)),
    "construct-from-iterable": (lambda r: rowsieve(EvilSeq(0, list(r))), rowsieve),
    "insert": (lambda r: r.insert(1, member(96)), type(None)),
    "pop": (lambda r: r.pop(0), None),
    "remove": (lambda r: r.remove(member(4)), type(None)),
    "delitem": (lambda r: r.__delitem__(0), type(None)),
    "delitem-slice": (lambda r: r.__delitem__(slice(1, 4)), type(None)),
    "delslice": (lambda r: r.__delslice__(0, 2), type(None)),
    "add": (lambda r: r + [member(97)], rowsieve),
    "iadd": (lambda r: r.__iadd__(EvilList([member(98)])), rowsieve),
    "getslice": (lambda r: r.__getslice__(1, 5), rowsieve),
    "clean-drops-stale-caches": (stale_clean, type(None)),
}

ACTION_SET = shared_actions(
    mutate=[lambda r: r.append(member(50)), lambda r: list.insert(r, 0, member(51))],
    clear=[lambda r: r.__delitem__(slice(None)), lambda r: list.clear(r)],
    clean=lambda r: r.clean(),
    rebinds={
        "class": lambda: setattr(rs, "rowsieve", SubRowsieve),
        "helpers": lambda: (setattr(rs, "_isstr", lambda v: False),
                            setattr(rs, "operator", types.SimpleNamespace(itemgetter=operator.itemgetter))),
        "delete": lambda: (vars(rs).pop("operator", None), vars(rs).pop("rowsieve", None)),
    },
    corrupt=lambda r: (r._rowsieve__index.clear(), setattr(r, "_rowsieve__contents", {}),
                       setattr(r, "_rowsieve__nextc", {})),
)

for name, (op, result_type) in OPS.items():
    scenario(name, build, op, ACTION_SET, check, result_type)
finish()
'''


@pytest.mark.parametrize("layout", ["tuple", "scalar"])
def test_rowsieve_under_hostile_members(layout):
    fired = run_group(ROWSIEVE, layout)
    assert all(fired[kind] for kind in ("hash", "eq", "ne", "len", "iter", "str", "del")), fired


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
