"""Screen reader, mouse and keyboard controllers for an X11 desktop.

Reference host adapters for SeekPress. Blocking work (screen capture, image
preparation, xdotool) runs in a worker thread through asyncio.to_thread; the
OCR program runs as a child process of the event loop. The loop stays free
while the desktop is read or driven.

* ``XScreenReader`` captures the screen with Pillow's ImageGrab (XCB) and
  recognises text with the ``tesseract`` command-line program (TSV output).
  ``find_text`` matches case-insensitively, word by word, ignoring the
  punctuation around words (a target made only of punctuation, such as "?",
  keeps it), and joins consecutive words of one OCR line for multi-word
  targets. When the whole screen yields no exact match it reads each window
  on its own, then at a second scale, then (for symbols and short labels)
  each small child window, then accepts near matches (see the class).
  ``find_color`` scans the capture for pixels within a per-channel
  tolerance and reports the centre of each matching blob. Both move the
  pointer off the searched windows while capturing.
* ``XMouse`` and ``XKeyboard`` drive the X server through ``xdotool`` (XTEST).
* ``configure_pyautogui`` sets up pyautogui (used by SeekPress.click_image)
  to report a missing image as None.

Every coordinate is in whole-screen pixels, also when a search is limited to
a ``ScreenRegion``.

The parts, each in its own module:

=============  ==============================================================
``matching``   which OCR words spell a target (standard library only)
``x11``        screen rectangles, the window tree and the pointer (python-xlib)
``ocr``        images prepared for ``tesseract``, the program run, its TSV read
               (Pillow, numpy, OpenCV)
``color``      blobs of a colour in a capture (numpy, OpenCV)
``reader``     ``XScreenReader``: capture, the passes of a text search, colour
``input``      ``XMouse`` and ``XKeyboard`` (xdotool)
``programs``   ``DesktopError`` and running a program
=============  ==============================================================

Importing the package needs the standard library only: the third-party
packages are imported by the functions that use them.

Requirements: Debian packages ``tesseract-ocr`` and ``xdotool``; Python
packages ``pillow``, ``numpy``, ``python-xlib`` (window list and pointer)
and ``opencv-python-headless`` (box outlines, faster blob labelling).
Without python-xlib the window passes read the whole area, the small-window
pass finds no window and the pointer stays where it is; without OpenCV box
outlines stay in the image and blobs are labelled in Python. ``DISPLAY``
must name a running X server, or pass ``display=":N"`` to the constructors.
"""

from .color import _blobs, parse_hex_color
from .input import _BUTTONS, XKeyboard, XMouse, _xdotool_path
from .matching import (_APOSTROPHES, _FLAT, _MIN_GLYPH_PX, _MIN_LINE_SHARE, _THIN, _is_frame,
                       _is_soft, _norm, _plausible, _strip_soft, _Wanted, _within_one_edit)
from .ocr import _Crop, _unframe
from .programs import DesktopError, _env, _run
from .reader import XScreenReader, configure_pyautogui
from .x11 import ScreenRegion, _inside, _intersect, _XSession

__all__ = ["ScreenRegion", "XScreenReader", "XMouse", "XKeyboard", "DesktopError",
           "configure_pyautogui"]
