"""Without the GIL, threads sharing what a host shares, while the host
changes it: a result or the error Python code raises, never a crash.
Free-threaded builds with the GIL off only; prints its counts."""

import asyncio
import itertools
import json
import os
import sys
import sysconfig
import threading
import time

import pytest
from _collab import Env, Patched, SuspendingStore, built_operations

from zorvane.core import conversation as conv

pytestmark = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED") or sys._is_gil_enabled(),
                                reason="needs a free-threaded build running without the GIL")
SECONDS = float(os.environ.get("ZORVANE_FT_SECONDS", "3"))


def in_threads(work, n=8):
    """work(k, more) in n threads at once; more(i): go on after i rounds."""
    start, errors = threading.Barrier(n), []

    def body(k):
        try:
            start.wait()
            end = time.monotonic() + SECONDS
            work(k, lambda i: i < 20 or time.monotonic() < end)
        except BaseException as exc:  # noqa: B036 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(n)]
    [t.start() for t in threads] and [t.join() for t in threads]
    assert errors == []


def world():
    """The stored messages and facts every thread's store hands out."""
    return ([{"id": i, "role": ("user", "assistant", "tool")[i % 3], "content": f"m{i}", "tool_call_id": f"c{i - 1}",
              "tool_calls": [{"id": f"c{i}", "name": "t", "arguments": {"n": i}}]} for i in range(12)],
            [{"category": "c", "content": f"f{i}"} for i in range(6)])


def looped(k, more, step, shared):
    """step(env) awaited in a loop of its own over the `shared` history and facts; counts its outcomes."""
    env, counts = Env(log=False, context_window=4 + k % 3), {}
    env.script.update(get_messages=lambda *a, **kw: shared[0], get_facts=lambda *a, **kw: shared[1])

    async def main():
        while more(sum(counts.values())):
            env.manager._active_conversation_id = "c"
            outcome = await step(env)
            counts[outcome] = counts.get(outcome, 0) + 1
    asyncio.run(main())
    return counts


def check_built(messages):
    assert messages[0]["role"] == "system" and all(isinstance(m["role"], str) for m in messages)
    for call in (c for m in messages for c in m.get("tool_calls", ())):
        json.loads(call["function"]["arguments"])
    return "built"


def test_threads_with_own_loops_and_managers():
    ops, total, shared = built_operations(), [], world()

    async def all_ops(env):
        for name, call in ops:
            env.manager._active_conversation_id = "c"
            result = await call(env)
            name != "build_messages" or check_built(result)
        return len(ops)
    with Patched(Env(log=False)):  # seek_press's call-time collaborators, shared
        in_threads(lambda k, more: total.append(sum(looped(k, more, all_ops, shared).values())))
    print(f"\nown loops: {len(ops) * sum(total)} operations")


def test_one_coroutine_driven_from_threads():
    lock, box, counts = threading.Lock(), {}, {"steps": 0, "refused": 0, "coroutines": 0}

    def fresh():
        manager = conv.ConversationManager(SuspendingStore(get_messages=[], get_facts=world()[1]), 4)
        manager._active_conversation_id = "c"
        box.update(coro=manager.build_messages(), store=manager._memory, sends=0, refused=0)
        counts["coroutines"] += 1

    def work(k, more):
        for n in itertools.count():
            if not more(n):
                return
            with lock:
                coro, store, action = box["coro"], box["store"], (k + n) % 7
                box["sends"] += action > 1  # before the step: the check below never misses one
                counts["steps"] += 1
            try:
                coro.close() if action == 0 else coro.throw(KeyError("x")) if action == 1 else coro.send(None)
                continue
            except ValueError as exc:
                assert "already executing" in str(exc)
                with lock:
                    counts["refused"] += 1
                    box["refused"] += action > 1 and box["coro"] is coro
                continue
            except (StopIteration, KeyError, RuntimeError):
                pass  # over: the next one
            with lock:
                if box["coro"] is coro:  # each resumption by one accepted send
                    assert sum(e.startswith("resumed") for e in store.events) <= box["sends"] - box["refused"]
                    fresh()
    fresh()
    in_threads(work)
    print(f"\none coroutine: {counts}")


def test_host_changes_shared_containers_during_builds():
    (history, facts), dumps, stop, outcomes = world(), json.dumps, threading.Event(), {}

    def host():
        for i in itertools.count(1):
            m, calls = history[i % 12], history[1]["tool_calls"]
            m.pop("role") if i % 5 == 0 else m.update(role=m.pop("role", "user"), content=f"c{i}" if i % 2 else None)
            calls[0].pop("arguments") if i % 5 == 1 else calls[0].update(arguments={"n": i, "s": [f"v{i}"] * (i % 4)})
            args = calls[0].setdefault("arguments", {})
            args[i % 3] = i % 200  # in place, its size changing while it is encoded
            args.pop((i + 1) % 3, None)
            history[1]["tool_calls"] = [dict(calls[0], id=f"c{i}")] if i % 4 == 0 else calls
            facts.append({"category": "n", "content": f"x{i}"})
            del facts[: i % 8 if len(facts) > 8 else 0]
            facts[:] = [{"category": i, "content": i * 0.5}] * 3 if i % 3 == 0 else facts
            conv.SYSTEM_PROMPT, json.dumps = f"prompt {i}", dumps if i % 2 else (lambda o, **kw: dumps(o, indent=None))
            m.setdefault("role", "user")
            outcomes["mutations"] = i
            if stop.is_set():
                return

    async def build(env):
        try:
            return check_built(await env.manager.build_messages())
        except KeyError as exc:  # what the host took away
            assert exc.args[0] in ("role", "arguments")
            return "KeyError"

    saved, mutator = conv.SYSTEM_PROMPT, threading.Thread(target=host)
    mutator.start()
    try:
        in_threads(lambda k, more: [outcomes.setdefault(o, []).append(n)
                                    for o, n in looped(k, more, build, (history, facts)).items()])
    finally:
        stop.set()
        mutator.join()
        json.dumps, conv.SYSTEM_PROMPT = dumps, saved
    print(f"\nhost changes: { {k: sum(v) if isinstance(v, list) else v for k, v in outcomes.items()} }")
    assert outcomes["built"] and outcomes["mutations"]
