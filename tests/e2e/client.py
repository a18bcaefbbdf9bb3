"""Client side of tests/e2e/driver.py: SeekPress on the X adapters in a child interpreter."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
SANITIZER_VARS = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


class Driver:
    """SeekPress in a child interpreter (tests/e2e/driver.py).

    ``adapters_root`` puts another copy of adapters/ ahead of this checkout's
    (tests/e2e/apps.py uses it to measure older adapters).
    """

    def __init__(self, env: dict[str, str], cwd: Path, *, adapters_root: str | None = None,
                 verbose: bool = True) -> None:
        paths = [str(HERE / "host"), os.environ.get("ZORVANE_BUILD_PKG", ""),
                 adapters_root or "", str(ROOT), os.environ.get("PYTHONPATH", "")]
        env = dict(env, PYTHONPATH=os.pathsep.join(p for p in paths if p))
        # The driver keeps the sanitizer runtime (it tests the native module)
        # and drops it itself before running any helper program.
        for key in SANITIZER_VARS:
            if key in os.environ:
                env[key] = os.environ[key]
        self.verbose = verbose
        self.proc = subprocess.Popen([sys.executable, str(HERE / "driver.py")], env=env, cwd=cwd,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.hello = self._read()

    def _read(self) -> dict:
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"driver exited with {self.proc.wait()}")
        return json.loads(line)

    def request(self, op: str, *args, **kwargs) -> dict:
        """The driver's whole reply: {"ok", "result" | "error", "seconds", "searches"}."""
        self.proc.stdin.write(json.dumps({"op": op, "args": args, "kwargs": kwargs}) + "\n")
        self.proc.stdin.flush()
        reply = self._read()
        if self.verbose:
            print(f"seek_press {op}: {reply.get('seconds', -1):.3f} s", file=sys.stderr)
        return reply

    def __call__(self, op: str, *args, **kwargs) -> dict:
        reply = self.request(op, *args, **kwargs)
        assert reply["ok"], reply.get("traceback", reply)
        assert reply["type"] == "dict"
        return reply["result"]

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
