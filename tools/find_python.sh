#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the given version: python3.X on
# the path if it runs (a pyenv shim of a version not selected does not), else
# the newest 3.X that pyenv has. Exits 1, printing nothing, if there is none.
#     bash tools/find_python.sh 3.12
set -uo pipefail
version=$1

candidates=("$(command -v "python$version")")
if root=$(pyenv root 2>/dev/null); then
    mapfile -t -O 1 candidates < <(ls -d "$root/versions/$version".*/bin/"python$version" 2>/dev/null | sort -V -r)
fi
for candidate in "${candidates[@]}"; do
    [ -n "$candidate" ] || continue
    # The interpreter itself, not a shim; it must be the version asked for.
    if found=$("$candidate" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$version'; print(sys.executable)" 2>/dev/null); then
        echo "$found"
        exit 0
    fi
done
exit 1
