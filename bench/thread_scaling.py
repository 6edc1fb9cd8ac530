"""How the module's work scales across threads, against the same work done
with plain Python classes in the same interpreter: each thread builds and
reads back objects of its own (versions, dependencies, options, comparisons
built by operators, counts, implications, outlines). Each round times one
thread doing it, then several at once, each doing all of it, for the module
and for the plain classes in turn, so that the machine's drift cancels.

Prints, as the median of the rounds, how much more work N threads do than
one, for both, and the module's scaling over the plain classes' (the same
round's): near 1 where the module shares nothing that the interpreter does
not share too. With a GIL both scale near 1. Where the machine's cores are
not all free the work done varies much from round to round; the processor
time that a unit of work takes among N threads over one thread's, printed
too, varies less: above 1 only by what the threads share.

    python3 bench/thread_scaling.py [--threads 2] [--rounds 9] [--at-least 0.95]
"""

import argparse
import functools
import statistics
import sys
import threading
import time
import types

from trelk.package.constraint import Cmp, CmpType, Depends, NumOf, SpecOption
from trelk.package.outline import PackageOutline
from trelk.package.version import Version


class Plain:
    __slots__ = ()

    def __ge__(self, other):
        return PlainCmp(self, other, ">=")

    def __eq__(self, other):
        return PlainCmp(self, other, "==")

    __hash__ = None


class PlainVersion(Plain):
    __slots__ = ("text",)

    def __init__(self, text):
        self.text = str(text)

    def __str__(self):
        return self.text


class PlainDepends(Plain):
    __slots__ = ("on",)

    def __init__(self, on):
        self.on = str(on)


class PlainSpecOption(Plain):
    __slots__ = ("package_name", "option_name")

    def __init__(self, package_name, option_name):
        self.package_name, self.option_name = str(package_name), str(option_name)


class PlainNumOf(Plain):
    __slots__ = ("of",)

    def __init__(self, of):
        self.of = list(of)


class PlainCmp(Plain):
    __slots__ = ("lhs", "rhs", "op")

    def __init__(self, lhs, rhs, op):
        self.lhs, self.rhs, self.op = lhs, rhs, op

    def if_then(self, then):
        return PlainIfThen(self, then)


class PlainIfThen(Plain):
    __slots__ = ("cond", "then")

    def __init__(self, cond, then):
        self.cond, self.then = cond, then


class PlainOutline:
    __slots__ = ("name", "constraints", "set_options", "set_defaults")

    def __init__(self, name, constraints, set_options, set_defaults):
        self.name, self.constraints = str(name), list(constraints)
        self.set_options, self.set_defaults = dict(set_options), dict(set_defaults)


def work(kit, iterations):
    """The same work with the classes of `kit`: the module's or the plain ones."""
    for i in range(iterations):
        version = kit.Version("1.2.3")
        dep = kit.Depends("openssl")
        option = kit.SpecOption("curl", "ssl")
        count = kit.NumOf([dep, kit.Depends("gnutls")])
        cmp = kit.Cmp(option, version, kit.at_least)
        either = count >= 1  # an operator that builds a Cmp
        rule = (dep == True).if_then(cmp)  # noqa: E712
        kit.PackageOutline("curl", [cmp, either, rule], {"ssl": True, "jobs": i}, {"ca_bundle": None})
        cmp.lhs, cmp.rhs, cmp.op, rule.cond, rule.then, count.of, dep.on, str(version)
        dep.on = "libressl"


MODULE = types.SimpleNamespace(Version=Version, Depends=Depends, SpecOption=SpecOption, NumOf=NumOf, Cmp=Cmp,
                               at_least=CmpType.GreaterOrEqual, PackageOutline=PackageOutline)
PLAIN = types.SimpleNamespace(Version=PlainVersion, Depends=PlainDepends, SpecOption=PlainSpecOption,
                              NumOf=PlainNumOf, Cmp=PlainCmp, at_least=">=", PackageOutline=PlainOutline)
module_work = functools.partial(work, MODULE)
plain_work = functools.partial(work, PLAIN)


def seconds_taken(work, threads, iterations):
    """The wall time that `threads` threads, started together, take to do
    `iterations` of `work` each, and the processor time that they take in all."""
    ready, processor = threading.Barrier(threads + 1), []

    def run():
        ready.wait()
        started = time.thread_time()
        work(iterations)
        processor.append(time.thread_time() - started)

    workers = [threading.Thread(target=run) for _ in range(threads)]
    for worker in workers:
        worker.start()
    ready.wait()
    started = time.perf_counter()
    for worker in workers:
        worker.join()
    return time.perf_counter() - started, sum(processor)


def scaling(work, threads, iterations):
    """How much more work `threads` threads do than one in the same time, and how
    much more processor time each unit of work takes among them (1.0: nothing shared)."""
    (wall_one, processor_one), (wall, processor) = (seconds_taken(work, n, iterations) for n in (1, threads))
    return threads * wall_one / wall, processor / (threads * processor_one)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--at-least", type=float, default=0.0,
                        help="exit 1 if the module's scaling over the plain classes' is below this")
    args = parser.parse_args()
    iterations = 1000
    while seconds_taken(module_work, 1, iterations)[0] < 0.2:  # long enough to time
        iterations *= 2
    rounds = {"module": [], "plain": []}
    for _ in range(args.rounds):
        for name, work in (("module", module_work), ("plain", plain_work)):
            rounds[name].append(scaling(work, args.threads, iterations))
    relative = [m[0] / p[0] for m, p in zip(rounds["module"], rounds["plain"])]
    median = {name: [statistics.median(r[i] for r in taken) for i in (0, 1)] for name, taken in rounds.items()}
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    ratio = statistics.median(relative)
    print(f"{iterations} iterations a thread, {sys.version.split()[0]}, GIL {'on' if gil else 'off'}: "
          f"{args.threads} threads do {median['module'][0]:.2f}x the work of one with the module, "
          f"{median['plain'][0]:.2f}x with plain classes: {ratio:.2f} of their scaling "
          f"(rounds: {', '.join(f'{r:.2f}' for r in sorted(relative))}); processor time per unit of work "
          f"among them: {median['module'][1]:.2f}x with the module, {median['plain'][1]:.2f}x with plain classes")
    if ratio < args.at_least:
        sys.exit(f"the module scales at {ratio:.2f} of the plain classes, below {args.at_least}")


if __name__ == "__main__":
    main()
