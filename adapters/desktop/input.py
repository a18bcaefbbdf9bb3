"""Mouse and keyboard: the X server driven through ``xdotool`` (XTEST).

Each call runs the program to its end in a worker thread.
"""

from __future__ import annotations

import asyncio
import shutil
from typing import Any, Iterable

from .programs import _env, _run

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
