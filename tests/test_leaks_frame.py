"""No reference leaks in the frame: the checker itself, argument binding on
its success and error paths, and re-imports of every module."""
import importlib
import sys

import pytest

from leakcheck import assert_no_leak, failing
from varnokpy._rowsieve import rowsieve

TUPLES = [(i, i % 7) for i in range(50)]


def test_the_checker_catches_a_leak():
    if sys.getallocatedblocks() == 0:
        pytest.skip("blocks are not counted without the small-object allocator (PYTHONMALLOC=malloc)")
    kept = []
    with pytest.raises(AssertionError, match="grew every round"):
        assert_no_leak(lambda: kept.append(object()))


@pytest.mark.parametrize("fn", [
    lambda: rowsieve.__init__(self=rowsieve(), data=TUPLES, wild="+"),
    failing(TypeError, rowsieve.__init__),
    failing(TypeError, rowsieve().extend, L=1, M=2),
    failing(TypeError, rowsieve().append, 1, x=2),
    failing(TypeError, rowsieve().append, 1, y=2),
], ids=lambda f: getattr(f, "__name__", "call"))
def test_binding_no_leak(fn):
    assert_no_leak(fn)


@pytest.mark.parametrize("name", ["varnokpy._rowsieve", "varnokpy._keyshelf", "varnokpy.warpmath",
                                  "varnokpy._draftrel"])
def test_module_reimport_no_leak(name):
    def reimport():
        sys.modules.pop(name)
        importlib.import_module(name)
    # The import system itself adds a few blocks to some rounds.
    assert_no_leak(reimport, warmup=500, calls=200, min_growth=50)
