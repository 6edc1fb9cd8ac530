"""How describing packages scales across threads: the example program's work
(every package of the shipped excerpt described as an outline, with its
constraints and options) done by one thread, then by several at once, each
doing all of it, in the same process and alternating, so that the machine's
drift cancels. Prints the throughput of N threads over that of one, the median
of the rounds: near 1 where the interpreter has a GIL, near N without one
where N cores are free.

    python3 bench/thread_scaling.py [--threads 2] [--rounds 7]
"""

import argparse
import pathlib
import statistics
import sys
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import describe_packages as example  # noqa: E402


def describe_all(stanzas, passes):
    summary = example.Summary()
    for _ in range(passes):
        for fields in stanzas:
            example.describe(fields, summary)


def seconds_taken(threads, stanzas, passes):
    """The time that `threads` threads, started together, take to describe everything `passes` times each."""
    ready = threading.Barrier(threads + 1)

    def work():
        ready.wait()
        describe_all(stanzas, passes)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    ready.wait()
    started = time.perf_counter()
    for worker in workers:
        worker.join()
    return time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    stanzas = list(example.stanzas(example.EXCERPT))
    passes = 1
    while seconds_taken(1, stanzas, passes) < 0.2:  # long enough to time
        passes *= 2
    ratios = []
    for _ in range(args.rounds):
        one = seconds_taken(1, stanzas, passes)
        several = seconds_taken(args.threads, stanzas, passes)
        ratios.append(args.threads * one / several)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"describing {len(stanzas)} packages {passes} times a thread, {sys.version.split()[0]}, "
          f"GIL {'on' if gil else 'off'}: {args.threads} threads do {statistics.median(ratios):.2f}x the work "
          f"of one (rounds: {', '.join(f'{r:.2f}' for r in sorted(ratios))})")


if __name__ == "__main__":
    main()
