"""SeekPress on third-party programs (yad, xmessage, Tk's message box) under Xvfb.

The scenarios live in tests/e2e/apps.py; each operation is checked in the
program's own output (exit code, standard output). Also here: the screen
reader's OCR process dies with a cancelled search, and the pointer is back
where it was after a search. Skipped without the programs, except under
CI=true, where a missing piece is a failure.
"""

from __future__ import annotations

import asyncio
import importlib.util
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
for _p in (ROOT, HERE):
    if str(_p) not in sys.path:
        sys.path.insert(0, str(_p))

if sys.platform == "win32":
    pytest.skip("drives X11 programs on an X server (Xvfb, xdotool): Linux only", allow_module_level=True)

import apps  # noqa: E402
from adapters.xvfb import VirtualDisplay  # noqa: E402

IN_CI = os.environ.get("CI") == "true"
pytestmark = [pytest.mark.e2e, pytest.mark.slow]


def _require() -> None:
    missing = apps.missing_tools()
    missing += [f"python module {m}" for m in ("PIL", "numpy", "cv2", "pyautogui", "Xlib")
                if importlib.util.find_spec(m) is None]
    if missing:
        why = "third-party e2e tests need: " + ", ".join(missing)
        if IN_CI:
            pytest.fail(why)
        pytest.skip(why)


@pytest.fixture(scope="module")
def outcomes():
    _require()
    lines: list[str] = []
    try:
        result, hello = apps.run_all(log=lines.append)
    except RuntimeError as exc:
        if "not ready" in str(exc) and not IN_CI:
            pytest.skip(str(exc))
        raise
    print("\n" + "\n".join(lines) + "\n" + apps.table(result) + "\n" + apps.pass_table(result))
    return {o.name: o for o in result}


@pytest.mark.parametrize("name", [s.__name__ for _, s in apps.SCENARIOS])
def test_scenario(outcomes, name):
    out = outcomes[name]
    assert out.ops > 0
    assert out.ok, "\n".join(out.notes)


# -- the screen reader on its own ------------------------------------------------


def _tesseract_children() -> list[int]:
    me = os.getpid()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(") ", 1)
            with open(f"/proc/{entry}/comm") as f:
                comm = f.read().strip()
        except OSError:
            continue
        state, ppid = fields[1].split()[:2]
        if int(ppid) == me and comm == "tesseract" and state != "Z":
            found.append(int(entry))
    return found


@pytest.fixture(scope="module")
def display():
    _require()
    with VirtualDisplay(1024, 768) as disp:
        yield disp


@pytest.fixture
def screen_text(display):
    """A window full of text, so that one OCR run takes a while."""
    text = "\n".join(f"line {i} of some text to read, quite a lot of it" for i in range(30))
    proc = subprocess.Popen(["xmessage", "-title", "Text", "-geometry", "+0+0", text],
                            env=display.env(),  # without a sanitizer runtime
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)
    yield display
    proc.kill()
    proc.wait()


def test_cancelled_search_leaves_no_tesseract(screen_text, monkeypatch):
    from adapters.desktop import XScreenReader

    env = screen_text.env()
    for key in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC"):
        monkeypatch.delenv(key, raising=False)  # not into tesseract
    reader = XScreenReader(env["DISPLAY"], scale=3.0)

    async def main():
        task = asyncio.create_task(reader.find_text("absent words"))
        seen: list[int] = []
        for _ in range(500):
            seen = _tesseract_children()
            if seen:
                break
            await asyncio.sleep(0.01)
        assert seen, "no OCR process was started"
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return seen

    asyncio.run(main())
    assert _tesseract_children() == []  # killed and reaped


def test_pointer_is_back_after_a_search(screen_text):
    from adapters.desktop import XScreenReader, _XSession

    env = screen_text.env()
    subprocess.run(["xdotool", "mousemove", "40", "40"], env=env, check=True)
    reader = XScreenReader(env["DISPLAY"], window_pass=False)
    moves: list[tuple[int, int]] = []
    real_move = _XSession.move

    def spy(self, point):
        moves.append(tuple(point))
        real_move(self, point)

    _XSession.move = spy
    try:
        res = asyncio.run(reader.find_text("some text"))
    finally:
        _XSession.move = real_move
    assert res["found"]
    # parked off the window, then put back
    assert len(moves) == 2 and moves[1] == (40, 40) and moves[0] != (40, 40)
    xs = _XSession(env["DISPLAY"])
    try:
        assert xs.pointer() == (40, 40)
    finally:
        xs.close()


def test_regions_reaching_off_the_screen(display):
    from adapters.desktop import ScreenRegion, XScreenReader

    env = display.env()
    proc = subprocess.Popen(["xmessage", "-title", "Green", "-geometry", "+0+0", "-bg", "#00a000",
                             "Green ground"], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        time.sleep(1.0)
        reader = XScreenReader(env["DISPLAY"])
        # clipped to the screen: points stay in screen pixels
        [m] = reader.color_matches("#00a000", 10, ScreenRegion(-50, -40, 120, 100))
        assert 0 <= m["x"] < 70 and 0 <= m["y"] < 60
        assert m["left"] <= 2 and m["top"] <= 2  # inside the window border
        # wholly off the screen: nothing found, nothing raised
        off = ScreenRegion(-500, -500, 100, 100)
        assert reader.color_matches("#00a000", 10, off) == []
        assert asyncio.run(reader.find_text("Green", region=off)) == {"found": False, "matches": []}
    finally:
        proc.kill()
        proc.wait()
