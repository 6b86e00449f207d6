"""Graphviz drawings of a store, with every stage drawn as a cluster of its members.

``GraphStore.to_dot()`` draws a stage as one box. Here a stage of two or more
members becomes a ``subgraph cluster_...`` holding one node per member, so a
reader sees which ops were fused together and which producer each member reads;
a one-member stage is drawn as a plain node. Edges that leave a stage start at
its last member: fusion guarantees that every other member is read only inside
the stage. Where input order matters (any node with several inputs except a
bare commutative op) each edge is labelled with its input position.

Labels are cut to a display width, and always far below the 16384 bytes that
older Graphviz scanners accept for one quoted string.
"""

from __future__ import annotations

import re
import shutil
import subprocess
from collections.abc import Iterable
from pathlib import Path

from brantel.graph import Graph, Node, is_bare_commutative
from brantel.text import ELLIPSIS, member_text, node_title, one_line, params_text, plural, shorten

# Graphviz's scanner rejects longer quoted strings ("longer than 16384?"); stay
# well under it even after escaping doubles some characters.
GRAPHVIZ_STRING_LIMIT = 16384
_HARD_LABEL_LIMIT = 4000

_STYLE = {
    "source": 'shape=box, style="rounded,filled", fillcolor="#d8f0d8"',
    "op": 'shape=box, style="filled", fillcolor="#ffffff"',
    "reduction": 'shape=box, style="rounded,filled", fillcolor="#fde3c8"',
    "external": 'shape=component, style="filled", fillcolor="#e6dcf5"',
    "exchange": 'shape=cds, style="filled", fillcolor="#e2e2e2"',
    "join": 'shape=invtrapezium, style="filled", fillcolor="#e2e2e2"',
    "stage": 'shape=box3d, style="filled", fillcolor="#e8eef9"',
}
_MEMBER_STYLE = {
    "op": 'shape=box, style="filled", fillcolor="#ffffff"',
    "red": 'shape=box, style="rounded,filled", fillcolor="#fde3c8"',
}


def dot_string(text: str) -> str:
    """A DOT double-quoted string; each newline in ``text`` becomes a centred line break."""
    lines = [line.replace("\\", "\\\\").replace('"', '\\"') for line in text.split("\n")]
    return '"' + "\\n".join(lines) + '"'


def label_text(lines: Iterable[str], width: int) -> str:
    """Join display lines, each cut to ``width`` characters, under the hard limit."""
    shown = "\n".join(shorten(one_line(line), width) for line in lines if line)
    if len(shown) > _HARD_LABEL_LIMIT:
        shown = shown[: _HARD_LABEL_LIMIT - 1] + ELLIPSIS
    return shown


def _node_lines(node: Node) -> list[str]:
    head = f"#{node['id']} {node_title(node)}"
    lines = [head, params_text(node["params"])]
    if node["kind"] == "external":
        d = node["descriptor"]
        lines.append(f"{d['framework']} {d['version']}")
    return lines


def _member_lines(node: Node, j: int) -> list[str]:
    m = node["members"][j]
    head = m["name"] if m["kind"] == "op" else f"red {m['name']}"
    return [f"{head}  [{j}]", params_text(m["params"])]


def _clustered(node: Node) -> bool:
    """A stage drawn as a cluster of its members; a one-member stage is a plain node."""
    return node["kind"] == "stage" and len(node["members"]) > 1


def _ordered(node: Node) -> bool:
    """Whether swapping two inputs could change what ``node`` (or a stage member) computes."""
    return len(node["inputs"]) > 1 and not is_bare_commutative(node)


def drawn_size(graph: Graph, shown: Iterable[int] | None = None) -> int:
    """DOT nodes plus edges a drawing of ``shown`` (default: every node) holds; layout time follows it."""
    ids = range(len(graph)) if shown is None else shown
    total = 0
    for i in ids:
        node = graph.nodes[i]
        total += 1 + len(node["inputs"])
        if _clustered(node):
            total += 2 * len(node["members"])
    return total


class _Drawing:
    def __init__(self, graph: Graph, width: int, shown: set[int] | None, centre: int | None) -> None:
        self.graph = graph
        self.width = width
        self.shown = shown
        self.centre = centre
        self.outputs = set(graph.outputs)
        self.lines: list[str] = []

    def visible(self, i: int) -> bool:
        return self.shown is None or i in self.shown

    @staticmethod
    def exit_point(node: Node) -> str:
        """The DOT node whose value leaves ``node``: a clustered stage's last member, else the node."""
        if _clustered(node):
            return f"n{node['id']}m{len(node['members']) - 1}"
        return f"n{node['id']}"

    def _extra(self, i: int) -> str:
        extra = ""
        if i in self.outputs:
            extra += ", peripheries=2, penwidth=1.6"
        if i == self.centre:
            extra += ', color="#c0392b", penwidth=3'
        return extra

    def emit_node(self, node: Node) -> None:
        i = node["id"]
        if _clustered(node):
            title = f"#{i} stage, {plural(node['n_members'], 'member')}" + (" (output)" if i in self.outputs else "")
            self.lines.append(f"  subgraph cluster_{i} {{")
            self.lines.append(f"    label={dot_string(label_text([title], self.width))};")
            colour = "#c0392b" if i == self.centre else "#5a7ab0"
            self.lines.append(f'    style="rounded,filled"; fillcolor="#eef2fa"; color="{colour}";')
            last = len(node["members"]) - 1
            for j in range(len(node["members"])):
                kind = node["members"][j]["kind"]
                style = _MEMBER_STYLE.get(kind, _MEMBER_STYLE["op"])
                extra = ", peripheries=2, penwidth=1.6" if j == last and i in self.outputs else ""
                label = dot_string(label_text(_member_lines(node, j), self.width))
                self.lines.append(f"    n{i}m{j} [label={label}, {style}{extra}];")
            for j, m in enumerate(node["members"]):
                ordered = _ordered(m)  # a member has the shape of the op it was
                for pos, (ref, k) in enumerate(m["inputs"]):
                    if ref == "member" and k < len(node["members"]):
                        self.lines.append(f"    n{i}m{k} -> n{i}m{j}{_position(pos) if ordered else ''};")
            self.lines.append("  }")
        elif node["kind"] == "stage" and node["members"]:
            lines = [f"#{i} stage", member_text(node["members"][0])]
            label = dot_string(label_text(lines, self.width))
            self.lines.append(f"  n{i} [label={label}, {_STYLE['stage']}{self._extra(i)}];")
        else:
            label = dot_string(label_text(_node_lines(node), self.width))
            self.lines.append(f"  n{i} [label={label}, {_STYLE.get(node['kind'], '')}{self._extra(i)}];")

    def emit_edges(self, node: Node) -> None:
        nodes = self.graph.nodes
        i = node["id"]
        inputs = node["inputs"]
        ordered = _ordered(node)
        if _clustered(node):
            used: set[int] = set()
            for j, m in enumerate(node["members"]):
                for ref, k in m["inputs"]:
                    if ref != "input":
                        continue
                    if k < len(inputs):
                        used.add(k)
                        if self.visible(inputs[k]):
                            label = _slot(k) if ordered else ""
                            self.lines.append(f"  {self.exit_point(nodes[inputs[k]])} -> n{i}m{j}{label};")
                    else:
                        # Blobs may name an input slot the stage does not have; show it, do not hide it.
                        self.lines.append(
                            f'  missing_{i}_{j}_{k} [label="no input {k}", shape=plaintext, fontcolor="#c0392b"];'
                        )
                        self.lines.append(f"  missing_{i}_{j}_{k} -> n{i}m{j} [style=dashed, color=\"#c0392b\"];")
            for k, x in enumerate(inputs):
                if k not in used and self.visible(x):
                    label = f', label="in{k}"' if ordered else ""
                    self.lines.append(f"  {self.exit_point(nodes[x])} -> n{i}m0 [style=dashed{label}];")
        else:
            slot = _slot if node["kind"] == "stage" else _position
            for k, x in enumerate(inputs):
                if self.visible(x):
                    self.lines.append(f"  {self.exit_point(nodes[x])} -> n{i}{slot(k) if ordered else ''};")

    def emit_hidden(self, node: Node) -> None:
        """In a neighbourhood drawing, a "+N more" stub per side with edges out of the picture."""
        i = node["id"]
        hidden_in = len({x for x in node["inputs"] if not self.visible(x)})
        hidden_out = len({c for c in self.graph.consumers[i] if not self.visible(c)})
        anchor_in = f"n{i}m0" if _clustered(node) else f"n{i}"
        if hidden_in:
            word = "input" if hidden_in == 1 else "inputs"
            self.lines.append(f'  more_in_{i} [label="+{hidden_in} more {word}", shape=plaintext, fontsize=9];')
            self.lines.append(f"  more_in_{i} -> {anchor_in} [style=dotted];")
        if hidden_out:
            word = "consumer" if hidden_out == 1 else "consumers"
            self.lines.append(f'  more_out_{i} [label="+{hidden_out} more {word}", shape=plaintext, fontsize=9];')
            self.lines.append(f"  {self.exit_point(node)} -> more_out_{i} [style=dotted];")


def _position(k: int) -> str:
    return f' [label="{k}"]'


def _slot(k: int) -> str:
    # A stage's inputs are named as its members name them (in0, in1, ...).
    return f' [label="in{k}"]'


def render_dot(
    graph: Graph,
    *,
    width: int = 60,
    around: int | None = None,
    radius: int = 2,
    per_side: int | None = None,
    rankdir: str = "TB",
    title: str | None = None,
) -> str:
    """DOT text for the whole graph, or for the nodes within ``radius`` edges of ``around``.

    ``per_side`` bounds how many inputs and consumers of each node a neighbourhood takes in.
    """
    shown = None if around is None else set(graph.neighbourhood(around, radius, per_side))
    d = _Drawing(graph, width, shown, around)
    d.lines.append("digraph brantel {")
    d.lines.append(f'  graph [rankdir={rankdir}, fontname="Helvetica", fontsize=11];')
    d.lines.append('  node [fontname="Helvetica", fontsize=10];')
    d.lines.append('  edge [color="#555555", arrowsize=0.7, fontsize=8];')
    if title:
        d.lines.append(f"  label={dot_string(label_text([title], max(width, 80)))}; labelloc=t;")
    visible = [n for n in graph.nodes if d.visible(n["id"])]
    for node in visible:
        d.emit_node(node)
    for node in visible:
        d.emit_edges(node)
    if shown is not None:
        for node in visible:
            d.emit_hidden(node)
    d.lines.append("}")
    return "\n".join(d.lines) + "\n"


# A quoted DOT string, escapes included; re.S so an escaped newline is one escape.
_DOT_STRING = re.compile(r'"(?:[^"\\]|\\.)*"', re.S)
# Inside a DOT string a control character becomes its visible escape, with the
# backslash doubled so that Graphviz shows it rather than reading it.
_DOT_CONTROLS = str.maketrans({chr(c): "\\" + one_line(chr(c)) for c in (*range(0x20), *range(0x7F, 0xA0))})


def escape_dot_controls(dot_text: str) -> str:
    """``dot_text`` with every control character inside a quoted string made visible.

    ``GraphStore.to_dot()`` copies node names into its labels as they are; a NUL
    or another control character there makes Graphviz reject the whole file.
    Only the quoted strings change, so the statements and their order stay as given.
    """
    return _DOT_STRING.sub(lambda m: m.group(0).translate(_DOT_CONTROLS), dot_text)


class GraphvizMissing(RuntimeError):
    pass


def dot_program() -> str | None:
    return shutil.which("dot")


def write_picture(dot_text: str, out: Path, fmt: str) -> None:
    """Render ``dot_text`` with Graphviz into ``out`` (``fmt`` is svg or png)."""
    program = dot_program()
    if program is None:
        raise GraphvizMissing("Graphviz 'dot' is not installed")
    done = subprocess.run(
        [program, f"-T{fmt}", "-o", str(out)],
        input=dot_text.encode("utf-8"),
        capture_output=True,
        check=False,
    )
    if done.returncode != 0:
        message = done.stderr.decode("utf-8", "replace").strip() or f"exit code {done.returncode}"
        raise RuntimeError(f"dot failed: {message}")
