"""The screen reader: capture, text search in passes, colour search.

It ties the other parts together: the X session (``x11``) for the window list
and the pointer, Pillow's ImageGrab (XCB) for the capture, ``ocr`` and
``matching`` for text, ``color`` for colour. Blocking work runs in a worker
thread through asyncio.to_thread; the OCR program runs as a child process of
the event loop.
"""

from __future__ import annotations

import asyncio
import os
import time
from dataclasses import dataclass
from functools import partial
from typing import Any, Awaitable, Callable, Sequence

from . import ocr
from .color import color_blobs, parse_hex_color
from .matching import all_symbols, match_words
from .ocr import _Crop
from .programs import DesktopError
from .x11 import Box, ScreenRegion, _inside, _intersect, _XSession, parking_spot


@dataclass(frozen=True)
class _Pass:
    """One pass of a text search: its name (``last_timing`` holds its seconds
    as ``<name>_s``) and its reader, which takes the pass's number (its place
    in the search, from 1, the first item of each word's line key) and
    returns the words the pass read, in screen pixels."""

    name: str
    read: Callable[[int], Awaitable[list[dict[str, Any]]]]


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
    (see ``matching._plausible``): a "+" one pixel tall is a stroke of another
    glyph, and the search goes on to the next pass instead of stopping there.

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

    def _grab(self, display: str, box: Box | None):
        from PIL import ImageGrab

        bbox = None if box is None else (box[0], box[1], box[0] + box[2], box[1] + box[3])
        try:
            img = ImageGrab.grab(bbox=bbox, xdisplay=display)
        except OSError as exc:
            raise DesktopError(f"cannot capture display {display}: {exc}") from exc
        return img.convert("RGB")

    def _capture_area(self, region: ScreenRegion | None, *, park: bool | None = None
                      ) -> tuple[Any, Box, list[Box]]:
        """(image, its box in screen pixels, top-level window boxes clipped to it).

        A region wholly outside the screen gives (None, None, [])."""
        display = self._display_name()
        park = self.park_pointer if park is None else park
        xs = _XSession(display)
        try:
            screen_box = xs.screen_box()
            if screen_box is None:
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

    _parking_spot = staticmethod(parking_spot)

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

    async def _tesseract(self, image: bytes, psm: int | None = None) -> bytes:
        """The OCR program's TSV output for an image (see ``ocr.run_tesseract``)."""
        return await ocr.run_tesseract(image, program=self.tesseract, lang=self.lang,
                                       psm=self.psm if psm is None else psm,
                                       config=self.config, display=self.display)

    async def _read(self, crop: _Crop, scale: float, unframe: bool, pass_no: int,
                    psm: int | None = None) -> list[dict[str, Any]]:
        """Words of one crop, in screen pixels; lines keyed by (pass, crop, block, par, line)."""
        png = await asyncio.to_thread(ocr.prepare, crop, scale, unframe)
        tsv = await self._tesseract(png, psm)
        return self._parse_tsv(tsv, crop.box[0], crop.box[1], scale, (pass_no, crop.box))

    def _parse_tsv(self, tsv: bytes, ox: int, oy: int, s: float, tag: tuple,
                   pages: Sequence[tuple[int, int, tuple]] | None = None) -> list[dict[str, Any]]:
        return ocr.parse_tsv(tsv, ox, oy, s, tag, self.min_confidence, pages)

    def _small_windows(self, area: Box) -> list[Box]:
        xs = _XSession(self._display_name())
        try:
            return xs.small_windows(area, self.small_size, self.small_limit)
        finally:
            xs.close()

    async def _read_small(self, img, area: Box, boxes: list[Box], pass_no: int
                          ) -> list[dict[str, Any]]:
        """Each small window read as one line of text, all in one OCR run; a
        window's words are those of its better rendering (``ocr.best_renderings``)."""
        tiff = await asyncio.to_thread(ocr.prepare_small, img, area, boxes, self.small_scale)
        tsv = await self._tesseract(tiff, 7)
        pages = [(b[0], b[1], (pass_no, b, r)) for b in boxes for r in (0, 1)]
        return ocr.best_renderings(self._parse_tsv(tsv, 0, 0, self.small_scale, (), pages))

    def _small_target(self, text: str) -> bool:
        """Symbols only, or one short word: labels of keys and small buttons."""
        words = text.split()
        return bool(words) and (all_symbols(text)
                                or (len(words) == 1 and len(words[0]) <= self.small_label))

    async def ocr_words(self, region: ScreenRegion | Sequence[int] | None = None
                        ) -> list[dict[str, Any]]:
        """Every word that one OCR pass over the area reads, in screen pixels, with its line key."""
        img, area, _ = await asyncio.to_thread(self._capture_area, ScreenRegion.coerce(region))
        if img is None:
            return []
        return await self._read(_Crop(area, img), self.scale, False, 1)

    # text ---------------------------------------------------------------------

    match_words = staticmethod(match_words)

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
        seen: list[dict[str, Any]] = []
        near: list[dict[str, Any]] = []
        for no, search_pass in enumerate(self._passes(text, img, area, windows), 1):
            t = time.perf_counter()
            words = await search_pass.read(no)
            timing[f"{search_pass.name}_s"] = time.perf_counter() - t
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

    def _passes(self, text: str, img, area: Box, windows: list[Box]) -> list[_Pass]:
        """The passes of a search for ``text`` in ``img`` (captured at ``area``, with
        the window boxes ``windows``), in the order they run (see the class)."""
        whole = _Crop(area, img)
        crops = [_Crop(w, img.crop((w[0] - area[0], w[1] - area[1],
                                    w[0] - area[0] + w[2], w[1] - area[1] + w[3])))
                 for w in windows] or [whole]
        passes = [_Pass("screen", self._crops_reader([whole], self.scale, False))]
        if self.window_pass:
            passes.append(_Pass("windows", self._crops_reader(crops, self.scale, True)))
            if self.second_scale:
                passes.append(_Pass("second_scale", self._crops_reader(
                    crops, self.second_scale, True, self.second_psm)))
        if self.small_pass and self._small_target(text):
            passes.append(_Pass("small_windows", partial(self._read_small_windows, img, area)))
        return passes

    def _crops_reader(self, crops: list[_Crop], scale: float, unframe: bool,
                      psm: int | None = None) -> Callable[[int], Awaitable[list[dict[str, Any]]]]:
        """A pass's reader: each crop read on its own (``_read``), the words of all."""
        async def read(pass_no: int) -> list[dict[str, Any]]:
            words: list[dict[str, Any]] = []
            for crop in crops:
                words += await self._read(crop, scale, unframe, pass_no, psm)
            return words
        return read

    async def _read_small_windows(self, img, area: Box, pass_no: int) -> list[dict[str, Any]]:
        """The small-window pass's reader: the small windows in ``area`` (``_small_windows``)
        read from ``img`` in one OCR run (``_read_small``)."""
        boxes = await asyncio.to_thread(self._small_windows, area)
        return await self._read_small(img, area, boxes, pass_no) if boxes else []

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
        """Match records of the blobs of ``hex_color`` (see ``color.color_blobs``)."""
        rgb = parse_hex_color(hex_color)
        img, area, _ = self._capture_area(ScreenRegion.coerce(region))
        if img is None:  # the region lies outside the screen
            return []
        return color_blobs(img, area, rgb, tolerance, max_results, min_pixels)

    async def find_color(self, hex_color: str, *, tolerance: int = 20,
                         region: ScreenRegion | Sequence[int] | None = None,
                         max_results: int = 1) -> dict[str, Any]:
        matches = await asyncio.to_thread(self.color_matches, hex_color, tolerance, region,
                                          max_results)
        return {"found": bool(matches), "matches": matches}


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
