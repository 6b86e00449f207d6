"""This build of the module against another build of it, interleaved on one machine.

Each round runs every size once per build, in a fresh process each, alternating
which build goes first. A process builds the pipeline-shaped graph of
pipeline_shapes.reduction_graph and times, in CPU time of the process:

  add          every node through add_source / add_op / add_reduction
  serialize    the whole store to a blob
  deserialize  that blob back into a store
  reduce       GraphStore.reduce, single-use fusion
  reduce-max   the same with maximal_fusion=True
  incremental  an IncrementalReducer stepped after every 10,000 adds, then finalized
               (the adds themselves are not counted)

and prints, per workload and size, each build's median and spread (min-max over
the rounds) and the ratio of the medians, head over base: below 1.00 is faster.

To compare with an earlier revision, build it in Release in a worktree of its own
(on the host: git worktree add ../base <rev>; there: scripts/bench add -- --sizes 1000),
then:

    scripts/bench compare -- --base ../base/build/bench/python [--sizes 100000,1000000] [--runs 7]
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

WORKLOADS = ("add", "serialize", "deserialize", "reduce", "reduce-max", "incremental")
STEP_EVERY = 10_000


def measure(n: int) -> dict[str, float]:
    import brantel_core as bc
    from pipeline_shapes import add_to_store, reduction_graph

    planned, outputs = reduction_graph(n)

    def cpu(fn):
        t0 = time.process_time()
        result = fn()
        return result, time.process_time() - t0

    store = bc.GraphStore()
    ids, t_add = cpu(lambda: add_to_store(store, planned))
    outs = [ids[o] for o in outputs]
    blob, t_ser = cpu(store.serialize)
    _, t_de = cpu(lambda: bc.GraphStore.deserialize(blob))
    _, t_red = cpu(lambda: store.reduce(outputs=outs))
    _, t_max = cpu(lambda: store.reduce(outputs=outs, maximal_fusion=True))

    growing = bc.GraphStore()
    reducer = bc.IncrementalReducer()
    t_inc = 0.0
    done: list[int] = []
    for start in range(0, len(planned), STEP_EVERY):
        done += add_to_store_from(growing, planned, start, STEP_EVERY, done)
        _, t = cpu(lambda: reducer.step(growing))
        t_inc += t
    _, t = cpu(lambda: reducer.finalize(growing, outputs=[done[o] for o in outputs]))
    t_inc += t
    return dict(zip(WORKLOADS, (t_add, t_ser, t_de, t_red, t_max, t_inc)))


def add_to_store_from(store, planned, start, count, ids):
    """add_to_store for planned[start:start + count], whose inputs may be earlier ids."""
    new: list[int] = []
    for entry in planned[start:start + count]:
        kind, name = entry[0], entry[1]
        if kind == "source":
            new.append(store.add_source(name, entry[2]))
            continue
        inputs = [ids[i] if i < len(ids) else new[i - len(ids)] for i in entry[2]]
        add = store.add_op if kind == "op" else store.add_reduction
        new.append(add(name, inputs, entry[3]))
    return new


def run_one(module_dir: str, n: int) -> dict[str, float]:
    here = Path(__file__).resolve().parent
    env_path = f"{module_dir}:{here}"
    done = subprocess.run([sys.executable, __file__, "--worker", str(n)], capture_output=True, text=True,
                          env={"PYTHONPATH": env_path, "PATH": "/usr/bin:/bin"}, check=True)
    return json.loads(done.stdout)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--base", required=True, help="folder holding the other build's brantel_core")
    ap.add_argument("--head", required=True, help="folder holding this build's brantel_core")
    ap.add_argument("--sizes", default="100000,1000000")
    ap.add_argument("--runs", type=int, default=7)
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    sides = {"base": args.base, "head": args.head}
    results: dict[tuple[str, int], list[dict[str, float]]] = {(s, n): [] for s in sides for n in sizes}
    for r in range(args.runs):
        order = ["base", "head"] if r % 2 == 0 else ["head", "base"]
        for n in sizes:
            for side in order:
                results[(side, n)].append(run_one(sides[side], n))
        print(f"round {r + 1} of {args.runs} done", file=sys.stderr)
    print(f"CPU milliseconds, median (min-max) of {args.runs} interleaved rounds; base {args.base}, head {args.head}")
    for n in sizes:
        print(f"\n{n:,} planned nodes")
        print(f"  {'workload':12} {'base':>24} {'head':>24}  head/base")
        for w in WORKLOADS:
            cells = []
            medians = []
            for side in sides:
                xs = [run[w] for run in results[(side, n)]]
                medians.append(statistics.median(xs))
                cells.append(f"{medians[-1] * 1e3:.1f} ({min(xs) * 1e3:.1f}-{max(xs) * 1e3:.1f})")
            print(f"  {w:12} {cells[0]:>24} {cells[1]:>24}  {medians[1] / medians[0]:9.2f}")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        print(json.dumps(measure(int(sys.argv[2]))))
    else:
        main()
