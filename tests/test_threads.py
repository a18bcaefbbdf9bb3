"""Plain operations called from several threads at once must not crash the
process (the modules are meant for the event-loop thread, but a host may do
this)."""

from __future__ import annotations

import sys
import threading

from _collab import merge_built, seek_press_module

from zorvane.core import conversation
from zorvane.core.conversation import ConversationManager

THREADS = 8
ROUNDS = 3000


def hammer(work):
    errors: list[BaseException] = []
    start = threading.Barrier(THREADS)

    def run(k):
        try:
            start.wait()
            for i in range(ROUNDS):
                work(k, i)
        except BaseException as exc:  # noqa: B036 - reported below
            errors.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    try:
        threads = [threading.Thread(target=run, args=(k,)) for k in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []


def test_constructors_and_conversation_id_from_threads():
    shared = ConversationManager(object())
    sp = seek_press_module()

    def work(k, i):
        m = ConversationManager(object(), i + 0.5, None, None)
        assert m._context_window == i
        m._active_conversation_id = f"{k}-{i}"
        assert m.conversation_id == f"{k}-{i}"
        shared._active_conversation_id = None if i % 2 else f"t{k}"
        shared.conversation_id  # any thread's value, never a crash
        if sp is not None:
            s = sp.SeekPress(object(), object())
            assert s._mouse is not None
        coro = m.get_summary()
        coro.close()

    hammer(work)


def test_merge_summaries_from_threads():
    if not merge_built():
        return
    old = {"summary": "old", "goals": ["a", "b"], "key_facts": ["f"], "key_decisions": [], "progress": ["p"],
           "summarized_up_to": 3, "message_count": 10, "summarized_count": 3}

    def work(k, i):
        new = {"summary": f"n{i}", "goals": ["b", f"g{k}"], "key_facts": [], "key_decisions": [f"d{i}"],
               "progress": ["p", "q"], "summarized_up_to": 5, "message_count": 12, "summarized_count": 5}
        merged = conversation._merge_summaries(old, new)
        assert isinstance(merged, dict)

    hammer(work)
