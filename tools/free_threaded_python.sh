#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.13 (configured --disable-gil),
# built from the source of trixie's python3.13 package: its upstream tarball,
# named by `apt-get source --print-uris` from a private apt configuration over
# this machine's Debian mirror, and checked against the hash that apt gives.
# Built once into the project's cache folder (.cache/, or $TRELK_CACHE) and
# reused once complete; the build takes about ten minutes on two cores.
#     bash tools/free_threaded_python.sh    # prints .../python3.13t/bin/python3.13t
set -euo pipefail
cd "$(dirname "$0")/.."
cache=${TRELK_CACHE:-$PWD/.cache}
suite=trixie
flags=(--disable-gil)
prefix=$cache/python3.13t
recipe="python3.13 $suite ${flags[*]}"  # a change of recipe makes a new build
python=$prefix/bin/python3.13t

# Runs a command, showing what it printed only if it fails.
quietly() {
    local log
    log=$(mktemp)
    "$@" >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; return 1; }
    rm -f "$log"
}

# The Debian mirror of this machine's own apt sources (one-line or deb822 form).
mirror() {
    apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
        awk '$2 !~ /-/ {print $1; exit}'
}

# Downloads the upstream tarball of $suite's python3.13 into the current folder.
fetch_source() {
    local repo apt_dir uri name size hash
    repo=$(mirror)
    [ -n "$repo" ] || { echo "no Debian mirror in this machine's apt sources" >&2; exit 1; }
    apt_dir=$PWD/apt
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
    echo "deb-src $repo $suite main" >"$apt_dir/sources.list"
    local options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
                   -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir"
                   -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=")
    quietly apt-get "${options[@]}" update
    # 'URI' NAME SIZE SHA256:HASH, one line for each file of the source package.
    read -r uri name size hash < <(apt-get "${options[@]}" source --print-uris python3.13 |
        awk '$2 ~ /\.orig\.tar\.[a-z0-9]+$/') || true
    [ -n "$name" ] || { echo "no upstream tarball of python3.13 in $suite" >&2; exit 1; }
    uri=${uri//\'/}
    curl --fail --silent --show-error --location -o "$name" "$uri"
    [ "$(stat -c %s "$name")" = "$size" ] || { echo "$name: size differs from apt's" >&2; exit 1; }
    echo "${hash#SHA256:}  $name" | sha256sum --check --quiet
    echo "$name"
}

build() {
    local work tarball started
    started=$SECONDS
    echo "-- building CPython 3.13 (${flags[*]}) from $suite's source into $prefix" >&2
    mkdir -p "$cache"
    work=$(mktemp -d "$cache/python3.13t-build.XXXXXX")
    trap "rm -rf '$work'" EXIT
    cd "$work"
    tarball=$(fetch_source)
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
