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

# A line of a template counts once, run if any instance of it ran.
python3 -m gcovr --root . --filter 'src/' --exclude 'src/core/allocation_failures\.cpp' --merge-lines \
    --txt-metric line --fail-under-line "$threshold" "$build" || {
    echo "line coverage of src/ is below $threshold%; what cannot be run is listed in docs/coverage-unreachable.md" >&2
    exit 1
}
