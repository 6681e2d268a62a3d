"""Scalar modelling objects: variables, linear, quadratic and nonlinear expressions."""

from __future__ import annotations

import numbers
from typing import TYPE_CHECKING, Any, Iterable, NoReturn, Self, TypeAlias, TypeGuard, overload

from varnokpy._vrk import VRK

if TYPE_CHECKING:
    from varnokpy._draftrel import DraftRel

# What each constructor and operator accepts; ints pass as floats, and so
# does every other numbers.Real at run time.
_LinearArg: TypeAlias = "float | Var | LinExpr"
_ScalarArg: TypeAlias = "float | Var | LinExpr | QuadExpr"
# What a nonlinear function accepts: every scalar term and number.
_TermArg: TypeAlias = "float | Var | LinExpr | QuadExpr | NLExpr"
# What the other side of a scalar comparison may be.
_Operand: TypeAlias = "float | Var | LinExpr | QuadExpr | NLExpr | GenExpr"


def _isnum(value: object) -> TypeGuard[float]:
    return isinstance(value, numbers.Real)


def _relation(lhs: object, sense: str, rhs: object) -> DraftRel:
    """Build the temporary constraint object `lhs sense rhs`."""
    from varnokpy._draftrel import DraftRel  # native module, loaded on first use

    return DraftRel(lhs, sense, rhs)


def _format(terms: Iterable[tuple[float, str]], constant: float) -> str:
    """Print (coefficient, text) pairs and a constant as `2.0 x - y + 5.0`."""
    parts: list[tuple[bool, str]] = []
    for coef, text in terms:
        mag = abs(coef)
        parts.append((coef < 0, text if mag == 1.0 else "%r %s" % (mag, text)))
    if constant or not parts:
        parts.append((constant < 0, repr(abs(constant))))
    out = ("-" if parts[0][0] else "") + parts[0][1]
    for negative, body in parts[1:]:
        out += (" - " if negative else " + ") + body
    return out


class _Comparable:
    """`<=`, `>=` and `==` build constraints against numbers and scalar modelling objects."""

    __hash__ = object.__hash__

    def __le__(self, other: _Operand) -> DraftRel:
        return _relation(self, VRK.LESS_EQUAL, other) if _is_operand(other) else NotImplemented

    def __ge__(self, other: _Operand) -> DraftRel:
        return _relation(self, VRK.GREATER_EQUAL, other) if _is_operand(other) else NotImplemented

    # A constraint, not a truth value: the type checker is told so, and
    # rejects a comparison with anything that is not an operand.
    def __eq__(self, other: _Operand) -> DraftRel:  # type: ignore[override]
        return _relation(self, VRK.EQUAL, other) if _is_operand(other) else NotImplemented


class _Linear(_Comparable):
    """Arithmetic shared by Var and LinExpr; every result is a new expression."""

    def __add__(self, other: _LinearArg) -> LinExpr:
        expr = LinExpr(self)
        return expr if expr._add(other, 1.0) else NotImplemented

    __radd__ = __add__

    def __sub__(self, other: _LinearArg) -> LinExpr:
        expr = LinExpr(self)
        return expr if expr._add(other, -1.0) else NotImplemented

    def __rsub__(self, other: _LinearArg) -> LinExpr:
        expr = -self
        return expr if expr._add(other, 1.0) else NotImplemented

    def __neg__(self) -> LinExpr:
        return self * -1.0

    @overload
    def __mul__(self, other: float) -> LinExpr: ...
    @overload
    def __mul__(self, other: Var | LinExpr) -> QuadExpr: ...

    def __mul__(self, other: object) -> LinExpr | QuadExpr:
        if _isnum(other):
            expr = LinExpr()
            expr._add(self, float(other))
            return expr
        if isinstance(other, _Linear):
            return QuadExpr._product(LinExpr(self), LinExpr(other))
        return NotImplemented

    __rmul__ = __mul__


class Var(_Linear):
    """A decision variable, identified by the object itself (not by its name)."""

    __hash__ = object.__hash__

    def __init__(self, name: str = "") -> None:
        self.name = name

    def __repr__(self) -> str:
        return self.name

    __str__ = __repr__


class LinExpr(_Linear):
    """A linear expression: ordered (variable, coefficient) terms plus a constant."""

    def __init__(self, arg: float | _Linear = 0.0) -> None:
        self._terms: dict[int, list[Any]] = {}  # id(var) -> [var, coefficient], in insertion order
        self.constant = 0.0
        if not self._add(arg, 1.0):
            raise TypeError("LinExpr takes a number, a Var or a LinExpr, not %s"
                            % type(arg).__name__)

    def _add(self, other: object, scale: float) -> bool:
        """Add `scale * other` in place; False (and no change) if `other` is not linear."""
        if _isnum(other):
            self.constant += scale * float(other)
        elif isinstance(other, Var):
            self._add_term(other, scale)
        elif isinstance(other, LinExpr):
            for var, coef in list(other._terms.values()):
                self._add_term(var, scale * coef)
            self.constant += scale * other.constant
        else:
            return False
        return True

    def _add_term(self, var: Var, coef: float) -> None:
        entry = self._terms.setdefault(id(var), [var, 0.0])
        entry[1] += coef

    def terms(self) -> list[tuple[Var, float]]:
        """The (var, coefficient) pairs in order of first appearance."""
        return [(var, coef) for var, coef in self._terms.values()]

    def __iadd__(self, other: _LinearArg) -> Self:
        if not self._add(other, 1.0):
            raise TypeError("cannot add %s to a LinExpr" % type(other).__name__)
        return self

    def __isub__(self, other: _LinearArg) -> Self:
        if not self._add(other, -1.0):
            raise TypeError("cannot subtract %s from a LinExpr" % type(other).__name__)
        return self

    def __repr__(self) -> str:
        return _format([(c, str(v)) for v, c in self._terms.values()], self.constant)


class QuadExpr(_Comparable):
    """A quadratic expression: coefficients of variable pairs plus a linear part."""

    def __init__(self, arg: _ScalarArg = 0.0) -> None:
        # (id(a), id(b)) -> [a, b, coefficient], in insertion order
        self._pairs: dict[tuple[int, int], list[Any]] = {}
        self.linear = LinExpr()
        if not self._add(arg, 1.0):
            raise TypeError("QuadExpr takes a number or a scalar expression, not %s"
                            % type(arg).__name__)

    @staticmethod
    def _product(left: LinExpr, right: LinExpr) -> QuadExpr:
        """The product of two LinExprs."""
        result = QuadExpr()
        for a, ca in left._terms.values():
            for b, cb in right._terms.values():
                result._add_pair(a, b, ca * cb)
        for expr, factor in ((left, right.constant), (right, left.constant)):
            if factor:
                for var, coef in expr._terms.values():
                    result.linear._add_term(var, coef * factor)
        result.linear.constant = left.constant * right.constant
        return result

    def _add_pair(self, a: Var, b: Var, coef: float) -> None:
        key = (id(a), id(b)) if id(a) <= id(b) else (id(b), id(a))
        entry = self._pairs.setdefault(key, [a, b, 0.0])
        entry[2] += coef

    def _add(self, other: object, scale: float) -> bool:
        if isinstance(other, QuadExpr):
            for a, b, coef in list(other._pairs.values()):
                self._add_pair(a, b, scale * coef)
            other = other.linear
        return self.linear._add(other, scale)

    def terms(self) -> list[tuple[Var, Var, float]]:
        """The (var, var, coefficient) triples in order of first appearance."""
        return [(a, b, coef) for a, b, coef in self._pairs.values()]

    def __iadd__(self, other: _ScalarArg) -> Self:
        if not self._add(other, 1.0):
            raise TypeError("cannot add %s to a QuadExpr" % type(other).__name__)
        return self

    def __add__(self, other: _ScalarArg) -> QuadExpr:
        expr = QuadExpr(self)
        return expr if expr._add(other, 1.0) else NotImplemented

    __radd__ = __add__

    def __sub__(self, other: _ScalarArg) -> QuadExpr:
        expr = QuadExpr(self)
        return expr if expr._add(other, -1.0) else NotImplemented

    def __rsub__(self, other: _ScalarArg) -> QuadExpr:
        expr = -self
        return expr if expr._add(other, 1.0) else NotImplemented

    def __neg__(self) -> QuadExpr:
        return self * -1.0

    def __mul__(self, other: float) -> QuadExpr:
        if not _isnum(other):
            return NotImplemented
        expr = QuadExpr()
        expr._add(self, float(other))
        return expr

    __rmul__ = __mul__

    def __repr__(self) -> str:
        terms = [(c, "%s ^ 2" % a if a is b else "%s * %s" % (a, b))
                 for a, b, c in self._pairs.values()]
        terms += [(c, str(v)) for v, c in self.linear._terms.values()]
        return _format(terms, self.linear.constant)


def _tree_function(op: str) -> staticmethod[[_ExprTree], _ExprTree]:
    """The constructor of the tree node `op(tree)`, as a static method of _ExprTree."""
    def build(tree: _ExprTree) -> _ExprTree:
        if not isinstance(tree, _ExprTree):
            raise TypeError("%s expects an expression tree, not %s" % (op, type(tree).__name__))
        return _ExprTree(op, (tree,))

    build.__name__ = build.__qualname__ = "_from_" + op
    return staticmethod(build)


class _ExprTree:
    """Immutable node of a nonlinear expression: an operation name and its arguments.

    Leaves are ("constant", (float,)), ("variable", (Var,)) and
    ("expression", (LinExpr or QuadExpr,)); function nodes have one child tree.
    """

    __slots__ = ("op", "args")
    op: str
    args: tuple[Any, ...]

    def __init__(self, op: str, args: Iterable[Any]) -> None:
        object.__setattr__(self, "op", op)
        object.__setattr__(self, "args", tuple(args))

    # `value` has a default so that the same function refuses `del tree.op`.
    def __setattr__(self, name: str, value: object = None) -> NoReturn:
        raise AttributeError("expression trees are immutable")

    __delattr__ = __setattr__

    def __repr__(self) -> str:
        if self.op in ("constant", "variable", "expression"):
            return str(self.args[0])
        return "%s(%s)" % (self.op, ", ".join(map(str, self.args)))

    _from_sqrt = _tree_function("sqrt")
    _from_sin = _tree_function("sin")
    _from_cos = _tree_function("cos")
    _from_tan = _tree_function("tan")
    _from_exp = _tree_function("exp")
    _from_log = _tree_function("log")
    _from_log2 = _tree_function("log2")
    _from_log10 = _tree_function("log10")
    _from_logistic = _tree_function("logistic")
    _from_square = _tree_function("square")


class NLExpr(_Comparable):
    """A nonlinear expression wrapping one expression tree."""

    def __init__(self, tree: _ExprTree) -> None:
        if not isinstance(tree, _ExprTree):
            raise TypeError("NLExpr wraps an expression tree, not %s" % type(tree).__name__)
        self.tree = tree

    def __repr__(self) -> str:
        return str(self.tree)

    @staticmethod
    def _coerce_to_exprtree(arg: _TermArg) -> _ExprTree:
        """The expression tree of a number or a scalar modelling object."""
        if isinstance(arg, NLExpr):
            return arg.tree
        if isinstance(arg, Var):
            return _ExprTree("variable", (arg,))
        if isinstance(arg, LinExpr):
            return _ExprTree("expression", (LinExpr(arg),))
        if isinstance(arg, QuadExpr):
            return _ExprTree("expression", (QuadExpr(arg),))
        if _isnum(arg):
            return _ExprTree("constant", (float(arg),))
        raise TypeError("cannot build an expression tree from %s" % type(arg).__name__)


class GenExpr:
    """Right-hand side of a general constraint: a function applied to operands, e.g. max_(x, y)."""

    __hash__ = object.__hash__

    def __init__(self, func: str, args: Iterable[object] = ()) -> None:
        self.func = func
        self.args = tuple(args)

    def __repr__(self) -> str:
        return "%s(%s)" % (self.func, ", ".join(map(str, self.args)))

    def __eq__(self, other: _Operand) -> DraftRel:  # type: ignore[override]
        return _relation(self, VRK.EQUAL, other) if _is_operand(other) else NotImplemented


_SCALAR_OPERANDS = (Var, LinExpr, QuadExpr, NLExpr, GenExpr)


def _is_operand(value: object) -> bool:
    return _isnum(value) or isinstance(value, _SCALAR_OPERANDS)
