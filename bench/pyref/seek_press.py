"""Pure-Python rendition of ``zorvane.pc.seek_press``.

Benchmark baseline and differential-test oracle; not shipped. Same
collaborator calls in the same order, same result dictionaries with the same
key order as the native module. Operations are plain ``async def``: argument
conversions and checks run when the coroutine is first resumed instead of at
the call. The host modules are imported when available; without them the
module still loads (their names are declared types only).

The clock and the sleep are looked up on their modules at each use
(``time.time``, ``asyncio.sleep``), so a test or benchmark that patches them
on the modules steers this rendition exactly as it steers the native one.
"""

import asyncio
import logging
import time
from typing import Any

try:
    from zorvane.pc.mouse import MouseController
    from zorvane.pc.screen import ScreenReader, ScreenRegion
except ImportError:  # the benchmark runs without the host package
    MouseController = ScreenReader = ScreenRegion = Any

logger = logging.getLogger("zorvane.pc.seek_press")


def _type_error(name, expected, value):
    return TypeError(
        "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
        % (name, expected, type(value).__name__)
    )


def _check_str(name, value):
    if type(value) is not str:
        raise _type_error(name, "str", value)


def _to_int(name, value):
    if type(value) is int:
        return value
    if isinstance(value, (int, float)) or (
        hasattr(type(value), "__float__") and not isinstance(value, (str, bytes, bytearray, complex))
    ):
        return int(value)
    raise _type_error(name, "int", value)


def _to_float(name, value):
    if type(value) is float:
        return value
    if isinstance(value, (str, bytes, bytearray)):
        raise _type_error(name, "float", value)
    try:
        return float(value)
    except TypeError:
        raise _type_error(name, "float", value) from None


class SeekPress:
    """Find-and-click: locate UI elements by text or image, then click them.

    Usage:
        fc = SeekPress(mouse, screen)
        await fc.click_text("OK")
        await fc.click_text("Submit", double=True)
        await fc.click_near_text("Username", offset_y=30)
        await fc.click_color("#00ff00")
    """

    def __init__(self, mouse, screen):
        self._mouse = mouse
        self._screen = screen

    async def click_text(self, target, button="left", double=False, region=None,
                         timeout=5.0, retry_interval=1.0):
        """Find text on screen via OCR and click its center."""
        double = bool(double)
        timeout = _to_float("timeout", timeout)
        retry_interval = _to_float("retry_interval", retry_interval)
        _check_str("target", target)
        _check_str("button", button)

        start = time.time()
        attempts = 0
        while time.time() - start < timeout:
            attempts += 1
            result = await self._screen.find_text(target, region=region)
            if result.get("found") and result.get("matches"):
                match = result["matches"][0]
                cx = match.get("x", 0) + match.get("width", 0) // 2
                cy = match.get("y", 0) + match.get("height", 0) // 2
                if double:
                    click_result = await self._mouse.double_click(cx, cy)
                else:
                    click_result = await self._mouse.click(cx, cy, button=button)
                return {
                    "success": True,
                    "target": target,
                    "clicked_at": (cx, cy),
                    "match": match,
                    "attempts": attempts,
                    "click": click_result,
                }
            elapsed = time.time() - start
            if elapsed + retry_interval < timeout:
                await asyncio.sleep(retry_interval)

        return {
            "success": False,
            "target": target,
            "error": f"Text '{target}' not found on screen after {attempts} attempts",
            "attempts": attempts,
        }

    async def click_near_text(self, target, offset_x=0, offset_y=0, button="left", region=None):
        """Find text on screen and click at an offset from it."""
        offset_x = _to_int("offset_x", offset_x)
        offset_y = _to_int("offset_y", offset_y)
        _check_str("target", target)
        _check_str("button", button)

        result = await self._screen.find_text(target, region=region)
        if not result.get("found") or not result.get("matches"):
            return {"success": False, "target": target, "error": f"Text '{target}' not found on screen"}

        match = result["matches"][0]
        x = match.get("x", 0) + match.get("width", 0) // 2 + offset_x
        y = match.get("y", 0) + match.get("height", 0) // 2 + offset_y
        click_result = await self._mouse.click(x, y, button=button)
        return {
            "success": True,
            "target": target,
            "offset": (offset_x, offset_y),
            "clicked_at": (x, y),
            "match": match,
            "click": click_result,
        }

    async def click_color(self, hex_color, tolerance=20, button="left", region=None):
        """Find a colored element on screen and click it."""
        tolerance = _to_int("tolerance", tolerance)
        _check_str("hex_color", hex_color)
        _check_str("button", button)

        result = await self._screen.find_color(hex_color, tolerance=tolerance, region=region, max_results=1)
        if not result.get("found") or not result.get("matches"):
            return {"success": False, "color": hex_color, "error": f"Color {hex_color} not found on screen"}

        match = result["matches"][0]
        click_result = await self._mouse.click(match["x"], match["y"], button=button)
        return {
            "success": True,
            "color": hex_color,
            "clicked_at": (match["x"], match["y"]),
            "click": click_result,
        }

    async def click_image(self, image_path, button="left", confidence=0.8):
        """Find an image on screen and click its center.

        Uses PyAutoGUI's locateOnScreen for template matching.
        """
        confidence = _to_float("confidence", confidence)
        _check_str("image_path", image_path)
        _check_str("button", button)

        try:
            import pyautogui

            location = pyautogui.locateOnScreen(image_path, confidence=confidence)
            if not location:
                return {"success": False, "image": image_path, "error": "Image not found on screen"}
            center = pyautogui.center(location)
            click_result = await self._mouse.click(center.x, center.y, button=button)
            return {
                "success": True,
                "image": image_path,
                "clicked_at": (center.x, center.y),
                "region": {
                    "x": location.left,
                    "y": location.top,
                    "width": location.width,
                    "height": location.height,
                },
                "click": click_result,
            }
        except ImportError:
            return {"success": False, "error": "pyautogui not installed"}
        except Exception as e:
            return {"success": False, "error": str(e)}

    async def type_into(self, label_text, value, offset_x=200, offset_y=0, clear_first=True, region=None):
        """Find a label on screen, click the input field next to it, and type text.

        This is the highest-level form-filling operation.

        Example:
            await fc.type_into("Username", "john_doe")
        """
        offset_x = _to_int("offset_x", offset_x)
        offset_y = _to_int("offset_y", offset_y)
        clear_first = bool(clear_first)
        _check_str("label_text", label_text)
        _check_str("value", value)

        from zorvane.pc.keyboard import KeyboardController

        click_result = await self.click_near_text(label_text, offset_x=offset_x, offset_y=offset_y, region=region)
        if not click_result.get("success"):
            if type(click_result) is not dict:
                raise TypeError("Expected dict, got %.200s" % type(click_result).__name__)
            return click_result

        await asyncio.sleep(0.2)
        kb = KeyboardController("fast")
        typed = await kb.type_text(value, clear_first=clear_first)
        return {
            "success": True,
            "label": label_text,
            "value": value,
            "clicked_at": click_result.get("clicked_at"),
            "typed": typed,
        }
