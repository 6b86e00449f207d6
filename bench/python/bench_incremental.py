"""Times IncrementalReducer end to end from Python.

Builds a graph of --nodes nodes (default 1,000,000) through the add methods,
stepping a reducer every --every added nodes (default 1,000), and prints:
  - the sum of the step times against one step over the finished store, and the
    ns per consumed node of both;
  - finalize against GraphStore.reduce on the same graph and outputs;
  - a straightforward pure-Python fold of the same three rules, for scale.

The graph mixes op chains, identity wrappers (+0.0, *1.0), commutable pairs
given in both orders and fresh sources, so every rule fires. Benchmarks never pass
or fail; compare the figures before and after a change.
"""

import argparse
import platform
import struct
import sys
import sysconfig
import time

import brantel_core as bc

COMMUTATIVE = frozenset(["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"])
ZERO_BITS = struct.pack("<d", 0.0)
ONE_BITS = struct.pack("<d", 1.0)


class Recorder:
    """Adds nodes to a store and keeps, for the Python fold, each node that was new."""

    def __init__(self, store):
        self.store = store
        self.records = []

    def _keep(self, node_id, record):
        if node_id == len(self.records):
            self.records.append(record)
        return node_id

    def source(self, name, params):
        return self._keep(self.store.add_source(name, params), ("source", name, (), params))

    def op(self, name, inputs, params=None):
        return self._keep(self.store.add_op(name, inputs, params), ("op", name, tuple(inputs), params or {}))


def spread(i):
    """A well-mixed 64-bit function of i, so `other` links reach all of the graph."""
    h = (i * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
    return h ^ (h >> 29)


def build(recorder, target, every, reducer):
    """Adds nodes until the store holds `target`; steps after every `every` adds."""
    g = recorder.store
    step_ns = 0
    step_cpu_ns = 0
    steps = 0
    last = recorder.source("src0", {"part": 0})
    pair = (last, last)
    added_since_step = 1
    i = 0
    while g.node_count() < target:
        i += 1
        other = spread(i) % g.node_count()
        r = i % 8
        if i % 64 == 0:
            last = recorder.source(f"src{i}", {"part": i % 7})
        elif r == 0:
            last = recorder.op("map", [last], {"k": i % 97})
        elif r == 1:
            last = recorder.op("add", [last], {"scalar": 0.0, "side": "r"})
        elif r == 2:
            pair = (last, other)
            last = recorder.op("add", [last, other])
        elif r == 3:
            last = recorder.op("add", [pair[1], pair[0]])  # the mirror of the pair above
        elif r == 4:
            last = recorder.op("mul", [last], {"scalar": 1.0, "side": "l"})
        elif r == 5:
            last = recorder.op("filter", [last], {"expr": "x > 0"})
        elif r == 6:
            last = recorder.op("neg", [last])
        else:
            last = recorder.op("maximum", [last, other])
        added_since_step += 1
        if added_since_step >= every:
            c0, t0 = time.thread_time_ns(), time.perf_counter_ns()
            reducer.step(g)
            step_ns += time.perf_counter_ns() - t0
            step_cpu_ns += time.thread_time_ns() - c0
            steps += 1
            added_since_step = 0
    c0, t0 = time.thread_time_ns(), time.perf_counter_ns()
    reducer.step(g)
    step_ns += time.perf_counter_ns() - t0
    step_cpu_ns += time.thread_time_ns() - c0
    return last, step_ns, step_cpu_ns, steps + 1


def is_identity(name, params):
    if name not in ("add", "mul") or len(params) != 2:
        return False
    scalar, side = params.get("scalar"), params.get("side")
    if type(scalar) is not float or type(side) is not str or side not in ("r", "l"):
        return False
    return struct.pack("<d", scalar) == (ZERO_BITS if name == "add" else ONE_BITS)


def param_key(params):
    # Type-tagged, so 1, 1.0 and True stay three values; floats by their bits.
    return tuple(
        sorted((k, type(v).__name__, struct.pack("<d", v) if type(v) is float else v) for k, v in params.items())
    )


def fold_python(records):
    """The three rules written the obvious way; returns (id_map, canonical count)."""
    id_map = []
    table = {}
    for kind, name, inputs, params in records:
        ins = tuple(id_map[u] for u in inputs)
        if kind == "op" and ins and is_identity(name, params):
            id_map.append(ins[0])
            continue
        key = (kind, name, ins, param_key(params))
        if kind == "op" and len(ins) == 2 and not params and name in COMMUTATIVE:
            hit = table.get(key)
            if hit is None:
                hit = table.get((kind, name, (ins[1], ins[0]), ()))
            if hit is not None:
                id_map.append(hit)
                continue
        id_map.append(table.setdefault(key, len(table)))
    return id_map, len(table)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--every", type=int, default=1_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    gil = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL"
    print(f"machine: {platform.machine()} {platform.processor() or ''} {platform.platform()}".rstrip())
    print(f"interpreter: {sys.version.split()[0]} ({gil}), built with {platform.python_compiler()}")
    print(f"brantel_core {bc.version()}; {args.nodes} nodes, a step every {args.every} added nodes; "
          f"best of {args.repeat}")

    # Each figure is the best of --repeat runs, the stepped build and the single
    # step interleaved, so that a burst of load on a shared machine skews neither.
    best = {}
    for _ in range(args.repeat):
        g = bc.GraphStore()
        recorder = Recorder(g)
        reducer = bc.IncrementalReducer()
        t0 = time.perf_counter_ns()
        last, step_ns, step_cpu_ns, steps = build(recorder, args.nodes, args.every, reducer)
        build_ns = time.perf_counter_ns() - t0 - step_ns
        n = g.node_count()
        assert reducer.watermark() == n == reducer.total_work()

        whole = bc.IncrementalReducer()
        c0, t0 = time.thread_time_ns(), time.perf_counter_ns()
        whole.step(g)
        whole_ns = time.perf_counter_ns() - t0
        whole_cpu_ns = time.thread_time_ns() - c0
        assert whole.canonical_count() == reducer.canonical_count()
        for key, value in (("build", build_ns), ("step", step_ns), ("step_cpu", step_cpu_ns),
                           ("whole", whole_ns), ("whole_cpu", whole_cpu_ns)):
            best[key] = min(best.get(key, value), value)
        del whole
    build_ns, step_ns, step_cpu_ns = best["build"], best["step"], best["step_cpu"]
    whole_ns, whole_cpu_ns = best["whole"], best["whole_cpu"]

    print(f"\nbuild (add calls, steps excluded): {build_ns / 1e9:.3f} s, {build_ns / n:.0f} ns per node")
    print(f"canonical form: {reducer.canonical_count()} of {n} nodes")
    print(f"{steps} steps: {step_ns / 1e6:.2f} ms in total, {step_ns / n:.1f} ns per consumed node "
          f"(thread CPU {step_cpu_ns / n:.1f} ns)")
    print(f"one step over the whole store: {whole_ns / 1e6:.2f} ms, {whole_ns / n:.1f} ns per consumed node "
          f"(thread CPU {whole_cpu_ns / n:.1f} ns)")
    print(f"sum of steps / one step: {step_ns / whole_ns:.2f}x wall, {step_cpu_ns / whole_cpu_ns:.2f}x CPU")

    outputs = [last]
    t0 = time.perf_counter_ns()
    fin_store, fin_report = reducer.finalize(g, outputs=outputs)
    fin_ns = time.perf_counter_ns() - t0
    t0 = time.perf_counter_ns()
    red_store, red_report = g.reduce(outputs=outputs)
    red_ns = time.perf_counter_ns() - t0
    print(f"\nfinalize: {fin_ns / 1e6:.1f} ms  {dict(sorted(fin_report.items()))}")
    print(f"GraphStore.reduce: {red_ns / 1e6:.1f} ms  {dict(sorted(red_report.items()))}")
    print(f"finalize / reduce: {fin_ns / red_ns:.2f}x; reduced node counts {fin_store.node_count()} and {red_store.node_count()}")

    records = recorder.records
    assert len(records) == n
    t0 = time.perf_counter_ns()
    id_map, canonical = fold_python(records)
    py_ns = time.perf_counter_ns() - t0
    assert canonical == reducer.canonical_count()
    assert len(id_map) == n
    print(f"\npure-Python fold of the same rules: {py_ns / 1e6:.1f} ms, {py_ns / n:.0f} ns per node "
          f"({py_ns / step_ns:.0f}x the summed steps)")


if __name__ == "__main__":
    main()
