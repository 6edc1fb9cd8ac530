#!/usr/bin/env bash
# Builds the libFuzzer targets of the C++ core (version parser, constraint
# tree and text forms) with AddressSanitizer and UBSan and runs each for a
# bounded time, starting from the corpus kept in fuzz/corpus. Any finding fails.
#     bash tools/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

if ! command -v clang++-14 >/dev/null || ! compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
fi

out=build/fuzz
mkdir -p "$out"
flags=(-std=c++20 -O1 -g -Isrc -DTRELK_NO_POOL -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
core=(src/package/version.cpp src/spec/spec_option.cpp src/package/constraint/mod.cpp src/package/constraint/type_check.cpp)
clang++-14 "${flags[@]}" fuzz/version_fuzzer.cpp src/package/version.cpp -o "$out/version_fuzzer"
clang++-14 "${flags[@]}" fuzz/text_fuzzer.cpp "${core[@]}" -o "$out/text_fuzzer"

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
