"""Types for brantel_core, the interned pipeline-graph store and its reducer.

The extension has no Python source, so this stub-only package (PEP 561) is
what type checkers read. The dict shapes below are the exact shapes the views
return. The TypedDicts and the aliases ParamValue, NodeDict and NodeMapEntry
exist only for type checking (they are not attributes of the module), so
import them under ``if TYPE_CHECKING:``.
"""

from collections.abc import Sequence
from typing import (
    Literal,
    NotRequired,
    Self,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypeVar,
    TypedDict,
    final,
    overload,
    type_check_only,
)

# A parameter as the views return it: Int, Float, Bool or Str.
ParamValue: TypeAlias = int | float | bool | str

# What a params dict may hold going in: bool first, then anything with
# __index__ (stored as Int when it fits 64 bits, else as Float when a double
# holds it exactly, else OverflowError), anything with __float__ (stored as
# Float), or str.
_ParamInput: TypeAlias = bool | SupportsIndex | SupportsFloat | str

# The extension insists on a real dict (or subclass), so params are typed as
# dict, not Mapping. dict is invariant in its value type, so each method has two
# overloads: the first gives a literal written in place its context (a literal
# mixing floats and strs would otherwise be inferred as dict[str, object]); the
# second takes a dict variable of any narrower value type, such as dict[str, float].
_V = TypeVar("_V", bound=_ParamInput)

# Node ids: any sequence of ints (or objects with __index__). A str is a
# sequence too but is refused at run time, and str has no __index__, so the
# element type keeps it out here as well.
_Ids: TypeAlias = Sequence[SupportsIndex]

# A descriptor record, or a dict with the five required str fields (and an
# optional preprocessing_ref); other keys of a dict are ignored.
_Descriptor: TypeAlias = PayloadDescriptor | DescriptorFields | dict[str, str | None] | dict[str, str]

# (reduced node id, member index or None), or None for a node dead-code
# elimination dropped.
NodeMapEntry: TypeAlias = tuple[int, int | None] | None

def version() -> str: ...

class PanicException(BaseException):
    """An internal invariant of the extension broke; the call was abandoned.

    Derives from BaseException so that ``except Exception`` does not swallow it.
    """

@type_check_only
class DescriptorDict(TypedDict):
    """The "descriptor" entry of an external node's view."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None

@type_check_only
class DescriptorFields(TypedDict):
    """A descriptor given to add_external as a dict; other keys are ignored."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: NotRequired[str | None]

@type_check_only
class MemberDict(TypedDict):
    """One fused operation inside a stage node."""

    kind: Literal["op", "red"]
    name: str
    params: dict[str, ParamValue]
    inputs: list[tuple[Literal["input", "member"], int]]

@type_check_only
class SourceNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["source"]
    name: str
    params: dict[str, ParamValue]

@type_check_only
class OpNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["op"]
    name: str
    params: dict[str, ParamValue]

@type_check_only
class ReductionNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["reduction"]
    name: str
    params: dict[str, ParamValue]

@type_check_only
class ExternalNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["external"]
    name: str
    params: dict[str, ParamValue]
    descriptor: DescriptorDict

@type_check_only
class StageNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["stage"]
    name: str
    params: dict[str, ParamValue]
    n_members: int
    members: list[MemberDict]

@type_check_only
class ExchangeNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["exchange"]
    name: str
    params: dict[str, ParamValue]

@type_check_only
class JoinNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["join"]
    name: str
    params: dict[str, ParamValue]

# Testing node["kind"] narrows a NodeDict to the one shape that has
# "descriptor" or "members".
NodeDict: TypeAlias = (
    SourceNodeDict
    | OpNodeDict
    | ReductionNodeDict
    | ExternalNodeDict
    | StageNodeDict
    | ExchangeNodeDict
    | JoinNodeDict
)

@type_check_only
class ReportDict(TypedDict):
    """The six counts of one reduction (the key order is not fixed)."""

    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int

@final
class PayloadDescriptor:
    """Reproducibility metadata an External node carries (participates in the structural hash)."""

    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> Self: ...
    @property
    def kind(self) -> str: ...
    @property
    def content_hash(self) -> str: ...
    @property
    def framework(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def io_schema(self) -> str: ...
    @property
    def preprocessing_ref(self) -> str | None: ...

@final
class GraphStore:
    """A thread-safe interned graph store; equal nodes are stored once.

    A failed call leaves the store as it was: a params dict changed during the
    call raises RuntimeError, two param keys with one text ValueError, and
    running out of memory MemoryError (a failed add stores nothing and takes no id).
    """

    def __new__(cls) -> Self: ...
    @overload
    def add_source(self, name: str, params: dict[str, _ParamInput] | None = None) -> int: ...
    @overload
    def add_source(self, name: str, params: dict[str, _V]) -> int: ...
    @overload
    def add_op(self, name: str, inputs: _Ids, params: dict[str, _ParamInput] | None = None) -> int: ...
    @overload
    def add_op(self, name: str, inputs: _Ids, params: dict[str, _V]) -> int: ...
    @overload
    def add_reduction(self, name: str, inputs: _Ids, params: dict[str, _ParamInput] | None = None) -> int: ...
    @overload
    def add_reduction(self, name: str, inputs: _Ids, params: dict[str, _V]) -> int: ...
    @overload
    def add_external(
        self, descriptor: _Descriptor, inputs: _Ids, params: dict[str, _ParamInput] | None = None
    ) -> int: ...
    @overload
    def add_external(self, descriptor: _Descriptor, inputs: _Ids, params: dict[str, _V]) -> int: ...
    @overload
    def add_exchange(self, inputs: _Ids, params: dict[str, _ParamInput] | None = None) -> int: ...
    @overload
    def add_exchange(self, inputs: _Ids, params: dict[str, _V]) -> int: ...
    @overload
    def add_join(self, inputs: _Ids, params: dict[str, _ParamInput] | None = None) -> int: ...
    @overload
    def add_join(self, inputs: _Ids, params: dict[str, _V]) -> int: ...
    def node_count(self) -> int: ...
    def to_dot(self) -> str: ...
    def nodes(self) -> list[NodeDict]: ...
    def outputs(self) -> list[int]: ...
    def node_map(self) -> list[NodeMapEntry]: ...
    def serialize(self, outputs: _Ids | None = None) -> bytes: ...
    @staticmethod
    def deserialize(data: bytes) -> GraphStore: ...
    def reduce(self, *, maximal_fusion: bool = False, outputs: _Ids | None = None) -> tuple[GraphStore, ReportDict]: ...
    def reduce_incremental(self, *, outputs: _Ids | None = None) -> tuple[GraphStore, ReportDict]: ...
    def reduction_report(self, *, outputs: _Ids | None = None) -> ReportDict: ...

@final
class IncrementalReducer:
    """Canonicalises a graph step by step while it is being built.

    A step or finalize that runs out of memory raises MemoryError and leaves the
    reducer usable, not poisoned; nodes it had folded stay consumed.
    """

    def __new__(cls) -> Self: ...
    def step(self, store: GraphStore) -> int: ...
    def watermark(self) -> int: ...
    def total_work(self) -> int: ...
    def canonical_count(self) -> int: ...
    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: _Ids | None = None
    ) -> tuple[GraphStore, ReportDict]: ...
