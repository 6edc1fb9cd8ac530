#!/usr/bin/env bash
# The sdist's least compilers, as the README states them: a build with clang 16
# and libc++ (the standard library of macOS), warnings as errors, and the
# test suite against it; and a build with g++ 11, warnings as errors.
# tools/setup.sh installs both.
#     bash tools/least_compilers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build() {  # folder, then CMake's options
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRELK_WERROR=ON "$@" >/dev/null
    cmake --build "$dir"
}

echo "== clang 16 with libc++, warnings as errors: build and test suite"
build build/clang16-libcxx -DCMAKE_CXX_COMPILER=clang++-16 \
    -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++
PYTHONPATH=build/clang16-libcxx python3 -m pytest -q -p no:cacheprovider -m "not exhaustive"

echo "== g++ 11, warnings as errors: build"
build build/gxx11 -DCMAKE_CXX_COMPILER=g++-11
