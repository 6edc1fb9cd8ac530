#!/usr/bin/env bash
# Type checks against the installed module and its stubs (trelk-stubs):
#   1. stubtest compares the stubs with the extension module at run time;
#   2. mypy --strict checks tools/typecheck_usage.py, which pins what the stubs
#      give and refuse;
#   3. mypy --strict checks the example programs.
# Run from anywhere after `python3 -m pip install .`; installs mypy with pip
# (1.16 or later, for properties whose setter takes a wider type).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}

"$python" -m pip install --quiet --only-binary=:all: 'mypy>=1.16'

# The stubs are checked as installed; refuse to run on a stale installation.
installed=$("$python" - <<'PY' 2>/dev/null || true
import importlib.metadata
for file in importlib.metadata.files("trelk") or []:
    if file.as_posix() == "trelk-stubs/__init__.pyi":
        print(file.locate().parent)
PY
)
if [[ -z "$installed" ]]; then
  echo "trelk-stubs is not installed: run '$python -m pip install .' first" >&2
  exit 1
fi
if ! diff -r -x __pycache__ stubs/trelk-stubs "$installed" >/dev/null; then
  echo "installed stubs in $installed differ from stubs/trelk-stubs: run '$python -m pip install .' again" >&2
  exit 1
fi

# Run outside the repository so that the installed module is the one imported.
root=$PWD
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

echo "== stubtest"
"$python" -m mypy.stubtest trelk --mypy-config-file "$root/tools/mypy.ini" --allowlist "$root/tools/stubtest-allowlist.txt"

echo "== mypy --strict tools/typecheck_usage.py"
"$python" -m mypy --config-file "$root/tools/mypy.ini" --strict --cache-dir .mypy_cache "$root/tools/typecheck_usage.py"

echo "== mypy --strict examples/"
"$python" -m mypy --config-file "$root/tools/mypy.ini" --strict --cache-dir .mypy_cache "$root/examples"
