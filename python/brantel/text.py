"""Plain-text rendering shared by the commands: values, labels and aligned tables."""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from typing import Any

from brantel.graph import Node

ELLIPSIS = "…"


def value_text(value: Any) -> str:
    """A parameter value written so that Int 1, Float 1.0 and Bool true stay distinct."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        return repr(value)
    if isinstance(value, str):
        # Quoted so that "1" stays apart from 1, and otherwise as nodes() gives it:
        # whatever escaping a format needs is that format's job (one_line, dot_string).
        return f'"{value}"'
    return str(value)


def params_text(params: dict[str, Any]) -> str:
    if not params:
        return ""
    return "{" + ", ".join(f"{k}={value_text(v)}" for k, v in params.items()) + "}"


def member_text(member: dict[str, Any]) -> str:
    args = ", ".join(("m" if kind == "member" else "in") + str(i) for kind, i in member["inputs"])
    head = member["name"] if member["kind"] == "op" else f"red {member['name']}"
    p = params_text(member["params"])
    return f"{head}({args})" + (f" {p}" if p else "")


def node_title(node: Node) -> str:
    """One line naming a node: 'op filter', 'reduction sum', 'stage (3 members)'."""
    kind = node["kind"]
    if kind == "external":
        d = node["descriptor"]
        return f"external {d['kind']}:{d['content_hash']}"
    if kind == "stage":
        return f"stage ({plural(node['n_members'], 'member')})"
    if kind in ("exchange", "join"):
        return str(kind)
    return f"{kind} {node['name']}"


def node_summary(node: Node) -> str:
    p = params_text(node["params"])
    return node_title(node) + (f" {p}" if p else "")


def listing(items: Sequence[str], shown: int = 8) -> str:
    """'a, b and c'; past ``shown`` items, the first ones and 'and N more' (a line stays short)."""
    if len(items) > shown:
        return ", ".join(items[:shown]) + f" and {len(items) - shown} more"
    if len(items) > 1:
        return ", ".join(items[:-1]) + " and " + items[-1]
    return "".join(items)


def plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def shorten(text: str, width: int) -> str:
    if width <= 0 or len(text) <= width:
        return text
    return text[: max(width - 1, 0)] + ELLIPSIS


_CONTROL_NAMES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
# C0 controls, DEL and the C1 controls: a terminal acts on them, Graphviz rejects
# some of them, and none of them can be seen.
_CONTROLS = {c: _CONTROL_NAMES.get(chr(c), f"\\x{c:02x}") for c in (*range(0x20), *range(0x7F, 0xA0))}


def one_line(text: str) -> str:
    """``text`` with every control character written as a visible escape (\\n, \\t, \\x00).

    Names and params may hold any character; a table cell or a label line may
    not hold these. Nothing else is escaped, so a quote or a backslash shows as it is.
    """
    return text.translate(_CONTROLS)


def table(headers: Sequence[str], rows: Sequence[Sequence[str]], *, right: Sequence[int] = ()) -> str:
    """Columns padded to their widest cell; columns listed in ``right`` are right-aligned."""
    widths = [len(h) for h in headers]
    for row in rows:
        for c, cell in enumerate(row):
            widths[c] = max(widths[c], len(cell))

    def fmt(row: Sequence[str]) -> str:
        cells = [
            cell.rjust(widths[c]) if c in right else cell.ljust(widths[c]) for c, cell in enumerate(row)
        ]
        return "  ".join(cells).rstrip()

    lines = [fmt(headers), "  ".join("-" * w for w in widths)]
    lines.extend(fmt(row) for row in rows)
    return "\n".join(lines)


REPORT_KEYS = (
    ("input_nodes", "nodes in the graph that was reduced"),
    ("reachable_nodes", "reachable from the outputs"),
    ("canonical_nodes", "after rewriting and CSE"),
    ("stages", "stage nodes emitted"),
    ("boundary_nodes", "other nodes emitted"),
    ("reduced_nodes", "nodes emitted in all"),
)


def report_counts(report: Mapping[str, object]) -> dict[str, int]:
    """The six counts in their display order (the module's dict has no fixed key order)."""
    out: dict[str, int] = {}
    for key, _ in REPORT_KEYS:
        value = report[key]
        if not isinstance(value, int):
            raise TypeError(f"report value {key} is not an int: {value!r}")
        out[key] = value
    return out


def report_table(reports: Sequence[tuple[str, dict[str, int]]]) -> str:
    """The six counts of one or more reductions side by side."""
    headers = ["count", *(name for name, _ in reports), "meaning"]
    rows = [[key, *(str(r[key]) for _, r in reports), meaning] for key, meaning in REPORT_KEYS]
    return table(headers, rows, right=range(1, 1 + len(reports)))
