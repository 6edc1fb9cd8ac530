"""Diagnostic lines on the process's standard output, and the entry function.

Every test runs a fresh interpreter, because the event writer can be installed only
once per process, and inspects the raw bytes that the child wrote to its stdout.
"""

import ctypes
import errno
import os
import sys

import pytest

from conftest import EXIT_WITH_BUSY_DAEMONS, run_python

PRELUDE = """
import os, sys
import trelk
from trelk.package.constraint import Cmp, CmpType, Depends, NumOf
from trelk.package.outline import PackageOutline
"""

WARN_PLAIN = b" WARN trelk: tracing activated\n"
WARN_STYLED = b"\x1b[33m WARN\x1b[0m \x1b[2mtrelk\x1b[0m\x1b[2m:\x1b[0m tracing activated\n"
NONE_REFUSED = "cannot convert '<class 'NoneType'>' to Constraint"
BASE_EXC_CHECK = "assert type({0}).__bases__ == (BaseException,), type({0}).__mro__"


def error_line(target, message, styled):
    if styled:
        return (f"\x1b[31mERROR\x1b[0m \x1b[2m{target}\x1b[0m\x1b[2m:\x1b[0m "
                f"{message}\n").encode()
    return f"ERROR {target}: {message}\n".encode()


def child_stdout(code, no_color=None, expect_stderr=False):
    result = run_python(PRELUDE + code, env={"NO_COLOR": no_color})
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    if not expect_stderr:
        assert result.stderr == b""
    return result.stdout if not expect_stderr else (result.stdout, result.stderr)


@pytest.mark.parametrize("no_color, styled", [
    (None, True), ("", True), ("\udcff", True),
    ("1", False), ("0", False), ("false", False), (" ", False),
], ids=["unset", "empty", "not-unicode", "1", "0", "false", "space"])
def test_no_color(no_color, styled):
    out = child_stdout("""
trelk.init_tracing()
assert (Depends("a") == None) is False
""", no_color)
    warn = WARN_STYLED if styled else WARN_PLAIN
    assert out == warn + error_line("trelk::package::constraint", NONE_REFUSED, styled)
    assert (b"\x1b" in out) == styled


EVENT_SOURCES = [
    ("Depends('a') == None", [("trelk::package::constraint", NONE_REFUSED)]),
    ("NumOf([Depends('a'), None, []])", [("trelk::package::constraint", NONE_REFUSED)]),
    ("PackageOutline('p', set_options={'o': []})",
     [("trelk::spec::spec_option",
       "cannot cast Python type '<class 'list'>' to SpecOptionValue")]),
    ("PackageOutline('p', foo=1, bar=2)",
     [("trelk::package::outline", "PyPackageOutline unexpected keyword argument 'foo'")]),
    ("PackageOutline('p', constraints='x', foo=1)", []),
    ("Depends('a') == Depends('b')", []),
]


@pytest.mark.parametrize("expr, events", EVENT_SOURCES, ids=[e for e, _ in EVENT_SOURCES])
def test_event_sources(expr, events):
    out = child_stdout(f"""
trelk.init_tracing()
try:
    {expr}
except (TypeError, ValueError):
    pass
""", "1")
    assert out == WARN_PLAIN + b"".join(error_line(t, m, False) for t, m in events)


def test_events_before_init_not_written():
    out = child_stdout("""
def refuse():
    assert (Depends("a") == None) is False
    try:
        PackageOutline("p", foo=1)
    except ValueError:
        pass
refuse()
refuse()
trelk.init_tracing()
refuse()
""", "1")
    assert out == WARN_PLAIN + error_line("trelk::package::constraint", NONE_REFUSED, False) \
        + error_line("trelk::package::outline",
                     "PyPackageOutline unexpected keyword argument 'foo'", False)


SECOND_INIT_MESSAGE = ('Failed to set subscriber: SetGlobalDefaultError('
                       '"a global default trace dispatcher has already been set")')


def test_second_init_fails_and_first_writer_stays():
    out, _ = child_stdout(f"""
assert trelk.init_tracing() is None
os.environ["NO_COLOR"] = "1"
classes = set()
for _ in range(2):
    try:
        trelk.init_tracing()
    except BaseException as exc:
        {BASE_EXC_CHECK.format("exc")}
        assert not isinstance(exc, Exception)
        assert exc.args == ({SECOND_INIT_MESSAGE!r},), exc.args
        classes.add(type(exc))
    else:
        raise SystemExit("second init_tracing succeeded")
assert len(classes) == 1
assert (Depends("a") == None) is False
""", None, expect_stderr=True)
    assert out == WARN_STYLED + error_line("trelk::package::constraint", NONE_REFUSED, True)


NAME = "A\x1bB\x07C\x08D\x0cE\x7fF\x80G\x9bH\x9fI\tJ\x01K\rL\nM\xa0N\x1fO~"
ESCAPED = ("A\\x1bB\\x07C\\x08D\\x0cE\\x7fF\\u{80}G\\u{9b}H\\u{9f}"
           "I\tJ\x01K\rL\nM\xa0N\x1fO~")


@pytest.mark.parametrize("no_color", [None, "1"], ids=["styled", "plain"])
@pytest.mark.parametrize("code, target, message", [
    (f"obj = type({NAME!r}, (), {{}})()\nassert (Depends('a') == obj) is False",
     "trelk::package::constraint", f"cannot convert '<class '__main__.{ESCAPED}'>' to Constraint"),
    (f"""try:
    PackageOutline("p", **{{{NAME!r}: 1}})
except ValueError as exc:
    assert str(exc) == "PyPackageOutline unexpected keyword argument '" + {NAME!r} + "'"
else:
    raise SystemExit("keyword accepted")""",
     "trelk::package::outline", f"PyPackageOutline unexpected keyword argument '{ESCAPED}'"),
], ids=["type-name", "keyword"])
def test_message_escaping(code, target, message, no_color):
    out = child_stdout("trelk.init_tracing()\n" + code, no_color)
    styled = no_color is None
    assert out == (WARN_STYLED if styled else WARN_PLAIN) + error_line(target, message, styled)
    if not styled:
        assert b"\x1b" not in out
    assert out.count(b"\n") == 3


# Lines longer than PIPE_BUF are not kept whole by the system, only by the module.
@pytest.mark.parametrize("name_length", [1, 3 * 4096], ids=["short", "beyond-pipe-buf"])
def test_lines_from_threads_stay_whole(name_length):
    out = child_stdout(f"""
import threading
trelk.init_tracing()
refused = type("N" * {name_length}, (), {{}})()
def convert():
    for _ in range(200):
        Depends("a") == refused
def enter():
    for _ in range(200):
        trelk.main_entry()
threads = [threading.Thread(target=work) for work in (convert, convert, convert, enter)]
for t in threads:
    t.start()
for t in threads:
    t.join()
""", "1")
    refusal = error_line("trelk::package::constraint",
                         f"cannot convert '<class '__main__.{'N' * name_length}'>' to Constraint", False)
    assert out.startswith(WARN_PLAIN)
    assert sorted(out.splitlines(keepends=True)) == sorted(
        [WARN_PLAIN] + 600 * [refusal] + 200 * [b"trelk entrypoint\n"])


@pytest.mark.skipif(not hasattr(ctypes.CDLL(None), "mallinfo2"), reason="needs glibc's mallinfo2")
def test_long_line_leaves_the_heap_as_it_was():
    # A keyword name of 10 million ESC characters is written as 40 million: the thread's line
    # buffer gives that back once the line is out.
    out = child_stdout("""
import ctypes
class Heap(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]
mallinfo2 = ctypes.CDLL(None).mallinfo2
mallinfo2.restype = Heap
def in_use():
    heap = mallinfo2()
    return heap.uordblks + heap.hblkhd
trelk.init_tracing()
saved = os.dup(1)
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
options = {"\x1b" * 10_000_000: 1}
before = in_use()
try:
    PackageOutline("p", **options)
except ValueError:
    pass
os.write(saved, str(in_use() - before).encode())
""")
    assert int(out[len(WARN_STYLED):]) < 4 << 20


@EXIT_WITH_BUSY_DAEMONS
def test_interpreter_exit_while_daemon_threads_write():
    # Threads that want the interpreter back once it shuts down are ended by it.
    child_stdout("""
import threading
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
trelk.init_tracing()
def convert(started):
    while True:
        Depends("a") == None
        trelk.main_entry()
        started.set()
starts = [threading.Event() for _ in range(4)]
for started in starts:
    threading.Thread(target=convert, args=(started,), daemon=True).start()
for started in starts:
    started.wait()
""")


def test_main_entry_bypasses_sys_stdout():
    out = child_stdout("""
import io
real, sys.stdout = sys.stdout, io.StringIO()
assert trelk.main_entry() is None
trelk.init_tracing()
assert trelk.main_entry() is None
captured, sys.stdout = sys.stdout.getvalue(), real
assert captured == "", captured
""", "1")
    assert out == b"trelk entrypoint\n" + WARN_PLAIN + b"trelk entrypoint\n"


def test_redirected_process_stdout_captures_lines():
    out = child_stdout(f"""
import tempfile
fd, path = tempfile.mkstemp()
saved = os.dup(1)
os.dup2(fd, 1)
trelk.main_entry()
trelk.init_tracing()
Depends("a") == None
os.dup2(saved, 1)
trelk.main_entry()
with open(path, "rb") as f:
    data = f.read()
os.unlink(path)
assert data == b"trelk entrypoint\\n" + {WARN_PLAIN!r} + {error_line(
    "trelk::package::constraint", NONE_REFUSED, False)!r}, data
""", "1")
    assert out == b"trelk entrypoint\n"


def test_failed_writes():
    out, err = child_stdout(f"""
import errno
fd = os.open("/dev/full", os.O_WRONLY)
os.dup2(fd, 1)
try:
    trelk.main_entry()
except BaseException as exc:
    failure = exc
else:
    raise SystemExit("main_entry did not fail")
{BASE_EXC_CHECK.format("failure")}
message = failure.args[0]
assert message.startswith("failed printing to stdout: "), message
assert os.strerror(errno.ENOSPC) in message, message
# a lost event line does not disturb the caller
assert trelk.init_tracing() is None
assert (Depends("a") == None) is False
try:
    trelk.init_tracing()
except BaseException as exc:
    assert type(exc) is type(failure)
else:
    raise SystemExit("second init_tracing succeeded")
""", "1", expect_stderr=True)
    assert out == b""
    assert os.strerror(errno.ENOSPC).encode() in err


BLOCKING = """
import fcntl, faulthandler, select, signal, threading, time
# A hang ends with every thread's traceback. The watchdog is an alarm, not a
# thread: a fork must not meet a thread partway through its exit (a sanitizer's
# allocator, locked by it, stays locked in the child), and a child has none.
faulthandler.register(signal.SIGALRM, chain=True)
signal.alarm(30)
# A thread keeps the interpreter until it waits: whatever one thread does up to
# its first wait is done before another thread runs.
sys.setswitchinterval(1e6)
read_end, write_end = os.pipe()  # nobody reads it until the blocked call is interrupted
os.dup2(write_end, 1)
capacity = fcntl.fcntl(read_end, fcntl.F_GETPIPE_SZ)
long_named = type("N" * capacity, (), {})()

def pipe_full():
    return not select.select([], [write_end], [], 0)[1]

def fill():
    os.set_blocking(write_end, False)
    try:
        while True:
            os.write(write_end, b"\\n" * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(write_end, True)

def in_call(call):  # returns once a thread of its own runs `call` and waits inside it
    entered = threading.Event()
    def run():
        entered.set()
        call()
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    entered.wait()
    return thread

def drain(meanwhile):  # reads the pipe while `meanwhile` runs, then to its end
    drained = []
    reader = threading.Thread(target=lambda: drained.extend(iter(lambda: os.read(read_end, 1 << 16), b"")))
    reader.start()
    meanwhile()
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    os.close(write_end)
    reader.join()
    return b"".join(drained)

def interrupt():
    raise KeyboardInterrupt
on_signal = interrupt
def let_first_pass():  # the call goes on after the first signal, and is interrupted by the next
    global on_signal
    handled.clear()
    on_signal = interrupt
handled = []
def handler(*_):  # the signals sent after the first find the call over
    if not handled:
        handled.append(True)
        on_signal()
signal.signal(signal.SIGINT, handler)

calling, done = threading.Event(), threading.Event()
def interrupter():  # runs only once the blocked call lets other threads run
    calling.wait()
    while not pipe_full():
        time.sleep(0.01)
    while not done.wait(0.1):
        os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupter, daemon=True).start()
"""

LINE_AHEAD = """trelk.init_tracing()
threading.Thread(target=lambda: Depends("a") == long_named, daemon=True).start()
while not pipe_full():
    time.sleep(0.01)"""
LOST_LINE = b"trelk: a diagnostic line could not be written to standard output: " + os.strerror(
    errno.EDEADLK).encode() + b"\n"


@pytest.mark.parametrize("setup, call, refusal, lost", [
    # a line longer than the pipe blocks partway
    ("trelk.init_tracing()", "Depends('a') == long_named", None, False),
    ("trelk.init_tracing()", "PackageOutline('p', set_options={'o': long_named})", None, False),
    ("trelk.init_tracing()", "PackageOutline('p', **{'k' * capacity: 1})", None, False),
    # a full pipe blocks the whole line
    ("fill()", "trelk.init_tracing()", None, False),
    ("fill()", "trelk.main_entry()", None, False),
    # another thread's blocked line holds the line lock
    (LINE_AHEAD, "trelk.main_entry()", None, False),
    ("on_signal = let_first_pass\n" + LINE_AHEAD, "trelk.main_entry()", None, False),
    # another thread installs, behind a third one's line: this one waits for its announcement
    ("fill(); in_call(trelk.main_entry); in_call(trelk.init_tracing)", "trelk.init_tracing()", None, False),
    # a handle set not to block, full
    ("fill(); os.set_blocking(1, False)", "trelk.main_entry()", None, False),
    # a signal handler writes while its thread writes: it is refused, and its refusal ends the call
    ("fill(); on_signal = trelk.init_tracing", "trelk.init_tracing()", "Failed to set subscriber", False),
    ("fill(); on_signal = trelk.main_entry", "trelk.main_entry()", "reentrant call", False),
    # ... and installs nothing, since its announcement cannot be written
    ("fill(); on_signal = lambda: (trelk.init_tracing(), 1 / 0)", "trelk.main_entry()", "reentrant call", False),
    ("fill(); in_call(trelk.init_tracing); on_signal = trelk.init_tracing", "trelk.main_entry()",
     "Failed to set subscriber", False),
    ("trelk.init_tracing(); fill(); on_signal = lambda: (Depends('a') == None, trelk.main_entry())",
     "trelk.main_entry()", "reentrant call", True),
], ids=["constraint", "option-value", "keyword", "init_tracing", "main_entry", "main_entry-behind-line",
        "main_entry-behind-line-second-signal", "init_tracing-behind-installer", "non-blocking", "handler-init_tracing", "handler-main_entry", "handler-installs",
        "handler-init_tracing-behind-installer", "handler-event"])
def test_blocked_standard_output_is_interruptible(setup, call, refusal, lost):
    check = "type(exc) is KeyboardInterrupt" if refusal is None else f"{refusal!r} in str(exc)"
    out, stderr = child_stdout(BLOCKING + setup + f"""
try:
    calling.set()
    {call}
except BaseException as exc:
    assert {check}, repr(exc)
else:
    raise SystemExit("not interrupted")
done.set()
# The line lock was let go: once the pipe is read, lines go out again; a line
# cut off by the interrupt is ended before the next one.
assert b"\\ntrelk entrypoint\\n" in drain(trelk.main_entry)
""", "1", expect_stderr=True)
    assert out == b""
    assert (LOST_LINE in stderr) == lost


def test_racing_installer_fails_once_the_writer_is_announced():
    # Both start while this thread holds the line: one installs, the other waits for its announcement.
    out, _ = child_stdout(BLOCKING + f"""
fill()
failures, racer = [], []
def race():
    try:
        trelk.init_tracing()
    except BaseException as exc:
        failures.append(exc.args)
    Depends("a") == None  # written, after the announcement
def on_signal():
    in_call(trelk.init_tracing)
    racer.append(in_call(race))
    raise KeyboardInterrupt
try:
    calling.set()
    trelk.main_entry()
except KeyboardInterrupt:
    done.set()
lines = drain(racer[0].join).lstrip(b"\\n")
assert failures == [({SECOND_INIT_MESSAGE!r},)], failures
assert lines == {WARN_PLAIN + error_line("trelk::package::constraint", NONE_REFUSED, False)!r}, lines
""", "1", expect_stderr=True)
    assert out == b""


# The writer is installed once its announcement begins: an announcement cut short
# before then is taken back while its thread lets go of the line.
@pytest.mark.parametrize("code", [
    # interrupted: nothing is installed, and the next init_tracing() installs
    """fill()
try:
    calling.set()
    trelk.init_tracing()
except KeyboardInterrupt:
    done.set()
lines = drain(lambda: (Depends("a") == None, trelk.init_tracing(), Depends("b") == None))
assert lines.lstrip(b"\\n") == WARN_PLAIN + REFUSED, lines[-200:]""",
    # a signal that its handlers let pass: an event waiting for the line does not go first
    """fill()
signal.signal(signal.SIGUSR1, lambda *_: None)
installer = in_call(trelk.init_tracing)
in_call(lambda: Depends("a") == None)
signal.pthread_kill(installer.ident, signal.SIGUSR1)
end = time.monotonic() + 0.3
while time.monotonic() < end:  # the installer waits for the interpreter, the event for the line
    pass
lines = drain(installer.join)
assert lines.lstrip(b"\\n").startswith(WARN_PLAIN), lines[-200:]""",
], ids=["interrupted", "signal-passed"])
def test_writer_installed_once_its_announcement_begins(code):
    child_stdout(BLOCKING + f"WARN_PLAIN = {WARN_PLAIN!r}\n"
                 f"REFUSED = {error_line('trelk::package::constraint', NONE_REFUSED, False)!r}\n" + code,
                 "1", expect_stderr=True)


# At exit, a daemon thread that asks for the interpreter back is stopped for
# good: ended (up to 3.13, where one inside the module parks) or parked (from
# 3.14). It never holds the line then, so a line written at exit does not wait
# for it. Standard output is a pipe that its reader starts reading only then.
AT_EXIT = """
import fcntl, select, signal, subprocess, threading, time
go_read, go_write = os.pipe()
reader = subprocess.Popen([sys.executable, "-c", "import os, sys; os.read(int(sys.argv[1]), 1); "
                           "sys.stderr.buffer.write(sys.stdin.buffer.read())", str(go_read)],
                          stdin=subprocess.PIPE, pass_fds=[go_read])
os.dup2(reader.stdin.fileno(), 1)
signal.signal(signal.SIGUSR1, lambda *_: None)

def daemon(call):
    thread = threading.Thread(target=call, daemon=True)
    thread.start()
    return thread

def pipe_full():
    return not select.select([], [1], [], 0)[1]

def wait_until(done):
    while not done():
        time.sleep(0.01)

def interrupt(thread):  # cuts short what it waits for; it then wants the interpreter back
    signal.pthread_kill(thread.ident, signal.SIGUSR1)
    time.sleep(0.2)

def read_now():
    os.write(go_write, b"!")

long_named = type("N" * 4 * fcntl.fcntl(1, fcntl.F_GETPIPE_SZ), (), {})()
class AtShutdown:  # sys.stdout is flushed again once the other threads are to end
    def flush(self, finalizing=sys.is_finalizing):
        if finalizing():
            at_exit()
            trelk.main_entry()
sys.stdout = AtShutdown()
"""


@EXIT_WITH_BUSY_DAEMONS
@pytest.mark.parametrize("setup, at_exit, ending", [
    # a short write to a handle set not to block: its writer goes on waiting for the reader
    ("os.set_blocking(1, False); trelk.init_tracing(); writer = daemon(lambda: Depends('a') == long_named)",
     "read_now()", b"\ntrelk entrypoint\n"),
    # a signal cuts short a blocked write: its writer lets go of the line, torn
    ("trelk.init_tracing(); writer = daemon(lambda: Depends('a') == long_named)",
     "interrupt(writer); read_now()", b"\ntrelk entrypoint\n"),
    # an installer waiting for the line, and then the writer ahead of it, are stopped: this thread installs
    ("os.set_blocking(1, False); os.write(1, b'.' * fcntl.fcntl(1, fcntl.F_GETPIPE_SZ)); os.set_blocking(1, True); "
     "writer = daemon(trelk.main_entry); installer = daemon(trelk.init_tracing); time.sleep(0.2)",
     "interrupt(installer); interrupt(writer); read_now(); trelk.init_tracing()", WARN_PLAIN + b"trelk entrypoint\n"),
], ids=["non-blocking", "signal", "installer"])
def test_line_written_at_exit_waits_for_no_stopped_thread(setup, at_exit, ending):
    _, err = child_stdout(AT_EXIT + f"""
{setup}
wait_until(pipe_full)
def at_exit():
    {at_exit}
""", "1", expect_stderr=True)
    assert err.endswith(ending), err[-200:]


# The children end as processes do, not by os._exit.
FORK_WHILE_WRITING = BLOCKING + LINE_AHEAD + """
pid = os.fork()  # the long line stopped partway, holding the line lock
if pid == 0:
    Depends("child") == []
    sys.exit()
out = drain(lambda: os.waitpid(pid, 0))
# Whole, though perhaps amid the parent's line: the processes do not share the lock.
assert out.count(b"ERROR trelk::package::constraint: cannot convert '<class 'list'>' to Constraint\\n") == 1
"""

FORKED_POOL_WHILE_TRACING = """
import multiprocessing, threading
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
trelk.init_tracing()
def trace():
    while True:
        Depends("a") == None
        trelk.main_entry()
def refuse(k):
    return Depends(str(k)) == None
for _ in range(3):
    threading.Thread(target=trace, daemon=True).start()
for _ in range(10):
    with multiprocessing.get_context("fork").Pool(4) as pool:
        assert pool.map(refuse, range(16), chunksize=1) == [False] * 16
"""




def handler_forks(before, in_child, call, after):
    """A signal handler forks while this thread's `call` waits for standard output."""
    return BLOCKING + f"""
fill()
def on_signal():
    {before}
    if pid := os.fork():
        os._exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    {in_child}
calling.set()
{call}
{after}
sys.exit()
"""


# Another thread's installation, waiting for a third one's line, is not the child's: the child installs.
FORK_WHILE_ANOTHER_THREAD_INSTALLS = handler_forks("in_call(trelk.main_entry); in_call(trelk.init_tracing)", "",
                                                   "trelk.main_entry()", "trelk.init_tracing()")
# This thread's own installation goes on in the child: the handler's call is refused, as in the parent.
FORK_WHILE_THIS_THREAD_INSTALLS = handler_forks("in_call(trelk.main_entry)", """try:
        trelk.init_tracing()
    except BaseException as exc:
        assert "Failed to set subscriber" in str(exc), repr(exc)
    else:
        os._exit(1)""", "trelk.init_tracing()", "")


@pytest.mark.parametrize("code", [FORK_WHILE_WRITING, FORKED_POOL_WHILE_TRACING, FORK_WHILE_ANOTHER_THREAD_INSTALLS,
                                  FORK_WHILE_THIS_THREAD_INSTALLS],
                         ids=["blocked-writer", "pool", "racing-installer", "own-installation"])
def test_forked_child_waits_for_no_thread_of_its_parent(code):
    # A lock or installation that another thread held at the fork is nobody's in the child.
    result = run_python(PRELUDE + code, env={"NO_COLOR": "1"}, timeout=120)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
