"""The read-only views: node_count, nodes, outputs, node_map and to_dot."""

import math
import struct

import pytest

import blob_bytes as bb
from brantel_core import GraphStore, PayloadDescriptor

BASE_KEYS = ["id", "output", "inputs", "kind", "name", "params"]


def with_outputs(store, outputs):
    """Output marks come only from a blob or a reduction."""
    return GraphStore.deserialize(store.serialize(outputs=outputs))


def bits(x):
    return struct.pack("<d", x)


def test_empty_store():
    s = GraphStore()
    assert (s.nodes(), s.outputs(), s.node_map(), s.node_count()) == ([], [], [], 0)
    assert s.to_dot() == "digraph brantel {\n}\n"


def test_dot_of_a_source_and_a_marked_op():
    s = GraphStore()
    a = s.add_source("a")
    s.add_op("f", [a], {"m": "x", "k": 1.5})
    assert with_outputs(s, [1]).to_dot() == (
        "digraph brantel {\n"
        '  n0 [label="Source a"];\n'
        '  n1 [label="Op f {k=1.5, m=\\"x\\"}", shape=doublecircle];\n'
        "  n0 -> n1;\n"
        "}\n")


def node_label(add):
    """The DOT label text of the one node `add` puts into a store holding a source 0."""
    s = GraphStore()
    s.add_source("src")
    add(s)
    head = 'digraph brantel {\n  n0 [label="Source src"];\n  n1 [label="'
    dot = s.to_dot()
    assert dot.startswith(head)
    # The label may hold newlines; the node line ends where the edge lines begin.
    label, end, _ = dot[len(head):].rpartition('"];\n  n0 -> n1;\n')
    assert end
    return label


D = PayloadDescriptor(kind="model", content_hash="abc", framework="torch", version="2.1", io_schema="s")


@pytest.mark.parametrize("add, label", [
    (lambda s: s.add_join([0, 0]), "Join"),
    (lambda s: s.add_join([0, 0], {"how": "inner"}), 'Join {how=\\"inner\\"}'),
    (lambda s: s.add_op("", [0]), "Op "),
    (lambda s: s.add_reduction("sum", [0], {"axis": -1}), "Reduction sum {axis=-1}"),
    (lambda s: s.add_exchange([0]), "Exchange"),
    (lambda s: s.add_exchange([0], {"b": True, "a": False}), "Exchange {a=false, b=true}"),
    (lambda s: s.add_external(D, [0]), "External model:abc [torch 2.1]"),
    (lambda s: s.add_external(D, [0], {"n": 4}), "External model:abc [torch 2.1] {n=4}"),
    (lambda s: s.add_op('a"b\\c', [0]), 'Op a\\"b\\\\c'),
    (lambda s: s.add_op("two\nlines|x", [0]), "Op two\nlines|x"),
    (lambda s: s.add_op("f", [0], {"s": 'q"\t'}), 'Op f {s=\\"q\\\\\\"\\\\t\\"}'),
])
def test_dot_labels(add, label):
    assert node_label(add) == label


@pytest.mark.parametrize("value, shown", [
    (1.0, "1"),
    (0.5, "0.5"),
    (1e21, "1000000000000000000000"),
    (-0.0, "-0"),
    (float("nan"), "NaN"),
    (float("inf"), "inf"),
    (float("-inf"), "-inf"),
    (0.1, "0.1"),
    (1e-7, "0.0000001"),
])
def test_dot_float_display(value, shown):
    assert node_label(lambda s: s.add_exchange([0], {"v": value})) == f"Exchange {{v={shown}}}"


def test_dot_edges_follow_ids_and_input_order_with_duplicates():
    s = GraphStore()
    a, b = s.add_source("a"), s.add_source("b")
    s.add_join([b, a, b])
    assert s.to_dot().splitlines()[4:] == ["  n1 -> n2;", "  n0 -> n2;", "  n1 -> n2;", "}"]


def test_nodes_dicts_for_every_kind_added_from_python():
    s = GraphStore()
    a = s.add_source("a", {"n": 1})
    f = s.add_op("f", [a], {"k": 1.5, "m": "x"})
    r = s.add_reduction("sum", [f])
    e = s.add_external(D, [a, r], {"z": False})
    x = s.add_exchange([e], {"by": "key"})
    j = s.add_join([x, a])
    nodes = s.nodes()
    assert [list(n) for n in nodes] == [BASE_KEYS] * 3 + [BASE_KEYS + ["descriptor"]] + [BASE_KEYS] * 2
    assert nodes == [
        {"id": a, "output": False, "inputs": [], "kind": "source", "name": "a", "params": {"n": 1}},
        {"id": f, "output": False, "inputs": [a], "kind": "op", "name": "f", "params": {"k": 1.5, "m": "x"}},
        {"id": r, "output": False, "inputs": [f], "kind": "reduction", "name": "sum", "params": {}},
        {"id": e, "output": False, "inputs": [a, r], "kind": "external", "name": "", "params": {"z": False},
         "descriptor": {"kind": "model", "content_hash": "abc", "framework": "torch", "version": "2.1",
                        "io_schema": "s", "preprocessing_ref": None}},
        {"id": x, "output": False, "inputs": [e], "kind": "exchange", "name": "", "params": {"by": "key"}},
        {"id": j, "output": False, "inputs": [x, a], "kind": "join", "name": "", "params": {}},
    ]
    assert list(nodes[3]["descriptor"]) == [
        "kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"]
    assert list(nodes[1]["params"]) == ["k", "m"]


def test_param_keys_are_in_byte_order_and_floats_keep_their_bits():
    nan_payload = struct.unpack("<d", struct.pack("<Q", 0xFFF0000000000042))[0]
    s = GraphStore()
    s.add_source("a", {"b": 1, "ab": -0.0, "a": nan_payload, "B": 2, "é": 3})
    params = s.nodes()[0]["params"]
    assert list(params) == ["B", "a", "ab", "b", "é"]
    assert bits(params["ab"]) == bits(-0.0)
    assert math.isnan(params["a"]) and bits(params["a"]) == bits(nan_payload)


def stage_store(labels_and_args, outputs=(1,)):
    members = list(labels_and_args)
    return GraphStore.deserialize(bb.blob([bb.source("x"), bb.stage([0], members)], outputs))


def test_stage_nodes_show_their_parsed_members():
    s = stage_store([
        ("op|a", [(0, 0)]),
        ("op|b|k=f3ff0000000000000;s=sa%3Db", [(1, 0)]),
        ("red|sum|axis=i0", [(0, 0), (1, 1)]),
    ])
    stage = s.nodes()[1]
    assert list(stage) == BASE_KEYS + ["n_members", "members"]
    assert stage["output"] is True and stage["name"] == "" and stage["params"] == {}
    assert stage["n_members"] == 3
    assert stage["members"] == [
        {"kind": "op", "name": "a", "params": {}, "inputs": [("input", 0)]},
        {"kind": "op", "name": "b", "params": {"k": 1.0, "s": "a=b"}, "inputs": [("member", 0)]},
        {"kind": "red", "name": "sum", "params": {"axis": 0}, "inputs": [("input", 0), ("member", 1)]},
    ]
    assert list(stage["members"][0]) == ["kind", "name", "params", "inputs"]
    assert s.to_dot().splitlines()[2] == '  n1 [label="Stage[3 members]", shape=doublecircle];'


@pytest.mark.parametrize("label, shown", [
    ("src|a", '"src|a"'),
    ("op", '"op"'),
    ("op|f|k=i9223372036854775808", '"op|f|k=i9223372036854775808"'),
    ('red|x|\t"\\', '"red|x|\\t\\"\\\\"'),
])
def test_unparseable_members_fail_the_whole_view(label, shown):
    s = stage_store([("op|ok", [(0, 0)]), (label, [(1, 0)])])
    with pytest.raises(ValueError) as e:
        s.nodes()
    assert str(e.value) == "unparseable stage member token " + shown
    # The other views still work.
    assert s.node_count() == 2 and s.outputs() == [1]


def test_outputs_keep_mark_order_without_repeats():
    s = GraphStore()
    for name in "abc":
        s.add_source(name)
    t = GraphStore.deserialize(s.serialize(outputs=[2, 0, 2]))
    assert t.outputs() == [2, 0]
    assert [n["output"] for n in t.nodes()] == [True, False, True]
    assert s.outputs() == [] and s.node_map() == []


def test_node_map_of_a_reduced_store():
    s = GraphStore()
    a = s.add_source("a")
    f = s.add_op("f", [a])
    s.add_op("unused", [a])
    reduced, _ = s.reduce(outputs=[f])
    assert reduced.node_map() == [(0, None), (1, 0), None]
