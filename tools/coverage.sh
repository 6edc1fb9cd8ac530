#!/usr/bin/env bash
# Line coverage of src/ by the test suite, reported by file; fails below the
# threshold. The build has the allocation failure countdown
# (TRELK_ALLOCATION_FAILURES), so that the one run of the suite takes in its
# allocation sweeps as well, and with them the paths of a failed allocation of
# the module's own; the countdown itself (core/allocation_failures.cpp), a test
# instrument, is left out of the figures. What no test can run is listed, with
# the reason, in docs/coverage-unreachable.md.
set -euo pipefail
cd "$(dirname "$0")/.."

threshold=${TRELK_COVERAGE_THRESHOLD:-98}
python3 -m pip install --quiet gcovr

build=build/coverage
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTRELK_WERROR=ON -DTRELK_ALLOCATION_FAILURES=ON \
    -DCMAKE_CXX_FLAGS="--coverage" -DCMAKE_MODULE_LINKER_FLAGS="--coverage" >/dev/null
cmake --build "$build" >/dev/null
# Counts add up across runs: only this run's may count.
find "$build" -name '*.gcda' -delete
export PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}"
python3 -c 'import ctypes, trelk; ctypes.CDLL(trelk.__file__).trelk_fail_allocations'
# Child interpreters of the tests write their counts too when they exit normally.
python3 -m pytest -q -p no:cacheprovider "$@"

# Left out: the functions of the core that only the fuzz targets call, the
# instances of templates made for them alone, and the lines of
# platform::unreachable(). The lines of a template count once, run if any
# instance of theirs ran.
report=$(mktemp -d)
trap 'rm -rf "$report"' EXIT
python3 -m gcovr --root . --filter 'src/' --exclude 'src/core/allocation_failures\.cpp' \
    --exclude-lines-by-pattern '.*unreachable\(\).*' --json "$report/all.json" "$build"
python3 - "$report/all.json" "$report/counted.json" <<'END'
import json, re, sys
fuzz_only = re.compile(r"spec_option::spec_option_value_text\W|constraint::constraint_text\W")
with open(sys.argv[1]) as source:
    data = json.load(source)
for entry in data["files"]:
    entry["lines"] = [line for line in entry["lines"] if not fuzz_only.search(line.get("function_name", ""))]
    entry["functions"] = [function for function in entry["functions"]
                          if not fuzz_only.search(function.get("demangled_name", ""))]
with open(sys.argv[2], "w") as counted:
    json.dump(data, counted)
END
python3 -m gcovr --root . --add-tracefile "$report/counted.json" --merge-lines --txt-metric line \
    --fail-under-line "$threshold" || {
    echo "line coverage of src/ is below $threshold%; what cannot be run is listed in docs/coverage-unreachable.md" >&2
    exit 1
}
