"""Without the GIL, threads sharing what a host shares while it changes it: a result or Python's error, no crash."""

import asyncio
import itertools
import json
import os
import sys
import sysconfig
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from _collab import Env, Patched, SuspendingStore, built_operations

from zorvane.core import conversation as conv

pytestmark = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED") or sys._is_gil_enabled(),
                                reason="needs a free-threaded build running without the GIL")
SECONDS = float(os.environ.get("ZORVANE_FT_SECONDS", "3"))


def in_threads(work, n=8):
    """work(k, more) in n threads at once, more(i) telling whether to go on after i rounds."""
    end = time.monotonic() + SECONDS
    with ThreadPoolExecutor(n) as pool:
        [f.result() for f in [pool.submit(work, k, lambda i: i < 20 or time.monotonic() < end) for k in range(n)]]


@pytest.mark.parametrize("host_changes", [False, True])
def test_threads_with_own_loops_over_shared_containers(host_changes):
    history = [{"id": i, "role": ("user", "assistant", "tool")[i % 3], "content": f"m{i}", "tool_call_id": f"c{i - 1}",
                "tool_calls": [{"id": f"c{i}", "name": "t", "arguments": {"n": i}}]} for i in range(12)]
    facts, dumps, stop, counts, seen = [{"category": "c", "content": "f"}] * 6, json.dumps, threading.Event(), {}, []
    ops = [op for op in built_operations() if not host_changes or op[0] == "build_messages"]

    def host():  # the facts, stored messages and tool calls, SYSTEM_PROMPT and json.dumps
        for i in itertools.takewhile(lambda i: not stop.is_set(), itertools.count(1)):
            m, calls = history[i % 12], history[1]["tool_calls"]
            m.pop("role") if i % 5 == 0 else m.update(role=m.pop("role", "user"), content=f"c{i}" if i % 2 else None)
            calls[0].pop("arguments") if i % 5 == 1 else calls[0].update(arguments={"n": i, "s": [f"v{i}"] * (i % 4)})
            (args := calls[0].setdefault("arguments", {})).update({i % 3: i % 200})  # its size changes while encoded
            args.pop((i + 1) % 3, None)
            history[1]["tool_calls"] = [dict(calls[0], id=f"c{i}")] if i % 4 == 0 else calls
            facts.append({"category": "n", "content": f"x{i}"}) if i % 3 else facts.__setitem__(slice(3, None), [])
            conv.SYSTEM_PROMPT, json.dumps = f"prompt {i}", dumps if i % 2 else (lambda o, **kw: dumps(o, indent=None))
            m.setdefault("role", "user")
            counts["mutations"] = i

    def work(k, more):
        env = Env(log=False, context_window=4 + k % 3)
        env.script.update(get_messages=lambda *a, **kw: history, get_facts=lambda *a, **kw: facts)

        async def main():
            for name, call in (op for _ in itertools.takewhile(more, itertools.count()) for op in ops):
                env.manager._active_conversation_id = "c"
                try:
                    result = await call(env)
                    if name == "build_messages":
                        assert result[0]["role"] == "system" and all(type(m["role"]) is str for m in result)
                        [json.loads(c["function"]["arguments"]) for m in result for c in m.get("tool_calls", ())]
                    seen.append("ran")
                except KeyError as exc:  # only what the host took away
                    assert host_changes and exc.args[0] in ("role", "arguments")
                    seen.append("KeyError")
        asyncio.run(main())
    saved, mutator = conv.SYSTEM_PROMPT, threading.Thread(target=host if host_changes else int)
    mutator.start()
    try:
        with Patched(Env(log=False)):  # seek_press's call-time collaborators, shared
            in_threads(work)
    finally:
        stop.set()
        mutator.join()
        json.dumps, conv.SYSTEM_PROMPT = dumps, saved
    counts.update((o, seen.count(o)) for o in ("ran", "KeyError"))
    print(f"\nown loops{', host changing' * host_changes}: {counts}")
    assert counts["ran"] and counts.get("mutations", 1)


def test_one_coroutine_driven_from_threads():
    """send, throw and close at once: one step runs, the others are refused; nothing is resumed twice.
    Driven: the operation's coroutine where CPython changes a coroutine's state atomically (3.14), else the
    body object it awaits once suspended (what is ours: an async def's coroutine is no safer on 3.13t)."""
    lock, box, counts = threading.Lock(), {}, {"steps": 0, "refused": 0, "coroutines": 0}

    def fresh():
        manager = conv.ConversationManager(SuspendingStore(get_messages=[], get_facts=[]), 4)
        manager._active_conversation_id = "c"
        coro = manager.build_messages()
        if sys.version_info < (3, 14):
            coro.send(None)
            box.setdefault("suspended", []).append(coro)
            coro = coro.cr_await
        box.update(coro=coro, store=manager._memory, sends=0, refused=0)
        counts["coroutines"] += 1

    def work(k, more):
        for n in itertools.takewhile(more, itertools.count()):
            with lock:
                coro, store, action = box["coro"], box["store"], (k + n) % 7
                box["sends"] += action > 1  # before the step: the check below never misses one
                counts["steps"] += 1
            try:
                coro.close() if action == 0 else coro.throw(KeyError("x")) if action == 1 else coro.send(None)
            except ValueError as exc:
                assert "already executing" in str(exc)
                with lock:
                    counts["refused"] += 1
                    box["refused"] += action > 1 and box["coro"] is coro
            except (StopIteration, KeyError, RuntimeError):  # over: the next one
                with lock:
                    if box["coro"] is coro:  # each resumption by one accepted send
                        assert sum(e.startswith("resumed") for e in store.events) <= box["sends"] - box["refused"]
                        fresh()
    fresh()
    in_threads(work)
    [coro.close() for coro in [box["coro"], *box.get("suspended", ())]]
    print(f"\none coroutine: {counts}")
