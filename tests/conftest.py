import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# The host's stand-in modules (zorvane.core.memory, zorvane.pc.*) and, when
# ZORVANE_BUILD_PKG names a build tree (sanitizer or debug builds), the
# extension modules from it ahead of the installed ones.
_paths = [str(ROOT / "host")]
if os.environ.get("ZORVANE_BUILD_PKG"):
    _paths.insert(0, os.environ["ZORVANE_BUILD_PKG"])
for _p in reversed(_paths):
    if _p not in sys.path:
        sys.path.insert(0, _p)
