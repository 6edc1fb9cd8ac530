#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.13 (configured --disable-gil),
# built from the upstream tarball of trixie's python3.13 source package
# (tools/debian_source.sh).
# Built once into the project's cache folder (tools/lib.sh) and
# reused once complete; the build takes about ten minutes on two cores.
#     bash tools/free_threaded_python.sh    # prints .../python3.13t/bin/python3.13t
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
suite=trixie
flags=(--disable-gil)
prefix=$cache/python3.13t
recipe="python3.13 $suite ${flags[*]}"  # a change of recipe makes a new build
python=$prefix/bin/python3.13t

build() {
    local work tarball started
    started=$SECONDS
    echo "-- building CPython 3.13 (${flags[*]}) from $suite's source into $prefix" >&2
    mkdir -p "$cache"
    work=$(mktemp -d "$cache/python3.13t-build.XXXXXX")
    trap "rm -rf '$work'" EXIT
    cd "$work"
    tarball=$(bash "$project/tools/debian_source.sh" "$suite" python3.13 .)
    tar -xf "$tarball"
    cd Python-3.13.*/
    rm -rf "$prefix"
    quietly ./configure "${flags[@]}" --prefix="$prefix"
    quietly make -j2
    quietly make install
    "$python" -c 'import sys; assert not sys._is_gil_enabled()'
    echo "$recipe" >"$prefix/.complete"
    echo "-- built in $((SECONDS - started)) s" >&2
}

[ "$(cat "$prefix/.complete" 2>/dev/null)" = "$recipe" ] || (build)
echo "$python"
