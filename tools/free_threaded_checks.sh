#!/usr/bin/env bash
# The free-threaded interpreter (CPython 3.13 configured --disable-gil,
# tools/free_threaded_python.sh): the module installed there, and with the GIL
# off, the whole test suite, stubtest and mypy --strict, the allocation
# sweeps against a test build, and how describing packages scales on two
# threads (printed, not judged: the machine may be busy).
#     bash tools/free_threaded_checks.sh
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(bash tools/free_threaded_python.sh)
venv=$(mktemp -d)
trap 'rm -rf "$venv"' EXIT
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
# numpy and hypothesis as wheels: a source build of either needs what this
# interpreter lacks.
"$venv/bin/python" -m pip install --quiet --only-binary=numpy,hypothesis '.[test]'
# Off for good: the interpreter would turn it back on for a module that did not
# declare that it runs without it, and the suite checks that it stays off.
export PYTHON_GIL=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider
PYTHON="$venv/bin/python" bash tools/typecheck.sh
PYTHON="$venv/bin/python" bash tools/allocation_failures.sh
"$venv/bin/python" bench/thread_scaling.py
