"""A read-only Python picture of one store: its node dicts plus the edges both ways.

The commands work from ``GraphStore.nodes()`` rather than from the store itself,
so that every walk (consumers, depth, neighbourhoods) is ordinary Python over
lists indexed by node id. Node ids are dense and every input is an earlier id,
so one ascending pass is always a topological pass.
"""

from __future__ import annotations

import struct
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import brantel_core

Node = dict[str, Any]

# Op labels the rewrite engine treats as identities (add of +0.0, mul by 1.0, on
# either side). A Float counts only with exactly these bits, so -0.0 or an Int
# scalar is not an identity.
_ZERO_BITS = 0x0000000000000000
_ONE_BITS = 0x3FF0000000000000
COMMUTATIVE_OPS = frozenset({"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"})


def float_bits(value: float) -> int:
    bits: int = struct.unpack("<Q", struct.pack("<d", value))[0]
    return bits


def identity_kind(node: Node) -> str | None:
    """'add 0.0 on the right' and the like when ``node`` is an identity op, else None."""
    if node["kind"] != "op" or node["name"] not in ("add", "mul"):
        return None
    params = node["params"]
    if set(params) != {"scalar", "side"}:
        return None
    scalar, side = params["scalar"], params["side"]
    if type(scalar) is not float or side not in ("l", "r") or type(side) is not str:
        return None
    want = _ZERO_BITS if node["name"] == "add" else _ONE_BITS
    if float_bits(scalar) != want:
        return None
    where = "right" if side == "r" else "left"
    return f"add 0.0 on the {where}" if node["name"] == "add" else f"mul by 1.0 on the {where}"


def is_bare_commutative(node: Node) -> bool:
    return (
        node["kind"] == "op"
        and node["name"] in COMMUTATIVE_OPS
        and not node["params"]
        and len(node["inputs"]) == 2
    )


@dataclass
class Graph:
    nodes: list[Node]
    outputs: list[int]
    # consumers[i]: ids of the nodes that read i, one entry per input slot, ascending.
    consumers: list[list[int]] = field(default_factory=list)

    @classmethod
    def from_store(cls, store: brantel_core.GraphStore) -> Graph:
        nodes: list[Node] = [dict(n) for n in store.nodes()]
        consumers: list[list[int]] = [[] for _ in nodes]
        for node in nodes:
            for x in node["inputs"]:
                consumers[x].append(node["id"])
        return cls(nodes=nodes, outputs=list(store.outputs()), consumers=consumers)

    def __len__(self) -> int:
        return len(self.nodes)

    def reachable(self, roots: Iterable[int] | None = None) -> list[bool]:
        """Flags of the nodes some root depends on (the roots default to the outputs)."""
        flags = [False] * len(self.nodes)
        stack = list(self.outputs if roots is None else roots)
        while stack:
            i = stack.pop()
            if not flags[i]:
                flags[i] = True
                stack.extend(self.nodes[i]["inputs"])
        return flags

    def depth(self) -> list[int]:
        """Nodes on the longest input chain ending at each node (a source has 1)."""
        d = [0] * len(self.nodes)
        for node in self.nodes:
            d[node["id"]] = 1 + max((d[x] for x in node["inputs"]), default=0)
        return d

    def neighbourhood(self, centre: int, radius: int) -> dict[int, int]:
        """Ids within ``radius`` edges of ``centre`` in either direction, mapped to their distance."""
        dist = {centre: 0}
        frontier = [centre]
        for r in range(1, radius + 1):
            nxt: list[int] = []
            for i in frontier:
                for j in (*self.nodes[i]["inputs"], *self.consumers[i]):
                    if j not in dist:
                        dist[j] = r
                        nxt.append(j)
            frontier = nxt
        return dist


def parse_ids(text: str) -> list[int]:
    """'3,5, 9' -> [3, 5, 9]; '' -> [] (an explicit empty output list)."""
    out: list[int] = []
    for piece in text.replace(" ", ",").split(","):
        if not piece:
            continue
        if not piece.isdigit() or not piece.isascii():
            raise ValueError(f"not a node id: {piece!r}")
        out.append(int(piece))
    return out


def check_ids(ids: Sequence[int], count: int) -> None:
    for i in ids:
        if i >= count:
            raise ValueError(f"no node with id {i}")
