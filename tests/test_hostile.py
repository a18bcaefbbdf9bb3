"""Hostile collaborators: every operation driven with collaborators that answer
with arbitrary values or raise arbitrary exceptions, and that change the
manager's attributes while the operation is suspended. The outcome is always
the operation's result or an ordinary exception reaching the caller: never a
SystemError, never a swallowed BaseException, never an unraisable error."""

from __future__ import annotations

import math
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _collab import Env, Patched, Suspend, built_operations, conversation_module, merge_built

OPS = built_operations()
EXAMPLES = 100
# Operations that catch ordinary exceptions of their collaborators by design
# (the summarisation pass logs them, the image click reports them).
CATCHING = {"_maybe_summarize", "build_messages", "click_image"}

RAISED: list[BaseException] = []


class HostileError(Exception):
    pass


class HostileBase(BaseException):
    pass


def _raise(exc_type):
    def method(self, *a, **k):
        exc = exc_type(f"hostile {exc_type.__name__}")
        RAISED.append(exc)
        raise exc

    return method


DUNDERS = ["__bool__", "__eq__", "__ne__", "__lt__", "__gt__", "__hash__", "__index__", "__int__", "__float__",
           "__str__", "__repr__", "__format__", "__len__", "__iter__", "__getitem__", "__contains__", "get",
           "__add__", "__radd__", "__sub__", "__mul__", "__truediv__", "__floordiv__"]


@st.composite
def hostile_objects(draw):
    names = draw(st.sets(st.sampled_from(DUNDERS), min_size=1, max_size=4))
    exc = draw(st.sampled_from([HostileError, HostileBase, KeyError, TypeError]))
    base = draw(st.sampled_from([object, dict, list, int, float, str]))
    ns = {n: _raise(exc) for n in names}
    if "__eq__" in ns and "__hash__" not in ns:
        ns["__hash__"] = base.__hash__ if base.__hash__ is not None else object.__hash__
    cls = type(f"Hostile_{'_'.join(sorted(n.strip('_') for n in names))}", (base,), ns)
    if base is dict:
        return cls(found=True, matches=[{"x": 1, "y": 2, "width": 3, "height": 4}], summary="s", id=1)
    if base is list:
        return cls([{"id": 1, "role": "user", "content": "x", "tool_calls": None, "tool_call_id": None}])
    if base in (int, float):
        return cls(draw(st.integers(-5, 5)))
    if base is str:
        return cls("text")
    return cls()


def recursive_list():
    x: list = []
    x.append(x)
    return x


def recursive_dict():
    d: dict = {"found": True}
    d["matches"] = [d]
    d["summary"] = d
    return d


class DictSub(dict):
    pass


def message(**over):
    m = {"id": 1, "role": "user", "content": "c", "tool_calls": None, "tool_call_id": None}
    m.update(over)
    return m


SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=10**30, max_value=10**400),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=8), st.binary(max_size=4),
    st.just(float("nan")), st.just(-0.0), st.just(2**63), st.just(-(2**63) - 1),
)

VALUES = st.deferred(lambda: st.one_of(
    SCALARS,
    hostile_objects(),
    st.builds(recursive_list), st.builds(recursive_dict),
    st.lists(SCALARS, max_size=3), st.tuples(SCALARS, SCALARS),
    st.dictionaries(st.sampled_from(["found", "matches", "summary", "id", "x", "y", "goals", "role"]),
                    SCALARS, max_size=4),
    st.dictionaries(st.sampled_from(["found", "matches", "summary", "id", "x", "y", "goals", "role"]),
                    SCALARS, max_size=4).map(DictSub),
    st.builds(lambda v: {"found": True, "matches": [v]}, SCALARS | hostile_objects()),
    st.builds(lambda v: {"found": True, "matches": v}, SCALARS | hostile_objects()),
    st.builds(lambda v: {"found": True, "matches": [{"x": v, "y": 1, "width": v, "height": 2}]},
              SCALARS | hostile_objects()),
    st.builds(lambda **kw: [message(**kw)], id=SCALARS | hostile_objects(),
              role=st.sampled_from(["user", "assistant", "tool", "system", None, 3]),
              content=SCALARS, tool_calls=st.lists(VALUES, max_size=2) | SCALARS, tool_call_id=SCALARS),
    st.builds(lambda v: [{"category": v, "content": v}], SCALARS | hostile_objects()),
    st.builds(lambda v: {"summary": v, "goals": v, "key_facts": [v], "progress": v}, SCALARS | hostile_objects()),
))

EXCEPTIONS = st.sampled_from([HostileError, HostileBase, KeyboardInterrupt, SystemExit, StopIteration,
                              GeneratorExit, RuntimeError, KeyError, AttributeError, ImportError,
                              MemoryError, RecursionError])

MUTATIONS = {
    "active_none": ("_active_conversation_id", None),
    "active_other": ("_active_conversation_id", "other"),
    "active_int": ("_active_conversation_id", 5),
    "window_text": ("_context_window", "20"),
    "window_nan": ("_context_window", float("nan")),
    "window_zero": ("_context_window", 0),
    "summary_list": ("_current_summary", ["x"]),
    "summary_dict": ("_current_summary", {"summary": "mutated"}),
    "up_to_text": ("_summarized_up_to", "x"),
    "up_to_huge": ("_summarized_up_to", 10**100),
    "memory_none": ("_memory", None),
    "summarizer_none": ("_summarizer", None),
    "planner_int": ("_planner", 3),
    "screen_none": ("_screen", None),
    "mouse_none": ("_mouse", None),
}


class Answer:
    """What a scripted collaborator call does."""

    def __init__(self, kind, payload, suspend, mutation):
        self.kind, self.payload, self.suspend, self.mutation = kind, payload, suspend, mutation

    def __repr__(self):
        return f"Answer({self.kind}, {self.payload!r:.80}, suspend={self.suspend}, mutation={self.mutation})"


ANSWERS = st.builds(
    Answer,
    kind=st.sampled_from(["value", "raise", "default"]),
    payload=st.one_of(VALUES, EXCEPTIONS),
    suspend=st.booleans(),
    mutation=st.none() | st.sampled_from(sorted(MUTATIONS)),
)

CALL_NAMES = ["create_conversation", "get_conversation_summary", "list_conversations", "delete_conversation",
              "add_message", "get_messages", "get_facts", "save_conversation_summary", "get_active_plan",
              "format_plan_for_context", "summarize_messages", "format_summary_for_context", "find_text",
              "find_color", "click", "double_click", "type_text", "locateOnScreen", "center",
              "KeyboardController", "sleep"]


def install(env, script):
    for (name, n), answer in script.items():
        env.script[(name, n)] = make_hook(env, name, answer)


def make_hook(env, name, answer):
    sync = name in ("format_plan_for_context", "format_summary_for_context", "locateOnScreen", "center",
                    "KeyboardController")
    target = env.seek if name in ("find_text", "find_color", "click", "double_click", "type_text", "sleep",
                                  "locateOnScreen", "center", "KeyboardController") else env.manager

    def act(args, kwargs):
        if answer.mutation and target is not None:
            attr, value = MUTATIONS[answer.mutation]
            setattr(target, attr, value)
        if answer.kind == "raise" and isinstance(answer.payload, type):
            exc = answer.payload("hostile collaborator")
            RAISED.append(exc)
            raise exc
        if answer.kind == "value":
            return answer.payload
        from _collab import default_answer

        return default_answer(name, args, kwargs, env)

    if sync:
        return lambda *a, **k: act(a, k)

    async def hook(*a, **k):
        if answer.suspend:
            await Suspend()
        return act(a, k)

    return hook


def drive(coro, limit=10000):
    for _ in range(limit):
        try:
            coro.send(None)
        except StopIteration as stop:
            return stop.value
    coro.close()
    raise AssertionError("operation did not finish")


def chain(exc):
    seen = []
    while exc is not None and exc not in seen:
        seen.append(exc)
        exc = exc.__cause__ or exc.__context__
    return seen


def check_outcome(op, run):
    RAISED.clear()
    unraisable = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = unraisable.append
    outcome = None
    try:
        try:
            run()
        except BaseException as exc:  # noqa: B036 - checked below
            outcome = exc
    finally:
        sys.unraisablehook = old_hook
    assert not unraisable, [u.exc_value for u in unraisable]
    for e in chain(outcome):
        assert not isinstance(e, SystemError), e
    bases = [e for e in RAISED if not isinstance(e, Exception)]
    if bases:
        # the first cancellation/interrupt-class exception reaches the
        # caller as it was raised (a StopIteration leaving a coroutine body
        # becomes RuntimeError, as in native coroutines)
        first = bases[0]
        if isinstance(first, StopIteration):
            pass
        else:
            assert outcome is first, (outcome, first)
    elif RAISED and op not in CATCHING:
        # an ordinary exception from a collaborator is not swallowed
        assert outcome is not None, f"exception lost: {RAISED}"
    if outcome is not None and not isinstance(outcome, Exception):
        assert outcome in RAISED
    return outcome


def op_params():
    return [pytest.param(name, call, id=name) for name, call in OPS]


@pytest.mark.parametrize("name, call", op_params())
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck),
          derandomize=True, database=None)
@given(script=st.dictionaries(st.tuples(st.sampled_from(CALL_NAMES), st.integers(0, 1)), ANSWERS,
                              min_size=1, max_size=3))
def test_hostile_collaborators(name, call, script):
    env = Env(log=False, history_len=10)
    with Patched(env):
        install(env, script)

        def run():
            if name.startswith("click_text"):
                drive(env.seek.click_text("OK", double=name.endswith("double"), timeout=0.02,
                                          retry_interval=0.001))
            else:
                drive(call(env))

        check_outcome(name, run)


@pytest.mark.parametrize("name, call", op_params())
@settings(max_examples=EXAMPLES // 3, deadline=None, suppress_health_check=list(HealthCheck),
          derandomize=True, database=None)
@given(attrs=st.dictionaries(st.sampled_from(sorted(MUTATIONS)), st.just(True), max_size=3),
       values=st.lists(VALUES, min_size=3, max_size=3))
def test_hostile_attributes(name, call, attrs, values):
    """Arbitrary values in the manager's (and SeekPress's) own attributes."""
    env = Env(log=False)
    with Patched(env):
        for (attr_key, _), value in zip(attrs.items(), values):
            attr = MUTATIONS[attr_key][0]
            target = env.seek if attr in ("_screen", "_mouse") else env.manager
            if target is not None:
                setattr(target, attr, value)

        def run():
            if name.startswith("click_text"):
                drive(env.seek.click_text("OK", timeout=0.02, retry_interval=0.001))
            else:
                drive(call(env))

        check_outcome(name, run)


@pytest.mark.skipif(not merge_built(), reason="_merge_summaries not built yet")
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck), derandomize=True,
          database=None)
@given(old=VALUES, new=VALUES)
def test_hostile_merge(old, new):
    merge = conversation_module()._merge_summaries

    def run():
        merge(old, new)

    check_outcome("_merge_summaries", run)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck), derandomize=True,
          database=None)
@given(window=VALUES, args=st.lists(VALUES, max_size=3))
def test_hostile_constructor_and_arguments(window, args):
    conversation = conversation_module()
    env = Env(log=False)

    def run():
        m = conversation.ConversationManager(env.store, window)
        assert type(m._context_window) is int
        if not isinstance(window, bool) and isinstance(window, (int, float)) and math.isfinite(window):
            assert m._context_window == int(window)

    check_outcome("constructor", run)
    m = env.manager
    for make in (m.start_conversation, m.resume_conversation, m.list_conversations, m.delete_conversation,
                 m.add_user_message, m.add_assistant_message, m.add_tool_result):
        def run_op(make=make):
            coro = make(*args)
            coro.close()

        out = check_outcome(make.__name__, run_op)
        assert out is None or isinstance(out, (TypeError, ValueError, OverflowError)) or out in RAISED
