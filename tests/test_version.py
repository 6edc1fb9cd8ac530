"""Parsing of version texts, their text and debug forms, and the refusals."""

import pytest

from trelk.package.constraint import Cmp, CmpType, SpecOption
from trelk.package.version import Version

MAX = 2**64 - 1


def debug(*parts):
    return "Version { parts: [" + ", ".join(parts) + "] }"


def sep(char):
    return f"Sep('{char}')"


ACCEPTED = [
    ("1.2.3", debug("Int(1)", sep("."), "Int(2)", sep("."), "Int(3)"), "1.2.3"),
    ("1.02-rc1+build",
     debug("Int(1)", sep("."), "Int(2)", sep("-"), 'Str("rc1")', sep("+"), 'Str("build")'),
     "1.2-rc1+build"),
    ("2.*", debug("Int(2)", sep("."), "Wildcard(Single)"), "2.*"),
    ("2.*.1", debug("Int(2)", sep("."), "Wildcard(Single)", sep("."), "Int(1)"), "2.*.1"),
    ("3.>", debug("Int(3)", sep("."), "Wildcard(Rest)"), "3.>"),
    (">", debug("Wildcard(Rest)"), ">"),
    ("*", debug("Wildcard(Single)"), "*"),
    ("*.*-*", debug("Wildcard(Single)", sep("."), "Wildcard(Single)", sep("-"),
                    "Wildcard(Single)"), "*.*-*"),
    ("007", debug("Int(7)"), "7"),
    # numbers between dots take a fast way up to 8 parts and 19 digits each
    ("9999999999999999999.01", debug("Int(9999999999999999999)", sep("."), "Int(1)"), "9999999999999999999.1"),
    ("1.2.3.4.5.6.7.8.9", debug(*[p for i in range(1, 10) for p in (f"Int({i})", sep("."))][:-1]), "1.2.3.4.5.6.7.8.9"),
    ("0", debug("Int(0)"), "0"),
    ("000.00", debug("Int(0)", sep("."), "Int(0)"), "0.0"),
    (str(MAX), debug(f"Int({MAX})"), str(MAX)),
    ("000" + str(MAX), debug(f"Int({MAX})"), str(MAX)),
    (str(MAX + 1), debug(f'Str("{MAX + 1}")'), str(MAX + 1)),
    ("0" + str(MAX + 1), debug(f'Str("0{MAX + 1}")'), "0" + str(MAX + 1)),
    ("RC1", debug('Str("RC1")'), "RC1"),
    ("1a.B2-x", debug('Str("1a")', sep("."), 'Str("B2")', sep("-"), 'Str("x")'), "1a.B2-x"),
    ("1+2-3.4", debug("Int(1)", sep("+"), "Int(2)", sep("-"), "Int(3)", sep("."), "Int(4)"),
     "1+2-3.4"),
    ("4.x.>", debug("Int(4)", sep("."), 'Str("x")', sep("."), "Wildcard(Rest)"), "4.x.>"),
]


@pytest.mark.parametrize("text, debug_form, text_form", ACCEPTED, ids=[t for t, _, _ in ACCEPTED])
def test_accepted(text, debug_form, text_form):
    v = Version(text)
    assert type(v) is Version
    assert repr(v) == debug_form
    assert str(v) == text_form
    # A value taken from it shares its parts, and outlives it.
    held = Cmp(SpecOption("p", "o"), v, CmpType.Equal)
    del v
    assert (repr(held.rhs.value), str(held.rhs.value)) == (debug_form, text_form)


REFUSED = [
    ("", "TrailingSeparator"),
    ("1.", "TrailingSeparator"),
    ("1.2-", "TrailingSeparator"),
    ("1.>.", "TrailingSeparator"),
    (".", "EmptyPart"),
    (".1", "EmptyPart"),
    ("-1", "EmptyPart"),
    ("1..2", "EmptyPart"),
    ("1.-2", "EmptyPart"),
    ("1.>.2", "PartAfterRest"),
    (">.*", "PartAfterRest"),
    (">.>", "PartAfterRest"),
    ("1.>..", "PartAfterRest"),
    ("1.>.x_y", "PartAfterRest"),
    ("1.2_3", 'InvalidPart("2_3")'),
    ("1.**", 'InvalidPart("**")'),
    ("1.*2", 'InvalidPart("*2")'),
    ("1.>2", 'InvalidPart(">2")'),
    ("1 2", 'InvalidPart("1 2")'),
    (" 1.2", 'InvalidPart(" 1")'),
    ("1.ü", 'InvalidPart("ü")'),
    ("١", 'InvalidPart("١")'),
    ("1.😀", 'InvalidPart("😀")'),
    # the first error from the left wins
    ("1_2..", 'InvalidPart("1_2")'),
    ("..1_2", "EmptyPart"),
    # escaping inside the quotes
    ('1.a"b', r'InvalidPart("a\"b")'),
    ("1.a\\b", r'InvalidPart("a\\b")'),
    ("1.a\tb", r'InvalidPart("a\tb")'),
    ("1.a\rb", r'InvalidPart("a\rb")'),
    ("1.a\nb", r'InvalidPart("a\nb")'),
    ("1.a\x00b", r'InvalidPart("a\0b")'),
    ("1.a\x1bb", r'InvalidPart("a\u{1b}b")'),
    ("1.a\x7fb", r'InvalidPart("a\u{7f}b")'),
    ("1.a\x85b", r'InvalidPart("a\u{85}b")'),
    ("1.a\u200bb", r'InvalidPart("a\u{200b}b")'),
    ("1.a\u0301b", r'InvalidPart("a\u{301}b")'),
    ("1.a\u0378b", r'InvalidPart("a\u{378}b")'),
    ("1.a'b", """InvalidPart("a'b")"""),
]


@pytest.mark.parametrize("text, message", REFUSED, ids=[repr(t) for t, _ in REFUSED])
def test_refused(text, message):
    with pytest.raises(ValueError) as info:
        Version(text)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


class _Str(str):
    def __str__(self):
        return "9.9"


def test_str_subclass_accepted():
    v = Version(_Str("1.2"))
    assert str(v) == "1.2"
    assert repr(v) == debug("Int(1)", sep("."), "Int(2)")


@pytest.mark.parametrize("bad, type_name", [
    (None, "NoneType"), (1, "int"), (1.5, "float"), (b"1.2", "bytes"), (["1"], "list"),
])
def test_type_errors(bad, type_name):
    with pytest.raises(TypeError) as info:
        Version(bad)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'ver': '{type_name}' object cannot be cast as 'str'"


def test_immutable():
    v = Version("1.2")
    assert [name for name in dir(v) if not name.startswith("__")] == []
    with pytest.raises(AttributeError):
        v.parts = []
    assert str(v) == "1.2"
