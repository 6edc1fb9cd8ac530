"""Shared helpers: tests that need a fresh interpreter run one as a child process."""

import os
import subprocess
import sys
import textwrap

import pytest


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
