"""The loop the suite runs on is the one ZORVANE_LOOP asks for (tests/conftest.py):
the Windows stage runs everything once on the Proactor loop and once on the
selector loop, and a switch that silently kept the default would test one twice."""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys

import pytest

from zorvane.core.conversation import ConversationManager
from zorvane.core.memory import MemoryStore

WANTED = os.environ.get("ZORVANE_LOOP", "")


async def _loop_and_history():
    manager = ConversationManager(MemoryStore(), context_window=2)
    await manager.start_conversation("loop")
    for i in range(4):
        await manager.add_user_message(f"m{i}")
    await asyncio.sleep(0)
    return type(asyncio.get_running_loop()), await manager.build_messages()


def test_operations_run_on_the_requested_loop():
    loop_type, messages = asyncio.run(_loop_and_history())
    assert [m["content"] for m in messages[-2:]] == ["m2", "m3"]
    if WANTED == "proactor":
        assert issubclass(loop_type, asyncio.ProactorEventLoop)
    elif WANTED == "selector":
        assert issubclass(loop_type, asyncio.SelectorEventLoop)
    elif sys.platform == "win32":
        assert issubclass(loop_type, asyncio.ProactorEventLoop)  # Windows' default
    else:
        assert issubclass(loop_type, asyncio.SelectorEventLoop)


def test_new_event_loop_follows_the_switch():
    loop = asyncio.new_event_loop()
    try:
        kind = "proactor" if isinstance(loop, getattr(asyncio, "ProactorEventLoop", ())) else "selector"
    finally:
        loop.close()
    assert kind == (WANTED or ("proactor" if sys.platform == "win32" else "selector"))


@pytest.mark.parametrize("value, message", [
    ("select", "expected one of proactor, selector"),
    pytest.param("proactor", "not available", marks=pytest.mark.skipif(
        sys.platform == "win32", reason="the Proactor loop is there on Windows")),
])
def test_a_wrong_switch_stops_the_run(value, message):
    result = subprocess.run([sys.executable, "-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider",
                             __file__], env=dict(os.environ, ZORVANE_LOOP=value), capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 4  # pytest's usage error
    assert message in result.stderr + result.stdout
