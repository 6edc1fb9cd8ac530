#!/usr/bin/env bash
# Type checks against the installed module and its stubs (trelk-stubs):
#   1. stubtest compares the stubs with the extension module at run time;
#   2. mypy --strict and pyright (strict, checks/pyrightconfig.json) check
#      checks/typecheck_usage.py, which pins what the stubs give and refuse, and
#      typed code as a user writes it;
#   3. both check the example programs.
# `typecheck.sh stubtest` runs the first alone: the others check the stubs and
# the programs for Python 3.11 (checks/mypy.ini), whatever runs them.
# Run from anywhere after `python3 -m pip install .`; installs mypy with pip
# (1.16 or later, for properties whose setter takes a wider type) and pyright,
# pinned, with the Node.js runtime that it runs on (its extra "nodejs", from PyPI).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}

only=${1:-}  # "stubtest", or nothing for every check
packages=('mypy>=1.16')
[ -n "$only" ] || packages+=('pyright[nodejs]==1.1.414')
"$python" -m pip install --quiet --only-binary=:all: "${packages[@]}"

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
"$python" -m mypy.stubtest trelk --mypy-config-file "$root/checks/mypy.ini" --allowlist "$root/checks/stubtest-allowlist.txt"
[ -z "$only" ] || exit 0

echo "== mypy --strict checks/typecheck_usage.py examples/"
"$python" -m mypy --config-file "$root/checks/mypy.ini" --strict --cache-dir .mypy_cache "$root/checks/typecheck_usage.py" "$root/examples"

echo "== pyright checks/typecheck_usage.py examples/"
# Without the check for a newer release, which would ask PyPI.
PYRIGHT_PYTHON_IGNORE_WARNINGS=1 "$python" -m pyright --project "$root/checks/pyrightconfig.json" \
    --pythonpath "$("$python" -c 'import sys; print(sys.executable)')" \
    "$root/checks/typecheck_usage.py" "$root/examples"
