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


def _run(
    args: list[str], tmp_path: Path, script: Path | None = None, setup: str = "PYTHONPATH"
) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    module_dir = str(Path(brantel_core.__file__).parent)
    if setup == "PYTHONPATH":
        # The built module and the stub package side by side, as an installed wheel has them.
        env["PYTHONPATH"] = os.pathsep.join([module_dir, str(STUBS)])
    else:
        # A checkout's python/ on MYPYPATH, where brantel_core.pyi stands for the stub package.
        env["PYTHONPATH"] = module_dir
        env["MYPYPATH"] = str(STUBS)
    env["MYPY_CACHE_DIR"] = str(tmp_path / "mypy-cache")
    command = [sys.executable, str(script)] if script else [sys.executable, "-m", *args]
    return subprocess.run(command, capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)


def test_stubtest_agrees_with_the_module(tmp_path: Path) -> None:
    # No allowlist: the dict shapes the stub re-exports from brantel are not the
    # module's own names, so stubtest does not look for them at run time.
    done = _run(["mypy.stubtest", "--strict-type-check-only", "brantel_core"], tmp_path)
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


@pytest.mark.parametrize("setup", ["PYTHONPATH", "MYPYPATH"])
def test_mypy_strict_on_a_first_script(tmp_path: Path, setup: str) -> None:
    script = ROOT / "tests" / "python" / "typing_user.py"
    done = _run(["mypy", "--strict", "--no-error-summary", str(script)], tmp_path, setup=setup)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout == ""


@pytest.mark.parametrize("name", ["typing_usage", "typing_user"])
def test_typed_usage_runs(tmp_path: Path, name: str) -> None:
    # What the typed files claim must also hold at run time.
    done = _run([], tmp_path, script=ROOT / "tests" / "python" / f"{name}.py")
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"{name.replace('_', ' ')} ok\n"
