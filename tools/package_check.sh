#!/usr/bin/env bash
# Installs this interpreter's wheel, of those that tools/build_wheels.sh built
# from the sdist into dist/, in a fresh virtual environment, and checks what
# the installed distribution carries against pyproject.toml: the version, the
# Python range, known classifiers, the stubs, and a long description that an
# index page shows whole (no link into the repository, no commands for a clone).
set -euo pipefail
cd "$(dirname "$0")/.."

abi=$(python3 -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(echo dist/trelk-*-"$abi-$abi"-manylinux*_"$(uname -m)".whl)
[ -f "$wheel" ] && [ -f "$(echo dist/trelk-*.tar.gz)" ] ||
    { echo "no sdist and $abi wheel in dist/: run tools/build_wheels.sh" >&2; exit 1; }
venv=$(mktemp -d)
trap 'rm -rf "$venv"' EXIT
python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "$wheel" trove-classifiers
root=$PWD
cd "$venv"
"$venv/bin/python" - "$root/pyproject.toml" "$(basename "$wheel")" <<'PY'
import importlib.metadata
import re
import sys
import tomllib

from trove_classifiers import classifiers
from trelk.package.version import Version

with open(sys.argv[1], "rb") as pyproject:
    project = tomllib.load(pyproject)["project"]
distribution = importlib.metadata.distribution("trelk")
metadata = distribution.metadata
files = {file.as_posix() for file in distribution.files}
assert distribution.version == project["version"], distribution.version
assert set(metadata["Requires-Python"].split(",")) == set(project["requires-python"].split(",")), metadata["Requires-Python"]
assert set(metadata.get_all("Classifier")) - classifiers == set(), metadata.get_all("Classifier")
description = metadata.get_payload()
assert description.startswith("# trelk\n") and "From a clone" not in description, description[:300]
assert re.findall(r"\]\((?!https?://)", description) == [], re.findall(r"\[[^\]]*\]\((?!https?://)[^)]*\)", description)
assert "trelk-stubs/package/constraint.pyi" in files, sorted(files)
assert str(Version("1.02")) == "1.2"
print(f"installed from {sys.argv[2]}: trelk {distribution.version}, {len(files)} files, stubs included")
PY
