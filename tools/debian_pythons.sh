#!/usr/bin/env bash
# CPython 3.14 and 3.15, which this machine's Debian lacks, from the Debian root
# of tools/debian_root.sh: for each, the module is built and installed in a
# fresh virtual environment, and the whole test suite, stubtest and mypy
# --strict run there.
#     bash tools/debian_pythons.sh [VERSION...]
set -euo pipefail
cd "$(dirname "$0")/.."
versions=(3.14 3.15)
[ $# -eq 0 ] || versions=("$@")

for version in "${versions[@]}"; do
    echo "== CPython $version (Debian): test suite, stubtest and mypy --strict, installed in a fresh environment"
    bash tools/debian_root.sh run /bin/sh -euc '
        version=$1
        venv=$(mktemp -d)
        trap "rm -rf $venv" EXIT
        "python$version" -m venv "$venv"
        # The pip that Debian bundles may predate the interpreter; a current one from PyPI.
        "$venv/bin/python" -m pip install --quiet --upgrade pip
        "$venv/bin/python" -m pip install --quiet ".[test]"
        "$venv/bin/python" -m pytest -q -p no:cacheprovider
        PYTHON="$venv/bin/python" bash tools/typecheck.sh
    ' sh "$version"
done
