"""Recording mouse controller: the host's ``zorvane.pc.mouse`` for tests and the demo."""

from __future__ import annotations

import asyncio
from typing import Any


class MouseController:
    def __init__(self) -> None:
        # (kind, x, y, button) per call, in call order
        self.events: list[tuple[str, Any, Any, str]] = []

    async def click(self, x: int, y: int, *, button: str = "left") -> dict[str, Any]:
        self.events.append(("click", x, y, button))
        await asyncio.sleep(0)
        return {"success": True, "x": x, "y": y, "button": button}

    async def double_click(self, x: int, y: int, *, button: str = "left") -> dict[str, Any]:
        self.events.append(("double_click", x, y, button))
        await asyncio.sleep(0)
        return {"success": True, "x": x, "y": y, "button": button, "clicks": 2}
