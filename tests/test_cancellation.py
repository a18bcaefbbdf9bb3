"""Cancellation, close() and throw() at every suspension point of every
operation: each awaited collaborator call is, in turn, the one the operation
is suspended in."""

from __future__ import annotations

import asyncio
import gc
import warnings
import weakref

import pytest

from _collab import Box, Env, Gate, Patched, Suspend, built_operations, default_answer

OPS = built_operations()


def suspension_points():
    points = []
    for name, call in OPS:
        env = Env()
        with Patched(env):
            coro = call(env)
            try:
                asyncio.run(_await(coro))
            except Exception:
                pass
        seen: dict[str, int] = {}
        for awaited in env.awaited_names():
            n = seen.get(awaited, 0)
            seen[awaited] = n + 1
            points.append(pytest.param(name, call, awaited, n, id=f"{name}-{awaited}{n or ''}"))
    return points


async def _await(coro):
    return await coro


POINTS = suspension_points()


def state(env):
    m = env.manager
    return (m._active_conversation_id, m._current_summary, m._summarized_up_to)


class Boom(Exception):
    pass


def expected_after_cancel(op, at_cancel):
    """Cancellation changes nothing after the point where it lands, except
    that a failed resume leaves no summary behind."""
    return ("c", None, 0) if op == "resume_conversation" else at_cancel


@pytest.mark.parametrize("op, call, name, n", POINTS)
def test_cancel_at_every_suspension_point(op, call, name, n):
    env = Env()
    env.manager._active_conversation_id = "c"

    async def scenario():
        gate = Gate()
        env.script[(name, n)] = lambda *a, **k: gate.wait()
        task = asyncio.create_task(call(env))
        await gate.entered.wait()
        at_cancel = state(env)
        calls = len(env.calls)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled()
        assert gate.events == ["cancelled", "finally"]
        assert len(env.calls) == calls  # nothing further was called
        return at_cancel

    with Patched(env):
        at_cancel = asyncio.run(scenario())
    assert state(env) == expected_after_cancel(op, at_cancel)


def _suspend_hook(events, token):
    async def hook(*a, **k):
        try:
            return await Suspend(token)
        except GeneratorExit:
            events.append("closed")
            raise
        except BaseException as exc:
            events.append(f"thrown:{type(exc).__name__}")
            raise

    return hook


def _suspend_at(env, call, name, n):
    events: list[str] = []
    token = object()
    env.script[(name, n)] = _suspend_hook(events, token)
    coro = call(env)
    assert coro.send(None) is token
    return coro, events


@pytest.mark.parametrize("op, call, name, n", POINTS)
def test_close_reaches_collaborator_cleanup(op, call, name, n):
    env = Env()
    with Patched(env):
        coro, events = _suspend_at(env, call, name, n)
        calls = len(env.calls)
        assert coro.close() is None
        assert events == ["closed"]
        assert len(env.calls) == calls
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)


@pytest.mark.parametrize("op, call, name, n", POINTS)
def test_collected_when_collaborator_keeps_the_coroutine(op, call, name, n, request):
    env = Env()
    with Patched(env):
        coro, events = _suspend_at(env, call, name, n)
    env.keep = coro
    ref = weakref.ref(coro)
    del coro, env  # the patches referred to env; they are gone now
    gc.collect()
    dead = ref() is None
    if not dead:  # do not leave the cycle behind for the following tests
        ref().close()
    assert dead, "a suspended coroutine kept by its collaborator is not collected"
    assert events == ["closed"]


# Answers that are containers or objects; each gets a reference to the keeper.
KEPT_ANSWERS = ("get_messages", "get_facts", "get_conversation_summary", "list_conversations", "get_active_plan",
                "summarize_messages", "find_text", "find_color", "click", "double_click", "type_text",
                "locateOnScreen", "center")


def _attach(value, keeper):
    """A copy of ``value`` in which every dictionary and object also refers to ``keeper``."""
    if isinstance(value, dict):
        return {**{k: _attach(v, keeper) for k, v in value.items()}, "keeper": keeper}
    if isinstance(value, list):
        return [_attach(v, keeper) for v in value]
    if isinstance(value, Box):
        return Box(keeper=keeper, **{k: _attach(v, keeper) for k, v in vars(value).items()})
    return value


def _assert_collected(ref, events):
    gc.collect()
    dead = ref() is None
    if not dead:  # do not leave the cycle behind for the following tests
        ref().close()
    assert dead, "a suspended coroutine that refers to itself through what it keeps is not collected"
    assert events == ["closed"]


@pytest.mark.parametrize("op, call, name, n", POINTS)
def test_collected_when_what_the_body_keeps_refers_to_it(op, call, name, n):
    """The collaborators' answers refer back to the coroutine, and only they
    do: the cycle runs through the values the suspended body keeps (a match,
    a summary, a history...), which the collector must see."""
    env = Env(log=False)
    keeper: list = []
    for answer in KEPT_ANSWERS:
        env.script[answer] = (lambda *a, _name=answer, **k:
                              _attach(default_answer(_name, a, k, env), keeper))
    with Patched(env):
        coro, events = _suspend_at(env, call, name, n)
    env.script.clear()  # nothing but the answers refers to the keeper now
    keeper.append(coro)
    ref = weakref.ref(coro)
    del coro, env, keeper
    _assert_collected(ref, events)


SEEK_WITH_REGION = [(name, call) for name, call in [
    ("click_text", lambda e, r: e.seek.click_text("OK", region=r)),
    ("click_near_text", lambda e, r: e.seek.click_near_text("Name", 5, -3, region=r)),
    ("click_color", lambda e, r: e.seek.click_color("#00ff00", 10, region=r)),
    ("type_into", lambda e, r: e.seek.type_into("Name", "value", region=r)),
] if any(name == n for n, _ in OPS)]


@pytest.mark.parametrize("op, call", SEEK_WITH_REGION, ids=[n for n, _ in SEEK_WITH_REGION])
def test_collected_when_an_argument_refers_to_the_coroutine(op, call):
    """The region argument refers back to the coroutine, which is suspended
    in the click: by then only the body's arguments still hold the region."""
    env = Env(log=False)
    keeper: list = []
    region = Box(keeper=keeper)
    with Patched(env):
        coro, events = _suspend_at(env, lambda e: call(e, region), "click", 0)
    keeper.append(coro)
    ref = weakref.ref(coro)
    del coro, env, keeper, region
    _assert_collected(ref, events)


@pytest.mark.parametrize("name, call", OPS, ids=[n for n, _ in OPS])
def test_unstarted_coroutine_kept_by_collaborator_is_collected(name, call):
    """A coroutine that was never awaited holds its arguments already."""
    env = Env()
    with Patched(env):
        coro = call(env)
    env.keep = coro
    ref = weakref.ref(coro)
    del coro, env
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # never awaited
        gc.collect()
    assert ref() is None


def _outcome(run):
    try:
        return ("result", run())
    except BaseException as exc:  # noqa: B036 - cancellation and exit classes included
        return ("raised", exc)


def _result_of(step):
    try:
        step()
    except StopIteration as stop:
        return stop.value
    raise AssertionError("still suspended")


class CustomBase(BaseException):
    pass


@pytest.mark.parametrize("exc_type", [Boom, KeyError, CustomBase, KeyboardInterrupt, asyncio.CancelledError])
@pytest.mark.parametrize("op, call, name, n", POINTS)
def test_throw_equals_collaborator_raising(op, call, name, n, exc_type):
    """throw(exc) into a suspended operation behaves as if the collaborator it
    is suspended in had raised exc there."""
    thrown = exc_type("x")
    env_a = Env()
    with Patched(env_a):
        coro, events = _suspend_at(env_a, call, name, n)
        kind_a, value_a = _outcome(lambda: _result_of(lambda: coro.throw(thrown)))
    assert events == [f"thrown:{exc_type.__name__}"]

    raised = exc_type("x")
    env_b = Env()
    with Patched(env_b):
        env_b.script[(name, n)] = raised
        kind_b, value_b = _outcome(lambda: _result_of(lambda: call(env_b).send(None)))
    assert kind_a == kind_b
    if kind_a == "raised":
        assert value_a is thrown and value_b is raised
    else:
        assert type(value_a) is type(value_b)
    assert state(env_a) == state(env_b)
    assert [c[0] for c in env_a.calls] == [c[0] for c in env_b.calls]


@pytest.mark.parametrize("op, call, name, n", POINTS)
def test_throw_caught_by_collaborator_resumes(op, call, name, n):
    """A collaborator that catches the thrown exception and answers normally:
    the operation goes on exactly as if nothing had been thrown."""
    env_a = Env()
    token = object()

    async def catching(*a, **k):
        try:
            await Suspend(token)
        except Boom:
            pass
        return await env_a.respond(name, a, k)  # the default answer

    with Patched(env_a):
        env_a.script[(name, n)] = catching
        coro = call(env_a)
        assert coro.send(None) is token
        kind_a, value_a = _outcome(lambda: _result_of(lambda: coro.throw(Boom())))
    env_b = Env()
    with Patched(env_b):
        kind_b, value_b = _outcome(lambda: _result_of(lambda: call(env_b).send(None)))
    assert kind_a == kind_b == "result"
    assert state(env_a)[1:] == state(env_b)[1:]
