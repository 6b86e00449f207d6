"""The brantel command line, driven as a subprocess (python -m brantel ...)."""

from __future__ import annotations

import io
import json
import os
import re
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest

import brantel_core as bc
from brantel.progress import Progress

HAVE_DOT = any((Path(p) / "dot").exists() for p in os.environ.get("PATH", "").split(os.pathsep) if p)


def _env(**extra: str) -> dict[str, str]:
    import brantel

    paths = [str(Path(bc.__file__).parent), str(Path(brantel.__file__).parent.parent)]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([*paths, env.get("PYTHONPATH", "")])
    env.update(extra)
    return env


def brantel(*args: str, timeout: float = 300, **env: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "brantel", *args],
        capture_output=True,
        text=True,
        env=_env(**env),
        timeout=timeout,
    )


def write(tmp_path: Path, name: str, store: bc.GraphStore, outputs: list[int] | None) -> Path:
    path = tmp_path / name
    path.write_bytes(store.serialize(outputs=outputs))
    return path


# -- graphs ------------------------------------------------------------------------

IDENTITY_R = {"scalar": 0.0, "side": "r"}


def chain_store() -> tuple[bc.GraphStore, list[int]]:
    """a; f(a); g(f); h(a) unused; sum(g), the output."""
    s = bc.GraphStore()
    a = s.add_source("a")
    f = s.add_op("f", [a])
    g = s.add_op("g", [f])
    s.add_op("h", [a])
    total = s.add_reduction("sum", [g])
    return s, [total]


def folds_store() -> tuple[bc.GraphStore, list[int]]:
    s = bc.GraphStore()
    x = s.add_source("x")  # 0
    y = s.add_source("y")  # 1
    xi = s.add_op("add", [x], IDENTITY_R)  # 2: identity, folds into 0
    n1 = s.add_op("neg", [xi])  # 3
    n2 = s.add_op("neg", [x])  # 4: cse with 3 once 2 is gone
    t1 = s.add_op("add", [x, y])  # 5
    t2 = s.add_op("add", [y, x])  # 6: commutativity with 5
    sq = s.add_op("mul", [t1, t2])  # 7: mul(t, t), two slots on t
    return s, [n1, n2, sq]


def diamond_store() -> tuple[bc.GraphStore, list[int]]:
    s = bc.GraphStore()
    src = s.add_source("src")
    a = s.add_op("a", [src])
    b = s.add_op("b", [a])
    c = s.add_op("c", [a])
    d = s.add_op("d", [b, c])
    return s, [d]


def split_store() -> tuple[bc.GraphStore, list[int]]:
    """p feeds q and r, both outputs, so they can never share a stage."""
    s = bc.GraphStore()
    src = s.add_source("src")
    p = s.add_op("p", [src])
    q = s.add_op("q", [p])
    r = s.add_op("r", [p])
    return s, [q, r]


def long_chain(n: int) -> tuple[bc.GraphStore, list[int]]:
    s = bc.GraphStore()
    last = s.add_source("start")
    for i in range(n):
        last = s.add_op("step", [last], {"i": i})
    return s, [last]


@pytest.fixture
def chain(tmp_path: Path) -> Path:
    s, outs = chain_store()
    return write(tmp_path, "chain.bir", s, outs)


# -- hand-written blobs ---------------------------------------------------------------


def _str(text: str) -> bytes:
    raw = text.encode()
    return struct.pack("<I", len(raw)) + raw


def stage_blob(label: str) -> bytes:
    """A source and a one-member stage whose member label is ``label``."""
    source = b"\x00" + _str("s") + struct.pack("<I", 0)
    stage = (
        b"\x04" + struct.pack("<IQ", 1, 0) + struct.pack("<I", 1)
        + _str(label) + struct.pack("<I", 1) + b"\x00" + struct.pack("<I", 0)
    )
    return b"BIR1" + struct.pack("<I", 2) + source + stage + struct.pack("<IQ", 1, 1)


BAD_BLOBS = {
    "empty": b"",
    "short magic": b"BIR",
    "wrong magic": b"XXXX",
    "next version": b"BIR2" + bytes(8),
    "no output count": b"BIR1" + bytes(4),
    "bad node tag": b"BIR1" + struct.pack("<I", 1) + b"\x07",
    "forward reference": b"BIR1" + struct.pack("<I", 1) + b"\x01" + _str("f") + struct.pack("<IIQ", 0, 1, 0),
    "bad utf-8": b"BIR1" + struct.pack("<I", 1) + b"\x00" + struct.pack("<I", 2) + b"\xff\xfe",
}


def module_message(data: bytes) -> str:
    with pytest.raises(ValueError) as excinfo:
        bc.GraphStore.deserialize(data)
    return str(excinfo.value)


# -- errors ----------------------------------------------------------------------------

COMMANDS = ["show", "dot", "reduce", "stats", "explain"]


# Every kind of bad blob through one command, and one bad blob through every command:
# all of them load through the same function.
BAD_BLOB_CASES = [("show", case) for case in sorted(BAD_BLOBS)] + [
    (command, "wrong magic") for command in COMMANDS if command != "show"
]


@pytest.mark.parametrize(("command", "case"), BAD_BLOB_CASES)
def test_bad_blob_gives_module_message_and_exit_2(tmp_path: Path, command: str, case: str) -> None:
    path = tmp_path / "bad.bir"
    path.write_bytes(BAD_BLOBS[case])
    done = brantel(command, str(path))
    assert done.returncode == 2
    assert done.stderr == f"brantel: {path}: {module_message(BAD_BLOBS[case])}\n"
    assert done.stdout == ""


def test_bad_blob_messages_are_the_modules_own() -> None:
    # Pin a few texts so that a change in the module's wording is noticed here too.
    assert module_message(b"") == "truncated brantel IR blob"
    assert module_message(b"XXXX") == "not a brantel IR blob (bad magic/version)"
    assert module_message(BAD_BLOBS["bad node tag"]) == "invalid node tag 7"
    assert module_message(BAD_BLOBS["forward reference"]) == "node reference 0 out of range"


@pytest.mark.parametrize("command", ["show", "dot", "explain"])
def test_unparseable_stage_member_is_a_clean_error(tmp_path: Path, command: str) -> None:
    path = tmp_path / "foreign.bir"
    path.write_bytes(stage_blob("src|a"))
    done = brantel(command, str(path))
    assert done.returncode == 2
    assert done.stderr == f'brantel: {path}: unparseable stage member token "src|a"\n'


@pytest.mark.parametrize("command", COMMANDS)
def test_missing_file(tmp_path: Path, command: str) -> None:
    done = brantel(command, str(tmp_path / "nope.bir"))
    assert done.returncode == 2
    assert done.stderr == f"brantel: cannot read {tmp_path / 'nope.bir'}: No such file or directory\n"


BAD_ARGS = [
    ([], "COMMAND"),
    (["frobnicate", "x"], "invalid choice"),
    (["show"], "the following arguments are required: FILE"),
    (["reduce", "{f}", "--outputs", "1,x"], "not a node id: 'x'"),
    (["reduce", "{f}", "--outputs", "-1"], "not a node id: '-1'"),
    (["reduce", "{f}", "--outputs", "1,,2"], "empty node id in '1,,2'"),
    (["explain", "{f}", "--outputs", "1,"], "empty node id in '1,'"),
    (["reduce", "{f}", "--outputs", "1 ,, 2"], "empty node id in '1 ,, 2'"),
    (["dot", "{f}", "--radius", "2"], "--radius needs --around ID"),
    (["dot", "{f}", "--around", "two"], "not a non-negative integer: 'two'"),
    (["dot", "{f}", "--label-width", "3"], "labels need at least 8 characters"),
    (["dot", "{f}", "-o", "{d}/x.jpg"], "use a .dot, .svg or .png name"),
    (["dot", "{f}", "--around", "5"], "no node with id 5"),
    (["explain", "{f}", "--node", "99"], "no node with id 99"),
    (["reduce", "{f}", "--outputs", "2,5"], "no node with id 5"),
    (["explain", "{f}", "--outputs", "7"], "no node with id 7"),
    (["show", "{f}", "--kind", "banana"], "invalid choice"),
]


@pytest.mark.parametrize(("args", "message"), BAD_ARGS, ids=[" ".join(a) or "none" for a, _ in BAD_ARGS])
def test_bad_arguments_exit_2_without_traceback(chain: Path, args: list[str], message: str) -> None:
    done = brantel(*(a.format(f=chain, d=chain.parent) for a in args))
    assert done.returncode == 2, done.stderr
    assert message in done.stderr
    assert "Traceback" not in done.stderr


@pytest.mark.parametrize("command", [None, *COMMANDS])
def test_help(command: str | None) -> None:
    done = brantel(*([command] if command else []), "--help")
    assert done.returncode == 0
    assert done.stdout.startswith(f"usage: brantel{' ' + command if command else ''}")
    if command is None:
        for c in COMMANDS:
            assert c in done.stdout
    if command == "show":
        assert "source, op, reduction, external, stage, exchange, join" in " ".join(done.stdout.split())


def test_version() -> None:
    done = brantel("--version")
    assert done.returncode == 0
    assert done.stdout == f"brantel: brantel_core {bc.version()}\n"


# -- show --------------------------------------------------------------------------------


def rows(stdout: str) -> list[list[str]]:
    lines = stdout.splitlines()
    assert lines[0].split() == ["id", "kind", "name", "inputs", "params", "output"]
    assert set(lines[1]) <= {"-", " "}
    body = lines[2 : lines.index("")]
    return [re.split(r"\s{2,}", line.strip()) for line in body]


def test_show_lists_every_node_and_marks_outputs(chain: Path) -> None:
    done = brantel("show", str(chain))
    assert done.returncode == 0
    table = rows(done.stdout)
    assert [r[:3] for r in table] == [
        ["0", "source", "a"], ["1", "op", "f"], ["2", "op", "g"], ["3", "op", "h"], ["4", "reduction", "sum"]
    ]
    assert [r[3] for r in table[1:]] == ["0", "1", "0", "2"]
    assert [r[-1] == "*" for r in table] == [False, False, False, False, True]
    assert done.stdout.rstrip().endswith("5 of 5 nodes shown, 1 marked as outputs")


def test_show_params_keep_int_float_and_bool_apart(tmp_path: Path) -> None:
    s = bc.GraphStore()
    s.add_source("s", {"i": 1, "f": 1.0, "b": True, "t": 'a "b" \\c', "z": -0.0})
    d = dict(kind="model", content_hash="h", framework="fw", version="1", io_schema="a->b", preprocessing_ref="prep")
    s.add_external(d, [0])
    done = brantel("show", str(write(tmp_path, "p.bir", s, [0])), "--wide")
    # Each value once, as nodes() gives it: no escaping a table does not need.
    assert '{b=true, f=1.0, i=1, t="a "b" \\c", z=-0.0}' in done.stdout
    assert 'model:h [fw 1]' in done.stdout
    assert 'io_schema="a->b"' in done.stdout and 'preprocessing_ref="prep"' in done.stdout


def test_show_stage_members(tmp_path: Path) -> None:
    s, outs = chain_store()
    reduced, _ = s.reduce(outputs=outs)
    path = write(tmp_path, "r.bir", reduced, None)
    table = rows(brantel("show", str(path)).stdout)
    assert table[1][:4] == ["1", "stage", "f > g", "0"]
    expanded = brantel("show", str(path), "--members").stdout
    assert "[0] op" in expanded and "f(in0)" in expanded
    assert "[1] op" in expanded and "g(m0)" in expanded


def test_show_kind_filter(chain: Path) -> None:
    table = rows(brantel("show", str(chain), "--kind", "op", "--kind", "reduction").stdout)
    assert [r[1] for r in table] == ["op", "op", "op", "reduction"]


def test_show_shortens_long_cells_unless_wide(tmp_path: Path) -> None:
    s = bc.GraphStore()
    s.add_source("n" * 200)
    path = write(tmp_path, "long.bir", s, [])
    short = brantel("show", str(path)).stdout
    assert "n" * 47 + "…" in short and "n" * 48 not in short
    assert "n" * 200 in brantel("show", str(path), "--wide").stdout


# -- dot ------------------------------------------------------------------------------------


def test_dot_draws_stages_as_clusters(tmp_path: Path) -> None:
    s, outs = chain_store()
    reduced, _ = s.reduce(outputs=outs)
    done = brantel("dot", str(write(tmp_path, "r.bir", reduced, None)))
    assert done.returncode == 0
    text = done.stdout
    assert text.startswith("digraph brantel {\n") and text.endswith("}\n")
    assert "subgraph cluster_1 {" in text
    for edge in ("n0 -> n1m0;", "n1m0 -> n1m1;", "n1m1 -> n2;"):
        assert edge in text
    assert re.search(r"n2 \[label=\"#2 reduction sum\".*peripheries=2", text)
    assert text.count("->") == 3


def test_dot_around_draws_only_the_neighbourhood(tmp_path: Path) -> None:
    s, outs = long_chain(50)
    done = brantel("dot", str(write(tmp_path, "c.bir", s, outs)), "--around", "25", "--radius", "2")
    drawn = sorted(int(m) for m in re.findall(r"^  n(\d+) \[", done.stdout, re.M))
    assert drawn == [23, 24, 25, 26, 27]
    assert "1 more input" in done.stdout and "1 more consumer" in done.stdout
    assert re.search(r'n25 \[.*color="#c0392b"', done.stdout)


def test_dot_labels_stay_under_the_graphviz_limit(tmp_path: Path) -> None:
    s = bc.GraphStore()
    s.add_source("x" * 30000, {"k" * 20000: "v" * 20000})
    path = write(tmp_path, "huge.bir", s, [0])
    text = brantel("dot", str(path), "--label-width", "100000").stdout
    strings = re.findall(r'"(?:[^"\\]|\\.)*"', text)
    assert max(len(q) for q in strings) < 16384
    assert "…" in text


@pytest.mark.skipif(not HAVE_DOT, reason="Graphviz dot is not installed")
@pytest.mark.parametrize(("suffix", "magic"), [(".svg", b"<?xml"), (".png", b"\x89PNG")])
def test_dot_writes_pictures(tmp_path: Path, suffix: str, magic: bytes) -> None:
    s, outs = folds_store()
    reduced, _ = s.reduce(outputs=outs, maximal_fusion=True)
    path = write(tmp_path, "r.bir", reduced, None)
    out = tmp_path / f"picture{suffix}"
    done = brantel("dot", str(path), "-o", str(out))
    assert done.returncode == 0, done.stderr
    assert out.read_bytes().startswith(magic)
    # Graphviz accepts shortened huge labels too.
    big = bc.GraphStore()
    big.add_source("y" * 30000)
    huge = brantel("dot", str(write(tmp_path, "h.bir", big, [0])), "-o", str(tmp_path / f"h{suffix}"))
    assert huge.returncode == 0, huge.stderr


def test_dot_without_graphviz(tmp_path: Path, chain: Path) -> None:
    empty = tmp_path / "empty-path"
    empty.mkdir()
    done = brantel("dot", str(chain), "-o", str(tmp_path / "x.svg"), PATH=str(empty))
    assert done.returncode == 1
    assert "Graphviz 'dot' is not installed" in done.stderr
    assert not (tmp_path / "x.svg").exists()
    assert brantel("dot", str(chain), "-o", str(tmp_path / "x.dot"), PATH=str(empty)).returncode == 0
    assert (tmp_path / "x.dot").read_text().startswith("digraph brantel {")


ESCAPED_CHARACTERS = [chr(c) for c in range(32)] + ["\x7f", "\x85", "é", "日本", "\u2028", "🙂"]


@pytest.mark.skipif(not HAVE_DOT, reason="Graphviz dot is not installed")
@pytest.mark.parametrize("char", ESCAPED_CHARACTERS, ids=[f"U+{ord(c[0]):04X}" for c in ESCAPED_CHARACTERS])
def test_every_view_escapes_control_characters(tmp_path: Path, capsys: pytest.CaptureFixture[str], char: str) -> None:
    from brantel.cli import main

    s = bc.GraphStore()
    x = s.add_source(f"a{char}b", {f"k{char}": f"v{char}"})
    y = s.add_op(f"f{char}", [x, x], {"s": char})
    stage = s.reduce(outputs=[y, s.add_op("g", [y])])[0]
    path = write(tmp_path, "c.bir", s, [y])
    staged = write(tmp_path, "s.bir", stage, None)
    for args in (["dot", str(path)], ["dot", str(path), "--plain"], ["dot", str(staged)], ["dot", str(staged), "--plain"]):
        assert main(args) == 0
        text = capsys.readouterr().out
        done = subprocess.run(["dot", "-Tsvg"], input=text.encode(), capture_output=True, timeout=60)
        assert done.returncode == 0 and not done.stderr, (args, done.stderr)
    for args in (["explain", str(path)], ["show", str(path), "--members"]):
        assert main(args) == 0
        text = capsys.readouterr().out
        assert not any(c in text for c in map(chr, [*range(10), *range(11, 32), 0x7F, 0x85])), args
    if char.isprintable():
        assert f"a{char}b" in text


def hub_store(consumers: int) -> tuple[bc.GraphStore, list[int]]:
    s = bc.GraphStore()
    hub = s.add_source("hub")
    outs = [s.add_op("f", [hub], {"i": i}) for i in range(consumers)]
    return s, outs


@pytest.mark.parametrize(
    ("graph", "args", "code", "drawn", "text"),
    [
        (lambda: long_chain(500), [], 2, 0, "too large to lay out in a few seconds (limit 800); draw a part with --around ID"),
        (lambda: long_chain(500), ["--any-size"], 0, 501, ""),
        (lambda: long_chain(500), ["--plain"], 2, 0, "pass --any-size"),
        (lambda: long_chain(500), ["--around", "250", "--radius", "3"], 0, 7, "+1 more consumer"),
        (lambda: hub_store(300), ["--around", "0", "--radius", "1"], 0, 13, "+288 more consumers"),
        (lambda: hub_store(300), ["--around", "150", "--radius", "2"], 0, 14, "+287 more consumers"),
        (lambda: hub_store(30), ["--around", "0"], 0, 13, "+18 more consumers"),
    ],
)
def test_dot_size_limit_and_bounded_neighbourhoods(  # type: ignore[no-untyped-def]
    tmp_path: Path, graph, args: list[str], code: int, drawn: int, text: str
) -> None:
    done = brantel("dot", str(write(tmp_path, "g.bir", *graph())), *args)
    assert done.returncode == code, done.stderr
    if code:
        assert len(done.stderr.splitlines()) == 1 and text in done.stderr
        return
    assert len(re.findall(r"^  n\d+ \[", done.stdout, re.M)) == drawn
    assert text in done.stdout


def test_dot_labels_positions_where_order_matters_and_flattens_one_member_stages(tmp_path: Path) -> None:
    s = bc.GraphStore()
    a, b = s.add_source("a"), s.add_source("b")
    plus = s.add_op("add", [a, b])  # bare commutative: no positions
    minus = s.add_op("sub", [a, b])
    joined = s.add_join([b, a])
    text = brantel("dot", str(write(tmp_path, "g.bir", s, [plus, minus, joined]))).stdout
    assert "n0 -> n2;" in text and "n1 -> n2;" in text
    assert 'n0 -> n3 [label="0"];' in text and 'n1 -> n3 [label="1"];' in text
    assert 'n1 -> n4 [label="0"];' in text and 'n0 -> n4 [label="1"];' in text

    reduced, _ = s.reduce(outputs=[minus, s.add_op("neg", [s.add_op("f", [minus])])])
    text = brantel("dot", str(write(tmp_path, "r.bir", reduced, None))).stdout
    stages = [n for n in reduced.nodes() if n["kind"] == "stage"]
    assert sorted(n["n_members"] for n in stages) == [1, 2]
    assert text.count("subgraph cluster_") == 1
    single = next(n["id"] for n in stages if n["n_members"] == 1)
    assert f'n0 -> n{single} [label="in0"];' in text and f'n1 -> n{single} [label="in1"];' in text


# -- reduce ----------------------------------------------------------------------------------


@pytest.mark.parametrize("maximal", [False, True])
@pytest.mark.parametrize("outputs", [None, [4, 2, 4]])
def test_reduce_matches_the_module(tmp_path: Path, maximal: bool, outputs: list[int] | None) -> None:
    s, outs = folds_store()
    path = write(tmp_path, "g.bir", s, outs)
    args = ["reduce", str(path)] + (["--maximal-fusion"] if maximal else [])
    if outputs is not None:
        args += ["--outputs", ",".join(map(str, outputs))]
    done = brantel(*args)
    assert done.returncode == 0, done.stderr
    loaded = bc.GraphStore.deserialize(path.read_bytes())
    reduced, report = loaded.reduce(maximal_fusion=maximal, outputs=outputs)
    out = tmp_path / "g.reduced.bir"
    assert out.read_bytes() == reduced.serialize()
    mapping = json.loads((tmp_path / "g.reduced.nodemap.json").read_text())
    assert mapping["node_map"] == [None if e is None else list(e) for e in reduced.node_map()]
    assert mapping["report"] == dict(report)
    assert mapping["maximal_fusion"] is maximal and mapping["outputs"] == outputs
    for key, value in report.items():
        assert re.search(rf"^{key}\s+{value}\s", done.stdout, re.M), key


def test_reduce_output_path_and_empty_marks(tmp_path: Path) -> None:
    s, _ = chain_store()
    path = write(tmp_path, "nomarks.bir", s, [])
    out = tmp_path / "sub.bir"
    done = brantel("reduce", str(path), "-o", str(out))
    assert done.returncode == 0
    assert "marks no outputs" in done.stderr
    assert bc.GraphStore.deserialize(out.read_bytes()).node_count() == 0
    assert json.loads((tmp_path / "sub.nodemap.json").read_text())["node_map"] == [None] * 5
    bad = brantel("reduce", str(path), "-o", str(tmp_path / "missing-dir" / "x.bir"))
    assert bad.returncode == 1 and "cannot write" in bad.stderr


# -- stats ------------------------------------------------------------------------------------


def test_stats(chain: Path) -> None:
    done = brantel("stats", str(chain))
    assert done.returncode == 0
    values = {line[:24].strip(): line[24:].strip() for line in done.stdout.splitlines()[:12] if line}
    assert values["nodes"] == "5"
    assert values["by kind"] == "source 1, op 3, reduction 1"
    assert values["edges"] == "4"
    assert values["outputs"] == "4"
    assert values["longest chain"] == "4 nodes, ending at node 4"
    assert values["reachable from outputs"] == "4 of 5"
    assert values["unread, not outputs"] == "1"
    assert re.search(r"^stages\s+1\s+1\s", done.stdout, re.M)
    assert re.search(r"^reduced_nodes\s+3\s+3\s", done.stdout, re.M)


# -- explain -------------------------------------------------------------------------------------


def explain(tmp_path: Path, store_and_outputs: tuple[bc.GraphStore, list[int]], *args: str) -> str:
    s, outs = store_and_outputs
    done = brantel("explain", str(write(tmp_path, "g.bir", s, outs)), *args)
    assert done.returncode == 0, done.stderr
    return done.stdout


def block(text: str, node: int) -> str:
    m = re.search(rf"^node {node}  .*?(?=^\S|\Z)", text, re.M | re.S)
    assert m, f"no block for node {node}"
    return m.group(0)


def test_explain_chain(tmp_path: Path) -> None:
    out = explain(tmp_path, chain_store())
    assert "fused into its consumer: node 2 (op g) [member 1]" in block(out, 1)
    assert "consumed by an opaque node: node 4 (reduction sum)" in block(out, 2)
    assert "dropped: no output depends on it" in block(out, 3)
    assert "3 ops: 1 fused into a consumer, 1 end their stage (opaque consumer 1), 0 folded" in out


def test_explain_folds(tmp_path: Path) -> None:
    out = explain(tmp_path, folds_store())
    folded = out[out.index("folded nodes") :]
    assert re.search(r"^\s+2\s+0\s+identity\s+add 0.0 on the right$", folded, re.M)
    assert re.search(r"^\s+4\s+3\s+cse\s", folded, re.M)
    assert re.search(r"^\s+6\s+5\s+commutativity\s+add with its operands swapped$", folded, re.M)
    assert "it has 2 consumer slots" in block(out, 5)
    assert "node 7 (op mul) reads it twice, at inputs 0 and 1" in block(out, 5)
    assert "node 6 was folded into this node by commutativity, so its consumer 7 reads it twice" in block(out, 5)
    assert "it is an output" in block(out, 3)


@pytest.mark.parametrize(
    ("graph", "node", "default", "maximal"),
    [
        (diamond_store, 1, "it has 2 consumer slots", "fused into its consumers"),
        (folds_store, 5, "it has 2 consumer slots", "fused into its consumer: node 7"),
        (split_store, 1, "it has 2 consumer slots", "its consumers sit in different stages"),
        (chain_store, 2, "consumed by an opaque node", "consumed by an opaque node"),
    ],
)
def test_explain_both_rules(tmp_path: Path, graph, node: int, default: str, maximal: str) -> None:  # type: ignore[no-untyped-def]
    assert default in block(explain(tmp_path, graph()), node)
    assert maximal in block(explain(tmp_path, graph(), "--maximal-fusion"), node)


@pytest.mark.parametrize(
    ("name", "params", "arity", "why"),
    [
        ("add", {"scalar": 0, "side": "r"}, 1, "its scalar is the Int 0, not the Float 0.0"),
        ("mul", {"scalar": True, "side": "l"}, 1, "its scalar is the Bool true, not the Float 1.0"),
        ("add", {"scalar": -0.0, "side": "l"}, 1, "its scalar is -0.0, and only the Float 0.0 counts"),
        ("mul", {"scalar": 1.0, "side": "r", "k": 1}, 1, "it has the extra param k"),
        ("add", {"scalar": 0.0, "side": "x"}, 1, 'its side is "x", not "l" or "r"'),
        ("add", {"scalar": 0.0}, 1, 'it has no "side" param'),
        ("mul", {"scalar": 1.0, "side": "r"}, 2, "it has 2 inputs, and only a one-input op is an identity"),
        ("maximum", {"k": 1}, 2, "commutes only with no params and exactly two inputs, and it has params (k)"),
        ("eq", {}, 3, "commutes only with no params and exactly two inputs, and it has 3 inputs"),
        ("add", {"scalar": 2.5, "side": "r"}, 1, None),  # not a near miss: nothing to say
        ("sub", {}, 2, None),
    ],
)
def test_explain_says_why_an_op_nearly_folded(tmp_path: Path, name: str, params: dict[str, object], arity: int, why: str | None) -> None:
    s = bc.GraphStore()
    inputs = [s.add_source(f"s{i}") for i in range(arity)]
    op = s.add_op(name, inputs, params)  # type: ignore[arg-type]
    text = block(explain(tmp_path, (s, [s.add_op("neg", [op])])), op)
    if why is None:
        assert "not eliminated" not in text and "not swapped" not in text
    else:
        assert why in text


def test_explain_stays_readable_with_hundreds_of_consumers(tmp_path: Path) -> None:
    s, outs = hub_store(400)
    fan = s.add_op("fan", [0])
    readers = [s.add_op("r", [fan], {"i": i}) for i in range(400)]
    out = explain(tmp_path, (s, [*outs, *readers]))
    assert max(len(line) for line in out.splitlines()) < 200
    assert "8 and 792 more, single-use fusion" in out.splitlines()[0]
    assert "... and 392 more consumers" in block(out, fan)


def test_explain_one_node_shows_its_fold_chain(tmp_path: Path) -> None:
    s = bc.GraphStore()
    x = s.add_source("src")
    w = s.add_op("mul", [x], {"scalar": 1.0, "side": "l"})
    z = s.add_op("add", [w], {"scalar": 0.0, "side": "l"})
    out = explain(tmp_path, (s, [s.add_op("neg", [z])]), "--node", str(z))
    assert "folded into node 1 by identity (add 0.0 on the left)" in out
    assert "lands where node 0 landed: reduced node 0" in out
    assert re.search(r"^\s+1\s+0\s+identity\s+mul by 1.0 on the left$", out, re.M)
    assert "node 3" not in out


def test_explain_stays_linear_on_one_huge_stage(tmp_path: Path) -> None:
    # 30000 ops fuse into one stage; a per-member scan of the stage would take hours.
    s, outs = long_chain(30000)
    done = brantel("explain", str(write(tmp_path, "long.bir", s, outs)), timeout=240)
    assert done.returncode == 0
    assert "30000 ops: 29999 fused into a consumer, 1 end their stage (output 1)" in done.stdout


# -- progress -----------------------------------------------------------------------------------


class _Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


def test_progress_draws_on_a_terminal_and_clears_its_line() -> None:
    term = _Terminal()
    with Progress("crunching", stream=term, delay=0.01, interval=0.01):
        time.sleep(0.3)
    text = term.getvalue()
    assert "crunching" in text
    assert text.endswith("\r\x1b[K")


def test_progress_waits_for_its_delay_and_skips_pipes() -> None:
    term = _Terminal()
    with Progress("quick", stream=term, delay=5):
        pass
    assert term.getvalue() == ""
    pipe = io.StringIO()
    with Progress("quiet", stream=pipe, delay=0, announce=True):
        time.sleep(0.05)
    assert pipe.getvalue() == ""
    now = _Terminal()
    with Progress("big job", stream=now, delay=5, announce=True):
        assert "big job" in now.getvalue()
