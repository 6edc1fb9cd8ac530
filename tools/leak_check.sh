#!/usr/bin/env bash
# The leak check of the whole module on a debug interpreter: every operation,
# failing paths included, run many times (tests/leak_workload.py), and the total
# reference count and the resident memory must stay flat. tools/sanitize.sh runs
# the same workload under LeakSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v python3.11-dbg >/dev/null || [ ! -d /usr/include/python3.11d ]; then
    echo "the debug interpreter is missing: run tools/setup.sh" >&2
    exit 1
fi
cmake -S . -B build/leak -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRELK_WERROR=ON \
    -DPython_EXECUTABLE="$(command -v python3.11-dbg)" >/dev/null
cmake --build build/leak >/dev/null
PYTHONPATH=build/leak python3.11-dbg tests/leak_workload.py --rounds 20 --per-round 300 \
    2> >(grep -v '^trelk: internal failure' >&2 || true)  # what the workload provokes on purpose
