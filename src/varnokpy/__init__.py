"""Modelling package of the Varnok optimisation solver.

`rowsieve` and `keyshelf` are reachable from the package itself
(`from varnokpy import keyshelf, rowsieve`). Submodules are loaded on demand;
importing the package itself loads nothing, so that a caller can still choose
where the sibling modules come from before the first of them is imported.
"""
from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from varnokpy._keyshelf import keyshelf as keyshelf
    from varnokpy._rowsieve import rowsieve as rowsieve

__all__ = ["keyshelf", "rowsieve"]

# Top-level name -> the module that defines it.
_LAZY = {"keyshelf": "varnokpy._keyshelf", "rowsieve": "varnokpy._rowsieve"}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError("module %r has no attribute %r" % (__name__, name))
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value  # later lookups skip this function
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
