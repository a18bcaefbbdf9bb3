"""Host keyboard module for the end-to-end tests: the X11 adapter."""
from adapters.desktop import XKeyboard as KeyboardController

__all__ = ["KeyboardController"]
