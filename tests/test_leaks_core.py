"""No reference leaks in the frame and the rowsieve core, on success and on
every error path (binding errors, mode errors, tracebacks)."""
import sys

import pytest

from leakcheck import assert_no_leak, failing
from varnokpy._rowsieve import rowsieve

TUPLES = [(i, i % 7) for i in range(50)]


@pytest.mark.parametrize("fn", [
    lambda: rowsieve(TUPLES),
    lambda: rowsieve(iter(TUPLES), wild=None),
    lambda: rowsieve("abc").append("d"),
    lambda: rowsieve(TUPLES).extend(TUPLES),
    lambda: rowsieve(TUPLES).clean(),
    lambda: rowsieve.__init__(self=rowsieve(), data=TUPLES, wild="+"),
    failing(ValueError, rowsieve, [(1, 2), 3]),
    failing(ValueError, rowsieve, [(1, 2), (1, 2, 3)]),
    failing(TypeError, rowsieve, 5),
    failing(TypeError, rowsieve.__init__),
    failing(TypeError, rowsieve().extend, L=1, M=2),
    failing(TypeError, rowsieve().append, 1, x=2),
    failing(TypeError, rowsieve().append, 1, y=2),
], ids=lambda f: getattr(f, "__name__", "call"))
def test_no_leak(fn):
    assert_no_leak(fn)


def test_sentinel_refcounts_on_error_paths():
    sentinel = object()
    before = sys.getrefcount(sentinel)
    r = rowsieve([(1, 2)])
    for _ in range(20):
        for call in (lambda: r.append(sentinel), lambda: r.extend([(1, 2), sentinel]),
                     lambda: rowsieve([sentinel, (1, 2)], wild=sentinel),
                     lambda: r.prev(sentinel, v=sentinel)):
            try:
                call()
            except (ValueError, TypeError) as e:
                del e
    assert sys.getrefcount(sentinel) == before


def test_module_reimport_does_not_leak():
    import importlib
    def reimport():
        sys.modules.pop("varnokpy._rowsieve")
        importlib.import_module("varnokpy._rowsieve")
    assert_no_leak(reimport, warmup=500, calls=200, min_growth=50)
