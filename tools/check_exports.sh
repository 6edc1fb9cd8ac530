#!/usr/bin/env bash
# Fails, naming what it exports, unless the module $2 of the wheel $1 exports
# PyInit_trelk alone (src/exports.map): the C++ runtime that a wheel links in
# must not be found by the interpreter or another module. A module that cannot
# be read fails too.
#     bash tools/check_exports.sh dist/trelk-...whl unpacked/trelk.cpython-313-x86_64-linux-gnu.so
set -euo pipefail
wheel=$1 module=$2
exported=$(readelf --dyn-syms -W "$module" | awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $5 != "LOCAL" { print $8 }')
if [ "$exported" != PyInit_trelk ]; then
    echo "$wheel must export PyInit_trelk alone; it exports $(grep -c . <<<"$exported"):" \
        "$(head -5 <<<"$exported" | tr '\n' ' ')..." >&2
    exit 1
fi
