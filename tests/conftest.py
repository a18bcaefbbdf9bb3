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


# ZORVANE_LOOP picks the event loop every asyncio.run() and new_event_loop()
# of the suite gets: "proactor" (Windows' default; Windows only) or
# "selector". Unset, the platform's default policy is left alone.
import asyncio  # noqa: E402

import pytest  # noqa: E402

_LOOP_POLICIES = {
    "proactor": "WindowsProactorEventLoopPolicy",
    "selector": "WindowsSelectorEventLoopPolicy" if sys.platform == "win32" else "DefaultEventLoopPolicy",
}


def _loop_policy_class():
    kind = os.environ.get("ZORVANE_LOOP", "")
    if not kind:
        return None
    name = _LOOP_POLICIES.get(kind)
    if name is None:
        raise pytest.UsageError(f"ZORVANE_LOOP={kind!r}: expected one of {', '.join(_LOOP_POLICIES)}")
    if not hasattr(asyncio, name):
        raise pytest.UsageError(f"ZORVANE_LOOP={kind!r} is not available on {sys.platform}")
    return getattr(asyncio, name)


def pytest_configure(config):
    _loop_policy_class()  # a wrong value stops the run before any test


def pytest_report_header(config):
    policy = _loop_policy_class()
    loop = asyncio.new_event_loop() if policy is None else policy().new_event_loop()
    try:
        return f"event loop: {type(loop).__name__} (ZORVANE_LOOP={os.environ.get('ZORVANE_LOOP', '')!r})"
    finally:
        loop.close()


@pytest.fixture(scope="session", autouse=True)
def event_loop_policy():
    policy = _loop_policy_class()
    if policy is None:
        yield None
        return
    previous = asyncio.get_event_loop_policy()
    asyncio.set_event_loop_policy(policy())
    try:
        yield policy
    finally:
        asyncio.set_event_loop_policy(previous)
