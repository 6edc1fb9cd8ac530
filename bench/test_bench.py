"""Workloads, each timed beside the anchor it is judged against."""

import subprocess
import sys
import textwrap

import packaging.version
import pytest
import sympy

from conftest import record_difference, record_memory
from trelk.package.constraint import Cmp, CmpType, Depends, Maximize, NumOf, SpecOption
from trelk.package.outline import PackageOutline
from trelk.package.version import Version

SHORT, LONG = "1.2.3", "10.20.30-rc1+build.5"


def namespace(**values):
    base = dict(
        Version=Version, PackagingVersion=packaging.version.Version, Depends=Depends,
        SpecOption=SpecOption, Cmp=Cmp, CmpType=CmpType, NumOf=NumOf, Maximize=Maximize,
        PackageOutline=PackageOutline, x=sympy.Symbol("x"),
    )
    base.update(values)
    return base


@pytest.mark.parametrize(
    "name, stmt, anchor",
    [
        ("packaging Version 1.2.3", f"PackagingVersion({SHORT!r})", None),
        ("Version 1.2.3", f"Version({SHORT!r})", "packaging Version 1.2.3"),
        ("packaging Version long", f"PackagingVersion({LONG!r})", None),
        ("Version long", f"Version({LONG!r})", "packaging Version long"),
    ],
)
def test_versions(measure, name, stmt, anchor):
    measure(name, stmt, namespace(), anchor=anchor)


CONSTRUCTORS = [
    ("slice, 1 argument", "slice('name')", None),
    ("Depends('name')", "Depends('name')", "slice, 1 argument"),
    ("Version 1.2.3, floor", f"Version({SHORT!r})", "Depends('name')"),
    ("slice, 2 arguments", "slice('pkg', 'opt')", None),
    ("SpecOption('pkg', 'opt')", "SpecOption('pkg', 'opt')", "slice, 2 arguments"),
    ("slice, 3 arguments", "slice(a, b, CmpType.Equal)", None),
    ("Cmp(a, b, CmpType.Equal)", "Cmp(a, b, CmpType.Equal)", "slice, 3 arguments"),
]


@pytest.mark.parametrize("name, stmt, anchor", CONSTRUCTORS)
def test_constructors(measure, name, stmt, anchor):
    measure(name, stmt, namespace(a=Depends("a"), b=Depends("b")), anchor=anchor)


OPERATORS = [
    ("sympy Symbol('x') >= 1", "x >= 1", None),
    ("SpecOption == SpecOption", "s1 == s2", "sympy Symbol('x') >= 1"),
    ("NumOf(10) >= 1", "n10 >= 1", "sympy Symbol('x') >= 1"),
    ("cmp.if_then(dep)", "c.if_then(a)", "sympy Symbol('x') >= 1"),
    ("SpecOption == SpecOption, floor", "s1 == s2", "slice, 2 arguments"),
    ("NumOf(10) >= 1, floor", "n10 >= 1", "slice, 2 arguments"),
    ("cmp.if_then(dep), floor", "c.if_then(a)", "slice, 2 arguments"),
]


@pytest.mark.parametrize("name, stmt, anchor", OPERATORS)
def test_operators(measure, name, stmt, anchor):
    a = Depends("a")
    measure(name, stmt, namespace(
        s1=SpecOption("p", "o"), s2=SpecOption("p", "q"), n10=NumOf([Depends("d")] * 10),
        c=a == Depends("b"), a=a,
    ), anchor=anchor, ops=1000 if "sympy" in name else 2000)


GETTERS = [
    ("object()", "object()", None),
    ("Cmp.lhs", "c.lhs", "object()"),
    ("Value.value", "v.value", "object()"),
    ("Depends.on", "a.on", "object()"),
    ("NumOf.of, 10 elements", "n10.of", "object()"),
]


@pytest.mark.parametrize("name, stmt, anchor", GETTERS)
def test_getters(measure, name, stmt, anchor):
    a = Depends("a")
    measure(name, stmt, namespace(
        c=a == Depends("b"), v=Cmp(a, 3, CmpType.Equal).rhs, a=a, n10=NumOf([Depends("d")] * 10),
    ), anchor=anchor)


@pytest.mark.parametrize("size", [10, 1_000, 100_000])
def test_num_of_scale(measure, quick, size):
    if quick and size > 1_000:
        pytest.skip("smoke run")
    measure(f"NumOf of {size:,} elements >= 1", "n >= 1", namespace(n=NumOf([Depends("d")] * size)),
            anchor="NumOf of 10 elements >= 1" if size != 10 else None)


@pytest.mark.parametrize("steps", [10_000, 100_000, 1_000_000])
def test_chain_scale(measure, quick, steps):
    """x = (x == True), repeated: the time per step must not grow with the depth."""
    if quick and steps > 10_000:
        pytest.skip("smoke run")
    measure(f"chain x = (x == True), {steps:,} steps", "chain(steps)", namespace(chain=build_chain, steps=steps),
            anchor=None if steps == 10_000 else "chain x = (x == True), 10,000 steps",
            ops=1, per=steps, unit="step", rounds=3 if steps == 1_000_000 else 5)


def build_chain(steps):
    x = Depends("a")
    for _ in range(steps):
        x = x == True  # noqa: E712 - builds a constraint
    return x


COPIES = "copies: list(constraints), dict(options), dict(defaults)"
COPY_STMT = "(list(constraints), dict(options), dict(defaults))"
OUTLINE_STMT = "PackageOutline('pkg', constraints, options, defaults)"


def outline_constraints():
    return [Depends(f"dep{i}") for i in range(10)] + [
        Cmp(SpecOption(f"dep{i}", "version"), Version("1.2"), CmpType.GreaterOrEqual) for i in range(10)
    ]


@pytest.mark.parametrize("name, stmt, anchor", [
    # The floor: copying the inputs, which any outline must at least read.
    (COPIES, COPY_STMT, None),
    ("PackageOutline, 20 constraints, 10 options, 10 defaults", OUTLINE_STMT, COPIES),
])
def test_outline(measure, name, stmt, anchor):
    options = {f"opt{i}": i for i in range(10)}
    defaults = {f"def{i}": (None if i % 2 else "x") for i in range(10)}
    measure(name, stmt, namespace(constraints=outline_constraints(), options=options, defaults=defaults),
            anchor=anchor, ops=500)


# Option values of each type a package sets; the defaults hold None at every other name.
OPTION_VALUES = {
    "bool": lambda i: i % 3 == 0,
    "int": lambda i: i * 1000,
    "float": lambda i: i + 0.25,
    "ASCII str": lambda i: f"value{i}",
    "non-ASCII str": lambda i: f"välue{i}",
    "Version": lambda i: Version(f"1.{i}.0"),
    "mixed": lambda i: [True, 7, 2.5, "text", "tëxt", Version("2.0-rc1")][i % 6],
}


@pytest.mark.parametrize("kind", OPTION_VALUES)
@pytest.mark.parametrize("what", ["copies", "outline"])
def test_outline_values(measure, kind, what):
    value = OPTION_VALUES[kind]
    options = {f"opt{i}": value(i) for i in range(10)}
    defaults = {f"def{i}": (None if i % 2 else value(i)) for i in range(10)}
    copies = f"copies, {kind} values"
    name, stmt, anchor = ((copies, COPY_STMT, None) if what == "copies" else
                          (f"PackageOutline, 20/10/10, {kind} values", OUTLINE_STMT, copies))
    measure(name, stmt, namespace(constraints=outline_constraints(), options=options, defaults=defaults),
            anchor=anchor, ops=500)


VERSION_PARSE = "Version('1.2.3'), parse"
HUNDRED_VERSIONS = "PackageOutline, 100 Version options"
HUNDRED_INTS = "PackageOutline, 100 int options"
HUNDRED_NONES = "PackageOutline, 100 None defaults"


@pytest.mark.parametrize("name, stmt, anchor, per", [
    (VERSION_PARSE, "Version('1.2.3')", None, 1),
    # Each entry's whole cost, its name and the outline's own share counted in.
    (HUNDRED_VERSIONS, "PackageOutline('pkg', None, versions)", VERSION_PARSE, 100),
    (HUNDRED_INTS, "PackageOutline('pkg', None, ints)", VERSION_PARSE, 100),
    # An entry without value: its name and the walk alone.
    (HUNDRED_NONES, "PackageOutline('pkg', None, None, nones)", VERSION_PARSE, 100),
])
def test_version_value(measure, name, stmt, anchor, per):
    versions = {f"opt{i}": Version("1.2.3") for i in range(100)}
    ints = {f"opt{i}": i for i in range(100)}
    nones = dict.fromkeys(versions)
    measure(name, stmt, namespace(versions=versions, ints=ints, nones=nones), anchor=anchor, ops=2000 // per, per=per)
    if name == HUNDRED_INTS:
        # What taking a Version as a value costs beyond taking an int.
        record_difference("Version option value, beyond an int's", HUNDRED_VERSIONS, HUNDRED_INTS, 1, VERSION_PARSE)
    if name == HUNDRED_NONES:
        # What the value alone costs: the copy of a Version.
        record_difference("Version option value, beyond an entry without value", HUNDRED_VERSIONS, HUNDRED_NONES, 1,
                          VERSION_PARSE)


def test_refusal(measure):
    stmt = "try:\n            m == 1\n        except NotImplementedError:\n            pass"
    measure("refused comparison printing NumOf(100)", stmt,
            namespace(m=Maximize(NumOf([Depends(f"pkg{i:05d}") for i in range(100)]))),
            anchor="object()", ops=500)


MEMORY_PROBE = """
import gc, resource
from trelk.package.constraint import Depends, NumOf

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()

n = {size}
gc.collect()
before = resident()
if {kind!r} == "NumOf":
    # The caller's list is dropped; what stays is the NumOf and its elements.
    kept = NumOf([Depends(f"pkg{{i:05d}}") for i in range(n)])
else:
    kept = [Depends(f"pkg{{i:05d}}") for i in range(n)]
gc.collect()
print((resident() - before) / n)
"""


@pytest.mark.parametrize("kind", ["NumOf", "live Depends"])
def test_memory(quick, kind):
    size = 10_000 if quick else 1_000_000
    probe = textwrap.dedent(MEMORY_PROBE.format(size=size, kind=kind))
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True).stdout
    label = ("resident memory per NumOf element" if kind == "NumOf" else "resident memory per live Depends")
    record_memory(f"{label}, {size:,} Depends('pkgNNNNN')", float(out))
