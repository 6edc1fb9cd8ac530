"""The source follows the project's own rules where no compiler checks them."""

import contextlib
import importlib.util
import io
import pathlib
import re
import unicodedata

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
SOURCES = {path.relative_to(SRC).as_posix(): path.read_text() for path in sorted(SRC.rglob("*.[ch]pp"))}
# The enums of ours that switches go over; a `default:` would hide a new member from -Wswitch.
OUR_ENUMS = sorted({name for text in SOURCES.values() for name in re.findall(r"enum class (?:\[\[\w+\]\] )?(\w+)", text)})


def load(path):
    """The module that the Python file at `path` defines, run."""
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def body_after(text, start):
    """The text between the brace that opens at or after `start` and its match."""
    opening = text.index("{", start)
    depth = 0
    for i in range(opening, len(text)):
        depth += {"{": 1, "}": -1}.get(text[i], 0)
        if depth == 0:
            return text[opening + 1:i]
    raise AssertionError("unbalanced braces")


def switches(text):
    for match in re.finditer(r"switch \((.*)\) \{", text):
        yield match.group(1), body_after(text, match.start())


def test_no_default_in_a_switch_over_an_enum_of_ours():
    offenders = []
    for name, text in SOURCES.items():
        for subject, body in switches(text):
            # `case Kind::...` names the enum; a switch over another type's values has no such case.
            cases = set(re.findall(r"case (?:\w+::)*?(\w+)::\w+:", body))
            if cases & set(OUR_ENUMS) and re.search(r"^\s*default:", body, re.M):
                offenders.append(f"{name}: switch ({subject})")
    assert "Kind" in OUR_ENUMS and "ErrorKind" in OUR_ENUMS
    assert offenders == []


def test_instances_are_entered_only_through_the_binding_doors():
    users = [name for name, text in SOURCES.items() if "try_enter(" in text]
    assert users == ["binding/access.hpp", "binding/class.hpp"]


# A slot, or what a slot hands over to: a function of objects that answers an
# object or a status to the interpreter, defined noexcept.
SLOT = re.compile(r"^(?:PyObject\*|int) (\w+)\([^)]*PyObject\*[^)]*\) noexcept \{", re.M)
# Slots that run no code that can fail or throw: the allocation pair.
ALLOCATION = {"pooled_alloc"}


def slots():
    for name, text in SOURCES.items():
        if name.startswith(("classes/", "binding/")):
            for match in SLOT.finditer(text):
                yield name, match.group(1), body_after(text, match.start())


@pytest.mark.parametrize("where,function,body", list(slots()), ids=lambda v: v if isinstance(v, str) and "\n" not in v else "")
def test_every_slot_is_entered_through_guarded(where, function, body):
    if function in ALLOCATION:
        return
    if "guarded(" in body:
        return
    # A slot that only hands over to another one, itself checked here.
    forwarded = re.fullmatch(r"\s*return (\w+)(?:<[^>]*>)?\(.*\);\s*", body, re.S)
    assert forwarded and forwarded.group(1) in {f for _, f, _ in slots()}, f"{where}: {function}"


def test_the_tests_and_the_leak_workload_know_every_class_and_value_type():
    # A class or value type that the tables leave out would be compared, converted and printed by nothing.
    from conftest import CLASSES, PLAIN
    members = re.search(r"enum class ValueType[^{]*\{([^}]*)\}", SOURCES["core/type_check.cpp"]).group(1)
    assert [m.strip() for m in members.split(",")] == ["Unknown", *PLAIN]
    workload = SRC.parent / "tests" / "leak_workload.py"
    module = load(workload)
    assert [type(v).__name__ for v in module.LITERALS] == [type(make()).__name__ for make in PLAIN.values()]
    body = workload.read_text().split("def round_of_operations")[1]
    assert [name for name in CLASSES if not re.search(rf"\b{name}\b", body)] == []


def test_unprintable_table_is_the_generators():
    table = (SRC / "core" / "unprintable.inc").read_text()
    header = table.splitlines()[0]
    if f"from Unicode {unicodedata.unidata_version};" not in header:
        pytest.skip(f"this interpreter has Unicode {unicodedata.unidata_version}; the table: {header}")
    written = io.StringIO()
    with contextlib.redirect_stdout(written):
        load(SRC.parent / "tools" / "gen_unprintable.py").main()
    assert written.getvalue() == table
