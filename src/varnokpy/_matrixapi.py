"""Matrix modelling objects: NumPy object arrays of scalar modelling objects."""

from __future__ import annotations

import numbers
from typing import TYPE_CHECKING, Any, ClassVar, Generic, Self, TypeAlias, TypeVar, cast, overload

import numpy as np
import numpy.typing as npt

from varnokpy._core import LinExpr, NLExpr, QuadExpr, Var, _is_operand, _isnum, _relation
from varnokpy._vrk import VRK

if TYPE_CHECKING:
    from varnokpy._core import _Operand
    from varnokpy._draftrel import DraftRel

_ObjectArray: TypeAlias = "npt.NDArray[np.object_]"
# Operands of element-wise arithmetic, by the kind of result they give.
_LinearTerms: TypeAlias = "float | Var | LinExpr | MVar | MLinExpr | npt.NDArray[Any]"
_QuadraticTerms: TypeAlias = "QuadExpr | MQuadExpr"
# What a matrix object can be compared with.
_Side: TypeAlias = "_Operand | _Matrix | npt.NDArray[Any]"
# The result of +, - and scaling with a linear operand: MLinExpr for the
# linear matrices, MQuadExpr for MQuadExpr.
_Sum = TypeVar("_Sum", "MLinExpr", "MQuadExpr")


def _object_array(value: object) -> _ObjectArray:
    """An object array of `value`'s elements; a scalar becomes a 0-d array."""
    if isinstance(value, np.ndarray):
        return value.astype(object)
    array = np.empty((), dtype=object)
    array[()] = value
    return array


class _Matrix:
    """Shared behaviour of the matrix classes: shape, printing and comparisons."""

    _element: ClassVar[type] = object  # type every element must have
    __array_ufunc__ = None  # make NumPy defer to our reflected operators
    __hash__ = object.__hash__

    def __init__(self, array: object) -> None:
        array = np.array(array, dtype=object)
        for element in array.flat:
            if not isinstance(element, self._element):
                raise TypeError("%s holds %s objects, not %s" % (
                    type(self).__name__, self._element.__name__, type(element).__name__))
        self.array: _ObjectArray = array

    @property
    def shape(self) -> tuple[int, ...]:
        return self.array.shape

    @property
    def size(self) -> int:
        return self.array.size

    def __repr__(self) -> str:
        return "<%s %s>\n%s" % (type(self).__name__, self.shape, self.array)

    def __le__(self, other: _Side) -> DraftRel:
        return _relation(self, VRK.LESS_EQUAL, other) if _is_side(other) else NotImplemented

    def __ge__(self, other: _Side) -> DraftRel:
        return _relation(self, VRK.GREATER_EQUAL, other) if _is_side(other) else NotImplemented

    def __eq__(self, other: _Side) -> DraftRel:  # type: ignore[override]
        return _relation(self, VRK.EQUAL, other) if _is_side(other) else NotImplemented


class _Affine(_Matrix, Generic[_Sum]):
    """Element-wise +, - and scaling, shared by MVar, MLinExpr and MQuadExpr.

    A quadratic operand makes the result an MQuadExpr; any other operand gives
    the class's `_Sum`.
    """

    @overload
    def __add__(self, other: _QuadraticTerms) -> MQuadExpr: ...
    @overload
    def __add__(self, other: _LinearTerms) -> _Sum: ...

    def __add__(self, other: object) -> MLinExpr | MQuadExpr:
        return _combine(self, other, np.add) if _is_term(other) else NotImplemented

    @overload
    def __radd__(self, other: _QuadraticTerms) -> MQuadExpr: ...
    @overload
    def __radd__(self, other: _LinearTerms) -> _Sum: ...

    def __radd__(self, other: object) -> MLinExpr | MQuadExpr:
        return _combine(other, self, np.add) if _is_term(other) else NotImplemented

    @overload
    def __sub__(self, other: _QuadraticTerms) -> MQuadExpr: ...
    @overload
    def __sub__(self, other: _LinearTerms) -> _Sum: ...

    def __sub__(self, other: object) -> MLinExpr | MQuadExpr:
        return _combine(self, other, np.subtract) if _is_term(other) else NotImplemented

    @overload
    def __rsub__(self, other: _QuadraticTerms) -> MQuadExpr: ...
    @overload
    def __rsub__(self, other: _LinearTerms) -> _Sum: ...

    def __rsub__(self, other: object) -> MLinExpr | MQuadExpr:
        return _combine(other, self, np.subtract) if _is_term(other) else NotImplemented

    def __mul__(self, other: float) -> _Sum:
        if not _isnum(other):
            return NotImplemented
        # A number keeps the kind of the matrix.
        return cast("_Sum", _combine(self, other, np.multiply))

    __rmul__ = __mul__

    def __neg__(self) -> _Sum:
        return self * -1.0


class MVar(_Affine["MLinExpr"]):
    """A matrix of variables."""

    _element = Var

    @classmethod
    def fromshape(cls, shape: int | tuple[int, ...], name: str = "x") -> Self:
        """New variables named like `x[0,1]`, in an array of the given shape."""
        array = np.empty(shape, dtype=object)
        for index in np.ndindex(array.shape):
            label = "%s[%s]" % (name, ",".join(map(str, index))) if index else name
            array[index] = Var(label)
        return cls(array)

    def item(self) -> Var:
        """The only variable of a size-1 matrix."""
        if self.size != 1:
            raise ValueError("can only convert an MVar of size 1 to a Var, not size %d"
                             % self.size)
        var: Var = self.array.item()
        return var


class MLinExpr(_Affine["MLinExpr"]):
    """A matrix of linear expressions."""

    _element = LinExpr


class MQuadExpr(_Affine["MQuadExpr"]):
    """A matrix of quadratic expressions."""

    _element = QuadExpr


class MNLExpr(_Matrix):
    """A matrix of nonlinear expressions."""

    _element = NLExpr

    @staticmethod
    def _coerce_to_exprtree_array(arg: MVar | MLinExpr | MQuadExpr | MNLExpr) -> _ObjectArray:
        """An object array of expression trees, one per element of a matrix object."""
        if not isinstance(arg, (MVar, MLinExpr, MQuadExpr, MNLExpr)):
            raise TypeError("cannot build expression trees from %s" % type(arg).__name__)
        trees = np.empty(arg.shape, dtype=object)
        for index, element in np.ndenumerate(arg.array):
            trees[index] = NLExpr._coerce_to_exprtree(element)
        return trees


def _combine(left: object, right: object, op: np.ufunc) -> MLinExpr | MQuadExpr:
    """Apply `op` element-wise with broadcasting to two operands that pass
    `_is_term`; wrap as MLinExpr or MQuadExpr."""
    sides = (left, right)
    arrays = [side.array if isinstance(side, _Matrix) else _object_array(side)
              for side in sides]
    result = _object_array(op(*arrays))  # 0-d inputs give back a bare element
    quadratic = any(isinstance(side, (MQuadExpr, QuadExpr)) for side in sides)
    return MQuadExpr(result) if quadratic else MLinExpr(result)


def _is_term(value: object) -> bool:
    """True for operands of element-wise arithmetic: numbers, linear or quadratic terms."""
    if isinstance(value, np.ndarray):
        return value.dtype.kind in "biuf"
    return isinstance(value, (numbers.Real, Var, LinExpr, QuadExpr, _Affine))


def _is_side(value: object) -> bool:
    """True for what a matrix object can be compared with."""
    if isinstance(value, np.ndarray):
        return value.dtype.kind in "biuf"
    return _is_operand(value) or isinstance(value, _Matrix)
