"""Shared helpers and tables: the classes' fields and operators, reading text forms and
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


# Each constraint class's properties, in the order its constructor takes them.
FIELDS = {Cmp: ("lhs", "rhs", "op"), Depends: ("on",), IfThen: ("cond", "then"), Maximize: ("item",),
          Minimize: ("item",), NumOf: ("of",), SpecOption: ("package_name", "option_name"), Value: ("value",)}
# The parameters of each constructor that takes only required ones: Depends names its
# property `name` there, and a Value is made only by conversion.
PARAMETERS = {**{cls: names for cls, names in FIELDS.items() if cls is not Value}, Depends: ("name",),
              Version: ("ver",)}

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


def cmp():
    return Cmp(SpecOption("p", "o"), NumOf([Depends("a"), 1]), CmpType.Less)


# For every property: a receiver to set it on, a good value and the receiver's text form once that is set.
SETTABLE = {
    "lhs": (cmp, 2.5, "[ 2.5 ] < [ NumOf( Depends( a ), 1 ) ]"),
    "rhs": (cmp, NumOf([]), "[ Package 'p' -> Option 'o' ] < [ NumOf(  ) ]"),
    "op": (cmp, CmpType.Greater, "[ Package 'p' -> Option 'o' ] > [ NumOf( Depends( a ), 1 ) ]"),
    "on": (lambda: Depends("a"), "b", "Depends( b )"),
    "cond": (lambda: IfThen(Depends("a"), 1), "c", "If( c ) Then [ 1 ]"),
    "then": (lambda: IfThen(Depends("a"), 1), True, "If( Depends( a ) ) Then [ true ]"),
    "item": (lambda: Minimize(NumOf([])), Version("3"), "Minimize( 3 )"),
    "of": (lambda: NumOf([Depends("a")]), (1, "x"), "NumOf( 1, x )"),
    "package_name": (lambda: SpecOption("p", "o"), "q", "Package 'q' -> Option 'o'"),
    "option_name": (lambda: SpecOption("p", "o"), "", "Package 'p' -> Option ''"),
    "value": (lambda: value_of("v"), 5, "5"),
}
assert sorted(SETTABLE) == sorted({name for names in FIELDS.values() for name in names})


PRE = "Cannot compare type None from constraint Maximize( "
POST = " ) with type Some(Int) from constraint 1 using operator '=='"


def text_of(obj):
    """Text form of the constraint that `obj` converts to, read from a refused comparison."""
    with pytest.raises(NotImplementedError) as info:
        Maximize(obj) == 1
    msg = str(info.value)
    assert msg.startswith(PRE) and msg.endswith(POST), msg
    return msg[len(PRE):-len(POST)]


def value_of(obj):
    return Cmp(Depends("a"), obj, CmpType.Equal).rhs


IFTHEN = "trelk::package::constraint::if_then::IfThen"
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
