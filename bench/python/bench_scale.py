"""Linear growth: time(2n) / time(n) for add, serialize, deserialize and reduce.

    python3.14 bench/python/bench_scale.py [--sizes 1000000,2000000,4000000,8000000]
                                           [--shapes chain,doubling,fanout] [--check]

Three shapes, each built to n nodes:
- chain: a source and n - 1 unary ops, each on the one before;
- doubling: x_{k+1} = scale(x_k + x_k); the add reads its operand twice, so a
  store that expanded shared inputs would double per step, and the store must
  stay at exactly 2k + 1 nodes;
- fanout: one source read by n - 1 ops, all of them outputs.

Each size doubles the previous one, so a linear operation shows ratios near 2.0;
ratios above 2.2 are flagged. Times are the best of --repeat rounds, each taken
after a gc.collect(). A round measures every size of a shape in turn, so the runs
of one size are minutes apart and a slow spell of the machine, which can last a
minute and slow everything by half, hits one run of a size rather than all of
them; the best of the rounds then compares sizes measured in quiet moments alike.
Times are in user CPU time of this process by default: other processes on
the machine then do not distort the ratios, and neither does the kernel's cost of
faulting in fresh memory, which glibc takes from mmap for every block above
32 MB and which on a virtual machine grows faster than the block (--clock cpu
adds system time, --clock wall measures elapsed time). The reduction runs under
the engine's own limits (12 iterations, 4n + 1024 e-nodes, 5 seconds); its report
is printed so that a run that hit a limit can be told from one that saturated.
--check makes the exit status 1 when a ratio is flagged; without it the benchmark
only reports.
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import resource
import sys
import time

import brantel_core as bc
from pipeline_shapes import machine_line, peak_rss_bytes

LIMIT = 2.2
OPS = ("add", "serialize", "deserialize", "reduce")


def build_chain(n: int) -> tuple[bc.GraphStore, list[int]]:
    s = bc.GraphStore()
    add_op = s.add_op
    last = s.add_source("x")
    for i in range(n - 1):
        last = add_op("f" if i % 2 else "g", [last], {"k": i & 7})
    return s, [last]


def build_doubling(n: int) -> tuple[bc.GraphStore, list[int]]:
    s = bc.GraphStore()
    add_op = s.add_op
    x = s.add_source("x")
    steps = (n - 1) // 2
    for _ in range(steps):
        x = add_op("scale", [add_op("add", [x, x])], {"by": 2.0})
    count = s.node_count()
    if count != 2 * steps + 1:
        raise AssertionError(f"doubling shape holds {count} nodes, expected {2 * steps + 1}")
    return s, [x]


def build_fanout(n: int) -> tuple[bc.GraphStore, list[int]]:
    s = bc.GraphStore()
    add_op = s.add_op
    src = s.add_source("x")
    outputs = [add_op("f", [src], {"i": i}) for i in range(n - 1)]
    return s, outputs


SHAPES = {"chain": build_chain, "doubling": build_doubling, "fanout": build_fanout}


def dict_baseline(n: int) -> None:
    """n scattered inserts into a Python dict: the machine's own scaling for hash
    tables of this size, measured with the same clock. On a virtual machine with
    4 KiB pages it already exceeds 2.2 per doubling above a few million entries
    (TLB and cache misses per access grow with the table), which bounds what any
    hash-consing store can show here."""
    d = {}
    for i in range(n):
        d[(i * 2654435761) & 0xFFFFFFFFFFFF] = i


def _user() -> float:
    # getrusage counts in microseconds; os.times() only in clock ticks (10 ms),
    # too coarse for a serialize that takes a few milliseconds.
    return resource.getrusage(resource.RUSAGE_SELF).ru_utime


CLOCKS = {"user": _user, "cpu": time.process_time, "wall": time.perf_counter}
clock = _user


# The kernel accounts user time by ticks, so a call of a few milliseconds (a
# serialize) is repeated until the span is long enough to read, and timed per call.
MIN_SPAN = 0.25


def timed(fn):
    """Seconds per call of fn, and its last result; the rounds take the best."""
    gc.collect()
    runs = 0
    start = clock()
    while True:
        # The previous result is freed before the next call, inside the span;
        # its teardown is page unmapping, which user time does not count.
        result = None
        result = fn()
        runs += 1
        elapsed = clock() - start
        if elapsed >= MIN_SPAN:
            return elapsed / runs, result


def measure(shape: str, n: int) -> tuple[dict[str, float], str]:
    """One run of every operation at size n, and a line describing what was built."""
    build = SHAPES[shape]
    times: dict[str, float] = {}
    times["add"], (store, outputs) = timed(lambda: build(n))
    times["serialize"], blob = timed(lambda: store.serialize(outputs=outputs))
    times["deserialize"], copy = timed(lambda: bc.GraphStore.deserialize(blob))
    if copy.node_count() != store.node_count():
        raise AssertionError("deserialize lost nodes")
    del copy
    times["reduce"], (reduced, report) = timed(lambda: store.reduce(outputs=outputs))
    return times, (f"n={store.node_count():>9,d}  | reduced {reduced.node_count():,d} nodes, "
                   f"report {sorted(report.items())}")


def measure_rounds(shape: str, sizes: list[int], rounds: int) -> list[dict[str, float]]:
    """The best time of each operation at each size over rounds that visit every size."""
    best = [dict.fromkeys(OPS, float("inf")) for _ in sizes]
    described = [""] * len(sizes)
    for _ in range(rounds):
        for k, n in enumerate(sizes):
            times, described[k] = measure(shape, n)
            for op in OPS:
                best[k][op] = min(best[k][op], times[op])
    for k in range(len(sizes)):
        print(f"  {shape:9s} " + "  ".join(f"{op} {best[k][op]:7.3f}s" for op in OPS) + f"  {described[k]}",
              flush=True)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000000,2000000,4000000,8000000")
    parser.add_argument("--shapes", default=",".join(SHAPES))
    parser.add_argument("--repeat", type=int, default=5, help="rounds over all sizes; each time is the best")
    parser.add_argument("--clock", choices=CLOCKS, default="user",
                        help="user: user CPU time of this process (default); cpu: user + system; wall: elapsed")
    parser.add_argument("--check", action="store_true", help="exit 1 when a ratio exceeds the limit")
    args = parser.parse_args()
    global clock
    clock = CLOCKS[args.clock]
    sizes = [int(x) for x in args.sizes.split(",")]
    shapes = args.shapes.split(",")
    print(machine_line())
    print(f"brantel_core {bc.version()}; sizes {sizes}; {args.clock} time, best of {args.repeat} rounds")
    flagged = []
    baseline = [float("inf")] * len(sizes)
    for _ in range(args.repeat):
        for k, n in enumerate(sizes):
            baseline[k] = min(baseline[k], timed(lambda: dict_baseline(n))[0])
    print("  baseline  python dict inserts: " + "  ".join(
        f"time({m:,d}) / time({n:,d}) {b / a:4.2f}" for n, m, a, b in zip(sizes, sizes[1:], baseline, baseline[1:])),
        flush=True)
    for shape in shapes:
        results = measure_rounds(shape, sizes, args.repeat)
        for (n, before), (m, after) in zip(zip(sizes, results), zip(sizes[1:], results[1:])):
            cells = []
            for op in OPS:
                ratio = after[op] / before[op] if before[op] > 0 else float("inf")
                mark = ""
                if ratio > LIMIT * (m / n) / 2:
                    mark = " !"
                    flagged.append((shape, op, n, m, ratio))
                cells.append(f"{op} {ratio:5.2f}{mark}")
            print(f"  {shape:9s} time({m:,d}) / time({n:,d}):  " + "  ".join(cells), flush=True)
        # Single doublings are noisy on a shared machine; the mean ratio per doubling
        # over the whole range is the steadier figure, next to the dict's.
        steps = math.log2(sizes[-1] / sizes[0])
        if steps > 0:
            mean = {op: (results[-1][op] / results[0][op]) ** (1 / steps)
                    for op in OPS if results[0][op] > 0}
            dict_mean = (baseline[-1] / baseline[0]) ** (1 / steps)
            print(f"  {shape:9s} mean per doubling:  " + "  ".join(f"{op} {r:5.2f}" for op, r in mean.items()) +
                  f"   (python dict {dict_mean:4.2f})", flush=True)
    print(f"peak RSS {peak_rss_bytes() / 2 ** 30:.2f} GiB")
    if flagged:
        print(f"{len(flagged)} ratios above {LIMIT}: " +
              ", ".join(f"{s}/{op} {n:,d}->{m:,d} {r:.2f}" for s, op, n, m, r in flagged))
    else:
        print(f"all ratios within {LIMIT}")
    return 1 if flagged and args.check else 0


if __name__ == "__main__":
    sys.exit(main())
