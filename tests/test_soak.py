"""Soak: one manager and one SeekPress, many concurrent operations across 50
conversations on stores that suspend for random short delays; afterwards the
stored summaries and markers are consistent, nothing is lost, memory is flat."""

from __future__ import annotations

import asyncio
import gc
import random
import sys

import pytest

from _collab import operation_built, seek_press_module

from zorvane.core.conversation import ConversationManager
from zorvane.core.memory import MemoryStore

pytestmark = pytest.mark.slow

CONVERSATIONS = 50
TASKS = 1000


class SlowStore(MemoryStore):
    """The in-memory store with a random short suspension in every call, and a
    record of every summary saved."""

    def __init__(self, rng):
        super().__init__()
        self.rng = rng
        self.saved: list[tuple[str, dict]] = []

    async def _pause(self):
        await asyncio.sleep(self.rng.random() * 0.002)

    async def add_message(self, conv_id, role, **kw):
        await self._pause()
        return await super().add_message(conv_id, role, **kw)

    async def get_messages(self, conv_id, **kw):
        await self._pause()
        return await super().get_messages(conv_id, **kw)

    async def get_facts(self, **kw):
        await self._pause()
        return await super().get_facts(**kw)

    async def get_conversation_summary(self, conv_id):
        await self._pause()
        return await super().get_conversation_summary(conv_id)

    async def save_conversation_summary(self, conv_id, summary):
        await self._pause()
        self.saved.append((conv_id, dict(summary)))
        await super().save_conversation_summary(conv_id, summary)


class Summarizer:
    def __init__(self, rng):
        self.rng = rng

    async def summarize_messages(self, messages, existing_summary=None):
        await asyncio.sleep(self.rng.random() * 0.002)
        conv = {m["content"].split(":")[0] for m in messages if isinstance(m.get("content"), str)}
        return {"summary": ",".join(sorted(conv)), "goals": sorted(conv), "key_facts": [], "key_decisions": [],
                "progress": [m["id"] for m in messages]}

    def format_summary_for_context(self, summary):
        return summary.get("summary", "")


def test_soak_nothing_lost():
    run_soak(check_summaries=False, check_markers=False)


@pytest.mark.parametrize("seed", [1234, 7, 2026])
def test_soak_summaries_stay_with_their_conversation_and_markers_never_move_back(seed):
    run_soak(check_summaries=True, check_markers=True, seed=seed)


def run_soak(check_summaries, check_markers, seed=1234):
    rng = random.Random(seed)
    store = SlowStore(rng)
    manager = ConversationManager(store, 4, None, Summarizer(rng))
    has_build = operation_built(lambda: manager.build_messages())
    convs = [f"conv{i:02d}" for i in range(CONVERSATIONS)]

    async def one(i):
        conv = rng.choice(convs)
        # each task works on its own conversation: resume it, record, build
        # other tasks switch the active conversation whenever this one is
        # suspended: make it this task's before each operation starts
        await manager.resume_conversation(conv)
        await asyncio.sleep(0)
        manager._active_conversation_id = conv
        await manager.add_user_message(f"{conv}:u{i}")
        if rng.random() < 0.3:
            manager._active_conversation_id = conv
            await manager.add_tool_result(f"call{i}", f"{conv}:t{i}")
        if has_build and rng.random() < 0.6:
            await manager.resume_conversation(conv)
            await manager.build_messages()

    async def scenario():
        for round_ in range(2):
            await asyncio.gather(*(one(round_ * TASKS + i) for i in range(TASKS)))

    asyncio.run(scenario())

    # nothing lost: every recording is in its own conversation's history
    total = sum(len(v) for v in store.messages.values())
    assert total == store._next_id - 1
    for conv, msgs in store.messages.items():
        assert all(m["content"].startswith(conv + ":") for m in msgs)
        assert [m["id"] for m in msgs] == sorted(m["id"] for m in msgs)
    if has_build and check_summaries:
        assert store.saved, "no summary was saved: the soak did not reach summarisation"
        # every summary belongs to its conversation; markers never move backwards
        marker: dict[str, int] = {}
        for conv, summary in store.saved:
            own_ids = {m["id"] for m in store.messages[conv]}
            assert summary["summarized_up_to"] in own_ids
            assert set(summary["goals"]) <= {conv}, (conv, summary["goals"])
            if check_markers:
                assert summary["summarized_up_to"] >= marker.get(conv, 0)
            marker[conv] = summary["summarized_up_to"]


def test_soak_memory_flat():
    rng = random.Random(99)
    store = SlowStore(rng)
    manager = ConversationManager(store, 4, None, Summarizer(rng))
    has_build = operation_built(lambda: manager.build_messages())
    sp = seek_press_module()

    async def one(i):
        conv = f"c{i % 20}"
        await manager.resume_conversation(conv)
        manager._active_conversation_id = conv
        await manager.add_user_message(f"{conv}:x")
        if has_build:
            await manager.build_messages()
        await manager.delete_conversation(conv)

    async def batch():
        await asyncio.gather(*(one(i) for i in range(200)))
        store.saved.clear()

    loop = asyncio.new_event_loop()
    try:
        loop.run_until_complete(batch())
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(5):
            loop.run_until_complete(batch())
        gc.collect()
        after = sys.getallocatedblocks()
    finally:
        loop.close()
    print(f"soak blocks {before} -> {after}")
    assert after - before < 500, (before, after)
    assert sp is None or sp.SeekPress
