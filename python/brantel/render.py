"""Graphviz drawings of a store, with every stage drawn as a cluster of its members.

``GraphStore.to_dot()`` draws a stage as one box. Here a stage becomes a
``subgraph cluster_...`` holding one node per member, so a reader sees which
ops were fused together and which producer each member reads. Edges that leave
a stage start at its last member: fusion guarantees that every other member is
read only inside the stage.

Labels are cut to a display width, and always far below the 16384 bytes that
older Graphviz scanners accept for one quoted string.
"""

from __future__ import annotations

import shutil
import subprocess
from collections.abc import Iterable
from pathlib import Path

from brantel.graph import Graph, Node
from brantel.text import ELLIPSIS, node_title, one_line, params_text, plural, shorten

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
        """The DOT node whose value leaves ``node``: a stage's last member, else the node."""
        if node["kind"] == "stage" and node["members"]:
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
        if node["kind"] == "stage" and node["members"]:
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
                for ref, k in m["inputs"]:
                    if ref == "member" and k < len(node["members"]):
                        self.lines.append(f"    n{i}m{k} -> n{i}m{j};")
            self.lines.append("  }")
        else:
            label = dot_string(label_text(_node_lines(node), self.width))
            self.lines.append(f"  n{i} [label={label}, {_STYLE.get(node['kind'], '')}{self._extra(i)}];")

    def emit_edges(self, node: Node) -> None:
        nodes = self.graph.nodes
        i = node["id"]
        inputs = node["inputs"]
        if node["kind"] == "stage" and node["members"]:
            used: set[int] = set()
            for j, m in enumerate(node["members"]):
                for ref, k in m["inputs"]:
                    if ref != "input":
                        continue
                    if k < len(inputs):
                        used.add(k)
                        if self.visible(inputs[k]):
                            self.lines.append(f"  {self.exit_point(nodes[inputs[k]])} -> n{i}m{j};")
                    else:
                        # Blobs may name an input slot the stage does not have; show it, do not hide it.
                        self.lines.append(
                            f'  missing_{i}_{j}_{k} [label="no input {k}", shape=plaintext, fontcolor="#c0392b"];'
                        )
                        self.lines.append(f"  missing_{i}_{j}_{k} -> n{i}m{j} [style=dashed, color=\"#c0392b\"];")
            for k, x in enumerate(inputs):
                if k not in used and self.visible(x):
                    self.lines.append(f"  {self.exit_point(nodes[x])} -> n{i}m0 [style=dashed];")
        else:
            for x in inputs:
                if self.visible(x):
                    self.lines.append(f"  {self.exit_point(nodes[x])} -> n{i};")

    def emit_hidden(self, node: Node) -> None:
        """In a neighbourhood drawing, say how many edges lead out of the picture."""
        i = node["id"]
        hidden_in = sum(1 for x in node["inputs"] if not self.visible(x))
        hidden_out = sum(1 for c in self.graph.consumers[i] if not self.visible(c))
        anchor_in = f"n{i}m0" if node["kind"] == "stage" and node["members"] else f"n{i}"
        if hidden_in:
            word = "input" if hidden_in == 1 else "inputs"
            self.lines.append(f'  more_in_{i} [label="{hidden_in} more {word}", shape=plaintext, fontsize=9];')
            self.lines.append(f"  more_in_{i} -> {anchor_in} [style=dotted];")
        if hidden_out:
            word = "consumer" if hidden_out == 1 else "consumers"
            self.lines.append(f'  more_out_{i} [label="{hidden_out} more {word}", shape=plaintext, fontsize=9];')
            self.lines.append(f"  {self.exit_point(node)} -> more_out_{i} [style=dotted];")


def render_dot(
    graph: Graph,
    *,
    width: int = 60,
    around: int | None = None,
    radius: int = 2,
    rankdir: str = "TB",
    title: str | None = None,
) -> str:
    """DOT text for the whole graph, or for the nodes within ``radius`` edges of ``around``."""
    shown = None if around is None else set(graph.neighbourhood(around, radius))
    d = _Drawing(graph, width, shown, around)
    d.lines.append("digraph brantel {")
    d.lines.append(f'  graph [rankdir={rankdir}, fontname="Helvetica", fontsize=11];')
    d.lines.append('  node [fontname="Helvetica", fontsize=10];')
    d.lines.append('  edge [color="#555555", arrowsize=0.7];')
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
