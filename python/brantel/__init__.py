"""The brantel package: command-line tools for IR blobs, running a pipeline on dask,
a pipeline's fingerprint, and the shapes of brantel_core's dicts.

Run ``brantel --help`` (or ``python -m brantel --help``). Everything here is
plain Python on top of the ``brantel_core`` extension; nothing in this package
changes how a graph is stored or reduced. dask is needed only to compute a graph
(``run``, ``Lowered.compute``); importing the package does not load it. The
TypedDicts (``NodeDict``, ``DescriptorFields``, ``ReportDict``, ...) describe the
dicts the extension returns and accepts, and are importable at run time.
"""

from brantel.fingerprinting import fingerprint
from brantel.lowering import Lowered, MissingImplementationError, NodeError, lower, run
from brantel.registry import Registry
from brantel.shapes import (
    DescriptorDict,
    DescriptorFields,
    ExchangeNodeDict,
    ExternalNodeDict,
    JoinNodeDict,
    MemberDict,
    NodeDict,
    NodeMapEntry,
    OpNodeDict,
    ParamValue,
    ReductionNodeDict,
    ReportDict,
    SourceNodeDict,
    StageNodeDict,
)

__all__ = [
    "DescriptorDict",
    "DescriptorFields",
    "ExchangeNodeDict",
    "ExternalNodeDict",
    "JoinNodeDict",
    "Lowered",
    "MemberDict",
    "MissingImplementationError",
    "NodeDict",
    "NodeError",
    "NodeMapEntry",
    "OpNodeDict",
    "ParamValue",
    "ReductionNodeDict",
    "Registry",
    "ReportDict",
    "SourceNodeDict",
    "StageNodeDict",
    "fingerprint",
    "lower",
    "main",
    "run",
]


def main(argv: "list[str] | None" = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit code."""
    from brantel.cli import main as _main

    return _main(argv)
