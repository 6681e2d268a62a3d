"""Property tests: `rowsieve.select` against a brute-force matcher, random
sequences of mutations and queries on `rowsieve` and `keyshelf` against a
small model of their rules, and `sum`/`prod` against the terms they must add.

Each property runs on the exact classes (the native fast paths) and on
subclasses or shadowed methods (the general paths)."""
import types

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import varnokpy._keyshelf as ks
from varnokpy._keyshelf import keyshelf
from varnokpy._rowsieve import rowsieve

MIX = "Cannot mix scalar and tuple values in a rowsieve"
LENGTH = "All tuples in a rowsieve must be the same length"
SELF = object()   # "the list itself"


class SubRowsieve(rowsieve):
    pass


class SubKeyshelf(keyshelf):
    pass


def ids(seq):
    return [id(x) for x in seq]


def outcome(fn):
    """A call's result, or its exception as (type, message)."""
    try:
        return "ok", fn()
    except (ValueError, IndexError, KeyError, TypeError) as e:
        return "error", (type(e), str(e))


# ---- the matcher ---------------------------------------------------------------

def brute_select(items, vals, wild, scalar, lookup=None):
    """`select(*vals)` on a list holding `items` in the given mode, written
    from the rules: expansion of the first non-string iterable that expands
    without IndexError/TypeError, in order and with duplicates; then the
    position pattern of the arguments unequal to the wildcard; keys compared
    as dictionary keys. `lookup(pattern)` gives the members an index for
    `pattern` is built from (the current items unless a cache is modelled)."""
    for k, v in enumerate(vals):
        if isinstance(v, str):
            continue
        try:
            gathered = []
            for alternative in v:
                sub = brute_select(items, vals[:k] + (alternative,) + vals[k + 1:], wild, scalar, lookup)
                gathered.extend(items if sub is SELF else sub)
            return gathered
        except (IndexError, TypeError):
            continue
    pattern = tuple(k for k, v in enumerate(vals) if v != wild)
    if scalar:
        if len(vals) > 1:
            raise IndexError("Too many indices for rowsieve with scalar keys")
    elif items and len(items[0]) < len(vals):
        raise IndexError("Too many indices for rowsieve with %d-tuple keys" % len(items[0]))
    if not pattern:
        return SELF

    def key(m):
        if scalar:
            return m
        return m[pattern[0]] if len(pattern) == 1 else tuple(m[k] for k in pattern)

    index = {}
    for m in (lookup(pattern) if lookup else items):
        try:
            index.setdefault(key(m), []).append(m)
        except IndexError:
            pass
    return index.get(vals[0] if scalar else key(vals), [])


FIELDS = [0, 1, 2, 1.0, True, False, "a", "*", None]
fields = st.sampled_from(FIELDS)
# Pattern arguments: values, wildcards, nested lists or tuples of alternatives, empty alternatives.
arguments = st.recursive(
    st.sampled_from([0, 1, 1, 2, 1.0, True, "a", "*", "*", "+", None, 7]),
    lambda inner: st.lists(inner, max_size=3) | st.lists(inner, max_size=3).map(tuple),
    max_leaves=5,
)


@st.composite
def lists_and_patterns(draw):
    if draw(st.booleans()):
        width = draw(st.sampled_from([0, 1, 2, 2, 3]))
        items = draw(st.lists(st.tuples(*[fields] * width), min_size=1, max_size=12))
    else:
        items = draw(st.lists(fields, min_size=1, max_size=12))
    wild = draw(st.sampled_from(["*", "*", "*", None, "+", 0]))
    # Arguments favour the fields of one member, so that patterns match.
    template = draw(st.sampled_from(items)) if items else ()
    own = template if type(template) is tuple else (template,)
    vals = []
    for k in range(draw(st.integers(min(1, len(own)), len(own) + 1))):
        value = own[k] if k < len(own) else 7
        atoms = st.sampled_from([value, value, value, "*", wild, 1, 1.0, True, "a", None])
        vals.append(draw(st.recursive(
            atoms, lambda inner: st.lists(inner, max_size=3) | st.lists(inner, max_size=3).map(tuple), max_leaves=4)))
    vals = tuple(vals)
    return items, wild, vals


@pytest.mark.parametrize("cls", [rowsieve, SubRowsieve])
@settings(max_examples=200, deadline=None)
@given(case=lists_and_patterns())
def test_select_matches_brute_force(cls, case):
    items, wild, vals = case
    r = cls(items, wild=wild)
    scalar = bool(items) and type(items[0]) is not tuple
    expected = outcome(lambda: brute_select(items, vals, wild, scalar))
    for _ in range(2):    # the first call builds the indexes, the second reuses them
        got = outcome(lambda: r.select(*vals))
        if expected[0] == "error":
            assert got == expected
        elif expected[1] is SELF:
            assert got[1] is r
        else:
            assert isinstance(got[1], rowsieve) and ids(got[1]) == ids(expected[1])
    assert ids(r) == ids(items)


# ---- rowsieve under mutations: the model ----------------------------------------

class RowsieveModel:
    """The documented state of a rowsieve: members, mode, and which caches
    are built, each as a snapshot of the members it was built from."""

    def __init__(self, wild):
        self.items, self.wild = [], wild
        self.scalar = self.tuplelen = None
        self.clean()

    def clean(self):
        self.index, self.contents, self.nav = {}, None, {}

    def check_batch(self, batch):
        if not batch:
            return
        if self.scalar is None:
            self.scalar = type(batch[0]) is not tuple
        if any((type(y) is not tuple) != self.scalar for y in batch):
            raise ValueError(MIX)
        if self.scalar:
            return
        if self.tuplelen is None:
            self.tuplelen = len(batch[0])
        if any(len(y) != self.tuplelen for y in batch):
            raise ValueError(LENGTH)

    def add(self, batch, change):
        self.check_batch(batch)
        self.clean()
        change()

    def delete(self, change):
        change()
        if not self.items:
            self.scalar = self.tuplelen = None
        self.clean()

    def fits(self, x):
        """Could a base-list operation add `x` without breaking the mode? (A
        list whose members disagree makes buckets refuse members: not modelled.)"""
        if self.scalar is None:
            return False
        if self.scalar:
            return type(x) is not tuple
        return type(x) is tuple and len(x) == self.tuplelen

    def select(self, vals):
        lookup = lambda pattern: self.index.setdefault(pattern, list(self.items))
        return brute_select(self.items, vals, self.wild, bool(self.scalar), lookup)

    def contains(self, x):
        if self.contents is None:
            self.contents = dict.fromkeys(self.items, True)
        return self.contents.get(x, False)

    def neighbour(self, name, v):
        cache = self.nav.get(name)
        if not cache:
            items = self.items
            pairs = {"next": zip(items[:-1], items[1:]), "prev": zip(items[1:], items[:-1]),
                     "nextc": zip(items, items[1:] + items[:1]), "prevc": zip(items, items[-1:] + items[:-1])}[name]
            cache = dict(pairs)
            if len(cache) < len(items) - (name in ("next", "prev")):
                raise KeyError("Duplicate values in keyshelf")
            self.nav[name] = cache
        return cache[v]

    def text(self):
        if not self.items or self.scalar is not False:
            return str(list(self.items))
        widths = [max(len(str(x)) + 1 for x in column) for column in zip(*self.items)]
        rows = "".join(" ( " + ", ".join(("%%-%is" % widths[i]) % str(x) for i, x in enumerate(k)) + ")\n"
                       for k in self.items)
        return "<varnok.rowsieve (%d tuples, %d values each):\n%s>" % (len(self.items), self.tuplelen, rows)


members = st.one_of(st.tuples(st.integers(0, 1), st.integers(0, 2)), st.integers(0, 2), st.just("a"),
                    st.tuples(st.integers(0, 1)), st.tuples(st.integers(0, 1), st.integers(0, 1)))
positions = st.integers(-4, 4)
# Queries and base-list changes come first: between two cleans they meet caches
# that describe older contents.
row_steps = st.one_of(
    st.tuples(st.sampled_from(["in", "next", "prev", "nextc", "prevc"]), positions, members),
    st.tuples(st.just("select"), st.lists(arguments, max_size=3)),
    st.tuples(st.sampled_from(["base_clear", "base_setitem", "base_append", "base_reverse"]), positions, members),
    st.tuples(st.sampled_from(["repr", "clean"])),
    st.tuples(st.sampled_from(["remove", "insert", "append"]), positions, members),
    st.tuples(st.sampled_from(["extend", "extend_iter", "iadd", "add"]), st.lists(members, max_size=3)),
    st.tuples(st.sampled_from(["pop", "delitem"]), positions),
    st.tuples(st.sampled_from(["delslice", "delitem_slice", "getslice"]), positions, positions),
)


def apply_row_step(r, m, step):
    """Runs one step on the rowsieve and the model; returns both outcomes."""
    name, *args = step
    items = m.items
    if name in ("append", "insert"):
        x = args[1]
        real = outcome(lambda: r.append(x) if name == "append" else r.insert(args[0], x))
        return real, outcome(lambda: m.add([x], lambda: items.append(x) if name == "append"
                                            else items.insert(args[0], x)))
    if name in ("extend", "extend_iter", "iadd"):
        batch = list(args[0])
        real = outcome(lambda: {"extend": lambda: r.extend(batch), "extend_iter": lambda: r.extend(iter(batch)),
                                "iadd": lambda: r.__iadd__(batch) is r}[name]())
        return real, outcome(lambda: m.add(batch, lambda: items.extend(batch)) or (True if name == "iadd" else None))
    if name == "add":
        batch = list(args[0])
        real = outcome(lambda: ids(r + batch) == ids(items + batch) and (r + batch)._rowsieve__wild is m.wild)
        probe = RowsieveModel(m.wild)
        return real, outcome(lambda: probe.check_batch(items + batch) or True)
    if name == "getslice":
        sliced = r.__getslice__(*args)
        return (ids(sliced), type(sliced), sliced._rowsieve__wild is m.wild), (ids(items[args[0]:args[1]]),
                                                                              rowsieve, True)
    if name in ("pop", "delitem", "remove", "delslice", "delitem_slice"):
        real = outcome({"pop": lambda: r.pop(args[0]), "delitem": lambda: r.__delitem__(args[0]),
                        "remove": lambda: r.remove(args[1]), "delslice": lambda: r.__delslice__(*args),
                        "delitem_slice": lambda: r.__delitem__(slice(*args))}[name])
        change = {"pop": lambda: items.pop(args[0]), "delitem": lambda: items.__delitem__(args[0]),
                  "remove": lambda: items.remove(args[1]), "delslice": lambda: items.__delitem__(slice(*args)),
                  "delitem_slice": lambda: items.__delitem__(slice(*args))}[name]
        result = []
        modelled = outcome(lambda: m.delete(lambda: result.append(change())) or result[0])
        if real[0] == modelled[0] == "error":   # the base list's own messages
            return real[1][0], modelled[1][0]
        return (real[0], ids([real[1]])), (modelled[0], ids([modelled[1]]))
    if name in ("base_append", "base_setitem"):
        x = args[1]
        if not m.fits(x) or (name == "base_setitem" and not -len(items) <= args[0] < len(items)):
            return None, None
        if name == "base_append":
            list.append(r, x)
            items.append(x)
        else:
            list.__setitem__(r, args[0], x)
            items[args[0]] = x
        return None, None
    if name in ("base_reverse", "base_clear"):
        getattr(list, name[5:])(r)
        getattr(items, name[5:])()
        return None, None
    if name == "clean":
        r.clean()
        m.clean()
        return None, None
    if name == "in":
        return outcome(lambda: args[1] in r), outcome(lambda: m.contains(args[1]))
    if name in ("next", "prev", "nextc", "prevc"):
        real = outcome(lambda: getattr(r, name)(args[1]))
        modelled = outcome(lambda: m.neighbour(name, args[1]))
        return real[:1] + (ids([real[1]]) if real[0] == "ok" else real[1],), \
            modelled[:1] + (ids([modelled[1]]) if modelled[0] == "ok" else modelled[1],)
    if name == "repr":
        return outcome(lambda: repr(r)), outcome(m.text)
    assert name == "select"
    vals = tuple(args[0])
    real, modelled = outcome(lambda: r.select(*vals)), outcome(lambda: m.select(vals))
    if real[0] == modelled[0] == "ok":
        if modelled[1] is SELF:
            return real[1] is r, True
        return ids(real[1]), ids(modelled[1])
    return real, modelled


@pytest.mark.parametrize("cls", [rowsieve, SubRowsieve])
@settings(max_examples=150, deadline=None)
# Caches met after base-list changes, spelled out (random sequences reach them rarely).
@example(start=[(0, 0), (1, 1), (0, 2)], wild="*",
         steps=[("in", 0, (0, 0)), ("select", [0]), ("nextc", 0, (0, 0)), ("base_append", 0, (0, 1)),
                ("base_reverse", 0, (0, 0)), ("in", 0, (0, 0)), ("in", 0, (0, 1)), ("select", [0]),
                ("nextc", 0, (0, 0)), ("base_clear", 0, (0, 0)), ("in", 0, (1, 1)), ("select", ["*"]),
                ("clean",), ("in", 0, (0, 0)), ("select", [0])])
@given(start=st.one_of(st.lists(st.tuples(st.integers(0, 1), st.integers(0, 2)), max_size=5),
                       st.lists(st.one_of(st.integers(0, 2), st.just("a")), max_size=5)),
       wild=st.sampled_from(["*", None]),
       steps=st.lists(row_steps, min_size=8, max_size=40))
def test_rowsieve_follows_the_model(cls, start, wild, steps):
    m = RowsieveModel(wild)
    built = outcome(lambda: m.add(list(start), lambda: m.items.extend(start)))
    if built[0] == "error":
        with pytest.raises(ValueError):
            cls(start, wild)
        return
    r = cls(start, wild)
    for step in steps:
        real, modelled = apply_row_step(r, m, step)
        assert real == modelled, step
        assert ids(r) == ids(m.items), step
        assert (r._rowsieve__scalar, r._rowsieve__tuplelen) == (m.scalar, m.tuplelen), step
        assert set(r._rowsieve__index) == set(m.index), step
        assert (r._rowsieve__contents is None) == (m.contents is None), step
        for name in ("next", "prev", "nextc", "prevc"):
            assert bool(getattr(r, "_rowsieve__" + name)) == bool(m.nav.get(name)), (step, name)


# ---- keyshelf under mutations: the model ------------------------------------------

KEYS = [(i, j) for i in range(3) for j in range(3)]
keys = st.sampled_from(KEYS)


class Value:
    """A value told apart by identity."""

    def __repr__(self):
        return "v%d" % (id(self) % 1000)


class KeyshelfModel:
    def __init__(self):
        self.dict, self.pos, self.keylist, self.wild = {}, {}, None, "*"

    def keys_internal(self):
        if not (self.keylist and self.keylist[0]):
            rank = lambda k: self.pos.get(k, len(self.pos) + 1)
            self.keylist = (sorted(self.dict, key=rank), self.wild)
        return self.keylist

    def selection(self, vals):
        keylist, wild = self.keys_internal()
        scalar = bool(keylist) and type(keylist[0]) is not tuple
        selected = brute_select(keylist, vals, wild, scalar)
        return keylist if selected is SELF else selected


shelf_steps = st.one_of(
    st.tuples(st.sampled_from(["set", "del", "pop", "pop_default", "base_set", "base_del"]), keys),
    st.tuples(st.just("update"), st.lists(keys, max_size=4)),
    st.tuples(st.just("setord"), st.lists(st.one_of(keys, st.just("other")), max_size=5)),
    st.tuples(st.sampled_from(["popitem", "clear", "clean", "keys_internal", "views"])),
    st.tuples(st.just("wild"), st.sampled_from(["*", "+", None])),
    st.tuples(st.sampled_from(["select", "subset"]), st.lists(arguments, max_size=2)),
)


def apply_shelf_step(d, m, step):
    name, *args = step
    if name in ("set", "base_set"):
        v = Value()
        (d.__setitem__ if name == "set" else lambda k, v: dict.__setitem__(d, k, v))(args[0], v)
        m.dict[args[0]] = v
        if name == "set":
            m.pos[args[0]] = len(m.pos)
            m.keylist = None
    elif name in ("del", "base_del", "pop", "pop_default"):
        call = {"del": d.__delitem__, "base_del": lambda k: dict.__delitem__(d, k), "pop": d.pop,
                "pop_default": lambda k: d.pop(k, "default")}[name]
        real = outcome(lambda: call(args[0]))
        expected = m.dict.pop(args[0], "default") if name == "pop_default" else m.dict.pop(args[0], KeyError)
        if expected is KeyError:
            assert real[0] == "error" and real[1][0] is KeyError
        else:
            assert real[0] == "ok" and real[1] is (None if "del" in name else expected)
            if name != "base_del":
                m.keylist = None
    elif name == "update":
        new = {k: Value() for k in args[0]}
        d.update(new)
        m.dict.update(new)
        m.keylist = None
    elif name == "setord":
        d.setord(args[0])
        m.pos = {k: i for i, k in enumerate(args[0])}
    elif name == "popitem":
        real = outcome(d.popitem)
        if not m.dict:
            assert real[0] == "error" and real[1][0] is KeyError
        else:
            assert real == ("ok", m.dict.popitem())
            m.keylist = None
    elif name in ("clear", "clean"):
        getattr(d, name)()
        if name == "clear":
            m.dict.clear()
        m.keylist = None
    elif name == "wild":
        d.wild = m.wild = args[0]
    elif name == "keys_internal":
        keylist = d._keys_internal()
        assert ids(keylist) == ids(m.keys_internal()[0]) and keylist._rowsieve__wild is m.keys_internal()[1]
    elif name == "views":
        assert list(d.keys()) == list(d) == list(m.dict)
        assert ids(d.values()) == ids(m.dict.values())
        assert [ids(p) for p in d.items()] == [ids(p) for p in m.dict.items()]
    elif name == "select":
        vals = tuple(args[0])
        modelled = outcome(lambda: [m.dict[k] for k in m.selection(vals)])
        real = outcome(lambda: d.select(*vals))
        assert (real[0], ids(real[1])) == (modelled[0], ids(modelled[1])) if real[0] == "ok" else real == modelled
    else:
        vals = tuple(args[0])
        modelled = outcome(lambda: (lambda order: (order, [m.dict[k] for k in order]))(m.selection(vals)))
        real = outcome(lambda: d.subset(*vals))
        if modelled[0] == "error" or real[0] == "error":
            assert real == modelled
            return
        sub, (order, _) = real[1], modelled[1]
        first = list(dict.fromkeys(order))
        assert type(sub) is keyshelf and list(dict.keys(sub)) == first and sub.wild is m.wild
        assert ids(sub.values()) == ids(m.dict[k] for k in first)
        assert sub._keyshelf__pos == {k: i for i, k in enumerate(order)}
        last = {k: i for i, k in enumerate(order)}
        assert list(sub._keys_internal()) == sorted(first, key=last.get)


@pytest.mark.parametrize("cls", [keyshelf, SubKeyshelf])
@settings(max_examples=150, deadline=None)
@given(steps=st.lists(shelf_steps, min_size=8, max_size=40))
def test_keyshelf_follows_the_model(cls, steps):
    d, m = cls(), KeyshelfModel()
    for step in steps:
        apply_shelf_step(d, m, step)
        assert list(dict.keys(d)) == list(m.dict) and d._keyshelf__pos == m.pos, step
        assert bool(d._keyshelf__keys) == bool(m.keylist and m.keylist[0]), step


# ---- sum and prod: the terms they add ------------------------------------------------

class Coefficient:
    """Records being the left operand of a product."""

    def __init__(self, n):
        self.n = n

    def __mul__(self, value):
        return ("product", self.n, id(value))


class Recorder:
    """Stands in for LinExpr: every `+=` appends its term."""

    def __init__(self):
        self.terms = []

    def __iadd__(self, term):
        self.terms.append(term if type(term) is tuple else id(term))
        return self


def make_keyshelf(kind, cls, pairs, assigned):
    d = cls(pairs)
    for k, v in assigned:
        d[k] = v
    if kind == "general":
        d._iteritems_internal = types.MethodType(keyshelf._iteritems_internal, d)
    return d


@st.composite
def aggregations(draw):
    pool = KEYS if draw(st.booleans()) else list(range(5))
    pairs = [(k, Value()) for k in draw(st.lists(st.sampled_from(pool), unique=True, max_size=8))]
    assigned = [(k, Value()) for k in draw(st.lists(st.sampled_from(pool), max_size=3))]
    vals = tuple(draw(st.lists(arguments, max_size=2 if pool is KEYS else 1)))
    # Coefficients for some of the keys, in an order of their own, and for others.
    shuffled = draw(st.permutations([k for k, _ in pairs + assigned]))
    coefficient_keys = list(dict.fromkeys(shuffled[:draw(st.integers(0, len(shuffled)))]
                                          + draw(st.lists(st.sampled_from(pool + ["other"]), max_size=3))))
    as_list = draw(st.booleans())
    coefficients = ([Coefficient(i) for i in range(draw(st.integers(0, 6)))] if as_list
                    else {k: Coefficient(i) for i, k in enumerate(coefficient_keys)})
    return pairs, assigned, vals, coefficients


@pytest.mark.parametrize("kind", ["fast", "general"])
@settings(max_examples=150, deadline=None)
@given(case=aggregations(), subclass=st.booleans())
def test_sum_and_prod_add_the_documented_terms(kind, case, subclass):
    pairs, assigned, vals, c = case
    d = make_keyshelf(kind, SubKeyshelf if subclass else keyshelf, pairs, assigned)
    plain = dict(d)
    m = KeyshelfModel()
    m.dict, m.pos = plain, dict(d._keyshelf__pos)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(ks, "LinExpr", Recorder)
        selected = outcome(lambda: m.selection(vals))
        got = outcome(lambda: d.sum(*vals).terms)
        if selected[0] == "error":
            assert got == selected
        else:
            assert got == ("ok", [id(plain[k]) for k in selected[1]])

        if isinstance(c, dict) and not vals and len(c) < len(plain):
            expected = ("ok", [c[k] * plain[k] for k in c if k in plain])
        elif isinstance(c, dict):
            expected = selected if selected[0] == "error" else \
                ("ok", [c[k] * plain[k] for k in selected[1] if k in c])
        elif not vals:
            expected = ("ok", [w * plain[i] for i, w in enumerate(c) if i in plain])
        else:
            expected = ("error", (TypeError, "keyshelf.prod requires a dictionary"))
        assert outcome(lambda: d.prod(c, *vals).terms) == expected
