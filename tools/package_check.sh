#!/usr/bin/env bash
# Builds the sdist and the wheel, installs the sdist in a fresh virtual
# environment, and checks what the installed distribution carries.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install --quiet build
dist=$(mktemp -d)
venv=$(mktemp -d)
trap 'rm -rf "$dist" "$venv"' EXIT
python3 -m build --sdist --wheel --outdir "$dist" . >/dev/null
ls "$dist"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "$dist"/trelk-*.tar.gz
cd "$venv"
"$venv/bin/python" - <<'PY'
import importlib.metadata
import pathlib

import trelk
from trelk.package.version import Version

distribution = importlib.metadata.distribution("trelk")
files = {file.as_posix() for file in distribution.files}
assert distribution.version == "0.1.0", distribution.version
assert set(distribution.metadata["Requires-Python"].split(",")) == {">=3.11", "<3.16"}
assert "trelk-stubs/package/constraint.pyi" in files, sorted(files)
assert str(Version("1.02")) == "1.2"
print(f"installed from the sdist: trelk {distribution.version}, {len(files)} files, stubs included")
PY
