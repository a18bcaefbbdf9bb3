"""The X server: screen rectangles, the window tree and the pointer.

python-xlib is imported when a session opens; without it a session knows no
windows and leaves the pointer alone.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Sequence

Box = tuple[int, int, int, int]  # x, y, width, height in screen pixels


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


def _intersect(a: Box, b: Box) -> Box | None:
    x0, y0 = max(a[0], b[0]), max(a[1], b[1])
    x1, y1 = min(a[0] + a[2], b[0] + b[2]), min(a[1] + a[3], b[1] + b[3])
    if x1 <= x0 or y1 <= y0:
        return None
    return x0, y0, x1 - x0, y1 - y0


def _inside(point: tuple[int, int], box: Box) -> bool:
    return box[0] <= point[0] < box[0] + box[2] and box[1] <= point[1] < box[1] + box[3]


def parking_spot(screen_box: Box, area: Box, windows: list[Box]) -> tuple[int, int] | None:
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

    def screen_box(self) -> Box | None:
        """(0, 0, width, height) of the screen; None without a connection."""
        if self.dpy is None:
            return None
        geo = self.root.get_geometry()
        return 0, 0, int(geo.width), int(geo.height)

    def windows(self) -> list[Box]:
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

    def small_windows(self, area: Box, max_size: tuple[int, int], limit: int) -> list[Box]:
        """Inside boxes of the small windows that hold no other window (the keys
        and buttons of Xt or Tk programs) whose centre lies in ``area`` and
        that no top-level window higher in the stack covers. At most ``limit``,
        each clipped to ``area``."""
        if self.dpy is None:
            return []
        from Xlib import X

        found: list[Box] = []
        tops: list[tuple[Box, Any, int]] = []

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
