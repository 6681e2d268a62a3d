"""The temporary constraint object made by overloaded comparisons."""

from typing import Any, NoReturn

class DraftRel:
    """A constraint on its way to a model: left-hand side, sense, right-hand
    side.  Comparisons of expressions create it as an intermediate result."""

    _lhs: Any
    _sense: Any
    _rhs: Any

    def __init__(self, lhs: Any, sense: Any, rhs: Any) -> None:
        """Hold ``lhs sense rhs``; a matrix side turns it into
        ``lhs - rhs sense 0.0``."""
    def __repr__(self) -> str:
        """``<varnok.DraftRel: lhs <= rhs>``."""
    def __rshift__(self, other: Any) -> DraftRel:
        """The implication pair ``self >> other`` (sense ``"I"``)."""
    def __le__(self, rhs: Any) -> NoReturn:
        """Always raises: a constraint cannot be compared again."""
    def __ge__(self, rhs: Any) -> NoReturn:
        """Always raises: a constraint cannot be compared again."""
    def __bool__(self) -> NoReturn:
        """Always raises: a constraint has no truth value
        (``lb <= expr <= ub`` is not supported)."""
