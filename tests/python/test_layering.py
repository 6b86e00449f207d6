"""The layers include downwards only, and Python headers and objects stay inside src/python:
the core builds and tests without an interpreter."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CXX_SUFFIXES = {".h", ".hh", ".hpp", ".c", ".cc", ".cpp", ".cxx", ".inc"}
FORBIDDEN = re.compile(r'#\s*include\s*[<"]Python\.h[">]|\bPyObject\b')
SKIPPED_DIRS = {".git", "__pycache__"}


def cxx_files_outside_lib():
    lib = ROOT / "src" / "python"
    for path in ROOT.rglob("*"):
        if path.suffix not in CXX_SUFFIXES or not path.is_file():
            continue
        parts = set(path.relative_to(ROOT).parts)
        if parts & SKIPPED_DIRS or any(p.startswith("build") for p in path.relative_to(ROOT).parts):
            continue
        if lib in path.parents:
            continue
        yield path


def test_only_src_python_uses_the_python_c_api():
    offenders = []
    for path in cxx_files_outside_lib():
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            if FORBIDDEN.search(line):
                offenders.append(f"{path.relative_to(ROOT)}:{number}: {line.strip()}")
    assert offenders == []


def test_the_scan_sees_the_core_and_would_catch_an_offender():
    scanned = {p.relative_to(ROOT).as_posix() for p in cxx_files_outside_lib()}
    assert "src/store/graph/graph_store.h" in scanned
    assert "src/python/module.cc" not in scanned
    assert FORBIDDEN.search("#include <Python.h>") and FORBIDDEN.search("PyObject* x;")
    assert not FORBIDDEN.search("MyPyObjectLike")


# Bottom to top; a file may include headers of its own layer and the ones before it.
LAYERS = ["support", "store/model", "store/graph", "store/blob", "egraph", "optimizer/engine",
          "optimizer/reduce", "optimizer/incremental", "python"]
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def layer_of(relative):
    return max((i for i, layer in enumerate(LAYERS) if relative == layer or relative.startswith(layer + "/")),
               default=None)


def upward_includes(src):
    for path in sorted(src.rglob("*")):
        if path.suffix not in CXX_SUFFIXES:
            continue
        own = layer_of(path.relative_to(src).as_posix())
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            included = layer_of(match.group(1)) if match else None
            if own is not None and included is not None and included > own:
                yield f"{path.relative_to(src)}:{number}: {line.strip()}"


def test_no_layer_includes_a_layer_above_it(tmp_path):
    assert list(upward_includes(ROOT / "src")) == []
    probe = tmp_path / "store" / "graph" / "x.h"
    probe.parent.mkdir(parents=True)
    probe.write_text('#include "store/model/node.h"\n#include "egraph/egraph.h"\n')
    assert list(upward_includes(tmp_path)) == ['store/graph/x.h:2: #include "egraph/egraph.h"']


def test_the_brantel_package_imports_without_dask():
    # dask is an optional extra: only computing a graph may load it.
    import subprocess
    import sys

    code = ("import sys, pkgutil, importlib, brantel\n"
            "for m in pkgutil.iter_modules(brantel.__path__): importlib.import_module('brantel.' + m.name)\n"
            "print(sorted(n for n in sys.modules if n.split('.')[0] in ('dask', 'distributed')))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "[]\n"), done.stderr
