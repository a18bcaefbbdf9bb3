"""ConversationManager.build_messages: the layers, the conversion of stored
messages and the pairing of tool calls with their results."""

import asyncio
import enum
import importlib
import json
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zorvane.core import conversation as conv
from zorvane.core.memory import MemoryStore

BENCH = Path(__file__).resolve().parent.parent / "bench"


def pyref():
    """The pure-Python rendition of the module, when it is present."""
    if str(BENCH) not in sys.path:
        sys.path.insert(0, str(BENCH))
    try:
        return importlib.import_module("pyref.conversation")
    except ImportError:
        return None


def msg(role, content=None, tool_calls=None, tool_call_id=None):
    return {"role": role, "content": content, "tool_calls": tool_calls, "tool_call_id": tool_call_id}


def call(cid, name="shell", arguments="{}"):
    return {"id": cid, "name": name, "arguments": arguments}


class Store(MemoryStore):
    """The in-memory store with a log of the calls made on it."""

    def __init__(self, history=(), facts=()):
        super().__init__()
        self.calls = []
        self.history = [dict(m, id=i + 1) for i, m in enumerate(history)]
        self.facts = facts if facts is None else list(facts)

    async def get_messages(self, conv_id, *, limit=None):
        self.calls.append(("get_messages", (conv_id,), {"limit": limit} if limit is not None else {}))
        if limit is None:
            return list(self.history)
        return self.history[-limit:] if limit > 0 else []

    async def get_facts(self, **kwargs):
        self.calls.append(("get_facts", (), kwargs))
        return self.facts


class Planner:
    def __init__(self, plan="the plan", text="1. do it"):
        self.plan, self.text, self.calls = plan, text, []

    async def get_active_plan(self, conv_id):
        self.calls.append(("get_active_plan", conv_id))
        return self.plan

    def format_plan_for_context(self, plan):
        self.calls.append(("format_plan_for_context", plan))
        return self.text


class Summarizer:
    def __init__(self, text="summary text"):
        self.text, self.calls = text, []

    async def summarize_messages(self, messages, existing_summary=None):  # pragma: no cover
        raise AssertionError("no pass expected")

    def format_summary_for_context(self, summary):
        self.calls.append(summary)
        return self.text


def build(history=(), window=20, *, facts=(), planner=None, summarizer=None, summary=None, active="c1",
          module=conv):
    store = Store(history, facts)
    mgr = module.ConversationManager(store, window, planner, summarizer)
    mgr._active_conversation_id = active
    mgr._current_summary = summary
    return asyncio.run(mgr.build_messages()), store, mgr


WORKED = [
    msg("user", "list files"),
    msg("assistant", None, [call("call_1", "shell", {"cmd": "ls"})]),
    msg("tool", "a.txt", tool_call_id="call_1"),
    msg("assistant", "Found one file."),
]
WORKED_OUT = [
    {"role": "user", "content": "list files"},
    {"role": "assistant", "content": "", "tool_calls": [
        {"id": "call_1", "type": "function", "function": {"name": "shell", "arguments": '{"cmd": "ls"}'}}]},
    {"role": "tool", "content": "a.txt", "tool_call_id": "call_1"},
    {"role": "assistant", "content": "Found one file."},
]


def ordered(value):
    """A comparable form that also captures the key order of every dict."""
    if isinstance(value, dict):
        return [(k, ordered(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [ordered(v) for v in value]
    return value


def test_worked_example():
    out, store, _ = build(WORKED)
    assert out[0] == {"role": "system", "content": conv.SYSTEM_PROMPT}
    assert ordered(out[1:]) == ordered(WORKED_OUT)
    assert store.calls == [("get_facts", (), {"limit": 10}), ("get_messages", ("c1",), {"limit": 20})]


@pytest.mark.parametrize("history,expected", [
    (WORKED[2:], [WORKED_OUT[3]]),  # the window starts at the tool result
    (WORKED[:2] + WORKED[3:], [WORKED_OUT[0], {"role": "assistant", "content": ""}, WORKED_OUT[3]]),
    # calls A and B, only A answered: A stays
    ([msg("assistant", "x", [call("A"), call("B")]), msg("tool", "ra", tool_call_id="A")],
     [{"role": "assistant", "content": "x", "tool_calls": [
         {"id": "A", "type": "function", "function": {"name": "shell", "arguments": "{}"}}]},
      {"role": "tool", "content": "ra", "tool_call_id": "A"}]),
    # neither answered: the calls go, the content stays
    ([msg("assistant", "x", [call("A"), call("B")])], [{"role": "assistant", "content": "x"}]),
    # an orphan result goes; a fully answered call is unchanged; a result
    # without a call id always stays; order does not matter for pairing
    ([msg("tool", "orphan", tool_call_id="zz"), msg("tool", "r", tool_call_id="A"),
      msg("assistant", None, [call("A")]), msg("tool", "anon")],
     [{"role": "tool", "content": "r", "tool_call_id": "A"},
      {"role": "assistant", "content": "", "tool_calls": [
          {"id": "A", "type": "function", "function": {"name": "shell", "arguments": "{}"}}]},
      {"role": "tool", "content": "anon"}]),
    # an empty tool_call_id counts as absent, a user message cannot answer a call
    ([msg("assistant", "", [call("A")]), msg("tool", "", tool_call_id=""), msg("user", "u", tool_call_id="A")],
     [{"role": "assistant", "content": ""}, {"role": "tool", "content": "(no output)"},
      {"role": "user", "content": "u", "tool_call_id": "A"}]),
])
def test_pairing(history, expected):
    out, _, _ = build(history)
    assert ordered(out[1:]) == ordered(expected)


def test_pairing_with_a_hosts_own_types():
    # roles of a str enum and integer call ids, as an ORM may give them (0 is no id)
    role = enum.StrEnum("Role", {"USER": "user", "ASSISTANT": "assistant", "TOOL": "tool"})
    history = [msg(role.USER, "u"), msg(role.ASSISTANT, None, [call(7), call(8)]),
               msg(role.TOOL, "r7", tool_call_id=7), msg(role.TOOL, "r0", tool_call_id=0)]
    expected = [{"role": "user", "content": "u"},
                {"role": "assistant", "content": "", "tool_calls": [
                    {"id": 7, "type": "function", "function": {"name": "shell", "arguments": "{}"}}]},
                {"role": "tool", "content": "r7", "tool_call_id": 7}, {"role": "tool", "content": "r0"}]
    for module in filter(None, (conv, pyref())):
        out, _, _ = build(history, module=module)
        assert ordered(out[1:]) == ordered(expected)
        assert [type(m["role"]) for m in out[1:]] == [role] * 4


@pytest.mark.parametrize("stored,expected", [
    (msg("tool", "", tool_call_id=None), {"role": "tool", "content": "(no output)"}),
    (msg("assistant", None), {"role": "assistant", "content": ""}),
    (msg("user", ""), {"role": "user"}),
    (msg("user", None), {"role": "user"}),
    (msg("system", 0), {"role": "system"}),
    (msg("user", "hi", [], ""), {"role": "user", "content": "hi"}),
])
def test_content_conversion(stored, expected):
    out, _, _ = build([stored])
    assert ordered(out[1:]) == ordered([expected])


def test_values_are_passed_on_not_copied():
    content, args = "x" * 50, "already json"
    history = [msg("assistant", content, [call("A", arguments=args)]), msg("tool", "r", tool_call_id="A")]
    out1, store, mgr = build(history)
    entry = out1[1]
    assert entry["content"] is content
    assert entry["tool_calls"][0]["function"]["arguments"] is args
    out2 = asyncio.run(mgr.build_messages())
    assert out2 == out1 and out2 is not out1 and out2[1] is not out1[1]


@pytest.mark.parametrize("arguments", [
    {"path": "a.txt", "n": 1},
    {"é": "ü", "emoji": "\U0001f600", "nested": {"l": [1, 2.5, None, True]}, "t": (1, "x")},
    {},
    {1: "int key", None: "none key", 2.5: False, "f": float("nan"), "g": -float("inf")},
    {"big": 2**80, "s": "quote\" back\\ ctl\x01\n"},
])
def test_json_arguments(arguments):
    out, _, _ = build([msg("assistant", None, [call("A", arguments=arguments)]), msg("tool", "r", tool_call_id="A")])
    assert out[1]["tool_calls"][0]["function"]["arguments"] == json.dumps(arguments)


def test_json_arguments_text_of_the_description():
    out, _, _ = build([msg("assistant", None, [call("A", arguments={"path": "a.txt", "n": 1})]),
                       msg("tool", "r", tool_call_id="A")])
    assert out[1]["tool_calls"][0]["function"]["arguments"] == '{"path": "a.txt", "n": 1}'


def test_json_arguments_dict_subclass_and_unserialisable():
    class D(dict):
        pass

    history = [msg("assistant", None, [call("A", arguments=D(k="v"))]), msg("tool", "r", tool_call_id="A")]
    out, _, _ = build(history)
    assert out[1]["tool_calls"][0]["function"]["arguments"] == '{"k": "v"}'
    with pytest.raises(TypeError):
        build([msg("assistant", None, [call("A", arguments={"s": {1, 2}})])])


def test_host_dumps_is_used(monkeypatch):
    seen = []

    def dumps(value):
        seen.append(value)
        return "<%d>" % len(seen)

    monkeypatch.setattr(json, "dumps", dumps)
    args1, args2 = {"a": 1}, {"b": 2}
    history = [msg("assistant", None, [call("A", arguments=args1), call("B", arguments=args2)]),
               msg("tool", "r", tool_call_id="A"), msg("tool", "r", tool_call_id="B")]
    out, _, _ = build(history)
    assert [c["function"]["arguments"] for c in out[1]["tool_calls"]] == ["<1>", "<2>"]
    assert seen[0] is args1 and seen[1] is args2


def test_module_json_global_is_used(monkeypatch):
    class FakeJson:
        @staticmethod
        def dumps(value):
            return "fake"

    monkeypatch.setattr(conv, "json", FakeJson)
    out, _, _ = build([msg("assistant", None, [call("A", arguments={"a": 1})]), msg("tool", "r", tool_call_id="A")])
    assert out[1]["tool_calls"][0]["function"]["arguments"] == "fake"


def test_facts_layer():
    facts = [{"category": "os", "content": "Windows 11"}, {"category": "user", "content": "prefers dark mode"}]
    out, _, _ = build(facts=facts, active=None)
    assert out[1] == {"role": "system", "content": "Known facts about the user and their environment:\n"
                                                   "- [os] Windows 11\n- [user] prefers dark mode"}


def test_facts_formatting():
    class Fmt:
        def __format__(self, spec):
            return "fmt(%r)" % spec

    out, _, _ = build(facts=[{"category": 3, "content": 2.5}, {"category": Fmt(), "content": None}], active=None)
    assert out[1]["content"].splitlines()[1:] == ["- [3] 2.5", "- [fmt('')] None"]


@pytest.mark.parametrize("facts", [[], None, ()])
def test_no_facts(facts):
    out, store, _ = build(facts=facts, active=None)
    assert out == [{"role": "system", "content": conv.SYSTEM_PROMPT}]
    assert store.calls == [("get_facts", (), {"limit": 10})]


def test_bare_result():
    out, store, _ = build([msg("user", "x")], active=None)
    assert out == [{"role": "system", "content": conv.SYSTEM_PROMPT}]
    assert [c[0] for c in store.calls] == ["get_facts"]


def test_system_prompt_text_and_rebinding(monkeypatch):
    prompt = conv.SYSTEM_PROMPT
    assert prompt.startswith("You are Zorvane, an autonomous AI assistant")
    assert prompt.endswith("your original goals and progress that you must continue from.\n")
    assert prompt.count("\u2014") == 2 and prompt.count("\n\n") == 3
    monkeypatch.setattr(conv, "SYSTEM_PROMPT", "other prompt")
    out, _, _ = build(active=None)
    assert out[0] == {"role": "system", "content": "other prompt"}
    assert list(out[0]) == ["role", "content"]


@pytest.mark.parametrize("text,expected", [
    ("summary text", "summary text"),
    ("  padded \n", "  padded \n"),
    (" \t\n\u3000", None),
    ("", None),
])
def test_summary_layer(text, expected):
    summarizer = Summarizer(text)
    summary = {"summary": "s"}
    out, _, _ = build(summarizer=summarizer, summary=summary, active=None)
    assert summarizer.calls == [summary] and summarizer.calls[0] is summary
    contents = [e["content"] for e in out[1:]]
    assert contents == ([expected] if expected is not None else [])


@pytest.mark.parametrize("summary", [None, {}])
def test_summary_layer_needs_a_summary(summary):
    summarizer = Summarizer()
    out, _, _ = build(summarizer=summarizer, summary=summary, active=None)
    assert summarizer.calls == [] and len(out) == 1


def test_summary_text_other_than_str():
    class Text:
        def __init__(self, s):
            self.s = s

        def strip(self):
            return self.s.strip()

    blank, full = Text("  "), Text(" x ")
    assert len(build(summarizer=Summarizer(blank), summary={"a": 1}, active=None)[0]) == 1
    out, _, _ = build(summarizer=Summarizer(full), summary={"a": 1}, active=None)
    assert out[1]["content"] is full
    with pytest.raises(AttributeError):
        build(summarizer=Summarizer(42), summary={"a": 1}, active=None)


@pytest.mark.parametrize("plan,text,expected", [
    ("p", "1. do it", "Current execution plan:\n\n1. do it"),
    ({"steps": [1]}, 7, "Current execution plan:\n\n7"),
    (None, "unused", None),
    ([], "unused", None),
])
def test_plan_layer(plan, text, expected):
    planner = Planner(plan, text)
    out, _, _ = build(planner=planner)
    contents = [e["content"] for e in out[1:]]
    assert contents == ([expected] if expected else [])
    assert planner.calls[0] == ("get_active_plan", "c1")
    assert len(planner.calls) == (2 if expected else 1)


def test_plan_layer_needs_an_active_conversation():
    planner = Planner()
    build(planner=planner, active=None)
    assert planner.calls == []


def test_layer_order():
    facts = [{"category": "c", "content": "f"}]
    out, _, _ = build([msg("user", "u")], facts=facts, planner=Planner(), summarizer=Summarizer(),
                      summary={"summary": "s"})
    assert [e["content"][:12] for e in out] == [conv.SYSTEM_PROMPT[:12], "summary text", "Current exec",
                                                "Known facts ", "u"]


def test_attributes_read_at_each_use():
    """The planner replaced while its plan is awaited: the new one renders."""
    second = Planner(text="second")

    class Switching(Planner):
        async def get_active_plan(self, conv_id):
            mgr._planner = second
            return "plan"

    store = Store([msg("user", "u")])
    mgr = conv.ConversationManager(store, 20, Switching())
    mgr._active_conversation_id = "c1"
    out = asyncio.run(mgr.build_messages())
    assert out[1]["content"] == "Current execution plan:\n\nsecond"
    assert second.calls == [("format_plan_for_context", "plan")]


def test_window_is_what_the_store_returns():
    history = [msg("user", "m%d" % i) for i in range(5)]
    out, store, mgr = build(history, window=3)
    assert [e["content"] for e in out[1:]] == ["m2", "m3", "m4"]
    mgr._summarized_up_to = 4
    out = asyncio.run(mgr.build_messages())
    assert len(out) == 4


@pytest.mark.parametrize("history,error", [
    ([{"role": "user", "content": "x", "tool_calls": None}], KeyError),
    ([msg("assistant", None, [{"id": "A", "name": "n"}])], KeyError),
    ([msg("assistant", None, {"id": "A", "name": "n", "arguments": "{}"})], TypeError),  # one call, not a list
    ([{"content": "x"}], KeyError),
])
def test_missing_keys_raise(history, error):
    with pytest.raises(error):
        build(history)


def test_missing_fact_key_raises():
    with pytest.raises(KeyError, match="content"):
        build(facts=[{"category": "c"}], active=None)


def test_store_errors_propagate():
    class Failing(Store):
        async def get_messages(self, conv_id, *, limit=None):
            raise OSError("disk")

    mgr = conv.ConversationManager(Failing(), 20)
    mgr._active_conversation_id = "c1"
    with pytest.raises(OSError, match="disk"):
        asyncio.run(mgr.build_messages())


def test_non_list_history_and_mapping_messages():
    class Message:
        def __init__(self, d):
            self.d = d

        def __getitem__(self, k):
            return self.d[k]

    class TupleStore(Store):
        async def get_messages(self, conv_id, *, limit=None):
            return iter([Message(m) for m in WORKED])

    mgr = conv.ConversationManager(TupleStore(), 20)
    mgr._active_conversation_id = "c1"
    out = asyncio.run(mgr.build_messages())
    assert ordered(out[1:]) == ordered(WORKED_OUT)


def test_arguments_given_are_rejected():
    mgr = conv.ConversationManager(Store())
    with pytest.raises(TypeError):
        mgr.build_messages(1)
    assert conv.ConversationManager.build_messages.__doc__.startswith(
        "Build the message array for the LLM, including system prompt and context.\n\n        Message structure")
    assert conv.ConversationManager.build_messages.__doc__.endswith("(within context window)\n        ")


# -- properties ---------------------------------------------------------------

@st.composite
def agent_histories(draw):
    """Histories recorded in the normal agent order: a user message, then
    assistant turns whose calls are each answered by one tool message."""
    history, n = [], 0
    for _ in range(draw(st.integers(0, 8))):
        history.append(msg("user", draw(st.sampled_from(["", "do it", "more"]))))
        for _ in range(draw(st.integers(0, 3))):
            ids = ["call_%d" % (n + i) for i in range(draw(st.integers(0, 3)))]
            n += len(ids)
            history.append(msg("assistant", draw(st.sampled_from([None, "", "ok"])),
                               [call(i, arguments={"i": i}) for i in ids] or None))
            for i in draw(st.permutations(ids)):
                history.append(msg("tool", draw(st.sampled_from(["", "out"])), tool_call_id=i))
        history.append(msg("assistant", "done"))
    return history


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(agent_histories(), st.integers(0, 40))
def test_every_call_answered_and_every_result_called(history, window):
    out, _, _ = build(history, window)
    recent = out[1:]
    calls = [tc["id"] for e in recent for tc in e.get("tool_calls", [])]
    results = [e["tool_call_id"] for e in recent if e["role"] == "tool"]
    assert sorted(calls) == sorted(results)
    assert len(recent) <= window
    for e in recent:
        assert e.get("tool_calls", True)  # never an empty list


REF = pyref()

ids_ = st.sampled_from(["A", "B", "C", "D", ""])
stored_messages = st.builds(
    msg,
    st.sampled_from(["user", "assistant", "tool", "system"]),
    st.sampled_from([None, "", "text", "  "]),
    st.one_of(st.none(), st.lists(st.builds(
        call, ids_, st.sampled_from(["f", "g"]),
        st.one_of(st.sampled_from(["{}", '{"a": 1}']),
                  st.dictionaries(st.text(max_size=3), st.one_of(st.integers(), st.text(max_size=3),
                                                                 st.floats(allow_nan=False)), max_size=3))),
        max_size=3)),
    st.one_of(st.none(), ids_),
)


@pytest.mark.skipif(REF is None, reason="pure-Python rendition not present")
@settings(max_examples=200, deadline=None)
@given(st.lists(stored_messages, max_size=12), st.integers(0, 14),
       st.lists(st.fixed_dictionaries({"category": st.text(max_size=3), "content": st.integers()}), max_size=3),
       st.sampled_from([None, {"summary": "s"}]), st.sampled_from([None, "p", ""]))
def test_same_result_as_the_python_rendition(history, window, facts, summary, plan):
    def run(module):
        return build(history, window, facts=facts, summary=summary, module=module,
                     summarizer=Summarizer(" s "), planner=Planner(plan, "text"))[0]

    assert ordered(run(conv)[1:]) == ordered(run(REF)[1:])
