#!/usr/bin/env bash
# Prints the path of a CPython of the given version built against musl, or
# exits 3, printing nothing, if Debian has no source of it: 3.13 from trixie,
# 3.11 from bookworm (the upstream tarballs of their python3.X source
# packages, tools/debian_source.sh). musl itself is built first, from trixie's
# source (1.2.5), and the interpreter runs with it: bookworm's musl (1.2.3)
# cannot load the libraries that musllinux wheels of today bundle (numpy's),
# linked with relative relocations (DT_RELR, musl 1.2.4 and later). zlib and
# libffi, from the interpreter's suite, are linked in, so that zipfile, gzip
# and ctypes work; there is no ssl and no pip (the host's pip installs for it
# with --target).
# Built once into the project's cache folder (tools/lib.sh) and
# reused once complete; a build takes about six minutes on two cores.
#     bash tools/musl_python.sh 3.13    # prints .../musl-python3.13/bin/python3.13
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
version=$1
case $version in
    3.11) suite=bookworm ;;
    3.13) suite=trixie ;;
    *) exit 3 ;;
esac
prefix=$cache/musl-python$version
recipe="python$version shared, zlib libffi $suite, musl trixie"  # a change of recipe makes a new build
python=$prefix/bin/python$version

for tool in autoreconf:autoconf automake:automake libtoolize:libtool; do
    command -v "${tool%%:*}" >/dev/null || {
        echo "${tool%%:*} is missing: bash tools/setup.sh installs it (the package ${tool#*:})" >&2
        exit 2
    }
done

# Unpacks the upstream source of Debian's package $1 of suite $2 and enters it.
unpack() {
    local tarball
    tarball=$(bash "$project/tools/debian_source.sh" "${2:-$suite}" "$1" "$work")
    mkdir "$work/$1"
    tar -xf "$tarball" -C "$work/$1" --strip-components=1
    cd "$work/$1"
}

build() {
    local started=$SECONDS deps
    echo "-- building CPython $version against musl from $suite's source into $prefix" >&2
    mkdir -p "$cache"
    work=$(mktemp -d "$cache/musl-python$version-build.XXXXXX")
    trap "rm -rf '$work'" EXIT
    deps=$work/deps
    rm -rf "$prefix"
    # musl's loader and C library in $prefix/musl/lib, where what it links
    # looks for them; its musl-gcc runs the host's gcc with musl's headers.
    (unpack musl trixie && quietly ./configure --prefix="$prefix/musl" --syslibdir="$prefix/musl/lib" &&
        quietly make -j2 install)
    # musl-gcc answers -print-multiarch as the host's gcc does (x86_64-linux-gnu):
    # CPython's configure refuses that for a musl target, and 3.11's setup.py
    # would search the host's glibc headers. It is asked nothing. Kept, as the
    # interpreter's compiler, for the programs that embed it.
    printf '#!/bin/sh\ncase "$*" in -print-multiarch | --print-multiarch) exit 0 ;; esac\nexec "%s" "$@"\n' \
        "$prefix/musl/bin/musl-gcc" >"$prefix/musl/bin/cc"
    chmod +x "$prefix/musl/bin/cc"
    export CC=$prefix/musl/bin/cc
    # Static and position-independent, linked into the interpreter's own modules.
    (unpack zlib && CFLAGS="-O2 -fPIC" quietly ./configure --static --prefix="$deps" && quietly make -j2 install)
    # libffi's upstream tarball carries no configure script. Its static
    # trampolines need the kernel's headers, which musl-gcc leaves out; its own
    # choice of flags would tune it for this machine's processor.
    (unpack libffi && quietly autoreconf -fi &&
        CFLAGS="-O2 -fPIC" quietly ./configure --disable-shared --with-pic --disable-docs \
            --disable-exec-static-tramp --prefix="$deps" --libdir="$deps/lib" &&
        quietly make -j2 install)
    (
        unpack "python$version"
        # 3.11's setup.py asks dpkg-architecture where a compiler names no
        # multiarch folder, and would then search the host's glibc headers.
        mkdir "$work/bin"
        printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-architecture"
        chmod +x "$work/bin/dpkg-architecture"
        export PATH="$work/bin:$PATH"
        # No pkg-config: the host's would offer the host's libraries. A shared
        # libpython, so that the suite's embedding host can be built.
        quietly ./configure --prefix="$prefix" --without-ensurepip --enable-shared PKG_CONFIG=false \
            CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib -Wl,-rpath,$prefix/lib"
        quietly make -j2
        quietly make install
    )
    "$python" -c 'import ctypes, zlib'
    echo "$recipe" >"$prefix/.complete"
    echo "-- built in $((SECONDS - started)) s" >&2
}

[ "$(cat "$prefix/.complete" 2>/dev/null)" = "$recipe" ] || (build)
echo "$python"
