"""The type stubs against the built module (stubtest) and typed code using them (mypy --strict)."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import brantel_core

try:  # mypy ships compiled for the system interpreter only; elsewhere it does not import
    import mypy.api  # noqa: F401
    import mypy.stubtest  # noqa: F401
except ImportError as e:
    pytest.skip(f"mypy is not importable here: {e}", allow_module_level=True)

ROOT = Path(__file__).resolve().parents[2]
STUBS = ROOT / "python"


def _run(args: list[str], tmp_path: Path, script: Path | None = None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    # The built module and the stub package side by side, as an installed wheel has them.
    env["PYTHONPATH"] = os.pathsep.join([str(Path(brantel_core.__file__).parent), str(STUBS)])
    env["MYPY_CACHE_DIR"] = str(tmp_path / "mypy-cache")
    command = [sys.executable, str(script)] if script else [sys.executable, "-m", *args]
    return subprocess.run(command, capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)


def test_stubtest_agrees_with_the_module(tmp_path: Path) -> None:
    allowlist = ROOT / "tests" / "python" / "stubtest_allowlist.txt"
    done = _run(["mypy.stubtest", "--strict-type-check-only", "--allowlist", str(allowlist), "brantel_core"], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_mypy_strict_on_typed_users(tmp_path: Path) -> None:
    targets = [
        ROOT / "tests" / "python" / "typing_usage.py",
        ROOT / "examples" / "pipeline.py",
        ROOT / "python" / "brantel",
    ]
    done = _run(["mypy", "--strict", "--no-error-summary", *map(str, targets)], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout == ""


def test_typed_usage_runs(tmp_path: Path) -> None:
    # What the typed file claims must also hold at run time.
    done = _run([], tmp_path, script=ROOT / "tests" / "python" / "typing_usage.py")
    assert done.returncode == 0, done.stderr
    assert done.stdout == "typing usage ok\n"
