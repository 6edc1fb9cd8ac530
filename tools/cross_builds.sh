#!/usr/bin/env bash
# Cross-builds the module for systems whose interpreters do not run here, and
# checks all that can be checked without them:
# - Windows x86_64: a .pyd for 3.13, with the Windows headers of trixie's
#   source package, linked against an import library of the interpreter
#   functions that the module calls. It must export PyInit_trelk alone and
#   import only from the interpreter's DLL, the UCRT and KERNEL32.
# - macOS x86_64 and arm64 (11.0 and later): the module for 3.13, with this
#   machine's 3.13 headers (`tools/python.sh host 3.13`), the interpreter's
#   functions looked up when it is loaded. It must export _PyInit_trelk alone,
#   besides what zig's linker adds (below), and use no library but libSystem.
# - the core's test program (tests/core/core_test.cpp), for Windows, run under
#   wine, and for Linux with musl with the pipe line lock of macOS, run here.
# One version each: what differs between versions is built and tested on Linux
# for every version; what differs between systems does not depend on it. The
# module for Linux with musl, and with it the semaphore line lock, is built and
# tested by tools/build_wheels.sh.
# zig (from PyPI, as tools/build_wheels.sh has it) builds everything with its
# own C++ runtime linked in; it and the headers are fetched into the project's
# cache folder (tools/lib.sh) once. The modules go to dist/cross/.
#     bash tools/cross_builds.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
out=dist/cross
# The Windows headers: version, Debian's source package, its orig tarball, the tarball's SHA-256.
read -r version package tarball sum <<<"3.13 python3.13 python3.13_3.13.5.orig.tar.xz \
    93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640"
posix_version=3.13  # macOS: the headers of this machine's interpreter
flags=(-std=c++20 -O3 -DNDEBUG -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Werror
    -fvisibility=hidden -fvisibility-inlines-hidden -Isrc)

needs wine:wine64 llvm-objdump-16:llvm-16 llvm-nm-16:llvm-16

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# zig, in the packaging tools' environment, as tools/build_wheels.sh keeps it.
tools=$cache/wheel-tools
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
"$tools/bin/python" -m ziglang version >/dev/null 2>&1 || quietly "$tools/bin/python" -m pip install ziglang
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export ZIG_GLOBAL_CACHE_DIR=$cache/zig ZIG_LOCAL_CACHE_DIR=$cache/zig

# Prints the folder of the Windows headers of a version: the source's Include/
# with PC/pyconfig.h (3.13: PC/pyconfig.h.in, used as it is). Fetched once,
# from the mirror that apt uses here.
windows_headers() {
    local version=$1 package=$2 tarball=$3 sum=$4 dir=$cache/cross/windows-python$1 mirror
    if [ ! -e "$dir/.complete" ]; then
        mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Origin: Debian' 'Created-By: Packages' | head -1)
        [ -n "$mirror" ] || { echo "apt knows no Debian mirror here: run apt-get update" >&2; return 1; }
        curl -fsSL -o "$scratch/$tarball" "${mirror%/}/pool/main/${package:0:1}/$package/$tarball"
        echo "$sum  $scratch/$tarball" | sha256sum --check --quiet
        mkdir -p "$scratch/python$version"
        tar -xf "$scratch/$tarball" -C "$scratch/python$version" --strip-components=1 \
            --wildcards '*/Include/*' '*/PC/pyconfig.h*'
        rm -rf "$dir" && mkdir -p "$dir"
        cp -r "$scratch/python$version/Include/." "$dir/"
        cp "$(ls "$scratch/python$version"/PC/pyconfig.h* | head -1)" "$dir/pyconfig.h"
        touch "$dir/.complete"
    fi
    echo "$dir"
}

# Compilations run in the background, as many at a time as there are cores.
jobs=$(nproc) running=0 failed=0
compile() {  # target, objects folder, source, flags...
    local target=$1 objects=$2 source=$3 object
    shift 3
    object=$objects/$(basename "${source%.cpp}").o
    if [ "$running" -ge "$jobs" ]; then
        wait -n || failed=$((failed + 1))
        running=$((running - 1))
    fi
    "$zig" c++ -target "$target" "${flags[@]}" "$@" -c "$source" -o "$object" 2>"$object.log" &
    running=$((running + 1))
}
compiled() {
    while [ "$running" -gt 0 ]; do
        wait -n || failed=$((failed + 1))
        running=$((running - 1))
    done
    if [ "$failed" -gt 0 ]; then
        cat "$scratch"/*/*.log >&2
        echo "$failed compilations failed" >&2
        exit 1
    fi
}

# The core (src/core, src/platform) once per system; the binding and the
# classes once per system and version.
core_sources=(src/core/*.cpp src/platform/*.cpp)
module_sources=(src/binding/*.cpp src/classes/*.cpp)
declare -A targets=(
    [windows]=x86_64-windows-gnu [macos-x86_64]=x86_64-macos.11.0 [macos-arm64]=aarch64-macos.11.0
    [linux-pipe]=x86_64-linux-musl)
declare -A system_flags=([linux-pipe]=-DTRELK_PIPE_LOCK)
for system in "${!targets[@]}"; do
    mkdir -p "$scratch/$system"
    read -r -a extra <<<"${system_flags[$system]:-}"
    for source in "${core_sources[@]}"; do compile "${targets[$system]}" "$scratch/$system" "$source" "${extra[@]}"; done
    case $system in
        windows | linux-pipe) compile "${targets[$system]}" "$scratch/$system" tests/core/core_test.cpp "${extra[@]}" ;;
    esac
done
include=$(windows_headers "$version" "$package" "$tarball" "$sum")
mkdir -p "$scratch/windows-$version"
for source in "${module_sources[@]}"; do
    compile x86_64-windows-gnu "$scratch/windows-$version" "$source" -isystem "$include"
done
python=$(bash tools/python.sh host "$posix_version") || { echo "CPython $posix_version is not on this machine" >&2; exit 1; }
include=$("$python" -c 'import sysconfig; print(sysconfig.get_path("include"))')
for system in macos-x86_64 macos-arm64; do
    mkdir -p "$scratch/$system-$posix_version"
    read -r -a extra <<<"${system_flags[$system]:-}"
    for source in "${module_sources[@]}"; do
        compile "${targets[$system]}" "$scratch/$system-$posix_version" "$source" -isystem "$include" "${extra[@]}"
    done
done
compiled
core_objects() { ls "$scratch/$1"/*.o | grep -v /core_test.o; }

rm -rf "$out" && mkdir -p "$out/win_amd64" "$out/macos-x86_64" "$out/macos-arm64"

# Fails, showing the listing, unless `actual` (one name a line) is `expected`.
expect_names() {  # what, expected, actual
    if [ "$2" != "$3" ]; then
        printf '%s: expected\n%s\nfound\n%s\n' "$1" "$2" "$3" >&2
        exit 1
    fi
}

echo "-- Windows (x86_64-windows-gnu)"
nodot=${version/./}
objects=("$scratch/windows-$version"/*.o $(core_objects windows))
# The import library names what the module calls, as the interpreter's DLL exports it.
{
    echo "LIBRARY python$nodot.dll"
    echo "EXPORTS"
    llvm-nm-16 --undefined-only --format=just-symbols "${objects[@]}" | sed -n 's/^__imp_\(_\{0,1\}Py.*\)$/\1/p' | sort -u
} >"$scratch/python$nodot.def"
quietly "$zig" dlltool -m i386:x86-64 -d "$scratch/python$nodot.def" -l "$scratch/python$nodot.lib"
module=trelk.cp$nodot-win_amd64.pyd
(cd "$scratch" && quietly "$zig" c++ -target x86_64-windows-gnu -shared -s -o "$module" "${objects[@]}" "python$nodot.lib")
cp "$scratch/$module" "$out/win_amd64/"
dump=$(llvm-objdump-16 -p "$out/win_amd64/$module")
expect_names "$module exports" PyInit_trelk \
    "$(sed -n '/^Export Table:/,/^$/p' <<<"$dump" | awk '$1 ~ /^[0-9]+$/ && NF == 3 {print $3}')"
imports=$(sed -n 's/^ *DLL Name: //p' <<<"$dump" | sort)
others=$(grep -v -x -e "python$nodot.dll" -e KERNEL32.dll -e 'api-ms-win-crt-.*\.dll' <<<"$imports" || true)
expect_names "$module imports beside python$nodot.dll, the UCRT and KERNEL32" "" "$others"
grep -q -x "python$nodot.dll" <<<"$imports" || { echo "$module does not import python$nodot.dll" >&2; exit 1; }
echo "$module: $(kib "$out/win_amd64/$module") KiB, exports PyInit_trelk alone," \
    "calls $(($(wc -l <"$scratch/python$nodot.def") - 2)) functions of python$nodot.dll"
quietly "$zig" c++ -target x86_64-windows-gnu -o "$scratch/core_test.exe" $(core_objects windows) "$scratch/windows/core_test.o"
echo "core_test.exe under wine:"
WINEPREFIX=$cache/wine WINEDEBUG=-all timeout 300 wine "$scratch/core_test.exe" 2>"$scratch/wine.log" ||
    { cat "$scratch/wine.log" >&2; exit 1; }

echo "-- macOS (11.0 and later) for $posix_version"
nodot=${posix_version/./}
for arch in x86_64 arm64; do
    module=trelk.cpython-$nodot-darwin.so
    (cd "$scratch" && quietly "$zig" c++ -target "${targets[macos-$arch]}" -shared -undefined dynamic_lookup -s \
        -o "$module" "$scratch/macos-$arch-$posix_version"/*.o $(core_objects "macos-$arch"))
    cp "$scratch/$module" "$out/macos-$arch/"
    # zig's linker takes no list of exports: it exports the two symbols it
    # makes, and the C++ runtime it links in (weak) allocation functions, which
    # a build with the system's dynamic libc++ does not have.
    exports=$(llvm-objdump-16 --macho --exports-trie "$out/macos-$arch/$module" | awk '$1 ~ /^0x/ {print $2}' |
        grep -v -x -e ___dso_handle -e __mh_dylib_header -e '__Z\(nw\|na\|dl\|da\)[mP].*' | sort)
    expect_names "$arch $module exports" _PyInit_trelk "$exports"
    libraries=$(llvm-objdump-16 --macho --dylibs-used "$out/macos-$arch/$module" | awk 'NR > 1 {print $1}' |
        grep -v -x "$module")
    expect_names "$arch $module libraries" /usr/lib/libSystem.B.dylib "$libraries"
    echo "macos-$arch/$module: $(kib "$out/macos-$arch/$module") KiB, exports _PyInit_trelk alone"
done

echo "-- core_test on Linux with musl, with macOS's pipe line lock"
quietly "$zig" c++ -target "${targets[linux-pipe]}" -o "$scratch/core_test-linux-pipe" $(core_objects linux-pipe) \
    "$scratch/linux-pipe/core_test.o"
timeout 300 "$scratch/core_test-linux-pipe"
