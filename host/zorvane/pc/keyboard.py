"""Recording keyboard controller: the host's ``zorvane.pc.keyboard`` for tests and the demo.

A new controller may be built for every use, so what is typed is also kept in
the class-wide ``history``.
"""

from __future__ import annotations

import asyncio
from typing import Any, ClassVar


class KeyboardController:
    history: ClassVar[list[tuple[str, str, bool]]] = []

    def __init__(self, mode: str = "normal") -> None:
        self.mode = mode
        self.typed: list[tuple[str, bool]] = []

    async def type_text(self, text: str, *, clear_first: bool = True) -> dict[str, Any]:
        self.typed.append((text, clear_first))
        KeyboardController.history.append((self.mode, text, clear_first))
        await asyncio.sleep(0)
        return {"success": True, "text": text, "cleared": clear_first, "mode": self.mode}
