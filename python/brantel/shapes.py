"""The shapes of the dicts brantel_core returns and accepts, as TypedDicts.

They are defined here, in plain Python, so that user code can import them at
run time (``from brantel import NodeDict``) for ``typing.get_type_hints``,
annotations evaluated at run time, or a ``DescriptorFields`` literal checked
key by key. The type stubs of brantel_core import them from here, so there is
one definition; the extension itself never imports this package.

Test ``node["kind"]`` to narrow a NodeDict to the one shape with "descriptor"
or "members"; no isinstance is needed (or possible: at run time every view is a
plain dict).
"""

from __future__ import annotations

from typing import Literal, NotRequired, TypeAlias, TypedDict

# A parameter as the views return it: Int, Float, Bool or Str.
ParamValue: TypeAlias = int | float | bool | str

# (reduced node id, member index or None), or None for a node dead-code
# elimination dropped.
NodeMapEntry: TypeAlias = tuple[int, int | None] | None


class DescriptorDict(TypedDict):
    """The "descriptor" entry of an external node's view: all six fields."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None


class DescriptorFields(TypedDict):
    """A descriptor given to add_external as a dict.

    preprocessing_ref may be left out. A literal with a key that is not one of
    the six (a misspelt "preprocesing_ref", say) is a type error, although at
    run time other keys are ignored.
    """

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: NotRequired[str | None]


class MemberDict(TypedDict):
    """One fused operation inside a stage node."""

    kind: Literal["op", "red"]
    name: str
    params: dict[str, ParamValue]
    inputs: list[tuple[Literal["input", "member"], int]]


class SourceNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["source"]
    name: str
    params: dict[str, ParamValue]


class OpNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["op"]
    name: str
    params: dict[str, ParamValue]


class ReductionNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["reduction"]
    name: str
    params: dict[str, ParamValue]


class ExternalNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["external"]
    name: str
    params: dict[str, ParamValue]
    descriptor: DescriptorDict


class StageNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["stage"]
    name: str
    params: dict[str, ParamValue]
    n_members: int
    members: list[MemberDict]


class ExchangeNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["exchange"]
    name: str
    params: dict[str, ParamValue]


class JoinNodeDict(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["join"]
    name: str
    params: dict[str, ParamValue]


NodeDict: TypeAlias = (
    SourceNodeDict
    | OpNodeDict
    | ReductionNodeDict
    | ExternalNodeDict
    | StageNodeDict
    | ExchangeNodeDict
    | JoinNodeDict
)


class ReportDict(TypedDict):
    """The six counts of one reduction (the key order is not fixed)."""

    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int
