"""What profilers, sys.setprofile, sys.monitoring and stack walkers see of an
operation, attached or not when it starts: the same as of the `async def`
rendition (bench/pyref), tool by tool."""

import asyncio
import cProfile
import faulthandler
import importlib.util
import io
import logging
import pstats
import re
import sys
import tempfile
import traceback
from pathlib import Path

import pytest

from zorvane.core import conversation as native_conv

PYREF = Path(__file__).resolve().parent.parent / "bench" / "pyref"
if not PYREF.is_dir():
    pytest.skip("no pure-Python rendition", allow_module_level=True)
spec = importlib.util.spec_from_file_location("pyref_profiling_conversation", PYREF / "conversation.py")
ref_conv = importlib.util.module_from_spec(spec)
spec.loader.exec_module(ref_conv)

SEEN = {"build_messages", "get_messages", "get_facts"}


class SleepingStore:
    def __init__(self, stacks):
        self.stacks = stacks

    async def get_messages(self, conv_id, limit=None):
        await asyncio.sleep(0.02)
        self.stacks.append([f.name for f in traceback.extract_stack() if f.name in SEEN | {"host"}])
        return [{"id": 1, "role": "user", "content": "hi", "tool_calls": None, "tool_call_id": None}]

    async def get_facts(self, limit=10):
        return []


def build(module, attach, detach):
    """build_messages awaited by a host coroutine while a tool is attached;
    what the store's stack showed and the result."""
    stacks = []

    async def host():
        manager = module.ConversationManager(SleepingStore(stacks))
        manager._active_conversation_id = "c"
        return await manager.build_messages()

    attach()
    try:
        result = asyncio.run(host())
    finally:
        detach()
    return stacks, result


def both(attach_detach):
    return [build(m, *attach_detach()) for m in (native_conv, ref_conv)]


def test_cprofile_entry_covers_the_collaborators_time():
    rows = []
    for module in (native_conv, ref_conv):
        profile = cProfile.Profile()
        build(module, profile.enable, profile.disable)
        stats = pstats.Stats(profile).stats
        by_name = {f[2]: (cc, nc, ct) for f, (cc, nc, tt, ct, _) in stats.items() if f[2] in SEEN}
        assert by_name["build_messages"][2] >= by_name["get_messages"][2] > 0
        rows.append({name: counts[:2] for name, counts in by_name.items()})
    assert rows[0] == rows[1]


def test_setprofile_events_and_stacks():
    def tool():
        events = []
        return (lambda: sys.setprofile(lambda f, e, a: e[:2] != "c_" and f.f_code.co_name in SEEN and events.append(
            (e, f.f_code.co_name, f.f_code.co_qualname))), lambda: sys.setprofile(None)), events

    got = []
    for module in (native_conv, ref_conv):
        (attach, detach), events = tool()
        stacks, _ = build(module, attach, detach)
        got.append((events, stacks))
    assert got[0] == got[1]
    assert got[0][1] == [["host", "build_messages", "get_messages"]]
    assert ("call", "build_messages", "ConversationManager.build_messages") in got[0][0]


def test_sys_monitoring_events():
    mon = sys.monitoring
    tool_id = mon.DEBUGGER_ID
    names = ("PY_START", "PY_RESUME", "PY_YIELD", "PY_RETURN")
    got = []
    for module in (native_conv, ref_conv):
        events = []
        mon.use_tool_id(tool_id, "test")
        try:
            for name in names:
                event = getattr(mon.events, name)
                mon.register_callback(tool_id, event, lambda code, *a, _n=name: code.co_name in SEEN and events.append(
                    (_n, code.co_name)))

            def attach():
                mon.set_events(tool_id, sum(getattr(mon.events, n) for n in names))

            build(module, attach, lambda: mon.set_events(tool_id, 0))
        finally:
            mon.free_tool_id(tool_id)
        got.append(events)
    assert got[0] == got[1] and ("PY_YIELD", "build_messages") in got[0]


def test_without_a_tool_the_same_stack_and_result():
    native, ref = both(lambda: (lambda: None, lambda: None))
    assert native == ref and native[0] == [["host", "build_messages", "get_messages"]]


class LookingStore(SleepingStore):
    """What the tools that read the interpreter's stack show from inside a
    collaborator resumed by the event loop, none of them attached before."""

    async def get_messages(self, conv_id, limit=None):
        await asyncio.sleep(0)
        dump = io.StringIO()  # faulthandler writes to a real file
        with tempfile.TemporaryFile("w+") as f:
            faulthandler.dump_traceback(f, all_threads=False)
            f.seek(0)
            dump.write(f.read())
        names = lambda frames: [n for n in frames if n in SEEN | {"host"}]
        self.stacks.append(("faulthandler", names(re.findall(r"line \d+ in (\w+)", dump.getvalue()))[::-1]))
        self.stacks.append(("stack_info", names(re.findall(r", in (\w+)", logging.Logger("t").findCaller(True)[3]))))
        if sys.version_info >= (3, 14):
            graph = asyncio.capture_call_graph()
            self.stacks.append(("call graph", names(e.frame.f_code.co_name for e in graph.call_stack)[::-1]))
        return await super().get_messages(conv_id, limit)


def test_stack_readers_see_the_operation_with_no_tool_attached():
    got = []
    for module in (native_conv, ref_conv):
        stacks = []

        async def host():
            manager = module.ConversationManager(LookingStore(stacks))
            manager._active_conversation_id = "c"
            return await manager.build_messages()

        asyncio.run(host())
        got.append(stacks)
    assert got[0] == got[1]
    assert ("faulthandler", ["host", "build_messages", "get_messages"]) in got[0]
