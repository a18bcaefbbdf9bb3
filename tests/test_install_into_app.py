"""tools/install_into_app.py: the two extension modules copied into an
application's own `zorvane` package (regular packages with __init__.py, the
host's modules beside them), nothing else touched, and both modules working
when imported from that tree."""

from __future__ import annotations

import hashlib
import os
import shutil
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest

from zorvane.core import conversation
from zorvane.pc import seek_press

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "tools" / "install_into_app.py"
HOST = ROOT / "host" / "zorvane"
# The tree this run's modules were loaded from (site-packages, or a build's pkg folder).
PKG = Path(conversation.__file__).resolve().parents[2]
CONV = Path(conversation.__file__).name
SP = Path(seek_press.__file__).name


def make_app(root: Path, *, with_pc: bool = True) -> Path:
    """A stand-in application: its own regular `zorvane` package with the
    host modules, other modules of its own, and a program beside it."""
    app = root / "app"
    (app / "zorvane" / "core").mkdir(parents=True)
    (app / "zorvane" / "__init__.py").write_text('"""The application\'s own package."""\nVERSION = "7.1"\n')
    (app / "zorvane" / "core" / "__init__.py").write_text("")
    shutil.copy(HOST / "core" / "memory.py", app / "zorvane" / "core" / "memory.py")
    (app / "zorvane" / "core" / "agent.py").write_text("NAME = 'agent'\n")
    if with_pc:
        (app / "zorvane" / "pc").mkdir()
        (app / "zorvane" / "pc" / "__init__.py").write_text("")
        for name in ("mouse.py", "screen.py", "keyboard.py"):
            shutil.copy(HOST / "pc" / name, app / "zorvane" / "pc" / name)
    (app / "main.py").write_text("print('the application')\n")
    return app


def snapshot(tree: Path) -> dict[str, tuple[str, int]]:
    """Every file and folder under `tree`: content hash (or 'dir') and mode."""
    out = {}
    for p in sorted(tree.rglob("*")):
        kind = "dir" if p.is_dir() else hashlib.sha256(p.read_bytes()).hexdigest()
        out[p.relative_to(tree).as_posix()] = (kind, p.stat().st_mode)
    return out


def install(app: Path, *args: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    return subprocess.run([sys.executable, str(SCRIPT), str(app), *args],
                          capture_output=True, text=True, env=env)


def run_from_app(app: Path) -> str:
    """Runs an operation of each module in a fresh interpreter that has only
    the application's folder ahead of its own search path."""
    code = textwrap.dedent("""
        import asyncio, sys
        import zorvane
        from zorvane.core import conversation
        from zorvane.core.memory import MemoryStore
        from zorvane.pc import seek_press
        from zorvane.pc.mouse import MouseController
        from zorvane.pc.screen import ScreenReader
        app = sys.argv[1]
        for m in (zorvane, conversation, seek_press):
            assert m.__file__.startswith(app), m.__file__

        async def main():
            manager = conversation.ConversationManager(MemoryStore())
            await manager.start_conversation("from the application")
            await manager.add_user_message("hello")
            messages = await manager.build_messages()
            screen = ScreenReader()
            screen.add_text("OK", x=10, y=10, width=20, height=10)
            clicked = await seek_press.SeekPress(MouseController(), screen).click_text("ok")
            print(zorvane.VERSION, messages[-1]["content"], clicked["success"], clicked["clicked_at"])

        asyncio.run(main())
    """)
    env = dict(os.environ)
    env["PYTHONPATH"] = str(app)
    result = subprocess.run([sys.executable, "-c", code, str(app)], capture_output=True, text=True,
                            env=env, cwd=app)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_installs_the_two_modules_and_nothing_else(tmp_path):
    app = make_app(tmp_path)
    before = snapshot(app)
    result = install(app, "--from", str(PKG))
    assert result.returncode == 0, result.stderr
    after = snapshot(app)
    added = sorted(set(after) - set(before))
    assert added == [f"zorvane/core/{CONV}", f"zorvane/pc/{SP}"]
    assert {k: v for k, v in after.items() if k in before} == before
    assert (app / "zorvane" / "core" / CONV).read_bytes() == (PKG / "zorvane" / "core" / CONV).read_bytes()
    # What it wrote is reported, one line a file.
    lines = result.stdout.splitlines()
    assert len(lines) == 2 and all(line.startswith("wrote ") for line in lines), result.stdout
    assert CONV in result.stdout and SP in result.stdout
    assert run_from_app(app) == "7.1 hello True (20, 15)"


def test_stubs_on_request_and_a_second_install_replaces_in_place(tmp_path):
    app = make_app(tmp_path)
    assert install(app, "--from", str(PKG)).returncode == 0
    before = snapshot(app)
    result = install(app, "--from", str(PKG), "--stubs")
    assert result.returncode == 0, result.stderr
    after = snapshot(app)
    assert sorted(set(after) - set(before)) == ["zorvane/core/conversation.pyi", "zorvane/pc/seek_press.pyi"]
    assert {k: v for k, v in after.items() if k in before} == before
    assert len(result.stdout.splitlines()) == 4


def test_from_a_wheel(tmp_path):
    wheel = tmp_path / "zorvane_native-0.1.0-cpXY-cpXY-any.whl"
    with zipfile.ZipFile(wheel, "w") as zf:
        zf.write(PKG / "zorvane" / "core" / CONV, f"zorvane/core/{CONV}")
        zf.write(PKG / "zorvane" / "pc" / SP, f"zorvane/pc/{SP}")
        zf.writestr("zorvane/py.typed", "")
        zf.writestr("zorvane_native-0.1.0.dist-info/METADATA", "Name: zorvane-native\n")
    app = make_app(tmp_path)
    before = snapshot(app)
    result = install(app, "--wheel", str(wheel))
    assert result.returncode == 0, result.stderr
    assert sorted(set(snapshot(app)) - set(before)) == [f"zorvane/core/{CONV}", f"zorvane/pc/{SP}"]
    assert run_from_app(app).startswith("7.1 hello True")
    # A wheel without the stubs cannot give them: refused, nothing written.
    before = snapshot(app)
    result = install(app, "--wheel", str(wheel), "--stubs")
    assert result.returncode == 2 and "no stub" in result.stderr
    assert snapshot(app) == before


@pytest.mark.parametrize("layout", ["no pc package", "no zorvane package", "not a folder"])
def test_refuses_without_the_package_folders(tmp_path, layout):
    if layout == "no pc package":
        app = make_app(tmp_path, with_pc=False)
    elif layout == "no zorvane package":
        app = tmp_path / "app"
        app.mkdir()
        (app / "main.py").write_text("")
    else:
        app = make_app(tmp_path, with_pc=False)
        (app / "zorvane" / "pc").write_text("a file, not a package folder")
    before = snapshot(tmp_path)
    result = install(app, "--from", str(PKG))
    assert result.returncode == 2
    assert "refused" in result.stderr and "nothing was written" in result.stderr
    assert result.stdout == ""
    assert snapshot(tmp_path) == before


def test_refuses_a_source_without_exactly_one_module_each(tmp_path):
    src = tmp_path / "src"
    (src / "zorvane" / "core").mkdir(parents=True)
    (src / "zorvane" / "pc").mkdir()
    shutil.copy(PKG / "zorvane" / "pc" / SP, src / "zorvane" / "pc" / SP)
    app = make_app(tmp_path)
    before = snapshot(app)
    result = install(app, "--from", str(src))  # no conversation module
    assert result.returncode == 2 and "zorvane.core.conversation" in result.stderr
    shutil.copy(PKG / "zorvane" / "core" / CONV, src / "zorvane" / "core" / CONV)
    shutil.copy(PKG / "zorvane" / "core" / CONV, src / "zorvane" / "core" / "conversation.cpython-399-x.so")
    result = install(app, "--from", str(src))  # two of them
    assert result.returncode == 2 and "2 extension files" in result.stderr
    assert snapshot(app) == before


@pytest.mark.parametrize("extend", [True, False])
def test_site_packages_install_needs_extend_path_in_the_host_packages(tmp_path, extend):
    # The alternative to copying: the modules stay where pip put them (PKG
    # here) and the host's packages extend their __path__ over sys.path.
    app = make_app(tmp_path)
    if extend:
        for init in ("zorvane/__init__.py", "zorvane/core/__init__.py", "zorvane/pc/__init__.py"):
            path = app / init
            path.write_text(path.read_text() + "from pkgutil import extend_path\n"
                            "__path__ = extend_path(__path__, __name__)\n")
    code = "import zorvane.core.conversation as c, zorvane.pc.seek_press as s; print(c.__file__, s.__file__)"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(app), str(PKG)])
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=app)
    if extend:
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == [str(PKG / "zorvane" / "core" / CONV), str(PKG / "zorvane" / "pc" / SP)]
    else:
        assert "No module named 'zorvane.core.conversation'" in result.stderr
