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


def _identity_scalar_problem(name: str, scalar: Any) -> str | None:
    """Why ``scalar`` keeps an add/mul from being an identity; None when it is fine.

    Raises LookupError when the scalar is not even close (add 2.5), so that
    nothing is said about such an op.
    """
    want = 0.0 if name == "add" else 1.0
    if isinstance(scalar, bool) or type(scalar) is int:
        if scalar != want:
            raise LookupError
        kind = "Bool" if isinstance(scalar, bool) else "Int"
        shown = ("true" if scalar else "false") if isinstance(scalar, bool) else str(scalar)
        return f"its scalar is the {kind} {shown}, not the Float {want!r}"
    if type(scalar) is not float or scalar != want:
        raise LookupError
    if float_bits(scalar) != float_bits(want):
        return f"its scalar is -0.0, and only the Float {want!r} counts"
    return None


def identity_near_miss(node: Node) -> list[str]:
    """What keeps an add/mul with an identity-like scalar from being eliminated ([] when nothing)."""
    if node["kind"] != "op" or node["name"] not in ("add", "mul") or "scalar" not in node["params"]:
        return []
    params = node["params"]
    try:
        scalar = _identity_scalar_problem(node["name"], params["scalar"])
    except LookupError:
        return []
    reasons = [scalar] if scalar else []
    side = params.get("side")
    if side is None:
        reasons.append('it has no "side" param')
    elif type(side) is not str or side not in ("l", "r"):
        shown = f'"{side}"' if isinstance(side, str) else repr(side)
        reasons.append(f'its side is {shown}, not "l" or "r"')
    extra = sorted(set(params) - {"scalar", "side"})
    if extra:
        reasons.append(f"it has the extra param{'s' if len(extra) > 1 else ''} {', '.join(extra)}")
    if len(node["inputs"]) != 1:
        reasons.append(f"it has {len(node['inputs'])} inputs, and only a one-input op is an identity")
    return reasons


def commutative_near_miss(node: Node) -> list[str]:
    """What keeps an op with a commutative name and several inputs from having them swapped ([] when nothing).

    With fewer than two inputs there is nothing to swap, so a scalar add says nothing here.
    """
    if node["kind"] != "op" or node["name"] not in COMMUTATIVE_OPS or is_bare_commutative(node):
        return []
    if len(node["inputs"]) < 2:
        return []
    reasons = []
    if node["params"]:
        reasons.append(f"it has params ({', '.join(node['params'])})")
    if len(node["inputs"]) != 2:
        reasons.append(f"it has {len(node['inputs'])} inputs")
    return reasons


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

    def neighbourhood(self, centre: int, radius: int, per_side: int | None = None) -> dict[int, int]:
        """Ids within ``radius`` edges of ``centre`` in either direction, mapped to their distance.

        With ``per_side``, each node reached brings in at most that many of its
        inputs and as many of its consumers (the first ones by id), so a hub does
        not pull thousands of nodes into one picture.
        """
        dist = {centre: 0}
        frontier = [centre]
        for r in range(1, radius + 1):
            nxt: list[int] = []
            for i in frontier:
                for side in (self.nodes[i]["inputs"], self.consumers[i]):
                    for j in _first_distinct(side, per_side):
                        if j not in dist:
                            dist[j] = r
                            nxt.append(j)
            frontier = nxt
        return dist


def _first_distinct(ids: Sequence[int], limit: int | None) -> list[int]:
    out: list[int] = []
    seen: set[int] = set()
    for j in ids:
        if limit is not None and len(out) >= limit:
            break
        if j not in seen:
            seen.add(j)
            out.append(j)
    return out


def parse_ids(text: str) -> list[int]:
    """'3,5, 9' or '3 5 9' -> [3, 5, 9]; '' -> [] (an explicit empty output list).

    Every comma separates two ids: '1,,2', ',1' and '1,' are refused rather than
    read as a shorter list, which would silently reduce to something else.
    """
    if not text.strip():
        return []
    out: list[int] = []
    for piece in text.split(","):
        words = piece.split()
        if not words:
            raise ValueError(f"empty node id in {text!r}")
        for word in words:
            if not word.isdigit() or not word.isascii():
                raise ValueError(f"not a node id: {word!r}")
            out.append(int(word))
    return out


def check_ids(ids: Sequence[int], count: int) -> None:
    for i in ids:
        if i >= count:
            raise ValueError(f"no node with id {i}")
