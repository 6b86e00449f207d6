"""Implementations of the vocabulary pipeline_shapes.reduction_graph uses, on small
integer lists, so a task costs little and the scheduler's cost per task shows.

Scalars are whole numbers, so ``+ 0.0`` and ``* 1.0`` give the same ints and
results compare exactly. Module-level functions: cluster workers import them.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from brantel import Registry

ROWS = 64
MODULUS = 1_000_003


def table(params: Mapping[str, Any], index: int, partitions: int) -> list[int]:
    base = params["part"] * 7919 + index * 104729
    return [(base + k * 31) % MODULUS for k in range(ROWS)]


def _spread(f: Any, xs: tuple[Any, ...]) -> Any:
    if not any(isinstance(x, list) for x in xs):
        return f(*xs) % MODULUS
    n = min(len(x) for x in xs if isinstance(x, list))
    return [f(*[x[k] if isinstance(x, list) else x for x in xs]) % MODULUS for k in range(n)]


def unary(params: Mapping[str, Any], x: Any) -> Any:
    k = params.get("k", 0) + 1
    return _spread(lambda v: v * k + 1, (x,))


def _binary(name: str, f: Any) -> Any:
    def op(params: Mapping[str, Any], *xs: Any) -> Any:
        if "scalar" in params:
            s = int(params["scalar"])
            return _spread((lambda v: f(s, v)) if params["side"] == "l" else (lambda v: f(v, s)), xs)
        return _spread(f, xs)

    op.__name__ = op.__qualname__ = name
    return op


add = _binary("add", lambda a, b: a + b)
mul = _binary("mul", lambda a, b: a * b)
maximum = _binary("maximum", max)
minimum = _binary("minimum", min)
and_ = _binary("and_", lambda a, b: int(bool(a) and bool(b)))
or_ = _binary("or_", lambda a, b: int(bool(a) or bool(b)))
eq = _binary("eq", lambda a, b: int(a == b))
ne = _binary("ne", lambda a, b: int(a != b))


def total(params: Mapping[str, Any], *xs: Any) -> int:
    return sum(v for x in xs for v in (x if isinstance(x, list) else [x])) % MODULUS


def add_up(params: Mapping[str, Any], partials: list[int]) -> int:
    return sum(partials) % MODULUS


def registry(sources: int) -> Registry:
    reg = Registry().reduction("sum", total, add_up)
    for s in range(sources):
        reg.source(f"table{s}", table)
    for name in ("parse", "filter", "map", "scale", "cast", "clip"):
        reg.op(name, unary)
    for name, fn in [("add", add), ("mul", mul), ("maximum", maximum), ("minimum", minimum), ("and", and_),
                     ("or", or_), ("eq", eq), ("ne", ne)]:
        reg.op(name, fn)
    return reg
