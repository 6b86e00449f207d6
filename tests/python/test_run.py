"""Running stores on dask: the same answers before and after reduction, and bad input."""

import os
import pickle
import sys
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import blob_bytes as bb
import partitioned
from workload import under_sanitizer
from brantel import MissingImplementationError, NodeError, fingerprint, lower, run
from brantel_core import GraphStore, IncrementalReducer

pytest.importorskip("dask")

# Hypothesis keeps per-test state, and the cluster test owns processes and ports.
pytestmark = pytest.mark.thread_unsafe

REGISTRY = partitioned.registry()
IDENTITIES = [("add", {"scalar": 0.0, "side": "r"}), ("add", {"scalar": 0.0, "side": "l"}),
              ("mul", {"scalar": 1.0, "side": "r"}), ("mul", {"scalar": 1.0, "side": "l"})]


@st.composite
def pipelines(draw):
    """A random add-built store over the registry's vocabulary, and its outputs."""
    store = GraphStore()
    ids = [store.add_source("range", {"seed": s, "rows": draw(st.integers(0, 4))})
           for s in range(draw(st.integers(1, 3)))]
    pairs = []

    def pick():
        return ids[draw(st.integers(0, len(ids) - 1))]

    for _ in range(draw(st.integers(1, 20))):
        what = draw(st.sampled_from(["unary", "identity", "binary", "binary", "reduction", "external",
                                     "exchange", "join"]))
        if what == "unary":
            name = draw(st.sampled_from(["scale", "keep"]))
            ids.append(store.add_op(name, [pick()], {"k": draw(st.integers(-2, 3))} if name == "scale"
                                    else {"m": draw(st.integers(2, 4))}))
        elif what == "identity":
            name, params = draw(st.sampled_from(IDENTITIES))
            ids.append(store.add_op(name, [pick()], params))
        elif what == "binary":
            if pairs and draw(st.booleans()):
                name, a, b = draw(st.sampled_from(pairs))
                ids.append(store.add_op(name, [b, a]))  # the other operand order
            else:
                name, a, b = draw(st.sampled_from(partitioned.COMMUTATIVE + ("sub",))), pick(), pick()
                pairs.append((name, a, b))
                ids.append(store.add_op(name, [a, b]))
        elif what == "reduction":
            ids.append(store.add_reduction(draw(st.sampled_from(["sum", "count", "max"])), [pick(), pick()]))
        elif what == "external":
            hash_ = draw(st.sampled_from(["h1", "sha256:ab"]))
            ids.append(store.add_external({"kind": "model", "content_hash": hash_, "framework": "f",
                                           "version": "1", "io_schema": "x->y"}, [pick()]))
        elif what == "exchange":
            ids.append(store.add_exchange([pick()], {"scheme": "hash"}))
        else:
            ids.append(store.add_join([pick(), pick()], {"how": "inner"}))
    # The last node reads the most; a reduction over it makes every partition count.
    last = store.add_reduction("sum", [ids[-1], pick()])
    return store, [last, *draw(st.lists(st.sampled_from(ids), max_size=2))]


def variants(store, outputs):
    """(name, store, outputs) for the store and each reduced or round-tripped form of it."""
    yield "source", store, outputs
    yield "source, blob round trip", GraphStore.deserialize(store.serialize()), outputs
    for name, (reduced, _) in [("single-use", store.reduce(outputs=outputs)),
                               ("maximal", store.reduce(outputs=outputs, maximal_fusion=True)),
                               ("incremental", IncrementalReducer().finalize(store, outputs=outputs))]:
        mapped = [reduced.node_map()[o][0] for o in outputs]
        yield name, reduced, mapped
        if name == "maximal":
            yield "maximal, blob round trip", GraphStore.deserialize(reduced.serialize()), mapped


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(pipelines(), st.sampled_from([1, 3]), st.sampled_from(["sync", "threads"]))
def test_every_form_of_a_pipeline_computes_the_same_outputs(pipeline, partitions, scheduler):
    store, outputs = pipeline
    expected = partitioned.interpret(store.nodes(), outputs, REGISTRY, partitions)
    for name, form, outs in variants(store, outputs):
        got = run(form, REGISTRY, partitions=partitions, outputs=outs, scheduler=scheduler, fan_in=2)
        assert got == expected, name


def stage_store():
    """A source, one fused stage of three ops, a sum over it: the reduced worked example."""
    s = GraphStore()
    x = s.add_source("range", {"seed": 1, "rows": 4})
    a = s.add_op("scale", [x], {"k": 2})
    b = s.add_op("fail", [a])
    c = s.add_op("keep", [b], {"m": 2})
    total = s.add_reduction("sum", [c])
    return s, total


def test_a_missing_implementation_names_every_node_and_stage_member_before_running():
    s, total = stage_store()
    s.add_op("also_missing", [total])
    reduced, _ = s.reduce(outputs=[total, s.node_count() - 1])
    with pytest.raises(MissingImplementationError) as e:
        lower(reduced, REGISTRY, partitions=2)
    assert e.value.missing == ["op 'fail' (node 1, member 1)", "op 'also_missing' (node 3, member 0)"]


def importable_by_workers(monkeypatch):
    """Worker processes are fresh interpreters: they find this folder and the package as we do."""
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(p for p in sys.path if p))


@pytest.mark.parametrize("scheduler", ["sync", "threads", "processes"])
def test_a_failing_implementation_names_its_node_and_partition_with_the_cause(scheduler, monkeypatch):
    importable_by_workers(monkeypatch)
    s, total = stage_store()
    reg = partitioned.registry().op("fail", partitioned.op_fail)
    reduced, _ = s.reduce(outputs=[total])
    with pytest.raises(NodeError) as e:
        run(reduced, reg, partitions=1, scheduler=scheduler)
    assert str(e.value) == "op 'fail' (node 1, member 1) failed on partition 0"
    assert isinstance(e.value.__cause__, ZeroDivisionError)
    back = pickle.loads(pickle.dumps(e.value))  # how processes and clusters return it
    assert str(back) == str(e.value) and isinstance(back.__cause__, ZeroDivisionError)


def test_keys_name_the_node_and_partition_and_reductions_combine_as_a_tree():
    s, total = stage_store()
    reduced, _ = s.reduce(outputs=[total])
    registry = partitioned.registry().op("fail", partitioned.op_fail)
    lowered = lower(reduced, registry, partitions=5, fan_in=2, token="t")
    labels = {key[0] for key in lowered.graph}
    assert labels == {"source:range#0@t", "stage:scale+fail+keep#1@t", "reduction:sum#2@t/chunk",
                      "reduction:sum#2@t/combine1", "reduction:sum#2@t/combine2", "reduction:sum#2@t"}
    assert len(lowered.graph) == 5 + 5 + 5 + 3 + 2 + 1
    assert lowered.outputs[0].keys == [("reduction:sum#2@t", 0)]
    # A cluster keeps results by key: two lowerings must not share one.
    assert not set(lowered.graph) & set(lower(reduced, registry, partitions=5, fan_in=2).graph)


@pytest.mark.parametrize("args, message", [
    (dict(partitions=0), "partitions must be at least 1, not 0"),
    (dict(partitions=2, outputs=[9]), "no node with id 9"),
    (dict(partitions=2, outputs=[-1]), "no node with id -1"),
    (dict(partitions=2, scheduler="fast"), "scheduler must be 'sync', 'threads', 'processes' or a "
                                           "dask.distributed.Client, not 'fast'"),
])
def test_bad_arguments_are_refused(args, message):
    s = GraphStore()
    x = s.add_source("range", {"seed": 0, "rows": 1})
    with pytest.raises(ValueError) as e:
        run(s, REGISTRY, **{"outputs": [x], **args})
    assert str(e.value) == message


SOURCE = bb.source("range", [bb.int_param("rows", 1), bb.int_param("seed", 0)])


@pytest.mark.parametrize("blob, message", [
    (bb.blob([SOURCE, bb.exchange([0, 0])], [1]), "exchange node 1 has 2 inputs; an exchange takes exactly one"),
    (bb.blob([SOURCE, bb.stage([0], [("op|scale|k=i1", [(0, 7)])])], [1]),
     "stage node 1: member 0 refers to input 7, which it cannot read"),
    (bb.blob([SOURCE, bb.stage([0], [])], [1]), "stage node 1 has no members"),
], ids=["exchange of two", "stage input out of range", "empty stage"])
def test_a_malformed_blob_is_refused_before_running(blob, message):
    store = GraphStore.deserialize(blob)
    with pytest.raises(ValueError) as e:
        lower(store, REGISTRY, partitions=2)
    assert str(e.value) == message
    if "refers to" in message:  # nothing to hash there either
        with pytest.raises(ValueError, match="cannot read"):
            fingerprint(store)


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.timeout(180)
# Worker processes inherit the sanitizer runtime and start too slowly under it;
# the cluster runs no module code that the in-process schedulers do not.
@pytest.mark.skipif(under_sanitizer(), reason="worker processes under a sanitizer runtime")
def test_a_two_worker_cluster_computes_the_same_and_leaves_no_workers(monkeypatch):
    # On interpreters its C-extension dependencies were not built for, it fails to import.
    distributed = pytest.importorskip("distributed", exc_type=ImportError)
    importable_by_workers(monkeypatch)
    store, _ = stage_store()  # dead here, so its unregistered "fail" needs no implementation
    reg = partitioned.registry()
    x = store.add_exchange([store.add_source("range", {"seed": 3, "rows": 5})], {"scheme": "hash"})
    y = store.add_join([x, store.add_op("scale", [x], {"k": 3})], {"how": "inner"})
    outs = [store.add_reduction("max", [y]), y]
    expected = partitioned.interpret(store.nodes(), outs, reg, 4)
    loopback = "127.0.0.1"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host=loopback,
                                  dashboard_address=f"{loopback}:0",
                                  worker_dashboard_address=f"{loopback}:0") as cluster:
        with distributed.Client(cluster, timeout=60) as client:
            pids = list(client.run(os.getpid).values())
            for _, form, mapped in variants(store, outs):
                assert run(form, reg, partitions=4, outputs=mapped, scheduler=client) == expected
    deadline = time.monotonic() + 10
    while any(map(alive, pids)) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert len(pids) == 2 and not any(map(alive, pids))


def test_a_stage_with_a_reduction_member_runs_member_by_member():
    # Only a hand-written blob can hold one; it computes what the unfused chain does.
    stage = bb.stage([0], [("op|scale|k=i2", [(0, 0)]), ("red|sum", [(1, 0)]), ("op|scale|k=i3", [(1, 1)])])
    fused = GraphStore.deserialize(bb.blob([SOURCE, stage], [1]))
    s = GraphStore()
    x = s.add_source("range", {"seed": 0, "rows": 1})
    out = s.add_op("scale", [s.add_reduction("sum", [s.add_op("scale", [x], {"k": 2})])], {"k": 3})
    expected = partitioned.interpret(s.nodes(), [out], REGISTRY, 3)
    assert run(fused, REGISTRY, partitions=3, scheduler="sync") == expected
    assert isinstance(expected[0], int)
