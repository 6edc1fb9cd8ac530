#!/usr/bin/env bash
# Downloads the upstream tarball of a Debian source package of the given suite
# into a folder and prints its path: named by `apt-get source --print-uris`
# from a private apt configuration over this machine's Debian mirror, and
# checked against the size and hash that apt gives.
#     bash tools/debian_source.sh trixie python3.13 DIR   # prints DIR/python3.13_3.13.5.orig.tar.xz
set -euo pipefail
suite=$1 package=$2 dir=$3
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

apt_dir=$(mktemp -d)
trap 'rm -rf "$apt_dir"' EXIT

# The Debian mirror of this machine's own apt sources (one-line or deb822 form).
repo=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null | awk '$2 !~ /-/ {print $1; exit}')
[ -n "$repo" ] || { echo "no Debian mirror in this machine's apt sources" >&2; exit 1; }
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
echo "deb-src $repo $suite main" >"$apt_dir/sources.list"
options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
         -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir"
         -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=")
quietly apt-get "${options[@]}" update
# 'URI' NAME SIZE SHA256:HASH, one line for each file of the source package.
read -r uri name size hash < <(apt-get "${options[@]}" source --print-uris "$package" |
    awk '$2 ~ /\.orig\.tar\.[a-z0-9]+$/') || true
[ -n "${name:-}" ] || { echo "no upstream tarball of $package in $suite" >&2; exit 1; }
uri=${uri//\'/}
mkdir -p "$dir"
curl --fail --silent --show-error --location -o "$dir/$name" "$uri"
[ "$(stat -c %s "$dir/$name")" = "$size" ] || { echo "$name: size differs from apt's" >&2; exit 1; }
(cd "$dir" && echo "${hash#SHA256:}  $name" | sha256sum --check --quiet)
echo "$dir/$name"
