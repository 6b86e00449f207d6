"""A new user's first typed script, checked by mypy --strict in every set-up
(PYTHONPATH and MYPYPATH in test_stubs.py, pip install in scripts/check-install),
and also run: the shapes it imports from brantel must match what the module returns.

Lines marked ``# type: ignore[code]`` must really be errors: --strict reports
unused ignores, so a stub that grew too permissive fails the check.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, get_args, get_type_hints

import brantel_core as bc
from brantel import DescriptorFields, NodeDict, ReportDict

store = bc.GraphStore()
x = store.add_source("x", {"path": "s3://bucket/x"})
params = {"scalar": 0.0, "side": "r"}  # inferred as dict[str, object]
store.add_op("add", [x], params)
built = {}
for i, key in enumerate(["low", "high"]):
    built[key] = i * 0.5
scaled = store.add_op("clip", [x], built)
typed: dict[str, float | str] = {"scalar": 1.0, "side": "l"}
store.add_op("mul", [scaled], typed)
desc: DescriptorFields = {"kind": "model", "content_hash": "h", "framework": "fw", "version": "1", "io_schema": "a->b"}
scored = store.add_external(desc, [scaled])


def schemas(nodes: list[NodeDict]) -> list[str]:
    # The kind narrows the union; no isinstance.
    return [n["descriptor"]["io_schema"] for n in nodes if n["kind"] == "external"]


reduced, report = store.reduce(outputs=[scored])
counts: ReportDict = report
assert schemas(store.nodes()) == ["a->b"]
assert set(get_type_hints(ReportDict)) == set(counts)
shapes = {get_args(get_type_hints(shape)["kind"])[0]: shape for shape in get_args(NodeDict)}
for node in store.nodes() + reduced.nodes():
    assert set(node) == set(get_type_hints(shapes[node["kind"]])), node

if TYPE_CHECKING:
    store.add_op("f", "01")  # type: ignore[arg-type]
    store.add_op("f", [x], [("k", 1)])  # type: ignore[call-overload]
    bc.GraphStore.deserialize(bytearray(b"BIR1"))  # type: ignore[arg-type]
    misspelt: DescriptorFields = {
        "kind": "k", "content_hash": "h", "framework": "f", "version": "v", "io_schema": "s",
        "preprocesing_ref": None,  # type: ignore[typeddict-unknown-key]
    }

print("typing user ok")
