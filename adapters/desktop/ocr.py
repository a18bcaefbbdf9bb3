"""OCR: images prepared for the ``tesseract`` program, the program run, its words read.

Pillow, numpy and OpenCV are imported by the functions that use them, the
program is a child process of the running event loop.
"""

from __future__ import annotations

import asyncio
import csv
import io
import math
from dataclasses import dataclass
from typing import Any, Sequence

from .programs import DesktopError, _env
from .x11 import Box


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

    box: Box     # in screen pixels
    image: Any   # PIL image of exactly that box



async def run_tesseract(image: bytes, *, program: str, lang: str, psm: int,
                        config: dict[str, Any], display: str | None) -> bytes:
    """Run the OCR program on an image file's bytes (PNG, or a multi-page
    TIFF); its TSV output.

    The program is a child process of the running event loop; when the
    awaiting task is cancelled it is killed and reaped before the
    cancellation goes on."""
    options: list[str] = []
    for key, value in config.items():
        options += ["-c", f"{key}={value}"]
    env = _env(display)
    # tesseract's OpenMP threads cost more than they gain on screenshots
    # (about three times slower on two cores); one thread unless the host
    # says otherwise.
    env.setdefault("OMP_THREAD_LIMIT", "1")
    args = [program, "stdin", "stdout", "-l", lang, "--psm", str(psm), *options, "tsv"]
    try:
        proc = await asyncio.create_subprocess_exec(
            *args, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.PIPE, env=env)
    except FileNotFoundError as exc:
        raise DesktopError(f"{args[0]} is not installed") from exc
    try:
        out, err = await proc.communicate(image)
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


def prepare(crop: _Crop, scale: float, unframe: bool) -> bytes:
    """The crop as PNG for the OCR program: outlines removed when ``unframe``, resized by ``scale``."""
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


def prepare_small(img, area: Box, boxes: list[Box], scale: float) -> bytes:
    """The windows' crops of ``img`` (captured at ``area``) as the pages of one
    TIFF image, each twice at ``scale``: smoothly resized, and with square
    pixels then blurred. Thin strokes of small bitmap fonts are read right in
    one rendering or the other ("+" in the first, "5" in the second)."""
    from PIL import Image, ImageFilter

    pages = []
    for x, y, w, h in boxes:
        crop = _unframe(img.crop((x - area[0], y - area[1], x - area[0] + w, y - area[1] + h)))
        size = (max(1, round(w * scale)), max(1, round(h * scale)))
        pages.append(crop.resize(size, Image.LANCZOS))
        pages.append(crop.resize(size, Image.NEAREST).filter(ImageFilter.GaussianBlur(scale / 2)))
    buf = io.BytesIO()
    pages[0].save(buf, format="TIFF", save_all=True, append_images=pages[1:])
    return buf.getvalue()


def parse_tsv(tsv: bytes, ox: int, oy: int, s: float, tag: tuple, min_confidence: float,
              pages: Sequence[tuple[int, int, tuple]] | None = None) -> list[dict[str, Any]]:
    """Words of tesseract's TSV in screen pixels, read from an image scaled by
    ``s`` whose origin is (ox, oy); each word's line key is ``tag`` followed by
    block, paragraph and line. ``pages`` gives the origin and tag of each page
    of a multi-page image instead. Words under ``min_confidence`` are left out."""
    words = []
    for row in csv.DictReader(io.StringIO(tsv.decode("utf-8", "replace")),
                              delimiter="\t", quoting=csv.QUOTE_NONE):
        text = (row.get("text") or "").strip()
        if row.get("level") != "5" or not text:
            continue
        conf = float(row["conf"])
        if conf < min_confidence:
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


def best_renderings(words: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The words of each window's better rendering (see ``prepare_small``).

    A word's line key begins (pass, window box, rendering); of a window's
    renderings, the one read with the higher mean confidence stands for the
    window and the other is dropped, so that a window is never taken for two
    different labels."""
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
