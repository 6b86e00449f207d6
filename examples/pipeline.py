"""A week of click and order processing, built as a brantel_core graph and reduced.

The pipeline, per day of the week:

    clicks (kafka) -> parse -> drop bots -> normalise time -> features --+
                                            |                            |
                                            +-> repartition by user -+   +-> fraud model (External)
    orders (db)    -> parse -> valid only ----> repartition by user -+-> join -> revenue, margin
                                                                     |
    users, campaigns (shared by all days) ---------------------------+

and over the week: the union of the scored clicks, the total revenue and the
fraud rate. Like real generated pipelines it carries waste that the reduction
removes:

* identity arithmetic: a unit weight (mul by 1.0) and a zero offset (add 0.0)
  that a code generator leaves in;
* commutative ops written in both operand orders by two different teams
  (price * qty and qty * price);
* sub-pipelines built twice (each dashboard re-runs the same cleaning), which
  the store already shares when they are added, and chains that only become
  equal after the identities are gone;
* dead branches: debug samples and an experimental model nobody reads.

The script reduces the graph with both fusion rules, prints the reports side by
side and where a few chosen nodes landed, writes the IR blobs to the output
folder, reads them back and checks the round trip, runs the graph on generated
data on dask's threads scheduler before and after reduction and checks that the
outputs agree (when dask is installed), and draws the graph before and after
reduction (DOT always; SVG when Graphviz is installed).

    python examples/pipeline.py [OUT_DIR]      (default: examples/out)
"""

from __future__ import annotations

import argparse
import importlib.util
import shutil
import subprocess
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Literal

import brantel_core as bc

if TYPE_CHECKING:
    from brantel import DescriptorFields

DAYS = ["mon", "tue", "wed", "thu", "fri", "sat", "sun"]

Params = dict[str, bool | int | float | str]

# Arithmetic a code generator leaves in: multiply by a unit weight, add a zero offset.
UNIT_WEIGHT: Params = {"scalar": 1.0, "side": "r"}
ZERO_OFFSET: Params = {"scalar": 0.0, "side": "l"}

FRAUD_MODEL = bc.PayloadDescriptor(
    kind="onnx",
    content_hash="sha256:9f2c4e71d0a8",
    framework="onnxruntime",
    version="1.18.0",
    io_schema="click_features_v7->fraud_score",
    preprocessing_ref="features/normalise@3",
)
# An experimental model that no output reads: a dead branch. A plain dict works
# as a descriptor too; typed as DescriptorFields, a misspelt key is caught.
SHADOW_MODEL: DescriptorFields = {
    "kind": "torchscript",
    "content_hash": "sha256:51ab0077e3c9",
    "framework": "torch",
    "version": "2.4.1",
    "io_schema": "click_features_v8->fraud_score",
}


class Pipeline:
    """Builds the graph and remembers a few node ids worth following."""

    def __init__(self) -> None:
        self.store = bc.GraphStore()
        self.calls = 0  # add_* calls made; more than node_count() because equal nodes are shared
        self.watch: dict[str, int] = {}
        self.outputs: list[int] = []

    # Thin wrappers that count the calls.
    def source(self, name: str, params: Params) -> int:
        self.calls += 1
        return self.store.add_source(name, params)

    def op(self, name: str, inputs: Sequence[int], params: Params | None = None) -> int:
        self.calls += 1
        return self.store.add_op(name, inputs, params)

    def reduction(self, name: str, inputs: Sequence[int], params: Params | None = None) -> int:
        self.calls += 1
        return self.store.add_reduction(name, inputs, params)

    def exchange(self, inputs: Sequence[int], params: Params) -> int:
        self.calls += 1
        return self.store.add_exchange(inputs, params)

    def join(self, inputs: Sequence[int], params: Params) -> int:
        self.calls += 1
        return self.store.add_join(inputs, params)

    def external(self, descriptor: bc.PayloadDescriptor | DescriptorFields, inputs: Sequence[int],
                 params: Params) -> int:
        self.calls += 1
        return self.store.add_external(descriptor, inputs, params)

    # Sub-pipelines.
    def clean_clicks(self, raw: int) -> int:
        """The cleaning every consumer of clicks runs; built once per consumer, stored once."""
        parsed = self.op("parse_json", [raw], {"schema": "click_v3", "strict": True})
        humans = self.op("filter", [parsed], {"predicate": "bot_score < 0.8"})
        return self.op("map", [humans], {"fn": "normalise_ts", "tz": "UTC"})

    def click_features(self, clicks: int) -> dict[str, int]:
        ids: dict[str, int] = {}
        dwell = self.op("extract", [clicks], {"field": "dwell_ms"})
        ids["dwell_s"] = self.op("div", [dwell], {"scalar": 1000.0, "side": "r"})
        ids["weighted"] = self.op("mul", [ids["dwell_s"]], UNIT_WEIGHT)  # identity: default campaign weight
        shifted = self.op("add", [ids["weighted"]], ZERO_OFFSET)  # identity: no offset configured
        clipped = self.op("clip", [shifted], {"lo": 0.0, "hi": 3600.0})
        depth = self.op("extract", [clicks], {"field": "scroll_depth"})
        # Two feature authors combined the same pair in both orders.
        engagement = self.op("mul", [clipped, depth])
        engagement_alt = self.op("mul", [depth, clipped])
        both = self.op("maximum", [engagement, engagement_alt])
        ids["features"] = self.op("pack", [both, clipped, depth], {"layout": "click_features_v7"})
        return ids

    def build(self) -> None:
        users = self.source("users_snapshot", {"table": "users", "snapshot": 20240601})
        campaigns = self.source("campaigns_csv", {"path": "s3://ads/campaigns.csv"})
        users_by_id = self.exchange([users], {"scheme": "hash", "key": "user_id", "partitions": 64})
        live_campaigns = self.op("filter", [campaigns], {"predicate": "active"})

        scored_days: list[int] = []
        revenue_days: list[int] = []
        fraud_days: list[int] = []
        margin_days: list[int] = []
        for d, day in enumerate(DAYS):
            clicks_raw = self.source("kafka_clicks", {"topic": "clicks", "day": d})
            orders_raw = self.source("orders_db", {"table": "orders", "day": d})

            clicks = self.clean_clicks(clicks_raw)
            clicks_again = self.clean_clicks(clicks_raw)  # the dashboard's copy: same ids
            assert clicks == clicks_again
            tagged = self.op("tag_campaign", [clicks, live_campaigns], {"by": "campaign_id"})

            feats = self.click_features(tagged)
            score = self.external(FRAUD_MODEL, [feats["features"]], {"batch": 512, "device": "cpu"})
            flagged = self.op("gt", [score], {"scalar": 0.9, "side": "r"})
            scored = self.op("attach", [tagged, score, flagged], {"column": "fraud"})
            scored_days.append(scored)

            orders = self.op("parse_json", [orders_raw], {"schema": "order_v2", "strict": True})
            valid = self.op("filter", [orders], {"predicate": "status == 'paid'"})
            price = self.op("extract", [valid], {"field": "price"})
            qty = self.op("extract", [valid], {"field": "qty"})
            line_total = self.op("mul", [price, qty])  # finance team
            line_total_bi = self.op("mul", [qty, price])  # BI team, same value
            discounted = self.op("sub", [line_total, self.op("extract", [valid], {"field": "discount"})])
            net = self.op("add", [self.op("mul", [discounted], UNIT_WEIGHT)], {"scalar": 0.0, "side": "r"})
            priced = self.op("attach", [valid, net], {"column": "net"})

            clicks_by_user = self.exchange([tagged], {"scheme": "hash", "key": "user_id", "partitions": 64})
            orders_by_user = self.exchange([priced], {"scheme": "hash", "key": "user_id", "partitions": 64})
            joined = self.join([clicks_by_user, orders_by_user], {"how": "left", "on": "user_id"})
            enriched = self.join([joined, users_by_id], {"how": "inner", "on": "user_id"})
            attributed = self.op("attribute", [enriched], {"window_h": 24, "model": "last_click"})

            revenue_days.append(self.reduction("sum", [self.op("extract", [attributed], {"field": "net"})]))
            margin = self.op("sub", [line_total_bi, self.op("extract", [valid], {"field": "cost"})])
            margin_days.append(self.reduction("sum", [margin]))
            fraud_days.append(self.reduction("count", [flagged], {"where": "true"}))

            # Dead branches: a debug sample, a discount report nobody reads, the shadow model.
            self.reduction("sum", [self.op("extract", [valid], {"field": "discount"})], {"by": "campaign"})
            sample = self.op("sample", [clicks], {"fraction": 0.01, "seed": 7})
            self.op("to_debug_sink", [sample], {"path": f"/tmp/debug/{day}"})
            self.external(SHADOW_MODEL, [feats["features"]], {"batch": 512, "device": "cpu"})

            if day == "wed":
                self.watch["mul by 1.0 (identity)"] = feats["weighted"]
                self.watch["its operand, div"] = feats["dwell_s"]
                self.watch["mul(price, qty)"] = line_total
                self.watch["mul(qty, price)"] = line_total_bi
                self.watch["parse_json of orders"] = orders
                self.watch["filter of orders"] = valid
                self.watch["fraud model"] = score
                self.watch["left join"] = joined
                self.watch["debug sample"] = sample

        week_scored = self.op("union", scored_days, {"dedupe": False})
        week_revenue = self.reduction("sum", revenue_days)
        week_fraud = self.reduction("sum", fraud_days)
        clicks_total = self.reduction("count", scored_days)
        fraud_rate = self.op("div", [week_fraud, clicks_total])
        week_margin = self.reduction("sum", margin_days)
        self.outputs = [week_scored, week_revenue, week_margin, fraud_rate, *revenue_days]


# -- printing --------------------------------------------------------------------


def aligned(headers: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    """Columns padded to their widest cell; columns of numbers are right-aligned."""
    cells = [[str(c) for c in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in cells)) for i, h in enumerate(headers)]
    numeric = [all(isinstance(row[i], int) for row in rows) for i in range(len(headers))]

    def line(row: Sequence[str]) -> str:
        return "  ".join(c.rjust(w) if num else c.ljust(w) for c, w, num in zip(row, widths, numeric)).rstrip()

    return "\n".join([line(headers), "  ".join("-" * w for w in widths), *map(line, cells)])


ReportKey = Literal["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "boundary_nodes", "reduced_nodes"]
REPORT_KEYS: list[ReportKey] = [
    "input_nodes", "reachable_nodes", "canonical_nodes", "stages", "boundary_nodes", "reduced_nodes"
]


def landing(kinds: Sequence[str], entry: tuple[int, int | None] | None) -> str:
    if entry is None:
        return "dropped"
    node, member = entry
    return f"{kinds[node]} {node}" + ("" if member is None else f", member {member}")


# -- running ---------------------------------------------------------------------

PARTITIONS = 8


def first_values(values: Sequence[object]) -> list[str]:
    """The single outputs, rounded, and the row count of the partitioned one."""
    shown = []
    for v in values:
        if isinstance(v, list):
            shown.append(f"{sum(len(part) for part in v)} rows")
        elif isinstance(v, float):
            shown.append(f"{v:.4f}")
        else:
            shown.append(str(v))
    return shown


def run_on_dask(p: Pipeline, forms: Sequence[tuple[str, bc.GraphStore]]) -> bool:
    """Runs each form on generated data (threads scheduler), prints the table; True when all agree."""
    from brantel import lower
    from pipeline_registry import registry

    reg = registry()
    lowered = []
    for name, store in forms:
        node_map = store.node_map()
        outputs = [node_map[o][0] if node_map else o for o in p.outputs]  # type: ignore[index]
        lowered.append((name, lower(store, reg, partitions=PARTITIONS, outputs=outputs)))
    lowered.insert(1, ("unreduced, dask cull+fuse", lowered[0][1].optimized()))
    rows: list[list[object]] = []
    results = []
    for name, graph in lowered:
        t0 = time.perf_counter()
        values = graph.compute("threads")
        rows.append([name, len(graph.graph), f"{time.perf_counter() - t0:.3f}", *first_values(values[:4])])
        results.append(values)
    print(f"\nrunning on dask (threads scheduler, {PARTITIONS} partitions, generated data)")
    print(aligned(["graph", "tasks", "wall s", "week scored", "week revenue", "week margin", "fraud rate"], rows))
    return all(r == results[0] for r in results[1:])


# -- files -----------------------------------------------------------------------


def draw(dot_text: str, path: Path, have_dot: bool) -> list[Path]:
    path.write_text(dot_text, encoding="utf-8")
    written = [path]
    if have_dot:
        svg = path.with_suffix(".svg")
        subprocess.run(["dot", "-Tsvg", "-o", str(svg), str(path)], check=True)
        written.append(svg)
    return written


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", nargs="?", default=str(Path(__file__).parent / "out"),
                        help="folder for the blobs and pictures (default: examples/out)")
    args = parser.parse_args(argv)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    p = Pipeline()
    p.build()
    store = p.store
    print(f"brantel_core {bc.version()}: built {store.node_count()} nodes from {p.calls} add calls "
          f"({p.calls - store.node_count()} were already stored), outputs {p.outputs}")

    single, single_report = store.reduce(outputs=p.outputs)
    maximal, maximal_report = store.reduce(outputs=p.outputs, maximal_fusion=True)
    print("\nreduction report")
    print(aligned(["count", "single-use fusion", "maximal fusion"],
                  [[k, single_report[k], maximal_report[k]] for k in REPORT_KEYS]))

    print("\nwhere some nodes landed (node_map)")
    smap, mmap = single.node_map(), maximal.node_map()
    skinds = [n["kind"] for n in single.nodes()]
    mkinds = [n["kind"] for n in maximal.nodes()]
    print(aligned(["node", "id", "single-use fusion", "maximal fusion"],
                  [[what, i, landing(skinds, smap[i]), landing(mkinds, mmap[i])] for what, i in p.watch.items()]))
    w = p.watch
    assert smap[w["mul by 1.0 (identity)"]] == smap[w["its operand, div"]], "identity not folded"
    assert smap[w["mul(price, qty)"]] == smap[w["mul(qty, price)"]], "commuted twins not folded"
    assert smap[w["debug sample"]] is None, "dead branch kept"

    # Blobs: the source graph with its outputs, and both reductions.
    blob = store.serialize(outputs=p.outputs)
    files = {"pipeline.bir": blob, "pipeline.reduced.bir": single.serialize(),
             "pipeline.maximal.bir": maximal.serialize()}
    for name, data in files.items():
        (out / name).write_bytes(data)

    back = bc.GraphStore.deserialize((out / "pipeline.bir").read_bytes())
    checks = {
        "blob bytes survive a round trip": back.serialize() == blob,
        "node ids and contents survive": [dict(n, output=False) for n in back.nodes()] == store.nodes(),
        "outputs come back as marks": back.outputs() == list(dict.fromkeys(p.outputs)),
        "reducing the read-back store gives the same bytes": back.reduce()[0].serialize() == files["pipeline.reduced.bir"],
    }
    for name in ("pipeline.reduced.bir", "pipeline.maximal.bir"):
        reduced_back = bc.GraphStore.deserialize((out / name).read_bytes())
        checks[f"{name} round trip"] = reduced_back.serialize() == files[name]
    if importlib.util.find_spec("dask") is None:
        print("\ndask is not installed: the pipeline was not run")
    else:
        checks["dask: every form computes the unreduced outputs"] = run_on_dask(
            p, [("unreduced", store), ("single-use fusion", single), ("maximal fusion", maximal)])
    print("\nchecks")
    for what, ok in checks.items():
        print(f"  {'ok  ' if ok else 'FAIL'} {what}")

    have_dot = shutil.which("dot") is not None
    pictures = draw(back.to_dot(), out / "before.dot", have_dot)
    pictures += draw(single.to_dot(), out / "after.dot", have_dot)
    pictures += draw(maximal.to_dot(), out / "after-maximal.dot", have_dot)
    if not have_dot:
        print("\nGraphviz 'dot' is not installed: wrote DOT files only, no SVG pictures")
    print(f"\nwrote to {out}:")
    for name in [*files, *(q.name for q in pictures)]:
        print(f"  {name} ({(out / name).stat().st_size} bytes)")
    return 0 if all(checks.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
