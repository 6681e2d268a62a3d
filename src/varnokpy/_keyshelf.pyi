"""A dict whose keys are also held, in order, in a rowsieve."""

from _collections_abc import dict_items, dict_keys, dict_values
from typing import Any, ClassVar, Generator, Iterable, Sequence

from varnokpy._core import LinExpr
from varnokpy._rowsieve import rowsieve

def _sum_terms(terms: Iterable[Any]) -> LinExpr:
    """Add the terms one by one to an empty ``LinExpr`` (internal use)."""

class keyshelf(dict[Any, Any]):
    """A dict whose keys are a rowsieve: values can be selected by key
    pattern, summed, or multiplied by coefficients."""

    _legacy_keyshelf_behavior: ClassVar[bool]
    wild: Any
    """The wildcard handed to the key list when it is (re)built."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        """Fill the dict as ``dict(...)`` does."""
    def clean(self) -> None:
        """Drop the key list; the next query rebuilds it."""
    def setord(self, ord: Sequence[Any]) -> None:
        """Order the key list by the positions of the keys in ``ord``
        (from the next rebuild on)."""
    def iteritems(self, *vals: Any) -> Generator[tuple[Any, Any], None, None]:
        """Deprecated: use ``items()``, or ``select`` for a pattern."""
    def iterkeys(self) -> Generator[Any, None, None]:
        """Deprecated: use ``keys()``."""
    def itervalues(self) -> Generator[Any, None, None]:
        """Deprecated: use ``values()``."""
    def keys(self) -> dict_keys[Any, Any]:
        """The dict's keys view (the key list itself in legacy mode)."""
    def values(self) -> dict_values[Any, Any]:
        """The dict's values view (a list in key-list order in legacy mode)."""
    def items(self) -> dict_items[Any, Any]:
        """The dict's items view (a list in key-list order in legacy mode)."""
    def __iter__(self) -> Generator[Any, None, None]:
        """The keys, in the order ``keys()`` gives."""
    def _keys_internal(self) -> rowsieve:
        """The key list, built and sorted on first request."""
    def _iteritems_internal(self, *vals: Any) -> Generator[tuple[Any, Any], None, None]:
        """The (key, value) pairs of the selected keys, in selection order."""
    def subset(self, *vals: Any) -> keyshelf:
        """A new keyshelf of the selected items, ordered as selected."""
    def select(self, *vals: Any) -> list[Any]:
        """The values of the keys that match the pattern ``vals``."""
    def sum(self, *vals: Any) -> LinExpr:
        """The sum of the values of the keys that match ``vals``."""
    def prod(self, d: dict[Any, Any] | list[Any], *vals: Any) -> LinExpr:
        """The sum of ``d[k] * self[k]`` over the selected keys ``k``;
        a list ``d`` supplies coefficients by position."""
    def __delitem__(self, *args: Any, **kwargs: Any) -> None: ...
    def __setitem__(self, *args: Any, **kwargs: Any) -> None:
        """Store the item and give the key the next position."""
    def clear(self, *args: Any, **kwargs: Any) -> None: ...
    def pop(self, *args: Any) -> Any: ...
    def popitem(self, *args: Any) -> tuple[Any, Any]: ...
    def update(self, *args: Any) -> None:  # type: ignore[override]
        """As ``dict.update``, positional arguments only."""
