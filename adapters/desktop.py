"""Screen reader, mouse and keyboard controllers for an X11 desktop.

Reference host adapters for SeekPress. Blocking work (screen capture, OCR,
xdotool) runs in a worker thread through asyncio.to_thread, so the event loop
stays free while the desktop is read or driven.

* ``XScreenReader`` captures the screen with Pillow's ImageGrab (XCB) and
  recognises text with the ``tesseract`` command-line program (TSV output).
  ``find_text`` matches case-insensitively, word by word, and joins
  consecutive words of one OCR line for multi-word targets. ``find_color``
  scans the capture for pixels within a per-channel tolerance and reports the
  centre of each matching blob.
* ``XMouse`` and ``XKeyboard`` drive the X server through ``xdotool`` (XTEST).

Every coordinate is in whole-screen pixels, also when a search is limited to
a ``ScreenRegion``.

Requirements: Debian packages ``tesseract-ocr`` and ``xdotool``; Python
packages ``pillow`` and ``numpy`` (``opencv-python-headless`` makes blob
labelling faster when present). ``DISPLAY`` must name a running X server, or
pass ``display=":N"`` to the constructors.
"""

from __future__ import annotations

import asyncio
import csv
import io
import os
import re
import shutil
import subprocess
import time
from collections import deque
from dataclasses import dataclass
from typing import Any, Iterable, Sequence

__all__ = ["ScreenRegion", "XScreenReader", "XMouse", "XKeyboard", "DesktopError"]


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

_PUNCT = re.compile(r"^[\W_]+|[\W_]+$")


def _norm(word: str) -> str:
    """Case-folded word without leading/trailing punctuation ("Username:" -> "username")."""
    return _PUNCT.sub("", word).casefold()


def parse_hex_color(color: str) -> tuple[int, int, int]:
    text = color.strip().lstrip("#")
    if len(text) == 3:
        text = "".join(c * 2 for c in text)
    if len(text) != 6 or not all(c in "0123456789abcdefABCDEF" for c in text):
        raise ValueError(f"not a hex colour: {color!r}")
    return int(text[0:2], 16), int(text[2:4], 16), int(text[4:6], 16)


class XScreenReader:
    """Screen capture, OCR text search and colour search on an X display.

    ``scale`` enlarges the capture before OCR (tesseract reads small UI fonts
    much better at twice their size); ``psm`` is tesseract's page
    segmentation mode, 11 ("sparse text") suiting scattered UI labels;
    ``config`` holds further tesseract variables (``-c key=value``), e.g.
    {"thresholding_method": 2} for Sauvola binarisation, which also reads
    text inside sunken entry fields at scale 1.
    """

    def __init__(self, display: str | None = None, *, lang: str = "eng", psm: int = 11,
                 scale: float = 2.0, min_confidence: float = 0.0,
                 config: dict[str, Any] | None = None,
                 tesseract: str = "tesseract") -> None:
        self.config = dict(config or {})
        self.display = display
        self.lang = lang
        self.psm = psm
        self.scale = scale
        self.min_confidence = min_confidence
        self.tesseract = tesseract
        self.last_timing: dict[str, float] = {}

    # capture ------------------------------------------------------------------

    def capture(self, region: ScreenRegion | Sequence[int] | None = None):
        """Screenshot as a PIL RGB image (the region only, when given)."""
        from PIL import ImageGrab

        region = ScreenRegion.coerce(region)
        display = self.display or os.environ.get("DISPLAY")
        if not display:
            raise DesktopError("no X display: set DISPLAY or pass display=")
        bbox = None
        if region is not None:
            bbox = (region.x, region.y, region.x + region.width, region.y + region.height)
        try:
            img = ImageGrab.grab(bbox=bbox, xdisplay=display)
        except OSError as exc:
            raise DesktopError(f"cannot capture display {display}: {exc}") from exc
        return img.convert("RGB")

    async def screenshot(self, path: str | os.PathLike | None = None, *,
                         region: ScreenRegion | Sequence[int] | None = None):
        """Capture the screen; save it as PNG when ``path`` is given."""
        def work():
            img = self.capture(region)
            if path is not None:
                img.save(os.fspath(path))
            return img
        return await asyncio.to_thread(work)

    # text ---------------------------------------------------------------------

    def ocr_words(self, region: ScreenRegion | Sequence[int] | None = None) -> list[dict[str, Any]]:
        """Every word tesseract reads, in screen coordinates, with its line key."""
        from PIL import Image

        region = ScreenRegion.coerce(region)
        t0 = time.perf_counter()
        img = self.capture(region)
        t1 = time.perf_counter()
        # Colour in, not grayscale: tesseract's own conversion and
        # binarisation read dark-on-grey button text better than PIL's "L".
        if self.scale != 1:
            img = img.resize((max(1, round(img.width * self.scale)),
                              max(1, round(img.height * self.scale))), Image.LANCZOS)
        buf = io.BytesIO()
        img.save(buf, format="PNG", compress_level=1)
        config: list[str] = []
        for key, value in self.config.items():
            config += ["-c", f"{key}={value}"]
        env = _env(self.display)
        # tesseract's OpenMP threads cost more than they gain on screenshots
        # (about three times slower on two cores); one thread unless the host
        # says otherwise.
        env.setdefault("OMP_THREAD_LIMIT", "1")
        tsv = _run([self.tesseract, "stdin", "stdout", "-l", self.lang, "--psm", str(self.psm),
                    *config, "tsv"], env=env, data=buf.getvalue())
        t2 = time.perf_counter()
        ox, oy = (region.x, region.y) if region else (0, 0)
        s = self.scale
        words = []
        for row in csv.DictReader(io.StringIO(tsv.decode("utf-8", "replace")),
                                  delimiter="\t", quoting=csv.QUOTE_NONE):
            text = (row.get("text") or "").strip()
            if row.get("level") != "5" or not text:
                continue
            conf = float(row["conf"])
            if conf < self.min_confidence:
                continue
            left, top = int(row["left"]), int(row["top"])
            right, bottom = left + int(row["width"]), top + int(row["height"])
            x0, y0 = ox + int(left / s), oy + int(top / s)
            x1, y1 = ox + int(-(-right // s)), oy + int(-(-bottom // s))
            words.append({"text": text, "x": x0, "y": y0, "width": x1 - x0, "height": y1 - y0,
                          "confidence": conf,
                          "line": (int(row["block_num"]), int(row["par_num"]), int(row["line_num"]))})
        self.last_timing = {"capture_s": t1 - t0, "ocr_s": t2 - t1}
        return words

    @staticmethod
    def match_words(words: list[dict[str, Any]], target: str) -> list[dict[str, Any]]:
        """Match records for ``target`` among OCR words, best first.

        Exact matches (every target word equals a screen word, consecutive on
        one line, case and surrounding punctuation ignored) rank before
        prefix matches (the screen words starting there begin with the
        target);
        within a tier, higher OCR confidence ranks first.
        """
        wanted = [w for w in (_norm(t) for t in target.split()) if w]
        if not wanted:
            return []
        lines: dict[tuple, list[dict[str, Any]]] = {}
        for w in words:
            lines.setdefault(w["line"], []).append(w)
        found: list[tuple[int, float, int, int, dict[str, Any]]] = []
        needle = " ".join(wanted)
        k = len(wanted)
        for line in lines.values():
            normed = [_norm(w["text"]) for w in line]
            for i in range(len(line)):
                span: list[dict[str, Any]] | None = None
                tier = 0
                if normed[i:i + k] == wanted:
                    span = line[i:i + k]
                else:
                    # looser: the words from here on begin with the target
                    # ("Submitting", or OCR merging "OK" with what follows)
                    for j in range(i + 1, min(len(line), i + k) + 1):
                        if " ".join(normed[i:j]).startswith(needle):
                            span, tier = line[i:j], 1
                            break
                if span is None:
                    continue
                x0 = min(w["x"] for w in span)
                y0 = min(w["y"] for w in span)
                x1 = max(w["x"] + w["width"] for w in span)
                y1 = max(w["y"] + w["height"] for w in span)
                conf = min(w["confidence"] for w in span)
                rec = {"x": x0, "y": y0, "width": x1 - x0, "height": y1 - y0,
                       "text": " ".join(w["text"] for w in span), "confidence": conf,
                       "exact": tier == 0}
                found.append((tier, -conf, y0, x0, rec))
        found.sort(key=lambda f: f[:4])
        return [f[4] for f in found]

    async def find_text(self, text: str, *, region: ScreenRegion | Sequence[int] | None = None
                        ) -> dict[str, Any]:
        words = await asyncio.to_thread(self.ocr_words, region)
        matches = self.match_words(words, text)
        return {"found": bool(matches), "matches": matches}

    async def read_text(self, *, region: ScreenRegion | Sequence[int] | None = None) -> str:
        """All text on screen (or in the region), one OCR line per line."""
        words = await asyncio.to_thread(self.ocr_words, region)
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
        arr = np.asarray(self.capture(region), dtype=np.int16)
        mask = np.all(np.abs(arr - target) <= int(tolerance), axis=2)
        ox, oy = (region.x, region.y) if region else (0, 0)
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
