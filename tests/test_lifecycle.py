"""ConversationManager: construction, data model, conversation lifecycle and the
argument/result rules of its operations."""

from __future__ import annotations

import asyncio
import inspect
import re
import sys
import uuid
from decimal import Decimal
from fractions import Fraction

import pytest

from _collab import RecordingStore, run

from zorvane.core import conversation
from zorvane.core.conversation import ConversationManager

ATTRS = ["_memory", "_context_window", "_active_conversation_id", "_planner", "_summarizer",
         "_current_summary", "_summarized_up_to"]
UUID_RE = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


class Str(str):
    pass


class Untouchable:
    """Collaborator on which any attribute access is a test failure."""

    def __getattribute__(self, name):
        raise AssertionError(f"collaborator touched: {name}")


class Traced(ConversationManager):
    """Records every attribute assignment, so the order of writes shows."""

    def __setattr__(self, name, value):
        self.__dict__.setdefault("writes", []).append((name, value))
        super().__setattr__(name, value)


def writes(m):
    return [w for w in m.__dict__.get("writes", []) if w[0] != "writes"]


# --- module and class surface ------------------------------------------------

def test_module_names():
    import logging

    assert conversation.logger is logging.getLogger("zorvane.conversation")
    assert isinstance(conversation.SYSTEM_PROMPT, str) and conversation.SYSTEM_PROMPT
    from zorvane.core.memory import MemoryStore

    assert conversation.MemoryStore is MemoryStore


def test_class_doc():
    assert ConversationManager.__doc__ == (
        "Manages active conversations and builds message arrays for the LLM.\n\n"
        "    Key innovation: Smart context window management that summarizes old\n"
        "    messages instead of dropping them, ensuring goals are never lost.\n"
        "    ")
    assert ConversationManager.get_summary.__doc__ == "Get the current conversation summary (for UI display)."


SIGNATURES = {
    "start_conversation": "(self, title=None)",
    "resume_conversation": "(self, conv_id)",
    "get_summary": "(self)",
    "list_conversations": "(self, limit=20)",
    "delete_conversation": "(self, conv_id)",
    "add_user_message": "(self, content)",
    "add_assistant_message": "(self, content=None, tool_calls=None)",
    "add_tool_result": "(self, tool_call_id, content)",
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_operation_is_coroutine_function_with_signature(name):
    m = ConversationManager(RecordingStore())
    unbound = getattr(ConversationManager, name)
    bound = getattr(m, name)
    for f in (unbound, bound):
        assert inspect.iscoroutinefunction(f)
        if sys.version_info < (3, 14):  # deprecated from 3.14 on
            assert asyncio.iscoroutinefunction(f)
    assert str(inspect.signature(unbound)) == SIGNATURES[name]
    assert str(inspect.signature(bound)) == "(" + SIGNATURES[name][len("(self"):].lstrip(", ")
    assert unbound.__name__ == name
    assert unbound.__qualname__ == f"ConversationManager.{name}"


def test_constructor_signature():
    assert str(inspect.signature(ConversationManager)) == \
        "(memory, context_window=20, planner=None, summarizer=None)"


# --- construction and the data model -----------------------------------------

def test_new_manager_state_and_attribute_order():
    store, planner, summarizer = Untouchable(), Untouchable(), Untouchable()
    m = ConversationManager(store, 7, planner, summarizer)
    assert list(vars(m)) == ATTRS
    assert m._memory is store and m._planner is planner and m._summarizer is summarizer
    assert m._context_window == 7 and type(m._context_window) is int
    assert m._active_conversation_id is None and m._current_summary is None
    assert m._summarized_up_to == 0 and type(m._summarized_up_to) is int
    assert m.conversation_id is None


def test_constructor_keywords_and_defaults():
    s = object()
    m = ConversationManager(summarizer="S", memory=s, planner="P")
    assert (m._memory, m._context_window, m._planner, m._summarizer) == (s, 20, "P", "S")


@pytest.mark.parametrize("value, expected", [
    (20.9, 20), (-3.7, -3), (0.5, 0), (True, 1), (False, 0), (Fraction(7, 2), 3), (Decimal("5.9"), 5),
    (10**30, 10**30), (-(10**30), -(10**30)), (1e20, 10**20),
])
def test_context_window_conversion(value, expected):
    m = ConversationManager(RecordingStore(), value)
    assert m._context_window == expected and type(m._context_window) is int


def test_context_window_int_passes_unchanged():
    n = 10**40 + 1
    assert ConversationManager(RecordingStore(), n)._context_window is n


@pytest.mark.parametrize("value, exc, message", [
    ("20", TypeError, "Argument 'context_window' has incorrect type (expected int, got str)"),
    (b"20", TypeError, "Argument 'context_window' has incorrect type (expected int, got bytes)"),
    (None, TypeError, "Argument 'context_window' has incorrect type (expected int, got NoneType)"),
    ([20], TypeError, "Argument 'context_window' has incorrect type (expected int, got list)"),
    (1j, TypeError, None),
    (float("inf"), OverflowError, None),
    (float("-inf"), OverflowError, None),
    (float("nan"), ValueError, None),
])
def test_context_window_refused(value, exc, message):
    with pytest.raises(exc) as info:
        ConversationManager(RecordingStore(), context_window=value)
    if message:
        assert str(info.value) == message
    if exc is OverflowError:
        with pytest.raises(OverflowError) as ref:
            int(value)
        assert str(info.value) == str(ref.value)


@pytest.mark.parametrize("args, kwargs, pattern", [
    ((), {}, r"missing 1 required positional argument: 'memory'"),
    ((1, 2, 3, 4, 5), {}, r"takes from 2 to 5 positional arguments but 6 were given"),
    ((1,), {"memory": 1}, r"got multiple values for argument 'memory'"),
    ((1,), {"window": 1}, r"got an unexpected keyword argument 'window'"),
])
def test_constructor_binding_errors(args, kwargs, pattern):
    with pytest.raises(TypeError, match=pattern):
        ConversationManager(*args, **kwargs)


@pytest.mark.parametrize("name", ATTRS)
def test_every_attribute_readable_and_assignable(name):
    m = ConversationManager(RecordingStore())
    marker = object()
    setattr(m, name, marker)
    assert getattr(m, name) is marker
    assert vars(m)[name] is marker


def test_conversation_id_is_read_only_and_reads_attribute():
    m = ConversationManager(RecordingStore())
    with pytest.raises(AttributeError):
        m.conversation_id = "x"
    m._active_conversation_id = "abc"
    assert m.conversation_id == "abc"
    m._active_conversation_id = 12
    with pytest.raises(TypeError):
        m.conversation_id
    m._active_conversation_id = Str("sub")
    with pytest.raises(TypeError):
        m.conversation_id


def test_attributes_are_read_at_each_use():
    """Every operation looks up the manager's attributes when it runs."""
    first, second = RecordingStore(), RecordingStore()
    m = ConversationManager(first)
    m._memory = second
    run(m.start_conversation("t"))
    assert first.calls == [] and second.names() == ["create_conversation"]
    m._active_conversation_id = "elsewhere"
    run(m.add_user_message("hi"))
    assert second.calls[-1] == ("add_message", ("elsewhere", "user"), {"content": "hi"})
    m._current_summary = {"summary": "set by host"}
    assert run(m.get_summary()) is m._current_summary


# --- start_conversation ------------------------------------------------------

def test_start_conversation_store_call_and_id():
    store = RecordingStore()
    m = ConversationManager(store)
    cid = run(m.start_conversation())
    assert type(cid) is str and len(cid) == 36 and UUID_RE.match(cid)
    assert uuid.UUID(cid).version == 4
    assert store.calls == [("create_conversation", (cid, None), {})]
    assert m.conversation_id == cid


@pytest.mark.parametrize("call", [lambda m: m.start_conversation("Title"),
                                  lambda m: m.start_conversation(title="Title")])
def test_start_conversation_title_passed_as_received(call):
    store = RecordingStore()
    m = ConversationManager(store)
    cid = run(call(m))
    assert store.calls == [("create_conversation", (cid, "Title"), {})]
    assert store.calls[0][1][1] == "Title"


def test_start_conversation_twice_switches_and_resets_in_order():
    store = RecordingStore()
    m = Traced(store)
    first = run(m.start_conversation())
    m._current_summary = {"summary": "s"}
    m._summarized_up_to = 9
    del m.__dict__["writes"]
    second = run(m.start_conversation())
    assert first != second and m.conversation_id == second
    assert writes(m) == [("_active_conversation_id", second), ("_current_summary", None),
                         ("_summarized_up_to", 0)]


def test_start_conversation_failure_leaves_state():
    boom = RuntimeError("store down")
    store = RecordingStore(create_conversation=boom)
    m = ConversationManager(store)
    m._active_conversation_id, m._current_summary, m._summarized_up_to = "old", {"a": 1}, 5
    with pytest.raises(RuntimeError) as info:
        run(m.start_conversation())
    assert info.value is boom
    assert (m._active_conversation_id, m._current_summary, m._summarized_up_to) == ("old", {"a": 1}, 5)


def test_start_conversation_store_sees_old_state_during_call():
    m = ConversationManager(None)
    seen = []

    async def create(conv_id, title):
        seen.append(m._active_conversation_id)

    m._memory = RecordingStore(create_conversation=create)
    m._active_conversation_id = "old"
    run(m.start_conversation())
    assert seen == ["old"]


# --- resume_conversation -----------------------------------------------------

class GetDict(dict):
    def get(self, key, default=None):
        return ("via get", key, default)


@pytest.mark.parametrize("summary, up_to", [
    ({"summarized_up_to": 42, "summary": "x"}, 42),
    ({"summary": "no marker"}, 0),
    ({}, 0),
    (None, 0),
    ({"summarized_up_to": "as stored"}, "as stored"),
    ({"summarized_up_to": 4.5}, 4.5),
    (GetDict(a=1), ("via get", "summarized_up_to", 0)),
])
def test_resume_conversation_loads_summary_state(summary, up_to):
    store = RecordingStore(get_conversation_summary=summary)
    m = Traced(store)
    assert run(m.resume_conversation("c-1")) is None
    assert store.calls == [("get_conversation_summary", ("c-1",), {})]
    assert m._active_conversation_id == "c-1"
    assert m._current_summary is summary
    assert m._summarized_up_to == up_to
    assert [w[0] for w in writes(m)][-3:] == ["_active_conversation_id", "_current_summary", "_summarized_up_to"]


def test_resume_switches_id_before_store_call():
    m = ConversationManager(None)
    seen = []

    async def fetch(conv_id):
        seen.append((m._active_conversation_id, m._current_summary))
        return None

    m._memory = RecordingStore(get_conversation_summary=fetch)
    m._current_summary = {"old": 1}
    run(m.resume_conversation("new"))
    assert seen == [("new", {"old": 1})]


def test_resume_failure_resets_summary_state_keeps_id():
    boom = KeyError("gone")
    m = ConversationManager(RecordingStore(get_conversation_summary=boom))
    m._active_conversation_id, m._current_summary, m._summarized_up_to = "old", {"a": 1}, 5
    with pytest.raises(KeyError) as info:
        run(m.resume_conversation("other"))
    assert info.value is boom
    assert (m._active_conversation_id, m._current_summary, m._summarized_up_to) == ("other", None, 0)


def test_resume_with_raising_get_propagates():
    class BadGet(dict):
        def get(self, *a):
            raise LookupError("get failed")

    m = ConversationManager(RecordingStore(get_conversation_summary=BadGet(x=1)))
    with pytest.raises(LookupError, match="get failed"):
        run(m.resume_conversation("c"))
    assert m._active_conversation_id == "c"


def test_resume_accepts_unknown_and_empty_ids():
    for cid in ("", "not-a-uuid", "x" * 1000):
        store = RecordingStore()
        m = ConversationManager(store)
        run(m.resume_conversation(cid))
        assert m._active_conversation_id == cid and store.calls[0][1] == (cid,)


# --- get_summary --------------------------------------------------------------

def test_get_summary_without_conversation_calls_nothing():
    store = RecordingStore()
    m = ConversationManager(store)
    assert run(m.get_summary()) is None
    m._active_conversation_id = ""
    assert run(m.get_summary()) is None
    assert store.calls == []


def test_get_summary_returns_cached_object():
    store = RecordingStore()
    m = ConversationManager(store)
    m._active_conversation_id = "c"
    cached = {"summary": "s"}
    m._current_summary = cached
    assert run(m.get_summary()) is cached
    assert store.calls == []


@pytest.mark.parametrize("cached", [None, {}])
def test_get_summary_asks_store_without_caching(cached):
    fetched = {"summary": "from store"}
    store = RecordingStore(get_conversation_summary=fetched)
    m = ConversationManager(store)
    m._active_conversation_id = "c"
    m._current_summary = cached
    assert run(m.get_summary()) is fetched
    assert store.calls == [("get_conversation_summary", ("c",), {})]
    assert m._current_summary is cached


@pytest.mark.parametrize("fetched", [["not", "a", "dict"], "text", 1, (("a", 1),)])
def test_get_summary_result_must_be_dict_or_none(fetched):
    store = RecordingStore(get_conversation_summary=fetched)
    m = ConversationManager(store)
    m._active_conversation_id = "c"
    with pytest.raises(TypeError):
        run(m.get_summary())
    assert store.calls  # the store was asked first


def test_get_summary_cached_non_dict_refused():
    m = ConversationManager(RecordingStore())
    m._current_summary = ["truthy", "list"]
    with pytest.raises(TypeError):
        run(m.get_summary())


# --- list_conversations ---------------------------------------------------------

@pytest.mark.parametrize("call, limit", [
    (lambda m: m.list_conversations(), 20),
    (lambda m: m.list_conversations(5), 5),
    (lambda m: m.list_conversations(limit=5.9), 5),
    (lambda m: m.list_conversations(True), 1),
    (lambda m: m.list_conversations(-2.5), -2),
])
def test_list_conversations_passes_limit_positionally(call, limit):
    listed = [{"id": "a"}]
    store = RecordingStore(list_conversations=listed)
    m = ConversationManager(store)
    assert run(call(m)) is listed
    assert store.calls == [("list_conversations", (limit,), {})]
    assert type(store.calls[0][1][0]) is int


@pytest.mark.parametrize("result, ok", [(None, True), ([], True), ((), False), ({"a": 1}, False),
                                        ("[]", False)])
def test_list_conversations_result_type(result, ok):
    m = ConversationManager(RecordingStore(list_conversations=result))
    m._active_conversation_id = "untouched"
    if ok:
        assert run(m.list_conversations()) is result
    else:
        with pytest.raises(TypeError):
            run(m.list_conversations())
    assert m._active_conversation_id == "untouched"


# --- delete_conversation ---------------------------------------------------------

def test_delete_other_conversation_leaves_state():
    store = RecordingStore(delete_conversation="ignored")
    m = ConversationManager(store)
    m._active_conversation_id, m._current_summary, m._summarized_up_to = "keep", {"a": 1}, 3
    assert run(m.delete_conversation("other")) is None
    assert store.calls == [("delete_conversation", ("other",), {})]
    assert (m._active_conversation_id, m._current_summary, m._summarized_up_to) == ("keep", {"a": 1}, 3)


def test_delete_active_conversation_resets_in_order():
    store = RecordingStore()
    m = Traced(store)
    cid = run(m.start_conversation())
    m._current_summary, m._summarized_up_to = {"a": 1}, 3
    del m.__dict__["writes"]
    run(m.delete_conversation(cid))
    assert writes(m) == [("_active_conversation_id", None), ("_current_summary", None),
                         ("_summarized_up_to", 0)]


def test_delete_without_active_conversation():
    store = RecordingStore()
    m = ConversationManager(store)
    run(m.delete_conversation(""))
    assert m._active_conversation_id is None and store.calls == [("delete_conversation", ("",), {})]


def test_delete_failure_leaves_state():
    m = ConversationManager(RecordingStore(delete_conversation=OSError("disk")))
    m._active_conversation_id = "c"
    with pytest.raises(OSError):
        run(m.delete_conversation("c"))
    assert m._active_conversation_id == "c"


def test_delete_compares_by_string_equality():
    m = ConversationManager(RecordingStore())
    m._active_conversation_id = "".join(["a", "b", "c"])  # equal, not identical
    run(m.delete_conversation("abc"))
    assert m._active_conversation_id is None


def test_lifecycle_on_memory_store():
    from zorvane.core.memory import MemoryStore

    async def scenario():
        store = MemoryStore()
        m = ConversationManager(store)
        a = await m.start_conversation("A")
        b = await m.start_conversation("B")
        store.summaries[a] = {"summary": "earlier", "summarized_up_to": 7}
        await m.resume_conversation(a)
        assert m.conversation_id == a and m._summarized_up_to == 7
        assert await m.get_summary() == {"summary": "earlier", "summarized_up_to": 7}
        listed = await m.list_conversations()
        assert {c["id"] for c in listed} == {a, b}
        await m.delete_conversation(a)
        assert m.conversation_id is None and m._current_summary is None
        assert [c["id"] for c in await m.list_conversations()] == [b]

    run(scenario())


# --- argument rules shared by the operations ----------------------------------

STR_ARGS = [
    ("resume_conversation", "conv_id", lambda m, v: m.resume_conversation(v)),
    ("delete_conversation", "conv_id", lambda m, v: m.delete_conversation(conv_id=v)),
    ("start_conversation", "title", lambda m, v: m.start_conversation(v)),
]


@pytest.mark.parametrize("name, arg, call", STR_ARGS)
@pytest.mark.parametrize("value", [Str("sub"), b"bytes", 5, ["x"]])
def test_str_arguments_exact(name, arg, call, value):
    store = RecordingStore()
    m = ConversationManager(store)
    with pytest.raises(TypeError) as info:
        call(m, value)
    assert str(info.value) == (f"Argument '{arg}' has incorrect type "
                               f"(expected str, got {type(value).__name__})")
    assert store.calls == []


@pytest.mark.parametrize("name, arg, call", STR_ARGS[:2])
def test_str_arguments_refuse_none(name, arg, call):
    with pytest.raises(TypeError, match=f"Argument '{arg}'"):
        call(ConversationManager(RecordingStore()), None)


@pytest.mark.parametrize("value, exc", [("5", TypeError), (b"5", TypeError), (None, TypeError),
                                        (float("inf"), OverflowError), (float("nan"), ValueError)])
def test_int_argument_refused_before_coroutine(value, exc, recwarn):
    store = RecordingStore()
    with pytest.raises(exc):
        ConversationManager(store).list_conversations(value)
    assert store.calls == []
    assert not [w for w in recwarn if "never awaited" in str(w.message)]


@pytest.mark.parametrize("call, pattern", [
    (lambda m: m.resume_conversation(), r"missing 1 required positional argument: 'conv_id'"),
    (lambda m: m.resume_conversation("a", "b"), r"takes 2 positional arguments but 3 were given"),
    (lambda m: m.get_summary(1), r"takes 1 positional argument but 2 were given"),
    (lambda m: m.start_conversation("a", title="b"), r"multiple values for argument 'title'"),
    (lambda m: m.list_conversations(count=3), r"unexpected keyword argument 'count'"),
    (lambda m: m.add_tool_result(), r"missing 2 required positional arguments: 'tool_call_id' and 'content'"),
])
def test_binding_errors_like_python(call, pattern):
    with pytest.raises(TypeError, match=pattern):
        call(ConversationManager(RecordingStore()))


def test_unbound_call_with_explicit_self():
    store = RecordingStore()
    m = ConversationManager(store)
    run(ConversationManager.resume_conversation(m, "c"))
    assert m.conversation_id == "c"


def test_nothing_happens_until_awaited():
    store = RecordingStore()
    m = ConversationManager(store)
    coros = [m.start_conversation(), m.resume_conversation("c"), m.list_conversations(),
             m.delete_conversation("c")]
    assert store.calls == [] and m._active_conversation_id is None
    for c in coros:
        c.close()
