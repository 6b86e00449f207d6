"""A 1,000,000-deep op chain through every API: nothing may recurse on depth.

Every walk in the module (reachability, compaction, the engine's matching and
extraction, fusion, the blob reader, DOT and the views) has to be iterative; a
recursive one overflows the C stack long before a million levels. The chain mixes
plain unary ops with identity ops (add of 0.0), so both the rewrite engine and the
incremental reducer have work along the whole depth.

Deselect with -m "not deep"; the test command runs it.
"""

import pytest

from brantel_core import GraphStore, IncrementalReducer

pytestmark = [pytest.mark.deep, pytest.mark.thread_unsafe]

DEPTH = 1_000_000
IDENTITY_EVERY = 10     # every tenth op adds 0.0 and folds away


STEP_EVERY = 99_991     # the reducer steps while the chain grows, in uneven slices


@pytest.fixture(scope="module")
def built():
    s = GraphStore()
    r = IncrementalReducer()
    steps = []
    last = s.add_source("x")
    for i in range(DEPTH):
        if i % IDENTITY_EVERY == 0:
            last = s.add_op("add", [last], {"scalar": 0.0, "side": "r"})
        else:
            last = s.add_op("f", [last], {"k": i % 3})
        if i % STEP_EVERY == 0:
            steps.append(r.step(s))
    assert last == DEPTH
    return s, r, steps


@pytest.fixture(scope="module")
def chain(built):
    return built[0]


IDENTITIES = len(range(0, DEPTH, IDENTITY_EVERY))
KEPT = DEPTH - IDENTITIES


def test_views(chain):
    assert chain.node_count() == DEPTH + 1
    nodes = chain.nodes()
    assert len(nodes) == DEPTH + 1
    assert nodes[-1]["inputs"] == [DEPTH - 1] and nodes[0]["inputs"] == []
    del nodes
    dot = chain.to_dot()
    assert dot.count("\n") == 2 + (DEPTH + 1) + DEPTH
    assert dot.endswith(f"  n{DEPTH - 1} -> n{DEPTH};\n}}\n")
    assert chain.outputs() == [] and chain.node_map() == []


def test_blob_round_trip(chain):
    blob = chain.serialize(outputs=[DEPTH])
    copy = GraphStore.deserialize(blob)
    assert copy.node_count() == DEPTH + 1 and copy.outputs() == [DEPTH]
    assert copy.serialize() == blob


@pytest.mark.parametrize("maximal_fusion", [False, True])
def test_reduce(chain, maximal_fusion):
    reduced, report = chain.reduce(outputs=[DEPTH], maximal_fusion=maximal_fusion)
    # Each op has exactly one consumer, so the whole chain fuses into one stage
    # after the source; the identity ops leave no member.
    assert report == dict(input_nodes=DEPTH + 1, reachable_nodes=DEPTH + 1, canonical_nodes=KEPT + 1,
                          stages=1, reduced_nodes=2, boundary_nodes=1)
    source, stage = reduced.nodes()
    assert stage["n_members"] == KEPT and stage["inputs"] == [0] and source["kind"] == "source"
    node_map = reduced.node_map()
    assert len(node_map) == DEPTH + 1
    assert node_map[0] == (0, None) and node_map[DEPTH] == (1, KEPT - 1)
    # Reducing the reduced store again treats the stage as one opaque node.
    again, again_report = reduced.reduce()
    assert again_report["input_nodes"] == 2 and again.node_count() == 2
    assert GraphStore.deserialize(reduced.serialize()).serialize() == reduced.serialize()
    assert reduced.to_dot().count(" [label=") == 2


def test_incremental(built):
    chain, r, steps = built
    consumed = sum(steps) + r.step(chain)
    assert len(steps) > 5 and r.step(chain) == 0
    assert consumed == DEPTH + 1 == r.watermark() == r.total_work()
    assert r.canonical_count() == KEPT + 1
    reduced, report = r.finalize(chain, outputs=[DEPTH])
    expected, expected_report = chain.reduce(outputs=[DEPTH])
    assert report == dict(expected_report, input_nodes=KEPT + 1, reachable_nodes=KEPT + 1)
    assert reduced.serialize() == expected.serialize()
    assert len(reduced.node_map()) == DEPTH + 1
    maximal, _ = r.finalize(chain, outputs=[DEPTH], maximal_fusion=True)
    assert maximal.serialize() == expected.serialize()
