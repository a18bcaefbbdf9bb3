"""The native modules next to the `async def` rendition in bench/pyref, in the
corners where Python's own coroutine machinery decides the outcome: the host's
json configuration, what `await` accepts, a coroutine awaited twice, deep
re-entry, exception context and origin tracking. Every case runs both
implementations and expects the same outcome."""

from __future__ import annotations

import asyncio
import functools
import gc
import importlib
import importlib.util
import json
import json.encoder
import os
import subprocess
import sys
import textwrap
import types
import warnings
from pathlib import Path

import pytest

from zorvane.core import conversation as native_conv
from zorvane.pc import seek_press as native_sp

ROOT = Path(__file__).resolve().parent.parent
PYREF = ROOT / "bench" / "pyref"
if not PYREF.is_dir():
    pytest.skip("no pure-Python rendition", allow_module_level=True)


def _load(name):
    spec = importlib.util.spec_from_file_location(f"pyref_corners_{name}", PYREF / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


ref_conv = _load("conversation")
ref_sp = _load("seek_press")

CONV = [pytest.param(native_conv, id="native"), pytest.param(ref_conv, id="pyref")]


class Boom(Exception):
    pass


def outcome(thunk):
    """("ok", value) or ("raise", type name, message) of running `thunk`."""
    try:
        return ("ok", thunk())
    except BaseException as exc:  # noqa: B036 - compared, not swallowed
        return ("raise", type(exc).__name__, str(exc))


def both(scenario, native, rendition):
    """Runs scenario(module) for both implementations; they must agree."""
    got = outcome(lambda: scenario(native))
    expected = outcome(lambda: scenario(rendition))
    assert got == expected
    return got


# ---------------------------------------------------------------------------
# 1. Tool-call arguments follow the host's json configuration


ARGS = {"zeta": "caf\u00e9 \U0001f600", "alpha": [1, 2.5, None, True], "\u00fcber": {"k": "v"}}


class ArgStore:
    """A store whose window holds assistant messages with tool calls."""

    def __init__(self, *arguments):
        self.history = []
        for i, args in enumerate(arguments):
            self.history.append({"id": 2 * i + 1, "role": "assistant", "content": None, "tool_call_id": None,
                                 "tool_calls": [{"id": f"c{i}", "name": "tool", "arguments": args}]})
            self.history.append({"id": 2 * i + 2, "role": "tool", "content": "out", "tool_calls": None,
                                 "tool_call_id": f"c{i}"})

    async def get_messages(self, conv_id, limit=None):
        return list(self.history)

    async def get_facts(self, limit=10):
        return []


def argument_texts(module, *arguments):
    manager = module.ConversationManager(ArgStore(*arguments), 20)
    manager._active_conversation_id = "c"
    out = asyncio.run(manager.build_messages())
    return [tc["function"]["arguments"] for m in out for tc in m.get("tool_calls", ())]


@pytest.fixture
def json_state():
    """Restores everything the json cases change."""
    enc = json.JSONEncoder
    saved_module = {n: getattr(json, n) for n in ("dumps", "_default_encoder")}
    saved_encoder = {n: getattr(json.encoder, n) for n in ("encode_basestring_ascii", "c_make_encoder")}
    saved_class = {n: enc.__dict__[n] for n in ("encode", "iterencode", "item_separator", "key_separator")}
    saved_kwdefaults = dict(json.dumps.__kwdefaults__)
    saved_instance = dict(json._default_encoder.__dict__)
    saved_conv = sys.modules["zorvane.core.conversation"]
    try:
        yield
    finally:
        for n, v in saved_module.items():
            setattr(json, n, v)
        for n, v in saved_encoder.items():
            setattr(json.encoder, n, v)
        for n, v in saved_class.items():
            setattr(enc, n, v)
        json.dumps.__kwdefaults__ = saved_kwdefaults
        json._default_encoder.__dict__.clear()
        json._default_encoder.__dict__.update(saved_instance)
        sys.modules["zorvane.core.conversation"] = saved_conv
        for m in (native_conv, ref_conv):
            m.json = json


def reimported_native():
    """The conversation module imported afresh, as by a host that dropped it
    from sys.modules."""
    del sys.modules["zorvane.core.conversation"]
    return importlib.import_module("zorvane.core.conversation")


def _rebind_dumps():
    json.dumps = functools.partial(json.dumps, ensure_ascii=False, sort_keys=True)


def _upper_strings():
    json.encoder.encode_basestring_ascii = lambda s: '"' + s.upper().encode("ascii", "replace").decode() + '"'


def _iterencode_wrapped():
    original = json.JSONEncoder.iterencode

    def iterencode(self, o, _one_shot=False):
        yield "<"
        yield from original(self, o, False)
        yield ">"

    json.JSONEncoder.iterencode = iterencode


def _encode_wrapped():
    original = json.JSONEncoder.encode
    json.JSONEncoder.encode = lambda self, o: original(self, {"wrapped": o})


class _SemicolonEncoder(json.JSONEncoder):
    def __getattribute__(self, name):
        return "; " if name == "item_separator" else super().__getattribute__(name)


CONFIGS = {
    "default": lambda: None,
    "dumps_rebound": _rebind_dumps,
    "default_encoder_replaced": lambda: setattr(json, "_default_encoder", json.JSONEncoder(ensure_ascii=False)),
    "default_encoder_attribute": lambda: setattr(json._default_encoder, "sort_keys", True),
    "default_encoder_shadowed_method": lambda: setattr(json._default_encoder, "encode", lambda o: "shadowed"),
    "dumps_keyword_defaults": lambda: json.dumps.__kwdefaults__.__setitem__("sort_keys", True),
    "string_encoder_replaced": _upper_strings,
    "c_encoder_removed": lambda: setattr(json.encoder, "c_make_encoder", None),
    "separator_class_attribute": lambda: setattr(json.JSONEncoder, "item_separator", ","),
    "encode_method_replaced": _encode_wrapped,
    "iterencode_method_replaced": _iterencode_wrapped,
    "default_encoder_own_getattribute": lambda: setattr(json, "_default_encoder", _SemicolonEncoder()),
    # the accelerator's other string encoder, which keeps non-ASCII text
    "string_encoder_other_c_function": lambda: setattr(json.encoder, "encode_basestring_ascii",
                                                       json.encoder.c_encode_basestring),
}


@pytest.mark.parametrize("config", list(CONFIGS))
@pytest.mark.parametrize("reimport", [False, True], ids=["after_import", "before_import"])
def test_arguments_follow_json_configuration(json_state, config, reimport):
    CONFIGS[config]()
    native = reimported_native() if reimport else native_conv
    expected = json.dumps(ARGS)
    assert both(lambda m: argument_texts(m, ARGS, {"b": 1, "a": "\u00e9"}), native, ref_conv) == \
        ("ok", [expected, json.dumps({"b": 1, "a": "\u00e9"})])


@pytest.mark.parametrize("config", [c for c in CONFIGS if c != "default"])
def test_configuration_changed_after_a_standard_build(json_state, config):
    # The first build finds the configuration standard and keeps that finding
    # for the next builds: a change made afterwards must still be followed.
    assert argument_texts(native_conv, ARGS) == [json.dumps(ARGS)]
    CONFIGS[config]()
    assert both(lambda m: argument_texts(m, ARGS), native_conv, ref_conv) == ("ok", [json.dumps(ARGS)])


class NamedStore(ArgStore):
    async def create_conversation(self, conv_id, title):
        pass


GLOBALS = {"uuid": (types.SimpleNamespace(uuid4=lambda: "fixed-id"),
                    lambda m: m.ConversationManager(NamedStore(), 20).start_conversation("t")),
           "SYSTEM_PROMPT": ("builtin prompt", lambda m: m.ConversationManager(NamedStore(), 20).build_messages())}


@pytest.mark.parametrize("name", list(GLOBALS))
@pytest.mark.parametrize("in_builtins", [False, True], ids=["missing", "in_builtins"])
def test_module_global_removed_is_looked_up_as_python_code_does(monkeypatch, name, in_builtins):
    import builtins

    value, op = GLOBALS[name]
    for m in (native_conv, ref_conv):
        monkeypatch.delattr(m, name)
    if in_builtins:
        monkeypatch.setattr(builtins, name, value, raising=False)
    both(lambda m: asyncio.run(op(m)), native_conv, ref_conv)


def test_module_json_global_rebound(json_state):
    fake = types.SimpleNamespace(dumps=lambda o: f"<{len(o)} keys>")
    for m in (native_conv, ref_conv):
        m.json = fake
    assert both(lambda m: argument_texts(m, ARGS), native_conv, ref_conv) == ("ok", ["<3 keys>"])


def test_json_imported_afresh_is_still_the_standard_one(json_state):
    saved = {n: sys.modules.pop(n) for n in list(sys.modules) if n == "json" or n.startswith("json.")}
    try:
        fresh = importlib.import_module("json")
    finally:
        sys.modules.update(saved)
    for m in (native_conv, ref_conv):
        m.json = fresh
    assert both(lambda m: argument_texts(m, ARGS), native_conv, ref_conv) == ("ok", [fresh.dumps(ARGS)])
    fresh.dumps = functools.partial(fresh.dumps, sort_keys=True)
    assert both(lambda m: argument_texts(m, ARGS), native_conv, ref_conv) == ("ok", [fresh.dumps(ARGS)])


class RebindingDict(dict):
    """Arguments whose encoding rebinds json.dumps: the next tool call of the
    same build must see the new binding."""

    def items(self):
        _rebind_dumps()
        return super().items()


def test_dumps_looked_up_for_each_tool_call(json_state):
    def scenario(m):
        json.dumps = json_state_dumps
        return argument_texts(m, RebindingDict(b=1, a=2), {"y": 1, "x": "\u00e9"})

    json_state_dumps = json.dumps
    got = both(scenario, native_conv, ref_conv)
    assert got == ("ok", ['{"b": 1, "a": 2}', '{"x": "\u00e9", "y": 1}'])


class RebindingMessage:
    """A stored message that is no dict: reading its role rebinds json.dumps."""

    def __init__(self, fields):
        self.fields = fields

    def __getitem__(self, key):
        if key == "role":
            _rebind_dumps()
        return self.fields[key]


def test_dumps_looked_up_after_a_message_read_runs_code(json_state):
    def scenario(m):
        json.dumps = json_state_dumps
        manager = m.ConversationManager(ArgStore({"b": 1, "a": 2}, {"y": 1, "x": "\u00e9"}), 20)
        manager._memory.history[2] = RebindingMessage(manager._memory.history[2])
        manager._active_conversation_id = "c"
        out = asyncio.run(manager.build_messages())
        return [tc["function"]["arguments"] for m in out for tc in m.get("tool_calls", ())]

    json_state_dumps = json.dumps
    got = both(scenario, native_conv, ref_conv)
    assert got == ("ok", ['{"b": 1, "a": 2}', '{"x": "\u00e9", "y": 1}'])


# ---------------------------------------------------------------------------
# 2. Collaborator results are awaited exactly as `await` does


@types.coroutine
def generator_based(value):
    yield  # a bare yield: the event loop's sleep(0)
    return value


async def native_coroutine(value):
    return value


class AwaitGives:
    """An awaitable whose __await__ returns `make()`; what it made is closed
    afterwards so that no coroutine is left unawaited."""

    made: list = []

    def __init__(self, make):
        self.make = make

    def __await__(self):
        it = self.make()
        AwaitGives.made.append(it)
        return it


AWAITED = {
    "generator_based_coroutine": lambda v: generator_based(v),
    "await_returns_coroutine": lambda v: AwaitGives(lambda: native_coroutine(v)),
    "await_returns_generator_based_coroutine": lambda v: AwaitGives(lambda: generator_based(v)),
    "await_returns_non_iterator": lambda v: AwaitGives(lambda: 5),
    "await_returns_generator": lambda v: AwaitGives(lambda: iter([])),
    "not_awaitable": lambda v: v,
}


def _close_made():
    for it in AwaitGives.made:
        if hasattr(it, "close"):
            it.close()
    AwaitGives.made.clear()


@pytest.mark.parametrize("kind", list(AWAITED))
def test_conversation_awaits_like_await(kind):
    class Store:
        def add_message(self, *args, **kwargs):
            return AWAITED[kind](7)

    def scenario(module):
        manager = module.ConversationManager(Store())
        manager._active_conversation_id = "c"
        try:
            return asyncio.run(manager.add_user_message("hi"))
        finally:
            _close_made()

    both(scenario, native_conv, ref_conv)


@pytest.mark.parametrize("kind", list(AWAITED))
def test_seek_press_awaits_like_await(kind):
    class Screen:
        def find_text(self, text, region=None):
            return AWAITED[kind]({"found": False})

    def scenario(module):
        press = module.SeekPress(object(), Screen())
        try:
            return asyncio.run(press.click_near_text("OK"))
        finally:
            _close_made()

    both(scenario, native_sp, ref_sp)


# ---------------------------------------------------------------------------
# 3. "coroutine is being awaited already"


async def _two_awaiters(coro):
    async def wait():
        return await coro

    first = asyncio.ensure_future(wait())
    await asyncio.sleep(0)
    second = asyncio.ensure_future(wait())
    return await asyncio.gather(first, second, return_exceptions=True)


def _shown(results):
    return [r if not isinstance(r, BaseException) else (type(r).__name__, str(r)) for r in results]


class SlowStore:
    async def add_message(self, *args, **kwargs):
        await asyncio.sleep(0.01)
        return 3


def test_conversation_coroutine_awaited_twice():
    def scenario(module):
        manager = module.ConversationManager(SlowStore())
        manager._active_conversation_id = "c"
        return _shown(asyncio.run(_two_awaiters(manager.add_user_message("hi"))))

    got = both(scenario, native_conv, ref_conv)
    assert got == ("ok", [3, ("RuntimeError", "coroutine is being awaited already")])


def test_seek_press_coroutine_awaited_twice():
    class Screen:
        async def find_text(self, text, region=None):
            await asyncio.sleep(0.01)
            return {"found": False}

    def scenario(module):
        press = module.SeekPress(object(), Screen())
        return _shown(asyncio.run(_two_awaiters(press.click_near_text("OK"))))

    got = both(scenario, native_sp, ref_sp)
    assert got[1][1] == ("RuntimeError", "coroutine is being awaited already")


def test_collaborator_returns_a_coroutine_another_task_awaits():
    def scenario(module):
        async def main():
            shared = SlowStore().add_message()

            async def owner():
                return await shared

            first = asyncio.ensure_future(owner())
            await asyncio.sleep(0)

            class Store:
                def add_message(self, *args, **kwargs):
                    return shared

            manager = module.ConversationManager(Store())
            manager._active_conversation_id = "c"
            second = asyncio.ensure_future(manager.add_user_message("hi"))
            return _shown(await asyncio.gather(first, second, return_exceptions=True))

        return asyncio.run(main())

    got = both(scenario, native_conv, ref_conv)
    assert got == ("ok", [3, ("RuntimeError", "coroutine is being awaited already")])


# ---------------------------------------------------------------------------
# 4. Deep re-entry ends in RecursionError, never a crash

REENTRY = {
    "add_user_message": """
        class Store:
            async def add_message(self, conv_id, role, content=None):
                return await manager.add_user_message(content)

        manager = module.ConversationManager(Store())
        manager._active_conversation_id = "c"
        run = lambda: manager.add_user_message("hi")
    """,
    "build_messages": """
        class Store:
            async def get_messages(self, conv_id, limit=None):
                return [{"id": i, "role": "user", "content": "m", "tool_calls": None, "tool_call_id": None}
                        for i in range(1, 40)]
            async def get_facts(self, limit=10):
                return []

        class Summarizer:
            async def summarize_messages(self, messages, existing_summary=None):
                await manager.build_messages()
                return {}

        manager = module.ConversationManager(Store(), 10, None, Summarizer())
        manager._active_conversation_id = "c"
        run = lambda: manager.build_messages()
    """,
    # 200 levels deep, suspended at the bottom; then cancelled or closed from the top (1 MiB stack)
    "cancel_deep": """
        import types

        class Store:
            depth = 0
            async def add_message(self, conv_id, role, content=None):
                Store.depth += 1
                if Store.depth < 200:
                    return await manager.add_user_message(content)
                await asyncio.Event().wait()

        manager = module.ConversationManager(Store())
        manager._active_conversation_id = "c"

        async def run():
            task = asyncio.ensure_future(manager.add_user_message("hi"))
            await asyncio.sleep(0.05)
            task.cancel()
            await task
    """,
    "close_deep": """
        import types

        @types.coroutine
        def pause():
            yield

        class Screen:
            depth = 0
            async def find_text(self, text, region=None):
                Screen.depth += 1
                if Screen.depth < 200:
                    return await press.click_near_text(text)
                await pause()

        press = module.SeekPress(object(), Screen())

        async def run():
            coro = press.click_near_text("OK")
            coro.send(None)
            coro.close()
    """,
    "click_near_text": """
        class Screen:
            async def find_text(self, text, region=None):
                return await press.click_near_text(text)

        press = module.SeekPress(object(), Screen())
        run = lambda: press.click_near_text("OK")
    """,
}

RUNNER = """
import asyncio, importlib, importlib.util, logging, sys, threading
sys.path[:0] = {paths!r}
logging.disable(logging.CRITICAL)
if {module!r}.startswith("pyref:"):
    spec = importlib.util.spec_from_file_location("ref", {pyref!r} + "/" + {module!r}[6:] + ".py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
else:
    module = importlib.import_module({module!r})
{setup}
outcome = []

def main():
    try:
        asyncio.run(run())
        outcome.append("returned")
    except RecursionError:
        outcome.append("RecursionError")
    except BaseException as exc:
        outcome.append(type(exc).__name__)

threading.stack_size({stack})
t = threading.Thread(target=main)
t.start()
t.join()
print(outcome[0])
"""


def _reentry(module, case, stack=256 * 1024):
    paths = [p for p in sys.path if p]
    code = RUNNER.format(paths=paths, module=module, pyref=str(PYREF), setup=textwrap.dedent(REENTRY[case]),
                         stack=stack)
    env = dict(os.environ, PYTHONFAULTHANDLER="")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=240, env=env)
    return r.returncode, r.stdout.strip(), r.stderr.strip()[-2000:]


@pytest.mark.parametrize("case, native, rendition", [
    ("add_user_message", "zorvane.core.conversation", "pyref:conversation"),
    ("build_messages", "zorvane.core.conversation", "pyref:conversation"),
    ("click_near_text", "zorvane.pc.seek_press", "pyref:seek_press"),
    ("cancel_deep", "zorvane.core.conversation", "pyref:conversation"),
    ("close_deep", "zorvane.pc.seek_press", "pyref:seek_press"),
])
def test_deep_reentry_in_a_small_thread_stack(case, native, rendition):
    # the 200-level chains must fit in the stack also in a sanitizer build
    stack = 1024 * 1024 if case.endswith("_deep") else 256 * 1024
    expected = _reentry(rendition, case, stack)
    # the summarisation pass logs the RecursionError and the builds return
    assert expected[:2] == (0, {"build_messages": "returned", "cancel_deep": "CancelledError",
                                "close_deep": "returned"}.get(case, "RecursionError")), expected
    got = _reentry(native, case, stack)
    assert got[:2] == expected[:2], got


# ---------------------------------------------------------------------------
# 5. Exception context as in an `except` block


class BadStr(Exception):
    def __init__(self, result):
        super().__init__("bad")
        self.result = result

    def __str__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class History:
    def __init__(self, n=40):
        self.saved = []
        self.history = [{"id": i, "role": "user", "content": f"m{i}", "tool_calls": None, "tool_call_id": None}
                        for i in range(1, n + 1)]

    async def get_messages(self, conv_id, limit=None):
        return list(self.history[-limit:] if limit else self.history)

    async def get_facts(self, limit=10):
        return []

    async def save_conversation_summary(self, conv_id, summary):
        self.saved.append(summary)


def context_of(exc):
    ctx = exc.__context__
    return (type(exc).__name__, str(exc), type(ctx).__name__ if ctx is not None else None,
            str(ctx) if isinstance(ctx, Boom) else None)


def raised_context(coro_factory):
    try:
        asyncio.run(coro_factory())
    except BaseException as exc:  # noqa: B036 - compared
        return context_of(exc)
    return "no exception"


@pytest.mark.parametrize("failure", [
    pytest.param(BadStr(ValueError("str failed")), id="str_raises"),
    pytest.param(BadStr(5), id="str_returns_non_string"),
])
def test_summary_failure_message_raising_keeps_context(failure):
    class Summarizer:
        async def summarize_messages(self, messages, existing_summary=None):
            raise failure

    def scenario(module):
        manager = module.ConversationManager(History(), 10, None, Summarizer())
        manager._active_conversation_id = "c"
        return raised_context(manager.build_messages)

    got = both(scenario, native_conv, ref_conv)
    assert got[1][2] == "BadStr"


def test_logger_error_raising_keeps_context():
    class Logger:
        def info(self, *args, **kwargs):
            pass

        def error(self, *args, **kwargs):
            raise KeyError("logger")

    class Summarizer:
        async def summarize_messages(self, messages, existing_summary=None):
            raise Boom("summarizer")

    def scenario(module):
        saved = module.logger
        module.logger = Logger()
        try:
            manager = module.ConversationManager(History(), 10, None, Summarizer())
            manager._active_conversation_id = "c"
            return raised_context(manager.build_messages)
        finally:
            module.logger = saved

    assert both(scenario, native_conv, ref_conv) == ("ok", ("KeyError", "'logger'", "Boom", "summarizer"))


def _guarded_manager(module, store):
    class Manager(module.ConversationManager):
        armed = False

        def __setattr__(self, name, value):
            if self.armed and name == "_current_summary":
                raise AttributeError("cannot reset")
            super().__setattr__(name, value)

    manager = Manager(store)
    manager.armed = True
    return manager


def test_resume_failure_handler_raising_keeps_context():
    class Store:
        async def get_conversation_summary(self, conv_id):
            raise Boom("fetch")

    def scenario(module):
        return raised_context(lambda: _guarded_manager(module, Store()).resume_conversation("c"))

    assert both(scenario, native_conv, ref_conv) == ("ok", ("AttributeError", "cannot reset", "Boom", "fetch"))


@pytest.mark.parametrize("how", ["throw", "close", "cancel"])
def test_thrown_or_closed_handler_raising_keeps_context(how):
    class Store:
        async def get_conversation_summary(self, conv_id):
            while True:
                await generator_based(None)

    def scenario(module):
        manager = _guarded_manager(module, Store())
        if how == "cancel":
            async def main():
                task = asyncio.ensure_future(manager.resume_conversation("c"))
                await asyncio.sleep(0)
                task.cancel()
                await task

            return raised_context(main)
        coro = manager.resume_conversation("c")
        coro.send(None)
        try:
            if how == "throw":
                coro.throw(Boom("thrown"))
            else:
                coro.close()
        except BaseException as exc:  # noqa: B036 - compared
            return context_of(exc)
        finally:
            coro.close()
        return "no exception"

    got = both(scenario, native_conv, ref_conv)
    assert got[1][:2] == ("AttributeError", "cannot reset")


def test_click_image_guard_raising_keeps_context(monkeypatch):
    gui = types.ModuleType("pyautogui")

    def locate(*args, **kwargs):
        raise BadStr(ValueError("str failed"))

    gui.locateOnScreen = locate
    monkeypatch.setitem(sys.modules, "pyautogui", gui)

    def scenario(module):
        return raised_context(lambda: module.SeekPress(object(), object()).click_image("a.png"))

    assert both(scenario, native_sp, ref_sp) == ("ok", ("ValueError", "str failed", "BadStr", None))


# ---------------------------------------------------------------------------
# 6. Origin tracking


@pytest.fixture
def origin_depth():
    saved = sys.get_coroutine_origin_tracking_depth()
    sys.set_coroutine_origin_tracking_depth(3)
    try:
        yield
    finally:
        sys.set_coroutine_origin_tracking_depth(saved)


def _create_pair(make, native=native_conv, rendition=ref_conv):
    def inner():
        return make(native), make(rendition)  # one line: the same origin

    return inner()


def test_cr_origin_recorded_like_python(origin_depth):
    def make(module):
        return module.ConversationManager(object()).get_summary()

    native, rendition = _create_pair(make)
    try:
        assert native.cr_origin is not None
        assert native.cr_origin == rendition.cr_origin
        assert [f[2] for f in native.cr_origin] == ["make", "inner", "_create_pair"]
    finally:
        native.close()
        rendition.close()
    sys.set_coroutine_origin_tracking_depth(0)
    native, rendition = _create_pair(make)
    assert native.cr_origin is None and rendition.cr_origin is None
    native.close()
    rendition.close()


def test_never_awaited_warning_names_the_creation_site(origin_depth):
    def make(module):
        return module.SeekPress(object(), object()).click_text("OK")

    messages = []
    for index in range(2):
        pair = list(_create_pair(make, native_sp, ref_sp))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            pair[index] = None
            gc.collect()
        pair[1 - index].close()
        messages.append([str(w.message) for w in caught if w.category is RuntimeWarning])
    native, rendition = messages
    assert len(native) == 1 and native == rendition
    assert "coroutine 'SeekPress.click_text' was never awaited" in native[0]
    assert "Coroutine created at (most recent call last)" in native[0]
    assert "return make(native), make(rendition)" in native[0]


# 9. The class of a manager changed after its attributes were read: the change is seen

@pytest.mark.parametrize("change", ["property", "getattr", "getattribute"])
def test_class_changed_between_calls(change):
    class Store:
        def __init__(self, name):
            self.name = name

        async def add_message(self, *args, **kwargs):
            return len(self.name)

    def scenario(module):
        cls, manager = module.ConversationManager, module.ConversationManager(Store("instance"))
        manager._active_conversation_id = "c"
        got = [asyncio.run(manager.add_user_message("hi"))]
        hook = {"property": ("_memory", property(lambda self: Store("a property"))),
                "getattr": ("__getattr__", lambda self, name: Store("from __getattr__")),
                "getattribute": ("__getattribute__", lambda self, name: (
                    Store("from __getattribute__") if name == "_memory" else object.__getattribute__(self, name)))}
        name, value = hook[change]
        if change == "getattr":
            del manager._memory
        setattr(cls, name, value)
        try:
            got.append(asyncio.run(manager.add_user_message("hi")))
        finally:
            delattr(cls, name)
        manager._memory = Store("back")
        return got + [asyncio.run(manager.add_user_message("hi"))]

    both(scenario, native_conv, ref_conv)


# 10. A StopIteration leaving an operation after a suspension ends it as RuntimeError

def test_stop_iteration_after_a_suspension():
    class Screen:
        async def find_text(self, text, region=None):
            await asyncio.sleep(0)
            return {"found": True, "matches": [{"x": 1, "y": 2, "width": 3, "height": 4, "text": text}]}

    class Mouse:
        def click(self, *args, **kwargs):
            raise StopIteration("from the mouse")

    def scenario(module):
        try:
            asyncio.run(module.SeekPress(Mouse(), Screen()).click_text("OK"))
        except RuntimeError as exc:
            return str(exc), repr(exc.__cause__)

    both(scenario, native_sp, ref_sp)
