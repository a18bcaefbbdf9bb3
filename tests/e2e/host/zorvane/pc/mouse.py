"""Host mouse module for the end-to-end tests: the X11 adapter."""
from adapters.desktop import XMouse as MouseController

__all__ = ["MouseController"]
