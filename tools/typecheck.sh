#!/usr/bin/env bash
# Type checks against the installed module and its stubs (trelk-stubs):
#   1. stubtest compares the stubs with the extension module at run time;
#   2. mypy --strict and pyright (strict, tools/pyrightconfig.json) check
#      tools/typecheck_usage.py, which pins what the stubs give and refuse, and
#      typed code as a user writes it;
#   3. both check the example programs.
# Run from anywhere after `python3 -m pip install .`; installs mypy with pip
# (1.16 or later, for properties whose setter takes a wider type) and pyright,
# pinned, with the Node.js runtime that it runs on (its extra "nodejs", from PyPI).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}

"$python" -m pip install --quiet --only-binary=:all: 'mypy>=1.16' 'pyright[nodejs]==1.1.414'

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

echo "== mypy --strict tools/typecheck_usage.py examples/"
"$python" -m mypy --config-file "$root/tools/mypy.ini" --strict --cache-dir .mypy_cache "$root/tools/typecheck_usage.py" "$root/examples"

echo "== pyright tools/typecheck_usage.py examples/"
# Without the check for a newer release, which would ask PyPI.
PYRIGHT_PYTHON_IGNORE_WARNINGS=1 "$python" -m pyright --project "$root/tools/pyrightconfig.json" \
    --pythonpath "$("$python" -c 'import sys; print(sys.executable)')" \
    "$root/tools/typecheck_usage.py" "$root/examples"
