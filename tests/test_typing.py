"""The type stubs: `mypy --strict` over the stubs and a typed usage example, and
`stubtest` of the stubs against the built modules.

mypy runs in a child process with the repository's stubs ahead of the host's
stand-in modules on MYPYPATH, so it is the stubs in stubs/ that are checked,
whichever build the suite runs against.
"""

from __future__ import annotations

import importlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed in this environment (requirements-dev.txt pins it)")

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs"
HOST = ROOT / "host"
USAGE = ROOT / "tests" / "typing" / "usage.py"

MODULES = ["zorvane.core.conversation", "zorvane.pc.seek_press"]


def _runtime_root(name: str) -> Path:
    """The sys.path entry that the built module `name` is imported from."""
    module = importlib.import_module(name)
    return Path(module.__file__).resolve().parents[name.count(".")]


def _seek_press_ready() -> bool:
    return hasattr(importlib.import_module("zorvane.pc.seek_press"), "SeekPress")


def _run(args: list[str], cwd: Path, *, pythonpath: list[Path] | None = None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    env["MYPYPATH"] = os.pathsep.join([str(STUBS), str(HOST)])
    if pythonpath is not None:
        env["PYTHONPATH"] = os.pathsep.join(str(p) for p in pythonpath)
    # mypy is not ours: do not let a sanitizer runtime preloaded for the
    # extension modules judge it, except where it imports them (stubtest).
    if pythonpath is None:
        env.pop("LD_PRELOAD", None)
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )


@pytest.fixture(scope="module")
def workdir(tmp_path_factory: pytest.TempPathFactory) -> Path:
    # A clean working directory (the interpreter puts it first on sys.path)
    # and a cache of its own, so that runs do not disturb each other.
    return tmp_path_factory.mktemp("typing")


def _mypy(workdir: Path, *targets: str) -> subprocess.CompletedProcess[str]:
    return _run(
        ["mypy", "--strict", "--no-error-summary", "--cache-dir", str(workdir / "mypy-cache"), *targets],
        workdir,
    )


def test_stubs_pass_mypy_strict(workdir: Path) -> None:
    result = _mypy(workdir, "-p", "zorvane.core.conversation", "-p", "zorvane.pc.seek_press")
    assert result.returncode == 0, result.stdout + result.stderr


def test_usage_example_passes_mypy_strict(workdir: Path) -> None:
    # The example also carries the calls the stubs must refuse, each with a
    # `type: ignore`; --strict reports an ignore that was not needed.
    result = _mypy(workdir, str(USAGE))
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_reports_a_misuse(workdir: Path) -> None:
    # Guards the two tests above against a setup in which mypy silently
    # resolves the modules to Any (a missing stub directory, say).
    bad = workdir / "misuse.py"
    bad.write_text(
        "from zorvane.core.conversation import ConversationManager\n"
        "from zorvane.pc.seek_press import SeekPress\n"
        "async def f(m: ConversationManager, p: SeekPress) -> None:\n"
        "    n: str = await m.add_user_message('hi')\n"
        "    await p.click_color('#fff', tolerance='high')\n"
    )
    result = _mypy(workdir, str(bad))
    assert result.returncode == 1, result.stdout + result.stderr
    assert 'Incompatible types in assignment (expression has type "int"' in result.stdout
    assert 'Argument "tolerance" to "click_color"' in result.stdout


@pytest.mark.parametrize("name", MODULES)
def test_stubtest_against_built_module(name: str, workdir: Path) -> None:
    if name == "zorvane.pc.seek_press" and not _seek_press_ready():
        pytest.skip("zorvane.pc.seek_press is still a placeholder module without SeekPress")
    result = _run(
        ["mypy.stubtest", name],
        workdir,
        pythonpath=[_runtime_root(name), HOST],
    )
    assert result.returncode == 0, result.stdout + result.stderr
