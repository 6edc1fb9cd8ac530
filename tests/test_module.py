"""The module tree, the class objects and the two module functions."""

import json
import os
import shutil
import subprocess
import sys
import sysconfig
import types

import pytest

import trelk
from conftest import CLASSES, COLLECTS_INSIDE_NATIVE_CALLS, FREE_THREADED, MEMBERS, run_python, text_of
from trelk.package.constraint import Cmp, CmpType, Depends, SpecOption
from trelk.package.outline import PackageOutline
from trelk.package.version import Version

TPFLAGS_DISALLOW_INSTANTIATION = 1 << 7
TPFLAGS_BASETYPE = 1 << 10
TPFLAGS_HAVE_GC = 1 << 14


def test_root_module():
    assert trelk.__name__ == "trelk"
    assert trelk.__doc__ == ""
    assert trelk.__all__ == ["package", "init_tracing", "main_entry"]
    assert sys.modules["trelk"] is trelk


@pytest.mark.skipif(not FREE_THREADED, reason="the interpreter has a global lock")
def test_import_keeps_the_interpreter_lock_off():
    result = run_python("""
        import sys, warnings
        warnings.simplefilter("error")  # the interpreter warns when it turns its lock on for a module
        import trelk
        print(sys._is_gil_enabled())
    """, env={"PYTHON_GIL": None})
    assert (result.returncode, result.stdout, result.stderr) == (0, b"False\n", b"")


# The classes' submodules hold exactly the classes of conftest.CLASSES, in its order.
@pytest.mark.parametrize("dotted, short, members", [
    ("trelk.package", "package", ["outline", "constraint", "version"]),
    *[(f"trelk.package.{short}", short, members) for short, members in MEMBERS.items()],
])
def test_submodules(dotted, short, members):
    parent_name, _, attr = dotted.rpartition(".")
    module = getattr(sys.modules[parent_name], attr)
    assert type(module) is types.ModuleType
    assert sys.modules[dotted] is module
    assert module.__name__ == short
    assert module.__doc__ is None
    assert module.__all__ == members
    assert not hasattr(module, "__path__")
    assert not hasattr(module, "__file__")
    for name in members:
        assert getattr(module, name) is getattr(sys.modules[dotted], name)
        assert name not in CLASSES or CLASSES[name].cls is getattr(module, name)


@pytest.mark.parametrize("module", [trelk, trelk.package], ids=["root", "package"])
@pytest.mark.parametrize("name", ["Cmp", "Version", "PackageOutline", "Depends"])
def test_classes_only_in_submodules(module, name):
    with pytest.raises(AttributeError):
        getattr(module, name)


# What conftest.CLASSES does not give: else the parameters, an empty doc, or none for a class not to call.
SIGNATURE = {PackageOutline: "(name, constraints=None, set_options=None, set_defaults=None, **kwargs)"}
DOC = {Version: "A generic version.\n\nSee the documentation for this module for more information."}
IDENTITIES = [  # class, text signature, doc
    (row.cls, SIGNATURE.get(row.cls, row.parameters and f"({', '.join(row.parameters)})"),
     DOC.get(row.cls, None if row.parameters is None else "")) for row in CLASSES.values()]


@pytest.mark.parametrize("cls, signature, doc", IDENTITIES,
                         ids=lambda x: getattr(x, "__name__", None))
def test_class_identity(cls, signature, doc):
    name = cls.__name__
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc
    assert cls.__bases__ == (object,)
    found = {k for k, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)}
    assert found == set(CLASSES[name].fields)
    for prop in found:
        assert vars(cls)[prop].__doc__ == ""


@pytest.mark.parametrize("cls", [row.cls for row in CLASSES.values()], ids=lambda c: c.__name__)
def test_class_flags(cls):
    flags = cls.__flags__
    assert not flags & TPFLAGS_BASETYPE
    assert not flags & TPFLAGS_HAVE_GC
    no_constructor = CLASSES[cls.__name__].parameters is None
    assert bool(flags & TPFLAGS_DISALLOW_INSTANTIATION) == no_constructor
    assert ("__new__" in vars(cls)) != no_constructor
    assert cls.__weakrefoffset__ == 0
    assert cls.__dictoffset__ == 0
    assert "__init__" not in vars(cls)
    assert "__str__" not in vars(cls) or cls is Version
    assert "__repr__" not in vars(cls) or cls in (Version, CmpType)


@pytest.mark.parametrize("cls, args, form", [
    (Version, ("1.2-a",), text_of),
    (Depends, ("a",), text_of),
    (Cmp, (1, Depends("a"), CmpType.Less), text_of),
    (PackageOutline, ("p", [Depends("a")]), type),  # an outline shows nothing of what it holds
], ids=lambda x: getattr(x, "__name__", None))
def test_new_builds_as_a_call_does(cls, args, form):
    # type.__call__ and cls.__new__ reach the class's tp_new, not its vectorcall.
    for made in (cls.__new__(cls, *args), type.__call__(cls, *args)):
        assert type(made) is cls
        assert form(made) == form(cls(*args))
    with pytest.raises(TypeError, match=r"^\w+\.__new__\(\) missing \d required positional argument"):
        cls.__new__(cls)


class Name(str):
    pass


@pytest.mark.parametrize("key", [Name("option_name"), "".join(["option", "_name"])], ids=["subclass", "made"])
def test_keyword_not_interned_names_its_parameter(key):
    # Only the interned names are found by identity; any other str is read.
    assert text_of(SpecOption("p", **{key: "o"})) == text_of(SpecOption("p", "o"))
    with pytest.raises(TypeError, match="got multiple values for argument 'option_name'"):
        SpecOption("p", "o", **{key: "o"})


def test_if_then_method():
    method = vars(Cmp)["if_then"]
    assert method.__text_signature__ == "($self, then)"
    assert method.__doc__ == (
        "Wrap this condition in an IfThen constraint.\n\n"
        "cond.if_then(then) => If ( cond ) Then ( then )")
    own = {k for k, v in vars(Cmp).items()
           if isinstance(v, types.MethodDescriptorType) and not k.startswith("__")}
    assert own == {"if_then"}


@pytest.mark.parametrize("name", ["init_tracing", "main_entry"])
def test_module_functions(name):
    func = getattr(trelk, name)
    assert type(func) is types.BuiltinFunctionType
    assert func.__name__ == name
    assert func.__text_signature__ == "()"
    assert func.__doc__ is None
    assert func.__self__ is trelk
    assert func.__module__ == "trelk"
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        func(1)
    with pytest.raises(TypeError):
        func(x=1)


def test_dotted_import_in_fresh_interpreter():
    result = run_python("""
        import sys
        import trelk.package.constraint
        assert sys.modules["trelk.package.constraint"] is trelk.package.constraint
        from trelk.package.version import Version
        from trelk.package.outline import PackageOutline
        assert sys.modules["trelk.package.version"].Version is Version
        assert sorted(k for k in sys.modules if k.startswith("trelk")) == [
            "trelk", "trelk.package", "trelk.package.constraint",
            "trelk.package.outline", "trelk.package.version"]
    """)
    assert result.returncode == 0, result.stderr.decode()


def test_reimport_keeps_changes_and_does_not_rebuild():
    result = run_python("""
        import sys
        import trelk
        first = trelk
        trelk.marker = 1
        del sys.modules["trelk"], sys.modules["trelk.package.version"]
        import trelk
        assert trelk is first and trelk.marker == 1
        assert trelk.__all__ == ["package", "init_tracing", "main_entry"]
        assert "trelk.package.version" not in sys.modules
        assert trelk.package.version.Version("1").__str__() == "1"
    """)
    assert result.returncode == 0, result.stderr.decode()



def test_import_from_a_finalizer_during_the_first_import():
    # Up to 3.11 a collection can run inside the module's construction; a
    # finalizer that imports trelk there is refused at once instead of hanging.
    result = run_python(f"""
        import gc, sys
        seen = []
        class Cycle:
            def __init__(self): self.me = self
            def __del__(self):
                if "trelk" in sys.modules:
                    return
                if "trelk.package.outline" in sys.modules and not seen:  # half-built
                    try:
                        import trelk
                        seen.append("imported")
                    except ImportError as exc:
                        seen.append(str(exc))
                Cycle()
        Cycle()
        gc.set_threshold(1)
        import trelk
        gc.set_threshold(700)
        assert trelk.package.version.Version("1.2").__str__() == "1.2"
        refused = ["trelk cannot be imported while this thread is initialising it"]
        assert seen == (refused if {COLLECTS_INSIDE_NATIVE_CALLS} else []), seen
    """, timeout=60)
    assert result.returncode == 0, result.stderr.decode()


def test_fork_while_another_thread_builds_the_module():
    # The construction latch that the builder held is nobody's in the child.
    result = run_python("""
        import builtins, importlib.util, os, sys, threading, time
        real_import, building = builtins.__import__, threading.Event()
        def slow_import(name, *args, **kwargs):  # the module tree looks up sys
            if name == "sys" and threading.current_thread().name == "builder":
                building.set()
                time.sleep(1)
            return real_import(name, *args, **kwargs)
        builtins.__import__ = slow_import
        threading.Thread(target=lambda: __import__("trelk"), name="builder", daemon=True).start()
        building.wait()
        pid = os.fork()
        if pid == 0:
            builtins.__import__ = real_import
            trelk = importlib.util.module_from_spec(importlib.util.find_spec("trelk"))
            sys.exit(0 if str(trelk.package.version.Version("1.2")) == "1.2" else 1)
        deadline = time.monotonic() + 10
        while (ended := os.waitpid(pid, os.WNOHANG))[0] != pid and time.monotonic() < deadline:
            time.sleep(0.01)
        if ended[0] != pid:
            os.kill(pid, 9)
        assert ended[0] == pid and ended[1] == 0, ended
    """, timeout=60)
    assert result.returncode == 0, result.stderr.decode()


def test_import_waits_for_another_thread_building_the_module():
    # The builder is held inside the construction until this thread waits for it. The first
    # wait is interrupted by a signal handler that raises; the second ends with the builder's
    # module.
    result = run_python("""
        import builtins, importlib.util, signal, sys, threading, time
        real_import, building, go_on = builtins.__import__, threading.Event(), threading.Event()
        def held_import(name, *args, **kwargs):  # the module tree looks up sys
            if name == "sys" and threading.current_thread().name == "builder":
                building.set()
                go_on.wait()
            return real_import(name, *args, **kwargs)
        builtins.__import__ = held_import
        waits = []
        def on_signal(*_):
            # Counted only when it finds this thread waiting inside the module's entry point.
            if sys._getframe(1).f_code.co_name != "_call_with_frames_removed":
                return
            waits.append(None)
            if len(waits) == 1:
                raise InterruptedError
            go_on.set()
        signal.signal(signal.SIGUSR1, on_signal)
        def poke():
            while not go_on.is_set():
                signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
                time.sleep(0.01)
        built = []
        builder = threading.Thread(target=lambda: built.append(__import__("trelk")), name="builder")
        builder.start()
        building.wait()
        spec = importlib.util.find_spec("trelk")  # before the signals: it runs import code too
        threading.Thread(target=poke).start()
        try:
            importlib.util.module_from_spec(spec)
        except InterruptedError:
            pass
        else:
            raise AssertionError("the wait was not interrupted")
        module = importlib.util.module_from_spec(spec)
        builder.join()
        assert built == [module] and len(waits) == 2, (built, module, waits)
    """, timeout=60)
    assert result.returncode == 0, result.stderr.decode()


SUBINTERPRETER = """
    import json
    import sys
    try:
        import _interpreters as interpreters  # from 3.13 on
    except ImportError:
        import _xxsubinterpreters as interpreters

    def import_in_new_interpreter(kind):
        # What `import trelk` raised in a new interpreter of this kind, as "Type: message".
        if hasattr(interpreters, "new_config"):
            sub = interpreters.create(kind)
            failure = interpreters.run_string(sub, "import trelk")
            error = failure and f"{failure.type.__name__}: {failure.msg}"
        else:
            sub = interpreters.create(isolated=kind == "isolated")
            try:
                interpreters.run_string(sub, "import trelk")
                error = None
            except interpreters.RunFailedError as exc:  # "<class 'ImportError'>: message"
                error = str(exc).replace("<class '", "", 1).replace("'>", "", 1)
        interpreters.destroy(sub)
        return error

    first = None
    if FIRST == "main":
        import trelk as first
    outcomes = [import_in_new_interpreter(KIND) for _ in range(2)]
    sys.modules.pop("trelk", None)
    try:
        import trelk
    except ImportError as exc:
        outcomes.append(f"ImportError: {exc}")
    else:
        assert first in (None, trelk) and trelk.package.constraint.Depends("xyz").on == "xyz"
        outcomes.append(None)
    print(json.dumps(outcomes))
"""

ALREADY_OWNED = ("ImportError: trelk does not support subinterpreters: "
                 "it is already initialised in another interpreter of this process")
REFUSED_BY_INTERPRETER = "ImportError: module trelk does not support loading in subinterpreters"
NO_SINGLE_PHASE = ("ImportError: trelk does not support subinterpreters: "
                   "this one takes no module with single-phase initialisation")


def subinterpreter_outcomes(first, kind):
    """What importing in two new interpreters and then in the main one gives, on this version."""
    if (kind == "isolated" or FREE_THREADED) and sys.version_info >= (3, 12):  # a GIL of its own; 3.11 shares it
        # 3.12 runs the entry point in the isolated interpreter when it comes first.
        refusal = NO_SINGLE_PHASE if first == "sub" and sys.version_info < (3, 13) else REFUSED_BY_INTERPRETER
        return [refusal, refusal, None]
    if first == "sub" and sys.version_info < (3, 13):
        return [None, ALREADY_OWNED, ALREADY_OWNED]  # the first interpreter owns the module
    # From 3.13 on, the entry point runs in the main interpreter first.
    return [ALREADY_OWNED, ALREADY_OWNED, None]


@pytest.mark.parametrize("first", ["main", "sub"])
@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_second_interpreter_refused(first, kind):
    code = SUBINTERPRETER.replace("FIRST", repr(first)).replace("KIND", repr(kind))
    result = run_python(code)
    assert result.returncode == 0, result.stderr.decode()
    assert json.loads(result.stdout) == subinterpreter_outcomes(first, kind)


def test_import_refused_when_no_exit_function_is_left():
    # Without one, the module could not forget this interpreter when it ends.
    result = run_python("""
        import ctypes
        ctypes.pythonapi.Py_AtExit.argtypes = [ctypes.c_void_p]
        getpid = ctypes.cast(ctypes.CDLL(None).getpid, ctypes.c_void_p)  # harmless at the very end
        assert any(ctypes.pythonapi.Py_AtExit(getpid) != 0 for _ in range(100))
        try:
            import trelk
        except ImportError as exc:
            print(exc)
    """)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode() == (
        "trelk cannot be imported: no room is left among the interpreter's exit functions (Py_AtExit), "
        "and without one an interpreter started again in this process would get this one's module\n")


EMBEDDED_ROUND = """
import sys
sys.path.insert(0, MODULE_FOLDER)
import trelk
from trelk.package.constraint import Cmp, CmpType, Depends, Maximize, Minimize, NumOf, SpecOption
from trelk.package.outline import PackageOutline
from trelk.package.version import Version
constraint = trelk.package.constraint
assert all(getattr(constraint, name).__name__ == name for name in constraint.__all__)
ssl = Cmp(SpecOption("openssl", "version"), Version("3.0"), CmpType.GreaterOrEqual)
rule = (Depends(name="curl") == True).if_then(Depends("nghttp2"))
either = NumOf([Maximize(1), Minimize(2.5)]) >= 1
PackageOutline(name="curl", constraints=[ssl, rule, either], set_options={"v": Version("01.2")})
try:
    SpecOption("curl", "timeout") > 2.5
except NotImplementedError:
    refused = "refused"
try:
    trelk.init_tracing()  # once per process: refused in every later round
    tracing = "tracing"
except BaseException as exc:
    tracing = type(exc).__name__
print(tracing, refused, str(ssl.rhs.value), str(Version("01.2")), type(rule.cond).__name__, flush=True)
try:
    Cmp(None, 1, CmpType.Equal)  # traced by the writer installed in the first round
except TypeError:
    pass
"""


TRACED = "ERROR trelk::package::constraint: cannot convert '<class 'NoneType'>' to Constraint"

# A line that waits for a reader when its interpreter ends goes out once the next round reads
# the pipe; its thread then parks instead of coming back with a thread state that is gone.
OUTLIVING_WRITER = """
import fcntl, os, sys, threading, time
sys.path.insert(0, MODULE_FOLDER)
import trelk
if "TRELK_EMBED_PIPE" not in os.environ:  # the first round
    read_end, write_end = os.pipe()
    os.environ["TRELK_EMBED_PIPE"] = str(read_end)
    saved = os.dup(1)
    os.dup2(write_end, 1)
    os.write(1, b"." * fcntl.fcntl(1, fcntl.F_GETPIPE_SZ))
    threading.Thread(target=trelk.main_entry, daemon=True).start()
    time.sleep(0.2)
    os.dup2(saved, 1)
else:
    read_end, out = int(os.environ["TRELK_EMBED_PIPE"]), b""
    while not out.endswith(b"trelk entrypoint\\n"):
        out += os.read(read_end, 1 << 16)
    time.sleep(0.2)  # the writer of the ended round is done
    trelk.main_entry()
"""


@pytest.fixture
def embed_host(tmp_path):
    """Builds tests/embed_host.c against this interpreter; returns what runs it for ROUNDS rounds of CODE,
    in which MODULE_FOLDER names the folder of the module under test."""
    if os.environ.get("TRELK_EMULATOR"):
        pytest.skip("the host is built for this machine, not for the emulated one")
    config = sysconfig.get_config_vars()
    # The interpreter's own compiler where it is here: a musl interpreter's links against musl.
    compiler = shutil.which((config.get("CC") or "cc").split()[0]) or shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler to build the embedding host with")
    library = os.path.join(config["LIBDIR"] or "", config["LDLIBRARY"] or "")
    if not (config["Py_ENABLE_SHARED"] and library.endswith(".so") and os.path.exists(library)):
        pytest.skip("the interpreter has no shared library to embed")
    host = tmp_path / "embed_host"
    subprocess.run([compiler, os.path.join(os.path.dirname(__file__), "embed_host.c"), "-o", host,
                    "-I", config["INCLUDEPY"], library, f"-Wl,-rpath,{config['LIBDIR']}",
                    *config["LIBS"].split(), *config["SYSLIBS"].split()], check=True)

    def run(rounds, code):
        code = code.replace("MODULE_FOLDER", repr(os.path.dirname(trelk.__file__)))
        result = subprocess.run([host, str(rounds), code], capture_output=True, timeout=120,
                                env={**os.environ, "NO_COLOR": "1"})
        assert result.returncode == 0, result.stderr.decode()
        return result.stdout.decode().splitlines()
    return run


@pytest.mark.parametrize("rounds, code, lines", [
    (3, EMBEDDED_ROUND, ["round 1", " WARN trelk: tracing activated", "tracing refused 3.0 1.2 Cmp", TRACED,
                         "round 2", "InternalFailure refused 3.0 1.2 Cmp", TRACED,
                         "round 3", "InternalFailure refused 3.0 1.2 Cmp", TRACED]),
    (2, OUTLIVING_WRITER, ["round 1", "round 2", "trelk entrypoint"]),
], ids=["every-class", "outliving-writer"])
def test_interpreter_ended_and_started_again_in_one_process(embed_host, rounds, code, lines):
    # An embedding host ends the interpreter and starts it again: each round gets a module
    # and classes of its own, nothing of the ended interpreter's.
    assert embed_host(rounds, code) == lines


# Many instances of every class, alive at once and freed at the end of the round; the control makes
# as many plain objects. Each round prints the memory the process holds then.
MANY_INSTANCES = """
import sys
sys.path.insert(0, MODULE_FOLDER)
from trelk.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption
from trelk.package.outline import PackageOutline
from trelk.package.version import Version
kept = []
for i in range(3000):
    option = SpecOption("p", "o")
    cmp = Cmp(option, i, CmpType.Less)
    kept.append((option, cmp, cmp.rhs, cmp.op, Depends("a"), IfThen(Depends("b"), i), Maximize(i), Minimize(2.5),
                 NumOf([Depends("c"), i]), PackageOutline("p", [cmp], {"o": i}), Version(f"1.2.{i}")))
"""
PLAIN_OBJECTS = """
class Plain:
    __slots__ = ("a", "b")
    def __init__(self, a, b=None):
        self.a, self.b = a, b
kept = []
for i in range(3000):
    option = Plain("p", "o")
    cmp = Plain(option, i)
    kept.append((option, cmp, Plain(i), Plain(cmp), Plain("a"), Plain(Plain("b"), i), Plain(i), Plain(2.5),
                 Plain([Plain("c"), i]), Plain("p", [cmp]), Plain(f"1.2.{i}", {"o": i})))
"""
RESIDENT = """
import os
with open("/proc/self/statm") as statm:
    print("resident", int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE"), flush=True)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer holds freed memory back for a while")
def test_interpreter_started_again_keeps_nothing_of_the_ended_one(embed_host):
    # The free blocks kept for instances go back to the ended interpreter's allocator, and its
    # class objects go with it: after the first few, a round costs what plain objects cost.
    def growth_per_round(code):
        resident = [int(line.split()[1]) for line in embed_host(60, code + RESIDENT) if line.startswith("resident")]
        return (resident[-1] - resident[10]) / (len(resident) - 11)

    instances, plain = growth_per_round(MANY_INSTANCES), growth_per_round(PLAIN_OBJECTS)
    assert instances - plain <= 64 << 10, (instances, plain)
