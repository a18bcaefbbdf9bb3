"""Contract tests of the SQLite memory store adapter (no native module needed)."""

from __future__ import annotations

import asyncio
import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from adapters.sqlite_memory import SQLiteMemoryStore  # noqa: E402

MESSAGE_KEYS = {"id", "role", "content", "tool_calls", "tool_call_id"}


def run(coro):
    return asyncio.run(coro)


@pytest.fixture(params=["memory", "file"])
def store(request, tmp_path):
    path = ":memory:" if request.param == "memory" else str(tmp_path / "store.db")
    s = SQLiteMemoryStore(path)
    yield s
    s.close_sync()


async def _record_sample(s: SQLiteMemoryStore, conv: str = "c1") -> list[int]:
    await s.create_conversation(conv, "Sample")
    calls = [{"id": "call_1", "name": "read_file", "arguments": {"path": "/tmp/ä.txt", "n": [1, 2]}},
             {"id": "call_2", "name": "shell", "arguments": "{\"cmd\": \"ls\"}"}]
    return [
        await s.add_message(conv, "user", content="Hello"),
        await s.add_message(conv, "assistant", content=None, tool_calls=calls),
        await s.add_message(conv, "tool", content="data", tool_call_id="call_1"),
        await s.add_message(conv, "tool", content="", tool_call_id="call_2"),
        await s.add_message(conv, "assistant", content="Done."),
    ]


def test_messages_round_trip_with_exact_keys(store):
    async def body():
        ids = await _record_sample(store)
        msgs = await store.get_messages("c1")
        return ids, msgs

    ids, msgs = run(body())
    assert all(isinstance(i, int) and i > 0 for i in ids)
    assert ids == sorted(ids) and len(set(ids)) == len(ids)
    assert [m["id"] for m in msgs] == ids
    assert all(set(m) == MESSAGE_KEYS for m in msgs)
    assert [m["role"] for m in msgs] == ["user", "assistant", "tool", "tool", "assistant"]
    assert msgs[0] == {"id": ids[0], "role": "user", "content": "Hello",
                       "tool_calls": None, "tool_call_id": None}
    assert msgs[1]["content"] is None
    assert msgs[1]["tool_calls"][0]["arguments"] == {"path": "/tmp/ä.txt", "n": [1, 2]}
    assert msgs[1]["tool_calls"][1]["arguments"] == "{\"cmd\": \"ls\"}"
    assert msgs[2]["tool_call_id"] == "call_1" and msgs[2]["tool_calls"] is None
    assert msgs[3]["content"] == ""  # stored as given; no substitution in the store


@pytest.mark.parametrize("limit, expected", [(None, 5), (0, 0), (1, 1), (3, 3), (5, 5), (50, 5)])
def test_get_messages_limit_gives_most_recent_oldest_first(store, limit, expected):
    async def body():
        ids = await _record_sample(store)
        kwargs = {} if limit is None else {"limit": limit}
        return ids, await store.get_messages("c1", **kwargs)

    ids, msgs = run(body())
    assert [m["id"] for m in msgs] == ids[len(ids) - expected:]


def test_conversations_are_isolated_and_delete_is_complete(store):
    async def body():
        a = await _record_sample(store, "a")
        b = await _record_sample(store, "b")
        await store.save_conversation_summary("a", {"summary": "A"})
        await store.save_conversation_summary("b", {"summary": "B"})
        deleted = await store.delete_conversation("a")
        again = await store.delete_conversation("a")
        return (a, b, deleted, again, await store.get_messages("a"), await store.get_messages("b"),
                await store.get_conversation_summary("a"), await store.get_conversation_summary("b"),
                await store.list_conversations())

    a, b, deleted, again, msgs_a, msgs_b, sum_a, sum_b, convs = run(body())
    assert min(b) > max(a)  # ids are global and keep growing
    assert deleted is True and again is False
    assert msgs_a == [] and [m["id"] for m in msgs_b] == b
    assert sum_a is None and sum_b == {"summary": "B"}
    assert [c["id"] for c in convs] == ["b"]


def test_summary_none_then_last_saved_wins(store):
    first = {"summary": "one", "goals": ["g"], "summarized_up_to": 3}
    second = {"summary": "two", "goals": ["g", "h"], "key_facts": [], "progress": ["p"],
              "summarized_up_to": 9, "message_count": 12, "summarized_count": 9, "extra": {"k": 1}}

    async def body():
        await store.create_conversation("c", None)
        before = await store.get_conversation_summary("c")
        await store.save_conversation_summary("c", first)
        await store.save_conversation_summary("c", second)
        unknown = await store.get_conversation_summary("nope")
        return before, await store.get_conversation_summary("c"), unknown

    before, after, unknown = run(body())
    assert before is None and unknown is None
    assert after == second and list(after) == list(second)  # key order survives JSON


def test_list_conversations_most_recent_activity_first(store):
    async def body():
        for cid in ("x", "y", "z"):
            await store.create_conversation(cid, cid.upper())
        await store.add_message("x", "user", content="bump")  # x becomes most recent
        return await store.list_conversations(), await store.list_conversations(2)

    every, two = run(body())
    assert [c["id"] for c in every] == ["x", "z", "y"]
    assert [c["title"] for c in every] == ["X", "Z", "Y"]
    assert every[0]["message_count"] == 1
    assert [c["id"] for c in two] == ["x", "z"]


def test_facts_ordered_by_importance_then_recency(store):
    async def body():
        await store.add_fact("user", "likes tea")
        await store.add_fact("system", "runs Linux", importance=5)
        await store.add_fact("user", "name is Ada")
        return await store.get_facts(limit=10), await store.get_facts(limit=2)

    every, two = run(body())
    assert [f["content"] for f in every] == ["runs Linux", "name is Ada", "likes tea"]
    assert all({"category", "content"} <= set(f) for f in every)
    assert len(two) == 2


def test_concurrent_writes_get_distinct_ids(store):
    async def body():
        await store.create_conversation("c", None)
        ids = await asyncio.gather(*(store.add_message("c", "user", content=str(i))
                                     for i in range(40)))
        return ids, await store.get_messages("c")

    ids, msgs = run(body())
    assert len(set(ids)) == 40
    assert sorted(ids) == [m["id"] for m in msgs]
    assert {m["content"] for m in msgs} == {str(i) for i in range(40)}


def test_closed_store_refuses_work():
    s = SQLiteMemoryStore()
    s.close_sync()
    s.close_sync()  # idempotent
    with pytest.raises(RuntimeError):
        run(s.get_messages("c"))


# -- persistence across processes -------------------------------------------

_CHILD_PRELUDE = f"""
import asyncio, json, sys
sys.path.insert(0, {str(ROOT)!r})
from adapters.sqlite_memory import SQLiteMemoryStore
"""


def _python(code: str, *args: str, **kw) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", _CHILD_PRELUDE + textwrap.dedent(code), *args],
                            stdout=subprocess.PIPE, text=True, **kw)


def test_second_process_resumes_while_first_is_open(tmp_path):
    path = str(tmp_path / "resume.db")
    summary = {"summary": "so far", "goals": ["ship"], "summarized_up_to": 2}

    async def first():
        s = SQLiteMemoryStore(path)
        ids = await _record_sample(s, "conv")
        await s.save_conversation_summary("conv", summary)
        return s, ids

    s, ids = run(first())
    try:
        child = _python("""
            async def main():
                s = SQLiteMemoryStore(sys.argv[1])
                out = {"messages": await s.get_messages("conv"),
                       "recent": await s.get_messages("conv", limit=2),
                       "summary": await s.get_conversation_summary("conv"),
                       "next_id": await s.add_message("conv", "user", content="from child")}
                await s.close()
                print(json.dumps(out))
            asyncio.run(main())
        """, path)
        out, _ = child.communicate(timeout=30)
        assert child.returncode == 0
        seen = json.loads(out)
        assert [m["id"] for m in seen["messages"]] == ids
        assert [m["id"] for m in seen["recent"]] == ids[-2:]
        assert seen["summary"] == summary
        assert seen["next_id"] > ids[-1]
        # the first process sees what the second committed
        msgs = run(s.get_messages("conv", limit=1))
        assert msgs[0]["content"] == "from child"
    finally:
        s.close_sync()


def test_everything_acknowledged_survives_sigkill(tmp_path):
    path = str(tmp_path / "crash.db")
    child = _python("""
        async def main():
            s = SQLiteMemoryStore(sys.argv[1])
            await s.create_conversation("crash", "t")
            i = 0
            while True:
                i += 1
                calls = [{"id": f"c{i}", "name": "t", "arguments": {"i": i}}]
                mid = await s.add_message("crash", "assistant", content=f"m{i}", tool_calls=calls)
                sys.stdout.write(f"{mid} {i}\\n")  # one write: whole lines even when unbuffered
                sys.stdout.flush()
        asyncio.run(main())
    """, path)
    reported: list[tuple[int, int]] = []
    try:
        assert child.stdout is not None
        for line in child.stdout:
            reported.append(tuple(map(int, line.split())))
            if len(reported) >= 60:
                break
        child.kill()  # SIGKILL on POSIX, TerminateProcess on Windows: no clean-up runs
        child.wait(timeout=30)
        # Drain anything written before the kill: it was acknowledged too. A line the kill cut
        # short was not (the write was still under way), so only finished lines count.
        for line in child.stdout.read().split("\n")[:-1]:
            if line.strip():
                reported.append(tuple(map(int, line.split())))
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == (1 if sys.platform == "win32" else -9)  # killed, not exited
    assert len(reported) >= 60

    s = SQLiteMemoryStore(path)
    try:
        msgs = {m["id"]: m for m in run(s.get_messages("crash"))}
    finally:
        s.close_sync()
    for mid, i in reported:
        assert msgs[mid]["content"] == f"m{i}"
        assert msgs[mid]["tool_calls"] == [{"id": f"c{i}", "name": "t", "arguments": {"i": i}}]
