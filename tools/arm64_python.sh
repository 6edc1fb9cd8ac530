#!/usr/bin/env bash
# Prints the path of an arm64 CPython interpreter of the given version that
# runs here under qemu-user, or exits 3, printing nothing, if Debian has none:
# 3.11 from bookworm; 3.13, 3.14 and 3.15 from unstable. Any other failure (a
# missing tool, a failed download) exits otherwise, with a message. Each
# suite's arm64 packages (the interpreter, its headers and what they depend
# on) are unpacked, not installed (debootstrap downloads them, dpkg -x unpacks
# them) into a folder of the cache (tools/lib.sh) the first time, and reused
# once complete. The printed path is a script beside the interpreter, so that
# the interpreter knows its home and starts itself again through the same script.
#     bash tools/arm64_python.sh 3.13
set -euo pipefail
cd "$(dirname "$0")/.."
version=$1
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

case $version in
    3.11) suite=bookworm packages=python3.11-dev ;;
    3.13 | 3.14 | 3.15) suite=unstable packages=python3.13-dev,python3.14-dev,python3.15-dev ;;
    *) exit 3 ;;
esac
root=$cache/arm64-$suite
recipe="$suite $packages"

# $1 is missing: its package ($2) is what tools/setup.sh installs.
missing() {
    echo "$1 is missing: bash tools/setup.sh installs it (the package $2)" >&2
    exit 2
}
command -v qemu-aarch64-static >/dev/null || missing qemu-aarch64-static qemu-user-static

if [ "$(cat "$root/.complete" 2>/dev/null)" != "$recipe" ]; then
    command -v debootstrap >/dev/null || missing debootstrap debootstrap
    echo "-- unpacking Debian's arm64 $suite with $packages in $root" >&2
    rm -rf "$root"
    mkdir -p "$cache"
    log=$(mktemp)
    # Only downloads and unpacks: nothing of arm64 runs.
    if ! debootstrap --download-only --arch=arm64 --variant=minbase --include="$packages" "$suite" "$root" >"$log" 2>&1; then
        cat "$log" >&2
        exit 1
    fi
    rm -f "$log"
    for deb in "$root"/var/cache/apt/archives/*.deb; do
        dpkg -x "$deb" "$root"
    done
    rm -f "$root"/var/cache/apt/archives/*.deb
    echo "$recipe" >"$root/.complete"
fi

python=$root/usr/bin/python$version
[ -x "$python" ] || { echo "no python$version in $root" >&2; exit 2; }
wrapper=$python-qemu
if [ ! -x "$wrapper" ]; then
    cat >"$wrapper" <<EOF
#!/bin/sh
# arm64 CPython $version under qemu-user; QEMU_CPU=neoverse-n1 runs it many times faster than the default model.
QEMU_LD_PREFIX='$root' QEMU_CPU=\${QEMU_CPU:-neoverse-n1} exec qemu-aarch64-static -0 "\$0" '$python' "\$@"
EOF
    chmod +x "$wrapper"
fi
echo "$wrapper"
