"""Describes a handful of packages as trelk outlines, with every kind of constraint.

    python examples/describe_packages.py [packages.json]

Turns tracing on, so refusals show up as ERROR lines on standard output.
"""

import json
import pathlib
import sys

import trelk
from trelk.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption
from trelk.package.outline import PackageOutline
from trelk.package.version import Version

DEFAULT_DATA = pathlib.Path(__file__).with_name("data") / "packages.json"


def describe(package):
    """The constraints of one package."""
    constraints = []
    for dependency in package.get("depends", []):
        constraints.append(Depends(dependency["on"]))
        if "min" in dependency:
            # Operators refuse an option against a literal, so a version bound uses the constructor.
            version = SpecOption(dependency["on"], "version")
            constraints.append(Cmp(version, Version(dependency["min"]), CmpType.GreaterOrEqual))
    if "any_of" in package:
        # At least one of the alternatives: a count compared with an integer.
        constraints.append(NumOf([Depends(name) for name in package["any_of"]]) >= 1)
    if "feature" in package:
        owner, option = package["feature"]["when"]
        # An option compared with a boolean is refused, but a dependency is a boolean itself.
        enabled = Depends(owner) == True  # noqa: E712 - builds a constraint
        constraints.append(enabled.if_then(Depends(package["feature"]["needs"])))
        constraints.append(IfThen(SpecOption(owner, option), Depends(package["feature"]["needs"])))
    if "prefer_fewer" in package:
        constraints.append(Minimize(NumOf([Depends(name) for name in package["prefer_fewer"]])))
    constraints.append(Maximize(SpecOption(package["name"], "version")))
    return constraints


def main(path):
    trelk.init_tracing()
    packages = json.loads(pathlib.Path(path).read_text())["packages"]
    outlines = []
    for package in packages:
        constraints = describe(package)
        options = dict(package.get("options", {}), version=Version(package["version"]))
        outlines.append(PackageOutline(package["name"], constraints, options, package.get("defaults")))
        print(f"{package['name']:8} {package['version']:10} {len(constraints)} constraints")

    # A comparison that makes no sense is refused with both sides printed.
    try:
        SpecOption("curl", "timeout") > 2.5
    except NotImplementedError as refusal:
        print(f"refused: {refusal}")
    # An object that is no constraint at all is not the module's business: == falls back to identity.
    print("Depends('zlib') == None ->", Depends("zlib") == None)  # noqa: E711
    print(f"{len(outlines)} packages described")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else DEFAULT_DATA)
