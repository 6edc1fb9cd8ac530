#!/usr/bin/env bash
# Builds the sdist and the wheel, installs the sdist in a fresh virtual
# environment, and checks what the installed distribution carries against
# pyproject.toml: the version, the Python range, known classifiers, the stubs,
# and a long description that an index page shows whole (no link into the
# repository, no commands for a clone).
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install --quiet build
dist=$(mktemp -d)
venv=$(mktemp -d)
trap 'rm -rf "$dist" "$venv"' EXIT
python3 -m build --sdist --wheel --outdir "$dist" . >/dev/null
ls "$dist"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "$dist"/trelk-*.tar.gz trove-classifiers
root=$PWD
cd "$venv"
"$venv/bin/python" - "$root/pyproject.toml" <<'PY'
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
print(f"installed from the sdist: trelk {distribution.version}, {len(files)} files, stubs included")
PY
