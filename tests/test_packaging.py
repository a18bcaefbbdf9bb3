"""The wheel and the sdist: what they hold, and that the wheel installs next to
the host's `zorvane` package and imports.

One wheel is built per session with `pip wheel .` (incrementally, in
build/test-wheel) and shared by the tests; building from the sdist is a full
build of its own.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import textwrap
import zipfile
from email.parser import Parser
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs"
HOST = ROOT / "host"
EXT = sysconfig.get_config_var("EXT_SUFFIX")
DIST = "zorvane_native-0.1.0"

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(
        bool(os.environ.get("ZORVANE_BUILD_PKG")),
        reason="packaging is checked against the release interpreter; this run tests a separate build",
    ),
]

OUR_FILES = {
    f"zorvane/core/conversation{EXT}",
    f"zorvane/pc/seek_press{EXT}",
    "zorvane/core/conversation.pyi",
    "zorvane/pc/seek_press.pyi",
    "zorvane/py.typed",
}


def _env() -> dict[str, str]:
    env = dict(os.environ)
    # cmake and ninja come from the interpreter's environment (requirements-dev.txt).
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    env.pop("LD_PRELOAD", None)
    env.pop("PYTHONPATH", None)
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def _run(args: list[str | Path], cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True, env=_env(), cwd=cwd)
    assert result.returncode == 0, f"{' '.join(map(str, args))}\n{result.stdout}\n{result.stderr}"
    return result


def _pip(*args: str | Path) -> subprocess.CompletedProcess[str]:
    return _run([sys.executable, "-m", "pip", *args])


@pytest.fixture(scope="session")
def wheel(tmp_path_factory: pytest.TempPathFactory) -> Path:
    pytest.importorskip("scikit_build_core", reason="the build backend is not installed in this environment")
    out = tmp_path_factory.mktemp("wheelhouse")
    build_dir = ROOT / "build" / "test-wheel" / "{wheel_tag}"
    _pip("wheel", ROOT, "--no-build-isolation", "--no-deps", "-q", "-w", out, "-C", f"build-dir={build_dir}")
    (built,) = out.glob("*.whl")
    return built


@pytest.fixture(scope="session")
def sdist(tmp_path_factory: pytest.TempPathFactory) -> Path:
    pytest.importorskip("build", reason="the build frontend is not installed in this environment")
    pytest.importorskip("scikit_build_core", reason="the build backend is not installed in this environment")
    out = tmp_path_factory.mktemp("sdist")
    _run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "-o", out, ROOT])
    (built,) = out.glob("*.tar.gz")
    return built


def _host_package(site: Path) -> list[Path]:
    """Installs the stand-in host modules into `site` as the regular package the
    host ships (with __init__.py files); returns the host's own files."""
    shutil.copytree(HOST / "zorvane", site / "zorvane", dirs_exist_ok=True,
                    ignore=shutil.ignore_patterns("__pycache__"))
    for pkg in ("zorvane", "zorvane/core", "zorvane/pc"):
        (site / pkg / "__init__.py").write_text('"""Stand-in host package."""\n')
    return sorted(p for p in (site / "zorvane").rglob("*") if p.is_file())


# ---------------------------------------------------------------------------
# Wheel


def test_wheel_holds_exactly_our_files(wheel: Path) -> None:
    with zipfile.ZipFile(wheel) as zf:
        names = set(zf.namelist())
        meta = {n.rsplit("/", 1)[1] for n in names if n.startswith(f"{DIST}.dist-info/")}
        assert names - {f"{DIST}.dist-info/{m}" for m in meta} == OUR_FILES
        assert meta == {"METADATA", "WHEEL", "RECORD"}
        for stub in ("zorvane/core/conversation.pyi", "zorvane/pc/seek_press.pyi", "zorvane/py.typed"):
            assert zf.read(stub) == (STUBS / stub).read_bytes(), stub
        info = Parser().parsestr(zf.read(f"{DIST}.dist-info/WHEEL").decode())
        metadata = Parser().parsestr(zf.read(f"{DIST}.dist-info/METADATA").decode())
    assert info["Root-Is-Purelib"] == "false"
    # The ABI tag carries the interpreter's flags: cp313t free-threaded, cp313d debug.
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    abi = tag + getattr(sys, "abiflags", "")
    assert info.get_all("Tag") and all(t.startswith(f"{tag}-{abi}-") for t in info.get_all("Tag"))
    assert metadata["Name"] == "zorvane-native"
    assert metadata["Requires-Python"] == ">=3.12"
    assert "Typing :: Typed" in metadata.get_all("Classifier")
    assert not metadata.get_all("Requires-Dist")


@pytest.mark.skipif(not sys.platform.startswith("linux") or not shutil.which("readelf"),
                    reason="ELF inspection needs Linux and readelf")
def test_wheel_modules_need_only_the_c_and_cxx_runtimes(wheel: Path, tmp_path: Path) -> None:
    allowed = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1"}
    with zipfile.ZipFile(wheel) as zf:
        zf.extractall(tmp_path)
    for name in sorted(n for n in OUR_FILES if n.endswith(EXT)):
        dynamic = _run(["readelf", "-d", tmp_path / name]).stdout
        needed = {line.split("[", 1)[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line}
        assert needed <= allowed, (name, needed)
        symbols = _run(["readelf", "--dyn-syms", "-W", tmp_path / name]).stdout
        exported = {line.split()[-1] for line in symbols.splitlines()
                    if " GLOBAL " in line and " UND " not in line and "FUNC" in line}
        assert exported == {"PyInit_" + Path(name).name.split(".")[0]}, (name, exported)


@pytest.fixture(scope="session")
def venv(wheel: Path, tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path, list[Path]]:
    """A fresh virtual environment with the stand-in host package and the wheel
    installed: (python, site-packages, the host's files)."""
    root = tmp_path_factory.mktemp("venv")
    _run([sys.executable, "-m", "venv", "--without-pip", root])
    python = root / ("Scripts/python.exe" if os.name == "nt" else "bin/python")
    site = Path(_run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"]).stdout.strip())
    host_files = _host_package(site)
    _pip("--python", python, "install", "-q", "--no-index", "--no-deps", wheel)
    return python, site, host_files


SMOKE = textwrap.dedent(
    """
    import asyncio, sys
    import zorvane
    from zorvane.core import conversation
    from zorvane.core.memory import MemoryStore
    from zorvane.pc import seek_press
    from zorvane.pc.mouse import MouseController
    from zorvane.pc.screen import ScreenReader

    site = sys.argv[1]
    for module in (zorvane, conversation, seek_press):
        assert module.__file__.startswith(site), module.__file__

    async def main():
        store = MemoryStore()
        manager = conversation.ConversationManager(store)
        conv_id = await manager.start_conversation("smoke")
        assert await manager.add_user_message("hello") == 1
        return conv_id

    assert len(asyncio.run(main())) == 36
    presser = seek_press.SeekPress(MouseController(), ScreenReader())
    assert presser._mouse is not None and presser._screen is not None
    print("ok")
    """
)


def test_wheel_installs_next_to_the_host_package(venv: tuple[Path, Path, list[Path]], tmp_path: Path) -> None:
    python, site, host_files = venv
    assert {str(p.relative_to(site).as_posix()) for p in (site / "zorvane").rglob("*") if p.is_file()
            and "__pycache__" not in p.parts} == {str(p.relative_to(site).as_posix()) for p in host_files} | OUR_FILES
    # Run from an empty directory with a clean environment, so that nothing of
    # the repository is importable.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD", "ZORVANE_BUILD_PKG")}
    result = subprocess.run([python, "-I", "-c", SMOKE, str(site)], cwd=tmp_path, env=env,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "ok"


def test_installed_stubs_serve_mypy(venv: tuple[Path, Path, list[Path]], tmp_path: Path) -> None:
    # PEP 561 discovery from site-packages: the installed .pyi and py.typed,
    # not the repository's stubs/ (no MYPYPATH).
    pytest.importorskip("mypy")
    python, _site, _host = venv
    env = {k: v for k, v in _env().items() if k != "MYPYPATH"}
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--python-executable", str(python),
         "--cache-dir", str(tmp_path / "cache"), str(ROOT / "tests" / "typing" / "usage.py")],
        cwd=tmp_path, env=env, capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_uninstall_leaves_the_host_package(wheel: Path, tmp_path: Path) -> None:
    _run([sys.executable, "-m", "venv", "--without-pip", tmp_path / "env"])
    python = tmp_path / "env" / ("Scripts/python.exe" if os.name == "nt" else "bin/python")
    site = Path(_run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"]).stdout.strip())
    host_files = _host_package(site)
    _pip("--python", python, "install", "-q", "--no-index", "--no-deps", wheel)
    _pip("--python", python, "uninstall", "-y", "-q", "zorvane-native")
    left = sorted(p for p in (site / "zorvane").rglob("*") if p.is_file() and "__pycache__" not in p.parts)
    assert left == host_files


# ---------------------------------------------------------------------------
# sdist


def test_sdist_holds_the_build_inputs(sdist: Path) -> None:
    with tarfile.open(sdist) as tf:
        names = {m.name.split("/", 1)[1] for m in tf.getmembers() if m.isfile()}
    tracked = _run(["git", "ls-files", "src", "stubs"], cwd=ROOT).stdout.split()
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO"} | set(tracked) <= names
    assert {n.split("/", 1)[0] for n in names} == {"pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO",
                                                   "src", "stubs"}


def test_sdist_builds_a_wheel(sdist: Path, tmp_path: Path) -> None:
    pytest.importorskip("scikit_build_core")
    _pip("wheel", sdist, "--no-build-isolation", "--no-deps", "-q", "-w", tmp_path)
    (built,) = tmp_path.glob("*.whl")
    with zipfile.ZipFile(built) as zf:
        assert {n for n in zf.namelist() if not n.startswith(f"{DIST}.dist-info/")} == OUR_FILES
