"""Profiles see the native calls: every call of a native function or method,
and every resumption of a native generator, is a call of its own, named by
the module's source path, the definition line and the function's name."""
import cProfile
import pstats
import sys

import pytest

from varnokpy import warpmath
from varnokpy._core import Var
from varnokpy._draftrel import DraftRel
from varnokpy._keyshelf import keyshelf
from varnokpy._rowsieve import rowsieve


def key_of(fn):
    """The pstats key of a function: (file, line, name)."""
    return fn.__code__.co_filename, fn.__code__.co_firstlineno, fn.__name__


def test_cprofile_lists_native_calls_under_their_source_paths():
    x = {(i, j): Var("x[%d,%d]" % (i, j)) for i in range(3) for j in range(4)}
    arcs = rowsieve(list(x))
    flow = keyshelf(x)

    def build():
        rows = [flow.sum(i, "*") <= 1 for i, _ in arcs.select("*", 0)]
        return rows, warpmath.sin(x[0, 0])

    profiler = cProfile.Profile()
    rows, _ = profiler.runcall(build)
    assert len(rows) == 3 and all(type(r) is DraftRel for r in rows)
    stats = pstats.Stats(profiler).stats  # key -> (primitive calls, calls, own time, cumulative, callers)
    native = {key: value for key, value in stats.items() if key[0].startswith("src/varnokpy/")}
    for fn, path, calls in [(keyshelf.sum, "src/varnokpy/_keyshelf", 3), (rowsieve.select, "src/varnokpy/_rowsieve", 4),
                            (DraftRel.__init__, "src/varnokpy/_draftrel", 3), (warpmath.sin, "src/varnokpy/warpmath", 1)]:
        key = key_of(fn)
        assert key[0] == path and key in native, (key, sorted(native))
        assert pstats.func_std_string(key) == "%s:%d(%s)" % key
        _, ncalls, own, cumulative, _ = native[key]
        assert ncalls == calls and 0 <= own <= cumulative
    callers = lambda fn: {caller[0] for caller in native[key_of(fn)][4]}
    # `<=` of the stand-in makes the DraftRel; the model selects, and so does sum.
    assert any(f.endswith("_core.py") for f in callers(DraftRel.__init__))
    assert callers(rowsieve.select) == {build.__code__.co_filename, "src/varnokpy/_keyshelf"}
    assert key_of(warpmath.sin) in native[key_of(warpmath._apply_warpmath)][4]


def profile_events(action):
    """Runs `action` under a `sys.setprofile` hook; checks that the call and
    return events nest frame by frame, each native frame's `f_back` being the
    frame it was called from, and returns the native events as
    (depth below `action`, event, name, return value)."""
    events = []

    def hook(frame, event, arg):
        if event in ("call", "return"):
            events.append((frame, event, arg))

    sys.setprofile(hook)
    try:
        action()
    finally:
        sys.setprofile(None)
    here = sys._getframe()
    stack, native = [here], []
    for frame, event, arg in events:
        is_native = frame.f_code.co_filename.startswith("src/varnokpy/")
        if event == "call":
            if is_native:
                assert frame.f_back is stack[-1], (frame, frame.f_back, stack[-1])
                native.append((len(stack) - 1, event, frame.f_code.co_name, None))
            stack.append(frame)
        else:
            assert stack.pop() is frame
            if is_native:
                native.append((len(stack) - 1, event, frame.f_code.co_name, arg))
    assert stack == [here]
    return native


def test_failures_and_generators_leave_the_profile_balanced():
    x, y = Var("x"), Var("y")
    r = rowsieve([(1, 2)])
    d = keyshelf({(1, 2): x, (1, 3): y})
    # A failing call returns None to the profile.
    def failing_call():
        with pytest.raises(TypeError):
            r.prev()
    assert profile_events(failing_call) == [(1, "call", "prev", None), (1, "return", "prev", None)]

    # A failure inside Python code called from nested native calls.
    def failing_nested():
        with pytest.raises(TypeError, match="cannot add object to a LinExpr"):
            keyshelf({1: object()}).sum()
    events = profile_events(failing_nested)
    names = {name for _, event, name, _ in events if event == "call"}
    assert {"__init__", "sum", "_sum_terms", "genexpr", "_iteritems_internal", "select"} <= names
    assert events[-1] == (1, "return", "sum", None)

    # A generator: its creation is a call, each resumption another one that
    # returns the value yielded; abandoned after one step, it leaves nothing open.
    def abandoned():
        g = d._iteritems_internal()
        next(g)
    events = profile_events(abandoned)
    top = [(event, name, arg) for depth, event, name, arg in events if depth == 1]
    assert [(e, n) for e, n, _ in top] == [("call", "_iteritems_internal"), ("return", "_iteritems_internal")] * 2
    assert top[-1][2] == ((1, 2), x)
    nested = [(depth, name) for depth, event, name, _ in events if event == "call" and depth > 1]
    assert [name for depth, name in nested if depth == 2] == ["_keys_internal", "select"]
    assert (3, "__init__") in nested  # the key list, made by _keys_internal

    # Run to the end: two values, then the return at the end; then a
    # resumption that fails (the key went away behind the selection's back).
    events = profile_events(lambda: list(d._iteritems_internal("*", 3)))
    assert [arg for depth, event, _, arg in events if depth == 1 and event == "return"][1:] == [((1, 3), y), None]

    def failing_resumption():
        g = d._iteritems_internal()
        next(g)
        dict.__delitem__(d, (1, 3))
        with pytest.raises(KeyError):
            next(g)
    events = profile_events(failing_resumption)
    assert events[-1] == (1, "return", "_iteritems_internal", None)
