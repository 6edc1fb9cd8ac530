"""Benchmark harness: every figure is a time per operation and a ratio against
an anchor measured in the same run, since these machines are noisy.

    python3 -m pytest bench                                    # the full run
    python3 -m pytest bench --benchmark-disable --quick        # smoke mode: each workload once, small sizes

The summary table at the end is also written to bench/results.md.
"""

import pathlib

import pytest

RESULTS = {}  # benchmark name -> (seconds per operation, anchor name, unit)
MEMORY = {}  # figure name -> bytes per element
DIFFERENCES = {}  # figure name -> (benchmark name, benchmark name it exceeds, divisor, anchor name)
ORDER = []


def pytest_addoption(parser):
    parser.addoption("--quick", action="store_true", help="small sizes, for a smoke run")


@pytest.fixture(scope="session")
def quick(request):
    return request.config.getoption("--quick")


def compile_loop(stmt, namespace):
    """A function that runs `stmt` n times, with the loop in compiled code."""
    source = f"def _loop(_n):\n    for _ in range(_n):\n        {stmt}\n"
    scope = dict(namespace)
    exec(source, scope)
    return scope["_loop"]


@pytest.fixture
def measure(benchmark, request):
    """measure(name, stmt, namespace, anchor=None, ops=..., per=1, unit="op")

    Times `stmt` run `ops` times per round; records the time per operation
    (divided further by `per` when one statement does `per` operations)."""

    def run(name, stmt, namespace, anchor=None, ops=2000, per=1, unit="op", rounds=30):
        loop = compile_loop(stmt, namespace)
        benchmark.name = name
        benchmark.extra_info.update(anchor=anchor, ops=ops, per=per)
        benchmark.pedantic(loop, args=(ops,), rounds=rounds, iterations=1, warmup_rounds=2)
        if benchmark.stats is not None:
            # The fastest round: what the code costs, with the least of the
            # machine's other work in it.
            RESULTS[name] = (benchmark.stats.stats.min / (ops * per), anchor, unit)
            ORDER.append(name)

    return run


def record_memory(name, bytes_per_element):
    MEMORY[name] = bytes_per_element
    ORDER.append(name)


def record_difference(name, minuend, subtrahend, per, anchor):
    """A figure for what one part of a workload adds: (minuend - subtrahend) / per,
    both measured in the same run, judged against `anchor`."""
    DIFFERENCES[name] = (minuend, subtrahend, per, anchor)
    ORDER.append(name)


def _format_time(seconds):
    return f"{seconds * 1e9:,.1f} ns"


def summary_lines():
    lines = ["| workload | time per op | anchor | ratio to anchor |", "|---|---:|---|---:|"]
    for name in ORDER:
        if name in MEMORY:
            lines.append(f"| {name} | {MEMORY[name]:,.1f} bytes/element | | |")
            continue
        if name in DIFFERENCES:
            minuend, subtrahend, per, anchor = DIFFERENCES[name]
            if minuend in RESULTS and subtrahend in RESULTS:
                RESULTS[name] = ((RESULTS[minuend][0] - RESULTS[subtrahend][0]) / per, anchor, "op")
            else:
                continue
        seconds, anchor, unit = RESULTS[name]
        if anchor and anchor in RESULTS:
            ratio = seconds / RESULTS[anchor][0]
            lines.append(f"| {name} | {_format_time(seconds)}/{unit} | {anchor} | {ratio:.2f} |")
        else:
            lines.append(f"| {name} | {_format_time(seconds)}/{unit} | (anchor) | |")
    return lines


def pytest_terminal_summary(terminalreporter):
    if not RESULTS:  # a smoke run times nothing
        return
    lines = summary_lines()
    terminalreporter.section("time per operation and ratio to anchor")
    for line in lines:
        terminalreporter.write_line(line)
    pathlib.Path(__file__).with_name("results.md").write_text("\n".join(lines) + "\n")
