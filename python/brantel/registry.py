"""Python implementations for the nodes of a pipeline, looked up by what the nodes say.

A store only names its operations; to run it, every name needs a callable. A
``Registry`` holds them: sources, ops and reductions by name, externals by their
descriptor's ``kind`` (optionally narrowed to one ``content_hash``), exchanges and
joins by their ``scheme`` param (with a fallback for any scheme). The calling
conventions, which the partition model in docs/running.md explains:

=========== ====================================================================
source      ``fn(params, index, partitions) -> partition``
op          ``fn(params, *inputs) -> value``
reduction   ``chunk(params, *inputs) -> partial`` per partition, then
            ``combine(params, [partial, ...]) -> partial`` over groups of partials
external    ``fn(descriptor, params, *inputs) -> value`` per partition
exchange    ``split(params, partition, partitions) -> [piece] * partitions``, then
            ``merge(params, [piece, ...]) -> partition`` per target partition
join        ``fn(params, *inputs) -> partition`` on co-partitioned inputs
=========== ====================================================================

Callables must be picklable (module-level functions) to run on the processes
scheduler or a cluster.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

Params = Mapping[str, Any]
SourceFn = Callable[[Params, int, int], Any]
OpFn = Callable[..., Any]
CombineFn = Callable[[Params, list[Any]], Any]
SplitFn = Callable[[Params, Any, int], Sequence[Any]]
MergeFn = Callable[[Params, list[Any]], Any]


@dataclass(frozen=True)
class Reduction:
    chunk: OpFn
    combine: CombineFn


@dataclass(frozen=True)
class Exchange:
    split: SplitFn
    merge: MergeFn


def scheme_of(params: Params) -> str | None:
    """The ``scheme`` param when it is a str; any other node uses the fallback."""
    scheme = params.get("scheme")
    return scheme if isinstance(scheme, str) else None


@dataclass
class Registry:
    """Maps node names to callables. Registering a key twice replaces the first entry."""

    sources: dict[str, SourceFn] = field(default_factory=dict)
    ops: dict[str, OpFn] = field(default_factory=dict)
    reductions: dict[str, Reduction] = field(default_factory=dict)
    # (kind, content_hash); a None hash serves every hash of that kind.
    externals: dict[tuple[str, str | None], OpFn] = field(default_factory=dict)
    # scheme; None is the fallback for any node without a registered scheme.
    exchanges: dict[str | None, Exchange] = field(default_factory=dict)
    joins: dict[str | None, OpFn] = field(default_factory=dict)

    def source(self, name: str, fn: SourceFn) -> Registry:
        self.sources[name] = fn
        return self

    def op(self, name: str, fn: OpFn) -> Registry:
        self.ops[name] = fn
        return self

    def reduction(self, name: str, chunk: OpFn, combine: CombineFn) -> Registry:
        self.reductions[name] = Reduction(chunk, combine)
        return self

    def external(self, kind: str, fn: OpFn, *, content_hash: str | None = None) -> Registry:
        self.externals[(kind, content_hash)] = fn
        return self

    def exchange(self, scheme: str | None, split: SplitFn, merge: MergeFn) -> Registry:
        self.exchanges[scheme] = Exchange(split, merge)
        return self

    def join(self, scheme: str | None, fn: OpFn) -> Registry:
        self.joins[scheme] = fn
        return self

    # -- lookups: None when nothing is registered -----------------------------

    def find_external(self, descriptor: Mapping[str, Any]) -> OpFn | None:
        kind = descriptor["kind"]
        exact = self.externals.get((kind, descriptor["content_hash"]))
        return exact if exact is not None else self.externals.get((kind, None))

    def find_exchange(self, params: Params) -> Exchange | None:
        found = self.exchanges.get(scheme_of(params))
        return found if found is not None else self.exchanges.get(None)

    def find_join(self, params: Params) -> OpFn | None:
        found = self.joins.get(scheme_of(params))
        return found if found is not None else self.joins.get(None)
