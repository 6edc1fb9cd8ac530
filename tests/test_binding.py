"""Conventions shared by every class: argument binding, conversions at the boundary,
properties, instance restrictions and hashing."""

import operator
import re
import weakref

import pytest

from conftest import CLASSES, CONSTRAINTS, FIELDS, PARAMETERS, VALID
from trelk.package.constraint import Cmp, CmpType, Depends, IfThen, NumOf, SpecOption
from trelk.package.outline import PackageOutline
from trelk.package.version import Version


def a():
    return Depends("a")


def cmp():
    return Cmp(Depends("a"), Depends("b"), CmpType.Equal)


CONSTRAINT_OBJECTS = [row.sample() for row in CONSTRAINTS]


OTHER_OBJECTS = [row.sample() for row in CLASSES.values() if not row.form]
by_type = {"ids": lambda o: type(o).__name__}


class _Outer:
    class Inner:
        pass


def raises_exactly(exc_type, message, func):
    with pytest.raises(BaseException) as info:
        func()
    assert type(info.value) is exc_type
    assert str(info.value) == message
    return info.value


def evaluate(expr):
    return eval(expr, globals())


# Every call whose parameters are all required: its name in messages, the call, its parameters.
REQUIRED_ONLY = [(f"{cls.__name__}.__new__()", cls, params) for cls, params in PARAMETERS.items()] + [
    ("Cmp.if_then()", lambda *args, **kwargs: cmp().if_then(*args, **kwargs), ("then",))]


def missing(fn, names):
    q = [f"'{n}'" for n in names]
    listed = " and ".join(q) if len(q) < 3 else ", ".join(q[:-1]) + ", and " + q[-1]
    plural = "s" if len(names) > 1 else ""
    return f"{fn} missing {len(names)} required positional argument{plural}: {listed}"


@pytest.mark.parametrize("fn, call, params", REQUIRED_ONLY, ids=[fn for fn, _, _ in REQUIRED_ONLY])
def test_required_parameters_binding(fn, call, params):
    args, n = [VALID[p] for p in params], len(params)

    def refused(message, *args, **kwargs):
        raises_exactly(TypeError, message, lambda: call(*args, **kwargs))

    call(*args)
    call(**{p: VALID[p] for p in reversed(params)})
    refused(missing(fn, params))
    refused(f"{fn} got an unexpected keyword argument 'bogus'", bogus=1)
    if n > 1:
        refused(missing(fn, params[1:]), args[0])
        refused(missing(fn, params[:1]), **{p: VALID[p] for p in params[1:]})
    # Surplus positionals are found first, then keywords in call order, then missing ones.
    surplus = f"{fn} takes {n} positional arguments but {n + 1} were given"
    refused(surplus, *args, 1)
    refused(surplus, *args, 1, bogus=2)
    for p in (params[0], params[-1]):
        refused(f"{fn} got multiple values for argument '{p}'", *args, **{p: VALID[p]})
    refused(f"{fn} got an unexpected keyword argument 'bogus'", *args, bogus=1)
    refused(f"{fn} got an unexpected keyword argument 'zz'", *args, **{"zz": 1, params[0]: VALID[params[0]]})
    refused(f"{fn} got multiple values for argument '{params[0]}'", *args, **{params[0]: 1, "zz": 1})


BINDING_ERRORS = [
    ("Cmp(rhs=1)", "Cmp.__new__() missing 2 required positional arguments: 'lhs' and 'op'"),
    ("PackageOutline()", "PackageOutline.__new__() missing 1 required positional argument: 'name'"),
    ("PackageOutline(constraints=[], set_defaults={})",
     "PackageOutline.__new__() missing 1 required positional argument: 'name'"),
    ("PackageOutline('p', None, None, None, None)",
     "PackageOutline.__new__() takes from 1 to 4 positional arguments but 5 were given"),
    ("PackageOutline('p', name='q')",
     "PackageOutline.__new__() got multiple values for argument 'name'"),
    ("PackageOutline('p', [], constraints=[])",
     "PackageOutline.__new__() got multiple values for argument 'constraints'"),
    # conversion failures of named arguments carry the argument's name
    ("Depends(5)", "argument 'name': 'int' object cannot be cast as 'str'"),
    ("Depends(None)", "argument 'name': 'NoneType' object cannot be cast as 'str'"),
    ("Depends(_Outer.Inner())", "argument 'name': '_Outer.Inner' object cannot be cast as 'str'"),
    ("SpecOption('p', None)", "argument 'option_name': 'NoneType' object cannot be cast as 'str'"),
    ("SpecOption(1, None)", "argument 'package_name': 'int' object cannot be cast as 'str'"),
    ("Cmp(a(), a(), 3)", "argument 'op': 'int' object cannot be cast as 'CmpType'"),
    ("Cmp(a(), a(), a())", "argument 'op': 'Depends' object cannot be cast as 'CmpType'"),
    ("Cmp(None, [], 3)", "argument 'lhs': cannot convert '<class 'NoneType'>' to Constraint"),
    ("Cmp(a(), [], 3)", "argument 'rhs': cannot convert '<class 'list'>' to Constraint"),
    ("IfThen(then=None, cond=[])", "argument 'cond': cannot convert '<class 'list'>' to Constraint"),
    ("cmp().if_then(None)", "argument 'then': cannot convert '<class 'NoneType'>' to Constraint"),
    ("Version(b'1')", "argument 'ver': 'bytes' object cannot be cast as 'str'"),
    ("PackageOutline(5)", "argument 'name': 'int' object cannot be cast as 'str'"),
]


@pytest.mark.parametrize("expr, message", BINDING_ERRORS, ids=[e for e, _ in BINDING_ERRORS])
def test_call_errors(expr, message):
    raises_exactly(TypeError, message, lambda: evaluate(expr))


def test_keyword_binding_accepted():
    assert Depends(name="a").on == "a"
    s = SpecOption(option_name="o", package_name="p")
    assert (s.package_name, s.option_name) == ("p", "o")
    c = Cmp(op=CmpType.Less, rhs=Depends("r"), lhs=Depends("l"))
    assert (c.lhs.on, c.rhs.on, repr(c.op)) == ("l", "r", "CmpType.Less")
    assert isinstance(cmp().if_then(then=a()), IfThen)
    assert str(Version(ver="1.0")) == "1.0"
    PackageOutline(name="p", set_defaults=None, constraints=None, set_options=None)
    # extra keywords are collected by the outline, not refused by the binding
    raises_exactly(ValueError, "PyPackageOutline unexpected keyword argument 'foo'",
                   lambda: PackageOutline("p", foo=1, bar=2))


class _SubTypeError(TypeError):
    pass


class _FailingSequence(list):
    def __init__(self, exc):
        super().__init__()
        self.exc = exc

    def __iter__(self):
        raise self.exc


def test_prefix_keeps_cause_and_spares_other_exceptions():
    cause = KeyError("k")
    exc = TypeError("boom")
    exc.__cause__ = cause
    err = raises_exactly(TypeError, "argument 'of': boom", lambda: NumOf(_FailingSequence(exc)))
    assert err.__cause__ is cause
    for other in [_SubTypeError("sub"), ValueError("plain")]:
        with pytest.raises(type(other)) as info:
            NumOf(_FailingSequence(other))
        assert info.value is other


@pytest.mark.parametrize("expr", ["Depends('\\ud800')", "SpecOption('p', 'x\\udc00')",
                                  "Version('1.\\ud800')", "PackageOutline('\\udfff')",
                                  "setattr(d, 'on', '\\ud800')"])
def test_lone_surrogate_passes_unprefixed(expr):
    d = Depends("abc")
    with pytest.raises(UnicodeEncodeError) as info:
        eval(expr, globals(), {"d": d})
    assert not str(info.value).startswith("argument")
    assert d.on == "abc"


class _Str(str):
    def __str__(self):
        return "other"


@pytest.mark.parametrize("text", ["", "a\x00b", "ü€😀", " spaced ", "(x) [y] 'z'"])
def test_texts_stored_exactly(text):
    d = Depends(_Str(text))
    assert type(d.on) is str and d.on == text
    s = SpecOption(text, _Str(text))
    assert (s.package_name, s.option_name) == (text, text)
    d.on = _Str(text + "!")
    assert type(d.on) is str and d.on == text + "!"


@pytest.mark.parametrize("obj", CONSTRAINT_OBJECTS, **by_type)
def test_delete_property_refused(obj):
    for prop in FIELDS[type(obj)]:
        raises_exactly(AttributeError, "can't delete attribute", lambda: delattr(obj, prop))
        raises_exactly(AttributeError, "can't delete attribute",
                       lambda: type(obj).__dict__[prop].__delete__(obj))
        getattr(obj, prop)


@pytest.mark.parametrize("obj", CONSTRAINT_OBJECTS + OTHER_OBJECTS, **by_type)
def test_instance_restrictions(obj):
    cls = type(obj)
    with pytest.raises(AttributeError, match=re.escape(f"'builtins.{cls.__name__}' object")):
        obj.x = 1
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("obj", CONSTRAINT_OBJECTS, **by_type)
def test_constraints_unhashable(obj):
    assert type(obj).__hash__ is None
    with pytest.raises(TypeError, match=re.escape(f"unhashable type: 'builtins.{type(obj).__name__}'")):
        hash(obj)


@pytest.mark.parametrize("make", [row.sample for row in CLASSES.values() if not row.form],
                         ids=[name for name, row in CLASSES.items() if not row.form])
def test_no_value_equality_or_order(make):
    # Objects made from the same input are distinct, and so are their hashes.
    v, w = make(), make()
    assert v != w and not (v == w) and hash(v) != hash(w) and len({v, w}) == 2
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError, match="not supported between instances"):
            op(v, w)


def test_reads_give_distinct_objects():
    d = Depends("package-name")
    assert d.on == d.on and d.on is not d.on
    c = Cmp(Depends("left"), Version("1.2"), CmpType.Less)
    assert c.lhs is not c.lhs and c.lhs.on == c.lhs.on == "left"
    assert c.op is not c.op
    assert c.rhs.value is not c.rhs.value
    n = NumOf([d])
    assert n.of is not n.of


@pytest.mark.parametrize("cls, args", [(row.cls, args) for args in [(1,), ()]
                                       for row in CLASSES.values() if row.parameters is None])
def test_not_instantiable(cls, args):
    with pytest.raises(TypeError, match=re.escape(f"cannot create 'builtins.{cls.__name__}' instances")):
        cls(*args)
