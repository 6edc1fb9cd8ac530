"""Objects shared by many threads, IfThen objects crossing threads, and the
diagnostic writer installed and used by several threads at once."""

import collections
import concurrent.futures
import gc
import os
import random
import re
import sys
import threading
import time

import pytest

from conftest import (
    DROPPED, EXIT_WITH_BUSY_DAEMONS, FREE_THREADED, MARK, UNSENDABLE, internal_failure, pieces, run_python, text_of,
)
from trelk.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, NumOf, SpecOption
from trelk.package.outline import PackageOutline
from trelk.package.version import Version

THREADS = 8


def run_threads(work, stack=0):
    """Runs work(k) on THREADS threads released together; returns what they raised."""
    barrier, errors, interval = threading.Barrier(THREADS), [], sys.getswitchinterval()

    def body(k):
        try:
            barrier.wait()
            work(k)
        except BaseException as exc:  # noqa: B036 - test failures and internal failures too
            errors.append(exc)

    gc.collect()  # earlier tests' garbage, IfThen objects among it, is dropped here and not on a worker
    sys.setswitchinterval(1e-5)
    old_stack = threading.stack_size(stack)
    try:
        threads = [threading.Thread(target=body, args=(k,)) for k in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
        threading.stack_size(old_stack)
    return errors


NUMOF, DEPENDS = pieces(NumOf([MARK, MARK])), pieces(Depends(MARK))
WRITTEN = re.compile(r"{}({}t(\d)-\d+{})((?:{}\1)*){}".format(*map(re.escape, [NUMOF[0], *DEPENDS, *NUMOF[1:]])))


def count_of(text):  # the length of a NumOf text whose elements all name one writer, who made it that long
    m = WRITTEN.fullmatch(text)
    assert m and m[3].count(NUMOF[1]) == int(m[2]), text
    return int(m[2]) + 1


def sides(text, op):  # the texts of the two sides of a Cmp's text, cut at its operator `op`
    head, middle, tail = pieces(Cmp(MARK, MARK, op))
    left, _, right = text.rpartition(middle)
    return left[len(head):], right[:len(right) - len(tail)]


def test_shared_objects_stay_whole():
    d, s, n, c = Depends("t0-0"), SpecOption("t0-0", "t0-0"), NumOf([Depends("t0-0")]), Cmp(1, 2, CmpType.Less)
    tag = re.compile(r"t\d-\d+")
    named = pieces(Cmp(Depends(MARK), True, CmpType.Equal))
    options, items = {"k": 0}, []  # changed by the other threads while one reads them

    def work(k):
        for i in range(150):
            name = f"t{k}-{i}"
            d.on, s.package_name, s.option_name = name, name, name
            n.of = [Depends(name)] * (k + 1)
            c.lhs, c.rhs = n, d
            assert tag.fullmatch(d.on) and tag.fullmatch(s.package_name) and tag.fullmatch(s.option_name)
            lhs = c.lhs
            assert count_of(text_of(lhs)) == len(lhs.of)
            left, right = sides(text_of(n >= k), CmpType.GreaterOrEqual)
            assert count_of(left) and right == str(k)
            assert tag.fullmatch(text_of(d == True)[len(named[0]):-len(named[1])])  # noqa: E712
            PackageOutline("p", [d, s, n, c], {"k": i})
            options[name], _ = i, items.append(d)
            PackageOutline("p", [d, s, n, c], options)
            assert len(NumOf(items).of) <= len(items) + THREADS
            del options[name], items[:2]

    assert run_threads(work) == []
    finals = {f"t{k}-149" for k in range(THREADS)}
    assert d.on in finals and s.package_name in finals and s.option_name in finals and n.of[0].on in finals
    count_of(text_of(n))
    d.on, s.option_name, n.of, c.lhs = "", "", (), 0  # every borrow was given back
    assert (text_of(NumOf([d, n, c.lhs])), s.option_name) == (text_of(NumOf([Depends(""), NumOf([]), 0])), "")


def test_objects_shared_replaced_and_dropped_by_every_thread():
    # Each thread puts objects of its own into shared slots, where the others read, combine and
    # drop them, and writes the others' objects into one shared Cmp: every value read is whole.
    numofs, versions = [NumOf([Depends("t0-0")]) for _ in range(4)], [Version("0.0") for _ in range(4)]
    c = Cmp(numofs[0], versions[0], CmpType.Less)
    version = re.compile(r"\d\.\d+")

    def work(k):
        for i in range(300):
            own = NumOf([Depends(f"t{k}-{i}")] * (k + 1))
            numofs[i % 4], versions[(i + k) % 4] = own, Version(f"{k}.{i}")  # drops what was there
            seen, v = numofs[(i + k) % 4], versions[i % 4]
            assert version.fullmatch(str(v)), str(v)
            assert count_of(text_of(seen)) == len(seen.of)
            c.lhs, c.rhs = seen, v
            left, right = sides(text_of(c), CmpType.Less)
            assert count_of(left) and version.fullmatch(right), text_of(c)
            assert text_of(NumOf([seen, own])) == NUMOF[0] + text_of(seen) + NUMOF[1] + text_of(own) + NUMOF[2]
            PackageOutline(f"t{k}", [seen, c, own], {"v": v, "k": k}, {"d": None})

    assert run_threads(work) == []
    numofs.clear()
    versions.clear()
    count_of(text_of(c.lhs))


def test_writer_refused_only_while_a_reader_runs_user_code():
    # With the interpreter lock or without, as the reader's hook may be what the writer's
    # thread waits for; without it, a writer waits only for readers that run no Python code.
    n, refused = NumOf([Depends("t0-0")]), []

    class Slow:
        def __index__(self):
            time.sleep(1e-4)  # other threads run while n is borrowed
            if FREE_THREADED and random.random() < 0.1:
                gc.collect()
            return 1

    def work(k):
        for i in range(40):
            if k % 2:
                count_of(sides(text_of(n >= Slow()), CmpType.GreaterOrEqual)[0])
                continue
            try:
                n.of = [Depends(f"t{k}-{i}")] * (k + 1)
            except RuntimeError as exc:
                refused.append(str(exc))

    assert run_threads(work) == []
    assert refused and set(refused) == {"Already borrowed"}
    count_of(text_of(n))
    n.of = []


class Unconvertible(type):
    hook = None

    def __str__(cls):  # the refusal's text asks for it
        Unconvertible.hook()
        return "unconvertible"


def hooked(hook):  # converted through __index__, which calls hook
    return type("Hooked", (), {"__index__": lambda self: hook() or 1})()


# A read held over Python code, of an object made by the first, that waits for another thread.
READS_OVER_HOOKS = {
    "index": (lambda: NumOf([1]), lambda x, hook: x >= hooked(hook)),
    "float": (lambda: NumOf([1]), lambda x, hook: x >= type("F", (), {"__float__": lambda self: hook() or 1.5})()),
    "refusal-text": (lambda: NumOf([1]),
                     lambda x, hook: setattr(Unconvertible, "hook", hook) or x == Unconvertible("U", (), {})()),
    "if_then": (lambda: Cmp(NumOf([1]), 1, CmpType.Less), lambda x, hook: x.if_then(hooked(hook))),
}


@pytest.mark.parametrize("make, read", READS_OVER_HOOKS.values(), ids=READS_OVER_HOOKS)
def test_write_refused_at_once_while_another_thread_reads_over_python_code(make, read):
    # As with the lock: waiting there, the writer would wait for a hook that waits for it.
    x, inside, written, outcome = make(), threading.Event(), threading.Event(), []

    def hook():
        inside.set()
        outcome.append(written.wait(20))

    def write():
        inside.wait(20)
        try:
            if isinstance(x, Cmp):
                x.rhs = 2
            else:
                x.of = []
        except RuntimeError as exc:
            outcome.append(str(exc))
        written.set()

    writer = threading.Thread(target=write)
    writer.start()
    try:
        read(x, hook)
    except NotImplementedError:  # a NumOf and a float: refused once converted
        pass
    writer.join()
    assert outcome == ["Already borrowed", True]


def test_writes_never_refused_by_reads_that_run_no_python_code():
    # Comparisons and if_then whose operands are constraints or plain values run no
    # Python code: with the lock no write can meet them, and without it none is refused,
    # nor does a reader of its own object (x == x), or of another's, wait for a writer
    # that waits for it.
    x, y, c, d, stop = NumOf([Depends("a")]), NumOf([Depends("b")]), Cmp(Depends("a"), True, CmpType.Equal), \
        Depends("b"), threading.Event()
    written, errors = [], []

    def loop(work):
        try:
            while not stop.is_set():
                work()
        except BaseException as exc:  # noqa: B036
            errors.append(exc)

    def write():
        try:
            for _ in range(20_000):
                x.of, y.of, c.rhs = [d], [d], False
            written.append(True)
        except BaseException as exc:  # noqa: B036
            errors.append(exc)

    readers = [lambda: (x >= 1, x == x, c.if_then(c), c == False), lambda: x == y, lambda: y == x]  # noqa: E712
    threads = [threading.Thread(target=loop, args=(work,), daemon=True) for work in readers]
    threads.append(threading.Thread(target=write, daemon=True))
    for t in threads:
        t.start()
    deadline = time.monotonic() + 120
    while not written and not errors and time.monotonic() < deadline:
        time.sleep(0.01)
    stop.set()
    assert written and errors == [], errors  # no refusal, and no two threads waiting for each other


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
def test_forked_child_uses_objects_that_threads_of_the_parent_were_using():
    # Those threads took what they held attached, and let go of it before fork stopped them.
    proc = run_python("""
        import os, threading, time, warnings
        from trelk.package.constraint import Depends, NumOf
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        n, many, stop = NumOf([Depends("a")] * 20_000), [Depends("b")] * 20_000, False
        def read():
            while not stop: n.of
        def write():
            while not stop: n.of = many
        threads = [threading.Thread(target=work, daemon=True) for work in (read, read, write, write)]
        for thread in threads: thread.start()
        time.sleep(0.1)
        for _ in range(10):
            if (pid := os.fork()) == 0:
                n.of = [Depends("c")]
                os._exit(0 if len(n.of) == 1 else 1)
            assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        # Stopped before the end: CPython 3.13 on musl may crash at an exit with busy daemon threads.
        stop = True
        for thread in threads: thread.join()
    """, timeout=120)
    assert proc.returncode == 0, proc.stderr


def test_writer_let_in_among_readers_that_run_no_python_code():
    n, stop, longest = NumOf([Depends("a")] * 50), threading.Event(), []

    def read():
        while not stop.is_set():
            n.of

    readers = [threading.Thread(target=read) for _ in range(THREADS)]
    for t in readers:
        t.start()
    try:
        for i in range(20):
            started = time.perf_counter()
            n.of = [Depends(f"w{i}")] * 50
            longest.append(time.perf_counter() - started)
    finally:
        stop.set()
        for t in readers:
            t.join()
    assert max(longest) < 1, longest  # without a way given, eight readers kept it out for seconds


def test_threads_that_read_refuse_each_others_writes():
    # Each thread reads its object while its hook asks to write the other's: waiting, as
    # any pair of locks would, they would wait for each other for ever. Both are refused,
    # with the interpreter lock or without.
    objects, outcomes, both = [NumOf([1]), NumOf([2])], [None, None], threading.Barrier(2, timeout=60)

    class Hook:
        def __init__(self, k):
            self.k = k

        def __index__(self):
            both.wait()  # each reads its own
            try:
                objects[1 - self.k].of = []
            except RuntimeError as exc:
                outcomes[self.k] = str(exc)
            both.wait()
            return 1

    threads = [threading.Thread(target=lambda k=k: objects[k] >= Hook(k), daemon=True) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads) and outcomes == ["Already borrowed"] * 2
    assert [text_of(o) for o in objects] == [text_of(NumOf([1])), text_of(NumOf([2]))]


def test_if_then_objects_across_threads(unraisable):  # noqa: F811
    mine = IfThen(Depends("a"), NumOf([1, 2]))
    accesses = [lambda: mine.cond, lambda: setattr(mine, "then", 1), lambda: mine == 1, lambda: 1 < mine,
                lambda: Depends("a") == mine, lambda: NumOf([1, mine]), lambda: PackageOutline("p", [mine]),
                lambda: Cmp(1, 2, CmpType.Less).if_then(mine)]
    deep = SpecOption("p", "o")
    for _ in range(200_000):
        deep = Maximize(deep)
    given = [[IfThen(deep, k)] + [IfThen(k, i) for i in range(9)] for k in range(THREADS)]
    made = [[] for _ in range(THREADS)]
    del deep

    def work(k):
        for access in accesses:
            assert UNSENDABLE in internal_failure(access)
        made[k].extend(IfThen(Depends(f"t{k}"), i) for i in range(10))
        assert text_of(NumOf(made[k][1:2])) == text_of(NumOf([IfThen(Depends(f"t{k}"), 1)]))  # works on its owner
        given[k].clear()  # made on the main thread, dropped here with a small stack: the deep tree too

    assert run_threads(work, stack=256 << 10) == []
    dropped_by_workers = 0 if FREE_THREADED else THREADS * 10  # there the main thread, their maker, frees them
    assert unraisable == [(RuntimeError, DROPPED)] * dropped_by_workers

    def later(k):  # the owners have exited; their identities are not reused
        for own in made:
            assert UNSENDABLE in internal_failure(lambda: own[0].then)

    assert run_threads(later, stack=256 << 10) == []  # the same stacks, and system ids, again
    made.clear()
    assert unraisable == [(RuntimeError, DROPPED)] * (dropped_by_workers + THREADS * 10)
    assert text_of(mine) == text_of(IfThen(Depends("a"), NumOf([1, 2])))


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="freed memory stays in quarantine")
def test_trees_of_if_then_dropped_on_another_thread_are_freed(unraisable):  # noqa: F811
    big, box = "x" * (8 << 20), []

    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for round in range(12):
        if round == 2:  # after the allocator has settled
            start = resident()
        t = threading.Thread(target=lambda: box.append(IfThen(Depends(big), SpecOption(big, big))))
        t.start()
        t.join()
        box.clear()
    assert resident() - start < (48 << 20)  # ten lost pairs of trees would hold 240 MiB
    assert len(unraisable) == 12


def test_tracing_installed_by_racing_threads():
    proc = run_python(f"""
        import threading, trelk
        from trelk.package.constraint import Depends
        Long, barrier, outcomes = type("L" * 5000, (), {{}}), threading.Barrier({THREADS}), []
        def work():
            barrier.wait()
            try:
                outcomes.append(trelk.init_tracing())
            except BaseException as exc:
                outcomes.append((type(exc).__bases__, exc.args))
            for _ in range(100):
                assert (Depends("a") == None) is False and (Depends("a") == Long()) is False
        threads = [threading.Thread(target=work) for _ in range({THREADS})]
        for t in threads: t.start()
        for t in threads: t.join()
        message = ('Failed to set subscriber: SetGlobalDefaultError('
                   '"a global default trace dispatcher has already been set")')
        assert sorted(outcomes, key=str) == [((BaseException,), (message,))] * {THREADS - 1} + [None], outcomes
    """, env={"NO_COLOR": "1"})
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    head, _, rest = proc.stdout.partition(b"\n")
    assert head == b" WARN trelk: tracing activated"
    line = "ERROR trelk::package::constraint: cannot convert '<class '{}'>' to Constraint".format
    assert collections.Counter(rest.split(b"\n")) == {
        line("NoneType").encode(): THREADS * 100, line("__main__." + "L" * 5000).encode(): THREADS * 100, b"": 1}


# Python code that a daemon thread runs inside a module call; at shutdown the
# interpreter ends such a thread wherever it asks for the interpreter lock back.
EXIT_WORKLOADS = {
    "userlist": "NumOf(UserList([Depends('a'), Depends('b')] * 100)) >= 1",
    "index": "NumOf([Depends('a')]) >= Index()",
    "getitem": "NumOf(Seq())",
    "sleeping-hook": "NumOf([Depends('a')]) >= Sleepy()",
    "option-dicts": "PackageOutline('p', [], {'a': Index(), 'b': Sleepy()}, {'c': Index()})",
    "finalizer": "Cycle(), LONG.of",  # up to 3.11, making the list collects cycles
}


@EXIT_WITH_BUSY_DAEMONS
@pytest.mark.parametrize("work", EXIT_WORKLOADS.values(), ids=EXIT_WORKLOADS)
def test_exit_while_daemon_threads_run_python_code_inside_the_module(work):
    code = f"""
        import gc, sys, threading, time
        from collections import UserList
        from trelk.package.constraint import Depends, NumOf
        from trelk.package.outline import PackageOutline
        class Index:
            def __index__(self): return sum(range(50))
        class Seq:
            def __len__(self): return 200
            def __getitem__(self, i):
                if i >= 200: raise IndexError
                return Depends("a")
        class Sleepy:
            def __index__(self):
                time.sleep(0.001)
                return 1
        class Cycle:
            def __init__(self): self.me = self
            def __del__(self): sum(range(1000))
        LONG = NumOf([Depends("a")] * 100)
        go = threading.Event()
        def work():
            go.wait()
            while True:
                {work}
        for _ in range(4):
            threading.Thread(target=work, daemon=True).start()
        # Only now: while the others run, each thread the main thread starts takes
        # seconds under the sanitizers (it finalizes all their garbage).
        go.set()
        sys.setswitchinterval(1e-6)  # the lock changes hands inside every hook
        gc.set_threshold(1, 10**6)  # young cycles only: full collections would be slow
        time.sleep(0.05)
        # The main thread shuts down at the usual pace while the others go on.
        sys.setswitchinterval(0.005)
        gc.set_threshold(700)
    """
    # Every run crashed when a thread was unwound through the module, for every
    # workload but the finalizer; ten runs catch a one-in-ten fault with 65%.
    pool = concurrent.futures.ThreadPoolExecutor(4)
    results = list(pool.map(lambda _: run_python(code, timeout=60), range(10)))
    pool.shutdown()
    assert [(r.returncode, r.stderr) for r in results] == [(0, b"")] * 10


# A thread reads X in a hook that never returns.
READ_FOR_GOOD = """
import os, threading, time
from trelk.package.constraint import Depends, NumOf
X, reading = NumOf([1]), threading.Event()
class Hold:
    def __index__(self):
        reading.set()
        while True: time.sleep(0.001)
threading.Thread(target=lambda: X < Hold(), daemon=True).start()
reading.wait()
"""


@EXIT_WITH_BUSY_DAEMONS
@pytest.mark.parametrize("then", ["""
class Late:  # collected with the last garbage, after the daemon is stopped
    def __init__(self, x=X, write=os.write): self.me, self.x, self.write = self, x, write
    def __del__(self):
        try: self.x.of = []
        except RuntimeError as exc: self.write(1, str(exc).encode())
Late()
""", """
if pid := os.fork():
    os._exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
try: X.of = [Depends("z")]
except RuntimeError as exc: os.write(1, str(exc).encode())
os._exit(0)
""", """
import atexit
def late():  # before the interpreter ends, the daemon still in its hook
    try: X.of = []
    except RuntimeError as exc: os.write(1, str(exc).encode())
atexit.register(late)
"""], ids=["stopped-at-exit", "not-in-forked-child", "at-exit"])
def test_write_refused_while_a_thread_that_never_runs_again_reads(then):
    # Without the lock too: a wait for that thread would never end.
    proc = run_python(READ_FOR_GOOD + then, timeout=60)
    assert (proc.returncode, proc.stdout) == (0, b"Already borrowed"), proc.stderr
