"""What debugging tools see of an operation, next to the `async def` rendition (bench/pyref)."""

import asyncio
import gc
import inspect
import sys
import traceback
import weakref

import pytest

import _collab
from _collab import CONVERSATION_OPS, SEEK_PRESS_OPS, Env, Patched, Suspend, drive, run
from test_cancellation import POINTS, _suspend_at
from test_corners import ref_conv, ref_sp

OP_NAMES = {name for name, _ in CONVERSATION_OPS + SEEK_PRESS_OPS} | {"click_text"}
IMPLS = ("native", "pyref")


class Escapes(BaseException):  # not caught by the summarisation pass
    ...


def env_for(impl, monkeypatch, **kw):
    if impl == "pyref":
        monkeypatch.setattr(_collab, "conversation_module", lambda: ref_conv)
        monkeypatch.setattr(_collab, "seek_press_module", lambda: ref_sp)
    return Env(**kw)


def op_entries(tb):
    frames = traceback.extract_tb(tb)
    assert all(f.lineno > 0 for f in frames if f.filename.startswith("src/"))
    return [f.name for f in frames if f.filename.startswith("src/") or "pyref" in f.filename and f.name in OP_NAMES]


async def _closing_fails(*a, **k):
    try:
        await Suspend()
    except GeneratorExit:
        raise Escapes("cleanup") from None


def failure_at(impl, monkeypatch, call, name, n, how):
    env = env_for(impl, monkeypatch)
    with Patched(env), pytest.raises((Escapes, asyncio.CancelledError)) as info:
        if how == "close":
            env.script[(name, n)] = _closing_fails
            (coro := call(env)).send(None)
            coro.close()
        elif how == "raise":
            env.script[(name, n)] = Escapes("collaborator")
            drive(call(env))
        else:
            coro, _ = _suspend_at(env, call, name, n)
            coro.throw(asyncio.CancelledError() if how == "cancel" else Escapes("thrown"))
    return op_entries(info.value.__traceback__)


@pytest.mark.parametrize("how", ["raise", "throw", "cancel", "close"])
@pytest.mark.parametrize("op, call, name, n", POINTS)
def test_traceback_names_each_operation_it_leaves(op, call, name, n, how, monkeypatch):
    native = failure_at("native", monkeypatch, call, name, n, how)
    assert native[0] == op.replace("_double", "")
    assert native == failure_at("pyref", monkeypatch, call, name, n, how)


@pytest.mark.parametrize("impl", IMPLS)
def test_own_step_failure_and_logged_summarisation_failure(impl, monkeypatch, caplog):
    env = env_for(impl, monkeypatch, history_len=30)
    env.script["get_messages"] = [{"id": 1, "content": "no role"}]
    with pytest.raises(KeyError) as info:
        run(env.manager.build_messages())
    assert op_entries(info.value.__traceback__) == ["build_messages"]
    env.script = {"get_messages": _collab._history(30), "summarize_messages": ValueError("summarizer")}
    run(env.manager.build_messages())
    assert [op_entries(r.exc_info[2]) for r in caplog.records if r.exc_info] == [["_maybe_summarize"]]


@pytest.mark.parametrize("impl", IMPLS)
def test_coroutine_state_and_locals(impl, monkeypatch):
    env = env_for(impl, monkeypatch)
    look = lambda: seen.append((inspect.getcoroutinestate(coro), inspect.getcoroutinelocals(coro)["content"]))
    env.script["add_message"] = lambda *a, **k: look() or Suspend()
    coro, seen = env.manager.add_user_message("hi"), []
    look(), coro.send(None), look()
    pytest.raises(StopIteration, coro.send, 7)
    assert (coro.cr_frame, inspect.getcoroutinestate(coro), coro.cr_code.co_qualname) == (
        None, "CORO_CLOSED", "ConversationManager.add_user_message")
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
            out.append([line.split(" in ")[-1].replace("async ", "").split(".<locals>.")[-1]
                        for line in asyncio.format_call_graph(tasks[0]).splitlines() if " in " in line])
        [t.cancel() for t in tasks]
        await asyncio.gather(*tasks, return_exceptions=True)
        return out

    with Patched(env):
        text, stack, *graph = asyncio.run(scenario())
    assert "coro=<SeekPress.click_text() running at " in text and stack == ["click_text"]
    assert impl == "pyref" or "running at src/pc/operations.cpp:" in text
    wanted = ["Gate.wait()", "Env.respond()", "SeekPress.click_text()", "host()"]
    assert not graph or [n for n in graph[0] if n in wanted] == wanted  # collaborator, operation, host


@pytest.mark.parametrize("impl", IMPLS)
def test_frames_and_traceback_entries_keep_nothing_alive(impl, monkeypatch):
    env = env_for(impl, monkeypatch)
    env.script = {"add_message": ValueError("store"), "create_conversation": lambda *a, **k: Suspend()}
    with pytest.raises(ValueError) as info:
        run(env.manager.add_user_message("hi"))
    (coro := env.manager.start_conversation("t")).send(None)
    frame = (done := env.manager.get_summary()).cr_frame  # kept after the operation finishes
    drive(done)
    env.manager.kept = [info.value, coro.cr_frame]  # cycles through a traceback entry's frame and cr_frame
    manager = weakref.ref(env.manager)
    del env, info, coro, done, frame  # a finished coroutine's frame keeps its locals
    gc.collect()
    assert manager() is None
