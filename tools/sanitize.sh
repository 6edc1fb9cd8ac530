#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UBSan and runs the whole test
# suite against that build. Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/sanitize
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTRELK_SANITIZE=ON -DTRELK_WERROR=ON >/dev/null
cmake --build "$build"

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
# The interpreter is not built with the sanitizers, so their runtime must be
# loaded first. Leaks at interpreter exit are noise here; real leaks are
# checked by the leak workload.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}"

status=0
python3 -m pytest -q -p no:cacheprovider "$@" || status=$?
if compgen -G "$reports/*" >/dev/null; then
    echo "sanitizer reports:" >&2
    cat "$reports"/* >&2
    exit 1
fi
exit "$status"
