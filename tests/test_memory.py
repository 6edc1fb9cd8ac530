"""Exhaustion of native memory raises MemoryError and leaves the process running."""

import os

import pytest

from conftest import run_python

pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer reserves more address space than the limit allows",
)


def test_native_exhaustion_raises_memory_error():
    # Subtrees are shared, so a NumOf of 1000 references to one deep chain is
    # small, while its text form (in the refusal message) needs gigabytes.
    result = run_python(
        """
        import resource
        from trelk.package.constraint import Depends, Maximize, NumOf
        x = Depends("a")
        for _ in range(20_000):
            x = x == True
        wide = NumOf([x] * 1000)
        with open("/proc/self/statm") as statm:
            in_use = int(statm.read().split()[0]) * resource.getpagesize()
        limit = in_use + (128 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            Maximize(wide) == 1
        except MemoryError:
            print("MemoryError")
        assert len(wide.of) == 1000
        print("alive")
        """
    )
    assert result.stdout.split() == [b"MemoryError", b"alive"], result.stderr
