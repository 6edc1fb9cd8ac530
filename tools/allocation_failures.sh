#!/usr/bin/env bash
# Fails the module's own allocations, operator new and its pools, at every
# point of every public operation: the allocation sweeps of the test suite,
# run against a test build of the module that has the failure countdown
# (TRELK_ALLOCATION_FAILURES). Every attempt must end as the operation does
# without failures or in MemoryError, and no block may be lost.
#     [PYTHON=python3] bash tools/allocation_failures.sh
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}

# A build folder per interpreter: the free-threaded one builds another module.
build=build/allocation-failures-$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRELK_WERROR=ON -DTRELK_ALLOCATION_FAILURES=ON \
    -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build" >/dev/null
export PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}"
# The sweeps of the module's own allocations run only where the countdown is found.
"$python" -c 'import ctypes, trelk; ctypes.CDLL(trelk.__file__).trelk_fail_allocations'
"$python" -m pytest -q -p no:cacheprovider tests/test_memory.py -k "allocation_failure or released_while"
