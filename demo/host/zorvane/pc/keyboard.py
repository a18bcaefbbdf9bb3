"""Host keyboard module for the demo: the X11 adapter."""
from adapters.desktop import XKeyboard as KeyboardController

__all__ = ["KeyboardController"]
