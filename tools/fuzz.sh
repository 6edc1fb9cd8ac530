#!/usr/bin/env bash
# Builds the libFuzzer targets of the C++ core (version parser, constraint
# tree and text forms) with AddressSanitizer and UBSan, through CMake's
# TRELK_FUZZERS configuration, and runs each for a bounded time, starting from
# the corpus kept in fuzz/corpus. Any finding fails.
#     bash tools/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

command -v clang++-14 >/dev/null || { echo "clang++-14 is missing: run tools/setup.sh" >&2; exit 1; }

out=build/fuzz
cmake -S . -B "$out" -G Ninja -DTRELK_FUZZERS=ON -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$out" >"$out.log" 2>&1 || { cat "$out.log" >&2; exit 1; }

for target in version text; do
    # New inputs go to a scratch directory; the kept corpus is only read.
    scratch=$(mktemp -d)
    echo "-- ${target}_fuzzer for ${seconds}s"
    status=0
    "$out/${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/" \
        "$scratch" "fuzz/corpus/$target" >"$out/$target.log" 2>&1 || status=$?
    grep -E 'DONE|stat::number_of_executed_units|==[0-9]+==|SUMMARY' "$out/$target.log" || true
    rm -rf "$scratch"
    if [ "$status" -ne 0 ]; then
        tail -n 40 "$out/$target.log" >&2
        echo "${target}_fuzzer found a fault (exit $status); the input is in $out/" >&2
        exit 1
    fi
done
