"""Reference-leak checks for a release build of the interpreter.

`assert_no_leak(fn)` runs `fn` for a warm-up, then several rounds of many
calls, and fails only when the number of allocated memory blocks grows in
every round: a real leak grows steadily, while caches and free lists settle.
Where the interpreter's own machinery adds a little noise to every round
(the import system), `min_growth` raises the bar: a leak of one block per
call grows each round by at least `calls` blocks.
"""
import gc
import sys


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
