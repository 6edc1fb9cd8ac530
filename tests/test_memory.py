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


def test_refused_version_costs_no_memory_in_proportion_to_its_length():
    # Before anything is built the whole text is checked: at 40 bytes a part,
    # these would need more than the limit.
    result = run_python(
        """
        import resource
        from trelk.package.version import Version
        limit = 1 << 30
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for text in ["." * (20 << 20), "1." * (15 << 20) + "_", "1-" * (15 << 20), "1.>" + ".1" * (15 << 20)]:
            try:
                Version(text)
            except ValueError as error:
                print(*error.args)
        """
    )
    assert result.stdout.decode().splitlines() == [
        "EmptyPart", 'InvalidPart("_")', "TrailingSeparator", "PartAfterRest"], result.stderr
