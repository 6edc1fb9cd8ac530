#!/usr/bin/env bash
# A Debian root with the CPython versions that this machine's Debian lacks:
# trixie, with the unstable suite added for python3.14 and python3.15 (their
# headers and venv), and g++. pip there trusts the host's CA bundle. Made with
# debootstrap under the project's cache folder (tools/lib.sh) the
# first time, and reused once complete.
#     bash tools/debian_root.sh path            # prints the root's path
#     bash tools/debian_root.sh run CMD [ARG..] # runs CMD in it, as root
#     bash tools/debian_root.sh python 3.14     # prints the path of a script that
#                                               # runs the root's python3.14 here
# CMD runs in the project folder, which the root sees as /src; the root's /proc
# and /dev are mounted in a mount namespace of its own, so nothing stays mounted.
# The script runs the interpreter with the root's own loader and C library; it
# lies beside the interpreter, which so knows its home and starts itself again
# through the script.
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
root=$cache/debian-root
packages=(python3.14-dev python3.14-venv python3.15-dev python3.15-venv g++)
recipe="trixie+unstable ${packages[*]}"  # a change of recipe makes a new root

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
    ' sh "$root" "$project" "$@"
}

build_root() {
    command -v debootstrap >/dev/null || { echo "debootstrap is missing: run tools/setup.sh" >&2; exit 1; }
    echo "-- making the Debian root (trixie + unstable) in $root" >&2
    rm -rf "$root"
    mkdir -p "$cache"
    # debootstrap mounts /proc and /sys in the root; the namespace drops them when it ends.
    quietly unshare --mount --fork debootstrap --variant=minbase trixie "$root"
    # The mirror that debootstrap used, for the unstable suite too. Unstable's
    # release file may have outlived its validity on the mirror.
    sed -n 's/^deb \([^ ]*\) trixie main$/deb \1 unstable main/p' "$root/etc/apt/sources.list" \
        >"$root/etc/apt/sources.list.d/unstable.list"
    [ -s "$root/etc/apt/sources.list.d/unstable.list" ] || { echo "no mirror in $root/etc/apt/sources.list" >&2; exit 1; }
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99unstable-expired"
    mkdir -p "$root/etc/ssl"
    quietly in_root apt-get update
    quietly in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${packages[@]}"
    in_root apt-get clean
    echo "$recipe" >"$root/.complete"
}

[ "$(cat "$root/.complete" 2>/dev/null)" = "$recipe" ] || build_root

case ${1:-} in
    path) echo "$root" ;;
    run) shift; in_root "$@" ;;
    python)
        python=$root/usr/bin/python$2
        [ -x "$python" ] || { echo "no python$2 in $root" >&2; exit 1; }
        cat >"$python-host" <<EOF
#!/bin/sh
exec '$root/lib64/ld-linux-x86-64.so.2' --argv0 "\$0" \\
    --library-path '$root/lib/x86_64-linux-gnu:$root/usr/lib/x86_64-linux-gnu' '$python' "\$@"
EOF
        chmod +x "$python-host"
        echo "$python-host" ;;
    *) echo "usage: $0 path | run CMD [ARG...] | python VERSION" >&2; exit 2 ;;
esac
