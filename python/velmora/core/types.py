"""The shapes of the plain values the module returns and accepts, for type checkers.

These are ordinary dicts at run time; the classes here only describe their keys.
"""

from typing import Literal, NotRequired, TypeAlias, TypedDict

ParamValue: TypeAlias = int | float | bool | str
"""A parameter value: an int is stored as Int, a bool as Bool, a float as Float."""

Params: TypeAlias = dict[str, ParamValue]
"""A node's parameters, as the builders take them and ``nodes()`` shows them."""

NodeKind: TypeAlias = Literal["source", "op", "reduction", "external", "stage", "exchange",
                              "join"]


class DescriptorFields(TypedDict):
    """A descriptor given as a dict without "preprocessing_ref" (it is then absent)."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str


class DescriptorDict(DescriptorFields):
    """The "descriptor" of an external node's dict; also accepted by ``add_external``."""

    preprocessing_ref: str | None


class MemberDict(TypedDict):
    """One member of a stage: an op ("op") or a reduction ("red") over the stage's inputs
    (("input", k)) and the results of earlier members (("member", k))."""

    kind: Literal["op", "red"]
    name: str
    params: Params
    inputs: list[tuple[Literal["input", "member"], int]]


class NodeDict(TypedDict):
    """One entry of ``GraphStore.nodes()``, keys in this order."""

    id: int
    output: bool
    inputs: list[int]
    kind: NodeKind
    name: str
    params: Params
    descriptor: NotRequired[DescriptorDict]  # external nodes only
    n_members: NotRequired[int]  # stage nodes only, with "members"
    members: NotRequired[list[MemberDict]]


class ReductionReport(TypedDict):
    """The six counts of a reduction; the key order is not fixed."""

    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int


NodeMapEntry: TypeAlias = tuple[int, int | None] | None
"""Where a node of the reduced-from store landed: (reduced id, member index or None),
or None when it was dropped as dead."""
