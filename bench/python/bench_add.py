"""End-to-end cost of GraphStore.add_op from Python.

Builds a pipeline-shaped graph of N add_op calls (about 30% of them repeat an
earlier call, every op has two inputs and two small params) three ways, through
the same driving loop:

  brantel   brantel_core.GraphStore().add_op
  python    a pure-Python hash-consing store (dict of tuples), same semantics
  floor     slice(), a trivial builtin taking the same three arguments: the cost
            of the loop, the list and dict literals and one call

and prints ns per add (CPU time of the driving thread, best of several
interleaved runs), the ratios, bytes per stored node, and brantel's time split
between first occurrences and repeats, each next to the floor over the same
calls. tracemalloc does not see C++ allocations, so brantel's memory is the
resident-set growth (/proc/self/statm) of a fresh process while it builds the
store.

    PYTHONPATH=<build>/python python3.14 bench/python/bench_add.py [--sizes 100000 1000000]
"""

import argparse
import gc
import os
import platform
import random
import subprocess
import sys
import sysconfig
import time

NAMES = [f"op{i}" for i in range(24)]
SCALES = [0.5, 1.0, 2.0, 0.25]


class PyStore:
    """The baseline: hash-consing in a dict keyed by tuples.

    Values are tagged with their type so that 1, 1.0 and True stay three values,
    as they do in GraphStore.
    """

    __slots__ = ("_table", "_nodes")

    def __init__(self):
        self._table = {}
        self._nodes = []

    def add_source(self, name, params=None):
        return self._intern(("src", name, (), self._params(params)))

    def add_op(self, name, inputs, params=None):
        if not isinstance(name, str):
            raise TypeError("name must be a str")
        inputs = tuple(inputs)
        n = len(self._nodes)
        for i in inputs:
            if not 0 <= i < n:
                raise ValueError(f"no node with id {i}")
        return self._intern(("op", name, inputs, self._params(params)))

    @staticmethod
    def _params(params):
        if not params:
            return ()
        return tuple(sorted((k, type(v), v) for k, v in params.items()))

    def _intern(self, key):
        found = self._table.get(key)
        if found is not None:
            return found
        node_id = len(self._nodes)
        self._table[key] = node_id
        self._nodes.append(key)
        return node_id

    def node_count(self):
        return len(self._nodes)


def make_plan(calls, seed=7):
    """(name, a, b, axis, scale) per call; ids come from the reference store, so
    every contestant sees valid inputs without depending on its own results."""
    rng = random.Random(seed)
    reference = PyStore()
    sources = [reference.add_source(f"src{i}") for i in range(8)]
    plan = []
    for _ in range(calls):
        if plan and rng.random() < 0.30:
            plan.append(plan[rng.randrange(len(plan))])
            continue
        n = reference.node_count()
        a = n - 1 - min(int(rng.expovariate(0.2)), n - 1)  # mostly recent nodes
        b = rng.randrange(n)
        entry = (rng.choice(NAMES), a, b, rng.randrange(4), rng.choice(SCALES))
        plan.append(entry)
        reference.add_op(entry[0], [entry[1], entry[2]], {"axis": entry[3], "scale": entry[4]})
    return sources, plan, reference.node_count()


def drive(add_op, plan):
    for name, a, b, axis, scale in plan:
        add_op(name, [a, b], {"axis": axis, "scale": scale})


def new_store(kind):
    if kind == "brantel":
        import brantel_core

        return brantel_core.GraphStore()
    return PyStore()


def fill(kind, plan_sources):
    store = new_store(kind)
    for i in range(len(plan_sources)):
        store.add_source(f"src{i}")
    return store


def time_once(kind, sources, plan):
    """CPU time of this thread, so that a busy machine inflates the figures less
    than wall time would."""
    if kind == "floor":
        add_op, keep = slice, None
    else:
        keep = fill(kind, sources)
        add_op = keep.add_op
    ns = timed_drive(add_op, plan)
    del keep
    return ns


def timed_drive(add_op, plan):
    """ns per call of driving `plan` through add_op."""
    gc.collect()
    start = time.thread_time_ns()
    drive(add_op, plan)
    return (time.thread_time_ns() - start) / max(1, len(plan))


def time_all(kinds, sources, plan, repeats):
    """Best of `repeats`, the contestants interleaved so that load drifts hit all alike."""
    best = {}
    for _ in range(repeats):
        for kind in kinds:
            ns = time_once(kind, sources, plan)
            best[kind] = min(best.get(kind, ns), ns)
    return best


def split_plan(plan):
    """The plan's first occurrences, in order, and its repeats (the same tuple again)."""
    seen, fresh, repeats = set(), [], []
    for entry in plan:
        (repeats if id(entry) in seen else fresh).append(entry)
        seen.add(id(entry))
    return fresh, repeats


def time_split(sources, plan, repeats):
    """Where brantel's time goes, each part next to the floor driven over the same calls:
    the first occurrences, added to an empty store, and the repeats alone, on the store
    the whole plan filled (every one a hit). A hit compares the stored record, which
    for a uniformly random earlier call is two dependent cache misses (its table slot,
    then its bytes) on top of those the driving loop itself takes on the old tuple."""
    fresh, again = split_plan(plan)
    best = {}

    def keep(key, ns):
        best[key] = min(best.get(key, ns), ns)

    for _ in range(repeats):
        store = fill("brantel", sources)
        for key, calls in (("fresh", fresh), ("repeat", again)):
            for kind, add_op in (("brantel", store.add_op), ("floor", slice)):
                keep((key, kind), timed_drive(add_op, calls))
        del store
    return best


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure_memory(kind, calls):
    """Runs in a fresh process: bytes per stored node.

    brantel: resident-set growth (its memory is C++ heap, invisible to
    tracemalloc). python: tracemalloc, because the pure-Python store reuses the
    blocks that planning freed, which would hide it from the resident set.
    """
    import tracemalloc

    sources, plan, expected = make_plan(calls)
    gc.collect()
    if kind == "python":
        tracemalloc.start()
    before = rss_bytes() if kind == "brantel" else tracemalloc.get_traced_memory()[0]
    store = fill(kind, sources)
    drive(store.add_op, plan)
    gc.collect()
    after = rss_bytes() if kind == "brantel" else tracemalloc.get_traced_memory()[0]
    assert store.node_count() == expected, (store.node_count(), expected)
    return (after - before) / store.node_count()


def memory_in_subprocess(kind, calls):
    run = subprocess.run([sys.executable, __file__, "--memory", kind, str(calls)], capture_output=True, text=True,
                         check=True, env=os.environ)
    return float(run.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--memory", nargs=2, metavar=("KIND", "CALLS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory:
        print(measure_memory(args.memory[0], int(args.memory[1])))
        return

    import brantel_core

    ft = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    print(f"machine: {platform.machine()} {platform.processor() or ''} {os.cpu_count()} cpus; "
          f"{platform.platform()}")
    print(f"interpreter: {sys.version.split()[0]}{' free-threaded' if ft else ''} "
          f"({platform.python_compiler()}); brantel_core {brantel_core.version()} from {brantel_core.__file__}")
    for calls in args.sizes:
        sources, plan, expected = make_plan(calls)
        check = fill("brantel", sources)
        drive(check.add_op, plan)
        assert check.node_count() == expected, "brantel and the reference store disagree on node identity"
        del check
        repeats = 5 if calls <= 200_000 else 2
        ns = time_all(["brantel", "python", "floor"], sources, plan, repeats)
        mem = {kind: memory_in_subprocess(kind, calls) for kind in ["brantel", "python"]}
        print(f"\n{calls:,} add_op calls, {expected:,} stored nodes ({1 - (expected - 8) / calls:.0%} repeats)")
        print(f"  ns per add:     brantel {ns['brantel']:7.1f}   python {ns['python']:7.1f}   floor {ns['floor']:7.1f}")
        print(f"  speed-up over python: {ns['python'] / ns['brantel']:.1f}x (target >= 6x)")
        print(f"  brantel / floor:      {ns['brantel'] / ns['floor']:.2f}x (target <= 2x)")
        print(f"  bytes per node: brantel {mem['brantel']:.0f} (RSS; target <= 200)   "
              f"python {mem['python']:.0f} (tracemalloc)")
        split = time_split(sources, plan, repeats)
        for key, what in (("fresh", "first occurrences"), ("repeat", "repeats (hits) ")):
            over = split[(key, "brantel")] - split[(key, "floor")]
            print(f"  {what}: brantel {split[(key, 'brantel')]:7.1f}   floor {split[(key, 'floor')]:7.1f}   "
                  f"brantel's own {over:6.1f} ns")


if __name__ == "__main__":
    main()
