#!/usr/bin/env bash
# Installs the system packages that the checks beyond the test suite need: a
# debug interpreter for the leak check, clang's fuzzer and sanitizer runtimes
# for the fuzzers, debootstrap for the Debian roots of the newer interpreters
# and the arm64 ones, qemu-user for running arm64 code, the cross g++ for the
# aarch64 wheels, autotools for the libffi of the musl interpreters (the
# musllinux wheels), and the least compilers that the README states: clang 16 with
# libc++ (the standard library of macOS) and g++ 11; wine for the Windows test
# program of tools/cross_builds.sh, and LLVM 16's tools for reading what it
# links. .ci/run calls it first;
# it installs only what is missing.
set -euo pipefail

packages=()
command -v python3.11-dbg >/dev/null && [ -d /usr/include/python3.11d ] || packages+=(python3.11-dbg python3.11-dev)
# Debian's own python3 with what the README's commands need of it (a fresh copy
# builds the module in a virtual environment there).
dpkg -s python3-venv python3-dev >/dev/null 2>&1 || packages+=(python3-venv python3-dev)
command -v clang++-14 >/dev/null || packages+=(clang-14)
compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null || packages+=(libclang-rt-14-dev)
command -v debootstrap >/dev/null || packages+=(debootstrap)
command -v qemu-aarch64-static >/dev/null || packages+=(qemu-user-static)
command -v clang++-16 >/dev/null || packages+=(clang-16)
[ -d /usr/lib/llvm-16/include/c++/v1 ] || packages+=(libc++-16-dev libc++abi-16-dev)
command -v g++-11 >/dev/null || packages+=(g++-11)
command -v aarch64-linux-gnu-g++-12 >/dev/null || packages+=(g++-12-aarch64-linux-gnu)
command -v wine >/dev/null || packages+=(wine64 wine)
command -v llvm-objdump-16 >/dev/null && command -v llvm-nm-16 >/dev/null || packages+=(llvm-16)
command -v autoreconf >/dev/null && command -v automake >/dev/null && command -v libtoolize >/dev/null ||
    packages+=(autoconf automake libtool)
if [ ${#packages[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >/dev/null
fi
