"""Matrix modelling objects: NumPy object arrays of scalar modelling objects."""

import numbers

import numpy as np

from varnokpy._core import LinExpr, NLExpr, QuadExpr, Var, _is_operand, _relation
from varnokpy._vrk import VRK


def _object_array(value):
    """An object array of `value`'s elements; a scalar becomes a 0-d array."""
    if isinstance(value, np.ndarray):
        return value.astype(object)
    array = np.empty((), dtype=object)
    array[()] = value
    return array


class _Matrix:
    """Shared behaviour of the matrix classes: shape, printing and comparisons."""

    _element = object  # type every element must have
    __array_ufunc__ = None  # make NumPy defer to our reflected operators
    __hash__ = object.__hash__

    def __init__(self, array):
        array = np.array(array, dtype=object)
        for element in array.flat:
            if not isinstance(element, self._element):
                raise TypeError("%s holds %s objects, not %s" % (
                    type(self).__name__, self._element.__name__, type(element).__name__))
        self.array = array

    @property
    def shape(self):
        return self.array.shape

    @property
    def size(self):
        return self.array.size

    def __repr__(self):
        return "<%s %s>\n%s" % (type(self).__name__, self.shape, self.array)

    def __le__(self, other):
        return _relation(self, VRK.LESS_EQUAL, other) if _is_side(other) else NotImplemented

    def __ge__(self, other):
        return _relation(self, VRK.GREATER_EQUAL, other) if _is_side(other) else NotImplemented

    def __eq__(self, other):
        return _relation(self, VRK.EQUAL, other) if _is_side(other) else NotImplemented


class _Affine(_Matrix):
    """Element-wise +, - and scaling, shared by MVar, MLinExpr and MQuadExpr."""

    def __add__(self, other):
        return _combine(self, other, np.add)

    def __radd__(self, other):
        return _combine(other, self, np.add)

    def __sub__(self, other):
        return _combine(self, other, np.subtract)

    def __rsub__(self, other):
        return _combine(other, self, np.subtract)

    def __mul__(self, other):
        if not isinstance(other, numbers.Real):
            return NotImplemented
        return _combine(self, other, np.multiply)

    __rmul__ = __mul__

    def __neg__(self):
        return self * -1.0


class MVar(_Affine):
    """A matrix of variables."""

    _element = Var

    @classmethod
    def fromshape(cls, shape, name="x"):
        """New variables named like `x[0,1]`, in an array of the given shape."""
        array = np.empty(shape, dtype=object)
        for index in np.ndindex(array.shape):
            label = "%s[%s]" % (name, ",".join(map(str, index))) if index else name
            array[index] = Var(label)
        return cls(array)

    def item(self):
        """The only variable of a size-1 matrix."""
        if self.size != 1:
            raise ValueError("can only convert an MVar of size 1 to a Var, not size %d"
                             % self.size)
        return self.array.item()


class MLinExpr(_Affine):
    """A matrix of linear expressions."""

    _element = LinExpr


class MQuadExpr(_Affine):
    """A matrix of quadratic expressions."""

    _element = QuadExpr


class MNLExpr(_Matrix):
    """A matrix of nonlinear expressions."""

    _element = NLExpr

    @staticmethod
    def _coerce_to_exprtree_array(arg):
        """An object array of expression trees, one per element of a matrix object."""
        if not isinstance(arg, (MVar, MLinExpr, MQuadExpr, MNLExpr)):
            raise TypeError("cannot build expression trees from %s" % type(arg).__name__)
        trees = np.empty(arg.shape, dtype=object)
        for index, element in np.ndenumerate(arg.array):
            trees[index] = NLExpr._coerce_to_exprtree(element)
        return trees


def _combine(left, right, op):
    """Apply `op` element-wise with broadcasting; wrap as MLinExpr or MQuadExpr."""
    sides = (left, right)
    if not all(_is_term(side) for side in sides):
        return NotImplemented
    arrays = [side.array if isinstance(side, _Matrix) else _object_array(side)
              for side in sides]
    result = _object_array(op(*arrays))  # 0-d inputs give back a bare element
    quadratic = any(isinstance(side, (MQuadExpr, QuadExpr)) for side in sides)
    return (MQuadExpr if quadratic else MLinExpr)(result)


def _is_term(value):
    """True for operands of element-wise arithmetic: numbers, linear or quadratic terms."""
    if isinstance(value, np.ndarray):
        return value.dtype.kind in "biuf"
    return isinstance(value, (numbers.Real, Var, LinExpr, QuadExpr, _Affine))


def _is_side(value):
    """True for what a matrix object can be compared with."""
    if isinstance(value, np.ndarray):
        return value.dtype.kind in "biuf"
    return _is_operand(value) or isinstance(value, _Matrix)
