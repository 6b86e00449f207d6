"""The main-job example, run as a user would run it, into a temporary folder."""

from __future__ import annotations

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import brantel_core as bc

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "pipeline.py"
REPORT_KEYS = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "boundary_nodes", "reduced_nodes"]


def run_example(out: Path, path: str | None = None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(Path(bc.__file__).parent), env.get("PYTHONPATH", "")])
    if path is not None:
        env["PATH"] = path
    return subprocess.run(
        [sys.executable, str(EXAMPLE), str(out)], capture_output=True, text=True, env=env, timeout=600
    )


@pytest.fixture(scope="module")
def example(tmp_path_factory: pytest.TempPathFactory) -> tuple[subprocess.CompletedProcess[str], Path]:
    out = tmp_path_factory.mktemp("example") / "out"
    return run_example(out), out


def report(stdout: str) -> dict[str, tuple[int, int]]:
    values = {}
    for key in REPORT_KEYS:
        m = re.search(rf"^{key}\s+(\d+)\s+(\d+)$", stdout, re.M)
        assert m, f"report row {key} missing"
        values[key] = (int(m.group(1)), int(m.group(2)))
    return values


def test_runs_and_checks_its_round_trip(example: tuple[subprocess.CompletedProcess[str], Path]) -> None:
    done, _ = example
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    checks = re.findall(r"^  (ok  |FAIL) ", done.stdout, re.M)
    ran = importlib.util.find_spec("dask") is not None
    assert len(checks) == 6 + ran and set(checks) == {"ok  "}
    if ran:
        tasks = dict(re.findall(r"^(unreduced|unreduced, dask cull\+fuse|single-use fusion|maximal fusion)\s+(\d+)",
                                done.stdout, re.M))
        assert int(tasks["maximal fusion"]) <= int(tasks["single-use fusion"]) < int(tasks["unreduced, dask cull+fuse"])


def test_report_reflects_the_graph(example: tuple[subprocess.CompletedProcess[str], Path]) -> None:
    done, out = example
    built = re.search(r"built (\d+) nodes from (\d+) add calls", done.stdout)
    assert built
    nodes, calls = int(built.group(1)), int(built.group(2))
    assert 200 <= nodes < calls  # a few hundred nodes, some added twice and shared
    r = report(done.stdout)
    single = {k: v[0] for k, v in r.items()}
    maximal = {k: v[1] for k, v in r.items()}
    assert single["input_nodes"] == maximal["input_nodes"] == nodes
    # Dead branches dropped, folds found, and maximal fusion never makes more stages.
    assert single["reachable_nodes"] < nodes
    assert single["canonical_nodes"] < single["reachable_nodes"]
    assert maximal["stages"] < single["stages"]
    for counts in (single, maximal):
        assert counts["reduced_nodes"] == counts["stages"] + counts["boundary_nodes"]
    # The printed numbers are the module's own for the written blob.
    source = bc.GraphStore.deserialize((out / "pipeline.bir").read_bytes())
    assert source.node_count() == nodes
    got = source.reduction_report()
    assert {k: got[k] for k in REPORT_KEYS} == single  # type: ignore[literal-required]


def test_written_blobs_are_the_reductions(example: tuple[subprocess.CompletedProcess[str], Path]) -> None:
    _, out = example
    source = bc.GraphStore.deserialize((out / "pipeline.bir").read_bytes())
    assert source.outputs()
    assert (out / "pipeline.reduced.bir").read_bytes() == source.reduce()[0].serialize()
    assert (out / "pipeline.maximal.bir").read_bytes() == source.reduce(maximal_fusion=True)[0].serialize()


def test_node_map_table_follows_the_watched_nodes(example: tuple[subprocess.CompletedProcess[str], Path]) -> None:
    done, out = example
    source = bc.GraphStore.deserialize((out / "pipeline.bir").read_bytes())
    reduced = source.reduce()[0]
    node_map = reduced.node_map()
    kinds = [n["kind"] for n in reduced.nodes()]
    start = done.stdout.index("where some nodes landed")
    section = done.stdout[start : done.stdout.index("\n\n", start)]
    rows = re.findall(r"^(.+?)\s{2,}(\d+)\s{2,}(.+?)\s{2,}(.+)$", section, re.M)
    assert len(rows) >= 6
    landed = {}
    for name, node, single, _ in rows:
        entry = node_map[int(node)]
        want = "dropped" if entry is None else f"{kinds[entry[0]]} {entry[0]}" + (
            "" if entry[1] is None else f", member {entry[1]}"
        )
        assert single.strip() == want, name
        landed[name.strip()] = single.strip()
    assert landed["mul by 1.0 (identity)"] == landed["its operand, div"]
    assert landed["mul(price, qty)"] == landed["mul(qty, price)"]
    assert landed["debug sample"] == "dropped"


def test_pictures(example: tuple[subprocess.CompletedProcess[str], Path]) -> None:
    done, out = example
    for name in ("before", "after", "after-maximal"):
        assert (out / f"{name}.dot").read_text().startswith("digraph brantel {")
        svg = out / f"{name}.svg"
        if "Graphviz 'dot' is not installed" in done.stdout:
            assert not svg.exists()
        else:
            assert svg.read_text().lstrip().startswith("<?xml")


def test_without_graphviz_writes_dot_only(tmp_path: Path) -> None:
    empty = tmp_path / "bin"
    empty.mkdir()
    done = run_example(tmp_path / "out", path=str(empty))
    assert done.returncode == 0, done.stderr
    lines = [line for line in done.stdout.splitlines() if "Graphviz" in line]
    assert lines == ["Graphviz 'dot' is not installed: wrote DOT files only, no SVG pictures"]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [
        "after-maximal.dot", "after.dot", "before.dot",
        "pipeline.bir", "pipeline.maximal.bir", "pipeline.reduced.bir",
    ]
