"""copy.copy, copy.deepcopy and pickle round trips of rowsieve and keyshelf."""
import copy
import pickle

import pytest

import varnokpy._keyshelf as ks_module
import varnokpy._rowsieve as rs_module
from varnokpy._keyshelf import keyshelf
from varnokpy._rowsieve import rowsieve

ROUND_TRIPS = {
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "pickle": lambda x: pickle.loads(pickle.dumps(x)),
    "pickle0": lambda x: pickle.loads(pickle.dumps(x, protocol=0)),
}
CACHES = ("_rowsieve__index", "_rowsieve__prev", "_rowsieve__next", "_rowsieve__prevc", "_rowsieve__nextc")


@pytest.fixture(params=list(ROUND_TRIPS))
def round_trip(request):
    return ROUND_TRIPS[request.param]


def test_rowsieve_round_trip(round_trip):
    r = rowsieve([(1, "a"), (2, "b"), (1, "c")], wild="+")
    r.label = ["extra"]
    bucket = r.select(1, "+")
    assert (2, "b") in r and r.next((1, "a")) == (2, "b")
    c = round_trip(r)
    assert type(c) is rowsieve and c == r and c is not r
    assert list(vars(c)) == list(vars(r))
    assert c._rowsieve__wild == "+" and c.label == ["extra"]
    assert (c._rowsieve__scalar, c._rowsieve__tuplelen) == (False, 2)
    assert all(getattr(c, name) == {} for name in CACHES) and c._rowsieve__contents is None
    assert c.select(1, "+") == [(1, "a"), (1, "c")]
    assert r.select(1, "+") is bucket   # the original keeps its caches


@pytest.mark.parametrize("data", [[], [1, "x"], [()]])
def test_rowsieve_modes_survive(round_trip, data):
    r = rowsieve(data)
    c = round_trip(r)
    assert c == r and (c._rowsieve__scalar, c._rowsieve__tuplelen) == (r._rowsieve__scalar,
                                                                        r._rowsieve__tuplelen)


def test_rowsieve_copy_keeps_members_that_break_the_mode():
    # The base list's own assignment performs no check; a copy still works.
    r = rowsieve([(1, 2)])
    r[0] = 5
    for trip in ROUND_TRIPS.values():
        assert trip(r) == [5]


def test_keyshelf_round_trip(round_trip):
    d = keyshelf({(1, 2): "a", (0, 1): "b"})
    d[(5, 5)] = "c"
    d.wild = "+"
    d.note = {"x": 1}
    order = list(d._keys_internal())
    c = round_trip(d)
    assert type(c) is keyshelf and dict(c) == dict(d) and list(dict.keys(c)) == list(dict.keys(d))
    assert c.wild == "+" and c.note == {"x": 1}
    assert c._keyshelf__pos == d._keyshelf__pos and c._keyshelf__pos is not d._keyshelf__pos
    assert c._keyshelf__keys is None
    assert list(c._keys_internal()) == order == [(5, 5), (1, 2), (0, 1)]
    c[(9, 9)] = "z"   # the copy's positions are its own
    assert (9, 9) not in d._keyshelf__pos and d._keys_internal() is not None
    assert list(d._keys_internal()) == order


def test_keyshelf_copy_ignores_the_legacy_switch(monkeypatch):
    monkeypatch.setattr(keyshelf, "_legacy_keyshelf_behavior", True)
    d = keyshelf({2: "b", 1: "a"})
    for trip in ROUND_TRIPS.values():
        assert list(dict.items(trip(d))) == [(2, "b"), (1, "a")]


def test_deepcopy_copies_values_and_shares_nothing():
    value = [1]
    d = keyshelf({(1, 2): value})
    c = copy.deepcopy(d)
    assert c[(1, 2)] == [1] and c[(1, 2)] is not value
    r = rowsieve([((1, 2), 3)])
    assert copy.deepcopy(r)[0] == r[0]


def test_no_entries_added_to_namespaces():
    assert "__reduce__" not in vars(rowsieve) and "__reduce_ex__" not in vars(keyshelf)
    assert not any(name.startswith("_reduce") for name in vars(rs_module))
    assert not any(name.startswith("_reduce") for name in vars(ks_module))
