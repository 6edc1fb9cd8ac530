"""Runs every operation of the module, failing paths included, many times, and
checks that the interpreter's total reference count (on a debug interpreter)
and the process's resident memory stay flat.

    python3.11-dbg tests/leak_workload.py [--rounds N]

Exits 1 with a report when either grows.
"""

import argparse
import gc
import resource
import sys
import threading

import trelk
from trelk.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value
from trelk.package.outline import PackageOutline
from trelk.package.version import Version


class Raises:
    def __index__(self):
        raise ValueError("no index")

    def __float__(self):
        raise ValueError("no float")


class FailingSequence:
    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, index):
        if index == 3:
            raise LookupError("midway")
        return Depends(f"item{index}")


class Evil:
    """Touches the receiver while its state is borrowed."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        try:
            self.target.of = []
        except RuntimeError:
            pass
        return 1


def expect(exception, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exception:
        return
    raise AssertionError(f"{call} did not raise {exception}")


# A literal of each value type (checks/test_source.py holds it to the tests' table).
LITERALS = (True, 1, 2.5, "x", Version("1.2-rc1"))


def round_of_operations():
    a, b = Depends("a"), Depends("b")
    s1, s2 = SpecOption("p", "o"), SpecOption("p", "q")
    c = a == b
    n = NumOf([a, b, *LITERALS, c])
    value = Cmp(s1, 3, CmpType.Equal).rhs
    i = c.if_then(a)
    m = Maximize(n)
    # successful paths: constructors, getters, setters, operators
    for obj in (c.lhs, c.rhs, c.op, n.of, value.value, i.cond, i.then, m.item, Minimize(a).item, s1.package_name):
        del obj
    c.lhs, c.rhs, c.op = b, 2, CmpType.Less
    value.value = Version("3.>")
    value.value = 2**63
    value.value = "text"
    n.of = (a, b)
    i.cond = i
    a.on = "renamed"
    s1.option_name = "other"
    for left, right in ((s1, s2), (n, 1), (value, "text"), (2.5, Cmp(s1, 2.5, CmpType.Equal).rhs)):
        for result in (left < right, left <= right, left == right, left != right, left > right, left >= right):
            del result
    for result in (c == True, c != a, 5 == n, a.__lt__(None)):  # noqa: E712 - builds constraints
        del result
    IfThen(a, b).then = c
    repr(Version("1.02.*")), str(Version("1.2.3"))
    repr(CmpType.Greater), int(CmpType.Less)
    PackageOutline("pkg", [a, c, i, 5], {"x": 1, "y": Version("1")}, {"z": None, "w": "v"})
    # failing paths
    expect(TypeError, Depends)
    expect(TypeError, Depends, 5)
    expect(TypeError, Depends, "a", name="b")
    expect(TypeError, Depends, nam="a")
    expect(TypeError, Cmp, a, b, 3)
    expect(TypeError, Value, 1)  # made by the module alone
    expect(TypeError, Cmp, None, [], CmpType.Less)
    expect(TypeError, NumOf, "ab")
    expect(TypeError, NumOf, [a, None])
    expect(LookupError, NumOf, FailingSequence())
    expect(ValueError, Version, "1..2")
    expect(ValueError, Version, "1.ü")
    expect(UnicodeEncodeError, Version, "\ud800")
    expect(NotImplementedError, lambda: a < b)
    expect(NotImplementedError, lambda: Maximize(n) == Minimize(n))
    expect(NotImplementedError, lambda: s1 == 3)
    expect(TypeError, lambda: a < None)
    expect(TypeError, setattr, value, "value", None)
    expect(TypeError, setattr, value, "value", Raises())
    expect(AttributeError, delattr, a, "on")
    expect(TypeError, setattr, n, "of", 5)
    expect(TypeError, c.if_then)
    expect(TypeError, c.if_then, None)
    expect(TypeError, PackageOutline, "p", "abc")
    expect(TypeError, PackageOutline, "p", None, {"x": None})
    expect(TypeError, PackageOutline, "p", None, {1: 1})
    expect(ValueError, PackageOutline, "p", foo=1)
    expect(BaseException, PackageOutline, "p", None, MutatingDict({"k1": MutatingValue(), "k2": 1}))
    assert isinstance(n >= Evil(n), Cmp)  # the setter inside is refused: n is being read
    # an IfThen made here and dropped on another thread
    foreign = [IfThen(a, b)]
    worker = threading.Thread(target=foreign.clear)
    worker.start()
    worker.join()


class MutatingValue:
    def __index__(self):
        MutatingDict.current.pop("k2", None)
        return 1


class MutatingDict(dict):
    current = None

    def __init__(self, *args):
        super().__init__(*args)
        MutatingDict.current = self


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--per-round", type=int, default=500)
    parser.add_argument("--no-memory-check", action="store_true",
                        help="under AddressSanitizer freed memory is held back, so resident memory tells nothing")
    args = parser.parse_args()

    silenced = sys.unraisablehook
    sys.unraisablehook = lambda report: None  # the foreign-thread drops report here
    total = getattr(sys, "gettotalrefcount", None)
    counts, memory = [], []
    for _ in range(args.rounds):
        for _ in range(args.per_round):
            round_of_operations()
        gc.collect()
        counts.append(total() if total else 0)
        memory.append(resident_bytes())
    sys.unraisablehook = silenced

    # The first rounds warm caches and pools; after that nothing may grow.
    settled = args.rounds // 4
    reference_growth = counts[-1] - counts[settled]
    memory_growth = memory[-1] - memory[settled]
    print(f"operations: {args.rounds * args.per_round} rounds of every operation")
    if total:
        print(f"total reference count: {counts[settled]} after warm-up, {counts[-1]} at the end")
    print(f"resident memory: {memory[settled]} bytes after warm-up, {memory[-1]} at the end")
    # A few references and pages may move with the interpreter's own caches;
    # a leak per operation would show as thousands.
    failed = (total and reference_growth > 100) or (not args.no_memory_check and memory_growth > 4 * 1024 * 1024)
    if failed:
        print("LEAK: growth across rounds", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
