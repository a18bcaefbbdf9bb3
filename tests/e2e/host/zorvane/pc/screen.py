"""Host screen module for the end-to-end tests: the X11 adapter."""
from adapters.desktop import ScreenRegion, XScreenReader as ScreenReader

__all__ = ["ScreenReader", "ScreenRegion"]
