"""The user's documentation: every public name of the stubs has a docstring, and every
example of the README, of docs/ and of the stubs' docstrings runs and prints what it shows.

Examples are ```python blocks: with `>>>` prompts they run as doctest sessions; without,
as a program, whose output is the ```text block after it, if any. A ```console
block runs its `$ python3 <file of the repository> ...` lines and shows their output.
What an example shows is compared exactly, `...` standing for any text; output includes
what the module writes to file descriptor 1 (trace lines), which doctest alone misses.
Each page or stub file runs in a fresh interpreter (tracing can be switched on once per
process) with NO_COLOR=1, each page or docstring with a namespace of its own.
"""

import ast
import doctest
import json
import pathlib
import re
import shlex

import pytest

from conftest import CLASSES, CONSTRAINTS, MEMBERS, PLAIN, run_python
from trelk.package.constraint import NumOf

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs" / "trelk-stubs"
PAGES = [ROOT / "README.md", ROOT / "CHANGELOG.md", *sorted((ROOT / "docs").glob("*.md"))]
# What a docstring's examples may use without importing it: the names of the stubs.
STUB_PRELUDE = ("import trelk\nfrom trelk.package.constraint import *\n"
                "from trelk.package.outline import *\nfrom trelk.package.version import *\n")

# The child: runs groups of (name, prelude, examples), each example being
# (source, want, exc_msg, line, interactive); prints the failures as JSON.
CHILD = r'''
import doctest, io, json, os, sys, tempfile, traceback

def run(groups):
    report = os.fdopen(os.dup(1), "w")
    captured = tempfile.TemporaryFile()
    os.dup2(captured.fileno(), 1)
    sys.stdout = io.TextIOWrapper(io.FileIO(1, "w", closefd=False), write_through=True)
    checker, failures = doctest.OutputChecker(), []
    for name, prelude, examples in groups:
        namespace = {"__name__": "__main__"}
        exec(prelude, namespace)
        for source, want, exc_msg, line, interactive in examples:
            start = captured.seek(0, 2)
            raised = None
            try:
                exec(compile(source, f"{name}:{line}", "single" if interactive else "exec"), namespace)
            except SystemExit as e:
                raised = None if e.code in (0, None) else f"SystemExit: {e.code}\n"
            except BaseException as e:  # the module's internal failure is no Exception
                raised = traceback.format_exception_only(type(e), e)[-1]
            captured.seek(start)
            got = captured.read().decode()
            if raised is not None and exc_msg is None:
                failures.append((name, line, source, want, got + raised))
            elif raised is None and exc_msg is not None:
                failures.append((name, line, source, exc_msg, got))
            elif not checker.check_output(want if exc_msg is None else exc_msg,
                                          got if raised is None else raised, doctest.ELLIPSIS):
                failures.append((name, line, source, want if exc_msg is None else exc_msg, got + (raised or "")))
    print(json.dumps(failures), file=report)
'''

FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.M | re.S)


def interactive(text, start_line):
    return [(e.source, e.want, e.exc_msg, start_line + e.lineno, True) for e in doctest.DocTestParser().get_examples(text)]


def page_examples(path):
    text = path.read_text()
    blocks = list(FENCE.finditer(text))
    examples = []
    for i, block in enumerate(blocks):
        language, body = block.groups()
        line = text.count("\n", 0, block.start()) + 2
        if language == "python" and re.search(r"^>>> ", body, re.M):
            examples += interactive(body, line - 1)
        elif language == "python":
            after = blocks[i + 1] if i + 1 < len(blocks) else None
            # Its output: a ```text block right after it, or after a line such as "prints:".
            shown = after and after.group(1) == "text" and re.fullmatch(r"\s*([^\n]*:\n)?\s*", text[block.end():after.start()])
            examples.append((body, after.group(2) if shown else "", None, line, False))
        elif language == "console":
            for command, output in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", body, re.M):
                program, *arguments = shlex.split(command)
                assert program == "python3" and (ROOT / arguments[0]).is_file(), f"{path.name}:{line}: {command}"
                argv = [str(ROOT / arguments[0]), *arguments[1:]]
                source = f"import runpy, sys\nsys.argv = {argv!r}\nrunpy.run_path(sys.argv[0], run_name='__main__')\n"
                examples.append((source, output, None, line, False))
    return [(path.name, "", examples)]


def documented(tree):
    """(qualified name, docstring or None) of the module and each public name it defines.

    Public: not starting with an underscore, and `__new__`, the constructor; a property's
    setter is documented by its getter, overloads by the first. A variable's docstring is
    the string after it."""
    yield "", ast.get_docstring(tree)

    def walk(body, prefix):
        overloaded = set()
        for i, node in enumerate(body):
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                decorators = [ast.unparse(d) for d in getattr(node, "decorator_list", [])]
                later = "overload" in decorators and node.name in overloaded
                overloaded |= {node.name} if "overload" in decorators else set()
                setter = any(d.endswith(".setter") for d in decorators)
                if (not node.name.startswith("_") or node.name == "__new__") and not setter and not later:
                    yield prefix + node.name, ast.get_docstring(node)
                if isinstance(node, ast.ClassDef):
                    yield from walk(node.body, f"{prefix}{node.name}.")
            elif isinstance(node, (ast.Assign, ast.AnnAssign)):
                target = node.targets[0] if isinstance(node, ast.Assign) else node.target
                if isinstance(target, ast.Name) and not target.id.startswith("_"):
                    after = body[i + 1] if i + 1 < len(body) else None
                    string = (isinstance(after, ast.Expr) and isinstance(after.value, ast.Constant)
                              and isinstance(after.value.value, str))
                    yield prefix + target.id, after.value.value if string else None

    yield from walk(tree.body, "")


STUB_FILES = sorted(STUBS.rglob("*.pyi"))
DOCSTRINGS = {f"{path.relative_to(STUBS)}:{name}": doc
              for path in STUB_FILES for name, doc in documented(ast.parse(path.read_text()))}


def test_every_public_name_of_the_stubs_has_a_docstring():
    missing = [name for name, doc in DOCSTRINGS.items() if not doc]
    assert len(DOCSTRINGS) > 40 and missing == []


def stub_examples(path):
    prefix = f"{path.relative_to(STUBS)}:"
    return [(name, STUB_PRELUDE, interactive(doc, 0))
            for name, doc in DOCSTRINGS.items() if name.startswith(prefix) and doc]


@pytest.mark.parametrize("path", PAGES + STUB_FILES, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_examples_print_what_they_show(path):
    groups = stub_examples(path) if path.suffix == ".pyi" else page_examples(path)
    child = run_python(f"{CHILD}\nrun({groups!r})\n", env={"NO_COLOR": "1"})
    assert child.returncode == 0, child.stderr.decode()
    failures = json.loads(child.stdout)
    message = "".join(f"\n{name}:{line}:\n{source}--- shown:\n{want}--- printed:\n{got}" for name, line, source, want, got in failures)
    assert failures == [], message


def test_docs_name_every_class_and_value_type_and_text_form():
    # What the compiler and stubtest cannot see: the aliases, the tables, the lists in prose.
    aliases = {node.target.id: ast.unparse(node.value) for node in ast.parse((STUBS / "package/constraint.pyi").read_text()).body
               if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)}
    assert aliases["Constraint"].split(" | ") == [row.cls.__name__ for row in CONSTRAINTS]
    value_types = aliases["OptionValue"].split(" | ")
    assert value_types == [type(make()).__name__ for make in PLAIN.values()]
    pages = {path.relative_to(ROOT).as_posix(): path.read_text() for path in [*PAGES, *STUB_FILES] if path.stem != "CHANGELOG"}
    unnamed = []
    for name, text in pages.items():
        for paragraph in re.split(r"\n\s*\n", text):
            listed = " ".join(paragraph.split())
            if "`bool`" in listed and "`str`" in listed:  # a list of the value types
                unnamed += [(name, t, listed[:60]) for t in value_types if not re.search(rf"\b{t}", listed)]
            if "constraint class (`" in listed:
                unnamed += [(name, row.cls.__name__, listed[:60]) for row in CONSTRAINTS if f"`{row.cls.__name__}`" not in listed]
        for module, members in re.findall(r"^\| `trelk\.package\.(\w+)` \| (.*) \|$", text, re.M):
            unnamed += [(name, module, n) for n in MEMBERS[module] if f"`{n}" not in members]
    table = pages["README.md"].split("| Class |")[1].split("\n\n")[0]
    unnamed += [("README.md", "class table", n) for n in CLASSES if not re.search(rf"^\| [^|]*`{n}`", table, re.M)]
    for row in CONSTRAINTS[:-1]:  # a Value's text is its literal's
        shown = row.form(["a", "b"]) if row.cls is NumOf else row.form(*row.parameters)
        if f"Text form: `{shown}`" not in DOCSTRINGS[f"package/constraint.pyi:{row.cls.__name__}"]:
            unnamed.append(("constraint.pyi", row.cls.__name__, shown))
    assert unnamed == []
