"""Compares builds of the module on the benchmark suite: the suite runs against
each build in turn, several times over, and each row's time over that of
object(), timed in the same process, is compared between the builds, so that
the machine's drift between runs cancels. (A row's own anchor may run the
module too: a faster anchor would pass for a slower row.)

    python3 bench/compare_builds.py [--runs N] [--limit 1.05] [--python NAME=PYTHON]... NAME=DIR NAME=DIR...

Each DIR holds a build of the module (a build folder, or an unpacked wheel) and
is put first on PYTHONPATH. Each build runs under this interpreter unless
--python names another for it (a build for another C library, say; DIR then
holds the benchmark requirements for it too). The first build is the
reference; a row of another build whose median ratio exceeds the reference's
by more than --limit fails.
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

BENCH = pathlib.Path(__file__).resolve().parent
REFERENCE = "object()"  # runs no code of the module


def run_once(directory, python, json_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [directory, os.environ.get("PYTHONPATH")])))
    run = subprocess.run([python, "-m", "pytest", str(BENCH), "-q", "-p", "no:cacheprovider",
                          f"--benchmark-json={json_path}"], env=env, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"the benchmark suite failed with {directory}:\n{run.stdout}{run.stderr}")
    data = json.loads(pathlib.Path(json_path).read_text())
    times = {b["name"]: b["stats"]["min"] / (b["extra_info"]["ops"] * b["extra_info"]["per"])
             for b in data["benchmarks"]}
    return {name: seconds / times[REFERENCE] for name, seconds in times.items() if name != REFERENCE}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--limit", type=float, default=1.05)
    parser.add_argument("--python", action="append", default=[], metavar="NAME=PYTHON")
    parser.add_argument("builds", nargs="+", metavar="NAME=DIR")
    args = parser.parse_args()
    builds = [tuple(build.split("=", 1)) for build in args.builds]
    pythons = dict(python.split("=", 1) for python in args.python)

    samples = {name: {} for name, _ in builds}  # build -> row -> ratios
    with tempfile.TemporaryDirectory() as scratch:
        for _ in range(args.runs):
            for name, directory in builds:
                python = pythons.get(name, sys.executable)
                for row, ratio in run_once(directory, python, f"{scratch}/run.json").items():
                    samples[name].setdefault(row, []).append(ratio)

    reference = builds[0][0]
    others = [name for name, _ in builds[1:]]
    print(f"median time over {REFERENCE}'s, in {args.runs} runs of each build in turn")
    print("| workload | " + " | ".join(name for name, _ in builds) + " | "
          + " | ".join(f"{name} / {reference}" for name in others) + " |")
    print("|---|" + "---:|" * (len(builds) + len(others)))
    slower = []
    for row in samples[reference]:
        medians = {name: statistics.median(samples[name][row]) for name, _ in builds}
        against = {name: medians[name] / medians[reference] for name in others}
        slower += [(row, name, value) for name, value in against.items() if value > args.limit]
        print(f"| {row} | " + " | ".join(f"{medians[name]:.3f}" for name, _ in builds) + " | "
              + " | ".join(f"{value:.3f}" for value in against.values()) + " |")
    for row, name, value in slower:
        print(f"{name} is {value:.3f}x {reference} on {row!r}", file=sys.stderr)
    return 1 if slower else 0


if __name__ == "__main__":
    sys.exit(main())
