"""Both extension modules imported from where they must come from, before a
suite runs against them (tools/test, tools/wheels, tools/windows-stage):

    python tools/check_import.py PREFIX [--gil-off]

Fails (exit 1) when a module does not import or was loaded from outside PREFIX
(a directory; compared case-insensitively on Windows). With --gil-off the
interpreter must be a free-threaded build that keeps the GIL off after
importing both modules in this process, without a warning; run it without
PYTHON_GIL in the environment.
"""

import importlib
import os
import sys
import sysconfig
import warnings

NAMES = ("zorvane.core.conversation", "zorvane.pc.seek_press")


def main(argv):
    if not argv or argv[1:] not in ([], ["--gil-off"]):
        print(__doc__, file=sys.stderr)
        return 2
    expected = os.path.normcase(os.path.abspath(argv[0]))
    gil_off = argv[1:] == ["--gil-off"]
    if gil_off and not sysconfig.get_config_var("Py_GIL_DISABLED"):
        print("check_import: not a free-threaded interpreter", file=sys.stderr)
        return 1
    bad = 0
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for name in NAMES:
            try:
                where = importlib.import_module(name).__file__
            except Exception as exc:
                print(f"check_import: cannot import {name}: {type(exc).__name__}: {exc}", file=sys.stderr)
                bad = 1
                continue
            print(f"  {name} <- {where}")
            if not os.path.normcase(os.path.abspath(where)).startswith(os.path.join(expected, "")):
                print(f"check_import: {name} comes from {where}, expected under {argv[0]}", file=sys.stderr)
                bad = 1
    if gil_off:
        for w in caught:
            print(f"check_import: {w.category.__name__}: {w.message}", file=sys.stderr)
            bad = 1
        if sys._is_gil_enabled():
            print("check_import: the GIL is enabled after importing our modules", file=sys.stderr)
            bad = 1
        elif not bad:
            print("  the GIL stays off after importing both modules")
    return bad


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
