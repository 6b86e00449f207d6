"""Typed use of brantel_core, checked by mypy --strict in test_stubs.py and also run.

Lines marked ``# type: ignore[code]`` must really be errors: --strict warns about
unused ignores, so a stub that grew too permissive fails the check.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, assert_type

import brantel_core as bc

if TYPE_CHECKING:
    from brantel_core import MemberDict, NodeDict, NodeMapEntry, ReportDict


def build() -> tuple[bc.GraphStore, list[int]]:
    store = bc.GraphStore()
    src = store.add_source("events", {"day": 3, "topic": "clicks"})
    weights: dict[str, float] = {"scalar": 1.0}
    scaled = store.add_op("scale", [src], weights)
    ident = store.add_op("add", (scaled,), {"scalar": 0.0, "side": "r"})
    both = store.add_op("mul", range(scaled, ident + 1))
    desc = bc.PayloadDescriptor(
        kind="onnx", content_hash="sha256:00", framework="onnxruntime", version="1.18", io_schema="f->s"
    )
    scored = store.add_external(desc, [both], {"batch": 64})
    again = store.add_external(
        {"kind": "onnx", "content_hash": "sha256:00", "framework": "onnxruntime", "version": "1.18",
         "io_schema": "f->s", "preprocessing_ref": None},
        [both],
        {"batch": 64},
    )
    assert again == scored
    part = store.add_exchange([scored], {"scheme": "hash", "partitions": 8})
    joined = store.add_join([part, src])
    total = store.add_reduction("sum", [joined], {"axis": 0, "exact": True})
    return store, [total, both]


def inspect(store: bc.GraphStore) -> list[str]:
    seen: list[str] = []
    nodes: list[NodeDict] = store.nodes()
    for node in nodes:
        assert_type(node["id"], int)
        assert_type(node["inputs"], list[int])
        # The kind narrows the dict to the one shape with the extra keys.
        if node["kind"] == "external":
            assert_type(node["descriptor"]["preprocessing_ref"], str | None)
            seen.append(node["descriptor"]["framework"])
        elif node["kind"] == "stage":
            members: list[MemberDict] = node["members"]
            for m in members:
                for ref, index in m["inputs"]:
                    assert ref in ("input", "member") and index >= 0
                seen.append(f"{m['kind']}:{m['name']}")
        else:
            seen.append(node["name"])
    return seen


def reduce(store: bc.GraphStore, outputs: list[int]) -> ReportDict:
    reduced, report = store.reduce(outputs=outputs, maximal_fusion=True)
    assert_type(reduced, bc.GraphStore)
    entries: list[NodeMapEntry] = reduced.node_map()
    for entry in entries:
        if entry is not None:
            node, member = entry
            assert_type(member, int | None)
            assert node < reduced.node_count()
    blob = reduced.serialize()
    back = bc.GraphStore.deserialize(blob)
    assert back.serialize() == blob
    assert_type(store.reduction_report(outputs=outputs)["stages"], int)
    inc = bc.IncrementalReducer()
    inc.step(store)
    again, _ = inc.finalize(store, outputs=outputs)
    assert again.node_count() > 0
    return report


def main() -> None:
    store, outputs = build()
    names = inspect(store)
    assert "onnxruntime" in names and "events" in names
    report = reduce(store, outputs)
    assert report["reachable_nodes"] <= report["input_nodes"]
    stage_members = inspect(store.reduce(outputs=outputs)[0])
    assert any(name.startswith("op:") for name in stage_members)
    assert bc.version() == "0.0.2"
    assert issubclass(bc.PanicException, BaseException)
    assert not issubclass(bc.PanicException, Exception)


if TYPE_CHECKING:
    # Misuse the stubs must reject.
    _s = bc.GraphStore()
    _s.add_op("f", "01")  # type: ignore[arg-type]
    _s.add_exchange([0], [("x", 1)])  # type: ignore[call-overload]
    _s.add_source(3)  # type: ignore[call-overload]
    _s.reduce(True)  # type: ignore[call-arg]
    _s.serialize(outputs=[1.5])  # type: ignore[list-item]
    bc.GraphStore.deserialize(bytearray(b"BIR1"))  # type: ignore[arg-type]
    bc.PayloadDescriptor(kind="k")  # type: ignore[call-arg]
    _d = bc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    _d.kind = "other"  # type: ignore[misc]
    _n = _s.nodes()[0]
    _n["members"]  # type: ignore[typeddict-item]
    _r = _s.reduction_report()
    _r["stage"]  # type: ignore[typeddict-item]


if __name__ == "__main__":
    main()
    print("typing usage ok")
