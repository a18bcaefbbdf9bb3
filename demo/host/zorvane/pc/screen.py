"""Host screen module for the demo: the X11 adapter."""
from adapters.desktop import ScreenRegion, XScreenReader as ScreenReader

__all__ = ["ScreenReader", "ScreenRegion"]
