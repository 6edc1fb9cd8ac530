"""Comparison operators: value-type check, refusals, NotImplemented paths and Cmp.if_then."""

import inspect
import operator

import pytest

from conftest import CONSTRAINTS, OPERATORS, PLAIN, text_of, value_of
from trelk.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, NumOf, SpecOption, Value
from trelk.package.outline import PackageOutline


# function, symbol, CmpType member, mirrored function
OPS = [(op.fn, op.symbol, op.name, op.mirrored) for op in OPERATORS]
SYMBOL = {fn: sym for fn, sym, _, _ in OPS}

# kind: (builder, value type): every constraint class but Value, and a Value of each literal type.
KINDS = {**{row.cls.__name__: (row.sample, row.value_type) for row in CONSTRAINTS if row.cls is not Value},
         **{f"Value {t}": (lambda make=make: value_of(make()), t) for t, make in PLAIN.items()}}


def expect(call, left, ltype, right, rtype, fn):
    """Check `call()` against the value-type rule for `left` of `ltype` and `right` of `rtype` under `fn`."""
    sym = SYMBOL[fn]
    if ltype is not None and ltype == rtype and (ltype != "Bool" or sym in ("==", "!=")):
        c = call()
        assert type(c) is Cmp and bool(c) is True
        member = getattr(CmpType, next(m for f, _, m, _ in OPS if f is fn))
        assert int(c.op) == int(member)
        assert text_of(c) == text_of(Cmp(left, right, member))
        return c
    with pytest.raises(NotImplementedError) as info:
        call()
    name = lambda t: "None" if t is None else f"Some({t})"  # noqa: E731
    assert type(info.value) is NotImplementedError and str(info.value) == (
        f"Cannot compare type {name(ltype)} from constraint {text_of(left)} "
        f"with type {name(rtype)} from constraint {text_of(right)} using operator '{sym}'"
    )


@pytest.mark.parametrize("left", KINDS)
@pytest.mark.parametrize("right", KINDS)
def test_value_type_table(left, right):
    for fn, _, _, _ in OPS:
        a, b = KINDS[left][0](), KINDS[right][0]()
        c = expect(lambda: fn(a, b), a, KINDS[left][1], b, KINDS[right][1], fn)
        if c is not None:
            assert type(c.lhs) is type(a) and type(c.rhs) is type(b)


@pytest.mark.parametrize("left", KINDS)
@pytest.mark.parametrize("right", PLAIN)
def test_plain_operands_both_orders(left, right):
    for fn, _, _, mirrored in OPS:
        a, p = KINDS[left][0](), PLAIN[right]()
        c = expect(lambda: fn(a, p), a, KINDS[left][1], p, right, fn)
        if c is not None:
            assert type(c.rhs) is Value
        # The plain value on the left: the constraint's slot runs with the mirrored operator.
        c = expect(lambda: fn(p, a), a, KINDS[left][1], p, right, mirrored)
        if c is not None:
            assert type(c.lhs) is type(a) and type(c.rhs) is Value


OPTION = SpecOption("p", "o")


@pytest.mark.parametrize("call, receiver, ltype, operand, rtype, fn", [
    (lambda: NumOf([Depends("a"), Depends("b")]) >= "x", NumOf([Depends("a"), Depends("b")]), "Int", "x", "Str",
     operator.ge),
    (lambda: Depends("a") < Depends("b"), Depends("a"), "Bool", Depends("b"), "Bool", operator.lt),
    (lambda: Depends("a") == OPTION, Depends("a"), "Bool", OPTION, "Unknown", operator.eq),
    (lambda: OPTION == 3, OPTION, "Unknown", 3, "Int", operator.eq),
    (lambda: 3 == OPTION, OPTION, "Unknown", 3, "Int", operator.eq),
    (lambda: 5 < OPTION, OPTION, "Unknown", 5, "Int", operator.gt),
])
def test_refusal_messages(call, receiver, ltype, operand, rtype, fn):
    expect(call, receiver, ltype, operand, rtype, fn)


def test_reflected_result_keeps_receiver_on_the_left():
    x = NumOf([Depends("a")])
    c = 5 < x
    assert type(c.lhs) is NumOf and c.rhs.value == 5 and repr(c.op) == "CmpType.Greater"
    c = 2 >= x
    assert repr(c.op) == "CmpType.LessOrEqual"
    # Two constraint objects: the left one decides alone.
    c = SpecOption("p", "a") > SpecOption("q", "b")
    assert c.lhs.package_name == "p" and repr(c.op) == "CmpType.Greater"


UNCONVERTIBLE = [None, [], {}, object(), CmpType.Less, b"x", 10**400, PackageOutline("p")]


@pytest.mark.parametrize("kind", KINDS)
def test_unconvertible_operands(kind):
    x = KINDS[kind][0]()
    before = text_of(x)
    for other in UNCONVERTIBLE:
        assert (x == other) is False and (other == x) is False
        assert (x != other) is True and (other != x) is True
        for fn in (operator.lt, operator.le, operator.gt, operator.ge):
            with pytest.raises(TypeError, match="not supported between instances of"):
                fn(x, other)
            with pytest.raises(TypeError, match="not supported between instances of"):
                fn(other, x)
        for method in ("__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__"):
            assert getattr(x, method)(other) is NotImplemented
    with pytest.raises(TypeError):
        hash(x)
    assert text_of(x) == before


def test_chained_comparisons():
    a, b, c = SpecOption("p", "a"), SpecOption("p", "b"), SpecOption("p", "c")
    r = a < b <= c
    assert text_of(r) == text_of(Cmp(b, c, CmpType.LessOrEqual))
    r = 1 < NumOf([]) < 5
    assert text_of(r) == text_of(Cmp(NumOf([]), 5, CmpType.Less))
    with pytest.raises(NotImplementedError) as info:
        Depends("a") < Depends("b") < object()
    assert str(info.value).endswith("using operator '<'")


def test_comparison_copies_both_sides():
    a, b = SpecOption("p", "o"), SpecOption("q", "r")
    c = a < b
    a.option_name = "z"
    b.package_name = "y"
    assert text_of(c) == text_of(Cmp(SpecOption("p", "o"), SpecOption("q", "r"), CmpType.Less))
    c.lhs = Depends("k")
    left = c.rhs
    left.option_name = "w"
    assert (a.package_name, a.option_name, b.package_name) == ("p", "z", "y")
    outer = c == True  # noqa: E712
    c.op = CmpType.Greater
    assert text_of(outer) == text_of(Cmp(Cmp(Depends("k"), SpecOption("q", "r"), CmpType.Less), True, CmpType.Equal))
    n = NumOf([Depends("a")])
    c = n >= 1
    n.of = []
    assert text_of(c) == text_of(Cmp(NumOf([Depends("a")]), 1, CmpType.GreaterOrEqual))
    v = c.rhs
    c2 = v == 2
    v.value = 7
    assert text_of(c2) == text_of(Cmp(1, 2, CmpType.Equal)) and c.rhs.value == 1


# ---------------------------------------------------------------- if_then

def test_if_then():
    c = Cmp(Maximize(1), "x", CmpType.Less)
    for i in (c.if_then(Depends("b")), c.if_then(then=Depends("b"))):
        assert type(i) is IfThen and type(i.cond) is Cmp
        assert text_of(i) == text_of(IfThen(c, Depends("b")))
    assert text_of(c.if_then(2.5)) == text_of(IfThen(c, 2.5))
    nested = c.if_then(c.if_then(c))
    assert text_of(nested.then.then) == text_of(c)
    assert repr(nested.cond.op) == "CmpType.Less"


@pytest.mark.parametrize("cls", [row.cls for row in CONSTRAINTS], ids=lambda c: c.__name__)
@pytest.mark.parametrize("name", ["__lt__", "__le__", "__eq__", "__ne__", "__gt__", "__ge__"])
def test_comparison_methods_take_one_argument_named_rhs(cls, name):
    assert str(inspect.signature(getattr(cls, name))) == "(self, rhs, /)"
