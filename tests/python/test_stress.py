"""Many threads on one store and one reducer: ids, snapshots and reductions stay consistent.

Every test runs rounds of a fixed workload until its time budget is spent
(BRANTEL_STRESS_SECONDS, default 1.5 s; at least one round), on 2, 4 and 8 threads.
Adders all add one shared sequence of nodes (so equal nodes race each other) plus
nodes of their own; the other threads read, serialize, reduce or step meanwhile.
Afterwards every sample is checked against the final store:
- equal nodes got one id, ids are dense and node_count is the number of distinct nodes;
- each blob, nodes() list and DOT text describes a prefix of the final store;
- each reduction equals the reduction of the store cut at the length it saw;
- the reducer consumed every node once: total work equals the watermark.

On the free-threaded interpreter the threads run truly in parallel; with the GIL
the switch interval is shortened so that they still interleave between calls.
"""

import os
import random
import sys
import threading
import time

import pytest

from brantel_core import GraphStore, IncrementalReducer, PayloadDescriptor
from workload import FREE_THREADED, add_like, dedup, reduction_faults, replay, run_threads, under_sanitizer

# Threads, a switch interval and a wall-clock budget make these unfit for running
# several at once in one process.
pytestmark = pytest.mark.thread_unsafe

BUDGET = float(os.environ.get("BRANTEL_STRESS_SECONDS", "1.5"))
SLOW = under_sanitizer()
SHARED = 200 if SLOW else 800      # nodes every adder adds, in the same order
OWN = 100 if SLOW else 300          # nodes each adder adds that nobody else does
THREAD_COUNTS = [2, 4, 8]

FIELDS = dict(kind="model", content_hash="h0", framework="fw", version="1", io_schema="a->b")
DESCRIPTOR = PayloadDescriptor(**FIELDS)
VIEW_DESCRIPTOR = dict(FIELDS, preprocessing_ref=None)


class Index:
    """An id given through __index__, so conversion runs Python code mid-call."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.fixture(autouse=True)
def short_switch_interval():
    old = sys.getswitchinterval()
    if not FREE_THREADED:
        sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def rounds():
    """Yields round numbers until the budget is spent; always at least one. The
    count is printed (pytest -s shows it), so a run says how much it covered."""
    end = time.monotonic() + BUDGET
    n = 0
    while n == 0 or time.monotonic() < end:
        yield n
        n += 1
    print(f"[{n} rounds of {SHARED} shared + {OWN} own nodes per adder]")


# ---- the workload ------------------------------------------------------------

def shared_node(k, ids):
    """nodes()-shaped description of shared node k, its inputs resolved through ids."""
    if k == 0:
        return dict(kind="source", name="s0", inputs=[], params={"k": 0})
    a, b = ids[k - 1], ids[k // 2]
    kind = k % 8
    if kind == 0:
        return dict(kind="source", name=f"s{k}", inputs=[], params={"k": k, "w": 0.5})
    if kind == 1:
        return dict(kind="op", name="add", inputs=[a, b], params={})
    if kind == 2:
        return dict(kind="op", name="mul", inputs=[b, a], params={})
    if kind == 3:
        return dict(kind="op", name="add", inputs=[a], params={"scalar": 0.0, "side": "r"})
    if kind == 4:
        return dict(kind="reduction", name="sum", inputs=[a], params={"axis": k % 3, "keep": k % 5 == 0})
    if kind == 5:
        return dict(kind="external", name="", inputs=[a, b], params={"k": k}, descriptor=VIEW_DESCRIPTOR)
    if kind == 6:
        return dict(kind="exchange", name="", inputs=[a], params={"n": k})
    return dict(kind="join", name="", inputs=[a, b], params={"how": "inner"})


def own_node(t, j, anchor):
    return dict(kind="op", name=f"t{t}", inputs=[anchor], params={"j": j, "x": j / 4})


def add(store, node, style):
    """Adds a description, varying the argument forms by style so that equal nodes
    arrive as different Python objects (dict order, tuple, __index__, dict descriptor)."""
    params = dict(reversed(list(node["params"].items()))) if style % 2 else dict(node["params"])
    inputs = node["inputs"]
    if style % 3 == 1:
        inputs = tuple(inputs)
    elif style % 3 == 2:
        inputs = [Index(i) for i in inputs]
    kind = node["kind"]
    if kind == "source":
        return store.add_source(node["name"], params)
    if kind == "op":
        return store.add_op(node["name"], inputs, params)
    if kind == "reduction":
        return store.add_reduction(node["name"], inputs, params)
    if kind == "external":
        return store.add_external(DESCRIPTOR if style % 2 else dict(FIELDS), inputs, params)
    if kind == "exchange":
        return store.add_exchange(inputs, params=params)
    return store.add_join(inputs, params)


class Adder:
    """Adds the shared sequence and OWN nodes of its own, interleaved by a seeded RNG."""

    def __init__(self, t, seed):
        self.t = t
        self.rng = random.Random(seed)
        self.shared_ids = []
        self.own = []          # (description, id)

    def step(self, store):
        """Adds one node; returns False when there is nothing left to add."""
        left_shared = SHARED - len(self.shared_ids)
        left_own = OWN - len(self.own)
        if left_shared == 0 and left_own == 0:
            return False
        if left_own == 0 or not self.shared_ids or (left_shared and self.rng.random() < 0.7):
            node = shared_node(len(self.shared_ids), self.shared_ids)
            self.shared_ids.append(add(store, node, self.t))
        else:
            anchor = self.own[-1][1] if self.own and self.rng.random() < 0.5 else self.shared_ids[-1]
            node = own_node(self.t, len(self.own), anchor)
            self.own.append((node, add(store, node, self.t)))
        return True

    def run(self, store):
        while self.step(store):
            pass
        return self


def check_ids(store, adders):
    """Equal nodes got one id, every id is used, and each id holds what was added."""
    final = store.nodes()
    first = adders[0].shared_ids
    for a in adders:
        assert a.shared_ids == first, f"thread {a.t} got other ids for the shared nodes"
    own_ids = [i for a in adders for _, i in a.own]
    assert len(set(own_ids)) == len(own_ids), "two distinct nodes share an id"
    assert not set(own_ids) & set(first)
    distinct = SHARED + OWN * len(adders)
    assert store.node_count() == len(final) == distinct
    assert sorted(own_ids + first) == list(range(distinct)), "ids are not dense"
    for k, i in enumerate(first):
        assert described_by(final[i], shared_node(k, first)), (k, final[i])
    for a in adders:
        for node, i in a.own:
            assert described_by(final[i], node), (a.t, final[i])
    for n in final:
        assert all(x < n["id"] for x in n["inputs"])
    return final


def described_by(view, node):
    if view["output"] or any(view[key] != node.get(key, "") for key in ("kind", "name", "inputs", "params")):
        return False
    return view.get("descriptor") == node.get("descriptor")


def dot_parts(text):
    lines = text.splitlines()
    assert lines[0] == "digraph brantel {" and lines[-1] == "}"
    body = lines[1:-1]
    node_lines = [line for line in body if "->" not in line]
    edges = [line for line in body if "->" in line]
    consumers = [int(line.split("-> n")[1].rstrip(";")) for line in edges]
    return node_lines, list(zip(consumers, edges))


def dot_is_prefix(small, big):
    """The DOT text of a store cut at k nodes, from the text of a longer one: the
    first k node lines and the edges into those k nodes, in the same order."""
    small_nodes, small_edges = dot_parts(small)
    big_nodes, big_edges = dot_parts(big)
    k = len(small_nodes)
    return small_nodes == big_nodes[:k] and small_edges == [e for e in big_edges if e[0] < k]


def run_adders_with(store, n, others, seed):
    """Threads 0 .. len(others)-1 run others[i](done_event); the rest add. Returns
    (adders, results of the others)."""
    k = len(others)
    adders = [Adder(t, seed * 100 + t) for t in range(n - k)]
    done = threading.Event()
    remaining = [len(adders)]
    lock = threading.Lock()

    def work(i):
        if i < k:
            return others[i](done)
        try:
            return adders[i - k].run(store)
        finally:
            with lock:
                remaining[0] -= 1
                if remaining[0] == 0:
                    done.set()

    results = run_threads(n, work)
    return adders, results[:k]


# ---- tests ------------------------------------------------------------------------

@pytest.mark.parametrize("threads", THREAD_COUNTS)
def test_equal_and_distinct_adds_get_one_dense_id_each(threads):
    for r in rounds():
        store = GraphStore()
        adders = run_threads(threads, lambda t: Adder(t, r * 100 + t).run(store))
        final = check_ids(store, adders)
        assert GraphStore.deserialize(store.serialize()).nodes() == final


@pytest.mark.parametrize("threads", THREAD_COUNTS)
def test_snapshots_taken_while_adding_are_prefixes_of_the_final_store(threads):
    readers = max(1, threads // 2)
    for r in rounds():
        store = GraphStore()

        def reader(done):
            # Consecutive samples must extend each other; only the last is kept, and
            # it is compared with the final store below, so every sample is checked.
            last_nodes, last_dot, last_blob, last_count, taken = [], "digraph brantel {\n}\n", None, 0, 0
            while not done.is_set() or taken < 4:
                taken += 1
                count = store.node_count()
                assert count >= last_count
                last_count = count
                blob = store.serialize()
                copy = GraphStore.deserialize(blob)
                assert copy.serialize() == blob
                nodes = copy.nodes()
                assert nodes[:len(last_nodes)] == last_nodes
                assert len(nodes) >= count
                seen = store.nodes()
                assert seen[:len(nodes)] == nodes
                dot = store.to_dot()
                assert dot_is_prefix(last_dot, dot)
                assert store.outputs() == [] and store.node_map() == []
                last_nodes, last_dot, last_blob = seen, dot, blob
                if count:
                    marked = [count - 1, 0, count - 1]
                    partial = GraphStore.deserialize(store.serialize(outputs=marked))
                    assert partial.outputs() == dedup(marked)
            return last_nodes, last_dot, last_blob, taken

        adders, samples = run_adders_with(store, threads + readers, [reader] * readers, r)
        final = check_ids(store, adders)
        final_dot = store.to_dot()
        for nodes, dot, blob, taken in samples:
            assert taken >= 4
            assert nodes == final[:len(nodes)]
            assert dot_is_prefix(dot, final_dot)
            assert GraphStore.deserialize(blob).nodes() == final[:GraphStore.deserialize(blob).node_count()]


@pytest.mark.parametrize("threads", THREAD_COUNTS)
def test_reductions_while_adding_equal_reductions_of_a_prefix(threads):
    reducers = max(1, threads // 2)
    cap = 3 if SLOW else 6
    for r in rounds():
        store = GraphStore()

        def reducer(seed):
            def run(done):
                rng = random.Random(seed)
                taken = []
                while len(taken) < cap and (not done.is_set() or not taken):
                    n = store.node_count()
                    if n == 0:
                        continue
                    outputs = [n - 1] + [rng.randrange(n) for _ in range(rng.randrange(3))]
                    how = rng.choice(["reduce", "maximal", "incremental", "report"])
                    if how == "report":
                        taken.append((how, outputs, None, store.reduction_report(outputs=outputs)))
                        continue
                    if how == "incremental":
                        reduced, rep = store.reduce_incremental(outputs=outputs)
                    else:
                        reduced, rep = store.reduce(outputs=outputs, maximal_fusion=how == "maximal")
                    taken.append((how, outputs, (reduced.serialize(), reduced.node_map()), rep))
                return taken
            return run

        adders, samples = run_adders_with(store, threads + reducers,
                                          [reducer(r * 10 + i) for i in range(reducers)], r)
        final = check_ids(store, adders)
        taken = sorted((s for per_thread in samples for s in per_thread), key=lambda s: s[3]["input_nodes"])
        assert taken
        # One replayed store grows through the cut points in order, so each cut is
        # reduced exactly as the racing call saw it.
        prefix = GraphStore()
        for how, outputs, got, rep in taken:
            cut = rep["input_nodes"]
            assert max(outputs) < cut <= len(final)
            while prefix.node_count() < cut:
                next_id = prefix.node_count()
                assert add_like(prefix, final[next_id]) == next_id
            if how == "report":
                assert prefix.reduction_report(outputs=outputs) == rep
                continue
            expected, expected_rep = prefix.reduce(outputs=outputs, maximal_fusion=how == "maximal")
            assert (expected.serialize(), expected.node_map()) == got
            assert expected_rep == rep
            assert reduction_faults(final[:cut], outputs, expected, rep) == []


@pytest.mark.parametrize("threads", THREAD_COUNTS)
def test_stepping_one_reducer_while_others_add(threads):
    steppers = max(1, threads // 2)
    for r in rounds():
        store = GraphStore()
        reducer = IncrementalReducer()

        def stepper(done):
            consumed = []
            while not done.is_set():
                consumed.append(reducer.step(store))
                assert reducer.total_work() <= reducer.watermark() <= store.node_count()
            return consumed

        adders, samples = run_adders_with(store, threads + steppers, [stepper] * steppers, r)
        check_ids(store, adders)
        total = sum(sum(c) for c in samples) + reducer.step(store)
        assert total == store.node_count() == reducer.watermark() == reducer.total_work()
        assert all(x >= 0 for c in samples for x in c)
        # Stepping in racing slices folds exactly like one step over the whole store.
        alone = IncrementalReducer()
        assert alone.step(store) == store.node_count()
        assert alone.canonical_count() == reducer.canonical_count()
        outputs = [store.node_count() - 1, 0]
        mine, mine_rep = reducer.finalize(store, outputs=outputs)
        theirs, theirs_rep = alone.finalize(store, outputs=outputs)
        assert (mine.serialize(), mine.node_map(), mine_rep) == (theirs.serialize(), theirs.node_map(), theirs_rep)


@pytest.mark.parametrize("threads", THREAD_COUNTS)
def test_finalize_while_others_add_and_step_equals_a_fresh_reducer_on_a_prefix(threads):
    cap = 2 if SLOW else 4
    for r in rounds():
        store = GraphStore()
        reducer = IncrementalReducer()

        def stepper(done):
            while not done.is_set():
                reducer.step(store)
            return []

        def finalizer(done):
            rng = random.Random(r)
            taken = []
            while len(taken) < cap and (not done.is_set() or not taken):
                n = store.node_count()
                if n == 0:
                    continue
                outputs = [n - 1, rng.randrange(n)]
                mf = rng.random() < 0.5
                reduced, rep = reducer.finalize(store, outputs=outputs, maximal_fusion=mf)
                taken.append((outputs, mf, reduced.serialize(), reduced.node_map(), rep))
            return taken

        adders, samples = run_adders_with(store, threads + 2, [stepper, finalizer], r)
        final = check_ids(store, adders)
        reducer.step(store)
        assert reducer.total_work() == reducer.watermark() == store.node_count()
        for outputs, mf, blob, node_map, rep in samples[1]:
            cut = len(node_map)          # the watermark the finalize call reached
            assert max(outputs) < cut <= len(final)
            fresh_reduced, fresh_rep = IncrementalReducer().finalize(replay(final[:cut]), outputs=outputs,
                                                                     maximal_fusion=mf)
            assert (fresh_reduced.serialize(), fresh_reduced.node_map(), fresh_rep) == (blob, node_map, rep)
            assert reduction_faults(final[:cut], outputs, fresh_reduced, rep, node_map_length=cut) == []


@pytest.mark.parametrize("threads", [2, 8])
def test_mixed_work_on_shared_objects(threads):
    """Every thread adds and, between adds, does any other call at random."""
    for r in rounds():
        store = GraphStore()
        reducer = IncrementalReducer()
        steps = []
        blobs = []

        def work(t):
            rng = random.Random(r * 1000 + t)
            adder = Adder(t, r * 100 + t)
            while adder.step(store):
                # Each of these costs time linear in the store; a few hundred per round
                # keep the round short.
                if rng.random() > 0.03:
                    continue
                n = store.node_count()
                what = rng.randrange(7)
                if what == 0:
                    steps.append(reducer.step(store))
                elif what == 1:
                    blobs.append(store.serialize())
                elif what == 2:
                    assert len(store.nodes()) >= n
                elif what == 3:
                    assert store.to_dot().count(" [label=") >= n
                elif what == 4:
                    reduced, rep = store.reduce(outputs=[n - 1], maximal_fusion=rng.random() < 0.5)
                    assert rep["input_nodes"] >= n and reduced.outputs() == [reduced.node_map()[n - 1][0]]
                elif what == 5:
                    reduced, rep = reducer.finalize(store, outputs=[n - 1])
                    assert len(reduced.node_map()) >= n
                else:
                    assert GraphStore.deserialize(store.serialize(outputs=[n - 1])).outputs() == [n - 1]
            return adder

        adders = run_threads(threads, work)
        final = check_ids(store, adders)
        for blob in blobs:
            copy = GraphStore.deserialize(blob)
            assert copy.nodes() == final[:copy.node_count()]
        assert sum(steps) + reducer.step(store) <= store.node_count() == reducer.watermark() == reducer.total_work()


@pytest.mark.parametrize("threads", [8])
def test_separate_stores_built_in_parallel_give_identical_results(threads):
    """Only the symbol interner is shared between stores; it must not leak into results."""
    def build_and_reduce(_):
        store = GraphStore()
        Adder(0, 7).run(store)
        n = store.node_count()
        outputs = [n - 1, n // 2, 3]
        reduced, rep = store.reduce(outputs=outputs)
        maximal, mrep = store.reduce(outputs=outputs, maximal_fusion=True)
        inc, irep = IncrementalReducer().finalize(store, outputs=outputs)
        return (store.serialize(), reduced.serialize(), reduced.node_map(), rep,
                maximal.serialize(), mrep, inc.serialize(), inc.node_map(), irep)

    expected = build_and_reduce(None)
    for _ in rounds():
        assert run_threads(threads, build_and_reduce) == [expected] * threads
