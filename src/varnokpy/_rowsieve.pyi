"""A list of equal-length tuples (or of scalars) with cached pattern indexes."""

from typing import Any, Iterable, SupportsIndex

class rowsieve(list[Any]):
    """A list of tuples of one common length, or of scalars, whose ``select``
    returns the members matching values in given fields; ``'*'`` (the
    wildcard) matches anything.

    Indexes are built on the first query of each field pattern and dropped by
    every change made through this class; call ``clean()`` after changing the
    list with the plain list operations (item assignment, ``sort``, ...).
    """

    def __init__(self, data: Iterable[Any] = ..., wild: Any = ...) -> None:
        """Hold the members of ``data``; ``wild`` is the wildcard value."""
    def prev(self, v: Any) -> Any:
        """The member right before ``v``; ``KeyError`` for the first member."""
    def prevc(self, v: Any) -> Any:
        """The member right before ``v``, the last one for the first member."""
    def next(self, v: Any) -> Any:
        """The member right after ``v``; ``KeyError`` for the last member."""
    def nextc(self, v: Any) -> Any:
        """The member right after ``v``, the first one for the last member."""
    def __repr__(self) -> str:
        """An aligned table in tuple mode, the list's own form otherwise."""
    def clean(self) -> None:
        """Drop every cached index and give their memory back."""
    def select(self, *vals: Any) -> rowsieve:
        """The members that match ``vals``, one argument per field.

        An argument is a value, the wildcard, or a non-string iterable of
        alternatives.  The result may be a bucket held in the index, or the
        list itself: iterate it, do not change it.
        """
    def __contains__(self, val: object) -> bool:
        """Membership through a hash map built on the first test."""
    def append(self, x: Any) -> None:
        """Append ``x`` after checking it against the list's mode."""
    def extend(self, L: Iterable[Any]) -> None:
        """Append the items of ``L`` after checking them as one batch."""
    def insert(self, i: SupportsIndex, x: Any) -> None:
        """Insert ``x`` before position ``i`` after checking it."""
    def pop(self, i: SupportsIndex = ...) -> Any:
        """Remove and return the member at ``i`` (default: the last)."""
    def remove(self, x: Any) -> None:
        """Remove the first member equal to ``x``."""
    def __delitem__(self, i: SupportsIndex | slice) -> None:
        """``del r[i]`` and ``del r[a:b]``; drops the indexes."""
    def __delslice__(self, i: int, j: int) -> None:
        """Delete the members ``[i:j]``."""
    def __add__(self, other: Iterable[Any]) -> rowsieve:
        """A new rowsieve of this list's members followed by ``other``'s."""
    def __iadd__(self, other: Iterable[Any]) -> rowsieve:
        """``r += other``: extend in place and return the same list."""
    def __getslice__(self, b: int, c: int) -> rowsieve:
        """A new rowsieve of the members ``[b:c]``, with this wildcard."""
