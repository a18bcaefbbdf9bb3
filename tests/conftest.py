"""Test session setup: import the build under test ahead of the installed one."""
import os
import sys
from pathlib import Path

_ROOT = Path(__file__).resolve().parent.parent

# host/ holds stand-ins for the host's own zorvane modules (namespace
# packages, merged with the zorvane/core and zorvane/pc of the build).
for _entry in (_ROOT / "host", os.environ.get("ZORVANE_BUILD_PKG")):
    if _entry:
        _path = str(Path(_entry).resolve())
        if _path in sys.path:
            sys.path.remove(_path)
        sys.path.insert(0, _path)


def pytest_configure(config):
    config.addinivalue_line("markers", "refleak: reference-leak checks, run on the debug interpreter")
