"""PackageOutline: binding, conversion of its inputs, order of errors and extra keywords."""

import collections

import pytest

from trelk.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, NumOf, SpecOption
from trelk.package.outline import PackageOutline
from trelk.package.version import Version

NEW = "PackageOutline.__new__()"


class StrictDict(dict):
    """A dict subclass whose Python-level iteration is broken: the outline must read the storage."""

    def __iter__(self):
        raise AssertionError("iterated through __iter__")

    def items(self):
        raise AssertionError("iterated through items()")


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("p",), {}), (("",), {}), (("p", None, None, None), {}),
        ((), {"name": "p", "constraints": None, "set_options": None, "set_defaults": None}),
        ((), {"set_defaults": None, "set_options": None, "constraints": None, "name": "p"}),
        (("p", [Depends("a"), 1, 2.5, "s", True, Version("1"), NumOf([]), IfThen(1, 2)]), {}),
        (("p", (Cmp(SpecOption("p", "o"), 1, CmpType.Less),)), {}), (("p", b"ab", {}, {}), {}),
        (("p", range(3)), {}), ((type("S", (str,), {})("p"),), {"set_options": {type("K", (str,), {})("k"): 1}}),
        (("p",), {"set_options": {"a": True, "b": 1, "c": 1.5, "d": "x", "e": Version("2.0")}}),
        (("p",), {"set_defaults": {"a": None, "b": 1, "c": None}}),
        (("p", [], collections.OrderedDict(a=1), collections.defaultdict(int, b=None)), {}),
        (("p", [], StrictDict(a=1), StrictDict(b=None)), {}),
    ],
)
def test_accepted(args, kwargs):
    # An outline shows nothing of its content (test_binding checks what every object shows).
    assert type(PackageOutline(*args, **kwargs)) is PackageOutline


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {"foo": 1}, f"{NEW} missing 1 required positional argument: 'name'"),
    (("p", None, None, None, None), {"foo": 1}, f"{NEW} takes from 1 to 4 positional arguments but 5 were given"),
    (("p", [], {}), {"set_defaults": {}, "set_options": {}}, f"{NEW} got multiple values for argument 'set_options'"),
])
def test_binding_comes_before_extra_keywords(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        PackageOutline(*args, **kwargs)
    assert str(info.value) == message


def gen():
    yield Depends("a")


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((5,), {}, TypeError, "argument 'name': 'int' object cannot be cast as 'str'"),
        ((None,), {}, TypeError, "argument 'name': 'NoneType' object cannot be cast as 'str'"),
        (("p", "abc"), {}, TypeError, "argument 'constraints': Can't extract `str` to `Vec`"),
        (("p", gen()), {}, TypeError, "argument 'constraints': 'generator' object cannot be cast as 'Sequence'"),
        (("p", {"a": 1}), {}, TypeError, "argument 'constraints': 'dict' object cannot be cast as 'Sequence'"),
        (("p", {1}), {}, TypeError, "argument 'constraints': 'set' object cannot be cast as 'Sequence'"),
        (("p", 5), {}, TypeError, "argument 'constraints': 'int' object cannot be cast as 'Sequence'"),
        (("p", [Depends("a"), None, []]), {}, TypeError,
         "argument 'constraints': cannot convert '<class 'NoneType'>' to Constraint"),
        (("p", [], [("a", 1)]), {}, TypeError, "argument 'set_options': 'list' object cannot be cast as 'dict'"),
        (("p", [], {1: 2}), {}, TypeError, "argument 'set_options': 'int' object cannot be cast as 'str'"),
        (("p", [], {"a": None}), {}, TypeError,
         "argument 'set_options': cannot cast Python type '<class 'NoneType'>' to SpecOptionValue"),
        (("p", [], {"a": Depends("x")}), {}, TypeError,
         f"argument 'set_options': cannot cast Python type '{Depends}' to SpecOptionValue"),
        (("p", [], {}, 5), {}, TypeError, "argument 'set_defaults': 'int' object cannot be cast as 'dict'"),
        (("p", [], {}, {b"k": None}), {}, TypeError, "argument 'set_defaults': 'bytes' object cannot be cast as 'str'"),
        (("p", [], {}, {"a": None, "b": []}), {}, TypeError,
         "argument 'set_defaults': cannot cast Python type '<class 'list'>' to SpecOptionValue"),
        # Earlier parameters are reported first.
        ((5, "x", [], 1), {}, TypeError, "argument 'name': 'int' object cannot be cast as 'str'"),
        (("p", "x", [], 1), {}, TypeError, "argument 'constraints': Can't extract `str` to `Vec`"),
        (("p", [None], {1: 2}, 1), {}, TypeError,
         "argument 'constraints': cannot convert '<class 'NoneType'>' to Constraint"),
        (("p", [], {1: 2}, 1), {}, TypeError, "argument 'set_options': 'int' object cannot be cast as 'str'"),
        (("p", [], {"a": 1, "b": None}, {"c": []}), {}, TypeError,
         "argument 'set_options': cannot cast Python type '<class 'NoneType'>' to SpecOptionValue"),
        # Conversion errors win over extra keywords; the first extra keyword is named.
        (("p", "x"), {"foo": 1}, TypeError, "argument 'constraints': Can't extract `str` to `Vec`"),
        (("p",), {"set_defaults": {"a": []}, "foo": 1}, TypeError,
         "argument 'set_defaults': cannot cast Python type '<class 'list'>' to SpecOptionValue"),
        (("p",), {"foo": 1}, ValueError, "PyPackageOutline unexpected keyword argument 'foo'"),
        (("p",), {"foo": 1, "bar": 2}, ValueError, "PyPackageOutline unexpected keyword argument 'foo'"),
        (("p",), {"bar": 2, "foo": 1}, ValueError, "PyPackageOutline unexpected keyword argument 'bar'"),
        (("p",), {"set_options": {"a": 1}, "name2": None}, ValueError,
         "PyPackageOutline unexpected keyword argument 'name2'"),
    ],
)
def test_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        PackageOutline(*args, **kwargs)
    assert type(info.value) is exc and str(info.value) == message


def test_unencodable_text_is_not_prefixed():
    for call in (lambda: PackageOutline("p", set_options={"\udc00": 1}),
                 lambda: PackageOutline("p", set_defaults={"\udc00": None})):
        with pytest.raises(UnicodeEncodeError):
            call()
    with pytest.raises(TypeError) as info:
        PackageOutline("p", set_options={"k": "\ud800"})
    assert str(info.value) == "argument 'set_options': cannot cast Python type '<class 'str'>' to SpecOptionValue"


def test_iteration_exceptions_pass_unchanged():
    class Seq:
        def __getitem__(self, i):
            if i == 1:
                raise KeyError("boom")
            return Depends("a")

    with pytest.raises(KeyError):
        PackageOutline("p", Seq())


def test_arguments_are_not_changed():
    d = Depends("a")
    opts = {"a": 1}
    defaults = {"b": None}
    lst = [d, Maximize(d)]
    PackageOutline("p", lst, opts, defaults)
    assert lst[0] is d and opts == {"a": 1} and defaults == {"b": None} and d.on == "a"


class Mutator:
    """An option value whose integer conversion changes the dict being read, once."""

    def __init__(self, action):
        self.action, self.done = action, False

    def __index__(self):
        if not self.done:
            self.done = True
            self.action()
        return 1


def grow(d):
    d["zz"] = 2


def swap(d):
    del d["a"]
    d["zz"] = 2


def replace_last(d):  # the size and the keys stay
    d[list(d)[-1]] = 2.5


@pytest.mark.parametrize("param", ["set_options", "set_defaults"])
@pytest.mark.parametrize(
    "change, message",
    [(grow, "dictionary changed size during iteration"), (swap, "dictionary keys changed during iteration"),
     (replace_last, "dictionary keys changed during iteration")],
)
# With 4 more entries, the swap rebuilds the table and moves every entry; the
# entry that changes the dict comes first or last.
@pytest.mark.parametrize("before, after", [(0, 0), (0, 4), (4, 0)])
def test_dict_changed_during_reading(param, change, message, before, after):
    d = {f"b{i}": i for i in range(before)}
    keep = Mutator(lambda: change(d))
    d["a"] = keep
    d.update((f"k{i}", i) for i in range(after))
    try:
        PackageOutline("p", **{param: d})
    except BaseException as e:  # noqa: B036 - the failure class is not an Exception
        assert type(e).__bases__ == (BaseException,) and not isinstance(e, Exception), repr(e)
        assert message in str(e)
    else:
        pytest.fail("no internal failure raised")
    assert keep.done
