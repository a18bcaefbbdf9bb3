"""A private X display (Xvfb) for tests and demos.

    with VirtualDisplay(width=1024, height=768) as disp:
        env = disp.env()            # os.environ with DISPLAY set
        ...

The server picks a free display number itself (-displayfd), so several can
run side by side. Stopping it ends only the server this object started.
"""

from __future__ import annotations

import os
import select
import shutil
import subprocess
import time

__all__ = ["VirtualDisplay", "clean_env"]

# Variables that must not reach helper programs: a sanitizer runtime preloaded
# into the test interpreter would otherwise be loaded into Xvfb, xdotool,
# tesseract and Tk too.
_PRIVATE = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")


def clean_env(base: dict[str, str] | None = None, **extra: str) -> dict[str, str]:
    env = dict(os.environ if base is None else base)
    for key in _PRIVATE:
        env.pop(key, None)
    env.update(extra)
    return env


class VirtualDisplay:
    def __init__(self, width: int = 1024, height: int = 768, depth: int = 24, *,
                 xvfb: str = "Xvfb", timeout: float = 15.0) -> None:
        self.width, self.height, self.depth = width, height, depth
        self.xvfb = shutil.which(xvfb) or xvfb
        self.timeout = timeout
        self.proc: subprocess.Popen | None = None
        self.display: str | None = None

    def start(self) -> "VirtualDisplay":
        read_fd, write_fd = os.pipe()
        try:
            self.proc = subprocess.Popen(
                [self.xvfb, "-displayfd", str(write_fd), "-screen", "0",
                 f"{self.width}x{self.height}x{self.depth}", "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                env=clean_env(), start_new_session=True)
        finally:
            os.close(write_fd)
        try:
            number = b""
            deadline = time.monotonic() + self.timeout
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    raise RuntimeError("Xvfb did not report a display number")
                ready, _, _ = select.select([read_fd], [], [], left)
                if ready:
                    chunk = os.read(read_fd, 32)
                    if not chunk:
                        raise RuntimeError("Xvfb exited before reporting its display")
                    number += chunk
        except BaseException:
            self.stop()
            raise
        finally:
            os.close(read_fd)
        self.display = f":{number.decode().strip()}"
        return self

    def env(self, base: dict[str, str] | None = None, **extra: str) -> dict[str, str]:
        assert self.display, "display not started"
        # pyscreeze only uses its X11 capture path when told the session is X11.
        return clean_env(base, DISPLAY=self.display, XDG_SESSION_TYPE="x11", **extra)

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def __enter__(self) -> "VirtualDisplay":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
