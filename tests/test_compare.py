"""Comparison operators: value-type check, refusals, NotImplemented paths and Cmp.if_then."""

import inspect
import operator

import pytest

from conftest import OPERATORS, text_of, value_of
from trelk.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value
from trelk.package.outline import PackageOutline
from trelk.package.version import Version


# function, symbol, CmpType member, mirrored function
OPS = [(op.fn, op.symbol, op.name, op.mirrored) for op in OPERATORS]
SYMBOL = {fn: sym for fn, sym, _, _ in OPS}

# kind: (builder, value type, text form)
KINDS = {
    "cmp": (lambda: Cmp(Depends("a"), 1.5, CmpType.Less), "Bool", "[ Depends( a ) ] < [ 1.5 ]"),
    "depends": (lambda: Depends("a"), "Bool", "Depends( a )"),
    "ifthen": (lambda: IfThen(Depends("a"), 1), None, "If( Depends( a ) ) Then [ 1 ]"),
    "maximize": (lambda: Maximize(SpecOption("p", "o")), None, "Maximize( Package 'p' -> Option 'o' )"),
    "minimize": (lambda: Minimize(NumOf([])), None, "Minimize( NumOf(  ) )"),
    "numof": (lambda: NumOf([Depends("a"), Depends("b")]), "Int", "NumOf( Depends( a ), Depends( b ) )"),
    "specoption": (lambda: SpecOption("p", "o"), "Unknown", "Package 'p' -> Option 'o'"),
    "bool": (lambda: value_of(False), "Bool", "false"),
    "int": (lambda: value_of(-3), "Int", "-3"),
    "float": (lambda: value_of(2.5), "Float", "2.5"),
    "str": (lambda: value_of("s t"), "Str", "s t"),
    "version": (lambda: value_of(Version("1.02")), "Version", "1.2"),
}
PLAIN = {"bool": lambda: False, "int": lambda: -3, "float": lambda: 2.5, "str": lambda: "s t",
         "version": lambda: Version("1.02")}


def expect(call, left, right, fn):
    """Check `call()` against the value-type rule for the kinds `left` and `right` under `fn`."""
    _, ltype, ltext = KINDS[left]
    _, rtype, rtext = KINDS[right]
    sym = SYMBOL[fn]
    if ltype is not None and ltype == rtype and (ltype != "Bool" or sym in ("==", "!=")):
        c = call()
        assert type(c) is Cmp and bool(c) is True
        member = next(m for f, _, m, _ in OPS if f is fn)
        assert int(c.op) == int(getattr(CmpType, member))
        assert text_of(c) == f"[ {ltext} ] {sym} [ {rtext} ]"
        return c
    with pytest.raises(NotImplementedError) as info:
        call()
    name = lambda t: "None" if t is None else f"Some({t})"  # noqa: E731
    assert str(info.value) == (
        f"Cannot compare type {name(ltype)} from constraint {ltext} "
        f"with type {name(rtype)} from constraint {rtext} using operator '{sym}'"
    )


@pytest.mark.parametrize("left", KINDS)
@pytest.mark.parametrize("right", KINDS)
def test_value_type_table(left, right):
    for fn, _, _, _ in OPS:
        a, b = KINDS[left][0](), KINDS[right][0]()
        c = expect(lambda: fn(a, b), left, right, fn)
        if c is not None:
            assert type(c.lhs) is type(a) and type(c.rhs) is type(b)


@pytest.mark.parametrize("left", KINDS)
@pytest.mark.parametrize("right", PLAIN)
def test_plain_operands_both_orders(left, right):
    for fn, _, _, mirrored in OPS:
        a, p = KINDS[left][0](), PLAIN[right]()
        c = expect(lambda: fn(a, p), left, right, fn)
        if c is not None:
            assert type(c.rhs) is Value
        # The plain value on the left: the constraint's slot runs with the mirrored operator.
        c = expect(lambda: fn(p, a), left, right, mirrored)
        if c is not None:
            assert type(c.lhs) is type(a) and type(c.rhs) is Value


DEPENDS_A = "Cannot compare type Some(Bool) from constraint Depends( a ) "
OPTION_PO = "Cannot compare type Some(Unknown) from constraint Package 'p' -> Option 'o' "


@pytest.mark.parametrize("call, message", [
    (lambda: NumOf([Depends("a"), Depends("b")]) >= "x", "Cannot compare type Some(Int) from constraint "
     "NumOf( Depends( a ), Depends( b ) ) with type Some(Str) from constraint x using operator '>='"),
    (lambda: Depends("a") < Depends("b"), DEPENDS_A + "with type Some(Bool) from constraint Depends( b ) using operator '<'"),
    (lambda: Depends("a") == SpecOption("p", "o"),
     DEPENDS_A + "with type Some(Unknown) from constraint Package 'p' -> Option 'o' using operator '=='"),
    (lambda: SpecOption("p", "o") == 3, OPTION_PO + "with type Some(Int) from constraint 3 using operator '=='"),
    (lambda: 3 == SpecOption("p", "o"), OPTION_PO + "with type Some(Int) from constraint 3 using operator '=='"),
    (lambda: 5 < SpecOption("p", "o"), OPTION_PO + "with type Some(Int) from constraint 5 using operator '>'"),
])
def test_refusal_messages(call, message):
    with pytest.raises(NotImplementedError) as info:
        call()
    assert type(info.value) is NotImplementedError and str(info.value) == message


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
    assert text_of(x) == KINDS[kind][2]


def test_chained_comparisons():
    a, b, c = SpecOption("p", "a"), SpecOption("p", "b"), SpecOption("p", "c")
    r = a < b <= c
    assert text_of(r) == "[ Package 'p' -> Option 'b' ] <= [ Package 'p' -> Option 'c' ]"
    r = 1 < NumOf([]) < 5
    assert text_of(r) == "[ NumOf(  ) ] < [ 5 ]"
    with pytest.raises(NotImplementedError) as info:
        Depends("a") < Depends("b") < object()
    assert str(info.value).endswith("using operator '<'")


def test_comparison_copies_both_sides():
    a, b = SpecOption("p", "o"), SpecOption("q", "r")
    c = a < b
    a.option_name = "z"
    b.package_name = "y"
    assert text_of(c) == "[ Package 'p' -> Option 'o' ] < [ Package 'q' -> Option 'r' ]"
    c.lhs = Depends("k")
    left = c.rhs
    left.option_name = "w"
    assert (a.package_name, a.option_name, b.package_name) == ("p", "z", "y")
    outer = c == True  # noqa: E712
    c.op = CmpType.Greater
    assert text_of(outer) == "[ [ Depends( k ) ] < [ Package 'q' -> Option 'r' ] ] == [ true ]"
    n = NumOf([Depends("a")])
    c = n >= 1
    n.of = []
    assert text_of(c) == "[ NumOf( Depends( a ) ) ] >= [ 1 ]"
    v = c.rhs
    c2 = v == 2
    v.value = 7
    assert text_of(c2) == "[ 1 ] == [ 2 ]" and c.rhs.value == 1


# ---------------------------------------------------------------- if_then

def test_if_then():
    c = Cmp(Maximize(1), "x", CmpType.Less)
    for i in (c.if_then(Depends("b")), c.if_then(then=Depends("b"))):
        assert type(i) is IfThen and type(i.cond) is Cmp
        assert text_of(i) == "If( [ Maximize( 1 ) ] < [ x ] ) Then [ Depends( b ) ]"
    assert text_of(c.if_then(2.5)) == "If( [ Maximize( 1 ) ] < [ x ] ) Then [ 2.5 ]"
    nested = c.if_then(c.if_then(c))
    assert text_of(nested.then.then) == "[ Maximize( 1 ) ] < [ x ]"
    assert repr(nested.cond.op) == "CmpType.Less"


@pytest.mark.parametrize("cls", [Cmp, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value])
@pytest.mark.parametrize("name", ["__lt__", "__le__", "__eq__", "__ne__", "__gt__", "__ge__"])
def test_comparison_methods_take_one_argument_named_rhs(cls, name):
    assert str(inspect.signature(getattr(cls, name))) == "(self, rhs, /)"
