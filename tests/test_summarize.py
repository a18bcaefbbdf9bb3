"""ConversationManager._maybe_summarize: the summarisation pass that runs at
the start of every build_messages."""

import asyncio
import inspect
import logging

import pytest

from zorvane.core import conversation as conv
from zorvane.core.memory import MemoryStore

LOGGER = "zorvane.conversation"
SUMMARIZING = "Summarizing %d messages (total: %d, window: %d)"
UPDATED = "Summary updated: %d goals, %d facts, %d progress items"


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)

    def lines(self):
        return [(r.levelname, r.msg, r.args) for r in self.records]


@pytest.fixture
def log():
    handler = Records()
    logger = logging.getLogger(LOGGER)
    old_level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    yield handler
    logger.removeHandler(handler)
    logger.setLevel(old_level)


class Store(MemoryStore):
    """The in-memory store with a call log, and points where a test can hold
    a call (an asyncio.Event in `gates`) or make it fail (`failures`)."""

    def __init__(self):
        super().__init__()
        self.calls = []
        self.gates = {}
        self.failures = {}

    async def _hook(self, name, *args):
        self.calls.append((name,) + args)
        if name in self.gates:
            await self.gates[name].wait()
        if name in self.failures:
            raise self.failures[name]

    async def get_messages(self, conv_id, *, limit=None):
        await self._hook("get_messages", conv_id, limit)
        return await super().get_messages(conv_id, limit=limit)

    async def get_facts(self, *, limit=10):
        self.calls.append(("get_facts",))
        return []

    async def save_conversation_summary(self, conv_id, summary):
        await self._hook("save", conv_id)
        await super().save_conversation_summary(conv_id, summary)

    def load(self, conv_id, n, ids=None):
        """Append n user messages (ids given, or the store's own)."""
        history = self.messages.setdefault(conv_id, [])
        for i in range(n):
            if ids is None:
                mid, self._next_id = self._next_id, self._next_id + 1
            else:
                mid = ids[i]
            history.append({"id": mid, "role": "user", "content": "m%s" % mid, "tool_calls": None,
                            "tool_call_id": None})


class Summarizer:
    """Answers pass n with {"summary": "sn", "goals": ["gn"], "progress": ["pn"]}
    unless told otherwise; `gate` holds every call until it is set."""

    def __init__(self, result=None, error=None, gate=None):
        self.calls, self.results = [], []
        self.result, self.error, self.gate = result, error, gate

    async def summarize_messages(self, messages, existing_summary=None):
        self.calls.append(([m["id"] for m in messages], existing_summary))
        n = len(self.calls)
        if self.gate is not None:
            await self.gate.wait()
        if self.error is not None:
            raise self.error
        out = {"summary": "s%d" % n, "goals": ["g%d" % n], "progress": ["p%d" % n]}
        if self.result is not None:
            out = self.result() if callable(self.result) else self.result
        self.results.append(out)
        return out

    def format_summary_for_context(self, summary):
        return summary.get("summary", "")


def manager(n, window=20, summarizer=None, conv_id="c1"):
    store = Store()
    store.load(conv_id, n)
    summarizer = summarizer if summarizer is not None else Summarizer()
    mgr = conv.ConversationManager(store, window, None, summarizer)
    mgr._active_conversation_id = conv_id
    return mgr, store, summarizer


def run(coro):
    return asyncio.run(coro)


def drive(coro):
    """Runs a coroutine whose collaborators never suspend, without a loop."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the coroutine suspended")


def test_worked_sequence(log):
    mgr, store, summ = manager(30)
    out = run(mgr.build_messages())
    assert summ.calls == [] and log.records == [] and len(out) == 21
    assert ("get_messages", "c1", None) in store.calls

    store.load("c1", 1)
    out = run(mgr.build_messages())
    assert summ.calls == [(list(range(1, 12)), None)]
    assert log.lines() == [("INFO", SUMMARIZING, (11, 31, 20)), ("INFO", UPDATED, (1, 0, 1))]
    first = summ.results[0]
    assert list(first) == ["summary", "goals", "progress", "summarized_up_to", "message_count",
                           "summarized_count"]
    assert (first["summarized_up_to"], first["message_count"], first["summarized_count"]) == (11, 31, 11)
    assert mgr._current_summary is first and mgr._summarized_up_to == 11
    assert store.summaries["c1"] == first
    assert out[1] == {"role": "system", "content": "s1"} and len(out) == 22

    store.load("c1", 2)
    run(mgr.build_messages())
    assert summ.calls[1] == ([12, 13], "s1")
    assert log.lines()[2] == ("INFO", SUMMARIZING, (2, 33, 20))
    merged = mgr._current_summary
    assert (merged["summarized_up_to"], merged["message_count"], merged["summarized_count"]) == (13, 33, 13)
    assert merged["goals"] == ["g1", "g2"] and merged["progress"] == ["p1", "p2"]
    assert store.summaries["c1"] == merged and mgr._summarized_up_to == 13

    # Nothing new before the window: no call.
    run(mgr.build_messages())
    assert len(summ.calls) == 2 and len(log.records) == 4


@pytest.mark.parametrize("window,total,expected", [
    (0, 5, None),
    (21, 31, None),
    (21, 32, list(range(1, 12))),
    (1, 2, [1]),
    (1, 1, None),
])
def test_threshold(log, window, total, expected):
    mgr, store, summ = manager(total, window)
    run(mgr._maybe_summarize())
    assert summ.calls == ([(expected, None)] if expected else [])
    assert len(log.records) == (2 if expected else 0)


def test_resumed_conversation(log):
    store = Store()
    store.load("c1", 65)
    store.summaries["c1"] = {"summary": "old", "goals": ["g0", "g1"], "summarized_up_to": 40}
    summ = Summarizer()
    mgr = conv.ConversationManager(store, 20, None, summ)
    run(mgr.resume_conversation("c1"))
    run(mgr._maybe_summarize())
    assert summ.calls == [([41, 42, 43, 44, 45], "old")]
    saved = store.summaries["c1"]
    assert (saved["summarized_up_to"], saved["message_count"], saved["summarized_count"]) == (45, 65, 45)
    assert saved["goals"] == ["g0", "g1"] and saved["summary"] == "s1"
    assert log.lines()[0] == ("INFO", SUMMARIZING, (5, 65, 20))


@pytest.mark.parametrize("current,existing", [
    ({"summary": "text"}, "text"),
    ({"summary": ""}, None),
    ({"goals": ["x"]}, None),
    (None, None),
    ({}, None),
])
def test_existing_summary_text(current, existing):
    mgr, store, summ = manager(31)
    mgr._current_summary = current
    run(mgr._maybe_summarize())
    assert summ.calls[0][1] == existing
    if not current:  # no merge: the summarizer's dictionary itself is kept
        assert mgr._current_summary is summ.results[0]
    else:
        assert mgr._current_summary is not summ.results[0]


def test_summary_updated_counts_missing_keys_as_zero(log):
    mgr, _, _ = manager(31, summarizer=Summarizer(result={"summary": "x", "key_facts": ["a", "b"]}))
    run(mgr._maybe_summarize())
    assert log.lines()[1] == ("INFO", UPDATED, (0, 2, 0))


def _assert_one_error(log, text, exc_type):
    errors = [r for r in log.records if r.levelno == logging.ERROR]
    assert len(errors) == 1
    record = errors[0]
    if text.endswith(": "):
        assert record.getMessage().startswith(text)
    else:
        assert record.getMessage() == text
    assert record.args == ()
    assert record.exc_info[0] is exc_type and isinstance(record.exc_info[1], exc_type)
    assert record.exc_info[2] is not None
    return record


def test_failing_summarizer(log):
    boom = ValueError("boom")
    mgr, store, summ = manager(31, summarizer=Summarizer(error=boom))
    before = {"summary": "keep", "goals": ["g"]}
    mgr._current_summary = before
    out = run(mgr.build_messages())
    record = _assert_one_error(log, "Summarization failed: boom", ValueError)
    assert record.exc_info[1] is boom
    assert mgr._current_summary is before and mgr._summarized_up_to == 0 and store.summaries == {}
    assert out[1]["content"] == "keep" and len(out) == 22
    run(mgr.build_messages())  # the same messages are tried again
    assert [c[0] for c in summ.calls] == [list(range(1, 12))] * 2
    assert [r.levelname for r in log.records] == ["INFO", "ERROR", "INFO", "ERROR"]


class NotADict:
    def __bool__(self):
        return True

    def get(self, key):
        return "text"

    def __getitem__(self, key):
        return "from getitem"


@pytest.mark.parametrize("result,current,error", [
    (None, None, TypeError),  # step 13 cannot write into None
    ([], None, TypeError),
    ("text", None, TypeError),
    (lambda: {"goals": ["x"]}, {"goals": None}, TypeError),  # the merge rejects None
    (lambda: {"progress": [["x"]]}, {"progress": ["y"]}, TypeError),
    (lambda: {}, ["not", "a", "dict"], AttributeError),  # the running summary has no get
    (lambda: {}, NotADict(), TypeError),  # the merge rejects a non-dict running summary
])
def test_malformed_summaries_are_logged(log, result, current, error):
    summ = Summarizer(result=result if callable(result) else (lambda: result))
    mgr, store, _ = manager(31, summarizer=summ)
    mgr._current_summary = current
    run(mgr._maybe_summarize())
    _assert_one_error(log, "Summarization failed: ", error)
    assert mgr._current_summary is current and mgr._summarized_up_to == 0 and store.summaries == {}


def test_running_summary_read_through_get_and_subscript():
    summ = Summarizer()
    mgr, _, _ = manager(31, summarizer=summ)
    mgr._current_summary = NotADict()
    run(mgr._maybe_summarize())
    assert summ.calls[0][1] == "from getitem"


def test_store_failure_on_saving_is_logged(log):
    mgr, store, _ = manager(31)
    store.failures["save"] = OSError("disk full")
    run(mgr._maybe_summarize())
    _assert_one_error(log, "Summarization failed: disk full", OSError)
    assert mgr._current_summary is None and mgr._summarized_up_to == 0


def test_failure_in_the_last_log_line_after_saving(log):
    mgr, store, summ = manager(31, summarizer=Summarizer(result={"goals": 5}))
    run(mgr._maybe_summarize())
    _assert_one_error(log, "Summarization failed: object of type 'int' has no len()", TypeError)
    assert mgr._current_summary is summ.results[0] and mgr._summarized_up_to == 11
    assert store.summaries["c1"]["summarized_up_to"] == 11


class Incomparable:
    pass


@pytest.mark.parametrize("setup,error", [
    (lambda mgr, store: store.failures.__setitem__("get_messages", OSError("gone")), OSError),
    (lambda mgr, store: setattr(mgr, "_context_window", "20"), TypeError),
    (lambda mgr, store: setattr(mgr, "_context_window", None), TypeError),
    (lambda mgr, store: store.messages["c1"][3].pop("id"), KeyError),
    (lambda mgr, store: setattr(mgr, "_summarized_up_to", "0"), TypeError),
    (lambda mgr, store: store.messages["c1"][0].__setitem__("id", Incomparable()), TypeError),
])
def test_unprotected_failures_propagate(log, setup, error):
    mgr, store, summ = manager(31)
    setup(mgr, store)
    marker = mgr._summarized_up_to
    with pytest.raises(error):
        run(mgr.build_messages())
    assert summ.calls == [] and log.records == [] and mgr._summarized_up_to == marker
    assert mgr._current_summary is None


def test_first_log_line_failure_propagates(monkeypatch):
    class BadLogger:
        def info(self, *args):
            raise RuntimeError("logging broke")

    monkeypatch.setattr(conv, "logger", BadLogger())
    mgr, _, summ = manager(31)
    with pytest.raises(RuntimeError, match="logging broke"):
        run(mgr._maybe_summarize())
    assert summ.calls == []


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), asyncio.CancelledError(),
                                 GeneratorExit()])
def test_non_ordinary_exceptions_propagate(log, exc):
    mgr, store, _ = manager(31, summarizer=Summarizer(error=exc))
    with pytest.raises(type(exc)):
        drive(mgr._maybe_summarize())
    assert log.records[-1].levelname == "INFO" and mgr._summarized_up_to == 0 and store.summaries == {}


@pytest.mark.parametrize("where", ["summarizer", "save", "get_messages"])
def test_cancellation_propagates_with_state_unchanged(log, where):
    async def scenario():
        gate = asyncio.Event()
        summ = Summarizer(gate=gate if where == "summarizer" else None)
        mgr, store, _ = manager(31, summarizer=summ)
        if where != "summarizer":
            store.gates[where] = gate
        task = asyncio.ensure_future(mgr.build_messages())
        for _ in range(5):
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return mgr, store

    mgr, store = run(scenario())
    assert mgr._current_summary is None and mgr._summarized_up_to == 0 and store.summaries == {}
    assert [r.levelname for r in log.records] == ([] if where == "get_messages" else ["INFO"])


def _two_conversations(summary_a):
    store = Store()
    store.load("A", 31)
    store.load("B", 3)
    if summary_a is not None:
        store.summaries["A"] = summary_a
    store.summaries["B"] = {"summary": "B0", "goals": ["gb"], "summarized_up_to": 5}
    return store


@pytest.mark.parametrize("summary_a", [None, {"summary": "A0", "goals": ["ga"], "progress": ["pa"],
                                              "summarized_up_to": 0}])
@pytest.mark.parametrize("switch", ["resume", "start"])
def test_pass_bound_to_the_fetched_conversation(summary_a, switch):
    async def scenario():
        gate = asyncio.Event()
        store = _two_conversations(summary_a)
        summ = Summarizer(gate=gate)
        mgr = conv.ConversationManager(store, 20, None, summ)
        await mgr.resume_conversation("A")
        task = asyncio.ensure_future(mgr._maybe_summarize())
        await asyncio.sleep(0)
        assert len(summ.calls) == 1
        if switch == "resume":
            await mgr.resume_conversation("B")
        else:
            await mgr.start_conversation()
        state = (mgr._active_conversation_id, mgr._current_summary, mgr._summarized_up_to)
        gate.set()
        await task
        return mgr, store, summ, state

    mgr, store, summ, state = run(scenario())
    assert (mgr._active_conversation_id, mgr._current_summary, mgr._summarized_up_to) == state
    assert state[1] is None or state[1]["summary"] == "B0"
    saved = store.summaries["A"]
    assert saved["summarized_up_to"] == 11 and saved["summary"] == "s1"
    if summary_a is None:
        assert saved["goals"] == ["g1"] and "key_facts" not in saved
    else:
        assert summ.calls[0][1] == "A0"
        assert saved["goals"] == ["ga", "g1"] and saved["progress"] == ["pa", "p1"]
    assert store.summaries["B"] == {"summary": "B0", "goals": ["gb"], "summarized_up_to": 5}


def test_switch_during_fetch_uses_the_fetched_conversations_marker():
    async def scenario():
        gate = asyncio.Event()
        store = _two_conversations({"summary": "A0", "summarized_up_to": 7})
        store.load("B", 40)
        mgr = conv.ConversationManager(store, 20, None, Summarizer())
        await mgr.resume_conversation("A")
        store.gates["get_messages"] = gate
        task = asyncio.ensure_future(mgr._maybe_summarize())
        await asyncio.sleep(0)
        await mgr.resume_conversation("B")
        gate.set()
        await task
        return mgr, store

    mgr, store = run(scenario())
    summ = mgr._summarizer
    assert summ.calls == [([8, 9, 10, 11], "A0")]
    assert mgr._summarized_up_to == 5 and store.summaries["A"]["summarized_up_to"] == 11


def test_switch_away_and_back_merges_into_the_active_summary():
    async def scenario():
        gate = asyncio.Event()
        store = _two_conversations({"summary": "A0", "goals": ["ga"], "summarized_up_to": 0})
        mgr = conv.ConversationManager(store, 20, None, Summarizer(gate=gate))
        await mgr.resume_conversation("A")
        task = asyncio.ensure_future(mgr._maybe_summarize())
        await asyncio.sleep(0)
        await mgr.resume_conversation("B")
        await mgr.resume_conversation("A")
        mgr._current_summary["goals"].append("added meanwhile")
        gate.set()
        await task
        return mgr, store

    mgr, store = run(scenario())
    assert mgr._current_summary["goals"] == ["ga", "added meanwhile", "g1"]
    assert mgr._summarized_up_to == 11 and store.summaries["A"] == mgr._current_summary


def test_overlapping_builds_merge_into_each_other(log):
    async def scenario():
        gate = asyncio.Event()
        mgr, store, summ = manager(31, summarizer=Summarizer(gate=gate))
        first = asyncio.ensure_future(mgr.build_messages())
        second = asyncio.ensure_future(mgr.build_messages())
        await asyncio.sleep(0)
        gate.set()
        return mgr, store, summ, await first, await second

    mgr, store, summ, out1, out2 = run(scenario())
    assert [c[0] for c in summ.calls] == [list(range(1, 12))] * 2
    final = mgr._current_summary
    assert final["goals"] == ["g1", "g2"] and final["progress"] == ["p1", "p2"] and final["summary"] == "s2"
    assert store.summaries["c1"] == final and mgr._summarized_up_to == 11
    assert [c[0] for c in store.calls].count("save") == 2
    assert out1[1]["content"] == "s1" and out2[1]["content"] == "s2"
    assert [r.msg for r in log.records] == [SUMMARIZING, SUMMARIZING, UPDATED, UPDATED]


def test_logger_and_merge_looked_up_at_use(monkeypatch):
    seen = []

    class FakeLogger:
        def info(self, *args, **kwargs):
            seen.append(("info", args, kwargs))

        def error(self, *args, **kwargs):
            seen.append(("error", args, kwargs))

    def fake_merge(old, new):
        seen.append(("merge", old, new))
        return {"merged": True}

    mgr, store, summ = manager(31)
    mgr._current_summary = {"summary": "x"}
    monkeypatch.setattr(conv, "logger", FakeLogger())
    monkeypatch.setattr(conv, "_merge_summaries", fake_merge)
    run(mgr._maybe_summarize())
    assert seen[0] == ("info", (SUMMARIZING, 11, 31, 20), {})
    assert seen[1][0] == "merge" and seen[1][2] is summ.results[0]
    assert seen[2] == ("info", (UPDATED, 0, 0, 0), {})
    assert mgr._current_summary == {"merged": True} == store.summaries["c1"]

    summ.error = ValueError("v")
    store.load("c1", 1)
    run(mgr._maybe_summarize())
    kind, args, kwargs = seen[-1]
    assert kind == "error" and args == ("Summarization failed: v",) and kwargs["exc_info"] is summ.error


@pytest.mark.parametrize("ids,marker,expected", [
    ([2**64 + i for i in range(1, 32)], 2**64 + 5, [2**64 + i for i in range(6, 12)]),
    ([-(2**70) + i for i in range(31)], -(2**70) + 8, [-(2**70) + i for i in range(9, 11)]),
    (list(range(1, 32)), 5.5, [6, 7, 8, 9, 10, 11]),
    ([float(i) for i in range(1, 32)], 9, [10.0, 11.0]),
    (list(range(1, 32)), 2**80, None),
    ([True] + list(range(2, 32)), 0, [True] + list(range(2, 12))),
])
def test_ids_compare_as_python_values(ids, marker, expected):
    store = Store()
    store.load("c1", 31, ids=ids)
    summ = Summarizer()
    mgr = conv.ConversationManager(store, 20, None, summ)
    mgr._active_conversation_id = "c1"
    mgr._summarized_up_to = marker
    run(mgr._maybe_summarize())
    assert summ.calls == ([(expected, None)] if expected else [])


@pytest.mark.parametrize("summarizer,active", [(None, "c1"), (Summarizer(), None), (Summarizer(), "")])
def test_nothing_fetched_without_summarizer_or_conversation(summarizer, active):
    store = Store()
    mgr = conv.ConversationManager(store, 20, None, summarizer)
    mgr._active_conversation_id = active
    assert drive(mgr._maybe_summarize()) is None
    assert store.calls == []


def test_interface():
    op = conv.ConversationManager._maybe_summarize
    assert inspect.iscoroutinefunction(op)
    assert op.__doc__ == (
        "Check if we need to summarize old messages and do so if needed.\n\n"
        "        Summarization is triggered when total messages exceed 1.5x the\n"
        "        context window. We summarize the oldest messages, keeping the\n"
        "        most recent context_window messages verbatim.\n        ")
    with pytest.raises(TypeError):
        conv.ConversationManager(Store())._maybe_summarize(1)


@pytest.mark.parametrize("shape", ["copy", "shared", "tuple"])
def test_history_as_handed_over(shape):
    """A store may hand over a fresh list, its own list (which grows while
    the summarizer runs) or another sequence: the pass works on what lay
    before the window when it fetched."""
    class ShapedStore(Store):
        async def get_messages(self, conv_id, *, limit=None):
            history = self.messages[conv_id]
            return {"copy": list, "shared": lambda h: h, "tuple": tuple}[shape](history)

    store = ShapedStore()
    store.load("c1", 33)

    class Growing(Summarizer):
        async def summarize_messages(self, messages, existing_summary=None):
            store.load("c1", 5)
            return await super().summarize_messages(messages, existing_summary)

    summ = Growing()
    mgr = conv.ConversationManager(store, 20, None, summ)
    mgr._active_conversation_id = "c1"
    mgr._summarized_up_to = 10
    run(mgr._maybe_summarize())
    assert summ.calls == [([11, 12, 13], None)]
    saved = store.summaries["c1"]
    assert (saved["summarized_up_to"], saved["message_count"], saved["summarized_count"]) == (13, 33, 13)


# Interleavings on one manager: a resume whose fetch is overtaken by another
# switch, a pass that starts while a resume is still loading, and an older
# pass that finishes after a newer one.

def test_overtaken_resume_leaves_the_later_switchs_state():
    async def scenario():
        store = _two_conversations({"summary": "A0", "summarized_up_to": 7})
        gate = asyncio.Event()
        original = store.get_conversation_summary

        async def slow_for_a(conv_id):
            if conv_id == "A":
                await gate.wait()
            return await original(conv_id)

        store.get_conversation_summary = slow_for_a
        mgr = conv.ConversationManager(store, 20, None, Summarizer())
        first = asyncio.ensure_future(mgr.resume_conversation("A"))
        await asyncio.sleep(0)
        await mgr.resume_conversation("B")
        gate.set()
        await first
        return mgr

    mgr = run(scenario())
    assert mgr._active_conversation_id == "B"
    assert mgr._current_summary["summary"] == "B0" and mgr._summarized_up_to == 5


def test_pass_waits_for_a_resume_still_loading():
    async def scenario():
        store = _two_conversations({"summary": "A0", "summarized_up_to": 7})
        gate = asyncio.Event()
        original = store.get_conversation_summary

        async def held(conv_id):
            await gate.wait()
            return await original(conv_id)

        mgr = conv.ConversationManager(store, 20, None, Summarizer())
        await mgr.resume_conversation("B")
        store.get_conversation_summary = held
        resuming = asyncio.ensure_future(mgr.resume_conversation("A"))
        await asyncio.sleep(0)
        # A is active, but the cached summary is still B's: no pass now.
        await mgr._maybe_summarize()
        calls_while_loading = list(store.calls)
        gate.set()
        await resuming
        await mgr._maybe_summarize()
        return mgr, store, calls_while_loading

    mgr, store, calls_while_loading = run(scenario())
    assert calls_while_loading == []
    assert mgr._summarizer.calls == [([8, 9, 10, 11], "A0")]
    assert store.summaries["A"]["summarized_up_to"] == 11 and mgr._summarized_up_to == 11


def test_older_pass_finishing_last_keeps_the_newer_marker():
    async def scenario():
        mgr, store, summ = manager(31, summarizer=Summarizer(gate=None))
        first_gate, second_gate = asyncio.Event(), asyncio.Event()
        gates = iter([first_gate, second_gate])

        async def summarize(messages, existing_summary=None):
            summ.calls.append(([m["id"] for m in messages], existing_summary))
            n = len(summ.calls)
            await next(gates).wait()
            return {"summary": "s%d" % n, "goals": ["g%d" % n], "progress": ["p%d" % n]}

        summ.summarize_messages = summarize
        older = asyncio.ensure_future(mgr._maybe_summarize())
        await asyncio.sleep(0)
        store.load("c1", 4)  # the newer pass sees 35 messages: 15 before the window
        newer = asyncio.ensure_future(mgr._maybe_summarize())
        await asyncio.sleep(0)
        second_gate.set()
        await newer
        first_gate.set()
        await older
        return mgr, store, summ

    mgr, store, summ = run(scenario())
    assert [c[0] for c in summ.calls] == [list(range(1, 12)), list(range(1, 16))]
    assert mgr._summarized_up_to == 15
    assert store.summaries["c1"]["summarized_up_to"] == 15
    assert mgr._current_summary["goals"] == ["g2", "g1"]
