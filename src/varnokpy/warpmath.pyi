"""Nonlinear functions of modelling objects.

Each function takes any modelling object or number and returns an ``NLExpr``
(an ``MNLExpr``, element by element, for a matrix object) that can be used in
nonlinear constraints.
"""

from typing import Any, Callable

from varnokpy._core import NLExpr
from varnokpy._matrixapi import MNLExpr

def _apply_warpmath(arg: Any, warp_math: Callable[[Any], Any]) -> NLExpr | MNLExpr:
    """Apply the tree function ``warp_math`` to ``arg`` (element-wise for
    matrix objects)."""
def sqrt(expr: Any) -> NLExpr | MNLExpr:
    """The square root of ``expr``."""
def sin(expr: Any) -> NLExpr | MNLExpr:
    """The sine of ``expr``."""
def cos(expr: Any) -> NLExpr | MNLExpr:
    """The cosine of ``expr``."""
def tan(expr: Any) -> NLExpr | MNLExpr:
    """The tangent of ``expr``."""
def exp(expr: Any) -> NLExpr | MNLExpr:
    """e raised to the power of ``expr``."""
def log(expr: Any) -> NLExpr | MNLExpr:
    """The natural logarithm of ``expr``."""
def log2(expr: Any) -> NLExpr | MNLExpr:
    """The base 2 logarithm of ``expr``."""
def log10(expr: Any) -> NLExpr | MNLExpr:
    """The base 10 logarithm of ``expr``."""
def logistic(expr: Any) -> NLExpr | MNLExpr:
    """The logistic function of ``expr``."""
def square(expr: Any) -> NLExpr | MNLExpr:
    """The square of ``expr``."""
