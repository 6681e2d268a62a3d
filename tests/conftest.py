import importlib
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

NATIVE = ["varnokpy._rowsieve", "varnokpy._keyshelf", "varnokpy.warpmath", "varnokpy._draftrel"]


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
