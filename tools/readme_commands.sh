#!/usr/bin/env bash
# Runs the README's two opening commands, read from README.md, as a new user
# would: the first builds the module into the virtual environment .venv and runs
# the example program, the second installs the test extras there and runs the
# whole test suite.
#     bash tools/readme_commands.sh          # here, with the python3 on the path
#     bash tools/readme_commands.sh PYTHON   # in a fresh copy of the files that git
#                                            # tracks or would add, PYTHON as python3
# .ci/run gives Debian's own /usr/bin/python3, which refuses `pip install` outside
# a virtual environment.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t commands < <(sed -n 's/^    \(python3 -m venv .*\)$/\1/p' README.md)
if [ ${#commands[@]} -ne 2 ]; then
    echo "readme_commands.sh: README.md has not two opening commands (indented, from 'python3 -m venv')" >&2
    exit 1
fi
if [ $# -gt 0 ]; then
    copy=$(mktemp -d)
    bin=$(mktemp -d)
    trap 'rm -rf "$copy" "$bin"' EXIT
    git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$copy"
    ln -s "$1" "$bin/python3"
    export PATH="$bin:$PATH"
    cd "$copy"
fi
for command in "${commands[@]}"; do
    echo "\$ $command"
    bash -c "$command"
done
