"""Screen reader, mouse and keyboard controllers for an X11 desktop.

Reference host adapters for SeekPress. Blocking work (screen capture, image
preparation, xdotool) runs in a worker thread through asyncio.to_thread; the
OCR program runs as a child process of the event loop. The loop stays free
while the desktop is read or driven.

* ``XScreenReader`` captures the screen with Pillow's ImageGrab (XCB) and
  recognises text with the ``tesseract`` command-line program (TSV output).
  ``find_text`` matches case-insensitively, word by word, ignoring the
  punctuation around words (a target made only of punctuation, such as "?",
  keeps it), and joins consecutive words of one OCR line for multi-word
  targets. When the whole screen yields no exact match it reads each window
  on its own, then at a second scale, then (for symbols and short labels)
  each small child window, then accepts near matches (see the class).
  ``find_color`` scans the capture for pixels within a per-channel
  tolerance and reports the centre of each matching blob. Both move the
  pointer off the searched windows while capturing.
* ``XMouse`` and ``XKeyboard`` drive the X server through ``xdotool`` (XTEST).
* ``configure_pyautogui`` sets up pyautogui (used by SeekPress.click_image)
  to report a missing image as None.

Every coordinate is in whole-screen pixels, also when a search is limited to
a ``ScreenRegion``.

Requirements: Debian packages ``tesseract-ocr`` and ``xdotool``; Python
packages ``pillow``, ``numpy``, ``python-xlib`` (window list and pointer)
and ``opencv-python-headless`` (box outlines, faster blob labelling); without
the last two the window passes and the pointer parking are left out.
``DISPLAY`` must name a running X server, or pass ``display=":N"`` to the
constructors.
"""

from __future__ import annotations

import asyncio
import csv
import io
import math
import os
import shutil
import subprocess
import time
import unicodedata
from collections import deque
from dataclasses import dataclass
from typing import Any, Iterable, Sequence

__all__ = ["ScreenRegion", "XScreenReader", "XMouse", "XKeyboard", "DesktopError",
           "configure_pyautogui"]


class DesktopError(RuntimeError):
    """A desktop tool (xdotool, tesseract, the X server) failed."""


@dataclass(frozen=True)
class ScreenRegion:
    """A screen rectangle in pixels: top-left corner, width and height."""

    x: int
    y: int
    width: int
    height: int

    @classmethod
    def coerce(cls, value: "ScreenRegion | Sequence[int] | None") -> "ScreenRegion | None":
        if value is None or isinstance(value, ScreenRegion):
            return value
        if isinstance(value, dict):
            return cls(int(value["x"]), int(value["y"]), int(value["width"]), int(value["height"]))
        x, y, w, h = value
        return cls(int(x), int(y), int(w), int(h))


def _env(display: str | None) -> dict[str, str]:
    env = dict(os.environ)
    if display:
        env["DISPLAY"] = display
    return env


def _run(args: Sequence[str], *, env: dict[str, str], data: bytes | None = None,
         timeout: float = 60.0) -> bytes:
    try:
        proc = subprocess.run(list(args), input=data, capture_output=True, env=env,
                              timeout=timeout, check=False)
    except FileNotFoundError as exc:
        raise DesktopError(f"{args[0]} is not installed") from exc
    if proc.returncode != 0:
        err = proc.stderr.decode(errors="replace").strip()
        raise DesktopError(f"{args[0]} failed ({proc.returncode}): {err}")
    return proc.stdout


# -- screen -------------------------------------------------------------------

# Characters that OCR puts around words and that labels end with: all Unicode
# punctuation ("Name:", "Save As…", "(OK)") and "|", which is how the edge of
# a box or a text cursor is often read. Symbols such as "+", "=", "<" or "$"
# are not among them: they are part of what is read.
_APOSTROPHES = str.maketrans({"\u2019": "'", "\u2018": "'", "\u02bc": "'", "`": "'"})


def _is_soft(ch: str) -> bool:
    return ch == "|" or unicodedata.category(ch).startswith("P")


def _is_frame(ch: str) -> bool:
    """Brackets, quotes and "|": what OCR makes of a box drawn around a word."""
    return ch in "|\"'" or unicodedata.category(ch) in ("Ps", "Pe", "Pi", "Pf")


def _strip_soft(word: str, keep: str = "", test=_is_soft) -> str:
    i, j = 0, len(word)
    while i < j and test(word[i]) and word[i] not in keep:
        i += 1
    while j > i and test(word[j - 1]) and word[j - 1] not in keep:
        j -= 1
    return word[i:j]


def _norm(word: str) -> str:
    """Case-folded word without surrounding punctuation ("Username:" -> "username")."""
    return _strip_soft(word.translate(_APOSTROPHES)).casefold()


class _Wanted:
    """One word of a search target and how screen words are compared with it.

    A word with letters or digits is compared without surrounding
    punctuation ("Name:" finds "Name", "C++" finds "C++" and not "C"). A word
    without letters or digits ("+", "?", "...") loses only brackets, quotes
    and bars around it that are not its own: "?" finds "?" and "(?)", but
    not "help?", and "+" does not find "+/-".
    """

    __slots__ = ("key", "keep", "symbolic")

    def __init__(self, word: str) -> None:
        word = word.translate(_APOSTROPHES)
        self.key = _strip_soft(word).casefold()
        self.symbolic = not any(c.isalnum() for c in word)
        self.keep = ""
        if self.symbolic:
            self.keep = word
            self.key = word.casefold()

    def of(self, screen_word: str) -> str:
        """The screen word's form to compare with ``key``."""
        if self.symbolic:
            return _strip_soft(screen_word.translate(_APOSTROPHES), self.keep, _is_frame).casefold()
        return _strip_soft(screen_word.translate(_APOSTROPHES)).casefold()


def _within_one_edit(a: str, b: str) -> bool:
    """True when b is a, or a with one character inserted, removed or replaced."""
    if a == b:
        return True
    if abs(len(a) - len(b)) > 1:
        return False
    if len(a) > len(b):
        a, b = b, a
    i = 0
    while i < len(a) and a[i] == b[i]:
        i += 1
    if len(a) == len(b):
        return a[i + 1:] == b[i + 1:]
    return a[i:] == b[i + 1:]


# How small a symbol's box may be, in screen pixels. A flat symbol may be one
# pixel tall ("-", "_", "."), a thin one one pixel wide ("|", "!", "/");
# every other symbol needs three pixels each way. A symbol that is not flat
# must also be at least a quarter as tall as the letters and digits of its
# OCR line. Boxes smaller than that are OCR's reading of a stroke or a dot
# of some other glyph (the bar of a "÷" read as "+").
_FLAT = frozenset("-_~.,'`\"^\u00af\u00b7\u2010\u2011\u2012\u2013\u2014\u2015\u203e")
_THIN = frozenset("|!.,:;'`\"()[]{}/\\\u00a6\u2016")
_MIN_GLYPH_PX = 3
_MIN_LINE_SHARE = 0.25


def _plausible(glyphs: str, box: tuple[int, int], line: list[dict[str, Any]]) -> bool:
    """Whether a box of (width, height) pixels can hold the symbols ``glyphs``.

    ``line`` is the OCR line the box was read on."""
    glyphs = "".join(glyphs.split())
    width, height = box
    need = sum(1 if c in _THIN else _MIN_GLYPH_PX for c in glyphs)
    if width < need:
        return False
    if all(c in _FLAT for c in glyphs):
        return height >= 1
    heights = sorted(w["height"] for w in line if any(c.isalnum() for c in w["text"]))
    text = heights[len(heights) // 2] if heights else 0
    return height >= max(_MIN_GLYPH_PX, _MIN_LINE_SHARE * text)


def parse_hex_color(color: str) -> tuple[int, int, int]:
    text = color.strip().lstrip("#")
    if len(text) == 3:
        text = "".join(c * 2 for c in text)
    if len(text) != 6 or not all(c in "0123456789abcdefABCDEF" for c in text):
        raise ValueError(f"not a hex colour: {color!r}")
    return int(text[0:2], 16), int(text[2:4], 16), int(text[4:6], 16)


def _intersect(a: tuple[int, int, int, int], b: tuple[int, int, int, int]
               ) -> tuple[int, int, int, int] | None:
    x0, y0 = max(a[0], b[0]), max(a[1], b[1])
    x1, y1 = min(a[0] + a[2], b[0] + b[2]), min(a[1] + a[3], b[1] + b[3])
    if x1 <= x0 or y1 <= y0:
        return None
    return x0, y0, x1 - x0, y1 - y0


def _inside(point: tuple[int, int], box: tuple[int, int, int, int]) -> bool:
    return box[0] <= point[0] < box[0] + box[2] and box[1] <= point[1] < box[1] + box[3]


class _XSession:
    """A short-lived connection to the X server for one capture: the list of
    top-level windows and the pointer. Without python-xlib, or when the
    server refuses, it knows no windows and leaves the pointer alone."""

    def __init__(self, display: str) -> None:
        self.dpy = None
        try:
            from Xlib import X
            from Xlib.display import Display

            self.dpy = Display(display)
            self.root = self.dpy.screen().root
            self._viewable = X.IsViewable
        except Exception:  # no python-xlib, no server, no permission
            self.dpy = None

    def windows(self) -> list[tuple[int, int, int, int]]:
        """Boxes of the viewable top-level windows, bottom of the stack first."""
        if self.dpy is None:
            return []
        boxes = []
        try:
            for win in self.root.query_tree().children:
                try:
                    if win.get_attributes().map_state != self._viewable:
                        continue
                    g = win.get_geometry()
                except Exception:  # the window went away meanwhile
                    continue
                b = int(g.border_width)
                boxes.append((int(g.x), int(g.y), int(g.width) + 2 * b, int(g.height) + 2 * b))
        except Exception:
            return []
        return boxes

    def small_windows(self, area: tuple[int, int, int, int], max_size: tuple[int, int],
                      limit: int) -> list[tuple[int, int, int, int]]:
        """Inside boxes of the small windows that hold no other window (the keys
        and buttons of Xt or Tk programs) whose centre lies in ``area`` and
        that no top-level window higher in the stack covers. At most ``limit``,
        each clipped to ``area``."""
        if self.dpy is None:
            return []
        from Xlib import X

        found: list[tuple[int, int, int, int]] = []
        tops: list[tuple[tuple[int, int, int, int], Any, int]] = []

        def viewable(win):
            try:
                attrs = win.get_attributes()
                if attrs.map_state != self._viewable or attrs.win_class == X.InputOnly:
                    return None
                return win.get_geometry()
            except Exception:  # gone meanwhile
                return None

        def walk(win, ox: int, oy: int, above: list) -> int:
            """Viewable children of ``win`` (inside origin ox, oy); leaves go to ``found``."""
            try:
                children = win.query_tree().children
            except Exception:
                return 0
            count = 0
            for child in children:
                g = viewable(child)
                if g is None:
                    continue
                count += 1
                b = int(g.border_width)
                inner = (ox + int(g.x) + b, oy + int(g.y) + b, int(g.width), int(g.height))
                if walk(child, inner[0], inner[1], above) or len(found) >= limit:
                    continue
                centre = (inner[0] + inner[2] // 2, inner[1] + inner[3] // 2)
                if (8 <= inner[2] <= max_size[0] and 8 <= inner[3] <= max_size[1]
                        and _inside(centre, area) and not any(_inside(centre, a) for a in above)):
                    found.append(_intersect(inner, area))
            return count

        try:
            for win in self.root.query_tree().children:
                g = viewable(win)
                if g is not None:
                    b = int(g.border_width)
                    tops.append(((int(g.x), int(g.y), int(g.width) + 2 * b, int(g.height) + 2 * b),
                                 win, b))
        except Exception:
            return []
        for i, (box, win, b) in enumerate(tops):
            if _intersect(box, area) is not None:
                walk(win, box[0] + b, box[1] + b, [t[0] for t in tops[i + 1:]])
        return found

    def pointer(self) -> tuple[int, int] | None:
        if self.dpy is None:
            return None
        try:
            p = self.root.query_pointer()
            return int(p.root_x), int(p.root_y)
        except Exception:
            return None

    def move(self, point: tuple[int, int]) -> None:
        if self.dpy is None:
            return
        self.root.warp_pointer(int(point[0]), int(point[1]))
        self.dpy.sync()

    def close(self) -> None:
        if self.dpy is not None:
            self.dpy.close()
            self.dpy = None


def _unframe(img):
    """The image with box outlines painted over in the background colour.

    Buttons drawn as outlined boxes or rounded rectangles (Xt, Motif,
    calculator keys) put their label inside a closed line, which tesseract
    takes for part of the letters: "(Beta)" is read "(@eta)" and a boxed "+"
    not at all. A connected stroke that is thin (little ink for its bounding
    box) and holds other strokes wholly inside its bounding box is such an
    outline.
    """
    import numpy as np

    try:
        import cv2
    except ImportError:  # the fallback still crops and rescales
        return img
    rgb = np.asarray(img)
    gray = cv2.cvtColor(rgb, cv2.COLOR_RGB2GRAY)
    _, bw = cv2.threshold(gray, 0, 255, cv2.THRESH_BINARY + cv2.THRESH_OTSU)
    ink = bw == 0
    if ink.mean() > 0.5:  # light text on a dark ground
        ink = ~ink
    n, labels, stats, _ = cv2.connectedComponentsWithStats(ink.astype(np.uint8),
                                                                 connectivity=8)
    if n <= 2:
        return img
    left, top = stats[1:, 0], stats[1:, 1]
    widths, heights = stats[1:, 2], stats[1:, 3]
    frames = []
    for i in range(1, n):
        x, y, w, h, area = (int(v) for v in stats[i])
        if w * h < 150 or area > 0.35 * w * h:
            continue
        enclosed = ((left > x) & (top > y) & (left + widths < x + w)
                    & (top + heights < y + h))
        if enclosed.any():
            frames.append(i)
    if not frames:
        return img
    out = rgb.copy()
    background = np.median(rgb[~ink], axis=0).astype(rgb.dtype) if (~ink).any() else 255
    out[np.isin(labels, frames)] = background
    from PIL import Image

    return Image.fromarray(out)


@dataclass
class _Crop:
    """A part of the captured area that one OCR pass reads."""

    box: tuple[int, int, int, int]   # in screen pixels
    image: Any                       # PIL image of exactly that box


class XScreenReader:
    """Screen capture, OCR text search and colour search on an X display.

    Text search runs in passes, each read by the ``tesseract`` command-line
    program and each only when the ones before it found no exact match:

    1. the whole searched area (the screen, or ``region``) at ``scale``;
    2. each top-level window, as the X server lists them, cut out of the same
       capture (intersected with ``region``) with box outlines removed, at
       ``scale``: page segmentation of one window is much better than of a
       whole screen, and removed outlines let labels inside drawn boxes be
       read;
    3. the same window crops at ``second_scale``, segmented as one block of
       text (``second_psm`` 6), which keeps a lone character such as the "?"
       of a button that sparse-text segmentation drops as noise;
    4. for a target made of symbols only, or one word of at most
       ``small_label`` characters (one by default; longer labels were not
       read better this way): the small windows that hold no other
       window (keys and buttons of Xt and Tk programs, at most
       ``small_size`` pixels and ``small_limit`` of them) whose centre lies
       in the searched area, each read as one line at ``small_scale`` in two
       renderings, all in a single OCR run (pages of one TIFF image);
    5. when no pass found an exact match, the words of all passes are matched
       tolerantly: a word of four or more letters may differ by one edit,
       and words that OCR ran together are accepted.

    A match for a target made of symbols only needs a box that can hold them
    (see ``_plausible``): a "+" one pixel tall is a stroke of another glyph,
    and the search goes on to the next pass instead of stopping there.

    A search on a screen whose target is found by pass 1 costs one OCR run;
    one whose target is absent costs all of them (about three times pass 1,
    see the README). ``last_timing`` holds the seconds spent in each pass of
    the last search.

    ``park_pointer`` (on by default) moves the pointer off the searched area,
    to a place that no window covers, while the screen is captured, and puts
    it back afterwards: a button under the pointer is drawn highlighted,
    which OCR then often fails to read. ``park_settle`` is the pause for the
    program to redraw; it is spent only when the pointer was over a window
    inside the searched area. On a display without a window manager, where
    the keyboard focus follows the pointer, the window loses the focus while
    the pointer is away and gets it back when it returns.

    ``psm`` is tesseract's page segmentation mode, 11 ("sparse text")
    suiting scattered UI labels; ``config`` holds further tesseract variables
    (``-c key=value``). The OCR program runs as a child process of the event
    loop: cancelling a search kills it.
    """

    def __init__(self, display: str | None = None, *, lang: str = "eng", psm: int = 11,
                 scale: float = 2.0, second_scale: float | None = 3.0, second_psm: int | None = 6,
                 window_pass: bool = True, tolerant: bool = True,
                 small_pass: bool = True, small_scale: float = 3.0,
                 small_size: tuple[int, int] = (320, 64), small_limit: int = 200,
                 small_label: int = 1,
                 park_pointer: bool = True, park_settle: float = 0.15,
                 min_confidence: float = 0.0, config: dict[str, Any] | None = None,
                 tesseract: str = "tesseract") -> None:
        self.config = dict(config or {})
        self.display = display
        self.lang = lang
        self.psm = psm
        self.scale = scale
        self.second_scale = second_scale
        self.second_psm = second_psm
        self.window_pass = window_pass
        self.tolerant = tolerant
        self.small_pass = small_pass
        self.small_scale = small_scale
        self.small_size = small_size
        self.small_limit = small_limit
        self.small_label = small_label
        self.park_pointer = park_pointer
        self.park_settle = park_settle
        self.min_confidence = min_confidence
        self.tesseract = tesseract
        self.last_timing: dict[str, float] = {}

    # capture ------------------------------------------------------------------

    def _display_name(self) -> str:
        display = self.display or os.environ.get("DISPLAY")
        if not display:
            raise DesktopError("no X display: set DISPLAY or pass display=")
        return display

    def _grab(self, display: str, box: tuple[int, int, int, int] | None):
        from PIL import ImageGrab

        bbox = None if box is None else (box[0], box[1], box[0] + box[2], box[1] + box[3])
        try:
            img = ImageGrab.grab(bbox=bbox, xdisplay=display)
        except OSError as exc:
            raise DesktopError(f"cannot capture display {display}: {exc}") from exc
        return img.convert("RGB")

    def _capture_area(self, region: ScreenRegion | None, *, park: bool | None = None
                      ) -> tuple[Any, tuple[int, int, int, int], list[tuple[int, int, int, int]]]:
        """(image, its box in screen pixels, top-level window boxes clipped to it).

        A region wholly outside the screen gives (None, None, [])."""
        display = self._display_name()
        park = self.park_pointer if park is None else park
        xs = _XSession(display)
        try:
            if xs.dpy is not None:
                geo = xs.root.get_geometry()
                screen_box = (0, 0, int(geo.width), int(geo.height))
            else:
                whole = self._grab(display, None)
                screen_box = (0, 0, whole.width, whole.height)
            area = screen_box
            if region is not None:
                area = _intersect(screen_box, (region.x, region.y, region.width, region.height))
                if area is None:
                    return None, None, []
            windows = xs.windows()
            parked_from = None
            if park:
                where = xs.pointer()
                over = where is not None and _inside(where, area) and any(
                    _inside(where, w) for w in windows)
                if over:
                    spot = self._parking_spot(screen_box, area, windows)
                    if spot is not None:
                        xs.move(spot)
                        parked_from = where
                        time.sleep(self.park_settle)
            try:
                img = self._grab(display, area)
            finally:
                if parked_from is not None:
                    xs.move(parked_from)
        finally:
            xs.close()
        clipped = []
        for w in windows:
            c = _intersect(w, area)
            # tiny windows hold no readable text
            if c is not None and c[2] >= 16 and c[3] >= 10:
                clipped.append(c)
        return img, area, clipped

    @staticmethod
    def _parking_spot(screen_box, area, windows) -> tuple[int, int] | None:
        """A screen point outside ``area`` if possible, else inside it but off every window."""
        w, h = screen_box[2], screen_box[3]
        corners = [(w - 1, h - 1), (0, h - 1), (w - 1, 0), (0, 0)]
        free = [p for p in corners if not any(_inside(p, b) for b in windows)]
        for p in free:
            if not _inside(p, area):
                return p
        if free:
            return free[0]
        # every corner is covered: a point on a coarse grid that no window covers
        for y in range(0, h, 16):
            for x in range(0, w, 16):
                if not any(_inside((x, y), b) for b in windows):
                    return x, y
        return None

    def capture(self, region: ScreenRegion | Sequence[int] | None = None, *,
                park: bool | None = None):
        """Screenshot as a PIL RGB image (the region only, when given).

        ``park`` (default: the reader's ``park_pointer``) moves the pointer
        off any window in the area while the screen is read."""
        img = self._capture_area(ScreenRegion.coerce(region), park=park)[0]
        if img is None:
            raise DesktopError(f"region {region} lies outside the screen")
        return img

    async def screenshot(self, path: str | os.PathLike | None = None, *,
                         region: ScreenRegion | Sequence[int] | None = None):
        """Capture the screen as it looks (pointer left alone); save it as PNG when ``path`` is given."""
        def work():
            img = self.capture(region, park=False)
            if path is not None:
                img.save(os.fspath(path))
            return img
        return await asyncio.to_thread(work)

    # OCR ----------------------------------------------------------------------

    async def _tesseract(self, png: bytes, psm: int | None = None) -> bytes:
        """Run the OCR program on a PNG image; its TSV output.

        The program is a child process of the running event loop; when the
        awaiting task is cancelled it is killed and reaped before the
        cancellation goes on."""
        config: list[str] = []
        for key, value in self.config.items():
            config += ["-c", f"{key}={value}"]
        env = _env(self.display)
        # tesseract's OpenMP threads cost more than they gain on screenshots
        # (about three times slower on two cores); one thread unless the host
        # says otherwise.
        env.setdefault("OMP_THREAD_LIMIT", "1")
        args = [self.tesseract, "stdin", "stdout", "-l", self.lang,
                "--psm", str(self.psm if psm is None else psm),
                *config, "tsv"]
        try:
            proc = await asyncio.create_subprocess_exec(
                *args, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE, env=env)
        except FileNotFoundError as exc:
            raise DesktopError(f"{args[0]} is not installed") from exc
        try:
            out, err = await proc.communicate(png)
        except BaseException:
            if proc.returncode is None:
                try:
                    proc.kill()
                except ProcessLookupError:
                    pass
                # reap it, even while this task is being cancelled
                await asyncio.shield(proc.wait())
            raise
        if proc.returncode != 0:
            text = err.decode(errors="replace").strip()
            raise DesktopError(f"{args[0]} failed ({proc.returncode}): {text}")
        return out

    def _prepare(self, crop: _Crop, scale: float, unframe: bool) -> bytes:
        from PIL import Image

        img = _unframe(crop.image) if unframe else crop.image
        if scale != 1:
            img = img.resize((max(1, round(img.width * scale)), max(1, round(img.height * scale))),
                             Image.LANCZOS)
        buf = io.BytesIO()
        # Colour in, not grayscale: tesseract's own conversion and
        # binarisation read dark-on-grey button text better than PIL's "L".
        img.save(buf, format="PNG", compress_level=1)
        return buf.getvalue()

    async def _read(self, crop: _Crop, scale: float, unframe: bool, pass_no: int,
                    psm: int | None = None) -> list[dict[str, Any]]:
        """Words of one crop, in screen pixels; lines keyed by (pass, crop, block, par, line)."""
        png = await asyncio.to_thread(self._prepare, crop, scale, unframe)
        tsv = await self._tesseract(png, psm)
        return self._parse_tsv(tsv, crop.box[0], crop.box[1], scale, (pass_no, crop.box))

    def _parse_tsv(self, tsv: bytes, ox: int, oy: int, s: float, tag: tuple,
                   pages: Sequence[tuple[int, int, tuple]] | None = None) -> list[dict[str, Any]]:
        """Words of tesseract's TSV in screen pixels. ``pages`` gives the
        origin and line tag of each page of a multi-page image instead."""
        words = []
        for row in csv.DictReader(io.StringIO(tsv.decode("utf-8", "replace")),
                                  delimiter="\t", quoting=csv.QUOTE_NONE):
            text = (row.get("text") or "").strip()
            if row.get("level") != "5" or not text:
                continue
            conf = float(row["conf"])
            if conf < self.min_confidence:
                continue
            if pages is not None:
                ox, oy, tag = pages[int(row["page_num"]) - 1]
            left, top = int(row["left"]), int(row["top"])
            right, bottom = left + int(row["width"]), top + int(row["height"])
            x0, y0 = ox + int(left / s), oy + int(top / s)
            x1, y1 = ox + math.ceil(right / s), oy + math.ceil(bottom / s)
            words.append({"text": text, "x": x0, "y": y0, "width": x1 - x0, "height": y1 - y0,
                          "confidence": conf,
                          "line": (*tag, int(row["block_num"]), int(row["par_num"]),
                                   int(row["line_num"]))})
        return words

    def _small_windows(self, area: tuple[int, int, int, int]) -> list[tuple[int, int, int, int]]:
        xs = _XSession(self._display_name())
        try:
            return xs.small_windows(area, self.small_size, self.small_limit)
        finally:
            xs.close()

    def _prepare_small(self, img, area: tuple[int, int, int, int],
                       boxes: list[tuple[int, int, int, int]]) -> bytes:
        """The windows' crops as the pages of one TIFF image, each twice at
        ``small_scale``: smoothly resized, and with square pixels then blurred.
        Thin strokes of small bitmap fonts are read right in one rendering or
        the other ("+" in the first, "5" in the second)."""
        from PIL import Image, ImageFilter

        s = self.small_scale
        pages = []
        for x, y, w, h in boxes:
            crop = _unframe(img.crop((x - area[0], y - area[1], x - area[0] + w, y - area[1] + h)))
            size = (max(1, round(w * s)), max(1, round(h * s)))
            pages.append(crop.resize(size, Image.LANCZOS))
            pages.append(crop.resize(size, Image.NEAREST).filter(ImageFilter.GaussianBlur(s / 2)))
        buf = io.BytesIO()
        pages[0].save(buf, format="TIFF", save_all=True, append_images=pages[1:])
        return buf.getvalue()

    async def _read_small(self, img, area: tuple[int, int, int, int],
                          boxes: list[tuple[int, int, int, int]], pass_no: int
                          ) -> list[dict[str, Any]]:
        """Each small window read as one line of text, all in one OCR run.

        Of a window's two renderings, the one read with the higher mean
        confidence stands for the window; the other is dropped, so that a
        window is never taken for two different labels."""
        tiff = await asyncio.to_thread(self._prepare_small, img, area, boxes)
        tsv = await self._tesseract(tiff, 7)
        pages = [(b[0], b[1], (pass_no, b, r)) for b in boxes for r in (0, 1)]
        words = self._parse_tsv(tsv, 0, 0, self.small_scale, (), pages)
        readings: dict[tuple, list[dict[str, Any]]] = {}
        for w in words:
            readings.setdefault(w["line"][:3], []).append(w)
        best: dict[tuple, tuple[float, tuple]] = {}
        for key, ws in readings.items():
            conf = sum(w["confidence"] for w in ws) / len(ws)
            if key[1] not in best or conf > best[key[1]][0]:
                best[key[1]] = (conf, key)
        kept = {key for _, key in best.values()}
        return [w for w in words if w["line"][:3] in kept]

    def _small_target(self, text: str) -> bool:
        """Symbols only, or one short word: labels of keys and small buttons."""
        words = text.split()
        return bool(words) and (all(_Wanted(w).symbolic for w in words)
                                or (len(words) == 1 and len(words[0]) <= self.small_label))

    async def ocr_words(self, region: ScreenRegion | Sequence[int] | None = None
                        ) -> list[dict[str, Any]]:
        """Every word that one OCR pass over the area reads, in screen pixels, with its line key."""
        img, area, _ = await asyncio.to_thread(self._capture_area, ScreenRegion.coerce(region))
        if img is None:
            return []
        return await self._read(_Crop(area, img), self.scale, False, 1)

    # text ---------------------------------------------------------------------

    @staticmethod
    def match_words(words: list[dict[str, Any]], target: str, *, tolerant: bool = False
                    ) -> list[dict[str, Any]]:
        """Match records for ``target`` among OCR words, best first.

        Exact matches (every target word equals a screen word, consecutive on
        one line, case and surrounding punctuation ignored) rank before
        prefix matches (the screen words starting there begin with the
        target, which is at least two characters long). With ``tolerant``,
        near matches follow: each target word of four or more characters
        within one edit of its screen word, or the target's words found run
        together in fewer screen words. Within a tier, a match that is a whole
        OCR line ranks first ("Save" before "Save As…"), then higher OCR
        confidence. Each record says ``"exact"``.
        """
        wanted = [_Wanted(t) for t in target.split()]
        if not wanted:
            return []
        lines: dict[tuple, list[dict[str, Any]]] = {}
        for w in words:
            lines.setdefault(w["line"], []).append(w)
        keys = [w.key for w in wanted]
        needle = " ".join(keys)
        squeezed = "".join(keys)
        k = len(wanted)
        symbols_only = all(w.symbolic for w in wanted)
        found: list[tuple[int, float, int, int, dict[str, Any]]] = []
        for line in lines.values():
            n = len(line)
            for i in range(n):
                span: list[dict[str, Any]] | None = None
                tier = 0
                forms = [wanted[m].of(line[i + m]["text"]) for m in range(min(k, n - i))]
                if forms == keys:
                    span = line[i:i + k]
                if span is None and len(needle) >= 2 and not symbols_only:
                    # the words from here on begin with the target
                    # ("Submitting", or OCR merging "OK" with what follows)
                    normed = [_norm(w["text"]) for w in line[i:i + k]]
                    for j in range(1, len(normed) + 1):
                        if " ".join(normed[:j]).startswith(needle):
                            span, tier = line[i:i + j], 1
                            break
                if span is None and tolerant and len(forms) == k and all(
                        f == key or (len(key) >= 4 and _within_one_edit(key, f))
                        for f, key in zip(forms, keys)):
                    span, tier = line[i:i + k], 2
                if span is None and tolerant and k > 1:
                    # "Yourname:" for "Your name:"
                    normed = [_norm(w["text"]) for w in line[i:i + k - 1]]
                    for j in range(1, len(normed) + 1):
                        if "".join(normed[:j]) == squeezed:
                            span, tier = line[i:i + j], 2
                            break
                if span is None:
                    continue
                x0 = min(w["x"] for w in span)
                y0 = min(w["y"] for w in span)
                x1 = max(w["x"] + w["width"] for w in span)
                y1 = max(w["y"] + w["height"] for w in span)
                if symbols_only and not _plausible(needle, (x1 - x0, y1 - y0), line):
                    continue  # a stroke of another glyph, not the symbols sought
                conf = min(w["confidence"] for w in span)
                rec = {"x": x0, "y": y0, "width": x1 - x0, "height": y1 - y0,
                       "text": " ".join(w["text"] for w in span), "confidence": conf,
                       "exact": tier == 0}
                # a label that is its own OCR line ("Save") before the same
                # words inside a longer one ("Save As…")
                partial = len(span) < n
                found.append((tier, partial, -conf, y0, x0, rec))
        found.sort(key=lambda f: f[:5])
        return [f[5] for f in found]

    async def find_text(self, text: str, *, region: ScreenRegion | Sequence[int] | None = None
                        ) -> dict[str, Any]:
        """Search ``text`` in passes until one finds it exactly (see the class)."""
        t0 = time.perf_counter()
        img, area, windows = await asyncio.to_thread(self._capture_area,
                                                     ScreenRegion.coerce(region))
        timing: dict[str, float] = {"capture_s": time.perf_counter() - t0}
        self.last_timing = timing
        if img is None:  # the region lies outside the screen
            return {"found": False, "matches": []}
        whole = _Crop(area, img)
        crops = [_Crop(w, img.crop((w[0] - area[0], w[1] - area[1],
                                    w[0] - area[0] + w[2], w[1] - area[1] + w[3])))
                 for w in windows] or [whole]
        passes: list[tuple[str, list[_Crop], float, bool, int | None]] = [
            ("screen", [whole], self.scale, False, None)]
        if self.window_pass:
            passes.append(("windows", crops, self.scale, True, None))
            if self.second_scale:
                passes.append(("second_scale", crops, self.second_scale, True, self.second_psm))
        if self.small_pass and self._small_target(text):
            passes.append(("small_windows", [], self.small_scale, True, 7))
        seen: list[dict[str, Any]] = []
        near: list[dict[str, Any]] = []
        for no, (name, pass_crops, scale, unframe, psm) in enumerate(passes, 1):
            t = time.perf_counter()
            words: list[dict[str, Any]] = []
            if name == "small_windows":
                boxes = await asyncio.to_thread(self._small_windows, area)
                if boxes:
                    words = await self._read_small(img, area, boxes, no)
            for crop in pass_crops:
                words += await self._read(crop, scale, unframe, no, psm)
            timing[f"{name}_s"] = time.perf_counter() - t
            matches = self.match_words(words, text)
            exact = [m for m in matches if m["exact"]]
            if exact:
                return {"found": True, "matches": exact + [m for m in matches if not m["exact"]]}
            near += matches
            seen += words
        if not near and self.tolerant:
            t = time.perf_counter()
            near = self.match_words(seen, text, tolerant=True)
            timing["tolerant_s"] = time.perf_counter() - t
        return {"found": bool(near), "matches": near}

    async def read_text(self, *, region: ScreenRegion | Sequence[int] | None = None) -> str:
        """All text on screen (or in the region), one OCR line per line."""
        words = await self.ocr_words(region)
        lines: dict[tuple, list[str]] = {}
        for w in words:
            lines.setdefault(w["line"], []).append(w["text"])
        return "\n".join(" ".join(ws) for ws in lines.values())

    # colour -------------------------------------------------------------------

    def color_matches(self, hex_color: str, tolerance: int = 20,
                      region: ScreenRegion | Sequence[int] | None = None,
                      max_results: int = 1, min_pixels: int = 4) -> list[dict[str, Any]]:
        import numpy as np

        region = ScreenRegion.coerce(region)
        target = np.array(parse_hex_color(hex_color), dtype=np.int16)
        img, area, _ = self._capture_area(region)
        if img is None:  # the region lies outside the screen
            return []
        arr = np.asarray(img, dtype=np.int16)
        mask = np.all(np.abs(arr - target) <= int(tolerance), axis=2)
        ox, oy = area[0], area[1]  # the region as clipped to the screen
        blobs = _blobs(mask, max_results=max(int(max_results), 0), min_pixels=min_pixels)
        out = []
        for left, top, width, height, count, (cx, cy) in blobs:
            r, g, b = (int(v) for v in arr[cy, cx])
            out.append({"x": ox + cx, "y": oy + cy, "left": ox + left, "top": oy + top,
                        "width": width, "height": height, "pixels": count,
                        "color": f"#{r:02x}{g:02x}{b:02x}"})
        return out

    async def find_color(self, hex_color: str, *, tolerance: int = 20,
                         region: ScreenRegion | Sequence[int] | None = None,
                         max_results: int = 1) -> dict[str, Any]:
        matches = await asyncio.to_thread(self.color_matches, hex_color, tolerance, region,
                                          max_results)
        return {"found": bool(matches), "matches": matches}


def _blobs(mask, *, max_results: int, min_pixels: int) -> list[tuple]:
    """Connected (4-neighbour) areas of ``mask`` in reading order of their top-left pixel.

    Each entry: (left, top, width, height, pixel count, click point), where the
    click point is the blob pixel nearest to the blob's centroid (the centroid
    itself lies outside a ring- or L-shaped blob).
    """
    import numpy as np

    if max_results == 0 or not mask.any():
        return []
    try:
        import cv2
    except ImportError:
        cv2 = None
    comps: list[tuple] = []
    if cv2 is not None:
        n, labels, stats, _ = cv2.connectedComponentsWithStats(mask.astype(np.uint8), connectivity=4)
        order = sorted(range(1, n), key=lambda i: (stats[i, 1], stats[i, 0]))
        for i in order:
            if stats[i, 4] < min_pixels:
                continue
            ys, xs = np.nonzero(labels == i)
            comps.append((stats[i, 0], stats[i, 1], stats[i, 2], stats[i, 3], xs, ys))
            if len(comps) >= max_results:
                break
    else:
        work = mask.copy()
        h, w = work.shape
        while len(comps) < max_results and work.any():
            start = int(np.argmax(work))
            sy, sx = divmod(start, w)
            xs, ys, queue = [], [], deque([(sy, sx)])
            work[sy, sx] = False
            while queue:
                y, x = queue.popleft()
                xs.append(x)
                ys.append(y)
                for ny, nx in ((y - 1, x), (y + 1, x), (y, x - 1), (y, x + 1)):
                    if 0 <= ny < h and 0 <= nx < w and work[ny, nx]:
                        work[ny, nx] = False
                        queue.append((ny, nx))
            if len(xs) < min_pixels:
                continue
            xs_a, ys_a = np.array(xs), np.array(ys)
            comps.append((xs_a.min(), ys_a.min(), xs_a.max() - xs_a.min() + 1,
                          ys_a.max() - ys_a.min() + 1, xs_a, ys_a))
    out = []
    for left, top, width, height, xs, ys in comps:
        mx, my = xs.mean(), ys.mean()
        k = int(np.argmin((xs - mx) ** 2 + (ys - my) ** 2))
        out.append((int(left), int(top), int(width), int(height), int(len(xs)),
                    (int(xs[k]), int(ys[k]))))
    return out


# -- image search -----------------------------------------------------------

def configure_pyautogui(*, raise_when_missing: bool = False) -> bool:
    """Set pyautogui up as the reference host does; False when it cannot be imported.

    pyautogui 0.9.54 raises ``ImageNotFoundException`` (with an empty
    message) when ``locateOnScreen`` finds nothing; SeekPress.click_image
    reports an exception's text, so the miss would read as an empty error.
    With ``raise_when_missing`` false, as here by default, a miss is None and
    click_image reports "Image not found on screen".
    """
    try:
        import pyautogui
    except Exception:  # not installed, or no display to connect to
        return False
    pyautogui.useImageNotFoundException(raise_when_missing)
    return True


# -- input --------------------------------------------------------------------

_BUTTONS = {"left": 1, "middle": 2, "right": 3, "wheel_up": 4, "wheel_down": 5}


def _xdotool_path(xdotool: str) -> str:
    return shutil.which(xdotool) or xdotool


class XMouse:
    """Mouse controller using xdotool: move to the point, then press there."""

    def __init__(self, display: str | None = None, *, xdotool: str = "xdotool",
                 double_click_delay_ms: int = 80) -> None:
        self.display = display
        self.xdotool = _xdotool_path(xdotool)
        self.double_click_delay_ms = double_click_delay_ms

    @staticmethod
    def _button(button: str | int) -> int:
        if isinstance(button, int):
            return button
        try:
            return _BUTTONS[button.lower()]
        except KeyError:
            raise ValueError(f"unknown mouse button {button!r}") from None

    def _click_sync(self, x: int, y: int, button: str | int, repeat: int) -> dict[str, Any]:
        # No "mousemove --sync": it waits for the pointer to move and so
        # stalls (about 15 s) when the pointer is already at the target. The
        # XTEST motion and button events are queued in order anyway.
        x, y = int(x), int(y)
        args = [self.xdotool, "mousemove", str(x), str(y), "click"]
        if repeat > 1:
            args += ["--repeat", str(repeat), "--delay", str(self.double_click_delay_ms)]
        args.append(str(self._button(button)))
        _run(args, env=_env(self.display))
        return {"success": True, "x": x, "y": y, "button": button, "clicks": repeat}

    async def click(self, x: int, y: int, *, button: str | int = "left") -> dict[str, Any]:
        return await asyncio.to_thread(self._click_sync, x, y, button, 1)

    async def double_click(self, x: int, y: int, *, button: str | int = "left") -> dict[str, Any]:
        return await asyncio.to_thread(self._click_sync, x, y, button, 2)

    async def move(self, x: int, y: int) -> dict[str, Any]:
        await asyncio.to_thread(_run, [self.xdotool, "mousemove", str(int(x)), str(int(y))],
                                env=_env(self.display))
        return {"success": True, "x": int(x), "y": int(y)}


class XKeyboard:
    """Keyboard controller using xdotool.

    ``mode`` picks the delay between keystrokes: "fast" (4 ms), "normal"
    (25 ms) or "human" (70 ms).

    Clearing a field sends ctrl+a, BackSpace (select all and delete, as most
    toolkits bind it), then End, shift+Home, BackSpace: the second half clears
    single-line fields of toolkits whose ctrl+a moves to the line start
    instead (Tk and Emacs-style bindings) and does nothing on a field that is
    already empty.
    """

    DELAYS_MS = {"fast": 4, "normal": 25, "human": 70}
    CLEAR_KEYS = ("ctrl+a", "BackSpace", "End", "shift+Home", "BackSpace")

    def __init__(self, mode: str = "normal", display: str | None = None, *,
                 xdotool: str = "xdotool") -> None:
        if mode not in self.DELAYS_MS:
            raise ValueError(f"unknown keyboard mode {mode!r}")
        self.mode = mode
        self.display = display
        self.xdotool = _xdotool_path(xdotool)

    def _keys_sync(self, keys: Iterable[str]) -> None:
        _run([self.xdotool, "key", "--clearmodifiers", "--delay", str(self.DELAYS_MS[self.mode]),
              *keys], env=_env(self.display))

    def _type_sync(self, text: str, clear_first: bool) -> dict[str, Any]:
        if clear_first:
            self._keys_sync(self.CLEAR_KEYS)
        if text:
            _run([self.xdotool, "type", "--clearmodifiers", "--delay",
                  str(self.DELAYS_MS[self.mode]), "--", text], env=_env(self.display))
        return {"success": True, "typed": len(text), "cleared": bool(clear_first)}

    async def type_text(self, text: str, *, clear_first: bool = True) -> dict[str, Any]:
        return await asyncio.to_thread(self._type_sync, text, clear_first)

    async def press(self, *keys: str) -> dict[str, Any]:
        """Press keys or chords in xdotool's names ("Return", "ctrl+s")."""
        await asyncio.to_thread(self._keys_sync, keys)
        return {"success": True, "keys": list(keys)}
