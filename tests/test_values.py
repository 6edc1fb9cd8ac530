"""Option values: conversion of plain Python objects, Value.value, and literal text forms."""

import decimal
import fractions
import math
import random
import struct

import numpy as np
import pytest

from conftest import run_python, text_of, value_of
from trelk.package.constraint import Cmp, CmpType, Depends, Maximize, NumOf, SpecOption
from trelk.package.outline import PackageOutline
from trelk.package.version import Version

class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class Floaty:
    def __float__(self):
        return 1.25


class IndexFailsFloatWorks:
    def __index__(self):
        raise ValueError("no index")

    def __float__(self):
        return 3.5


class AlwaysFails:
    def __index__(self):
        raise ValueError("no index")

    def __float__(self):
        raise RuntimeError("no float")


class NamedMeta(type):
    def __str__(cls):
        return "named ' by str()"


class Named(metaclass=NamedMeta):
    pass


class StrSub(str):
    pass


class IntSub(int):
    pass


def fake_numpy_bool(name, truth):
    ns = {"__module__": "numpy"}
    if truth is not None:
        ns["__bool__"] = truth
    ns["__index__"] = lambda self: 7
    return type(name, (), ns)()


def _raise(exc):
    raise exc


@pytest.mark.parametrize(
    "obj, expected, kind",
    [
        (True, True, bool), (False, False, bool), (np.True_, True, bool), (np.False_, False, bool),
        (fake_numpy_bool("bool_", lambda self: False), False, bool),
        (fake_numpy_bool("bool", lambda self: True), True, bool),
        # A failing or missing truth slot moves on to the integer attempt.
        (fake_numpy_bool("bool_", lambda self: _raise(ValueError())), 7, int), (fake_numpy_bool("bool_", None), 7, int),
        (fake_numpy_bool("boolean", lambda self: True), 7, int), (0, 0, int), (-5, -5, int),
        (2**63 - 1, 2**63 - 1, int), (-(2**63), -(2**63), int), (IntSub(7), 7, int), (Index(9), 9, int),
        (np.int64(4), 4, int), (2**63, 2.0**63, float), (-(2**63) - 1, -(2.0**63), float), (2.5, 2.5, float),
        (np.float64(-2.5), -2.5, float), (Floaty(), 1.25, float), (IndexFailsFloatWorks(), 3.5, float),
        (decimal.Decimal("0.5"), 0.5, float), (fractions.Fraction(1, 4), 0.25, float), ("x", "x", str), ("", "", str),
        # Each width of character, at the edges of each length of UTF-8 sequence.
        ("a\x7f\x80\xff", "a\x7f\x80\xff", str), ("\u07ff\u0800\ud7ff\ue000\uffff", "\u07ff\u0800\ud7ff\ue000\uffff", str),
        ("\U00010000\U0010ffff\xe9", "\U00010000\U0010ffff\xe9", str), (StrSub("s"), "s", str), (StrSub("\xe9"), "\xe9", str),
    ],
)
def test_conversion_order(obj, expected, kind):
    v = value_of(obj)
    assert type(v).__name__ == "Value"
    got = v.value
    assert type(got) is kind and got == expected
    # The same attempts apply to Value.value and to option dictionaries.
    v.value = "other"
    v.value = obj
    assert type(v.value) is kind and v.value == expected
    PackageOutline("p", set_options={"k": obj}, set_defaults={"k": obj})


def test_bool_values_are_singletons():
    assert value_of(True).value is True
    assert value_of(np.False_).value is False


def test_version_value_is_copied():
    ver = Version("01.2-rc1")
    v = value_of(ver)
    first, second = v.value, v.value
    assert type(first) is Version
    assert first is not ver and first is not second
    assert str(first) == str(second) == "1.2-rc1"


@pytest.mark.parametrize(
    "obj, cls",
    [
        (None, "<class 'NoneType'>"), ([], "<class 'list'>"), ({}, "<class 'dict'>"), (b"x", "<class 'bytes'>"),
        (10**400, "<class 'int'>"), (-(10**400), "<class 'int'>"), ("\ud800", "<class 'str'>"),
        ("\xe9\udfff", "<class 'str'>"), ("\U0010ffff\ud800", "<class 'str'>"), ("\xe9" * 40 + "\ud800", "<class 'str'>"),
        (object(), "<class 'object'>"), (AlwaysFails(), str(AlwaysFails)), (Depends("a"), "<class 'builtins.Depends'>"),
        (Named(), "named ' by str()"),
    ],
)
def test_refused_values(obj, cls):
    v = value_of(1.5)
    with pytest.raises(TypeError) as info:
        v.value = obj
    assert str(info.value) == f"argument 'value': cannot cast Python type '{cls}' to SpecOptionValue"
    assert v.value == 1.5
    with pytest.raises(TypeError) as info:
        PackageOutline("p", set_options={"k": obj})
    assert str(info.value) == f"argument 'set_options': cannot cast Python type '{cls}' to SpecOptionValue"
    if not isinstance(obj, Depends):
        with pytest.raises(TypeError) as info:
            Maximize(obj)
        assert str(info.value) == f"argument 'item': cannot convert '{cls}' to Constraint"


def test_value_property():
    v = value_of(3)
    for obj in ("s", 2.5, True, -1, Version("2")):
        v.value = obj
        assert type(v.value) is type(obj) and str(v.value) == str(obj)
    with pytest.raises(AttributeError) as info:
        del v.value
    assert str(info.value) == "can't delete attribute"
    assert str(v.value) == "2"
    assert text_of(v) == text_of(Version("2"))


ENTRY_POINTS = {
    "cmp": lambda o: Cmp(SpecOption("p", "o"), o, CmpType.Equal),
    "value setter": lambda o: setattr(value_of(1), "value", o),
    "compare": lambda o: Depends("a") == o,
    "ordering": lambda o: NumOf([]) < o,
    "numof": lambda o: NumOf([Depends("a"), o]),
    "options": lambda o: PackageOutline("p", set_options={"k": o}),
    "defaults": lambda o: PackageOutline("p", set_defaults={"a": None, "k": o}),
}


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class RaisingFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("holder", [RaisingIndex, RaisingFloat])
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
def test_interrupts_propagate(entry, holder, exc_type):
    exc = exc_type("stop")
    with pytest.raises(exc_type) as info:
        ENTRY_POINTS[entry](holder(exc))
    assert info.value is exc


@pytest.mark.parametrize("holder", [RaisingIndex, RaisingFloat])
@pytest.mark.parametrize("exc_type", [ValueError, TypeError, OverflowError, ArithmeticError])
def test_ordinary_exceptions_are_discarded(holder, exc_type):
    obj = holder(exc_type("x"))
    assert (Depends("a") == obj) is False
    with pytest.raises(TypeError) as info:
        Cmp(SpecOption("p", "o"), obj, CmpType.Equal)
    assert str(info.value) == f"argument 'rhs': cannot convert '{holder}' to Constraint"
    with pytest.raises(TypeError) as info:
        PackageOutline("p", set_defaults={"k": obj})
    assert str(info.value) == f"argument 'set_defaults': cannot cast Python type '{holder}' to SpecOptionValue"


@pytest.mark.parametrize(
    "obj, text",
    [
        (True, "true"), (False, "false"), (0, "0"), (-42, "-42"), (2**63 - 1, "9223372036854775807"),
        (-(2**63), "-9223372036854775808"), (1.0, "1"), (0.0, "0"), (-0.0, "-0"), (0.1, "0.1"), (-2.5, "-2.5"),
        (1 / 3, "0.3333333333333333"), (123.456, "123.456"), (1e-7, "0.0000001"), (1.5e-7, "0.00000015"),
        (1e16, "10000000000000000"), (1e21, "1" + "0" * 21), (1.2345678901234568e20, "123456789012345680000"),
        (2**63, "9223372036854776000"), (5e-324, "0." + "0" * 323 + "5"),
        (1.7976931348623157e308, "17976931348623157" + "0" * 292), (math.nan, "NaN"), (math.inf, "inf"),
        (-math.inf, "-inf"), ("", ""), ("a 'b' ( [c] ) \"d\" ü", "a 'b' ( [c] ) \"d\" ü"),
        (Version("01.2-rc1+*"), "1.2-rc1+*"),
    ],
)
def test_text_forms(obj, text):
    assert text_of(obj) == text
    assert text_of(value_of(obj)) == text


def test_float_text_is_shortest_positional():
    rng = random.Random(7)
    for i in range(3000):
        if i % 2:
            x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        else:
            x = rng.uniform(-1, 1) * 10.0 ** rng.randint(-30, 30)
        if math.isnan(x):
            continue
        expected = format(decimal.Decimal(repr(x)), "f") if math.isfinite(x) else str(x)
        if "." in expected:
            expected = expected.rstrip("0").rstrip(".")
        assert text_of(x) == expected, repr(x)


def test_refusal_events():
    code = """
        import os, trelk
        from trelk.package.constraint import Cmp, CmpType, Depends, Maximize, Minimize, NumOf
        from trelk.package.outline import PackageOutline
        def mark(t): os.write(1, b"--" + t.encode() + b"\\n")
        def attempt(f):
            try: f()
            except (TypeError, ValueError, NotImplementedError): pass
        v = Cmp(Depends("a"), 1, CmpType.Equal).rhs
        attempt(lambda: setattr(v, "value", []))
        attempt(lambda: Maximize(None))
        trelk.init_tracing()
        mark("value"); attempt(lambda: setattr(v, "value", [])); attempt(lambda: setattr(v, "value", 10**400))
        mark("plain"); attempt(lambda: Minimize(b"x"))
        mark("numof"); attempt(lambda: NumOf([Depends("a"), None, []]))
        mark("cmp"); attempt(lambda: Cmp(None, [], CmpType.Less))
        mark("discarded"); assert (Depends("a") == None) is False; attempt(lambda: Depends("a") < object())
        mark("silent"); attempt(lambda: NumOf("ab")); attempt(lambda: NumOf(5))
        attempt(lambda: Depends("a") < Depends("b"))
        mark("outline"); attempt(lambda: PackageOutline("p", foo=1, bar=2))
        attempt(lambda: PackageOutline("p", set_options={"a": None}))
        attempt(lambda: PackageOutline("p", [Depends("a"), None]))
        attempt(lambda: PackageOutline("p", "x", foo=1))
        mark("ok"); v.value = 2**63; NumOf((Depends("a"), 1, 2.5, "s", True)) == 1
        PackageOutline("p", [1, "s"], {"a": 2}, {"a": None, "b": 1})
        mark("end")
    """
    proc = run_python(code, env={"NO_COLOR": "1"})
    assert proc.returncode == 0, proc.stderr
    refused = "ERROR trelk::package::constraint: cannot convert '<class '{}'>' to Constraint\n".format
    value = "ERROR trelk::spec::spec_option: cannot cast Python type '<class '{}'>' to SpecOptionValue\n".format
    assert proc.stdout.decode() == "".join([
        " WARN trelk: tracing activated\n--value\n", value("list"), value("int"),
        "--plain\n", refused("bytes"), "--numof\n", refused("NoneType"), "--cmp\n", refused("NoneType"),
        "--discarded\n", refused("NoneType"), refused("object"), "--silent\n--outline\n",
        "ERROR trelk::package::outline: PyPackageOutline unexpected keyword argument 'foo'\n",
        value("NoneType"), refused("NoneType"), "--ok\n--end\n",
    ])
