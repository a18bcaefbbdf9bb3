"""The X screen reader's matching, passes, outline removal and OCR process (no X server needed)."""

from __future__ import annotations

import asyncio
import importlib.util
import stat
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from adapters import desktop  # noqa: E402
from adapters.desktop import XScreenReader, _within_one_edit  # noqa: E402

match = XScreenReader.match_words
# the imaging packages come from requirements-e2e.txt; a wheel's bare test
# environment lacks them
needs_imaging = pytest.mark.skipif(
    any(importlib.util.find_spec(m) is None for m in ("PIL", "numpy", "cv2")),
    reason="needs pillow, numpy and opencv (requirements-e2e.txt)")


def words(*texts, line=(1,), x0=0, conf=90.0):
    """OCR words on one line, 40 px apart."""
    return [{"text": t, "x": x0 + 40 * i, "y": 10, "width": 30, "height": 12, "confidence": conf,
             "line": line} for i, t in enumerate(texts)]


def texts(found):
    return [(m["text"], m["exact"]) for m in found]


@pytest.mark.parametrize("target, screen, expected", [
    # punctuation around labels is ignored, in the target and on screen
    ("Your name:", ["Your", "name:"], [("Your name:", True)]),
    ("Your name", ["Your", "name;"], [("Your name;", True)]),
    ("Save As…", ["Save", "As..."], [("Save As...", True)]),
    ("Don't Save", ["Don’t", "Save"], [("Don’t Save", True)]),
    ("ok", ["(OK)"], [("(OK)", True)]),
    # symbols are part of a word: "C++" is not "C"
    ("C++", ["C"], []),
    ("C++", ["C++"], [("C++", True)]),
    # targets made of symbols or punctuation only
    ("+", ["7", "+", "-"], [("+", True)]),
    ("=", ["(=)"], [("(=)", True)]),
    ("?", ["help?", "(?)"], [("(?)", True)]),
    ("?", ["!"], []),
    ("=", ["=."], []),
    ("<", ["«<»"], [("«<»", True)]),
    ("...", ["…", "..."], [("...", True)]),
    # prefix matches rank after exact ones; none for a one-character target
    ("Submit", ["Submitting", "Submit"], [("Submit", True), ("Submitting", False)]),
    ("a", ["apple"], []),
    ("+", ["+/-"], []),
    # a near miss is no match without the tolerant pass
    ("Fruit", ["Frult"], []),
])
def test_matching(target, screen, expected):
    assert texts(match(words(*screen), target)) == expected


@pytest.mark.parametrize("target, screen, expected", [
    ("Fruit", ["Frult"], [("Frult", False)]),          # one replaced letter
    ("Gamma", ["Gamm"], [("Gamm", False)]),            # one letter lost
    ("Beta", ["@eta"], [("@eta", False)]),
    ("Beta", ["Bota", "Beta"], [("Beta", True), ("Bota", False)]),
    ("Gam", ["Gan"], []),                              # under four letters: exact only
    ("Gamma", ["Gmm"], []),                            # two edits
    ("Your name:", ["Yourname:"], [("Yourname:", False)]),  # words run together
    ("Your name", ["Your", "nane"], [("Your nane", False)]),
    ("Your name", ["Yuur", "name"], [("Yuur name", False)]),
    ("Your name", ["Yuor", "name"], []),                   # a swap is two edits
])
def test_tolerant_matching(target, screen, expected):
    assert texts(match(words(*screen), target, tolerant=True)) == expected


def test_a_whole_line_ranks_before_the_same_words_in_a_longer_one():
    ws = words("Save", "As...", line=(1,), conf=96.0) + words("Save", line=(2,), x0=0, conf=80.0)
    assert [m["text"] for m in match(ws, "save")] == ["Save", "Save"]
    assert match(ws, "save")[0]["width"] == 30 and match(ws, "save")[0]["confidence"] == 80.0


def test_match_box_spans_the_words_and_lines_stay_apart():
    ws = words("Save", "As...", line=(1,), x0=100) + words("Save", line=(2,), x0=0)
    ws[-1]["y"] = 50
    ws += words("As", line=(3,), x0=40)  # same row of pixels, other OCR line
    [m] = match(ws, "save as")
    assert (m["x"], m["y"], m["width"], m["height"]) == (100, 10, 70, 12)


def test_within_one_edit():
    assert _within_one_edit("name", "name")
    assert _within_one_edit("name", "nme") and _within_one_edit("nme", "name")
    assert _within_one_edit("name", "nane") and _within_one_edit("name", "names")
    assert not _within_one_edit("name", "mane s") and not _within_one_edit("name", "nm")
    assert not _within_one_edit("abcd", "badc")


@needs_imaging
def test_unframe_removes_outlines_and_keeps_what_they_enclose():
    from PIL import Image, ImageDraw
    import numpy as np

    img = Image.new("RGB", (120, 60), "white")
    d = ImageDraw.Draw(img)
    d.rounded_rectangle((5, 5, 114, 54), radius=12, outline="black", width=2)  # button outline
    d.line((50, 30, 70, 30), fill="black", width=3)  # a "+" inside
    d.line((60, 20, 60, 40), fill="black", width=3)
    d.rectangle((80, 20, 90, 40), fill="black")  # a solid mark: not an outline
    out = np.asarray(desktop._unframe(img))
    assert (out[5:8, 30:90] == 255).all()          # the outline is gone
    assert (out[30, 52:68] == 0).all() and (out[22:38, 60] == 0).all()  # the "+" stays
    assert (out[25:35, 82:88] == 0).all()
    plain = Image.new("RGB", (40, 20), "white")
    assert desktop._unframe(plain) is plain


def test_parking_spot_prefers_a_free_corner_outside_the_area():
    spot = XScreenReader._parking_spot
    screen = (0, 0, 800, 600)
    assert spot(screen, (0, 0, 400, 300), [(0, 0, 400, 300)]) == (799, 599)
    # bottom-right corner covered by a window: another free corner
    assert spot(screen, screen, [(700, 500, 100, 100)]) == (0, 599)
    # all corners covered: some point no window covers
    wins = [(0, 0, 100, 100), (700, 0, 100, 100), (0, 500, 100, 100), (700, 500, 100, 100)]
    x, y = spot(screen, screen, wins)
    assert not any(desktop._inside((x, y), w) for w in wins)
    assert spot(screen, screen, [screen]) is None


# -- passes ---------------------------------------------------------------------


class ScriptedReader(XScreenReader):
    """A reader whose capture and OCR are scripted: pass number -> crop box -> words."""

    def __init__(self, script, windows=((100, 50, 200, 100), (400, 300, 100, 50)), small=(), **kw):
        super().__init__(display=":0", **kw)
        self.script, self.windows, self.small, self.reads = script, list(windows), small, []

    def _small_windows(self, area):
        return [c for c in (desktop._intersect(w, area) for w in self.small) if c]

    async def _read_small(self, img, area, boxes, pass_no):
        return [w for b in boxes for w in await self._read(desktop._Crop(b, img), 3, 1, pass_no, 7)]

    def _capture_area(self, region, *, park=None):
        from PIL import Image

        area = (0, 0, 800, 600) if region is None else (region.x, region.y, region.width,
                                                       region.height)
        clipped = [c for c in (desktop._intersect(w, area) for w in self.windows) if c]
        return Image.new("RGB", (area[2], area[3]), "white"), area, clipped

    async def _read(self, crop, scale, unframe, pass_no, psm=None):
        self.reads.append((pass_no, crop.box, scale, unframe, psm, crop.image.size))
        found = self.script.get(pass_no, {}).get(crop.box, [])
        return [dict(w, line=(pass_no, crop.box, 1)) for w in found]


def word(text, x, y):
    return {"text": text, "x": x, "y": y, "width": 20, "height": 10, "confidence": 80.0}


def find(reader, text, region=None):
    return asyncio.run(reader.find_text(text, region=region))


@needs_imaging
def test_an_exact_match_on_the_whole_screen_costs_one_pass():
    r = ScriptedReader({1: {(0, 0, 800, 600): [word("OK", 120, 60)]}})
    res = find(r, "ok")
    assert res["found"] and res["matches"][0]["x"] == 120
    assert [p for p, *_ in r.reads] == [1]
    assert set(r.last_timing) == {"capture_s", "screen_s"}


@needs_imaging
def test_window_pass_reads_each_window_crop_without_outlines():
    r = ScriptedReader({2: {(400, 300, 100, 50): [word("Beta", 420, 310)]}})
    res = find(r, "Beta")
    assert res["matches"][0]["x"] == 420 and res["matches"][0]["exact"]
    assert [(p, box, unframe) for p, box, _, unframe, _, _ in r.reads] == [
        (1, (0, 0, 800, 600), False), (2, (100, 50, 200, 100), True), (2, (400, 300, 100, 50), True)]
    assert r.reads[1][5] == (200, 100)  # the crop is the window's size


@needs_imaging
def test_second_scale_pass_and_its_segmentation():
    r = ScriptedReader({3: {(100, 50, 200, 100): [word("?", 150, 60)]}})
    res = find(r, "?")
    assert res["found"]
    assert [(p, scale, psm) for p, _, scale, _, psm, _ in r.reads][-2:] == [(3, 3.0, 6), (3, 3.0, 6)]
    assert {"windows_s", "second_scale_s"} <= set(r.last_timing)


@needs_imaging
def test_tolerant_pass_only_when_nothing_exact_anywhere():
    # a near miss on the screen pass, the exact word in a window: the exact one wins
    r = ScriptedReader({1: {(0, 0, 800, 600): [word("Frult", 10, 10)]},
                        2: {(100, 50, 200, 100): [word("Fruit", 110, 60)]}})
    assert texts(find(r, "Fruit")["matches"]) == [("Fruit", True)]
    # only near misses anywhere: they are reported, not exact
    r = ScriptedReader({1: {(0, 0, 800, 600): [word("Frult", 10, 10)]},
                        3: {(400, 300, 100, 50): [word("Fruits", 410, 310)]}})
    res = find(r, "Fruit")
    assert texts(res["matches"]) == [("Fruits", False)]  # the prefix match of pass 3
    r = ScriptedReader({1: {(0, 0, 800, 600): [word("Frult", 10, 10)]}})
    res = find(r, "Fruit")
    assert texts(res["matches"]) == [("Frult", False)] and "tolerant_s" in r.last_timing
    r = ScriptedReader({1: {(0, 0, 800, 600): [word("Frult", 10, 10)]}}, tolerant=False)
    assert find(r, "Fruit") == {"found": False, "matches": []}


@needs_imaging
def test_symbols_in_boxes_too_small_for_them_and_the_small_window_pass():
    plus = (480, 550, 40, 26)
    bar = dict(word("+", 490, 470), width=9, height=1)  # the bar of a "÷" read as "+"
    r = ScriptedReader({1: {(0, 0, 800, 600): [bar]}, 4: {plus: [word("+", 495, 555)]}}, small=[plus])
    assert texts(find(r, "+")["matches"]) == [("+", True)] and r.reads[-1][:2] == (4, plus)
    assert not find(r, "Delta")["found"] and r.reads[-1][0] == 3  # not a short label
    for target, height, found in (("-", 1, True), ("+", 4, False), ("+", 8, True)):
        r = ScriptedReader({1: {(0, 0, 800, 600): [dict(word(target, 490, 470), height=height),
                                                  dict(word("Sum", 520, 470), height=30)]}})
        # flat, or a quarter of the line's text height; pass 4 only when nothing was found before
        assert find(r, target)["found"] is found and ("small_windows_s" in r.last_timing) is not found


@needs_imaging
def test_region_limits_every_pass():
    region = desktop.ScreenRegion(390, 290, 60, 40)
    r = ScriptedReader({})
    assert find(r, "x", region=region)["found"] is False
    assert {box for _, box, *_ in r.reads} == {(390, 290, 60, 40), (400, 300, 50, 30)}


@needs_imaging
def test_without_windows_the_later_passes_read_the_whole_area():
    r = ScriptedReader({3: {(0, 0, 800, 600): [word("+", 5, 5)]}}, windows=())
    assert find(r, "+")["found"]
    assert [(p, box) for p, box, *_ in r.reads] == [(1, (0, 0, 800, 600)), (2, (0, 0, 800, 600)),
                                                    (3, (0, 0, 800, 600))]


def test_tsv_coordinates_are_screen_pixels():
    r = XScreenReader(display=":0")
    tsv = ("level\tpage_num\tblock_num\tpar_num\tline_num\tword_num\tleft\ttop\twidth\theight\tconf\ttext\n"
           "5\t1\t1\t1\t1\t1\t21\t40\t59\t21\t91.5\tOK\n"
           "5\t1\t1\t1\t1\t2\t0\t0\t5\t5\t-1\t \n").encode()
    [w] = r._parse_tsv(tsv, 100, 200, 2.0, ("t",))
    # floor of the top-left, ceiling of the bottom-right: the box covers the word
    assert (w["x"], w["y"], w["width"], w["height"]) == (110, 220, 30, 11)
    assert w["line"] == ("t", 1, 1, 1)


# -- the OCR process --------------------------------------------------------------


@pytest.fixture
def slow_tesseract(tmp_path, monkeypatch):
    """A stand-in OCR program that records its pid and then sleeps."""
    for key in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC"):
        monkeypatch.delenv(key, raising=False)
    pidfile = tmp_path / "pid"
    prog = tmp_path / "fake-tesseract"
    prog.write_text(f"#!/bin/sh\necho $$ > {pidfile}\nexec sleep 30\n")
    prog.chmod(prog.stat().st_mode | stat.S_IEXEC)
    return str(prog), pidfile


def _alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ")[1][0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_cancelled_ocr_kills_the_program(slow_tesseract):
    prog, pidfile = slow_tesseract
    reader = XScreenReader(display=":0", tesseract=prog)

    async def main():
        task = asyncio.create_task(reader._tesseract(b"png"))
        for _ in range(200):
            if pidfile.exists() and pidfile.read_text().strip():
                break
            await asyncio.sleep(0.02)
        pid = int(pidfile.read_text())
        assert _alive(pid)
        t0 = time.monotonic()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return pid, time.monotonic() - t0

    pid, took = asyncio.run(main())
    assert not _alive(pid)   # killed and reaped, not left sleeping
    assert took < 5


@pytest.mark.skipif(sys.platform == "win32", reason="the stand-in OCR program is a POSIX shell script")
def test_ocr_program_failure_and_absence(tmp_path, monkeypatch):
    for key in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC"):
        monkeypatch.delenv(key, raising=False)
    prog = tmp_path / "bad-tesseract"
    prog.write_text("#!/bin/sh\necho 'cannot read image' >&2\nexit 3\n")
    prog.chmod(prog.stat().st_mode | stat.S_IEXEC)
    with pytest.raises(desktop.DesktopError, match=r"failed \(3\): cannot read image"):
        asyncio.run(XScreenReader(tesseract=str(prog))._tesseract(b"x"))
    with pytest.raises(desktop.DesktopError, match="is not installed"):
        asyncio.run(XScreenReader(tesseract=str(tmp_path / "none"))._tesseract(b"x"))


def test_configure_pyautogui_sets_missing_image_to_none(monkeypatch):
    import types

    calls = []
    fake = types.ModuleType("pyautogui")
    fake.useImageNotFoundException = calls.append
    monkeypatch.setitem(sys.modules, "pyautogui", fake)
    assert desktop.configure_pyautogui() is True
    assert desktop.configure_pyautogui(raise_when_missing=True) is True
    assert calls == [False, True]
    monkeypatch.setitem(sys.modules, "pyautogui", None)  # import fails
    assert desktop.configure_pyautogui() is False
