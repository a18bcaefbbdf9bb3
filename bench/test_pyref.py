"""The pure-Python renditions checked against the worked examples.

They serve as oracles, so they must be right; each test also runs against
the native module when it imports (build on ZORVANE_BUILD_PKG, host/ on
the path), which makes these differential checks as well, and against the
renditions compiled by Cython once bench/run.py (or bench/cybuild.py) has
built them: the benchmark's Cython column must compute the same results.

    .venv/bin/python -m pytest bench/test_pyref.py
"""

import asyncio
import importlib
import logging
import os
import sys
import time

import pytest

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
for p in (os.environ.get("ZORVANE_BUILD_PKG"), os.path.join(ROOT, "host"), BENCH):
    if p and p not in sys.path:
        sys.path.insert(0, p)

import cybuild  # noqa: E402
import stores  # noqa: E402

_cython_dir = cybuild.built()
if _cython_dir and _cython_dir not in sys.path:
    sys.path.insert(0, _cython_dir)


def _impls(native_name, py_name):
    params = [pytest.param(py_name, id="python")]
    cy_name = py_name.replace("pyref.", cybuild.PACKAGE + ".")
    params.append(pytest.param(cy_name, id="cython", marks=() if _cython_dir else pytest.mark.skip(
        reason="no Cython build of pyref yet (bench/cybuild.py builds it)")))
    try:
        importlib.import_module(native_name)
        params.append(pytest.param(native_name, id="native"))
    except Exception:
        params.append(pytest.param(native_name, id="native",
                                   marks=pytest.mark.skip(reason="native module does not import")))
    return params


@pytest.fixture(params=_impls("zorvane.core.conversation", "pyref.conversation"))
def conv(request):
    return importlib.import_module(request.param)


@pytest.fixture(params=_impls("zorvane.pc.seek_press", "pyref.seek_press"))
def sp(request):
    return importlib.import_module(request.param)


def run(coro):
    return asyncio.run(coro)


CONV = "c1"


def manager(conv, messages, window=20, summarizer=None, planner=None, facts=()):
    store = stores.MemoryStore()
    store.load(CONV, messages)
    store.facts = list(facts)
    mgr = conv.ConversationManager(store, window, planner, summarizer)
    run(mgr.resume_conversation(CONV))
    return mgr, store


def msg(role, content=None, tool_calls=None, tool_call_id=None):
    return {"role": role, "content": content, "tool_calls": tool_calls, "tool_call_id": tool_call_id}


# -- build_messages -------------------------------------------------------------

WORKED = [
    msg("user", "list files"),
    msg("assistant", None, [{"id": "call_1", "name": "shell", "arguments": {"cmd": "ls"}}]),
    msg("tool", "a.txt", tool_call_id="call_1"),
    msg("assistant", "Found one file."),
]


@pytest.mark.parametrize("window,expected", [
    (4, [
        {"role": "user", "content": "list files"},
        {"role": "assistant", "content": "", "tool_calls": [
            {"id": "call_1", "type": "function", "function": {"name": "shell", "arguments": '{"cmd": "ls"}'}}]},
        {"role": "tool", "content": "a.txt", "tool_call_id": "call_1"},
        {"role": "assistant", "content": "Found one file."},
    ]),
    (2, [{"role": "assistant", "content": "Found one file."}]),
])
def test_worked_message_array(conv, window, expected):
    mgr, _ = manager(conv, WORKED, window=window)
    out = run(mgr.build_messages())
    assert out[0] == {"role": "system", "content": conv.SYSTEM_PROMPT}
    assert out[1:] == expected
    assert [list(e) for e in out[1:]] == [list(e) for e in expected]  # key order


def test_missing_result_drops_calls_and_partial_pairing(conv):
    calls = [{"id": "A", "name": "f", "arguments": "{}"}, {"id": "B", "name": "g", "arguments": {"é": 1}}]
    history = [msg("assistant", None, calls), msg("tool", "", tool_call_id="A"),
               msg("tool", "x", tool_call_id="zzz"), msg("user", ""),
               msg("assistant", "t", [{"id": "C", "name": "h", "arguments": {}}])]
    mgr, _ = manager(conv, history)
    out = run(mgr.build_messages())[1:]
    assert out == [
        {"role": "assistant", "content": "", "tool_calls": [
            {"id": "A", "type": "function", "function": {"name": "f", "arguments": "{}"}}]},
        {"role": "tool", "content": "(no output)", "tool_call_id": "A"},
        {"role": "user"},
        {"role": "assistant", "content": "t"},
    ]


def test_layers_text(conv):
    facts = [{"category": "os", "content": "Windows 11"}, {"category": 3, "content": "prefers dark mode"}]
    summ = stores.Summarizer(text="  summary text\n")
    mgr, store = manager(conv, WORKED[:1], summarizer=summ, planner=stores.Planner(text="plan"), facts=facts)
    mgr._current_summary = {"summary": "s"}
    out = run(mgr.build_messages())
    assert [e["content"] for e in out[1:4]] == [
        "  summary text\n",
        "Current execution plan:\n\nplan",
        "Known facts about the user and their environment:\n- [os] Windows 11\n- [3] prefers dark mode",
    ]


# -- _maybe_summarize -------------------------------------------------------------

def _history(n):
    return [msg("user", "m%d" % i) for i in range(n)]


def test_worked_summarisation_sequence(conv, caplog):
    summ = stores.Summarizer()
    mgr, store = manager(conv, _history(30), summarizer=summ)
    with caplog.at_level(logging.INFO, logger="zorvane.conversation"):
        run(mgr._maybe_summarize())
        assert summ.calls == 0
        store.load(CONV, _history(1))
        run(mgr._maybe_summarize())
        saved = store.summaries[CONV]
        assert (saved["summarized_up_to"], saved["message_count"], saved["summarized_count"]) == (11, 31, 11)
        assert mgr._summarized_up_to == 11
        store.load(CONV, _history(2))
        run(mgr._maybe_summarize())
    saved = store.summaries[CONV]
    assert (saved["summarized_up_to"], saved["message_count"], saved["summarized_count"]) == (13, 33, 13)
    assert saved["progress"] == ["summarised 11", "summarised 2"]
    infos = [r.getMessage() for r in caplog.records if r.name == "zorvane.conversation"]
    assert infos[0] == "Summarizing 11 messages (total: 31, window: 20)"
    assert infos[2] == "Summarizing 2 messages (total: 33, window: 20)"


def test_failing_summarizer_logged_and_retried(conv, caplog):
    class Broken(stores.Summarizer):
        async def summarize_messages(self, messages, existing_summary=None):
            self.calls += 1
            raise ValueError("boom")

    summ = Broken()
    mgr, store = manager(conv, _history(31), summarizer=summ)
    with caplog.at_level(logging.INFO, logger="zorvane.conversation"):
        run(mgr.build_messages())
        run(mgr.build_messages())
    errors = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert [r.getMessage() for r in errors] == ["Summarization failed: boom"] * 2
    assert errors[0].exc_info is not None
    assert summ.calls == 2 and mgr._summarized_up_to == 0 and CONV not in store.summaries


def test_pass_bound_to_fetched_conversation(conv):
    """The conversation is switched while the summarizer is suspended."""
    gate = None

    class Slow(stores.Summarizer):
        async def summarize_messages(self, messages, existing_summary=None):
            await gate.wait()
            return {"summary": "A", "progress": ["a2"]}

    async def scenario():
        nonlocal gate
        gate = asyncio.Event()
        store = stores.MemoryStore()
        store.load("A", _history(31))
        store.summaries["A"] = {"summary": "old A", "progress": ["a1"], "summarized_up_to": 0}
        store.summaries["B"] = {"summary": "B", "progress": ["b1"], "summarized_up_to": 5}
        mgr = conv.ConversationManager(store, 20, None, Slow())
        await mgr.resume_conversation("A")
        task = asyncio.ensure_future(mgr._maybe_summarize())
        await asyncio.sleep(0)
        await mgr.resume_conversation("B")
        gate.set()
        await task
        return mgr, store

    mgr, store = run(scenario())
    assert store.summaries["A"]["progress"] == ["a1", "a2"]
    assert store.summaries["A"]["summarized_up_to"] == 11
    assert store.summaries["B"] == {"summary": "B", "progress": ["b1"], "summarized_up_to": 5}
    assert mgr._current_summary is store.summaries["B"] and mgr._summarized_up_to == 5


# -- _merge_summaries ---------------------------------------------------------------

@pytest.mark.parametrize("key,old,new,expected", [
    ("progress", ["p1", "p2", "p3"], ["q1", "q2"], ["p1", "p2", "p3", "q1", "q2"]),
    ("progress", ["p1", "q1"], ["q1", "q2"], ["p1", "q1", "q2"]),
    ("progress", ["p1", "p1"], [], ["p1", "p1"]),
    ("goals", ["g1", "g2"], ["g2", "g3"], ["g1", "g2", "g3"]),
    ("key_facts", ["f2", "f1", "f2"], ["f1", "f3"], ["f2", "f1", "f3"]),
    ("key_decisions", ["d1", "d2"], ["d2", "d3", "d1"], ["d1", "d2", "d3"]),
])
def test_merge_lists(conv, key, old, new, expected):
    new_d = {key: new}
    new_copy = list(new)
    merged = conv._merge_summaries({key: old}, new_d)
    assert merged[key] == expected
    assert new_d[key] == new_copy and merged[key] is not new_d[key]


def test_merge_keys_and_errors(conv):
    merged = conv._merge_summaries({"summary": "o", "summarized_up_to": 4, "x": 1},
                                   {"progress": [], "summarized_up_to": 13})
    assert list(merged) == ["progress", "summarized_up_to", "goals", "key_facts", "key_decisions"]
    assert merged["summarized_up_to"] == 13
    for old, new in [(None, {}), ({}, []), ({"goals": None}, {}), ({"progress": [["x"]]}, {"progress": ["y"]})]:
        with pytest.raises(TypeError):
            conv._merge_summaries(old, new)


# -- click_text -------------------------------------------------------------------

@pytest.fixture
def clock(monkeypatch):
    c = stores.VirtualClock()
    monkeypatch.setattr(time, "time", c.time)
    monkeypatch.setattr(asyncio, "sleep", c.sleep)
    return c


def _drive(coro):
    try:
        coro.send(None)
    except StopIteration as e:
        return e.value
    raise AssertionError("suspended")


@pytest.mark.parametrize("misses,kw,attempts,elapsed", [
    (0, {}, 1, 0.0),
    (3, {}, 4, 3.0),
    (5, {}, 6, 4.0),  # the pause before the deadline is skipped
])
def test_click_text_found(sp, clock, misses, kw, attempts, elapsed):
    t0 = clock.now
    res = _drive(sp.SeekPress(stores.Mouse(), stores.Screen(misses)).click_text("OK", **kw))
    assert list(res) == ["success", "target", "clicked_at", "match", "attempts", "click"]
    assert res["clicked_at"] == (120, 60) and res["attempts"] == attempts
    assert clock.now - t0 == elapsed


def test_click_text_not_found(sp, monkeypatch):
    # start, test, retry test, test, retry test (1.5 + 1 >= 2: no pause), test
    ticks = iter([0.0, 0.0, 0.0, 1.5, 1.5, 3.0])
    monkeypatch.setattr(time, "time", lambda: next(ticks))
    slept = []

    async def sleep(d):
        slept.append(d)
    monkeypatch.setattr(asyncio, "sleep", sleep)
    res = _drive(sp.SeekPress(stores.Mouse(), stores.Screen(10)).click_text("it's", timeout=2.0))
    assert res == {"success": False, "target": "it's",
                   "error": "Text 'it's' not found on screen after 2 attempts", "attempts": 2}
    assert slept == [1.0]


def test_click_near_text_and_color(sp):
    s = sp.SeekPress(stores.Mouse(), stores.Screen(0))
    res = _drive(s.click_near_text("OK", offset_y=30.9))
    assert (res["offset"], res["clicked_at"]) == ((0, 30), (120, 90))
    res = _drive(s.click_color("#00ff00"))
    assert list(res) == ["success", "color", "clicked_at", "click"] and res["clicked_at"] == (40, 75)
