"""serialize() and deserialize() of a pipeline-shaped graph, next to pickle of
an equivalent list of tuples.

    python3.14 bench/python/bench_blob.py [--nodes 1000000]
"""

from __future__ import annotations

import argparse
import pickle
import time

import brantel_core as bc
from pipeline_shapes import add_to_store, machine_line, reduction_graph


def best_of(fn, repeat=3):
    best = float("inf")
    out = None
    for _ in range(repeat):
        # Free the previous result first: its teardown is not part of the call timed.
        out = None
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
        out = result
    return out, best


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--nodes", type=int, default=1_000_000)
    args = ap.parse_args()
    print(machine_line())
    planned, _ = reduction_graph(args.nodes)
    store = bc.GraphStore()
    ids = add_to_store(store, planned)
    n = store.node_count()
    # The equivalent list of tuples: one per stored node, inputs as ids.
    tuples = [(d["kind"], d["name"], tuple(d["inputs"]), tuple(d["params"].items())) for d in store.nodes()]

    blob, t_ser = best_of(store.serialize)
    _, t_de = best_of(lambda: bc.GraphStore.deserialize(blob))
    pick, t_pd = best_of(lambda: pickle.dumps(tuples, protocol=pickle.HIGHEST_PROTOCOL))
    _, t_pl = best_of(lambda: pickle.loads(pick))
    mb = len(blob) / 1e6
    print(f"{n:,} nodes, blob {mb:.1f} MB, pickle {len(pick) / 1e6:.1f} MB")
    print(f"  serialize:    {t_ser * 1e3:8.1f} ms  {mb / t_ser / 1e3:6.2f} GB/s  {t_ser / n * 1e9:7.1f} ns/node")
    print(f"  deserialize:  {t_de * 1e3:8.1f} ms  {mb / t_de / 1e3:6.2f} GB/s  {t_de / n * 1e9:7.1f} ns/node")
    print(f"  pickle.dumps: {t_pd * 1e3:8.1f} ms  {t_pd / n * 1e9:7.1f} ns/node   serialize is {t_pd / t_ser:.1f}x faster")
    print(f"  pickle.loads: {t_pl * 1e3:8.1f} ms  {t_pl / n * 1e9:7.1f} ns/node   deserialize is {t_pl / t_de:.1f}x faster")
    assert ids  # keep the ids alive until here


if __name__ == "__main__":
    main()
