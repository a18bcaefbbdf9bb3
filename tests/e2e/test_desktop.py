"""SeekPress end to end: a real Tk form on Xvfb, read by OCR, driven by xdotool.

The form (demo/form_app.py) records what it receives in a state file; every
check here is made against that state, not against what SeekPress reports.
Needs Xvfb, tesseract, xdotool and scrot (tools/system-deps) and the Python
packages of requirements-e2e.txt. Without them the module is skipped, except
under CI=true, where a missing piece is a failure.
"""

from __future__ import annotations

import importlib.util
import os
import shutil
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent
IMAGE = ROOT / "demo" / "assets" / "target.png"
for _p in (ROOT, ROOT / "demo", HERE):
    if str(_p) not in sys.path:
        sys.path.insert(0, str(_p))

if sys.platform == "win32":
    pytest.skip("drives a Tk form on an X server (Xvfb, xdotool, scrot): Linux only", allow_module_level=True)

from adapters.xvfb import VirtualDisplay  # noqa: E402
from client import Driver  # noqa: E402

IN_CI = os.environ.get("CI") == "true"
pytestmark = [pytest.mark.e2e, pytest.mark.slow]


def _missing() -> list[str]:
    gone = [tool for tool in ("Xvfb", "tesseract", "xdotool", "scrot") if not shutil.which(tool)]
    gone += [f"python module {m}" for m in ("tkinter", "PIL", "numpy", "pyautogui", "cv2")
             if importlib.util.find_spec(m) is None]
    return gone


def _require(ok: bool, why: str) -> None:
    if not ok:
        if IN_CI:
            pytest.fail(why)
        pytest.skip(why)


@pytest.fixture(scope="module")
def desktop(tmp_path_factory):
    missing = _missing()
    _require(not missing, "end-to-end desktop test needs: " + ", ".join(missing))
    from form_app import FormProcess  # imports tkinter

    work = tmp_path_factory.mktemp("desktop")
    t0 = time.monotonic()
    with VirtualDisplay(1024, 768) as display:
        form = FormProcess(work / "state.json", env=display.env(),
                           prefill={"username": "old", "password": "pw"})
        form.start()
        driver = Driver(display.env(), work)
        try:
            _require(driver.hello["ready"],
                     f"zorvane.pc.seek_press not importable: {driver.hello.get('error')}")
            print(f"\nseek_press under test: {driver.hello['module']}")
            yield form, driver
        finally:
            driver.close()
            form.stop()
    print(f"\ndesktop session: {time.monotonic() - t0:.1f} s")


def _geometry(form, name):
    return form.state()["geometry"][name]


def _inside(point, box) -> bool:
    x, y, w, h = box
    return x <= point[0] < x + w and y <= point[1] < y + h


def _centre(box):
    x, y, w, h = box
    return x + w // 2, y + h // 2


def test_click_text_presses_the_button(desktop):
    form, sp = desktop
    before = form.state()["presses"]["OK"]
    res = sp("click_text", "ok")  # case-insensitive
    assert res["success"] is True and res["attempts"] == 1, res
    assert _inside(res["clicked_at"], _geometry(form, "ok_button"))
    form.wait_for(lambda s: s["presses"]["OK"] == before + 1)


def test_double_click_text(desktop):
    form, sp = desktop
    before = form.state()["double_clicks"]["Submit"]
    res = sp("click_text", "Submit", double=True)
    assert res["success"] is True, res
    st = form.wait_for(lambda s: s["double_clicks"]["Submit"] == before + 1)
    assert st["double_clicks"]["OK"] == 0


def test_region_limits_search_and_keeps_screen_coordinates(desktop):
    form, sp = desktop
    sx, sy, sw, sh = _geometry(form, "submit_button")
    region = [sx - 10, sy - 10, sw + 20, sh + 20]
    miss = sp("click_text", "OK", region=region, timeout=0.5, retry_interval=0.2)
    assert miss["success"] is False
    before = form.state()["presses"]["Submit"]
    hit = sp("click_text", "Submit", region=region)
    assert hit["success"] is True and _inside(hit["clicked_at"], [sx, sy, sw, sh]), hit
    form.wait_for(lambda s: s["presses"]["Submit"] == before + 1)


@pytest.mark.parametrize("label, field", [("Password", "password"), ("Username", "username")])
def test_click_near_text_focuses_the_field(desktop, label, field):
    form, sp = desktop
    lab = _centre(_geometry(form, f"{field}_label"))
    entry = _geometry(form, f"{field}_entry")
    dx, dy = _centre(entry)[0] - lab[0], _centre(entry)[1] - lab[1]
    res = sp("click_near_text", label, offset_x=dx, offset_y=dy)
    assert res["success"] is True, res
    assert _inside(res["clicked_at"], entry)
    form.wait_for(lambda s: s["focus"] == field)


def test_type_into_replaces_old_text(desktop):
    form, sp = desktop
    assert form.state()["fields"]["username"] == "old"
    res = sp("type_into", "Username", "alice")  # default offset lands in the entry
    assert res["success"] is True and res["value"] == "alice", res
    st = form.wait_for(lambda s: s["fields"]["username"] == "alice")
    assert st["focus"] == "username"


def test_type_into_without_clearing_appends(desktop):
    form, sp = desktop
    dx = _centre(_geometry(form, "password_entry"))[0] - _centre(_geometry(form, "password_label"))[0]
    res = sp("type_into", "Password", "123", offset_x=dx, clear_first=False)
    assert res["success"] is True, res
    form.wait_for(lambda s: s["fields"]["password"] == "pw123")
    assert form.state()["fields"]["username"] == "alice"


def test_click_color_hits_the_square(desktop):
    form, sp = desktop
    res = sp("click_color", "#00ff00")
    assert res["success"] is True, res
    assert _inside(res["clicked_at"], _geometry(form, "square"))
    st = form.wait_for(lambda s: len(s["square_clicks"]) == 1)
    assert st["square_clicks"][0] == list(res["clicked_at"])
    assert sp("click_color", "#ff00ff", tolerance=5)["success"] is False


def test_click_image_hits_the_picture(desktop):
    form, sp = desktop
    box = _geometry(form, "image")
    res = sp("click_image", str(IMAGE))
    assert res["success"] is True, res
    assert _inside(res["clicked_at"], box)
    assert abs(res["region"]["x"] - box[0]) <= 1 and abs(res["region"]["y"] - box[1]) <= 1
    assert (res["region"]["width"], res["region"]["height"]) == (box[2], box[3])
    form.wait_for(lambda s: len(s["image_clicks"]) == 1)


def test_click_image_not_on_screen(desktop, tmp_path):
    from PIL import Image

    form, sp = desktop
    absent = tmp_path / "absent.png"
    Image.radial_gradient("L").convert("RGB").resize((64, 64)).save(absent)
    events = len(form.state()["events"])
    res = sp("click_image", str(absent), confidence=0.95)
    assert res["success"] is False and "clicked_at" not in res, res
    time.sleep(0.3)
    assert len(form.state()["events"]) == events


def test_text_not_on_screen_fails_after_deadline(desktop):
    form, sp = desktop
    events = len(form.state()["events"])
    t0 = time.monotonic()
    # a miss runs every pass of the screen reader (about three times a hit):
    # the deadline leaves room for a second search
    res = sp("click_text", "Cancel order", timeout=5.0, retry_interval=0.5)
    elapsed = time.monotonic() - t0
    assert res["success"] is False
    assert res["attempts"] >= 2
    assert res["error"] == f"Text 'Cancel order' not found on screen after {res['attempts']} attempts"
    assert elapsed >= 5.0
    # nothing was clicked; the focus may leave and come back while the reader
    # parks the pointer (without a window manager focus follows the pointer)
    assert [e for e in form.state()["events"][events:] if e["kind"] != "focus"] == []
