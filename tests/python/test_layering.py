"""Python headers and objects stay inside src/lib: the core builds and tests without an interpreter."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CXX_SUFFIXES = {".h", ".hh", ".hpp", ".c", ".cc", ".cpp", ".cxx", ".inc"}
FORBIDDEN = re.compile(r'#\s*include\s*[<"]Python\.h[">]|\bPyObject\b')
SKIPPED_DIRS = {".git", "__pycache__"}


def cxx_files_outside_lib():
    lib = ROOT / "src" / "lib"
    for path in ROOT.rglob("*"):
        if path.suffix not in CXX_SUFFIXES or not path.is_file():
            continue
        parts = set(path.relative_to(ROOT).parts)
        if parts & SKIPPED_DIRS or any(p.startswith("build") for p in path.relative_to(ROOT).parts):
            continue
        if lib in path.parents:
            continue
        yield path


def test_only_src_lib_uses_the_python_c_api():
    offenders = []
    for path in cxx_files_outside_lib():
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            if FORBIDDEN.search(line):
                offenders.append(f"{path.relative_to(ROOT)}:{number}: {line.strip()}")
    assert offenders == []


def test_the_scan_sees_the_core_and_would_catch_an_offender():
    scanned = {p.relative_to(ROOT).as_posix() for p in cxx_files_outside_lib()}
    assert "src/store/graph/graph_store.h" in scanned
    assert "src/lib/module.cc" not in scanned
    assert FORBIDDEN.search("#include <Python.h>") and FORBIDDEN.search("PyObject* x;")
    assert not FORBIDDEN.search("MyPyObjectLike")


def test_the_brantel_package_imports_without_dask():
    # dask is an optional extra: only computing a graph may load it.
    import subprocess
    import sys

    code = ("import sys, pkgutil, importlib, brantel\n"
            "for m in pkgutil.iter_modules(brantel.__path__): importlib.import_module('brantel.' + m.name)\n"
            "print(sorted(n for n in sys.modules if n.split('.')[0] in ('dask', 'distributed')))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "[]\n"), done.stderr
