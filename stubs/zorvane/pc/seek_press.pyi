"""Find-and-press: locate user-interface elements on screen and click or type into them."""

import logging
from typing import TYPE_CHECKING, Any

from typing_extensions import disjoint_base

if TYPE_CHECKING:
    from zorvane.pc.mouse import MouseController
    from zorvane.pc.screen import ScreenReader, ScreenRegion

# The module also binds asyncio, logging, time, Any, MouseController,
# ScreenReader and ScreenRegion at run time; they are its imports, not part
# of its interface, and are not re-exported here.

logger: logging.Logger

@disjoint_base
class SeekPress:
    """Find-and-click: locate UI elements by text or image, then click them."""

    _mouse: MouseController
    _screen: ScreenReader

    def __init__(self, mouse: MouseController, screen: ScreenReader) -> None: ...
    async def click_text(
        self,
        target: str,
        button: str = "left",
        double: bool = False,
        region: ScreenRegion | None = None,
        timeout: float = 5.0,
        retry_interval: float = 1.0,
    ) -> dict[str, Any]:
        """Find text on screen via OCR and click its center."""
    async def click_near_text(
        self,
        target: str,
        offset_x: int = 0,
        offset_y: int = 0,
        button: str = "left",
        region: ScreenRegion | None = None,
    ) -> dict[str, Any]: ...
    async def click_color(
        self,
        hex_color: str,
        tolerance: int = 20,
        button: str = "left",
        region: ScreenRegion | None = None,
    ) -> dict[str, Any]: ...
    async def click_image(
        self,
        image_path: str,
        button: str = "left",
        confidence: float = 0.8,
    ) -> dict[str, Any]: ...
    async def type_into(
        self,
        label_text: str,
        value: str,
        offset_x: int = 200,
        offset_y: int = 0,
        clear_first: bool = True,
        region: ScreenRegion | None = None,
    ) -> dict[str, Any]: ...
