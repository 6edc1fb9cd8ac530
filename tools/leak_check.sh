#!/usr/bin/env bash
# Leak checks of the whole module: every operation, failing paths included,
# run many times (tools/leak_workload.py)
#  1. on a debug interpreter, where the total reference count and the resident
#     memory must stay flat;
#  2. under LeakSanitizer, which must find no leaked block allocated by the module.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v python3.11-dbg >/dev/null || [ ! -d /usr/include/python3.11d ]; then
    echo "the debug interpreter is missing: run tools/setup.sh" >&2
    exit 1
fi
# Internal failures that the workload provokes on purpose report on standard error.
quiet_reports() { grep -v '^trelk: internal failure' >&2 || true; }

echo "-- debug interpreter: reference counts and memory"
cmake -S . -B build/leak -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRELK_WERROR=ON \
    -DPython_EXECUTABLE="$(command -v python3.11-dbg)" >/dev/null
cmake --build build/leak >/dev/null
PYTHONPATH=build/leak python3.11-dbg tools/leak_workload.py --rounds 20 --per-round 300 2> >(quiet_reports)

echo "-- LeakSanitizer"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTRELK_SANITIZE=ON -DTRELK_WERROR=ON >/dev/null
cmake --build build/sanitize >/dev/null
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
interpreter=$(python3 -c 'import sys; print(sys.executable)')  # not a wrapper script
LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS="detect_leaks=1:log_path=$reports/lsan" PYTHONMALLOC=malloc PYTHONPATH=build/sanitize \
    "$interpreter" tools/leak_workload.py --rounds 4 --per-round 100 --no-memory-check 2> >(quiet_reports)
# The interpreter keeps some blocks of its own at exit; a leak of ours has a
# frame of the module in its allocation stack.
if compgen -G "$reports/*" >/dev/null && grep -l -E 'trelk::|trelk\.cpython' "$reports"/* >/dev/null; then
    echo "LeakSanitizer found blocks leaked by the module:" >&2
    cat "$reports"/* >&2
    exit 1
fi
echo "no leak"
