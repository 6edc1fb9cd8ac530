"""Exhaustion of native memory raises MemoryError and leaves the process running; a refused
version and the text of a small tree cost no memory in proportion to the size they describe.
Allocation failure at every point of every public operation ends in success or MemoryError."""

import ctypes
import functools
import gc
import itertools
import os
import sys
import sysconfig
from collections import UserList

import _testcapi
import pytest

import trelk
from conftest import CLASSES, CONSTRAINTS, FIELDS, MARK, MEMBERS, PLAIN, pieces, run_python, text_of
from trelk.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption
from trelk.package.outline import PackageOutline
from trelk.package.version import Version

limits_address_space = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer reserves more address space than the limit allows",
)


@limits_address_space
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


@limits_address_space
def test_refused_version_costs_no_memory_in_proportion_to_its_length(address_space_limit):
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


@limits_address_space
def test_text_of_shared_subtrees_is_cut_at_once(address_space_limit):
    # Forty doublings print as 24 * 2^40 - 12 characters, seventy as more than
    # 64 bits count; both sides of a refusal are cut after 64 Mi characters.
    head, middle, tail = pieces(Cmp(MARK, MARK, CmpType.Equal))
    around = len(head + middle + tail)
    length = (len(text_of(Depends("a"))) + around) * 2**40 - around  # of the forty doublings
    numof_head = pieces(NumOf([MARK]))[0] + head * 2

    result = run_python(
        f"""
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
            assert message.startswith(start + {head!r} * (doublings - 1) + {text_of(Depends("a") == Depends("a"))!r})
            return message[len(start) + (64 << 20):]

        x = Depends("a")
        for _ in range(40):
            x = x == x
        first = "\u2026 ({length} characters in all) with type Some(Int) from constraint {numof_head}"
        second = "\u2026 ({len(text_of(NumOf([MARK]))) - 1 + length} characters in all) using operator '<'"
        rest = after_the_cut(x, NumOf([x]), 40)
        assert rest.startswith(first) and rest.endswith(second)
        assert len(rest) == len(first) - {len(numof_head)} + (64 << 20) + len(second)
        for _ in range(30):
            x = x == x
        rest = after_the_cut(x, 1, 70)
        assert rest == ("\u2026 (at least 18446744073709551615 characters in all) "
                        "with type Some(Int) from constraint 1 using operator '<'")
        print("cut")
        """
    )
    assert result.stdout == b"cut\n", result.stderr


@pytest.mark.exhaustive
@limits_address_space
def test_refusal_messages_are_cut_before_they_are_built(address_space_limit):
    # Each refusal carries a text of 512 Mi characters, a name, a literal, a version's part or a
    # type's name: copied whole, its message would need more than the limit allows.
    result = run_python(
        """
        import resource
        from trelk.package.constraint import Cmp, CmpType, Depends, Maximize, SpecOption
        from trelk.package.version import Version
        big = "x" * (512 << 20)
        named = type("T", (), {"__qualname__": big})()
        meta = type("M", (type,), {"__str__": lambda cls: big})("N", (), {})()
        d, v, part = Depends(big), Cmp(SpecOption("p", "o"), big, CmpType.Equal).rhs, big + "_"
        with open("/proc/self/statm") as statm:
            limit = int(statm.read().split()[0]) * resource.getpagesize() + (464 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for case in (lambda: d < 1, lambda: v < 1, lambda: Version(part), lambda: Depends(named),
                     lambda: Maximize(meta)):
            try:
                case()
            except (NotImplementedError, TypeError, ValueError) as error:
                print(str(error).count("x"), str(error).replace("x", ""))
        """
    )
    kept, whole = 64 << 20, 512 << 20
    compare = "with type Some(Int) from constraint 1 using operator '<'"
    head, tail = pieces(Depends(MARK))
    assert result.stdout.decode().splitlines() == [
        f"{kept - len(head)} Cannot compare type Some(Bool) from constraint {head}\u2026 "
        f"({whole + len(head + tail)} characters in all) " + compare,
        f"{kept} Cannot compare type Some(Str) from constraint \u2026 ({whole} characters in all) " + compare,
        f'{kept} InvalidPart(""\u2026 ({whole + 1} characters in all))',
        f"{kept} argument 'name': '\u2026 ({whole} characters in all)' object cannot be cast as 'str'",
        f"{kept} argument 'item': cannot convert '\u2026 ({whole} characters in all)' to Constraint",
    ], result.stderr


class Index:  # its conversion runs Python code
    def __index__(self):
        return 7


def fresh(text):
    """A new str, whose UTF-8 form has not been made yet."""
    return "".join(list(text))


def value(v):
    return Cmp(SpecOption("p", "o"), v, CmpType.Equal).rhs


def outline_options():
    return ({"b": True, "i": 3, "big": 2**70, "f": 1.5, "s": "x", "u": fresh("\u00fc\u00fc"), "v": Version("1.2"),
             "n": Index(), fresh("k\u00fc"): 2.5},
            {"none": None, "u": fresh("\u00e9\u00e9"), "i": Index()})


# Made once: a free-threaded 3.13 leaves blocks behind for every class freed once a second
# thread has run.
StrSubclass = type("S", (str,), {})

# Every public operation with typical and edge arguments: what makes its arguments (afresh for
# each attempt, outside the failures), and the call.
OPERATIONS = {
    "Depends": (lambda: ("name",), Depends), "Depends, non-ASCII": (lambda: (fresh("n\u00e4m\u00e9"),), Depends),
    "Depends, str subclass": (lambda: (StrSubclass("x"),), Depends),
    "Depends, refused": (lambda: (1,), Depends), "Depends, no argument": (lambda: (), Depends),
    "Depends, unexpected keyword": (lambda: (), lambda: Depends("a", bogus=1)),
    "SpecOption": (lambda: (fresh("p\u00e4"), fresh("o\u00f6")), SpecOption),
    "Cmp": (lambda: (SpecOption("p", "o"), 1, CmpType.Less), Cmp),
    "Cmp, keywords": (lambda: (), lambda: Cmp(lhs=SpecOption("p", "o"), rhs=Version("1.2"), op=CmpType.GreaterOrEqual)),
    "Cmp, refused op": (lambda: (1, 2, 3), Cmp),
    "IfThen": (lambda: (Depends("a") == True, fresh("t\u00e9")), IfThen),  # noqa: E712
    "Maximize": (lambda: (NumOf([Depends("a"), 1]),), Maximize), "Minimize": (lambda: (Index(),), Minimize),
    "Maximize, refused": (lambda: (object(),), Maximize),
    "NumOf": (lambda: ([Depends("a"), 1, 2.5, fresh("\u00fc\u00fc"), Version("1"), True, Index(), 2**70],), NumOf),
    "NumOf, UserList": (lambda: (UserList([1, "x"]),), NumOf),
    "NumOf, iterator": (lambda: (iter([Depends("a"), Index()]),), NumOf),
    "NumOf, str refused": (lambda: ("ab",), NumOf), "NumOf, element refused": (lambda: ([1, None],), NumOf),
    "Version": (lambda: ("10.20.30-rc1+build.5",), Version),
    "Version, invalid part": (lambda: (fresh("1.\u00e9x"),), Version), "Version, empty part": (lambda: ("1..2",), Version),
    "PackageOutline": (lambda: ("p",), PackageOutline),
    "PackageOutline, every value type": (lambda: ("p", [Depends("a"), 1], *outline_options()), PackageOutline),
    "PackageOutline, extra keyword": (lambda: (), lambda: PackageOutline("p", foo=1)),
    "PackageOutline, refused value": (lambda: ("p", None, {"a": object()}), PackageOutline),
    "str(Version)": (lambda: (Version("1.2-a.*"),), str), "repr(Version)": (lambda: (Version("1.2-a"),), repr),
    "repr(CmpType)": (lambda: (CmpType.Less,), repr), "int(CmpType)": (lambda: (CmpType.Greater,), int),
    "Value == non-ASCII str": (lambda: (value("x"), fresh("\u00fc\u00fc")), lambda v, t: v == t),
    "Value != non-ASCII str": (lambda: (value("x"), fresh("\u00fc\u00fc")), lambda v, t: v != t),
    "NumOf >= int": (lambda: (NumOf([Depends("a")]), 1), lambda n, k: n >= k),
    "SpecOption < Version": (lambda: (SpecOption("p", "o"), Version("2")), lambda o, v: o < v),
    "SpecOption > Index": (lambda: (SpecOption("p", "o"), Index()), lambda o, v: o > v),
    "Depends <= float, refused": (lambda: (Depends("a"), 1.5), lambda d, v: d <= v),
    "Maximize == str, refused": (lambda: (Maximize(NumOf([Depends("a")] * 50)), "x"), lambda m, v: m == v),
    "Depends == object": (lambda: (Depends("a"), object()), lambda d, o: d == o),
    "if_then": (lambda: (Depends("a") == True, Depends("b")), lambda c, t: c.if_then(t)),  # noqa: E712
    "if_then, keyword": (lambda: (Depends("a") == True, fresh("\u00fc\u00fc")), lambda c, t: c.if_then(then=t)),  # noqa: E712
}
# Receivers of every property: each constraint class's sample, and a Value of each literal type.
GETTERS = {row.cls.__name__: (row.sample, row.fields) for row in CONSTRAINTS if row.cls.__name__ != "Value"}
for value_ in [make() if kind != "Str" else fresh("\u00e4\u00e4") for kind, make in PLAIN.items()]:
    GETTERS[f"Value {type(value_).__name__}"] = (lambda v=value_: value(v), CLASSES["Value"].fields)
SETTERS = {"lhs": lambda: 1, "rhs": lambda: 2.5, "op": lambda: CmpType.Greater, "on": lambda: fresh("\u00fc\u00fc"),
           "cond": lambda: "c", "then": Index, "item": lambda: 3, "of": lambda: [Depends("a"), fresh("\u00fc\u00fc")],
           "package_name": lambda: fresh("\u00e9\u00e9"), "option_name": lambda: "x", "value": lambda: fresh("\u00fc\u00fc")}
for receiver, (make, properties) in GETTERS.items():
    for prop in properties:
        OPERATIONS[f"{receiver}.{prop}"] = (lambda make=make: (make(),), lambda r, p=prop: getattr(r, p))
        OPERATIONS[f"{receiver}.{prop} ="] = (lambda make=make, p=prop: (make(), p, SETTERS[p]()), setattr)
OPERATIONS["Cmp.op =, refused"] = (lambda: (Cmp(SpecOption("p", "o"), 1, CmpType.Less), "op", 3), setattr)
# A class without operations of its own above is made as its sample is.
OPERATIONS.update({name: (lambda: (), row.sample) for name, row in CLASSES.items() if name not in OPERATIONS})

def summary(obj):
    """What an outcome shows: an exception's type and text, a constraint's text form."""
    kind = type(obj).__name__
    if isinstance(obj, BaseException):
        return kind, str(obj)
    if isinstance(obj, (list, tuple)):
        return kind, [summary(x) for x in obj]
    if type(obj) in FIELDS:  # a constraint
        return kind, text_of(obj)
    return kind, repr(obj) if isinstance(obj, (str, int, float, Version, CmpType, type(None))) else None


def outcome(call, args):
    try:
        return call(*args)
    except BaseException as error:  # noqa: B036 - an internal failure is no Exception
        return error


def lost_by_interpreter(error, call):
    """Whether `error` is the interpreter's SystemError for an exception that it lost when it could not
    allocate a traceback entry: raised in a frame above the one that called the module."""
    if type(error) is not SystemError:
        return False
    innermost = error.__traceback__
    while innermost.tb_next is not None:
        innermost = innermost.tb_next
    return innermost.tb_frame.f_code is not getattr(call, "__code__", outcome.__code__)


def module_countdown():
    """The failure countdown and block count of the module's test build, if this is one."""
    try:
        library = ctypes.CDLL(trelk.__file__)
        return library.trelk_fail_allocations, library.trelk_blocks_in_use
    except AttributeError:
        return None


COUNTDOWN = module_countdown()


def module_allocations(start, stop):
    COUNTDOWN[0](ctypes.c_longlong(start), ctypes.c_longlong(stop - start if stop else 0))


def stop_failing_module_allocations():
    COUNTDOWN[0](ctypes.c_longlong(-1), ctypes.c_longlong(0))


def sweep(name, fail, stop_failing):
    """Fails `fail(start, stop)` the allocation at each point in turn, then each from that point on,
    until the operation succeeds: every attempt ends as the operation does without failures, or in
    MemoryError with its arguments (a setter's receiver) unchanged."""
    make, call = OPERATIONS[name]
    args = make()
    expected = summary(outcome(call, args)), summary(args)
    for persistent in (False, True):
        for point in itertools.count():
            assert point < 2000, f"{name}: no success after {point} failures"
            args = make()
            before = summary(args)
            fail(point, 0 if persistent else point + 1)
            try:
                result = outcome(call, args)
            except SystemError as error:
                result = error
            finally:
                stop_failing()
            if isinstance(result, MemoryError) or lost_by_interpreter(result, call):
                assert summary(args) == before, f"{name}: arguments changed by a failure at {point}"
                continue
            assert (summary(result), summary(args)) == expected, f"{name}: failure at {point}"
            break


FAILURES = {
    "interpreter": (_testcapi.set_nomemory, _testcapi.remove_mem_hooks),
    "module": (module_allocations, stop_failing_module_allocations),
}
# The module's own allocations fail only in its test build: tools/allocation_failures.sh.
ALLOCATIONS = ["interpreter", "module"] if COUNTDOWN else ["interpreter"]
# The operations whose call makes a list of a given length (PyList_New).
MAKE_LISTS = {"NumOf.of"}


@functools.cache
def interpreter_list_faulty():
    """Whether the interpreter's PyList_New, when it cannot allocate the items of a list taken from
    its free list, releases that list's old items and item array a second time (free-threaded 3.13):
    the heap is then corrupt, with or without the module. Probed in a child, by a list display."""
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        return False  # the default build's failed PyList_New releases a list with no items
    probe = run_python("""
        import _testcapi, os, sys
        a = object()
        keep = [a] * 8
        before = sys.getrefcount(a)
        x = [a]
        del x
        _testcapi.set_nomemory(0, 1)
        try:
            [a]
        except MemoryError:
            pass
        finally:
            _testcapi.remove_mem_hooks()
        print(sys.getrefcount(a) - before, flush=True)
        os._exit(0)  # the heap may be corrupt
    """)
    return probe.stdout.split() != [b"0"]


def swept(allocations):
    """The operations whose sweep `allocations` can take: on an interpreter whose failed PyList_New
    corrupts its heap, the interpreter's failures spare the operations that make lists."""
    if allocations == "interpreter" and interpreter_list_faulty():
        return [name for name in OPERATIONS if name not in MAKE_LISTS]
    return list(OPERATIONS)


@pytest.fixture
def no_collection():
    gc.collect()
    gc.disable()
    yield
    gc.enable()


@pytest.mark.parametrize("allocations", ALLOCATIONS)
@pytest.mark.parametrize("name", OPERATIONS)
def test_allocation_failure_at_every_point(name, allocations, no_collection):
    if name not in swept(allocations):
        pytest.skip("this interpreter corrupts its heap when a new list's items cannot be allocated")
    sweep(name, *FAILURES[allocations])


@pytest.mark.parametrize("allocations", ALLOCATIONS)
def test_allocation_failures_leave_nothing_behind(allocations, no_collection):
    def sweep_all(rounds):
        for _ in range(rounds):
            for name in swept(allocations):
                sweep(name, *FAILURES[allocations])
            gc.collect()  # each time: what the free lists keep depends on how much garbage there was

    def blocks_in_use():
        return sys.getallocatedblocks(), COUNTDOWN[1]() if COUNTDOWN else 0

    sweep_all(1)
    before = blocks_in_use()
    sweep_all(2)
    after = blocks_in_use()
    # Three blocks more: what holds the counts before.
    assert after[0] - before[0] <= 3 and after[1] == before[1], (before, after)


@pytest.mark.parametrize("allocations", ALLOCATIONS)
def test_allocation_failure_with_tracing_on(allocations):
    # init_tracing() is swept first, once, since it succeeds once per process; then main_entry()
    # and every operation, whose refusals are now written as events.
    result = run_python(f"""
        import gc, itertools, trelk
        from test_memory import FAILURES, OPERATIONS, outcome, swept, sweep
        fail, stop_failing = FAILURES[{allocations!r}]
        gc.disable()
        for point in itertools.count():
            fail(point, 0)
            try:
                done = outcome(trelk.init_tracing, ())
            finally:
                stop_failing()
            if done is None:
                break
            assert isinstance(done, MemoryError), repr(done)
        OPERATIONS["main_entry"] = (lambda: (), trelk.main_entry)
        for name in swept({allocations!r}):
            sweep(name, fail, stop_failing)
        print("swept")
    """, env={"PYTHONPATH": os.pathsep.join(filter(None, [os.path.dirname(__file__), os.environ.get("PYTHONPATH")]))})
    assert result.returncode == 0 and result.stdout.endswith(b"swept\n"), result.stderr


@pytest.mark.skipif(sys.version_info >= (3, 13),
                    reason="3.13.0's import of an extension crashes after the entry point has returned "
                           "the module, when an allocation of its own fails")
@pytest.mark.exhaustive
def test_first_import_fails_at_every_point_then_builds_the_whole_tree():
    # Each point is tried in a forked child that has not imported trelk yet. What a failed
    # attempt built stays built; the next attempt completes the tree and registers its
    # modules, not those of the failed attempt.
    result = run_python("""
        import _testcapi, importlib.util, os, sys
        spec = importlib.util.find_spec("trelk")

        def check_tree(module):
            package = module.package
            for name, members in MEMBERS.items():
                assert sys.modules["trelk.package." + name] is getattr(package, name), name
                assert getattr(package, name).__all__ == members, name
            assert sys.modules["trelk.package"] is package
            assert module.__all__ == ["package", "init_tracing", "main_entry"]
            assert str(package.version.Version("1.2")) == "1.2"

        def attempt(start, stop):
            _testcapi.set_nomemory(start, stop)
            try:
                module = importlib.util.module_from_spec(spec)
            except MemoryError:
                outcome = "MemoryError"
            except RuntimeError as error:
                # The interpreter can fail to make a class without saying why: the module says which.
                assert str(error).startswith("An error occurred while initializing "), error
                outcome = "RuntimeError"
            else:
                outcome = "built"
            finally:
                _testcapi.remove_mem_hooks()
            check_tree(module if outcome == "built" else importlib.util.module_from_spec(spec))
            return outcome

        def in_child(start, stop):
            read, write = os.pipe()
            if os.fork() == 0:
                os.close(read)
                os.write(write, attempt(start, stop).encode())
                sys.exit(0)  # a normal exit, for the tools that count what ran
            os.close(write)
            with os.fdopen(read) as pipe:
                outcome = pipe.read()
            os.wait()
            assert outcome in ("built", "MemoryError", "RuntimeError"), (start, stop, outcome)
            return outcome

        # The import's allocations: fewer than the first point from which all may fail.
        low, high = 0, 1
        while in_child(high, 0) != "built":
            low, high = high, 2 * high
        while high - low > 1:
            middle = (low + high) // 2
            low, high = (low, middle) if in_child(middle, 0) == "built" else (middle, high)
        outcomes = {in_child(point, point + 1) for point in range(high)}
        print(*sorted(outcomes))
    """.replace("MEMBERS", repr(MEMBERS)))
    assert {b"MemoryError", b"built"} <= set(result.stdout.split()), result.stderr
    assert b"internal failure" not in result.stderr, result.stderr


@pytest.mark.skipif(COUNTDOWN is None, reason="needs the module's test build: tools/allocation_failures.sh")
def test_tree_released_while_every_allocation_fails():
    Depends("a") == True  # noqa: B015 - the literal nodes are made once, and kept
    before = COUNTDOWN[1]()
    chain = Depends("a")
    for _ in range(100_000):
        chain = chain == True  # noqa: E712
    wide = NumOf([chain, Maximize(chain), NumOf([Depends("b")] * 1000)] * 3)
    module_allocations(0, 0)
    try:
        del chain, wide
    finally:
        stop_failing_module_allocations()
    assert COUNTDOWN[1]() == before

