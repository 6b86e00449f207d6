"""Turns a store into a dask task graph over P partitions, and runs it.

The partition model (docs/running.md): a node's value is either *partitioned*,
one value per partition index, or *single*, one value. Sources and exchanges are
partitioned; a reduction is single; an op, external, join or stage is partitioned
when any of its inputs is, and its single inputs are passed unchanged to every
partition's call. A stage is one task per partition that runs its members in
order; a stage holding a reduction member is lowered member by member instead,
since a reduction needs every partition.

Keys are ``(label, partition)`` with labels such as ``op:parse_json#12@1f2e3d``,
``stage:parse_json..map(3)#30@1f2e3d``, ``exchange:hash#5@1f2e3d/split`` or
``reduction:sum#40@1f2e3d/combine1``, so a dask dashboard or error names the
node. The token after ``@`` is drawn afresh for every lowering: a cluster keeps
results by key, and two stores (a store and its reduction) reuse the same ids
for different nodes.

Nothing here imports dask until a graph is computed or optimised.
"""

from __future__ import annotations

import secrets
from collections.abc import Callable, Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from brantel.registry import Registry, scheme_of

if TYPE_CHECKING:
    import brantel_core

Key = tuple[str, int]
Node = Mapping[str, Any]
DEFAULT_FAN_IN = 8


class MissingImplementationError(LookupError):
    """Some nodes have no registered implementation; nothing was run."""

    def __init__(self, missing: Sequence[str]) -> None:
        super().__init__(f"no implementation registered for {len(missing)} node(s): " + "; ".join(missing))
        self.missing = list(missing)


@dataclass(frozen=True)
class Where:
    """The node a task computes, for error messages: a stage member names its stage's id."""

    node: int
    kind: str
    name: str
    member: int | None = None

    def __str__(self) -> str:
        at = f"node {self.node}" if self.member is None else f"node {self.node}, member {self.member}"
        return f"{self.kind} {self.name!r} ({at})"


def _rebuild_node_error(where: Where, partition: int, cause: BaseException | None) -> NodeError:
    error = NodeError(where, partition)
    error.__cause__ = cause
    return error


class NodeError(RuntimeError):
    """A registered callable raised; ``__cause__`` is what it raised."""

    def __init__(self, where: Where, partition: int) -> None:
        super().__init__(f"{where} failed on partition {partition}")
        self.where = where
        self.partition = partition

    def __reduce__(self) -> tuple[Any, ...]:
        # Pickling drops __cause__; the processes scheduler and a cluster send
        # errors back pickled, and the cause is the useful half.
        return (_rebuild_node_error, (self.where, self.partition, self.__cause__))


def _guarded(where: Where, partition: int, fn: Callable[..., Any], *args: Any) -> Any:
    try:
        return fn(*args)
    except Exception as e:
        raise NodeError(where, partition) from e


# -- task callables: small picklable objects, so params never pass through dask's
# key substitution (a str param that happened to equal a key would be replaced).


@dataclass(frozen=True)
class _Call:
    """fn(*lead, *inputs) for one partition."""

    fn: Callable[..., Any]
    lead: tuple[Any, ...]
    where: Where
    partition: int

    def __call__(self, *inputs: Any) -> Any:
        return _guarded(self.where, self.partition, self.fn, *self.lead, *inputs)


def _split_checked(fn: Callable[..., Sequence[Any]], params: Mapping[str, Any], part: Any, count: int) -> list[Any]:
    pieces = list(fn(params, part, count))
    if len(pieces) != count:
        raise ValueError(f"split returned {len(pieces)} pieces for {count} partitions")
    return pieces


@dataclass(frozen=True)
class _Merge:
    fn: Callable[[Any, list[Any]], Any]
    params: Mapping[str, Any]
    where: Where
    partition: int

    def __call__(self, splits: list[list[Any]]) -> Any:
        return _guarded(self.where, self.partition, self.fn, self.params, [s[self.partition] for s in splits])


@dataclass(frozen=True)
class _Step:
    fn: Callable[..., Any]
    params: Mapping[str, Any]
    where: Where
    # (True, j): member j's value; (False, i): the stage's input i.
    refs: tuple[tuple[bool, int], ...]


@dataclass(frozen=True)
class _StageCall:
    steps: tuple[_Step, ...]
    partition: int

    def __call__(self, *inputs: Any) -> Any:
        values: list[Any] = []
        for step in self.steps:
            args = [values[i] if is_member else inputs[i] for is_member, i in step.refs]
            values.append(_guarded(step.where, self.partition, step.fn, step.params, *args))
        return values[-1]


# -- lowering ------------------------------------------------------------------


@dataclass(frozen=True)
class Handle:
    """Where a node's value lives: P keys when partitioned, one key when single."""

    keys: list[Key]
    partitioned: bool

    def at(self, partition: int) -> Key:
        return self.keys[partition] if self.partitioned else self.keys[0]


@dataclass
class Lowered:
    """A dask graph and, per requested output, the handle of its value."""

    graph: dict[Hashable, Any]
    outputs: list[Handle]
    partitions: int

    def output_keys(self) -> list[Key]:
        return list(dict.fromkeys(k for h in self.outputs for k in h.keys))

    def optimized(self) -> Lowered:
        """The graph after dask's own cull and fuse (the output keys are kept)."""
        import dask.optimization

        untyped: Any = dask.optimization
        keys = self.output_keys()
        culled, dependencies = untyped.cull(self.graph, keys)
        fused, _ = untyped.fuse(culled, keys=keys, dependencies=dependencies)
        return Lowered(dict(fused), self.outputs, self.partitions)

    def compute(self, scheduler: Any = "threads") -> list[Any]:
        """Each output's value: a list of P partitions, or the single value."""
        keys = self.output_keys()
        results = dict(zip(keys, _getter(scheduler)(self.graph, keys)))
        return [[results[k] for k in h.keys] if h.partitioned else results[h.keys[0]] for h in self.outputs]


def _getter(scheduler: Any) -> Callable[[Mapping[Hashable, Any], list[Key]], Sequence[Any]]:
    if scheduler == "sync":
        from dask.local import get_sync

        return get_sync
    if scheduler == "threads":
        from dask.threaded import get as get_threads

        return get_threads
    if scheduler == "processes":
        from dask.multiprocessing import get as get_processes

        return get_processes
    if isinstance(scheduler, str) or not callable(getattr(scheduler, "get", None)):
        raise ValueError(f"scheduler must be 'sync', 'threads', 'processes' or a dask.distributed.Client, "
                         f"not {scheduler!r}")
    client = scheduler

    def on_client(graph: Mapping[Hashable, Any], keys: list[Key]) -> Sequence[Any]:
        results: Sequence[Any] = client.get(dict(graph), keys)
        return results

    return on_client


def _name(node: Node) -> str:
    kind = node["kind"]
    if kind == "external":
        return str(node["descriptor"]["kind"])
    if kind in ("exchange", "join"):
        return scheme_of(node["params"]) or ""
    if kind == "stage":
        names = [m["name"] for m in node["members"]]
        return "+".join(names) if len(names) <= 3 else f"{names[0]}..{names[-1]}({len(names)})"
    return str(node["name"])


def _member_kind(member: Node) -> str:
    return "reduction" if member["kind"] == "red" else "op"


def missing_implementations(nodes: Sequence[Node], live: Sequence[int], registry: Registry) -> list[str]:
    """One entry per live node (or stage member) that has no implementation."""
    missing: list[str] = []
    for i in live:
        node = nodes[i]
        kind = node["kind"]
        if kind == "stage":
            for j, m in enumerate(node["members"]):
                mkind = _member_kind(m)
                table: Mapping[str, Any] = registry.ops if mkind == "op" else registry.reductions
                if m["name"] not in table:
                    missing.append(str(Where(i, mkind, m["name"], j)))
            continue
        found: Any
        if kind == "source":
            found = registry.sources.get(node["name"])
        elif kind == "op":
            found = registry.ops.get(node["name"])
        elif kind == "reduction":
            found = registry.reductions.get(node["name"])
        elif kind == "external":
            found = registry.find_external(node["descriptor"])
        elif kind == "exchange":
            found = registry.find_exchange(node["params"])
        else:
            found = registry.find_join(node["params"])
        if found is None:
            missing.append(str(Where(i, kind, _name(node))))
    return missing


def bad_stage_reference(node: Node) -> str | None:
    """What is wrong with a stage's member references, if anything. A blob may hold
    any index; running or hashing one that points nowhere must fail up front."""
    if not node["members"]:
        return f"stage node {node['id']} has no members"
    for j, m in enumerate(node["members"]):
        for ref, k in m["inputs"]:
            bound = len(node["inputs"]) if ref == "input" else j
            if not 0 <= k < bound:
                return f"stage node {node['id']}: member {j} refers to {ref} {k}, which it cannot read"
    return None


class _Lowering:
    def __init__(self, registry: Registry, partitions: int, fan_in: int, token: str) -> None:
        self.token = token
        self.registry = registry
        self.partitions = partitions
        self.fan_in = fan_in
        self.graph: dict[Hashable, Any] = {}

    def per_partition(self, label: str, make: Callable[[int], Any], inputs: Sequence[Handle]) -> Handle:
        """One task per partition (one in all when every input is single)."""
        partitioned = any(h.partitioned for h in inputs)
        keys: list[Key] = []
        for p in range(self.partitions if partitioned else 1):
            key = (label, p)
            self.graph[key] = (make(p), *[h.at(p) for h in inputs])
            keys.append(key)
        return Handle(keys, partitioned)

    def call(self, label: str, fn: Callable[..., Any], lead: tuple[Any, ...], where: Where,
             inputs: Sequence[Handle]) -> Handle:
        return self.per_partition(label, lambda p: _Call(fn, lead, where, p), inputs)

    def reduction(self, label: str, name: str, params: Mapping[str, Any], where: Where,
                  inputs: Sequence[Handle]) -> Handle:
        impl = self.registry.reductions[name]
        level = self.call(f"{label}/chunk", impl.chunk, (params,), where, inputs).keys
        depth = 1
        while True:
            groups = [level[i:i + self.fan_in] for i in range(0, len(level), self.fan_in)]
            last = len(groups) == 1
            keys: list[Key] = []
            for g, group in enumerate(groups):
                key = (label, 0) if last else (f"{label}/combine{depth}", g)
                self.graph[key] = (_Call(impl.combine, (params,), where, g), list(group))
                keys.append(key)
            if last:
                return Handle(keys, False)
            level, depth = keys, depth + 1

    def exchange(self, label: str, node: Node, where: Where, source: Handle) -> Handle:
        impl = self.registry.find_exchange(node["params"])
        assert impl is not None
        params = node["params"]
        splits: list[Key] = []
        for p, key in enumerate(source.keys):
            split_key = (f"{label}/split", p)
            self.graph[split_key] = (_Call(_split_checked, (impl.split, params), where, p), key,
                                     self.partitions)
            splits.append(split_key)
        keys: list[Key] = []
        for j in range(self.partitions):
            self.graph[(label, j)] = (_Merge(impl.merge, params, where, j), list(splits))
            keys.append((label, j))
        return Handle(keys, True)

    def stage(self, label: str, node: Node, inputs: Sequence[Handle]) -> Handle:
        i = node["id"]
        members = node["members"]
        if any(m["kind"] == "red" for m in members):
            return self.stage_by_member(label, node, inputs)
        steps = tuple(
            _Step(self.registry.ops[m["name"]], m["params"], Where(i, "op", m["name"], j),
                  tuple((ref == "member", k) for ref, k in m["inputs"]))
            for j, m in enumerate(members)
        )
        # A member's shape is that of its stage's inputs it reaches; the whole stage
        # is partitioned when any input is, and single members are recomputed per
        # partition, which gives each partition the same value.
        return self.per_partition(label, lambda p: _StageCall(steps, p), inputs)

    def stage_by_member(self, label: str, node: Node, inputs: Sequence[Handle]) -> Handle:
        i = node["id"]
        values: list[Handle] = []
        for j, m in enumerate(node["members"]):
            args = [values[k] if ref == "member" else inputs[k] for ref, k in m["inputs"]]
            kind = _member_kind(m)
            where = Where(i, kind, m["name"], j)
            member_label = f"{label}/{j}:{m['name']}"
            if kind == "reduction":
                values.append(self.reduction(member_label, m["name"], m["params"], where, args))
            else:
                values.append(self.call(member_label, self.registry.ops[m["name"]], (m["params"],), where, args))
        return values[-1]

    def node(self, node: Node, inputs: Sequence[Handle]) -> Handle:
        i, kind, params = node["id"], node["kind"], node["params"]
        name = _name(node)
        label = f"{kind}:{name}#{i}@{self.token}"
        where = Where(i, kind, name)
        if kind == "source":
            fn = self.registry.sources[node["name"]]
            keys: list[Key] = []
            for p in range(self.partitions):
                self.graph[(label, p)] = (_Call(fn, (params, p, self.partitions), where, p),)
                keys.append((label, p))
            return Handle(keys, True)
        if kind == "op":
            return self.call(label, self.registry.ops[name], (params,), where, inputs)
        if kind == "reduction":
            return self.reduction(label, name, params, where, inputs)
        if kind == "external":
            external = self.registry.find_external(node["descriptor"])
            assert external is not None
            return self.call(label, external, (node["descriptor"], params), where, inputs)
        if kind == "exchange":
            return self.exchange(label, node, where, inputs[0])
        if kind == "join":
            join = self.registry.find_join(params)
            assert join is not None
            return self.call(label, join, (params,), where, inputs)
        return self.stage(label, node, inputs)


def live_nodes(nodes: Sequence[Node], outputs: Sequence[int]) -> list[int]:
    """Ids some output depends on, ascending (inputs are always earlier ids)."""
    live = [False] * len(nodes)
    for o in outputs:
        live[o] = True
    for i in range(len(nodes) - 1, -1, -1):
        if live[i]:
            for j in nodes[i]["inputs"]:
                live[j] = True
    return [i for i, yes in enumerate(live) if yes]


def resolve_outputs(store: brantel_core.GraphStore, outputs: Sequence[int] | None) -> list[int]:
    """The store's marks for None, else the ids given; an id the store lacks is a ValueError."""
    outs = store.outputs() if outputs is None else [int(o) for o in outputs]
    count = store.node_count()
    for o in outs:
        if not 0 <= o < count:
            raise ValueError(f"no node with id {o}")
    return outs


def lower(store: brantel_core.GraphStore, registry: Registry, *, partitions: int,
          outputs: Sequence[int] | None = None, fan_in: int = DEFAULT_FAN_IN, token: str | None = None) -> Lowered:
    """The dask graph computing ``outputs`` (default: the store's marks) over ``partitions``.

    Checks everything before building: every output id exists, every live node and
    stage member has an implementation (MissingImplementationError names them all),
    every exchange has exactly one input and every stage member reference points at
    an input or an earlier member. ``token`` (default: random) goes into
    every key.
    """
    if partitions < 1:
        raise ValueError(f"partitions must be at least 1, not {partitions}")
    if fan_in < 2:
        raise ValueError(f"fan_in must be at least 2, not {fan_in}")
    outs = resolve_outputs(store, outputs)
    nodes = store.nodes()
    live = live_nodes(nodes, outs)
    missing = missing_implementations(nodes, live, registry)
    if missing:
        raise MissingImplementationError(missing)
    for i in live:
        kind = nodes[i]["kind"]
        if kind == "exchange" and len(nodes[i]["inputs"]) != 1:
            raise ValueError(f"exchange node {i} has {len(nodes[i]['inputs'])} inputs; an exchange takes exactly one")
        problem = bad_stage_reference(nodes[i]) if kind == "stage" else None
        if problem:
            raise ValueError(problem)
    lowering = _Lowering(registry, partitions, fan_in, secrets.token_hex(3) if token is None else token)
    handles: dict[int, Handle] = {}
    for i in live:
        handles[i] = lowering.node(nodes[i], [handles[j] for j in nodes[i]["inputs"]])
    return Lowered(lowering.graph, [handles[o] for o in outs], partitions)


def run(store: brantel_core.GraphStore, registry: Registry, *, partitions: int,
        outputs: Sequence[int] | None = None, scheduler: Any = "threads", optimize: bool = False,
        fan_in: int = DEFAULT_FAN_IN) -> list[Any]:
    """Computes ``outputs`` (default: the store's marks) on dask and returns their values
    in order: a list of ``partitions`` values for a partitioned output, else the value.

    ``scheduler`` is ``"sync"``, ``"threads"``, ``"processes"`` or a
    ``dask.distributed.Client``; ``optimize`` first applies dask's cull and fuse.
    """
    lowered = lower(store, registry, partitions=partitions, outputs=outputs, fan_in=fan_in)
    return (lowered.optimized() if optimize else lowered).compute(scheduler)
