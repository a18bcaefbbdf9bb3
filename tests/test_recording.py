"""Message recording: the one store call of each recording operation, the
active-conversation check (also under ``python -O``), the tool-output
substitution and the integer result rule."""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
import textwrap
import traceback
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import pytest

from _collab import RecordingStore, run

from zorvane.core.conversation import ConversationManager

ROOT = Path(__file__).resolve().parent.parent


class Str(str):
    pass


def active(store=None, cid="conv-1"):
    m = ConversationManager(store if store is not None else RecordingStore())
    m._active_conversation_id = cid
    return m


CALL_TL = {"id": "call_1", "name": "read", "arguments": {"p": 1}}

# (operation call, expected args, expected kwargs in order)
RECORDINGS = [
    (lambda m: m.add_user_message("hello"), ("conv-1", "user"), [("content", "hello")]),
    (lambda m: m.add_user_message(content="hello"), ("conv-1", "user"), [("content", "hello")]),
    (lambda m: m.add_assistant_message(), ("conv-1", "assistant"), [("content", None), ("tool_calls", None)]),
    (lambda m: m.add_assistant_message("text"), ("conv-1", "assistant"),
     [("content", "text"), ("tool_calls", None)]),
    (lambda m: m.add_assistant_message(tool_calls=[CALL_TL]), ("conv-1", "assistant"),
     [("content", None), ("tool_calls", [CALL_TL])]),
    (lambda m: m.add_assistant_message(None, []), ("conv-1", "assistant"), [("content", None), ("tool_calls", [])]),
    (lambda m: m.add_tool_result("call_1", "output"), ("conv-1", "tool"),
     [("content", "output"), ("tool_call_id", "call_1")]),
    (lambda m: m.add_tool_result(content="output", tool_call_id="call_1"), ("conv-1", "tool"),
     [("content", "output"), ("tool_call_id", "call_1")]),
    (lambda m: m.add_tool_result("", "x"), ("conv-1", "tool"), [("content", "x"), ("tool_call_id", "")]),
]


@pytest.mark.parametrize("call, args, kwargs", RECORDINGS)
def test_store_call_exact(call, args, kwargs):
    store = RecordingStore()
    m = active(store)
    assert run(call(m)) == 1
    assert len(store.calls) == 1
    name, got_args, got_kwargs = store.calls[0]
    assert name == "add_message" and got_args == args
    assert list(got_kwargs.items()) == kwargs
    assert (m._active_conversation_id, m._current_summary, m._summarized_up_to) == ("conv-1", None, 0)


def test_values_passed_by_identity():
    store = RecordingStore()
    m = active(store)
    calls = [dict(CALL_TL)]
    content = "".join(["so", "me"])
    run(m.add_assistant_message(content, calls))
    kw = store.calls[0][2]
    assert kw["tool_calls"] is calls and kw["content"] is content
    assert calls == [CALL_TL]  # not changed either
    tid = "".join(["ca", "ll"])
    run(m.add_tool_result(tid, content))
    assert store.calls[1][2]["tool_call_id"] is tid and store.calls[1][2]["content"] is content


RECORDERS = [
    lambda m: m.add_user_message("x"),
    lambda m: m.add_assistant_message(),
    lambda m: m.add_tool_result("id", "x"),
]


@pytest.mark.parametrize("record", RECORDERS)
@pytest.mark.parametrize("cid", [None, ""])
def test_recording_without_active_conversation(record, cid):
    store = RecordingStore()
    m = active(store, cid)
    with pytest.raises(AssertionError) as info:
        run(record(m))
    assert info.value.args == ()
    assert store.calls == []


@pytest.mark.parametrize("record", RECORDERS)
def test_recording_after_deleting_active_conversation(record):
    store = RecordingStore()
    m = ConversationManager(store)
    cid = run(m.start_conversation())
    run(m.delete_conversation(cid))
    n = len(store.calls)
    with pytest.raises(AssertionError):
        run(record(m))
    assert len(store.calls) == n


def test_active_check_holds_under_optimize():
    """The check is not an `assert` statement: -O does not remove it."""
    code = textwrap.dedent("""
        import asyncio, sys
        assert sys.flags.optimize == 1
        sys.path[:0] = [p for p in sys.argv[1:] if p]
        from zorvane.core.conversation import ConversationManager
        calls = []
        class Store:
            async def add_message(self, *a, **k):
                calls.append(a)
                return 1
        m = ConversationManager(Store())
        for make in (lambda: m.add_user_message("x"), lambda: m.add_assistant_message(),
                     lambda: m.add_tool_result("i", "x")):
            for cid in (None, ""):
                m._active_conversation_id = cid
                try:
                    asyncio.run(make())
                except AssertionError as e:
                    assert e.args == (), e.args
                else:
                    raise SystemExit("no AssertionError")
        assert calls == [], calls
        print("ok")
    """)
    env = dict(os.environ)
    env.pop("PYTHONOPTIMIZE", None)
    out = subprocess.run([sys.executable, "-O", "-c", code, os.environ.get("ZORVANE_BUILD_PKG", ""),
                          str(ROOT / "host")], capture_output=True, text=True, env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


@pytest.mark.parametrize("content", [
    "", " ", "\t\n\r\x0b\x0c", "   \n  ", "\u3000", "\xa0", "\x85", "\u2028\u2029", "\x1c\x1d\x1e\x1f",
    "\u200b", " a ", "\n x\n", "x", "\ufeff", "(no output)", " \u200b ",
])
def test_tool_result_blank_content(content):
    store = RecordingStore()
    run(active(store).add_tool_result("call", content))
    expected = content if content.strip() else "(no output)"
    assert store.calls[0][2]["content"] == expected
    if content.strip():
        assert store.calls[0][2]["content"] is content


@pytest.mark.parametrize("call, arg, got", [
    (lambda m: m.add_user_message(None), "content", "NoneType"),
    (lambda m: m.add_user_message(Str("x")), "content", "Str"),
    (lambda m: m.add_user_message(b"x"), "content", "bytes"),
    (lambda m: m.add_assistant_message(5), "content", "int"),
    (lambda m: m.add_assistant_message(Str("x")), "content", "Str"),
    (lambda m: m.add_assistant_message(None, (CALL_TL,)), "tool_calls", "tuple"),
    (lambda m: m.add_assistant_message(tool_calls={"id": 1}), "tool_calls", "dict"),
    (lambda m: m.add_assistant_message(tool_calls="[]"), "tool_calls", "str"),
    (lambda m: m.add_tool_result(None, "x"), "tool_call_id", "NoneType"),
    (lambda m: m.add_tool_result("id", None), "content", "NoneType"),
    (lambda m: m.add_tool_result(1, 2), "tool_call_id", "int"),
    (lambda m: m.add_tool_result("id", Str(" ")), "content", "Str"),
])
def test_argument_types(call, arg, got):
    expected = "list" if arg == "tool_calls" else "str"
    store = RecordingStore()
    m = active(store, None)  # argument errors come before the active check
    with pytest.raises(TypeError) as info:
        call(m)
    assert str(info.value) == f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"
    assert store.calls == []


def test_argument_checked_in_declared_order():
    with pytest.raises(TypeError, match="'tool_call_id'"):
        active().add_tool_result(1, None)


# --- result rule --------------------------------------------------------------

class Idx:
    def __index__(self):
        return 11


class FloatOnly:
    def __float__(self):
        return 12.75


@pytest.mark.parametrize("result, expected", [
    (7, 7), (0, 0), (-4, -4), (10**30, 10**30), (7.9, 7), (-7.9, -7), (Fraction(15, 2), 7),
    (Decimal("8.5"), 8), (True, True), (None, None), (Idx(), 11), (FloatOnly(), 12),
])
@pytest.mark.parametrize("record", RECORDERS)
def test_result_int_rule(record, result, expected):
    store = RecordingStore(add_message=result)
    got = run(record(active(store)))
    assert got == expected and type(got) is type(expected)
    if type(result) in (int, bool) or result is None:
        assert got is result


@pytest.mark.parametrize("result, exc", [
    ("7", TypeError), (b"7", TypeError), ([7], TypeError), ({"id": 7}, TypeError), (object(), TypeError),
    (float("inf"), OverflowError), (float("nan"), ValueError), (1j, TypeError),
])
@pytest.mark.parametrize("record", RECORDERS)
def test_result_int_refused_after_store_call(record, result, exc):
    store = RecordingStore(add_message=result)
    with pytest.raises(exc):
        run(record(active(store)))
    assert store.names() == ["add_message"]


@pytest.mark.parametrize("record", RECORDERS)
def test_store_exception_reaches_caller_with_traceback(record):
    class StoreFailure(Exception):
        pass

    class Store:
        async def add_message(self, *a, **k):
            raise StoreFailure("no space")

    with pytest.raises(StoreFailure) as info:
        run(record(active(Store())))
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert names[-1] == "add_message"


def test_message_goes_to_conversation_active_when_it_began():
    async def scenario():
        release = asyncio.Event()

        async def slow_add(conv_id, role, **kw):
            await release.wait()
            return 3

        store = RecordingStore(add_message=slow_add)
        m = active(store, "first")
        task = asyncio.create_task(m.add_user_message("hi"))
        await asyncio.sleep(0)
        m._active_conversation_id = "second"
        release.set()
        assert await task == 3
        assert store.calls[0][1] == ("first", "user")

    run(scenario())


def test_ids_increase_on_memory_store():
    from zorvane.core.memory import MemoryStore

    async def scenario():
        store = MemoryStore()
        m = ConversationManager(store)
        cid = await m.start_conversation()
        ids = [await m.add_user_message("u"),
               await m.add_assistant_message(None, [CALL_TL]),
               await m.add_tool_result("call_1", "\n")]
        assert ids == sorted(ids) and len(set(ids)) == 3
        stored = store.messages[cid]
        assert [s["role"] for s in stored] == ["user", "assistant", "tool"]
        assert stored[2]["content"] == "(no output)" and stored[2]["tool_call_id"] == "call_1"
        assert stored[1]["tool_calls"] == [CALL_TL] and stored[1]["content"] is None

    run(scenario())


def test_concurrent_recordings_all_stored():
    from zorvane.core.memory import MemoryStore

    async def scenario():
        store = MemoryStore()
        m = ConversationManager(store)
        cid = await m.start_conversation()
        ids = await asyncio.gather(*(m.add_user_message(str(i)) for i in range(50)))
        assert sorted(ids) == list(range(1, 51))
        assert sorted(int(s["content"]) for s in store.messages[cid]) == list(range(50))

    run(scenario())
