"""The error a desktop program or the X server reports, and running a program."""

from __future__ import annotations

import os
import subprocess
from typing import Sequence


class DesktopError(RuntimeError):
    """A desktop tool (xdotool, tesseract, the X server) failed."""


def _env(display: str | None) -> dict[str, str]:
    """This process's environment, with ``DISPLAY`` set to ``display`` when given."""
    env = dict(os.environ)
    if display:
        env["DISPLAY"] = display
    return env


def _run(args: Sequence[str], *, env: dict[str, str], data: bytes | None = None,
         timeout: float = 60.0) -> bytes:
    """Run a program to its end; its standard output. A missing program or a
    non-zero exit raises DesktopError with the program's error output."""
    try:
        proc = subprocess.run(list(args), input=data, capture_output=True, env=env,
                              timeout=timeout, check=False)
    except FileNotFoundError as exc:
        raise DesktopError(f"{args[0]} is not installed") from exc
    if proc.returncode != 0:
        err = proc.stderr.decode(errors="replace").strip()
        raise DesktopError(f"{args[0]} failed ({proc.returncode}): {err}")
    return proc.stdout
