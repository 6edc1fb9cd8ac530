"""Exhaustion of native memory raises MemoryError and leaves the process running; a refused
version and the text of a small tree cost no memory in proportion to the size they describe."""

import os

import pytest

from conftest import run_python

pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer reserves more address space than the limit allows",
)


def test_native_exhaustion_raises_memory_error(address_space_limit):
    # Subtrees are shared, so a NumOf of 150 references to one deep chain is
    # small, while its text form (in the refusal message) needs 48 MB, short of
    # the length at which texts are cut.
    result = run_python(
        """
        import resource
        from trelk.package.constraint import Depends, Maximize, NumOf
        x = Depends("a")
        for _ in range(20_000):
            x = x == True
        wide = NumOf([x] * 150)
        with open("/proc/self/statm") as statm:
            in_use = int(statm.read().split()[0]) * resource.getpagesize()
        limit = in_use + (32 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            Maximize(wide) == 1
        except MemoryError:
            print("MemoryError")
        assert len(wide.of) == 150
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


def test_text_of_shared_subtrees_is_cut_at_once():
    # Forty doublings print as 24 * 2^40 - 12 characters, seventy as more than
    # 64 bits count; both sides of a refusal are cut after 64 Mi characters.
    result = run_python(
        """
        import resource
        from trelk.package.constraint import Depends, NumOf
        limit = 1 << 30
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        def after_the_cut(lhs, rhs, doublings):
            try:
                lhs < rhs
            except NotImplementedError as error:
                message = str(error)
            start = "Cannot compare type Some(Bool) from constraint "
            assert message.startswith(start + "[ " * doublings + "Depends( a ) ] == [ Depends( a ) ]")
            return message[len(start) + (64 << 20):]

        x = Depends("a")
        for _ in range(40):
            x = x == x
        first = "\u2026 (26388279066612 characters in all) with type Some(Int) from constraint NumOf( [ [ "
        second = "\u2026 (26388279066621 characters in all) using operator '<'"
        rest = after_the_cut(x, NumOf([x]), 40)
        assert rest.startswith(first) and rest.endswith(second)
        assert len(rest) == len(first) - len("NumOf( [ [ ") + (64 << 20) + len(second)
        for _ in range(30):
            x = x == x
        rest = after_the_cut(x, 1, 70)
        assert rest == ("\u2026 (at least 18446744073709551615 characters in all) "
                        "with type Some(Int) from constraint 1 using operator '<'")
        print("cut")
        """
    )
    assert result.stdout == b"cut\n", result.stderr
