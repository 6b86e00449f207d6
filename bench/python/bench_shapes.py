"""Time per node on every graph shape, at doubling sizes, and its growth.

    python3.14 bench/python/bench_shapes.py [--sizes 25000,50000,...] [--quick]
                                            [--shapes chain,tree,...] [--runs 5]
                                            [--clock cpu|wall]

For each shape and size the graph is built once, then every operation is timed
in --runs rounds; a round visits every size of the shape in turn, so a slow
spell of the shared machine hits one run of a size rather than all of them.
Each run starts at another operation, so that none always comes first after a
change of size. Each cell is the median time per node in microseconds, with the
spread of the runs (max - min) after it. The last column is the mean ratio per doubling,
(t_last / t_first) ** (1 / doublings) on total times: 2.0 is linear. Next to
the figures, a Python dict filled with one entry per node is timed in the same
rounds: the machine's own growth for a hash table of that size.

Operations: reduce (default fusion), reduce with maximal_fusion, a fresh
IncrementalReducer's finalize (which folds every node first), serialize and
deserialize of the whole store.

Shapes, n being the node count:
- chain: a source and n - 1 unary ops, each on the one before;
- fanout: one source read by n - 1 ops, all of them outputs;
- tree: a balanced binary tree of add and mul over n / 2 sources;
- join-identity: a join over n / 2 branches add(s_i, 0.0), each folded into s_i;
- join-twins: a join over mul(a, s_i) and mul(s_i, a), merged pairwise by
  commutativity;
- pairs: k sources and mul(s_i, s_j) for every ordered pair i != j, joined;
- ladder: two ladders of n / 4 rungs over the same two sources, one with every
  add's operands swapped; rung by rung they become one ladder through
  commutativity and congruence;
- chain-taps: a chain of n / 2 ops, each read by a reduction of its own, all
  outputs, so that every op is a stage boundary;
- stage-consumers: a chain of n / 2 ops, one stage of n / 2 members, read by
  n / 2 reductions, all outputs.

It prints figures only; it never passes or fails.
"""

from __future__ import annotations

import argparse
import gc
import math
import statistics
import sys
import time
from collections.abc import Callable

import brantel_core as bc
from pipeline_shapes import machine_line, peak_rss_bytes

Built = tuple[bc.GraphStore, list[int]]
IDENTITY = {"scalar": 0.0, "side": "r"}


def build_chain(n: int) -> Built:
    g = bc.GraphStore()
    last = g.add_source("x")
    for i in range(n - 1):
        last = g.add_op("f" if i % 2 else "g", [last], {"k": i & 7})
    return g, [last]


def build_fanout(n: int) -> Built:
    g = bc.GraphStore()
    src = g.add_source("x")
    return g, [g.add_op("f", [src], {"i": i}) for i in range(n - 1)]


def build_tree(n: int) -> Built:
    g = bc.GraphStore()
    level = [g.add_source(f"s{i}") for i in range(max(2, n // 2))]
    depth = 0
    while len(level) > 1:
        op = "add" if depth % 2 else "mul"
        nxt = [g.add_op(op, [level[i], level[i + 1]]) for i in range(0, len(level) - 1, 2)]
        if len(level) % 2:
            nxt.append(level[-1])
        level, depth = nxt, depth + 1
    return g, level


def build_join_identity(n: int) -> Built:
    g = bc.GraphStore()
    branches = [g.add_op("add", [g.add_source(f"s{i}")], IDENTITY) for i in range(n // 2)]
    return g, [g.add_join(branches)]


def build_join_twins(n: int) -> Built:
    g = bc.GraphStore()
    a = g.add_source("a")
    branches = []
    for i in range(n // 3):
        s = g.add_source(f"s{i}")
        branches += [g.add_op("mul", [a, s]), g.add_op("mul", [s, a])]
    return g, [g.add_join(branches)]


def build_pairs(n: int) -> Built:
    g = bc.GraphStore()
    k = max(2, math.isqrt(n))
    sources = [g.add_source(f"s{i}") for i in range(k)]
    products = [g.add_op("mul", [x, y]) for x in sources for y in sources if x != y]
    return g, [g.add_join(products)]


def build_ladder(n: int) -> Built:
    g = bc.GraphStore()
    a0, b0 = g.add_source("a"), g.add_source("b")
    outputs = []
    for swapped in (False, True):
        a, b = a0, b0
        for _ in range(n // 4):
            a, b = g.add_op("add", [b, a] if swapped else [a, b]), g.add_op("scale", [a], {"by": 2})
        outputs.append(a)
    return g, outputs


def build_chain_taps(n: int) -> Built:
    g = bc.GraphStore()
    last = g.add_source("x")
    outputs = []
    for i in range(n // 2):
        last = g.add_op("f" if i % 2 else "g", [last])
        outputs.append(g.add_reduction("sum", [last], {"axis": 0}))
    return g, outputs


def build_stage_consumers(n: int) -> Built:
    g = bc.GraphStore()
    last = g.add_source("x")
    for i in range(n // 2):
        last = g.add_op("f" if i % 2 else "g", [last], {"k": i & 7})
    return g, [g.add_reduction("sum", [last], {"axis": i}) for i in range(n // 2)]


SHAPES: dict[str, Callable[[int], Built]] = {
    "chain": build_chain,
    "fanout": build_fanout,
    "tree": build_tree,
    "join-identity": build_join_identity,
    "join-twins": build_join_twins,
    "pairs": build_pairs,
    "ladder": build_ladder,
    "chain-taps": build_chain_taps,
    "stage-consumers": build_stage_consumers,
}

OPS = ("reduce", "reduce-max", "finalize", "serialize", "deserialize")
PEER = "dict peer"
DEFAULT_SIZES = "25000,50000,100000,200000,400000"
QUICK_SIZES = "25000,50000,100000"
CLOCKS = {"cpu": time.process_time, "wall": time.perf_counter}
clock = time.process_time


def timed(fn: Callable[[], object]) -> float:
    gc.collect()
    start = clock()
    result = fn()
    elapsed = clock() - start
    del result
    return elapsed


def dict_peer(n: int) -> None:
    d = {}
    for i in range(n):
        d[(i * 2654435761) & 0xFFFFFFFFFFFF] = i


def operations(store: bc.GraphStore, outputs: list[int], blob: bytes) -> dict[str, Callable[[], object]]:
    return {
        "reduce": lambda: store.reduce(outputs=outputs),
        "reduce-max": lambda: store.reduce(outputs=outputs, maximal_fusion=True),
        "finalize": lambda: bc.IncrementalReducer().finalize(store, outputs=outputs),
        "serialize": lambda: store.serialize(outputs=outputs),
        "deserialize": lambda: bc.GraphStore.deserialize(blob),
    }


def run_shape(name: str, sizes: list[int], runs: int) -> None:
    built = []
    for n in sizes:
        store, outputs = SHAPES[name](n)
        built.append((store, outputs, store.serialize(outputs=outputs)))
    counts = [store.node_count() for store, _, _ in built]
    samples: dict[str, list[list[float]]] = {op: [[] for _ in sizes] for op in (*OPS, PEER)}
    for run in range(runs):
        for k, (store, outputs, blob) in enumerate(built):
            ops = [*operations(store, outputs, blob).items(), (PEER, lambda: dict_peer(counts[k]))]
            # Each run starts at another operation: the first after a size change
            # pays for the memory the previous size freed.
            shift = run % len(ops)
            for op, fn in ops[shift:] + ops[:shift]:
                samples[op][k].append(timed(fn))
    reduced, report = built[-1][0].reduce(outputs=built[-1][1])
    print(f"\n{name}: nodes {', '.join(f'{c:,d}' for c in counts)}; at the largest, reduce keeps "
          f"{reduced.node_count():,d} nodes ({report['stages']} stages)")
    header = "".join(f"{c:>17,d}" for c in counts)
    print(f"  {'us/node, median ~spread':<24}{header}   ratio/doubling")
    doublings = math.log2(counts[-1] / counts[0]) if len(counts) > 1 else 0
    for op in (*OPS, PEER):
        medians = [statistics.median(s) for s in samples[op]]
        cells = "".join(f"{1e6 * m / c:>9.3f} ~{1e6 * (max(s) - min(s)) / c:<6.3f}"
                        for m, s, c in zip(medians, samples[op], counts))
        ratio = (medians[-1] / medians[0]) ** (1 / doublings) if doublings > 0 and medians[0] > 0 else float("nan")
        print(f"  {op:<24}{cells}   {ratio:5.2f}", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default=None, help=f"comma-separated node counts (default {DEFAULT_SIZES})")
    parser.add_argument("--quick", action="store_true", help=f"sizes {QUICK_SIZES} and 3 runs, unless given")
    parser.add_argument("--shapes", default=",".join(SHAPES))
    parser.add_argument("--runs", type=int, default=None, help="runs per cell (default 5, 3 with --quick)")
    parser.add_argument("--clock", choices=CLOCKS, default="cpu",
                        help="cpu: process CPU time (default; other load on the machine distorts it less); "
                             "wall: elapsed time")
    args = parser.parse_args()
    global clock
    clock = CLOCKS[args.clock]
    sizes = [int(x) for x in (args.sizes or (QUICK_SIZES if args.quick else DEFAULT_SIZES)).split(",")]
    runs = args.runs or (3 if args.quick else 5)
    shapes = args.shapes.split(",")
    unknown = [s for s in shapes if s not in SHAPES]
    if unknown:
        parser.error(f"unknown shapes {unknown}; known: {', '.join(SHAPES)}")
    print(machine_line())
    print(f"brantel_core {bc.version()}; {args.clock} time; median of {runs} runs per cell")
    for name in shapes:
        run_shape(name, sizes, runs)
    print(f"\npeak RSS {peak_rss_bytes() / 2 ** 30:.2f} GiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
