"""An order-independent SHA-256 fingerprint of the graph an output set reaches.

Each node's digest hashes its own fields and the digests of its inputs (a Merkle
hash), so ids and insertion order never enter it. docs/fingerprint.md defines the
bytes exactly; every variable-length field is length-prefixed and every input is
a fixed 32-byte digest, so no two different graphs hash the same bytes.
"""

from __future__ import annotations

import hashlib
import struct
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

from brantel.graph import COMMUTATIVE_OPS
from brantel.lowering import bad_stage_reference, live_nodes, resolve_outputs

if TYPE_CHECKING:
    import brantel_core

DOMAIN = b"brantel-fingerprint-1"
KIND_TAGS = {"source": 0, "op": 1, "reduction": 2, "external": 3, "stage": 4, "exchange": 5, "join": 6}
MEMBER_TAGS = {"op": 1, "red": 2}
MEMBER_DOMAIN = b"m"
DESCRIPTOR_FIELDS = ("kind", "content_hash", "framework", "version", "io_schema")
# The one bit pattern every NaN is stored as.
_CANONICAL_NAN = struct.pack("<Q", 0x7FF8000000000000)

_u64 = struct.Struct("<Q").pack
_i64 = struct.Struct("<q").pack
_f64 = struct.Struct("<d").pack


def _text(s: str) -> bytes:
    data = s.encode("utf-8", "surrogatepass")
    return _u64(len(data)) + data


def _value(v: Any) -> bytes:
    if type(v) is bool:
        return b"b\x01" if v else b"b\x00"
    if type(v) is int:
        return b"i" + _i64(v)
    if type(v) is float:
        return b"f" + (_CANONICAL_NAN if v != v else _f64(v))
    return b"s" + _text(v)


_NO_PARAMS = _u64(0)


def _params(params: Mapping[str, Any]) -> bytes:
    if not params:
        return _NO_PARAMS
    # nodes() already returns params in key order (UTF-8 bytes); sorting again
    # keeps the definition independent of that.
    items = sorted(params.items(), key=lambda kv: kv[0].encode("utf-8", "surrogatepass"))
    return _u64(len(items)) + b"".join(_text(k) + _value(v) for k, v in items)


def _unordered(name: str, params: Mapping[str, Any], digests: list[bytes]) -> list[bytes]:
    """Sorted when the op is one of the eight commutative ones with no params and two inputs."""
    if name in COMMUTATIVE_OPS and not params and len(digests) == 2:
        return sorted(digests)
    return digests


def _inputs(digests: list[bytes]) -> bytes:
    return _u64(len(digests)) + b"".join(digests)


def _descriptor(d: Mapping[str, Any]) -> bytes:
    ref = d.get("preprocessing_ref")
    return b"".join(_text(d[f]) for f in DESCRIPTOR_FIELDS) + (b"\x00" if ref is None else b"\x01" + _text(ref))


def _stage(node: Mapping[str, Any], inputs: list[bytes]) -> bytes:
    problem = bad_stage_reference(node) if node["members"] else None
    if problem:
        raise ValueError(problem)
    members: list[bytes] = []
    for m in node["members"]:
        args = [members[k] if ref == "member" else inputs[k] for ref, k in m["inputs"]]
        if m["kind"] == "op":
            args = _unordered(m["name"], m["params"], args)
        head = MEMBER_DOMAIN + bytes([MEMBER_TAGS[m["kind"]]])
        record = head + _text(m["name"]) + _params(m["params"]) + _inputs(args)
        members.append(hashlib.sha256(record).digest())
    return _inputs(inputs) + _inputs(members)


def node_record(node: Mapping[str, Any], inputs: list[bytes]) -> bytes:
    """The bytes a node's digest hashes, given its inputs' digests in input order."""
    kind = node["kind"]
    head = bytes([KIND_TAGS[kind]])
    if kind == "source":
        return head + _text(node["name"]) + _params(node["params"])
    if kind in ("op", "reduction"):
        ordered = _unordered(node["name"], node["params"], inputs) if kind == "op" else inputs
        return head + _text(node["name"]) + _params(node["params"]) + _inputs(ordered)
    if kind == "external":
        return head + _descriptor(node["descriptor"]) + _params(node["params"]) + _inputs(inputs)
    if kind == "stage":
        return head + _stage(node, inputs)
    return head + _params(node["params"]) + _inputs(inputs)


def fingerprint_nodes(nodes: Sequence[Mapping[str, Any]], outputs: Sequence[int]) -> str:
    """The fingerprint of ``nodes()`` dicts (ids dense, inputs earlier) for ``outputs``."""
    outs = list(dict.fromkeys(outputs))
    digests: list[bytes] = [b""] * len(nodes)
    sha256 = hashlib.sha256
    for i in live_nodes(nodes, outs):
        node = nodes[i]
        digests[i] = sha256(node_record(node, [digests[j] for j in node["inputs"]])).digest()
    return sha256(DOMAIN + _inputs([digests[o] for o in outs])).hexdigest()


def fingerprint(store: brantel_core.GraphStore, outputs: Sequence[int] | None = None) -> str:
    """SHA-256 hex of the graph reachable from ``outputs`` (default: the store's marks).

    Equal for the same pipeline however it was built and after a blob round trip;
    the two inputs of a parameterless commutative op with two inputs count as an
    unordered pair. Outputs count in order, each once.
    """
    outs = resolve_outputs(store, outputs)
    return fingerprint_nodes(store.nodes(), outs)
