"""GraphStore.reduce, reduce_incremental and reduction_report through Python."""

import pytest

from brantel_core import GraphStore, PayloadDescriptor

REPORT_KEYS = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"]
ZERO_ONE = {"scalar": 0.0, "side": "r"}


def report(*values):
    return dict(zip(REPORT_KEYS, values))


def member(name, *inputs, kind="op", params=None):
    return {"kind": kind, "name": name, "params": params or {}, "inputs": list(inputs)}


def worked_example():
    s = GraphStore()
    a = s.add_source("a")
    f = s.add_op("f", [a])
    g = s.add_op("g", [f])
    s.add_op("h", [a])
    total = s.add_reduction("sum", [g])
    return s, total


@pytest.mark.parametrize("maximal_fusion", [False, True])
def test_the_worked_example(maximal_fusion):
    s, total = worked_example()
    before = s.serialize()
    reduced, rep = s.reduce(maximal_fusion=maximal_fusion, outputs=[total])
    assert rep == report(5, 4, 4, 1, 3, 2)
    assert list(rep) == REPORT_KEYS
    nodes = reduced.nodes()
    assert [(n["kind"], n["inputs"], n["output"]) for n in nodes] == [
        ("source", [], False), ("stage", [0], False), ("reduction", [1], True)]
    assert nodes[1]["members"] == [member("f", ("input", 0)), member("g", ("member", 0))]
    assert reduced.outputs() == [2]
    assert reduced.node_map() == [(0, None), (1, 0), (1, 1), None, (2, None)]
    # The source store is not changed.
    assert s.serialize() == before and s.outputs() == [] and s.node_map() == []


def test_the_three_entry_points_agree():
    s, total = worked_example()
    reduced, rep = s.reduce(outputs=[total])
    again, rep2 = s.reduce(outputs=[total])
    inc, rep3 = s.reduce_incremental(outputs=[total])
    assert rep == rep2 == rep3 == s.reduction_report(outputs=[total])
    assert reduced.serialize() == again.serialize() == inc.serialize()
    assert reduced.node_map() == inc.node_map()


@pytest.mark.parametrize("call", [
    lambda s: s.reduce(outputs=[])[1],
    lambda s: s.reduce()[1],
    lambda s: s.reduce_incremental()[1],
    lambda s: s.reduction_report(),
    lambda s: s.reduction_report(outputs=()),
])
def test_no_outputs_reduce_to_nothing(call):
    s, _ = worked_example()
    assert call(s) == report(5, 0, 0, 0, 0, 0)
    reduced, _ = s.reduce(outputs=[])
    assert reduced.node_count() == 0 and reduced.outputs() == []
    assert reduced.node_map() == [None] * 5


@pytest.mark.parametrize("call", [
    lambda s: s.reduce(outputs=[0, 5]),
    lambda s: s.reduce_incremental(outputs=[5]),
    lambda s: s.reduction_report(outputs=[5, 9]),
])
def test_an_unknown_output_fails_before_any_work(call):
    s = GraphStore()
    for name in "abc":
        s.add_source(name)
    with pytest.raises(ValueError) as e:
        call(s)
    assert str(e.value) == "no node with id 5"


def test_outputs_keep_their_order_and_collapse_when_they_meet():
    s = GraphStore()
    a = s.add_source("a")
    s.add_source("b")
    f = s.add_op("f", [a])
    reduced, _ = s.reduce(outputs=[f, a, f])
    assert reduced.outputs() == [1, 0]
    double = s.add_op("add", [a], ZERO_ONE)
    reduced, _ = s.reduce(outputs=[double, a])
    assert reduced.outputs() == [0]


def test_stored_marks_are_the_default_roots():
    s, total = worked_example()
    marked = GraphStore.deserialize(s.serialize(outputs=[total]))
    assert marked.reduce()[1] == s.reduce(outputs=[total])[1]
    assert marked.reduce(outputs=[0])[1] == report(5, 1, 1, 0, 1, 1)


def test_identities_leave_no_term_of_their_own():
    s = GraphStore()
    x = s.add_source("x")
    plus = s.add_op("add", [x], {"scalar": 0.0, "side": "r"})
    times = s.add_op("mul", [plus], {"scalar": 1.0, "side": "l"})
    neg = s.add_op("neg", [times])
    reduced, rep = s.reduce(outputs=[neg])
    node_map = reduced.node_map()
    assert node_map[plus] == node_map[times] == node_map[x]
    assert rep["canonical_nodes"] == 2
    # An int scalar is no identity.
    t = GraphStore()
    y = t.add_source("y")
    kept = t.add_op("add", [y], {"scalar": 0, "side": "r"})
    assert t.reduce(outputs=[kept])[1]["canonical_nodes"] == 2


def test_commuted_inputs_meet():
    s = GraphStore()
    a, b = s.add_source("a"), s.add_source("b")
    ab, ba = s.add_op("add", [a, b]), s.add_op("add", [b, a])
    sub_ab, sub_ba = s.add_op("sub", [a, b]), s.add_op("sub", [b, a])
    out = s.add_join([ab, ba, sub_ab, sub_ba])
    reduced, _ = s.reduce(outputs=[out])
    m = reduced.node_map()
    assert m[ab] == m[ba]
    assert m[sub_ab] != m[sub_ba]


def test_externals_with_one_descriptor_stay_apart():
    d = PayloadDescriptor(kind="m", content_hash="h", framework="f", version="1", io_schema="s")
    s = GraphStore()
    a, b = s.add_source("a"), s.add_source("b")
    ea, eb = s.add_external(d, [a]), s.add_external(d, [b])
    reduced, rep = s.reduce(outputs=[ea, eb])
    assert rep["boundary_nodes"] == 4 and rep["stages"] == 0
    assert [n["inputs"] for n in reduced.nodes() if n["kind"] == "external"] == [[0], [1]]


def fan_out():
    s = GraphStore()
    x = s.add_source("x")
    a = s.add_op("a", [x])
    b, c = s.add_op("b", [a]), s.add_op("c", [a])
    d = s.add_op("d", [b, c])
    return s, d


def stage_members(store):
    return [[m["name"] for m in n["members"]] for n in store.nodes() if n["kind"] == "stage"]


def test_fusion_rules():
    s, d = fan_out()
    assert stage_members(s.reduce(outputs=[d])[0]) == [["a"], ["b", "c", "d"]]
    assert stage_members(s.reduce(maximal_fusion=True, outputs=[d])[0]) == [["a", "b", "c", "d"]]

    t = GraphStore()
    x = t.add_source("x")
    a = t.add_op("a", [x])
    square = t.add_op("mul", [a, a])
    assert stage_members(t.reduce(outputs=[square])[0]) == [["a"], ["mul"]]
    assert stage_members(t.reduce(maximal_fusion=True, outputs=[square])[0]) == [["a", "mul"]]


def test_an_op_never_fuses_into_an_opaque_consumer():
    s = GraphStore()
    x = s.add_source("x")
    a = s.add_op("a", [x])
    r = s.add_reduction("sum", [a], {"axis": 0})
    reduced, rep = s.reduce(outputs=[r])
    assert rep == report(3, 3, 3, 1, 3, 2)
    assert [n["kind"] for n in reduced.nodes()] == ["source", "stage", "reduction"]
    assert reduced.nodes()[2]["params"] == {"axis": 0}


def test_a_reduced_store_reduces_again():
    s, d = fan_out()
    reduced, _ = s.reduce(outputs=[d])
    again, rep = reduced.reduce()
    assert rep == report(3, 3, 3, 0, 3, 3)
    assert stage_members(again) == stage_members(reduced)
    assert again.node_map() == [(0, None), (1, None), (2, None)]
