"""Describes every package of a Debian package index as a trelk PackageOutline.

    python3 examples/describe_packages.py [Packages] [--trace]

Without an argument it reads the excerpt shipped in examples/data/Packages.
Each dependency becomes a Depends; a version restriction ("libc6 (>= 2.34)")
becomes Cmp(SpecOption(dependency, "version"), Version(...), CmpType...); a
choice ("a | b") becomes NumOf([...]) >= 1, with each alternative's
restriction as IfThen(Depends(alternative), restriction). The package's own
version and architecture are option settings. Prints a short summary.

What is left out: a version restriction, or a package's own version, whose
text the module's version grammar refuses. Debian versions may carry an epoch
(1:2.3) and tildes (1.0~rc1, which Debian orders before 1.0); the grammar has
neither (a part is a number or a word of ASCII letters and digits, split at
".", "-" and "+"), and a rewritten text would not compare as Debian compares
it. Such a restriction is left out rather than described wrongly, and the
summary counts what was left out, by the parser's reason. On the whole of
Debian 12 main that is about one restriction in five.
"""

from __future__ import annotations

import argparse
import collections
import pathlib
import re
import sys
import time
from collections.abc import Iterator

import trelk
from trelk.package.constraint import Cmp, CmpType, Depends, IfThen, NumOf, SpecOption
from trelk.package.outline import PackageOutline
from trelk.package.version import Version

EXCERPT = pathlib.Path(__file__).with_name("data") / "Packages"
RELATION_FIELDS = ("Pre-Depends", "Depends")
OPERATORS = {
    "<<": CmpType.Less,
    "<=": CmpType.LessOrEqual,
    "=": CmpType.Equal,
    ">=": CmpType.GreaterOrEqual,
    ">>": CmpType.Greater,
}
# "name:arch (op version) [arch list] <profiles>": only name, operator and version matter here.
RELATION = re.compile(r"^\s*([^\s:(\[<]+)(?::\S+)?\s*(?:\(\s*(<<|<=|=|>=|>>)\s*([^)\s]+)\s*\))?")

Constraint = Cmp | Depends | IfThen


class Summary:
    def __init__(self) -> None:
        self.packages = 0
        self.constraints = 0
        self.restrictions = 0
        self.restrictions_left_out = 0
        self.versions_left_out = 0
        self.refusals: collections.Counter[str] = collections.Counter()

    def refuse(self, text: str, error: ValueError) -> None:
        # The reason is the parser's; the character tells epochs and tildes apart.
        reason = str(error).split("(")[0]
        mark = ":" if ":" in text else "~" if "~" in text else ""
        self.refusals[f"{reason} ({mark!r} in the version)" if mark else reason] += 1


def stanzas(path: pathlib.Path) -> Iterator[dict[str, str]]:
    """The stanzas of a package index, as field name -> value (continuation lines joined)."""
    fields: dict[str, str] = {}
    last = ""
    with path.open(encoding="utf-8") as index:
        for line in index:
            line = line.rstrip("\n")
            if not line:
                if fields:
                    yield fields
                fields, last = {}, ""
            elif line[0] in " \t":
                if last:
                    fields[last] += "\n" + line.strip()
            else:
                last, _, value = line.partition(":")
                fields[last] = value.strip()
    if fields:
        yield fields


def version_of(text: str, summary: Summary) -> Version | None:
    try:
        return Version(text)
    except ValueError as error:
        summary.refuse(text, error)
        return None


def restriction(name: str, operator: str | None, version_text: str | None, summary: Summary) -> Cmp | None:
    """The version restriction of one relation, if it has one that parses."""
    if operator is None or version_text is None:
        return None
    summary.restrictions += 1
    version = version_of(version_text, summary)
    if version is None:
        summary.restrictions_left_out += 1
        return None
    # Built with the constructor: the operators refuse an option against a literal, by design.
    return Cmp(SpecOption(name, "version"), version, OPERATORS[operator])


def relation_constraints(field: str, summary: Summary) -> list[Constraint]:
    constraints: list[Constraint] = []
    for relation in field.split(","):
        alternatives: list[tuple[str, str | None, str | None]] = []
        for alternative in relation.split("|"):
            match = RELATION.match(alternative)
            if match:
                alternatives.append((match[1], match[2], match[3]))
        if len(alternatives) == 1:
            name, operator, version_text = alternatives[0]
            constraints.append(Depends(name))
            bound = restriction(name, operator, version_text, summary)
            if bound is not None:
                constraints.append(bound)
        elif alternatives:
            constraints.append(NumOf([Depends(name) for name, _, _ in alternatives]) >= 1)
            for name, operator, version_text in alternatives:
                bound = restriction(name, operator, version_text, summary)
                if bound is not None:
                    constraints.append(IfThen(Depends(name), bound))
    return constraints


def describe(fields: dict[str, str], summary: Summary) -> PackageOutline:
    constraints: list[Constraint] = []
    for field in RELATION_FIELDS:
        if field in fields:
            constraints.extend(relation_constraints(fields[field], summary))
    options: dict[str, bool | int | float | str | Version] = {"architecture": fields.get("Architecture", "")}
    version = version_of(fields.get("Version", ""), summary)
    if version is not None:
        options["version"] = version
    else:
        summary.versions_left_out += 1
    summary.packages += 1
    summary.constraints += len(constraints)
    return PackageOutline(fields["Package"], constraints, options, {"multi-arch": fields.get("Multi-Arch")})


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("index", nargs="?", type=pathlib.Path, default=EXCERPT, help="a Packages file")
    parser.add_argument("--trace", action="store_true", help="switch on the module's diagnostic lines")
    args = parser.parse_args()
    if args.trace:
        trelk.init_tracing()

    summary = Summary()
    outlines: list[PackageOutline] = []
    progress = sys.stderr.isatty()
    started = time.perf_counter()
    for fields in stanzas(args.index):
        outlines.append(describe(fields, summary))
        if progress and summary.packages % 2000 == 0:
            print(f"\r{summary.packages:,} packages described", end="", file=sys.stderr, flush=True)
    elapsed = time.perf_counter() - started
    if progress:
        print("\r" + " " * 40 + "\r", end="", file=sys.stderr)

    print(f"index:        {args.index.name}")
    print(f"packages:     {summary.packages:,}")
    print(f"constraints:  {summary.constraints:,}")
    print(f"left out:     {summary.restrictions_left_out:,} of {summary.restrictions:,} version restrictions "
          f"and {summary.versions_left_out:,} of {summary.packages:,} package versions,")
    print("              whose text the version grammar refuses:")
    for reason, count in summary.refusals.most_common():
        print(f"  {count:6,}  {reason}")
    print(f"time taken:   {elapsed * 1000:,.1f} ms")

    # What a refused comparison looks like: an option against a literal.
    try:
        _ = SpecOption("libc6", "version") >= Version("2.36")
    except NotImplementedError as refusal:
        print(f"refused comparison: {refusal}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
