"""Simulated screen reader: the host's ``zorvane.pc.screen`` for tests and the demo.

The screen is a list of text boxes and coloured points placed by the caller.
``find_text`` matches case-insensitively and reports whole-screen boxes, also
when the search is limited to a region; ``find_color`` reports the points whose
colour lies within the tolerance (largest channel difference). Every search is
recorded in ``searches``.
"""

from __future__ import annotations

import asyncio
from dataclasses import dataclass, field
from typing import Any


@dataclass(frozen=True)
class ScreenRegion:
    """A screen rectangle in pixels: top-left corner, width and height."""

    x: int
    y: int
    width: int
    height: int

    def contains(self, x: int, y: int) -> bool:
        return self.x <= x < self.x + self.width and self.y <= y < self.y + self.height


@dataclass
class TextBox:
    text: str
    x: int
    y: int
    width: int
    height: int


@dataclass
class ColorPoint:
    color: str
    x: int
    y: int


def parse_hex_color(color: str) -> tuple[int, int, int]:
    digits = color[1:] if color.startswith("#") else color
    if len(digits) == 3:
        digits = "".join(c * 2 for c in digits)
    if len(digits) != 6:
        raise ValueError(f"not a hex colour: {color!r}")
    return int(digits[0:2], 16), int(digits[2:4], 16), int(digits[4:6], 16)


@dataclass
class ScreenReader:
    texts: list[TextBox] = field(default_factory=list)
    colors: list[ColorPoint] = field(default_factory=list)
    searches: list[tuple[str, Any, dict[str, Any]]] = field(default_factory=list)

    def add_text(self, text: str, x: int, y: int, width: int, height: int) -> TextBox:
        box = TextBox(text, x, y, width, height)
        self.texts.append(box)
        return box

    def add_color(self, color: str, x: int, y: int) -> ColorPoint:
        parse_hex_color(color)
        point = ColorPoint(color, x, y)
        self.colors.append(point)
        return point

    def remove_text(self, text: str) -> None:
        self.texts = [b for b in self.texts if b.text != text]

    async def find_text(self, text: str, *, region: ScreenRegion | None = None) -> dict[str, Any]:
        self.searches.append(("text", text, {"region": region}))
        await asyncio.sleep(0)
        wanted = text.casefold()
        exact, partial = [], []
        for box in self.texts:
            if region is not None and not region.contains(box.x, box.y):
                continue
            seen = box.text.casefold()
            if seen == wanted:
                exact.append(box)
            elif wanted and wanted in seen:
                partial.append(box)
        matches = [{"text": b.text, "x": b.x, "y": b.y, "width": b.width, "height": b.height}
                   for b in exact + partial]
        return {"found": bool(matches), "matches": matches}

    async def find_color(self, hex_color: str, *, tolerance: int = 20,
                         region: ScreenRegion | None = None, max_results: int = 10) -> dict[str, Any]:
        self.searches.append(("color", hex_color,
                              {"tolerance": tolerance, "region": region, "max_results": max_results}))
        await asyncio.sleep(0)
        target = parse_hex_color(hex_color)
        matches = []
        for point in self.colors:
            if region is not None and not region.contains(point.x, point.y):
                continue
            rgb = parse_hex_color(point.color)
            if max(abs(a - b) for a, b in zip(rgb, target)) <= tolerance:
                matches.append({"x": point.x, "y": point.y, "color": point.color})
            if len(matches) >= max_results:
                break
        return {"found": bool(matches), "matches": matches}
