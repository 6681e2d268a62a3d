"""Reference-leak checks for a release build of the interpreter.

`assert_no_leak(fn)` runs `fn` for a warm-up, then several rounds of many
calls, and fails only when the number of allocated memory blocks grows in
every round: a real leak grows steadily, while caches and free lists settle.
Where the interpreter's own machinery adds a little noise to every round
(the import system), `min_growth` raises the bar: a leak of one block per
call grows each round by at least `calls` blocks.

Beside it: the helpers that the leak tests of every module share (failing
calls, walked tracebacks, abandoned generators, objects whose callbacks fail,
and the pinpoint reference-count check of a sentinel).
"""
import gc
import sys
import traceback
import warnings

import pytest

from varnokpy._core import _ExprTree


def assert_no_leak(fn, *, warmup=3, rounds=6, calls=60, min_growth=1):
    for _ in range(warmup):
        fn()
    growth = []
    for _ in range(rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(calls):
            fn()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    assert not all(g >= min_growth for g in growth), f"allocated blocks grew every round: {growth}"


def failing(exc_type, fn, *args, **kwargs):
    """A callable that runs `fn(*args, **kwargs)` and expects `exc_type`."""
    def run():
        try:
            fn(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")
    return run


def walk_traceback(e):
    """Reads every entry of the traceback that a failure built (without the
    source-parsing of full formatting, whose own caches take a few thousand
    calls to settle)."""
    names = [(f.name, f.lineno, f.filename) for f in traceback.extract_tb(e.__traceback__)]
    assert names
    tb = e.__traceback__
    while tb is not None:
        tb.tb_frame.f_code.co_name, tb.tb_frame.f_locals, tb.tb_lineno
        tb = tb.tb_next


def with_traceback(exc_type, fn, *args, **kwargs):
    """Like `failing`, and also walks the traceback that the failure built."""
    def run():
        try:
            fn(*args, **kwargs)
        except exc_type as e:
            walk_traceback(e)
            return
        raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")
    return run


def abandoned(make, steps=1):
    """A generator advanced `steps` times, then dropped."""
    def run():
        g = make()
        for _ in range(steps):
            next(g)
    return run


def numbered(cases):
    """Parametrizes `fn` over `cases`, named by their index in the list."""
    return pytest.mark.parametrize("fn", cases, ids=[f"case{i}" for i in range(len(cases))])


# ---- objects that fail when the operation calls back -----------------------------

class Unhashable:
    __hash__ = None


class BadHash:
    def __hash__(self):
        raise RuntimeError("hash")


class BadStr:
    def __hash__(self):
        return 1

    def __str__(self):
        raise RuntimeError("str")


def boom(*args):
    raise LookupError("callback")


class Boom:
    __mul__ = __rmul__ = __str__ = boom


# ---- pinpoint reference counts ---------------------------------------------------

class Sentinel:
    """Passed through every call: hashable, printable, callable as a tree
    function, usable as a coefficient."""

    def __call__(self, tree):
        return _ExprTree._from_sin(tree)

    def __str__(self):
        return "s"

    def __mul__(self, other):
        return 2.0

    __rmul__ = __mul__


def quietly(call, s):
    try:
        r = call(s)
        if repr(type(r)) == "<class 'varnokpy.generator'>":
            for _ in zip(range(2), r):
                pass
        del r
    except Exception as e:
        walk_traceback(e)
        del e


def assert_sentinel_counts(calls, label):
    """Each call of `calls` (one argument: a fresh Sentinel), repeated, leaves
    the sentinel's reference count as the first call left it."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for index, call in enumerate(calls):
            s = Sentinel()
            quietly(call, s)      # first call: lazily created module state
            gc.collect()
            before = sys.getrefcount(s)
            for _ in range(5):
                quietly(call, s)
            gc.collect()
            assert sys.getrefcount(s) == before, f"{label} call #{index}"
