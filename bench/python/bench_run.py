"""Running pipelines on a two-worker dask.distributed cluster: the reduced graph
against the unreduced one after dask's own optimisation (cull and fuse).

    python3.14 bench/python/bench_run.py [--partitions 16,64] [--sizes 2000] [--runs 5]

Cases: the example pipeline (examples/pipeline.py, on its generated data) and
generated pipelines of the given sizes (bench/python/pipeline_shapes.py). For
each case and partition count it prints the unreduced graph's task count, and the
task count and the wall time of one compute (median of --runs interleaved runs,
with min and max) for the unreduced graph after dask's cull and fuse and for both
reductions, and the ratios
of the reductions to dask's optimised graph (target: below 1 for both). Outputs
are compared across the forms once per case. Then the fingerprint of a
generated graph of --fingerprint-nodes nodes, next to nodes() alone and a
SHA-256 of the blob.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import statistics
import sys
import time
from collections.abc import Callable
from typing import Any

import brantel_core as bc
from brantel import Lowered, fingerprint, lower
from pipeline_shapes import add_to_store, machine_line, reduction_graph


def example_case() -> tuple[bc.GraphStore, list[int], Any]:
    from pipeline import Pipeline
    from pipeline_registry import registry

    p = Pipeline()
    p.build()
    return p.store, p.outputs, registry()


def generated_case(n: int) -> tuple[bc.GraphStore, list[int], Any]:
    from shape_registry import registry

    planned, outputs = reduction_graph(n)
    store = bc.GraphStore()
    ids = add_to_store(store, planned)
    return store, [ids[o] for o in outputs], registry(sum(1 for t in planned if t[0] == "source"))


def forms(store: bc.GraphStore, outputs: list[int], registry: Any,
          partitions: int) -> list[tuple[str, Callable[[], Lowered], float]]:
    """(name, a fresh lowering of the form, seconds its preparation took once).

    Every run computes a fresh lowering: its keys are new, so the cluster cannot
    hand back results it still holds from the previous run."""
    t0 = time.perf_counter()
    lower(store, registry, partitions=partitions, outputs=outputs).optimized()
    out: list[tuple[str, Callable[[], Lowered], float]] = [(
        "dask cull+fuse", lambda: lower(store, registry, partitions=partitions, outputs=outputs).optimized(),
        time.perf_counter() - t0)]
    for name, maximal in (("single-use fusion", False), ("maximal fusion", True)):
        t0 = time.perf_counter()
        reduced, _ = store.reduce(outputs=outputs, maximal_fusion=maximal)
        spent = time.perf_counter() - t0
        node_map = reduced.node_map()
        mapped = [node_map[o][0] for o in outputs]  # type: ignore[index]
        out.append((name, lambda r=reduced, m=mapped: lower(r, registry, partitions=partitions, outputs=m), spent))
    return out


def measure(client: Any, title: str, case: tuple[bc.GraphStore, list[int], Any], partitions: int, runs: int) -> None:
    store, outputs, registry = case
    graphs = forms(store, outputs, registry, partitions)
    unreduced = len(lower(store, registry, partitions=partitions, outputs=outputs).graph)
    tasks = {name: len(make().graph) for name, make, _ in graphs}
    first = [make().compute(client) for _, make, _ in graphs]  # also warms the workers' imports
    agree = all(r == first[0] for r in first[1:])
    times: dict[str, list[float]] = {name: [] for name, _, _ in graphs}
    for _ in range(runs):
        for name, make, _ in graphs:
            lowered = make()
            t0 = time.perf_counter()
            lowered.compute(client)
            times[name].append(time.perf_counter() - t0)
    print(f"\n{title}: {store.node_count()} nodes, {partitions} partitions, {unreduced} tasks unreduced; "
          f"outputs agree: {'yes' if agree else 'NO'}")
    print(f"  {'graph':18} {'tasks':>7} {'median s':>9} {'min s':>7} {'max s':>7} {'prepare s':>9}")
    for name, _, spent in graphs:
        t = times[name]
        print(f"  {name:18} {tasks[name]:7d} {statistics.median(t):9.3f} {min(t):7.3f} {max(t):7.3f} {spent:9.3f}")
    base = statistics.median(times["dask cull+fuse"])
    for name in ("single-use fusion", "maximal fusion"):
        print(f"  {name} vs dask cull+fuse: tasks {tasks[name] / tasks['dask cull+fuse']:.2f}x, "
              f"wall {statistics.median(times[name]) / base:.2f}x (target: both below 1)")


def fingerprint_speed(n: int) -> None:
    planned, outputs = reduction_graph(n)
    store = bc.GraphStore()
    ids = add_to_store(store, planned)
    outs = [ids[o] for o in outputs]
    t0 = time.perf_counter()
    store.nodes()
    t_nodes = time.perf_counter() - t0
    t0 = time.perf_counter()
    fingerprint(store, outs)
    t_fp = time.perf_counter() - t0
    t0 = time.perf_counter()
    hashlib.sha256(store.serialize(outputs=outs)).hexdigest()
    t_blob = time.perf_counter() - t0
    count = store.node_count()
    print(f"\nfingerprint of {count:,} nodes: {t_fp:.2f} s ({t_fp / count * 1e6:.2f} us/node); "
          f"nodes() alone {t_nodes:.2f} s; SHA-256 of the blob {t_blob:.2f} s")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--partitions", default="16,64")
    ap.add_argument("--sizes", default="2000", help="generated pipeline sizes, in planned nodes")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--cases", default="example,generated", help="which of example, generated to run")
    ap.add_argument("--fingerprint-nodes", type=int, default=1_000_000, help="0 skips the fingerprint figure")
    args = ap.parse_args()
    print(machine_line())
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError as e:
        print(f"dask.distributed is not importable ({e}); nothing to measure")
        return
    # Workers import the registries by module name, from the same folders.
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    chosen = args.cases.split(",")
    cases = [("example pipeline", example_case())] if "example" in chosen else []
    if "generated" in chosen:
        sizes = map(int, args.sizes.split(","))
        cases += [(f"generated pipeline ({n} planned nodes)", generated_case(n)) for n in sizes]
    loopback = "127.0.0.1"
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host=loopback,
                      dashboard_address=f"{loopback}:0", worker_dashboard_address=f"{loopback}:0") as cluster, \
            Client(cluster) as client:
        print("cluster: 2 worker processes, 1 thread each, on loopback")
        for title, case in cases:
            for partitions in map(int, args.partitions.split(",")):
                measure(client, title, case, partitions, args.runs)
    if args.fingerprint_nodes:
        fingerprint_speed(args.fingerprint_nodes)


if __name__ == "__main__":
    main()
