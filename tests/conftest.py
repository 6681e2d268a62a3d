import importlib
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import varnokpy  # noqa: E402
from varnokpy._rowsieve import rowsieve  # noqa: E402

NATIVE = ["varnokpy._rowsieve", "varnokpy._keyshelf", "varnokpy.warpmath", "varnokpy._draftrel"]


def _build_info():
    """The `_build_info` file that the build installs beside the modules."""
    with open(os.path.join(os.path.dirname(varnokpy.__file__), "_build_info")) as f:
        return dict(line.split("=", 1) for line in f.read().split())


# False in the general-only build (every shortcut compiled out).
SHORTCUTS = _build_info()["shortcuts"] == "on"


def pytest_runtest_setup(item):
    if not SHORTCUTS and item.get_closest_marker("shortcuts"):
        pytest.skip("the shortcuts are compiled out in this build")


class Plain(rowsieve):
    """Takes the general path everywhere (not the exact class)."""


@pytest.fixture(params=[rowsieve, Plain], ids=["exact", "subclass"])
def cls(request):
    return request.param


@pytest.fixture(autouse=True)
def _keep_module_namespace_order():
    """Tests that delete a module global and put it back (monkeypatch) move it
    to the end of the namespace; restore the load-time order for the tests
    that check it."""
    modules = [importlib.import_module(name) for name in NATIVE]
    orders = [list(vars(m)) for m in modules]
    yield
    for module, order in zip(modules, orders):
        ns = vars(module)
        if list(ns) != order and set(ns) == set(order):
            items = [(key, ns[key]) for key in order]
            ns.clear()
            ns.update(items)
