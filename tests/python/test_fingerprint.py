"""brantel.fingerprint: equal for one pipeline however it is built, different for any one change."""

import copy
import subprocess
import sys

import pytest

from brantel import fingerprint
from brantel_core import GraphStore

DESC = {"kind": "onnx", "content_hash": "sha256:9f", "framework": "ort", "version": "1.18",
        "io_schema": "x->y", "preprocessing_ref": None}
# (name, kind, op name or descriptor, params, inputs by name), in a topological order.
BASE = [
    ("a", "source", "clicks", {"day": 1}, []),
    ("b", "source", "orders", {"day": 1}, []),
    ("p", "op", "parse", {"schema": "v1"}, ["a"]),
    ("q", "op", "parse", {"schema": "v2"}, ["b"]),
    ("m", "op", "mul", {}, ["p", "q"]),
    ("d", "op", "sub", {}, ["p", "q"]),
    ("x", "exchange", None, {"scheme": "hash"}, ["d"]),
    ("j", "join", None, {"how": "left"}, ["m", "x"]),
    ("e", "external", DESC, {"batch": 8}, ["j"]),
    ("r", "reduction", "sum", {"axis": 0}, ["e"]),
]
OUTPUTS = ["r", "m"]


def build(rows, order=None, noise=False, outputs=OUTPUTS):
    """The store and its output ids; ``order`` permutes the adds, ``noise`` adds unrelated nodes first."""
    s = GraphStore()
    if noise:
        junk = s.add_source("junk")
        s.add_op("parse", [s.add_op("mul", [junk, junk])], {"schema": "v1"})
    ids = {}
    by_name = {row[0]: row for row in rows}
    for name in order or [row[0] for row in rows]:
        _, kind, what, params, inputs = by_name[name]
        ins = [ids[i] for i in inputs]
        if kind == "source":
            ids[name] = s.add_source(what, params)
        elif kind == "op":
            ids[name] = s.add_op(what, ins, params)
        elif kind == "reduction":
            ids[name] = s.add_reduction(what, ins, params)
        elif kind == "external":
            ids[name] = s.add_external(what, ins, params)
        elif kind == "exchange":
            ids[name] = s.add_exchange(ins, params)
        else:
            ids[name] = s.add_join(ins, params)
    return s, [ids[o] for o in outputs]


def changed(name, field, value):
    rows = copy.deepcopy(BASE)
    i = next(k for k, row in enumerate(rows) if row[0] == name)
    row = list(rows[i])
    row[["name", "kind", "what", "params", "inputs"].index(field)] = value
    rows[i] = tuple(row)
    return rows


def with_desc(**fields):
    return changed("e", "what", {**DESC, **fields})


VARIANTS = {
    "source name": changed("a", "what", "clickz"),
    "param int value": changed("a", "params", {"day": 2}),
    "param float type": changed("a", "params", {"day": 1.0}),
    "param bool type": changed("a", "params", {"day": True}),
    "param str type": changed("a", "params", {"day": "1"}),
    "param key": changed("a", "params", {"dày": 1}),
    "extra param": changed("a", "params", {"day": 1, "hour": 0}),
    "no params": changed("a", "params", {}),
    "op name": changed("p", "what", "parse2"),
    "op to reduction": changed("p", "kind", "reduction"),
    "non-commutative input order": changed("d", "inputs", ["q", "p"]),
    "commutative op with params: input order": changed("m", "params", {"k": 1}),
    "repeated input": changed("m", "inputs", ["p", "p"]),
    "extra input": changed("d", "inputs", ["p", "q", "q"]),
    "other input": changed("x", "inputs", ["m"]),
    "exchange to join": changed("x", "kind", "join"),
    "scheme": changed("x", "params", {"scheme": "range"}),
    "join input order": changed("j", "inputs", ["x", "m"]),
    "descriptor kind": with_desc(kind="torch"),
    "descriptor content_hash": with_desc(content_hash="sha256:a0"),
    "descriptor framework": with_desc(framework="ort2"),
    "descriptor version": with_desc(version="1.19"),
    "descriptor io_schema": with_desc(io_schema="x->z"),
    "descriptor preprocessing_ref empty": with_desc(preprocessing_ref=""),
    "descriptor preprocessing_ref set": with_desc(preprocessing_ref="norm@3"),
    "string split differently": with_desc(framework="or", version="t1.18"),
    "reduction param": changed("r", "params", {"axis": 1}),
}


def test_one_pipeline_has_one_fingerprint_however_built_and_stored():
    s, outs = build(BASE)
    want = fingerprint(s, outs)
    order = ["b", "q", "a", "p", "d", "x", "m", "j", "e", "r"]
    other, other_outs = build(BASE, order=order, noise=True)
    swapped, swapped_outs = build(changed("m", "inputs", ["q", "p"]), noise=True)
    back = GraphStore.deserialize(s.serialize(outputs=outs))
    assert other_outs != outs
    assert fingerprint(other, other_outs) == fingerprint(swapped, swapped_outs) == want
    assert fingerprint(back) == fingerprint(s, outs + outs) == want
    assert len(want) == 64 and int(want, 16) >= 0


def test_every_one_change_variant_differs_from_the_rest():
    s, outs = build(BASE)
    prints = {"base": fingerprint(s, outs), "outputs reordered": fingerprint(s, outs[::-1]),
              "one output": fingerprint(s, outs[:1])}
    for what, rows in VARIANTS.items():
        prints[what] = fingerprint(*build(rows))
    assert len(set(prints.values())) == len(prints), prints


@pytest.mark.parametrize("maximal", [False, True])
def test_reduced_stores_fingerprint_their_stages(maximal):
    # Stages hold members: a change inside one must show, a rebuild must not.
    prints = set()
    for rows in [BASE, VARIANTS["op name"], VARIANTS["non-commutative input order"]]:
        s, outs = build(rows)
        reduced, _ = s.reduce(outputs=outs, maximal_fusion=maximal)
        other, other_outs = build(rows, order=["b", "q", "a", "p", "m", "d", "x", "j", "e", "r"], noise=True)
        again, _ = other.reduce(outputs=other_outs, maximal_fusion=maximal)
        assert any(n["kind"] == "stage" for n in reduced.nodes())
        assert fingerprint(reduced) == fingerprint(again) == fingerprint(GraphStore.deserialize(reduced.serialize()))
        prints.add(fingerprint(reduced))
    assert len(prints) == 3


def test_an_unknown_output_is_refused():
    s, _ = build(BASE)
    with pytest.raises(ValueError, match="^no node with id 10$"):
        fingerprint(s, [0, 10])


def test_the_command_prints_the_fingerprint(tmp_path):
    s, outs = build(BASE)
    path = tmp_path / "p.bir"
    path.write_bytes(s.serialize(outputs=outs))

    def brantel(*args):
        return subprocess.run([sys.executable, "-m", "brantel", "fingerprint", str(path), *args],
                              capture_output=True, text=True, timeout=120)

    marks, chosen, bad = brantel(), brantel("--outputs", str(outs[1])), brantel("--outputs", "99")
    assert (marks.returncode, marks.stdout) == (0, fingerprint(s, outs) + "\n")
    assert (chosen.returncode, chosen.stdout) == (0, fingerprint(s, outs[1:]) + "\n")
    assert bad.returncode == 2 and "no node with id 99" in bad.stderr
