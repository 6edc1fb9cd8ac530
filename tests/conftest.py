"""Shared helpers and tables: the public classes and the operators, reading text forms and
values back, internal failures, the unraisable hook, and child processes for tests that
need a fresh interpreter."""

import collections
import gc
import operator
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from trelk.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value
from trelk.package.outline import PackageOutline
from trelk.package.version import Version


# Up to 3.11 a collection runs inside the allocation that calls for it, and so
# possibly inside a getter; from 3.12 on it waits for the evaluation loop's next
# check, after the native call has returned.
COLLECTS_INSIDE_NATIVE_CALLS = sys.version_info < (3, 12)

# An interpreter built without the global lock (whether or not PYTHON_GIL turns it
# back on): it collects when the new objects weigh enough against the surviving
# ones, checks every new interpreter's extensions, and hands the last reference
# that another thread drops back to the thread that made the object, which frees it.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def run_python(code, env=None, timeout=120):
    """Run `code` in a fresh interpreter; return the CompletedProcess with raw bytes.

    The child inherits this process's environment (so it imports the same build of
    the module), updated with `env`; a value of None removes the variable.
    """
    child_env = dict(os.environ)
    for key, value in (env or {}).items():
        if value is None:
            child_env.pop(key, None)
        else:
            child_env[key] = value
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        env=child_env,
        timeout=timeout,
    )


@pytest.fixture
def python_child():
    return run_python


def _exit_with_busy_daemons_fails():
    if os.environ.get("TRELK_EMULATOR") == "qemu-user":
        return "qemu-user itself hangs at some exits with busy daemon threads, with or without the module"
    if sys.version_info[:2] == (3, 13) and (sysconfig.get_config_var("SOABI") or "").endswith("-linux-musl"):
        return ("CPython 3.13 on musl crashes (in drop_gil) in about one exit in ten with busy daemon threads, "
                "with or without the module")
    return ""


# For tests whose program ends while daemon threads are busy: skipped where the
# interpreter itself fails such exits.
_BUSY_EXIT_FAILURE = _exit_with_busy_daemons_fails()
EXIT_WITH_BUSY_DAEMONS = pytest.mark.skipif(bool(_BUSY_EXIT_FAILURE), reason=_BUSY_EXIT_FAILURE or "-")


@pytest.fixture(scope="session")
def address_space_limit():
    """For tests that run memory out with RLIMIT_AS: skips them where the limit is not
    applied, as under qemu-user, which runs the arm64 wheels' tests."""
    probe = run_python("""
        import resource
        with open("/proc/self/statm") as statm:
            limit = int(statm.read().split()[0]) * resource.getpagesize() + (64 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            bytearray(256 << 20)
        except MemoryError:
            print("applied")
    """)
    if probe.stdout.split() != [b"applied"]:
        pytest.skip("RLIMIT_AS makes no allocation fail here (as under qemu-user, which ignores it, "
                    "and on the free-threaded 3.13), so memory cannot run out")


Row = collections.namedtuple("Row", "cls module fields parameters sample value_type form bound")
# Every public class, in the order of its submodule's __all__ (test_module holds the two to each other):
# the submodule; its properties, in the order that its constructor takes them; its constructor's
# parameters (None: it cannot be called); what makes a new instance; a constraint's value type in
# comparisons (None: it compares with nothing; a Value's is its literal's, the sample's here); a
# constraint's text form, made of its fields' texts (an op's: its symbol; None: no constraint); for a
# class whose instances belong to the thread that made them, how the thread check names it.
CLASSES = {row.cls.__name__: row for row in [
    Row(Cmp, "constraint", ("lhs", "rhs", "op"), ("lhs", "rhs", "op"),
        lambda: Cmp(SpecOption("p", "o"), NumOf([Depends("a"), 1]), CmpType.Less), "Bool",
        lambda lhs, rhs, op: f"[ {lhs} ] {op} [ {rhs} ]", None),
    Row(CmpType, "constraint", (), None, lambda: Cmp(1, 2, CmpType.Less).op, None, None, None),
    Row(Depends, "constraint", ("on",), ("name",), lambda: Depends("\u00e4\u00e4"), "Bool",
        lambda on: f"Depends( {on} )", None),
    Row(IfThen, "constraint", ("cond", "then"), ("cond", "then"), lambda: IfThen(Depends("a"), 1), None,
        lambda cond, then: f"If( {cond} ) Then [ {then} ]", "trelk::package::constraint::if_then::IfThen"),
    Row(Maximize, "constraint", ("item",), ("item",), lambda: Maximize(1), None, lambda item: f"Maximize( {item} )", None),
    Row(Minimize, "constraint", ("item",), ("item",), lambda: Minimize(NumOf([])), None,
        lambda item: f"Minimize( {item} )", None),
    Row(NumOf, "constraint", ("of",), ("of",), lambda: NumOf([Depends("a"), 1]), "Int",
        lambda of: "NumOf( " + ", ".join(of) + " )", None),
    Row(SpecOption, "constraint", ("package_name", "option_name"), ("package_name", "option_name"),
        lambda: SpecOption("p\u00e4", "o"), "Unknown",
        lambda package_name, option_name: f"Package '{package_name}' -> Option '{option_name}'", None),
    Row(Value, "constraint", ("value",), None, lambda: value_of("v"), "Str", lambda value: value, None),
    Row(PackageOutline, "outline", (), ("name", "constraints", "set_options", "set_defaults"),
        lambda: PackageOutline("p", [Depends("a")], {"o": 1}), None, None, None),
    Row(Version, "version", (), ("ver",), lambda: Version("1.2"), None, None, None),
]}
# A plain value of each literal type, by its value type in comparisons (checks/test_source.py holds it
# to the module's own list, checks/test_docs.py to the stubs').
PLAIN = {"Bool": lambda: False, "Int": lambda: -3, "Float": lambda: 2.5, "Str": lambda: "s t",
         "Version": lambda: Version("1.02")}
MEMBERS = {m: [name for name, row in CLASSES.items() if row.module == m] for m in ("outline", "constraint", "version")}
CONSTRAINTS = [row for row in CLASSES.values() if row.form]
FIELDS = {row.cls: row.fields for row in CONSTRAINTS}
# The constructors that take only required parameters: all but PackageOutline's.
PARAMETERS = {row.cls: row.parameters for row in CLASSES.values() if row.parameters and row.cls is not PackageOutline}

Operator = collections.namedtuple("Operator", "name number symbol fn mirrored")
# The CmpType members in the order of their numbers; `mirrored` is the operator that the
# interpreter tries on the right operand when the left one declines.
OPERATORS = [
    Operator("Less", 0, "<", operator.lt, operator.gt),
    Operator("LessOrEqual", 1, "<=", operator.le, operator.ge),
    Operator("NotEqual", 2, "!=", operator.ne, operator.ne),
    Operator("Equal", 3, "==", operator.eq, operator.eq),
    Operator("GreaterOrEqual", 4, ">=", operator.ge, operator.le),
    Operator("Greater", 5, ">", operator.gt, operator.lt),
]


# A good argument for each parameter of PARAMETERS.
VALID = {"lhs": Depends("a"), "rhs": 1, "op": CmpType.Less, "name": "a", "cond": Depends("a"), "then": Depends("b"),
         "item": Depends("a"), "of": [], "package_name": "p", "option_name": "o", "ver": "1"}
# The kind of value that each parameter and property takes (the keys of test_hostile.KINDS).
KIND = {**dict.fromkeys(["lhs", "rhs", "cond", "then", "item"], "constraint"), "op": "op",
        **dict.fromkeys(["of", "constraints"], "list"),
        **dict.fromkeys(["set_options", "set_defaults", "value"], "value"),
        **dict.fromkeys(["name", "on", "package_name", "option_name", "ver"], "text")}
# A good new value for each property, other than the sample's.
NEW = {"lhs": 2.5, "rhs": NumOf([]), "op": CmpType.Greater, "on": "b", "cond": "c", "then": True, "item": Version("3"),
       "of": (1, "x"), "package_name": "q", "option_name": "", "value": 5}


def rebuilt(obj, prop, new):
    """What `obj` becomes once `new` is set as its property `prop`, made anew."""
    if type(obj) is Value:
        return value_of(new)
    return type(obj)(*[new if name == prop else getattr(obj, name) for name in FIELDS[type(obj)]])


def refusal(call):
    with pytest.raises(NotImplementedError) as info:
        call()
    return str(info.value)


# A literal whose text is itself: put where a subtree goes, it shows what surrounds the subtree.
MARK = "\x00"
# What a refused comparison says around the text of a constraint without value type.
PRE, POST = refusal(lambda: Maximize(MARK) == 1).split(MARK)


def text_of(obj):
    """Text form of the constraint that `obj` converts to, read from a refused comparison."""
    return refusal(lambda: Maximize(obj) == 1)[len(PRE):-len(POST)]


def pieces(obj):
    """The text of `obj`, built with MARK for its subtrees or names, cut at each: what its form adds."""
    return text_of(obj).split(MARK)


def value_of(obj):
    return Cmp(Depends("a"), obj, CmpType.Equal).rhs


IFTHEN = CLASSES["IfThen"].bound
UNSENDABLE = IFTHEN + " is unsendable, but sent to another thread"
DROPPED = IFTHEN + " is unsendable, but is being dropped on another thread"


def internal_failure(fn, *args):
    try:
        fn(*args)
    except BaseException as e:  # noqa: B036 - the failure class is not an Exception
        assert type(e).__bases__ == (BaseException,) and not isinstance(e, Exception), repr(e)
        return str(e)
    pytest.fail("no internal failure raised")


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda args: seen.append((args.exc_type, str(args.exc_value))))
    yield seen
    gc.collect()
