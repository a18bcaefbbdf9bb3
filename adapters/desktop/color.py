"""Colour search: the blobs of pixels near a colour in a captured image.

numpy (and OpenCV, for faster labelling, when installed) are imported by the
functions that use them.
"""

from __future__ import annotations

from collections import deque
from typing import Any

from .x11 import Box


def parse_hex_color(color: str) -> tuple[int, int, int]:
    text = color.strip().lstrip("#")
    if len(text) == 3:
        text = "".join(c * 2 for c in text)
    if len(text) != 6 or not all(c in "0123456789abcdefABCDEF" for c in text):
        raise ValueError(f"not a hex colour: {color!r}")
    return int(text[0:2], 16), int(text[2:4], 16), int(text[4:6], 16)


def color_blobs(img, area: Box, rgb: tuple[int, int, int], tolerance: int, max_results: int,
                min_pixels: int) -> list[dict[str, Any]]:
    """Match records of the blobs of ``img`` (captured at ``area``) whose pixels
    are each within ``tolerance`` of ``rgb`` in every channel, in screen
    pixels: the click point (``x``, ``y``), the bounding box, the pixel count
    and the colour at the click point."""
    import numpy as np

    target = np.array(rgb, dtype=np.int16)
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
