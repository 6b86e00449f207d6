"""The ``brantel`` command: look at, draw, reduce, count and explain IR blobs.

Exit codes: 0 success; 1 the work failed for a reason outside the input (Graphviz
missing or failing, an output file that cannot be written); 2 bad arguments or a
bad blob, with the module's own message on stderr; 3 an internal error of the
extension (PanicException); 130 interrupted.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections import Counter
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

from brantel.graph import Graph, check_ids, parse_ids
from brantel.progress import Progress
from brantel.text import (
    listing,
    member_text,
    node_summary,
    one_line,
    params_text,
    report_counts,
    report_table,
    shorten,
    table,
)

if TYPE_CHECKING:
    import brantel_core

PROG = "brantel"
# Above these sizes a native call (decode, reduce) may run for a second or more
# while holding the interpreter lock, so the notice is written before it starts.
_SLOW_BYTES = 8 << 20
_SLOW_NODES = 50_000
NODE_KINDS = ["source", "op", "reduction", "external", "stage", "exchange", "join"]


class CliError(Exception):
    def __init__(self, message: str, code: int = 2) -> None:
        super().__init__(message)
        self.code = code


# -- loading -------------------------------------------------------------------


def _core() -> Any:
    try:
        import brantel_core
    except ImportError as e:
        raise CliError(f"cannot import brantel_core: {e}", 1) from None
    return brantel_core


def load_store(path: str) -> brantel_core.GraphStore:
    core = _core()
    try:
        data = Path(path).read_bytes()
    except OSError as e:
        raise CliError(f"cannot read {path}: {e.strerror or e}") from None
    with Progress(f"reading {path}", announce=len(data) > _SLOW_BYTES):
        try:
            store: brantel_core.GraphStore = core.GraphStore.deserialize(data)
        except ValueError as e:
            raise CliError(f"{path}: {e}") from None
    return store


def load_graph(path: str, store: brantel_core.GraphStore) -> Graph:
    with Progress(f"reading the nodes of {path}", announce=store.node_count() > _SLOW_NODES):
        try:
            return Graph.from_store(store)
        except ValueError as e:  # a stage member label the views cannot parse
            raise CliError(f"{path}: {e}") from None


def reduce_store(
    store: brantel_core.GraphStore, *, maximal: bool, outputs: list[int] | None
) -> tuple[brantel_core.GraphStore, dict[str, int]]:
    n = store.node_count()
    if outputs is not None:
        try:
            check_ids(outputs, n)
        except ValueError as e:
            raise CliError(str(e)) from None
    with Progress(f"reducing {n} nodes", announce=n > _SLOW_NODES):
        try:
            reduced, report = store.reduce(maximal_fusion=maximal, outputs=outputs)
        except ValueError as e:
            raise CliError(str(e)) from None
    return reduced, report_counts(report)


def _node_id(graph: Graph, i: int) -> int:
    if i >= len(graph):
        raise CliError(f"no node with id {i}")
    return i


def _write_text(path: Path, text: str) -> None:
    try:
        path.write_text(text, encoding="utf-8")
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror or e}", 1) from None


def _write_bytes(path: Path, data: bytes) -> None:
    try:
        path.write_bytes(data)
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror or e}", 1) from None


def _no_marks_note(path: str, store: brantel_core.GraphStore, outputs: list[int] | None) -> None:
    if outputs is None and not store.outputs():
        print(
            f"{PROG}: note: {path} marks no outputs, so nothing is reachable; name them with --outputs",
            file=sys.stderr,
        )


# -- show ----------------------------------------------------------------------


def cmd_show(args: argparse.Namespace) -> int:
    store = load_store(args.file)
    graph = load_graph(args.file, store)
    width = 0 if args.wide else 48
    kinds = set(args.kind or ())
    rows: list[list[str]] = []
    with Progress("formatting the table", announce=len(graph) > _SLOW_NODES):
        for node in graph.nodes:
            if kinds and node["kind"] not in kinds:
                continue
            name = node["name"]
            if node["kind"] == "external":
                d = node["descriptor"]
                name = f"{d['kind']}:{d['content_hash']} [{d['framework']} {d['version']}]"
            elif node["kind"] == "stage":
                name = " > ".join(m["name"] for m in node["members"])
            inputs = ", ".join(str(x) for x in node["inputs"])
            rows.append(
                [
                    str(node["id"]),
                    node["kind"],
                    shorten(one_line(name), width),
                    shorten(inputs, width),
                    shorten(one_line(params_text(node["params"])), width),
                    "*" if node["output"] else "",
                ]
            )
            if node["kind"] == "external":
                # The name cell holds four of the six fields; the other two get rows of their own.
                d = node["descriptor"]
                ref = d["preprocessing_ref"]
                extra = {"io_schema": d["io_schema"], "preprocessing_ref": ref}
                for field, value in extra.items():
                    text = f"  {field}=" + ("none" if value is None else f'"{value}"')
                    rows.append(["", "", shorten(one_line(text), width), "", "", ""])
            if args.members and node["kind"] == "stage":
                for j, m in enumerate(node["members"]):
                    rows.append(["", f"  [{j}] {m['kind']}", shorten(one_line(member_text(m)), width), "", "", ""])
    print(table(["id", "kind", "name", "inputs", "params", "output"], rows, right=[0]))
    shown = len([r for r in rows if r[0]])
    print(f"\n{shown} of {len(graph)} nodes shown, {len(graph.outputs)} marked as outputs")
    return 0


# -- dot -----------------------------------------------------------------------

_FORMATS = {".dot": "dot", ".gv": "dot", ".svg": "svg", ".png": "png"}


# Graphviz's layout time grows far faster than the drawing. Measured with
# `dot -Tsvg` on the reference machine (2 shared cores, busy), counting drawn
# nodes plus edges: a random pipeline DAG of 720 took 3.4 s, of 840 4.7 s and of
# 1180 75 s; a DAG with only short edges, 1180 took 0.9 s and 2350 9.9 s; a plain
# chain of 5940 took 0.5 s. Above the limit a drawing is refused unless
# --any-size is given; --around draws a readable part instead.
MAX_DRAWN_SIZE = 800
# With --around, the inputs and consumers taken in per node: enough to show a
# node's usual neighbours, few enough that a hub stays one screen.
AROUND_PER_SIDE = 12


def cmd_dot(args: argparse.Namespace) -> int:
    from brantel.render import (
        GraphvizMissing,
        drawn_size,
        escape_dot_controls,
        render_dot,
        write_picture,
    )

    if args.radius is not None and args.around is None:
        raise CliError("--radius needs --around ID")
    if args.plain and args.around is not None:
        raise CliError("--plain draws the whole store; it cannot be combined with --around")
    fmt = "dot"
    if args.output is not None:
        fmt = _FORMATS.get(Path(args.output).suffix.lower(), "")
        if not fmt:
            raise CliError(f"cannot tell the format of {args.output!r}: use a .dot, .svg or .png name")
    store = load_store(args.file)
    graph = load_graph(args.file, store)
    around = None if args.around is None else _node_id(graph, args.around)
    radius = 2 if args.radius is None else args.radius
    shown = None if around is None else graph.neighbourhood(around, radius, AROUND_PER_SIDE)
    size = drawn_size(graph, shown)
    if size > MAX_DRAWN_SIZE and not args.any_size:
        raise CliError(
            f"{args.file}: a drawing of {size} nodes and edges is too large to lay out in a few seconds "
            f"(limit {MAX_DRAWN_SIZE}); draw a part with --around ID, or pass --any-size"
        )
    if args.plain:
        text = escape_dot_controls(store.to_dot())
    else:
        text = render_dot(
            graph, width=args.label_width, around=around, radius=radius, per_side=AROUND_PER_SIDE,
            rankdir=args.rankdir,
        )
    if args.output is None:
        sys.stdout.write(text)
        return 0
    out = Path(args.output)
    if fmt == "dot":
        _write_text(out, text)
    else:
        with Progress(f"drawing {out} with Graphviz"):
            try:
                write_picture(text, out, fmt)
            except GraphvizMissing:
                raise CliError(
                    f"Graphviz 'dot' is not installed; write DOT text instead (-o {out.with_suffix('.dot')})", 1
                ) from None
            except (RuntimeError, OSError) as e:
                raise CliError(str(e), 1) from None
    print(f"wrote {out}")
    return 0


# -- reduce --------------------------------------------------------------------


def default_reduced_path(path: str) -> Path:
    p = Path(path)
    return p.with_name(p.stem + ".reduced.bir") if p.suffix else p.with_name(p.name + ".reduced.bir")


def node_map_path(out: Path) -> Path:
    return out.with_name((out.stem if out.suffix else out.name) + ".nodemap.json")


def node_map_json(header: dict[str, Any], node_map: Sequence[Any]) -> str:
    """The header fields, then "node_map": one line per source node, [reduced id, member or null] or null."""
    entries = [json.dumps(None if e is None else [e[0], e[1]]) for e in node_map]
    head = json.dumps(header, indent=1)[: -len("\n}")]
    body = ",\n  ".join(entries)
    return f'{head},\n "node_map": [' + (f"\n  {body}\n ]" if entries else "]") + "\n}\n"


def cmd_reduce(args: argparse.Namespace) -> int:
    store = load_store(args.file)
    _no_marks_note(args.file, store, args.outputs)
    reduced, report = reduce_store(store, maximal=args.maximal_fusion, outputs=args.outputs)
    out = Path(args.output) if args.output else default_reduced_path(args.file)
    blob = reduced.serialize()
    _write_bytes(out, blob)
    header = {
        "format": "brantel-node-map",
        "version": 1,
        "source": os.path.basename(args.file),
        "reduced": out.name,
        "maximal_fusion": bool(args.maximal_fusion),
        "outputs": args.outputs,
        "report": report,
    }
    map_path = node_map_path(out)
    _write_text(map_path, node_map_json(header, reduced.node_map()))
    rule = "maximal fusion" if args.maximal_fusion else "single-use fusion"
    print(report_table([(rule, report)]))
    print(f"\nwrote {out} ({len(blob)} bytes, {reduced.node_count()} nodes)")
    print(f"wrote {map_path}")
    return 0


# -- stats ---------------------------------------------------------------------


def cmd_stats(args: argparse.Namespace) -> int:
    store = load_store(args.file)
    graph = load_graph(args.file, store)
    size = Path(args.file).stat().st_size
    rows: list[list[str]] = [["file", f"{args.file} ({size} bytes)"], ["nodes", str(len(graph))]]
    with Progress("counting", announce=len(graph) > _SLOW_NODES):
        kinds = Counter(n["kind"] for n in graph.nodes)
        rows.append(["by kind", ", ".join(f"{k} {kinds[k]}" for k in NODE_KINDS if kinds[k]) or "-"])
        rows.append(["edges", str(sum(len(n["inputs"]) for n in graph.nodes))])
        rows.append(["outputs", listing([str(o) for o in graph.outputs]) or "none marked"])
        labels = {(n["kind"], n["name"], params_text(n["params"])) for n in graph.nodes}
        rows.append(["distinct operations", str(len(labels))])
        if graph.nodes:
            depth = graph.depth()
            deepest = max(range(len(depth)), key=depth.__getitem__)
            rows.append(["longest chain", f"{depth[deepest]} nodes, ending at node {deepest}"])
            fan_out = max(range(len(graph)), key=lambda i: len(graph.consumers[i]))
            rows.append(
                ["widest fan-out", f"node {fan_out} ({node_summary(graph.nodes[fan_out])}): "
                 f"{len(graph.consumers[fan_out])} consumer slots"]
            )
            unused = [n["id"] for n in graph.nodes if not graph.consumers[n["id"]] and not n["output"]]
            rows.append(["unread, not outputs", str(len(unused))])
        if graph.outputs:
            flags = graph.reachable()
            rows.append(["reachable from outputs", f"{sum(flags)} of {len(graph)}"])
        stages = [n for n in graph.nodes if n["kind"] == "stage"]
        if stages:
            sizes = [n["n_members"] for n in stages]
            rows.append(["stage members", f"{sum(sizes)} in {len(stages)} stages, largest {max(sizes)}"])
    print(_kv(rows))
    if graph.outputs:
        with Progress(f"reducing {len(graph)} nodes", announce=len(graph) > _SLOW_NODES):
            try:
                default = report_counts(store.reduction_report())
                maximal = report_counts(store.reduce(maximal_fusion=True)[1])
            except ValueError as e:
                raise CliError(str(e)) from None
        print()
        print(report_table([("single-use", default), ("maximal", maximal)]))
    return 0


def _kv(rows: Sequence[Sequence[str]]) -> str:
    width = max(len(r[0]) for r in rows)
    return "\n".join(f"{k.ljust(width)}  {v}" for k, v in rows)


# -- explain -------------------------------------------------------------------


def cmd_explain(args: argparse.Namespace) -> int:
    from brantel.explain import explain

    store = load_store(args.file)
    graph = load_graph(args.file, store)
    asked = None if args.node is None else _node_id(graph, args.node)
    _no_marks_note(args.file, store, args.outputs)
    reduced, report = reduce_store(store, maximal=args.maximal_fusion, outputs=args.outputs)
    with Progress("explaining", announce=len(graph) > _SLOW_NODES):
        ex = explain(graph, Graph.from_store(reduced), reduced.node_map(), maximal=args.maximal_fusion)
        targets = [asked] if asked is not None else [n["id"] for n in graph.nodes if n["kind"] == "op"]
        fates = [ex.fate(i) for i in targets]
    rule = "maximal fusion" if args.maximal_fusion else "single-use fusion"
    roots = args.outputs if args.outputs is not None else graph.outputs
    print(f"{args.file}: {len(graph)} nodes, outputs {listing([str(o) for o in roots]) or 'none'}, {rule}")
    for f in fates:
        print(f"\nnode {f.node}  {one_line(node_summary(graph.nodes[f.node]))}")
        for line in f.text:
            print(f"  {one_line(line)}")
    folds = [ex.folds[i] for i in sorted(ex.folds)]
    if asked is not None:
        # The whole chain the asked node belongs to: x <- x*1.0 <- (x*1.0)+0.0.
        group = set(ex.members_with(asked))
        folds = [fd for fd in folds if fd.node in group]
    if folds:
        print(f"\nfolded nodes ({len(folds)})")
        rows = [[str(fd.node), str(fd.into), fd.rule, one_line(fd.detail)] for fd in folds]
        print(table(["node", "into", "by", "detail"], rows, right=[0, 1]))
    if asked is None:
        ops = fates
        fused = sum(1 for f in ops if f.fused)
        ended = [f for f in ops if f.fused is False]
        reasons = Counter(r for f in ended for r in f.reasons)
        dropped = sum(1 for f in ops if f.landed is None)
        folded = sum(1 for f in ops if f.fold is not None)
        print(
            f"\n{len(ops)} ops: {fused} fused into a consumer, {len(ended)} end their stage"
            + (" (" + ", ".join(f"{k} {v}" for k, v in sorted(reasons.items())) + ")" if reasons else "")
            + f", {folded} folded into another node, {dropped} dropped"
        )
        print(
            f"reduced to {report['reduced_nodes']} nodes: {report['stages']} stages, "
            f"{report['boundary_nodes']} other nodes"
        )
    return 0


# -- fingerprint ---------------------------------------------------------------


def cmd_fingerprint(args: argparse.Namespace) -> int:
    from brantel.fingerprinting import fingerprint

    store = load_store(args.file)
    _no_marks_note(args.file, store, args.outputs)
    try:
        print(fingerprint(store, args.outputs))
    except ValueError as e:  # an --outputs id the store does not have
        raise CliError(f"{args.file}: {e}") from None
    return 0


# -- parser --------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {message}\n")


def _outputs_arg(text: str) -> list[int]:
    try:
        return parse_ids(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _count_arg(text: str) -> int:
    if not text.isdigit() or not text.isascii():
        raise argparse.ArgumentTypeError(f"not a non-negative integer: {text!r}")
    return int(text)


def _width_arg(text: str) -> int:
    n = _count_arg(text)
    if n < 8:
        raise argparse.ArgumentTypeError("labels need at least 8 characters")
    return n


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Look at, draw, reduce, count and explain brantel IR blobs (files written by "
        "GraphStore.serialize).",
        epilog="Exit codes: 0 ok, 1 the work failed (Graphviz, writing a file), 2 bad arguments or a "
        "bad blob, 3 internal error of brantel_core.",
    )
    parser.add_argument("--version", action="store_true", help="print the versions and exit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    def command(name: str, func: Callable[[argparse.Namespace], int], help_text: str, desc: str) -> Any:
        p = sub.add_parser(name, help=help_text, description=desc)
        p.set_defaults(func=func)
        p.add_argument("file", metavar="FILE", help="an IR blob")
        return p

    p = command(
        "show", cmd_show, "print the nodes as a table",
        "Print one row per node: id, kind, name, inputs, params and an output mark (*). A stage's "
        "name column lists its members in order.",
    )
    p.add_argument("--members", action="store_true", help="list every stage member on a row of its own")
    p.add_argument("--kind", action="append", metavar="KIND", choices=NODE_KINDS,
                   help=f"show only nodes of this kind (repeatable): {', '.join(NODE_KINDS)}")
    p.add_argument("--wide", action="store_true", help="do not shorten long cells")

    p = command(
        "dot", cmd_dot, "draw the graph with Graphviz",
        "Write a Graphviz drawing. Each stage of several members is drawn as a cluster of its members; "
        "edges carry the input position wherever input order matters. Without -o the DOT text goes to "
        "standard output; with -o the file name's suffix picks DOT text (.dot, .gv) or a picture made by "
        "Graphviz 'dot' (.svg, .png). Drawings too large to lay out in a few seconds are refused: draw "
        f"a part with --around (at most {AROUND_PER_SIDE} inputs and consumers per node), or force it "
        "with --any-size.",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="OUT.dot, OUT.svg or OUT.png")
    p.add_argument("--around", type=_count_arg, metavar="ID",
                   help=f"draw only the neighbourhood of node ID, at most {AROUND_PER_SIDE} inputs and "
                   "consumers per node, with a '+N more' stub for the rest")
    p.add_argument("--radius", type=_count_arg, metavar="K",
                   help="with --around: include nodes up to K edges away, either direction (default 2)")
    p.add_argument("--label-width", type=_width_arg, default=48, metavar="N",
                   help="cut label lines to N characters (default 48)")
    p.add_argument("--rankdir", choices=["TB", "LR"], default="TB", help="layout direction (default TB)")
    p.add_argument("--plain", action="store_true",
                   help="the module's own GraphStore.to_dot() text instead: one box per node, stages as one box")
    p.add_argument("--any-size", action="store_true",
                   help=f"draw even above {MAX_DRAWN_SIZE} nodes and edges, which Graphviz may take minutes over")

    p = command(
        "reduce", cmd_reduce, "reduce the graph and write the reduced blob",
        "Reduce the graph (dead-code elimination, identity and commutativity rewriting, common "
        "subexpressions, stage fusion), write the reduced blob and print the report. The node map, "
        "which the blob does not carry, is written next to it as NAME.nodemap.json.",
    )
    p.add_argument("-o", "--output", metavar="OUT", help="reduced blob to write (default FILE.reduced.bir)")
    p.add_argument("--maximal-fusion", action="store_true",
                   help="also fuse an op that fans out, when all its consumers share one stage")
    p.add_argument("--outputs", type=_outputs_arg, metavar="IDS",
                   help="comma-separated node ids to compute instead of the blob's output marks")

    command(
        "stats", cmd_stats, "count nodes, edges and what a reduction would do",
        "Print counts: nodes by kind, edges, outputs, distinct operations, the longest chain, the widest "
        "fan-out and, when the blob marks outputs, the reduction report under both fusion rules.",
    )

    p = command(
        "explain", cmd_explain, "say why each op did or did not fuse",
        "Reduce the graph and say, for each op (or the node given), where it landed, whether it fused "
        "into its consumer and, if not, why (it is an output, it has more than one consumer slot, a "
        "consumer is opaque, its consumers are in different stages). Also lists which nodes were folded "
        "into which by identity, commutativity or common-subexpression elimination.",
    )
    p.add_argument("--maximal-fusion", action="store_true", help="explain the maximal fusion rule")
    p.add_argument("--node", type=_count_arg, metavar="ID", help="explain only this node")
    p.add_argument("--outputs", type=_outputs_arg, metavar="IDS",
                   help="comma-separated node ids to compute instead of the blob's output marks")

    p = command(
        "fingerprint", cmd_fingerprint, "print the pipeline's order-independent SHA-256",
        "Print a SHA-256 (hex) of the graph the outputs reach, computed bottom-up from each node's label "
        "and its inputs' digests, so it does not depend on node ids or the order the graph was built in.",
    )
    p.add_argument("--outputs", type=_outputs_arg, metavar="IDS",
                   help="comma-separated node ids to fingerprint instead of the blob's output marks")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.version:
        core = _core()
        print(f"{PROG}: brantel_core {core.version()}")
        return 0
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    try:
        try:
            return int(args.func(args))
        except CliError as e:
            print(f"{PROG}: {e}", file=sys.stderr)
            return e.code
        except BaseException as e:
            panic = getattr(sys.modules.get("brantel_core"), "PanicException", None)
            if panic is not None and isinstance(e, panic):
                print(f"{PROG}: internal error in brantel_core: {e}", file=sys.stderr)
                return 3
            raise
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (brantel show x | head); drop what is left quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
