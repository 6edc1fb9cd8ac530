#!/usr/bin/env bash
# Prints the path of a CPython interpreter of a kind and version, fetching or
# building it into the cache folder (tools/lib.sh) the first time and reusing
# it once complete; exits 3, printing nothing, where the kind has no such
# version. Any other failure (a missing tool, a failed download) exits
# otherwise, with a message.
#     bash tools/python.sh host 3.12           # python3.12 on the path if it runs, else pyenv's newest 3.12
#     bash tools/python.sh free-threaded 3.13  # built --disable-gil from trixie's source (about ten minutes)
#     bash tools/python.sh debian 3.14         # 3.14, 3.15 from a Debian root: trixie with unstable's python3.X
#     bash tools/python.sh debian run CMD...   # runs CMD in that root, as root, in the project folder (/src)
#     bash tools/python.sh arm64 3.13          # Debian's arm64 3.11 (bookworm), 3.13-3.15 (unstable), under qemu-user
#     bash tools/python.sh musl 3.13           # 3.11 (bookworm), 3.13 (trixie), built against musl (about six minutes)
# Sources are the upstream tarballs of Debian's python3.X source packages, named
# by apt over this machine's mirror and checked against apt's size and hash.
# Where the interpreter lives in a root of another system, the printed path is
# a script beside it, so that it knows its home and starts itself again through
# the same script.
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
source tools/lib.sh
kind=$1 version=${2:-}

# Runs BUILD (a function) unless $cache/NAME holds RECIPE complete; a change of recipe makes it anew.
made() {  # NAME RECIPE BUILD
    local dir=$cache/$1 started=$SECONDS
    [ "$(cat "$dir/.complete" 2>/dev/null)" != "$2" ] || return 0
    echo "-- making $1 ($2) in $dir" >&2
    rm -rf "$dir" && mkdir -p "$dir"
    work=$(mktemp -d "$cache/$1-work.XXXXXX")
    (trap 'rm -rf "$work"' EXIT; "$3" "$dir")
    echo "$2" >"$dir/.complete"
    echo "-- made $1 in $((SECONDS - started)) s" >&2
}

# Unpacks the upstream source of Debian's package $2 of suite $1 into $work/$2 and enters it.
unpack() {
    local apt_dir=$work/apt-$1 repo options uri name size hash
    repo=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null | awk '$2 !~ /-/ {print $1; exit}')
    [ -n "$repo" ] || { echo "no Debian mirror in this machine's apt sources" >&2; exit 1; }
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$work/$2"
    echo "deb-src $repo $1 main" >"$apt_dir/sources.list"
    options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir"
             -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=")
    [ -e "$apt_dir/updated" ] || { quietly apt-get "${options[@]}" update && touch "$apt_dir/updated"; }
    # 'URI' NAME SIZE SHA256:HASH, one line for each file of the source package.
    read -r uri name size hash < <(apt-get "${options[@]}" source --print-uris "$2" |
        awk '$2 ~ /\.orig\.tar\.[a-z0-9]+$/') || true
    [ -n "${name:-}" ] || { echo "no upstream tarball of $2 in $1" >&2; exit 1; }
    curl --fail --silent --show-error --location -o "$work/$name" "${uri//\'/}"
    [ "$(stat -c %s "$work/$name")" = "$size" ] || { echo "$name: size differs from apt's" >&2; exit 1; }
    (cd "$work" && echo "${hash#SHA256:}  $name" | sha256sum --check --quiet)
    tar -xf "$work/$name" -C "$work/$2" --strip-components=1
    cd "$work/$2"
}

# Prints the script $1 that runs the interpreter $2 through the command line $3, written if it differs.
wrapper() {
    local script
    script=$(printf '#!/bin/sh\nexec %s "$@"' "$3")
    [ "$(cat "$1" 2>/dev/null)" = "$script" ] || { echo "$script" >"$1.new" && chmod +x "$1.new" && mv "$1.new" "$1"; }
    echo "$1"
}

host() {
    local candidates candidate found
    candidates=("$(command -v "python$version")")
    if root=$(pyenv root 2>/dev/null); then
        mapfile -t -O 1 candidates < <(ls -d "$root/versions/$version".*/bin/"python$version" 2>/dev/null | sort -V -r)
    fi
    for candidate in "${candidates[@]}"; do
        # The interpreter itself, not a pyenv shim of a version not selected.
        if [ -n "$candidate" ] && found=$("$candidate" -c "import sys
assert '%d.%d' % sys.version_info[:2] == '$version'; print(sys.executable)" 2>/dev/null); then
            echo "$found"
            return
        fi
    done
    exit 3
}

free_threaded_build() {
    unpack trixie "python$version"
    quietly ./configure --disable-gil --prefix="$1"
    quietly make -j2
    quietly make install
    "$1/bin/python${version}t" -c 'import sys; assert not sys._is_gil_enabled()'
}
free-threaded() {
    [ "$version" = 3.13 ] || exit 3
    made python3.13t "python3.13 trixie --disable-gil" free_threaded_build
    echo "$cache/python3.13t/bin/python3.13t"
}

debian_packages=(python3.14-dev python3.14-venv python3.15-dev python3.15-venv g++)
# Runs a command in the root, in a mount namespace of its own: its /proc, /dev and
# the project (/src) are mounted there, so nothing stays mounted; pip trusts the host's CAs.
in_root() {
    unshare --mount --fork /bin/sh -euc '
        root=$1 project=$2; shift 2
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mkdir -p "$root/src"
        mount --bind "$project" "$root/src"
        cp /etc/resolv.conf "$root/etc/resolv.conf"
        cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/host-ca-certificates.crt"
        exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin \
            SSL_CERT_FILE=/etc/ssl/host-ca-certificates.crt PIP_CERT=/etc/ssl/host-ca-certificates.crt \
            PIP_DISABLE_PIP_VERSION_CHECK=1 /bin/sh -c "cd /src && exec \"\$@\"" sh "$@"
    ' sh "$cache/debian-root" "$project" "$@"
}
debian_build() {
    needs debootstrap:debootstrap
    # debootstrap mounts /proc and /sys in the root; the namespace drops them when it ends.
    quietly unshare --mount --fork debootstrap --variant=minbase trixie "$1"
    # The mirror that debootstrap used, for the unstable suite too, whose release
    # file may have outlived its validity there.
    sed -n 's/^deb \([^ ]*\) trixie main$/deb \1 unstable main/p' "$1/etc/apt/sources.list" \
        >"$1/etc/apt/sources.list.d/unstable.list"
    [ -s "$1/etc/apt/sources.list.d/unstable.list" ] || { echo "no mirror in $1/etc/apt/sources.list" >&2; exit 1; }
    echo 'Acquire::Check-Valid-Until "false";' >"$1/etc/apt/apt.conf.d/99unstable-expired"
    mkdir -p "$1/etc/ssl"
    quietly in_root apt-get update
    quietly in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${debian_packages[@]}"
    in_root apt-get clean
}
debian() {
    made debian-root "trixie+unstable ${debian_packages[*]}" debian_build
    if [ "$version" = run ]; then
        in_root "${@:3}"
        return
    fi
    case $version in 3.14 | 3.15) ;; *) exit 3 ;; esac
    local root=$cache/debian-root
    wrapper "$root/usr/bin/python$version-host" "$root/usr/bin/python$version" \
        "'$root/lib64/ld-linux-x86-64.so.2' --argv0 \"\$0\" --library-path '$root/lib/x86_64-linux-gnu:$root/usr/lib/x86_64-linux-gnu' '$root/usr/bin/python$version'"
}

arm64_build() {
    needs debootstrap:debootstrap
    # Only downloads and unpacks: nothing of arm64 runs.
    quietly debootstrap --download-only --arch=arm64 --variant=minbase --include="$packages" "$suite" "$1"
    for deb in "$1"/var/cache/apt/archives/*.deb; do dpkg -x "$deb" "$1"; done
    rm -f "$1"/var/cache/apt/archives/*.deb
}
arm64() {
    case $version in
        3.11) suite=bookworm packages=python3.11-dev ;;
        3.13 | 3.14 | 3.15) suite=unstable packages=python3.13-dev,python3.14-dev,python3.15-dev ;;
        *) exit 3 ;;
    esac
    needs qemu-aarch64-static:qemu-user-static
    made "arm64-$suite" "$suite $packages" arm64_build
    local root=$cache/arm64-$suite
    # QEMU_CPU=neoverse-n1 runs it many times faster than the default model.
    wrapper "$root/usr/bin/python$version-qemu" "$root/usr/bin/python$version" \
        "env QEMU_LD_PREFIX='$root' QEMU_CPU=\${QEMU_CPU:-neoverse-n1} qemu-aarch64-static -0 \"\$0\" '$root/usr/bin/python$version'"
}

# musl itself from trixie's source (1.2.5): bookworm's (1.2.3) cannot load what
# musllinux wheels of today bundle (numpy's), linked with relative relocations
# (DT_RELR, musl 1.2.4 and later). zlib and libffi, from the interpreter's
# suite, are linked in, so that zipfile, gzip and ctypes work; there is no ssl
# and no pip (the host's pip installs for it with --target).
musl_build() {
    local prefix=$1 deps=$work/deps
    needs autoreconf:autoconf automake:automake libtoolize:libtool
    # musl's loader and C library in $prefix/musl/lib, where what it links looks for them.
    (unpack trixie musl && quietly ./configure --prefix="$prefix/musl" --syslibdir="$prefix/musl/lib" &&
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
    (unpack "$suite" zlib && CFLAGS="-O2 -fPIC" quietly ./configure --static --prefix="$deps" && quietly make -j2 install)
    # libffi's upstream tarball carries no configure script. Its static
    # trampolines need the kernel's headers, which musl-gcc leaves out; its own
    # choice of flags would tune it for this machine's processor.
    (unpack "$suite" libffi && quietly autoreconf -fi &&
        CFLAGS="-O2 -fPIC" quietly ./configure --disable-shared --with-pic --disable-docs \
            --disable-exec-static-tramp --prefix="$deps" --libdir="$deps/lib" &&
        quietly make -j2 install)
    unpack "$suite" "python$version"
    # 3.11's setup.py asks dpkg-architecture where a compiler names no multiarch
    # folder, and would then search the host's glibc headers.
    mkdir "$work/bin"
    printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-architecture"
    chmod +x "$work/bin/dpkg-architecture"
    export PATH="$work/bin:$PATH"
    # No pkg-config: the host's would offer the host's libraries. A shared
    # libpython, so that the suite's embedding host can be built.
    quietly ./configure --prefix="$prefix" --without-ensurepip --enable-shared \
        PKG_CONFIG=false CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib -Wl,-rpath,$prefix/lib"
    quietly make -j2
    quietly make install
    "$prefix/bin/python$version" -c 'import ctypes, zlib'
}
musl() {
    case $version in 3.11) suite=bookworm ;; 3.13) suite=trixie ;; *) exit 3 ;; esac
    made "musl-python$version" "python$version shared, zlib libffi $suite, musl trixie" musl_build
    echo "$cache/musl-python$version/bin/python$version"
}

case $kind in
    host | free-threaded | debian | arm64 | musl) "$kind" "$@" ;;
    *) echo "usage: $0 host|free-threaded|debian|arm64|musl VERSION, or $0 debian run CMD..." >&2; exit 2 ;;
esac
