"""Nonlinear functions of modelling objects.

Each function takes any modelling object or number and returns an ``NLExpr``
(an ``MNLExpr``, element by element, for a matrix object) that can be used in
nonlinear constraints.
"""

from typing import Callable, TypeAlias, overload

from varnokpy._core import NLExpr, _ExprTree, _TermArg
from varnokpy._matrixapi import MLinExpr, MNLExpr, MQuadExpr, MVar

# The arguments that take the element-wise path.
_MatrixArg: TypeAlias = MVar | MLinExpr | MQuadExpr | MNLExpr

@overload
def _apply_warpmath(arg: _MatrixArg, warp_math: Callable[[_ExprTree], _ExprTree]) -> MNLExpr:
    """Apply the tree function ``warp_math`` to ``arg`` (element-wise for
    matrix objects)."""
@overload
def _apply_warpmath(arg: _TermArg, warp_math: Callable[[_ExprTree], _ExprTree]) -> NLExpr: ...
@overload
def sqrt(expr: _MatrixArg) -> MNLExpr:
    """The square root of ``expr``."""
@overload
def sqrt(expr: _TermArg) -> NLExpr: ...
@overload
def sin(expr: _MatrixArg) -> MNLExpr:
    """The sine of ``expr``."""
@overload
def sin(expr: _TermArg) -> NLExpr: ...
@overload
def cos(expr: _MatrixArg) -> MNLExpr:
    """The cosine of ``expr``."""
@overload
def cos(expr: _TermArg) -> NLExpr: ...
@overload
def tan(expr: _MatrixArg) -> MNLExpr:
    """The tangent of ``expr``."""
@overload
def tan(expr: _TermArg) -> NLExpr: ...
@overload
def exp(expr: _MatrixArg) -> MNLExpr:
    """e raised to the power of ``expr``."""
@overload
def exp(expr: _TermArg) -> NLExpr: ...
@overload
def log(expr: _MatrixArg) -> MNLExpr:
    """The natural logarithm of ``expr``."""
@overload
def log(expr: _TermArg) -> NLExpr: ...
@overload
def log2(expr: _MatrixArg) -> MNLExpr:
    """The base 2 logarithm of ``expr``."""
@overload
def log2(expr: _TermArg) -> NLExpr: ...
@overload
def log10(expr: _MatrixArg) -> MNLExpr:
    """The base 10 logarithm of ``expr``."""
@overload
def log10(expr: _TermArg) -> NLExpr: ...
@overload
def logistic(expr: _MatrixArg) -> MNLExpr:
    """The logistic function of ``expr``."""
@overload
def logistic(expr: _TermArg) -> NLExpr: ...
@overload
def square(expr: _MatrixArg) -> MNLExpr:
    """The square of ``expr``."""
@overload
def square(expr: _TermArg) -> NLExpr: ...
