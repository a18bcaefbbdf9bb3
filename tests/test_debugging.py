"""What debugging tools see of an operation, next to the `async def` rendition
(bench/pyref): tracebacks, inspect's coroutine state and locals, asyncio's
task introspection and call graphs, and what the frames keep alive."""

from __future__ import annotations

import asyncio
import gc
import inspect
import logging
import sys
import traceback
import weakref

import pytest

import _collab
from _collab import CONVERSATION_OPS, SEEK_PRESS_OPS, Env, Patched
from test_cancellation import POINTS, _suspend_at
from test_corners import ref_conv, ref_sp

OP_NAMES = {name for name, _ in CONVERSATION_OPS + SEEK_PRESS_OPS} | {"click_text"}
IMPLS = ["native", "pyref"]


class Boom(Exception):
    pass


class Escapes(BaseException):  # not caught by the summarisation pass
    pass


def env_for(impl, monkeypatch, **kw):
    if impl == "pyref":
        monkeypatch.setattr(_collab, "conversation_module", lambda: ref_conv)
        monkeypatch.setattr(_collab, "seek_press_module", lambda: ref_sp)
    return Env(**kw)


def op_entries(tb, impl):
    """The operations a traceback passes through, innermost last."""
    frames = traceback.extract_tb(tb)
    if impl == "native":
        assert all(f.lineno > 0 for f in frames if f.filename.startswith("src/"))
        return [f.name for f in frames if f.filename.startswith("src/")]
    return [f.name for f in frames if "pyref" in f.filename and f.name in OP_NAMES]


def _closing_fails(*a, **k):
    async def hook():
        try:
            await _collab.Suspend()
        except GeneratorExit:
            raise Escapes("cleanup") from None
    return hook()


def failure_at(impl, monkeypatch, call, name, n, how):
    env = env_for(impl, monkeypatch)
    with Patched(env), pytest.raises(BaseException) as info:
        if how == "raise":
            env.script[(name, n)] = Escapes("collaborator")
            _collab.drive(call(env))
        elif how == "close":
            env.script[(name, n)] = _closing_fails
            coro = call(env)
            coro.send(None)
            coro.close()
        else:
            coro, _ = _suspend_at(env, call, name, n)
            coro.throw(asyncio.CancelledError() if how == "cancel" else Escapes("thrown"))
    assert isinstance(info.value, (Escapes, asyncio.CancelledError))
    return op_entries(info.value.__traceback__, impl)


@pytest.mark.parametrize("how", ["raise", "throw", "cancel", "close"])
@pytest.mark.parametrize("op, call, name, n", POINTS)
def test_traceback_names_each_operation_it_leaves(op, call, name, n, how, monkeypatch):
    native = failure_at("native", monkeypatch, call, name, n, how)
    assert native and native[0] == op.replace("_double", "")
    assert native == failure_at("pyref", monkeypatch, call, name, n, how)


@pytest.mark.parametrize("impl", IMPLS)
def test_own_step_failure_and_logged_summarisation_failure(impl, monkeypatch):
    env = env_for(impl, monkeypatch, history_len=30)
    env.script["get_messages"] = [{"id": 1, "content": "no role"}]
    with pytest.raises(KeyError) as info:
        _collab.run(env.manager.build_messages())
    assert op_entries(info.value.__traceback__, impl) == ["build_messages"]
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    logger = _collab.conversation_module().logger
    logger.addHandler(handler)
    try:
        env.script = {"get_messages": _collab._history(30), "summarize_messages": Boom("summarizer")}
        _collab.run(env.manager.build_messages())
    finally:
        logger.removeHandler(handler)
    [record] = [r for r in records if r.exc_info]
    assert op_entries(record.exc_info[2], impl) == ["_maybe_summarize"]


@pytest.mark.parametrize("impl", IMPLS)
def test_coroutine_state_and_locals(impl, monkeypatch):
    env = env_for(impl, monkeypatch)
    seen = []

    def look(*a, **k):
        seen.append((inspect.getcoroutinestate(coro), inspect.getcoroutinelocals(coro)["content"]))
        return _collab.Suspend()

    env.script["add_message"] = look
    coro = env.manager.add_user_message("hi")
    seen.append((inspect.getcoroutinestate(coro), inspect.getcoroutinelocals(coro)["content"]))
    coro.send(None)
    seen.append((inspect.getcoroutinestate(coro), coro.cr_frame.f_locals["content"]))
    assert coro.cr_code.co_name == "add_user_message" and coro.cr_code.co_qualname.endswith("add_user_message")
    with pytest.raises(StopIteration):
        coro.send(7)
    assert (coro.cr_frame, inspect.getcoroutinestate(coro)) == (None, "CORO_CLOSED")
    assert seen == [("CORO_CREATED", "hi"), ("CORO_RUNNING", "hi"), ("CORO_SUSPENDED", "hi")]


@pytest.mark.parametrize("impl", IMPLS)
def test_asyncio_sees_a_task_suspended_in_an_operation(impl, monkeypatch):
    env = env_for(impl, monkeypatch)

    async def scenario():
        gate = _collab.Gate()
        env.script["find_text"] = lambda *a, **k: gate.wait()

        async def host():
            return await env.seek.click_text("OK")

        tasks = [asyncio.create_task(host()), asyncio.create_task(env.seek.click_text("OK"))]
        await gate.entered.wait()
        out = [repr(tasks[1]), [f.f_code.co_name for f in tasks[1].get_stack()]]
        if sys.version_info >= (3, 14):
            graph = asyncio.format_call_graph(tasks[0])
            out.append([line.split(" in ")[-1].replace("async ", "") for line in graph.splitlines() if " in " in line])
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        return out

    with Patched(env):
        text, stack, *graph = asyncio.run(scenario())
    assert "coro=<SeekPress.click_text() running at " in text and stack == ["click_text"]
    if impl == "native":
        assert "running at src/pc/operations.cpp:" in text
    if graph:  # from the collaborator's frames through the operation to the host
        wanted = ["Gate.wait()", "Env.respond()", "SeekPress.click_text()", "host()"]
        assert [n.split(".<locals>.")[-1] for n in graph[0] if n.split(".<locals>.")[-1] in wanted] == wanted


def test_kept_frame_does_not_keep_a_finished_operations_arguments():
    env = Env()
    coro = env.manager.add_user_message("hi")
    frame = coro.cr_frame
    _collab.drive(coro)
    manager = weakref.ref(env.manager)
    del coro, env
    gc.collect()
    assert manager() is None and frame.f_locals == {}


@pytest.mark.parametrize("impl", IMPLS)
def test_cycles_through_frames_and_traceback_entries_are_collected(impl, monkeypatch):
    env = env_for(impl, monkeypatch)
    env.script["add_message"] = Boom("store")
    with pytest.raises(Boom) as info:
        _collab.run(env.manager.add_user_message("hi"))
    env.manager.kept = [info.value]  # manager -> exception -> entry -> frame -> manager
    coro = env.manager.start_conversation("t")
    env.script["create_conversation"] = lambda *a, **k: _collab.Suspend()
    coro.send(None)
    env.manager.kept.append(coro.cr_frame)  # manager -> frame -> manager, the coroutine suspended
    manager = weakref.ref(env.manager)
    del env, info, coro
    gc.collect()
    assert manager() is None
