"""Pipeline-shaped graphs for the benchmarks, as plain node tuples.

A node tuple is ("source", name, params), ("op", name, inputs, params) or
("reduction", name, inputs, params), with inputs as positions of earlier tuples.
The same list drives the module, the pure-Python baselines and the dask
equivalent, so every contender sees the same graph.
"""

from __future__ import annotations

import random
from typing import Any

NodeTuple = tuple[Any, ...]

_UNARY = ("parse", "filter", "map", "scale", "cast", "clip")
_COMMUTATIVE = ("add", "mul", "maximum", "minimum", "and", "or", "eq", "ne")
_IDENTITIES = (
    ("add", {"scalar": 0.0, "side": "r"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
)


def reduction_graph(n: int, seed: int = 7) -> tuple[list[NodeTuple], list[int]]:
    """About n node tuples: chains of unary ops with params, ~30 % commutative binary ops
    (both operand orders occur), ~5 % identity ops, fan-out, reductions, and a few
    dead branches. Returns the tuples and the output positions."""
    rng = random.Random(seed)
    planned: list[NodeTuple] = []
    sources = max(4, n // 5000)
    for s in range(sources):
        planned.append(("source", f"table{s}", {"part": s}))
    live = list(range(sources))
    outputs: list[int] = []
    binaries: list[tuple[str, int, int]] = []
    while len(planned) < n:
        r = rng.random()
        x = live[-1] if rng.random() < 0.6 else rng.choice(live[-64:])
        if r < 0.30:
            if binaries and rng.random() < 0.3:
                name, a, b = rng.choice(binaries)  # the other operand order
                planned.append(("op", name, [b, a], {}))
            else:
                y = rng.choice(live[-256:])
                name = rng.choice(_COMMUTATIVE)
                planned.append(("op", name, [x, y], {}))
                binaries.append((name, x, y))
                if len(binaries) > 512:
                    binaries.pop(0)
        elif r < 0.35:
            name, params = rng.choice(_IDENTITIES)
            planned.append(("op", name, [x], dict(params)))
        elif r < 0.37:
            planned.append(("reduction", "sum", [x], {"axis": rng.randrange(2)}))
            outputs.append(len(planned) - 1)
        else:
            planned.append(("op", rng.choice(_UNARY), [x], {"k": rng.randrange(8), "mode": "fast"}))
        live.append(len(planned) - 1)
        if len(live) > 4096:
            del live[:2048]
    # The last node of the chain is an output too; some branches stay dead.
    outputs.append(len(planned) - 1)
    return planned, outputs


def add_to_store(store: Any, planned: list[NodeTuple]) -> list[int]:
    """Adds the node tuples to a GraphStore-like object; returns the store id of each."""
    ids: list[int] = []
    add_source, add_op, add_reduction = store.add_source, store.add_op, store.add_reduction
    for entry in planned:
        kind = entry[0]
        if kind == "source":
            ids.append(add_source(entry[1], entry[2]))
        elif kind == "op":
            ids.append(add_op(entry[1], [ids[i] for i in entry[2]], entry[3]))
        else:
            ids.append(add_reduction(entry[1], [ids[i] for i in entry[2]], entry[3]))
    return ids


def peak_rss_reset() -> None:
    """Resets the process's peak resident set size (Linux)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def rss_bytes() -> int:
    return _status_kib("VmRSS") * 1024


def peak_rss_bytes() -> int:
    return _status_kib("VmHWM") * 1024


def _status_kib(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def machine_line() -> str:
    import platform
    import sys

    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    return f"machine: {cpu}; {platform.python_implementation()} {platform.python_version()} (GIL {'on' if gil else 'off'})"
