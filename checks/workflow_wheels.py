"""The wheels that each job of the hosted workflow builds, as cibuildwheel prints
them for its platform and architectures, against the list of wheels and the
table in the development notes; run by tools/check_workflows.sh with the tools
it installs (cibuildwheel, ruamel.yaml).

    python checks/workflow_wheels.py WORKFLOW IDENTIFIERS TABLE
"""

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
    print(f"workflow_wheels.py: {failure}", file=sys.stderr)
if failures:
    sys.exit(1)
print(f"{len(built)} wheels, as {identifiers_path} and {table_path} list them")
