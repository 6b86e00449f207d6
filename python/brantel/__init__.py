"""Command-line tools for brantel IR blobs: show, draw, reduce, count and explain.

Run ``brantel --help`` (or ``python -m brantel --help``). Everything here is
plain Python on top of the ``brantel_core`` extension; nothing in this package
changes how a graph is stored or reduced.
"""

__all__ = ["main"]


def main(argv: "list[str] | None" = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit code."""
    from brantel.cli import main as _main

    return _main(argv)
