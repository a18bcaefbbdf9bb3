"""Reference leaks: every operation of both modules, on its success path, on
failure paths and under cancellation, repeated many times; the interpreter's
allocated-block count (and, on a debug interpreter, its total reference count)
must not grow after warm-up. Also: what an operation creates is freed."""

from __future__ import annotations

import asyncio
import gc
import logging
import sys
import weakref

import pytest

from _collab import Env, Gate, Patched, built_operations, conversation_module, merge_built

pytestmark = pytest.mark.refleak

OPS = built_operations()
DEBUG = hasattr(sys, "gettotalrefcount")
# Without the interpreter's small-object allocator (the sanitizer stage runs
# with PYTHONMALLOC=malloc) the block count is always 0: the cases still run,
# as checks for memory errors under repetition, but a few rounds do for that.
COUNTING = sys.getallocatedblocks() > 0
ROUNDS = 1000 if COUNTING else 20  # iterations measured per case, after warm-up
WARMUP = 300 if COUNTING else 5
# Slack for interpreter-internal caches (free lists, type caches, interned
# strings); a leak of one block per iteration gives at least ROUNDS.
SLACK = 60


class _Sink(logging.Handler):
    def emit(self, record):
        self.format(record)


def counters():
    gc.collect()
    gc.collect()
    blocks = sys.getallocatedblocks()
    refs = sys.gettotalrefcount() if DEBUG else 0
    return blocks, refs


def assert_flat(one_round, rounds=ROUNDS, warmup=WARMUP):
    """Runs ``one_round`` (an async callable) repeatedly in one event loop."""
    loop = asyncio.new_event_loop()
    # the summarisation pass logs; keep its records from piling up in the
    # test runner's capture while still formatting them
    logger = logging.getLogger("zorvane.conversation")
    saved = logger.propagate, logger.handlers[:]
    logger.propagate, logger.handlers[:] = False, [_Sink()]
    try:
        async def many(n):
            for _ in range(n):
                await one_round()

        loop.run_until_complete(many(warmup))
        before = counters()
        loop.run_until_complete(many(rounds))
        after = counters()
        # a second measurement tells a one-off cache fill from steady growth
        loop.run_until_complete(many(rounds))
        again = counters()
    finally:
        loop.close()
        logger.propagate, logger.handlers[:] = saved[0], saved[1]
    grow = [after[0] - before[0], again[0] - after[0]]
    rgrow = [after[1] - before[1], again[1] - after[1]]
    print(f"blocks {before[0]} -> {after[0]} -> {again[0]}; refs {before[1]} -> {after[1]} -> {again[1]}")
    assert min(grow) < SLACK, f"allocated blocks grew by {grow} over {rounds} rounds"
    if DEBUG:
        assert min(rgrow) < SLACK, f"total refcount grew by {rgrow} over {rounds} rounds"


class Boom(Exception):
    pass


def _failure_cases():
    """(op, call, collaborator name to fail, what it raises)"""
    cases = []
    for name, call in OPS:
        env = Env()
        with Patched(env):
            try:
                asyncio.run(_await(call(env)))
            except Exception:
                pass
        for awaited in dict.fromkeys(env.awaited_names()):
            cases.append(pytest.param(call, awaited, id=f"{name}-{awaited}"))
    return cases


async def _await(coro):
    return await coro


FAILURES = _failure_cases()


@pytest.mark.parametrize("name, call", OPS, ids=[n for n, _ in OPS])
def test_success_path_flat(name, call):
    env = Env(log=False)
    with Patched(env):
        async def one():
            env.manager._active_conversation_id = "c"
            env.manager._current_summary = None
            env.manager._summarized_up_to = 0
            env.counts.clear()
            await call(env)

        assert_flat(one)


@pytest.mark.parametrize("call, awaited", FAILURES)
def test_failure_path_flat(call, awaited):
    env = Env(log=False)
    with Patched(env):
        async def one():
            env.manager._active_conversation_id = "c"
            env.manager._current_summary = None
            env.manager._summarized_up_to = 0
            env.counts.clear()
            env.script[awaited] = Boom("failed")
            try:
                await call(env)
            except Boom:
                pass

        assert_flat(one, rounds=600)


@pytest.mark.parametrize("call, awaited", FAILURES)
def test_cancellation_flat(call, awaited):
    env = Env(log=False)
    with Patched(env):
        async def one():
            env.manager._active_conversation_id = "c"
            env.counts.clear()
            gate = Gate()
            env.script[awaited] = lambda *a, **k: gate.wait()
            task = asyncio.ensure_future(call(env))
            await gate.entered.wait()
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass

        assert_flat(one, rounds=300, warmup=100)


ARG_ERRORS = [
    ("add_user_message", lambda e: e.manager.add_user_message(None)),
    ("list_conversations", lambda e: e.manager.list_conversations("5")),
    ("start_conversation", lambda e: e.manager.start_conversation(title=1)),
    ("resume_conversation", lambda e: e.manager.resume_conversation()),
    ("add_tool_result", lambda e: e.manager.add_tool_result("a", "b", "c")),
    ("bad_keyword", lambda e: e.manager.add_assistant_message(contents="x")),
    ("constructor", lambda e: conversation_module().ConversationManager(e.store, "20")),
    ("constructor_inf", lambda e: conversation_module().ConversationManager(e.store, float("inf"))),
]


@pytest.mark.parametrize("name, call", ARG_ERRORS, ids=[n for n, _ in ARG_ERRORS])
def test_argument_errors_flat(name, call):
    env = Env(log=False)

    async def one():
        try:
            call(env)
        except (TypeError, OverflowError):
            pass

    assert_flat(one)


def test_result_type_error_and_assertion_flat():
    env = Env(log=False)
    m = env.manager

    async def one():
        env.script["add_message"] = "7"
        m._active_conversation_id = "c"
        try:
            await m.add_user_message("x")
        except TypeError:
            pass
        m._active_conversation_id = None
        try:
            await m.add_tool_result("i", "x")
        except AssertionError:
            pass

    assert_flat(one)


def test_protocol_misuse_flat():
    env = Env(log=False)
    m = env.manager

    async def one():
        c = m.add_user_message("x")
        try:
            c.send(1)
        except TypeError:
            pass
        c.close()
        try:
            c.send(None)
        except RuntimeError:
            pass
        c = m.get_summary()
        try:
            c.throw(Boom())
        except Boom:
            pass

    assert_flat(one)


def test_plain_operations_flat():
    conversation = conversation_module()
    env = Env(log=False)
    merge = merge_built()

    async def one():
        m = conversation.ConversationManager(env.store, 20.5, None, None)
        m._active_conversation_id = "x"
        m.conversation_id
        if merge:
            try:
                conversation._merge_summaries({"summary": "a", "goals": ["g"], "key_facts": ["k"],
                                               "progress": ["p"], "key_decisions": []},
                                              {"summary": "b", "goals": ["g", "h"], "key_facts": [],
                                               "progress": ["q"], "key_decisions": ["d"]})
            except Exception:
                pass

    assert_flat(one)


# --- what an operation creates is freed ---------------------------------------------

@pytest.mark.parametrize("name, call", OPS, ids=[n for n, _ in OPS])
def test_coroutine_bound_method_and_result_freed(name, call):
    env = Env(log=False)
    with Patched(env):
        target = env.seek if name.startswith(("click", "type")) else env.manager
        method_name = name if name != "click_text_double" else "click_text"
        bound = getattr(target, method_name)
        bound_ref = weakref.ref(bound)
        del bound
        gc.collect()
        assert bound_ref() is None
        coro = call(env)
        coro_ref = weakref.ref(coro)
        result = asyncio.run(_await(coro))
        del coro
        gc.collect()
        assert coro_ref() is None
        # the caller holds the only reference to a result that the operation built:
        # as many as a new container held by one local (one fewer on free-threaded builds)
        if isinstance(result, (dict, list)) and name not in ("get_summary", "list_conversations"):
            control = type(result)()
            assert sys.getrefcount(result) == sys.getrefcount(control)
        del result
    gc.collect()
    assert gc.garbage == []


def test_manager_freed_with_its_collaborators():
    env = Env(log=False)
    with Patched(env):
        asyncio.run(_await(env.manager.build_messages()) if any(n == "build_messages" for n, _ in OPS)
                    else _await(env.manager.get_summary()))
    refs = [weakref.ref(o) for o in (env.manager, env.store, env)]
    if env.seek is not None:
        refs.append(weakref.ref(env.seek))
    del env
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


# --- a long mixed agent run, next to the async def rendition ------------------------

class AgentStore:
    """An in-memory store whose every operation suspends once."""

    def __init__(self):
        self.history = []
        self.summary = None

    async def add_message(self, conv_id, role, content=None, tool_calls=None, tool_call_id=None):
        await asyncio.sleep(0)
        self.history.append({"id": len(self.history) + 1, "role": role, "content": content,
                             "tool_calls": tool_calls, "tool_call_id": tool_call_id})
        return len(self.history)

    async def get_messages(self, conv_id, limit=None):
        await asyncio.sleep(0)
        return self.history[-limit:] if limit else list(self.history)

    async def get_facts(self, limit=10):
        await asyncio.sleep(0)
        return [{"category": "os", "content": "linux"}]

    async def save_conversation_summary(self, conv_id, summary):
        await asyncio.sleep(0)
        self.summary = summary


class SleepySummarizer:
    def __init__(self, rng):
        self.rng = rng

    async def summarize_messages(self, messages, existing_summary=None):
        # up to 1 ms, a quarter of the time (the loop sleeps at least 1 ms)
        await asyncio.sleep(self.rng.uniform(0, 0.001) if self.rng.random() < 0.25 else 0)
        return {"summary": f"{len(messages)} messages", "goals": ["report"], "key_facts": ["f"],
                "key_decisions": [], "progress": ["p"]}

    def format_summary_for_context(self, summary):
        return summary["summary"]


async def agent_run(module, turns, seed):
    """`turns` agent turns (user message, build, assistant message with a tool
    call, tool result) with a window of 20; about a third of the
    operations run under wait_for with a timeout they outlast. Returns how
    many were cancelled."""
    import random

    rng = random.Random(seed)
    manager = module.ConversationManager(AgentStore(), 20, None, SleepySummarizer(rng))
    manager._active_conversation_id = "conv"
    cancelled = 0

    async def op(coro, long=False):
        nonlocal cancelled
        if rng.random() < 1 / 3:
            try:
                await asyncio.wait_for(coro, rng.uniform(0, 0.001) if long else 0)
            except TimeoutError:
                cancelled += 1
        else:
            await coro

    for turn in range(turns):
        await op(manager.add_user_message(f"turn {turn}"))
        await op(manager.build_messages(), long=True)
        call = {"id": f"call{turn}", "name": "shell", "arguments": {"cmd": "ls", "n": turn}}
        await op(manager.add_assistant_message(None, [call]))
        await op(manager.add_tool_result(f"call{turn}", "a.txt\nb.txt"))
    return cancelled


def _pyref_conversation():
    import importlib.util
    from pathlib import Path

    path = Path(__file__).resolve().parent.parent / "bench" / "pyref" / "conversation.py"
    if not path.exists():
        return None
    spec = importlib.util.spec_from_file_location("pyref_refleak_conversation", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def agent_blocks(native, rendition, repetitions=10, turns=1000):
    """Allocated blocks added by each implementation's runs: one warm-up run
    of each, then `repetitions` runs of each, alternating, in one event loop."""
    loop = asyncio.new_event_loop()
    logger = logging.getLogger("zorvane.conversation")
    saved = logger.propagate, logger.handlers[:]
    logger.propagate, logger.handlers[:] = False, [_Sink()]
    grown = {native: [], rendition: []}
    cancelled = []
    try:
        for module in (native, rendition):
            loop.run_until_complete(agent_run(module, turns, 0))
        for rep in range(1, repetitions + 1):
            for module in (native, rendition):
                before = counters()[0]
                n = loop.run_until_complete(agent_run(module, turns, rep))
                grown[module].append(counters()[0] - before)
                if module is native:
                    cancelled.append(n)
    finally:
        loop.close()
        logger.propagate, logger.handlers[:] = saved[0], saved[1]
    return grown[native], grown[rendition], cancelled


def test_long_mixed_agent_run_flat_like_the_rendition():
    rendition = _pyref_conversation()
    if rendition is None:
        pytest.skip("no pure-Python rendition")
    native, ref, cancelled = agent_blocks(conversation_module(), rendition, repetitions=10 if COUNTING else 1)
    print(f"blocks added per run: native {native}, rendition {ref}; cancelled {cancelled}")
    # about a third of 4 operations x 1000 turns run under a timeout
    assert min(cancelled) > 800
    assert sum(native) < max(sum(ref), 0) + 2 * SLACK, f"native grew by {native}, the rendition by {ref}"
