"""What Python tooling sees of the modules: signatures against the stubs,
help(), reprs, names, and how the coroutine operations and their coroutine
objects are classified."""

from __future__ import annotations

import ast
import asyncio
import collections.abc
import importlib
import inspect
import pydoc
import typing
import warnings
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs" / "zorvane"

MODULES = {
    "zorvane.core.conversation": STUBS / "core" / "conversation.pyi",
    "zorvane.pc.seek_press": STUBS / "pc" / "seek_press.pyi",
}
CLASSES = {"zorvane.core.conversation": "ConversationManager", "zorvane.pc.seek_press": "SeekPress"}

_KINDS = inspect.Parameter


@dataclass(frozen=True)
class StubFunction:
    module: str
    owner: str | None  # class name, None for a module function
    name: str
    is_async: bool
    params: tuple[tuple[str, Any, Any], ...]  # (name, kind, default or Parameter.empty)
    doc: str | None

    @property
    def id(self) -> str:
        return f"{self.owner}.{self.name}" if self.owner else self.name


def _literal(node: ast.expr | None) -> Any:
    return inspect.Parameter.empty if node is None else ast.literal_eval(node)


def _params(args: ast.arguments) -> tuple[tuple[str, Any, Any], ...]:
    out: list[tuple[str, Any, Any]] = []
    positional = [(a, _KINDS.POSITIONAL_ONLY) for a in args.posonlyargs]
    positional += [(a, _KINDS.POSITIONAL_OR_KEYWORD) for a in args.args]
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for (arg, kind), default in zip(positional, defaults):
        out.append((arg.arg, kind, _literal(default)))
    if args.vararg:
        out.append((args.vararg.arg, _KINDS.VAR_POSITIONAL, _KINDS.empty))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        out.append((arg.arg, _KINDS.KEYWORD_ONLY, _literal(default)))
    if args.kwarg:
        out.append((args.kwarg.arg, _KINDS.VAR_KEYWORD, _KINDS.empty))
    return tuple(out)


def _is_property(node: ast.FunctionDef | ast.AsyncFunctionDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)


def _stub_functions() -> list[StubFunction]:
    found: list[StubFunction] = []

    def add(module: str, owner: str | None, node: ast.FunctionDef | ast.AsyncFunctionDef) -> None:
        found.append(StubFunction(module, owner, node.name, isinstance(node, ast.AsyncFunctionDef),
                                  _params(node.args), ast.get_docstring(node)))

    for module, path in MODULES.items():
        tree = ast.parse(path.read_text(), str(path))
        for node in tree.body:
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                add(module, None, node)
            elif isinstance(node, ast.ClassDef):
                for item in node.body:
                    if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)) and not _is_property(item):
                        add(module, node.name, item)
    return found


STUB_FUNCTIONS = _stub_functions()
COROUTINE_OPS = [f for f in STUB_FUNCTIONS if f.is_async]
PLAIN_FUNCTIONS = [f for f in STUB_FUNCTIONS if not f.is_async]


def _module(name: str) -> ModuleType:
    module = importlib.import_module(name)
    if name == "zorvane.pc.seek_press" and not hasattr(module, "SeekPress"):
        pytest.skip("zorvane.pc.seek_press is still a placeholder module without SeekPress")
    return module


def _instance(module_name: str) -> Any:
    module = _module(module_name)
    cls = getattr(module, CLASSES[module_name])
    # Creating a coroutine object calls nothing on the collaborators.
    return cls(object()) if module_name.endswith("conversation") else cls(object(), object())


def _runtime(f: StubFunction) -> Any:
    module = _module(f.module)
    return getattr(getattr(module, f.owner), f.name) if f.owner else getattr(module, f.name)


def _shape(sig: inspect.Signature) -> tuple[tuple[str, Any, Any], ...]:
    return tuple((p.name, p.kind, p.default) for p in sig.parameters.values())


def _args_for(f: StubFunction) -> list[Any]:
    # Values that pass every declared argument check: the required parameters
    # of both modules are all text.
    return ["x" for _name, _kind, default in f.params[1:] if default is _KINDS.empty]


def _coroutine_function_checks(obj: Any) -> tuple[bool, bool]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # asyncio's variant, from 3.14 on
        return inspect.iscoroutinefunction(obj), asyncio.iscoroutinefunction(obj)


# ---------------------------------------------------------------------------
# Signatures against the stubs


def test_stubs_cover_the_documented_operations() -> None:
    ids = {(f.module.rsplit(".", 1)[1], f.id) for f in STUB_FUNCTIONS}
    expected = {("conversation", f"ConversationManager.{n}") for n in (
        "__init__", "start_conversation", "resume_conversation", "get_summary", "list_conversations",
        "delete_conversation", "add_user_message", "add_assistant_message", "add_tool_result",
        "build_messages", "_maybe_summarize")}
    expected |= {("conversation", "_merge_summaries")}
    expected |= {("seek_press", f"SeekPress.{n}") for n in (
        "__init__", "click_text", "click_near_text", "click_color", "click_image", "type_into")}
    assert ids == expected


@pytest.mark.parametrize("f", [f for f in STUB_FUNCTIONS if f.name != "__init__"], ids=lambda f: f.id)
def test_signature_matches_stub(f: StubFunction) -> None:
    runtime = _runtime(f)
    assert _shape(inspect.signature(runtime)) == f.params
    if f.owner:
        bound = getattr(_instance(f.module), f.name)
        assert _shape(inspect.signature(bound)) == f.params[1:]


@pytest.mark.parametrize("module_name", MODULES)
def test_constructor_signature_matches_stub(module_name: str) -> None:
    cls = getattr(_module(module_name), CLASSES[module_name])
    (init,) = [f for f in STUB_FUNCTIONS if f.owner == cls.__name__ and f.name == "__init__"]
    assert _shape(inspect.signature(cls)) == init.params[1:]


@pytest.mark.parametrize("module_name", MODULES)
def test_class_operations_are_those_of_the_stub(module_name: str) -> None:
    cls = getattr(_module(module_name), CLASSES[module_name])
    runtime = {n for n, v in vars(cls).items() if not n.startswith("__") and callable(v)}
    stub = {f.name for f in STUB_FUNCTIONS if f.owner == cls.__name__ and f.name != "__init__"}
    assert runtime == stub


@pytest.mark.parametrize("f", [f for f in STUB_FUNCTIONS if f.doc], ids=lambda f: f.id)
def test_stub_docstrings_agree_with_runtime(f: StubFunction) -> None:
    assert inspect.getdoc(_runtime(f)).startswith(f.doc)


def test_conversation_id_is_a_read_only_property() -> None:
    from zorvane.core.conversation import ConversationManager

    manager = ConversationManager(object())
    assert manager.conversation_id is None
    with pytest.raises(AttributeError):
        manager.conversation_id = "other"  # type: ignore[misc]
    with pytest.raises(AttributeError):
        del manager.conversation_id  # type: ignore[misc]
    assert inspect.isdatadescriptor(vars(ConversationManager)["conversation_id"])


# ---------------------------------------------------------------------------
# Classification of operations and coroutine objects


@pytest.mark.parametrize("f", COROUTINE_OPS, ids=lambda f: f.id)
def test_coroutine_operation_is_a_coroutine_function(f: StubFunction) -> None:
    bound = getattr(_instance(f.module), f.name)
    assert _coroutine_function_checks(_runtime(f)) == (True, True)
    assert _coroutine_function_checks(bound) == (True, True)


@pytest.mark.parametrize("module_name", MODULES)
def test_constructors_and_plain_functions_are_not_coroutine_functions(module_name: str) -> None:
    module = _module(module_name)
    cls = getattr(module, CLASSES[module_name])
    plain = [cls] + [getattr(module, f.name) for f in PLAIN_FUNCTIONS if f.module == module_name and not f.owner]
    for obj in plain:
        assert _coroutine_function_checks(obj) == (False, False), obj


@pytest.mark.parametrize("f", COROUTINE_OPS, ids=lambda f: f.id)
def test_coroutine_object_is_recognised(f: StubFunction) -> None:
    coro = getattr(_instance(f.module), f.name)(*_args_for(f))
    try:
        assert asyncio.iscoroutine(coro)
        assert inspect.isawaitable(coro)
        assert isinstance(coro, typing.Coroutine)
        assert isinstance(coro, collections.abc.Coroutine)
        assert isinstance(coro, collections.abc.Awaitable)
        assert repr(coro).startswith(f"<coroutine object {f.owner}.{f.name} at 0x")
        assert coro.__qualname__ == f"{f.owner}.{f.name}"
        assert coro.__name__ == f.name
    finally:
        coro.close()


def test_coroutine_object_runs_under_asyncio_machinery() -> None:
    # ensure_future and gather accept it as they accept a Python coroutine.
    from zorvane.core.conversation import ConversationManager

    class Store:
        async def list_conversations(self, limit: int) -> list[dict[str, Any]]:
            await asyncio.sleep(0)
            return [{"limit": limit}]

    async def main() -> list[Any]:
        manager = ConversationManager(Store())
        task = asyncio.ensure_future(manager.list_conversations(3))
        return await asyncio.gather(task, manager.list_conversations())

    assert asyncio.run(main()) == [[{"limit": 3}], [{"limit": 20}]]


# ---------------------------------------------------------------------------
# Names and help()


@pytest.mark.parametrize("module_name", MODULES)
def test_names(module_name: str) -> None:
    module = _module(module_name)
    cls = getattr(module, CLASSES[module_name])
    assert module.__name__ == module_name
    assert (cls.__module__, cls.__qualname__, cls.__name__) == (module_name, cls.__name__, cls.__name__)
    assert pydoc.locate(f"{module_name}.{cls.__name__}") is cls
    for f in STUB_FUNCTIONS:
        if f.module != module_name or f.name == "__init__":
            continue
        obj = _runtime(f)
        assert obj.__name__ == f.name
        assert obj.__qualname__ == f.id
        assert obj.__module__ == module_name


def _help_text(obj: Any) -> str:
    return pydoc.render_doc(obj, renderer=pydoc.plaintext)


def test_help_conversation_manager() -> None:
    from zorvane.core.conversation import ConversationManager

    text = _help_text(ConversationManager)
    assert "class ConversationManager(builtins.object)" in text
    assert "ConversationManager(memory, context_window=20, planner=None, summarizer=None)" in text
    assert "Manages active conversations and builds message arrays for the LLM." in text
    assert "ensuring goals are never lost." in text
    assert "async get_summary(self)\n |      Get the current conversation summary (for UI display)." in text
    for line in ("async start_conversation(self, title=None)", "async list_conversations(self, limit=20)",
                 "async add_tool_result(self, tool_call_id, content)", "async build_messages(self)"):
        assert line in text
    assert "conversation_id" in text


def test_help_seek_press() -> None:
    SeekPress = _module("zorvane.pc.seek_press").SeekPress
    text = _help_text(SeekPress)
    assert "SeekPress(mouse, screen)" in text
    assert "Find-and-click: locate UI elements by text or image, then click them." in text
    for use in ('click_text("OK")', 'click_text("Submit", double=True)',
                'click_near_text("Username", offset_y=30)', 'click_color("#00ff00")'):
        assert use in text
    assert "Find text on screen via OCR and click its center." in text
    for name in ("click_text", "click_near_text", "click_color", "click_image", "type_into"):
        assert f"async {name}(" in text


def test_help_module_function() -> None:
    from zorvane.core import conversation

    text = _help_text(conversation._merge_summaries)
    assert "_merge_summaries(old, new)" in text
