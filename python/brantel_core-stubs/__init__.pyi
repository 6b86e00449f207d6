"""Types for brantel_core, the interned pipeline-graph store and its reducer.

The extension has no Python source, so this stub-only package (PEP 561) is
what type checkers read. The dict shapes (NodeDict, DescriptorFields,
ReportDict, ...) are defined once, in the brantel package, and re-exported
here: ``from brantel import NodeDict`` works at run time as well, while
``brantel_core.NodeDict`` exists for type checkers only. Importing them here
costs nothing at run time, since the extension never reads this file.
"""

from collections.abc import Sequence
from typing import (
    Self,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypeVar,
    final,
    overload,
)

from brantel.shapes import (
    DescriptorDict as DescriptorDict,
    DescriptorFields as DescriptorFields,
    ExchangeNodeDict as ExchangeNodeDict,
    ExternalNodeDict as ExternalNodeDict,
    JoinNodeDict as JoinNodeDict,
    MemberDict as MemberDict,
    NodeDict as NodeDict,
    NodeMapEntry as NodeMapEntry,
    OpNodeDict as OpNodeDict,
    ParamValue as ParamValue,
    ReductionNodeDict as ReductionNodeDict,
    ReportDict as ReportDict,
    SourceNodeDict as SourceNodeDict,
    StageNodeDict as StageNodeDict,
)

# What a params dict may hold going in: bool first, then anything with
# __index__ (stored as Int when it fits 64 bits, else as Float when a double
# holds it exactly, else OverflowError), anything with __float__ (stored as
# Float), or str.
_ParamInput: TypeAlias = bool | SupportsIndex | SupportsFloat | str

# The extension insists on a real dict (or subclass), so params are typed as
# dict, not Mapping. dict is invariant in its value type, so each method has
# three overloads: the first gives a literal written in place its context; the
# second takes a dict variable of any narrower value type, such as
# dict[str, float]; the third takes dict[str, object], which is what mypy infers
# for a variable holding a literal that mixes floats and strs
# (params = {"scalar": 0.0, "side": "r"}). Values are checked at run time.
_V = TypeVar("_V", bound=_ParamInput)

# Node ids: any sequence of ints (or objects with __index__). A str is a
# sequence too but is refused at run time, and str has no __index__, so the
# element type keeps it out here as well.
_Ids: TypeAlias = Sequence[SupportsIndex]

# A descriptor record, or a dict of the descriptor's fields. Plain dict types
# are left out on purpose: a DescriptorFields literal with a misspelt key is an
# error, where dict[str, str] would take any key. Annotate a dict variable as
# DescriptorFields (importable from brantel).
_Descriptor: TypeAlias = PayloadDescriptor | DescriptorFields

def version() -> str: ...

class PanicException(BaseException):
    """An internal invariant of the extension broke; the call was abandoned.

    Derives from BaseException so that ``except Exception`` does not swallow it.
    """

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
    def add_source(self, name: str, params: dict[str, object]) -> int: ...
    @overload
    def add_op(self, name: str, inputs: _Ids, params: dict[str, _ParamInput] | None = None) -> int: ...
    @overload
    def add_op(self, name: str, inputs: _Ids, params: dict[str, _V]) -> int: ...
    @overload
    def add_op(self, name: str, inputs: _Ids, params: dict[str, object]) -> int: ...
    @overload
    def add_reduction(self, name: str, inputs: _Ids, params: dict[str, _ParamInput] | None = None) -> int: ...
    @overload
    def add_reduction(self, name: str, inputs: _Ids, params: dict[str, _V]) -> int: ...
    @overload
    def add_reduction(self, name: str, inputs: _Ids, params: dict[str, object]) -> int: ...
    @overload
    def add_external(
        self, descriptor: _Descriptor, inputs: _Ids, params: dict[str, _ParamInput] | None = None
    ) -> int: ...
    @overload
    def add_external(self, descriptor: _Descriptor, inputs: _Ids, params: dict[str, _V]) -> int: ...
    @overload
    def add_external(self, descriptor: _Descriptor, inputs: _Ids, params: dict[str, object]) -> int: ...
    @overload
    def add_exchange(self, inputs: _Ids, params: dict[str, _ParamInput] | None = None) -> int: ...
    @overload
    def add_exchange(self, inputs: _Ids, params: dict[str, _V]) -> int: ...
    @overload
    def add_exchange(self, inputs: _Ids, params: dict[str, object]) -> int: ...
    @overload
    def add_join(self, inputs: _Ids, params: dict[str, _ParamInput] | None = None) -> int: ...
    @overload
    def add_join(self, inputs: _Ids, params: dict[str, _V]) -> int: ...
    @overload
    def add_join(self, inputs: _Ids, params: dict[str, object]) -> int: ...
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

    Folds an identity op with exactly one input into that input, a bare
    commutative op into its swapped twin, and equal nodes into one; finalize
    then gives the same reduced store and node map as GraphStore.reduce. A
    reducer belongs to the first store it is given: step or finalize with any
    other store raises ValueError and leaves the reducer unchanged.

    A step or finalize that runs out of memory raises MemoryError and leaves the
    reducer usable, not poisoned; nodes it had folded stay consumed.
    """

    def __new__(cls) -> Self: ...
    def step(self, store: GraphStore) -> int:
        """Fold the nodes added to store since the previous step; returns how many were consumed.

        Raises ValueError if this reducer was first given another store.
        """
    def watermark(self) -> int: ...
    def total_work(self) -> int: ...
    def canonical_count(self) -> int: ...
    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: _Ids | None = None
    ) -> tuple[GraphStore, ReportDict]:
        """Consume what is new in store, then reduce the canonical form as GraphStore.reduce does.

        The report's input_nodes and reachable_nodes count canonical nodes. Raises
        ValueError for an unknown output id, or if this reducer was first given
        another store; either way the reducer is unchanged.
        """
