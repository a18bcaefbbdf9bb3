"""Host mouse module for the demo: the X11 adapter."""
from adapters.desktop import XMouse as MouseController

__all__ = ["MouseController"]
