"""Shared helpers: reading text forms and values back, internal failures, the unraisable
hook, and child processes for tests that need a fresh interpreter."""

import gc
import os
import subprocess
import sys
import textwrap

import pytest

from trelk.package.constraint import Cmp, CmpType, Depends, Maximize


# Up to 3.11 a collection runs inside the allocation that calls for it, and so
# possibly inside a getter; from 3.12 on it waits for the evaluation loop's next
# check, after the native call has returned.
COLLECTS_INSIDE_NATIVE_CALLS = sys.version_info < (3, 12)


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
        pytest.skip("RLIMIT_AS is not applied here (qemu-user ignores it), so memory cannot run out")


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
