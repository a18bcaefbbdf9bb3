"""SeekPress on the real X adapters, driven over stdin/stdout by the e2e tests.

Runs in its own interpreter so that its zorvane.pc.{mouse,screen,keyboard}
are the X adapters (tests/e2e/host, first on sys.path), whatever stand-ins the
unit tests import. Protocol: one JSON object per line each way.

    -> {"op": "click_text", "args": ["OK"], "kwargs": {"timeout": 3}}
    <- {"ok": true, "result": {...}, "seconds": 0.41, "searches": [0.38]}
    <- {"ok": false, "error": "TypeError: ..."}

"searches" lists the seconds of each screen-reader search the operation made,
"passes" the reader's own timing of each (its last_timing, when it has one).
A "region" keyword given as [x, y, width, height] becomes a ScreenRegion.
The first line written is {"ready": true, "module": <path>} or
{"ready": false, "error": ...}.
"""

import asyncio
import json
import os
import sys
import time
import traceback


def _json_default(obj):
    if hasattr(obj, "__index__"):
        return int(obj)  # numpy integers from pyautogui
    if hasattr(obj, "__float__"):
        return float(obj)
    return repr(obj)


def _send(obj) -> None:
    sys.stdout.write(json.dumps(obj, default=_json_default) + "\n")
    sys.stdout.flush()


async def main() -> None:
    try:
        from zorvane.pc import seek_press
        from zorvane.pc.mouse import MouseController
        from zorvane.pc.screen import ScreenReader, ScreenRegion
    except Exception as exc:  # reported to the test, which decides skip or fail
        _send({"ready": False, "error": f"{type(exc).__name__}: {exc}"})
        return
    # A sanitizer runtime preloaded into this interpreter must not follow it
    # into xdotool, tesseract or scrot.
    for key in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC"):
        os.environ.pop(key, None)
    try:  # the reference set-up: a missing image is None, not an exception
        from adapters.desktop import configure_pyautogui
    except ImportError:
        pass
    else:
        configure_pyautogui()
    screen = ScreenReader()
    searches: list[float] = []
    passes: list[dict] = []  # the reader's seconds per pass, per search
    find_text = screen.find_text

    async def timed_find_text(*args, **kwargs):
        t0 = time.perf_counter()
        try:
            return await find_text(*args, **kwargs)
        finally:
            searches.append(time.perf_counter() - t0)
            passes.append(dict(getattr(screen, "last_timing", None) or {}))

    screen.find_text = timed_find_text
    sp = seek_press.SeekPress(MouseController(), screen)
    _send({"ready": True, "module": getattr(seek_press, "__file__", "?")})
    loop = asyncio.get_running_loop()
    while True:
        line = await loop.run_in_executor(None, sys.stdin.readline)
        if not line:
            return
        req = json.loads(line)
        kwargs = dict(req.get("kwargs", {}))
        if isinstance(kwargs.get("region"), list):
            kwargs["region"] = ScreenRegion(*kwargs["region"])
        t0 = time.perf_counter()
        searches.clear()
        passes.clear()
        try:
            result = await getattr(sp, req["op"])(*req.get("args", []), **kwargs)
        except Exception as exc:
            _send({"ok": False, "error": f"{type(exc).__name__}: {exc}",
                   "traceback": traceback.format_exc(), "searches": list(searches),
                   "passes": list(passes)})
            continue
        _send({"ok": True, "result": result, "type": type(result).__name__,
               "seconds": time.perf_counter() - t0, "searches": list(searches),
               "passes": list(passes)})


if __name__ == "__main__":
    asyncio.run(main())
