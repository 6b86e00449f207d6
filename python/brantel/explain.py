"""Why each op did or did not fuse, and which nodes were folded together.

Everything is read back from one reduction: the reduced store (its stages,
their members and who reads them) and the node map (where each source node
landed). Nothing re-runs the rewrite engine.

Folding. Source nodes whose node-map entries are equal became one canonical
term. The earliest of them is kept; each later one is classified against the
earlier ones by the rules that can merge terms:
  identity       an add of +0.0 or a mul by 1.0 with one input that landed where
                 its input landed;
  commutativity  a bare commutative op (add, mul, and, or, eq, ne, maximum,
                 minimum; no params, two inputs) whose inputs landed where an
                 earlier twin's did, in swapped order;
  cse            the same operation as an earlier node on inputs that landed in
                 the same places (common subexpression);
  rewriting      anything else the engine proved equal.

Fusion. An op's canonical term is a member of a stage. If it is not the stage's
last member, it fused into the members that read it. If it is the last member,
nothing outside the stage could take it, and the reasons follow the rule used:
  default        it is an output; a consumer is opaque (not an op); or it has
                 more than one consumer slot (mul(x, x) counts twice);
  maximal        it is an output; a consumer is opaque; or its consumers sit
                 in different stages.

Causes. Several consumer slots are listed consumer by consumer; a slot that
exists only because two nodes were folded into one is traced to the fold
("node 6 was folded into this node by commutativity, so its consumer 7 reads it
twice"). An op that nearly matched a folding rule says what kept it out: an Int
or -0.0 scalar, a side other than "l"/"r", an extra param, an input count other
than one; a commutative name with params or not exactly two inputs. Long lists
are cut to a few entries and a count, so a graph with hundreds of consumers
still gives short lines.

Worked example: a -> f -> g -> sum with sum the output. f is member 0 of a
stage whose member 1 is g: "fused into node 2 (op g)". g is the last member and
its one consumer, sum, is a reduction: "consumed by an opaque node".
"""

from __future__ import annotations

from collections import defaultdict
from dataclasses import dataclass, field
from typing import Any

from brantel.graph import (
    Graph,
    Node,
    commutative_near_miss,
    float_bits,
    identity_kind,
    identity_near_miss,
    is_bare_commutative,
)
from brantel.text import listing, node_summary

Entry = tuple[int, int | None]


def _typed(value: Any) -> tuple[str, Any]:
    # Python says 1 == 1.0 == True, the store does not; compare floats by bits.
    if isinstance(value, bool):
        return ("b", value)
    if isinstance(value, float):
        return ("f", 0x7FF8000000000000 if value != value else float_bits(value))
    if isinstance(value, int):
        return ("i", value)
    return ("s", value)


def label_key(node: Node) -> tuple[Any, ...]:
    """Everything that makes a node's label: kind, name, typed params, descriptor, members."""
    params = tuple((k, _typed(v)) for k, v in node["params"].items())
    extra: Any = None
    if node["kind"] == "external":
        extra = tuple(node["descriptor"].values())
    elif node["kind"] == "stage":
        extra = node["n_members"]
    return (node["kind"], node["name"], params, extra)


@dataclass
class Fold:
    node: int
    into: int
    rule: str  # identity, commutativity, cse, rewriting
    detail: str


@dataclass
class Fate:
    """What became of one source node."""

    node: int
    landed: Entry | None
    fold: Fold | None = None
    fused: bool | None = None  # for ops: True when fused into a consumer
    text: list[str] = field(default_factory=list)
    reasons: list[str] = field(default_factory=list)  # short keys of why an op ended its stage


class Explanation:
    def __init__(self, source: Graph, reduced: Graph, node_map: list[Entry | None], maximal: bool) -> None:
        self.source = source
        self.reduced = reduced
        self.node_map = node_map
        self.maximal = maximal
        self.groups: dict[Entry, list[int]] = defaultdict(list)
        for i, e in enumerate(node_map):
            if e is not None:
                self.groups[e].append(i)
        self.outputs = set(reduced.outputs)
        # consumer slots of each reduced node's value: (consumer, member or None), one per slot
        self.slots: list[list[tuple[int, int | None]]] = [[] for _ in reduced.nodes]
        for c in reduced.nodes:
            if c["kind"] == "stage" and c["members"]:
                for j, m in enumerate(c["members"]):
                    for ref, k in m["inputs"]:
                        if ref == "input" and k < len(c["inputs"]):
                            self.slots[c["inputs"][k]].append((c["id"], j))
            else:
                for x in c["inputs"]:
                    self.slots[x].append((c["id"], None))
        # readers[(stage, j)]: the members of the same stage that read member j. Built
        # once: a long chain can fuse into one stage of a very large member count.
        self.readers: dict[Entry, list[int]] = defaultdict(list)
        for c in reduced.nodes:
            if c["kind"] == "stage":
                for jj, m in enumerate(c["members"]):
                    for ref, k in m["inputs"]:
                        if ref == "member" and jj not in self.readers[(c["id"], k)][-1:]:
                            self.readers[(c["id"], k)].append(jj)
        self.folds: dict[int, Fold] = {}
        for members in self.groups.values():
            # (label, landed inputs) -> first member with them: one lookup per member,
            # so a group of thousands of equal nodes stays linear.
            seen: dict[tuple[Any, ...], int] = {}
            for pos, m in enumerate(members):
                node = self.source.nodes[m]
                key = (label_key(node), tuple(self._entry(x) for x in node["inputs"]))
                if pos:
                    self.folds[m] = self._classify(m, members[0], key, seen)
                seen.setdefault(key, m)

    # -- folding ---------------------------------------------------------------

    def _entry(self, i: int) -> Entry | None:
        e = self.node_map[i]
        return None if e is None else (e[0], e[1])

    def _classify(self, m: int, first: int, key: tuple[Any, ...], seen: dict[tuple[Any, ...], int]) -> Fold:
        node = self.source.nodes[m]
        ident = identity_kind(node)
        if ident and len(node["inputs"]) == 1 and self._entry(node["inputs"][0]) == self._entry(m):
            return Fold(m, node["inputs"][0], "identity", ident)
        if key in seen:
            return Fold(m, seen[key], "cse", "same operation on inputs that landed in the same places")
        label, ins = key
        if is_bare_commutative(node) and (label, ins[::-1]) in seen:
            return Fold(m, seen[(label, ins[::-1])], "commutativity", f"{node['name']} with its operands swapped")
        return Fold(m, first, "rewriting", "proved equal by the rewrite engine")

    # -- naming ----------------------------------------------------------------

    def source_of(self, entry: Entry) -> int | None:
        members = self.groups.get(entry)
        return members[0] if members else None

    def members_with(self, i: int) -> list[int]:
        """The source nodes that landed where node ``i`` landed (``i`` alone when dropped)."""
        e = self._entry(i)
        return [i] if e is None else self.groups[e]

    def name_term(self, entry: Entry) -> str:
        i = self.source_of(entry)
        if i is not None:
            return f"node {i} ({node_summary(self.source.nodes[i])})"
        r, j = entry
        return f"reduced node {r}" + ("" if j is None else f" member {j}")

    # -- fusion ----------------------------------------------------------------

    def fate(self, i: int) -> Fate:
        node = self.source.nodes[i]
        entry = self._entry(i)
        f = Fate(node=i, landed=entry)
        if entry is None:
            f.text.append("dropped: no output depends on it")
            return f
        r, j = entry
        fold = self.folds.get(i)
        if fold is not None:
            # The kept node carries the fusion story; tell it once, there.
            f.fold = fold
            f.text.append(f"folded into node {fold.into} by {fold.rule} ({fold.detail})")
            kept = self.source_of(entry)
            spot = f"reduced node {r}" + ("" if j is None else f", member {j}")
            f.text.append(f"lands where node {kept} landed: {spot}")
            return f
        f.text.extend(_near_misses(node))
        if j is None:
            if node["kind"] == "op":
                f.text.append(f"kept as reduced node {r}, not in a stage")
            else:
                article = "an" if node["kind"][0] in "aeiou" else "a"
                f.text.append(f"reduced node {r}: {article} {node['kind']} node is opaque and is never fused")
            return f
        stage = self.reduced.nodes[r]
        n = len(stage["members"])
        f.text.append(f"in reduced stage {r}, member {j} of {n}")
        readers = self.readers.get((r, j), [])
        if j < n - 1:
            f.fused = True
            names = listing([f"{self.name_term((r, jj))} [member {jj}]" for jj in readers])
            f.text.append(f"fused into its consumer{'s' if len(readers) > 1 else ''}: {names}")
            return f
        f.fused = False
        f.reasons, lines = self._why_not(r)
        f.text.append("not fused into a consumer: " + "; ".join(lines))
        if "several consumer slots" in f.reasons:
            f.text.extend("  " + line for line in self._slot_causes(i, r))
        return f

    def _why_not(self, r: int) -> tuple[list[str], list[str]]:
        keys: list[str] = []
        lines: list[str] = []
        slots = self.slots[r]
        if r in self.outputs:
            keys.append("output")
            lines.append("it is an output")
        opaque = sorted({c for c, jj in slots if jj is None})
        if opaque:
            keys.append("opaque consumer")
            names = listing([self.name_term((c, None)) for c in opaque])
            lines.append(f"consumed by an opaque node: {names}")
        if not self.maximal:
            if len(slots) > 1:
                keys.append("several consumer slots")
                lines.append(f"it has {len(slots)} consumer slots")
        else:
            stages = sorted({c for c, jj in slots if jj is not None})
            if len(stages) > 1:
                keys.append("consumers in different stages")
                lines.append("its consumers sit in different stages: " + listing([f"reduced stage {c}" for c in stages]))
        if not slots and r not in self.outputs:
            keys.append("no consumer")
            lines.append("nothing reads it")
        if not keys:
            keys.append("unexplained")
            lines.append("no rule explains this (the reduced store may have merged equal nodes)")
        return keys, lines

    def _slot_causes(self, i: int, r: int) -> list[str]:
        """One line per consumer of reduced node ``r``, then what folding added, for source node ``i``."""
        per_consumer: dict[Entry, int] = defaultdict(int)
        for slot in self.slots[r]:
            per_consumer[slot] += 1
        lines: list[str] = []
        folded: list[str] = []
        home = self._entry(i)
        for term, times in per_consumer.items():
            reader = self.source_of(term)
            if reader is None:
                lines.append(f"{self.name_term(term)} reads it {_times(times)}")
                continue
            positions = [k for k, x in enumerate(self.source.nodes[reader]["inputs"]) if self._entry(x) == home]
            where = f", at inputs {listing([str(k) for k in positions])}" if times > 1 and positions else ""
            lines.append(f"{self.name_term(term)} reads it {_times(times)}{where}")
            if times > 1:
                # A slot the source graph did not have: the consumer read two nodes that became this one.
                for x in sorted({self.source.nodes[reader]["inputs"][k] for k in positions} - {i}):
                    fold = self.folds.get(x)
                    how = f" by {fold.rule}" if fold else ""
                    folded.append(f"node {x} was folded into this node{how}, so its consumer {reader} reads it {_times(times)}")
        return _cut(lines, "consumers") + _cut(folded, "folds")


_SHOWN = 8


def _cut(lines: list[str], what: str) -> list[str]:
    if len(lines) <= _SHOWN:
        return lines
    return [*lines[:_SHOWN], f"... and {len(lines) - _SHOWN} more {what}"]


def _times(n: int) -> str:
    return {1: "once", 2: "twice"}.get(n, f"{n} times")


def _near_misses(node: Node) -> list[str]:
    lines = []
    ident = identity_near_miss(node)
    if ident:
        lines.append(f"not eliminated as an identity: {'; '.join(ident)}")
    elif commutative := commutative_near_miss(node):
        lines.append(
            f"operands not swapped to match a twin: {node['name']} commutes only with no params and "
            f"exactly two inputs, and {' and '.join(commutative)}"
        )
    return lines


def explain(source: Graph, reduced: Graph, node_map: list[Any], *, maximal: bool) -> Explanation:
    entries: list[Entry | None] = [None if e is None else (int(e[0]), e[1]) for e in node_map]
    return Explanation(source, reduced, entries, maximal)
