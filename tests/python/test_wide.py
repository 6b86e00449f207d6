"""Wide nodes whose inputs the engine rewrites: a join over 100,000 identities and a
join over every ordered pair of 317 commutative products.

Each branch merge queues the join for repair, so a reduction that re-canonicalised
the join per merge would take minutes here; these graphs finish in about a second.
What is checked is the result: every branch lands where its twin or its folded
input does, and the join reads exactly those placements.

Deselect with -m "not deep"; the test command runs it.
"""

import pytest

from brantel_core import GraphStore

pytestmark = [pytest.mark.deep, pytest.mark.thread_unsafe]


def join_of_identities(k):
    g = GraphStore()
    sources, branches = [], []
    for i in range(k):
        sources.append(g.add_source(f"s{i}"))
        branches.append(g.add_op("add", [sources[-1]], {"scalar": 0.0, "side": "r"}))
    return g, g.add_join(branches), list(zip(branches, sources)), k + 1, k


def join_of_all_pairs(k):
    g = GraphStore()
    sources = [g.add_source(f"s{i}") for i in range(k)]
    product = {(i, j): g.add_op("mul", [sources[i], sources[j]]) for i in range(k) for j in range(k) if i != j}
    join = g.add_join(list(product.values()))
    twins = [(product[i, j], product[j, i]) for i, j in product if i > j]
    return g, join, twins, k + k * (k - 1) // 2 + 1, k * (k - 1) // 2


@pytest.mark.parametrize(("build", "k", "nodes"), [(join_of_identities, 100_000, 200_001),
                                                     (join_of_all_pairs, 317, 100_490)])
def test_wide_join_reduces_to_its_merged_branches(build, k, nodes):
    g, join, same_place, kept, distinct_inputs = build(k)
    assert g.node_count() == nodes
    reduced, report = g.reduce(outputs=[join])
    assert reduced.node_count() == kept == report["reduced_nodes"]
    placement = reduced.node_map()
    assert all(placement[a] == placement[b] for a, b in same_place)
    join_node = reduced.nodes()[placement[join][0]]
    assert join_node["kind"] == "join"
    assert join_node["inputs"] == [placement[x][0] for x in g.nodes()[join]["inputs"]]
    assert len(set(join_node["inputs"])) == distinct_inputs
