"""Collaborators for the tests of the native modules: a memory store that records
every call exactly as it was made, awaitables that suspend on demand, and
helpers that tell which operations are built yet."""

from __future__ import annotations

import asyncio
import inspect
import itertools
import types
from typing import Any, Callable

STORE_OPS = (
    "create_conversation",
    "get_conversation_summary",
    "list_conversations",
    "delete_conversation",
    "add_message",
    "get_messages",
    "get_facts",
    "save_conversation_summary",
)


class RecordingStore:
    """Memory store that records (name, args, kwargs) for every call.

    ``results[name]`` is returned by the operation: a BaseException instance
    or class is raised, a callable is called with the call's arguments (and
    awaited when it returns an awaitable); otherwise the value is returned.
    ``add_message`` returns 1, 2, 3... unless given a result."""

    def __init__(self, **results: Any) -> None:
        self.calls: list[tuple[str, tuple, dict]] = []
        self.results = results
        self._ids = itertools.count(1)
        self.seen_state: list[Any] = []

    def __getattr__(self, name: str) -> Callable:
        if name.startswith("_") or name not in STORE_OPS:
            raise AttributeError(name)

        async def op(*args: Any, **kwargs: Any) -> Any:
            self.calls.append((name, args, kwargs))
            return await resolve(self.results.get(name, _DEFAULT), args, kwargs,
                                 next(self._ids) if name == "add_message" else None)

        op.__name__ = op.__qualname__ = name
        return op

    def names(self) -> list[str]:
        return [c[0] for c in self.calls]


_DEFAULT = object()


async def resolve(spec: Any, args: tuple, kwargs: dict, default: Any = None) -> Any:
    if spec is _DEFAULT:
        return default
    if isinstance(spec, BaseException) or (isinstance(spec, type) and issubclass(spec, BaseException)):
        raise spec
    if callable(spec) and not isinstance(spec, type):
        r = spec(*args, **kwargs)
        if inspect.isawaitable(r):
            r = await r
        return r
    return spec


class Suspend:
    """Awaitable that suspends once, yielding ``token`` to whoever drives the
    coroutine, and resumes with what is sent back (or raises what is thrown)."""

    def __init__(self, token: Any = "suspended") -> None:
        self.token = token

    def __await__(self):
        return (yield self.token)


class SuspendingStore(RecordingStore):
    """RecordingStore whose every operation first awaits a Suspend(name) and
    records what happens to it ("resumed", "thrown:<type>", "closed")."""

    def __init__(self, **results: Any) -> None:
        super().__init__(**results)
        self.events: list[str] = []

    def __getattr__(self, name: str) -> Callable:
        plain = super().__getattr__(name)

        async def op(*args: Any, **kwargs: Any) -> Any:
            try:
                sent = await Suspend(name)
            except GeneratorExit:
                self.events.append(f"closed:{name}")
                raise
            except BaseException as exc:
                self.events.append(f"thrown:{type(exc).__name__}")
                raise
            self.events.append(f"resumed:{name}")
            if sent is not None:
                return sent
            return await plain(*args, **kwargs)

        return op


class Gate:
    """An asyncio-level suspension point for a collaborator: ``wait()`` marks
    ``entered`` and blocks until ``release`` is set, recording cancellation
    and cleanup in ``events``."""

    def __init__(self) -> None:
        self.entered = asyncio.Event()
        self.release = asyncio.Event()
        self.events: list[str] = []

    async def wait(self) -> None:
        self.entered.set()
        try:
            await self.release.wait()
        except asyncio.CancelledError:
            self.events.append("cancelled")
            raise
        except GeneratorExit:
            self.events.append("closed")
            raise
        finally:
            self.events.append("finally")


def run(coro: Any) -> Any:
    return asyncio.run(_wrap(coro))


async def _wrap(coro: Any) -> Any:
    return await coro


def drive(coro: Any, *sends: Any) -> Any:
    """Drives ``coro`` by hand: first send(None), then each of ``sends``;
    returns the StopIteration value."""
    values = [None, *sends]
    for v in values:
        try:
            coro.send(v)
        except StopIteration as stop:
            return stop.value
    raise AssertionError("coroutine still suspended")


def operation_built(factory: Callable[[], Any]) -> bool:
    """True when calling the operation does not raise NotImplementedError or
    AttributeError (a module part still to come)."""
    try:
        obj = factory()
    except (NotImplementedError, AttributeError):
        return False
    except Exception:
        return True
    if inspect.iscoroutine(obj) or isinstance(obj, types.CoroutineType):
        obj.close()
    elif hasattr(obj, "close"):
        obj.close()
    return True


def conversation_module():
    from zorvane.core import conversation

    return conversation


def seek_press_module():
    try:
        from zorvane.pc import seek_press
    except ImportError:
        return None
    return seek_press if hasattr(seek_press, "SeekPress") else None
