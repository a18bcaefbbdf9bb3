"""Both modules in isolated subinterpreters, each with its own GIL: imported
in several interpreters at once, operations awaited in each from its own
thread, nothing shared between interpreters, and a module dropped from
sys.modules imports again and works.

3.13 offers isolated interpreters through `_interpreters`, 3.14 and later
through `concurrent.interpreters`; 3.12 has neither and skips those tests.
"""

from __future__ import annotations

import importlib
import shutil
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

from _collab import run
from zorvane.core import conversation
from zorvane.pc import seek_press

ROOT = Path(__file__).resolve().parent.parent

try:
    if sys.version_info >= (3, 14):
        from concurrent import interpreters as _api
    else:
        import _interpreters as _api
except ImportError:
    _api = None
needs_interpreters = pytest.mark.skipif(_api is None, reason="no isolated subinterpreters before 3.13")

if sys.version_info >= (3, 14):

    def _create():
        return _api.create()

    def _exec(interp, code: str) -> None:
        interp.exec(code)  # raises ExecutionFailed with the interpreter's traceback

    def _close(interp) -> None:
        interp.close()

else:

    def _create():
        return _api.create("isolated")

    def _exec(interp, code: str) -> None:
        failure = _api.exec(interp, code)
        if failure is not None:
            raise RuntimeError(f"in subinterpreter {interp}:\n{failure.errdisplay}")

    def _close(interp) -> None:
        _api.destroy(interp)


# Where this run's modules and the stand-in host modules come from (the
# sanitizer and debug stages put a build tree ahead of the installed wheel);
# a new interpreter starts from the same search path.
PRELUDE = textwrap.dedent(f"""
    import asyncio, sys
    if sys.platform == "win32":
        # The Proactor loop cannot start in a subinterpreter's main thread:
        # it calls signal.set_wakeup_fd(), which only the main interpreter may.
        asyncio.set_event_loop_policy(asyncio.WindowsSelectorEventLoopPolicy())
    sys.path[:0] = {[str(Path(conversation.__file__).resolve().parents[2]), str(ROOT / "host")]!r}
    from zorvane.core import conversation
    from zorvane.core.memory import MemoryStore
    from zorvane.pc import seek_press
    from zorvane.pc.mouse import MouseController
    from zorvane.pc.screen import ScreenReader
    assert conversation.__file__ == {conversation.__file__!r}, conversation.__file__
    assert seek_press.__file__ == {seek_press.__file__!r}, seek_press.__file__

    async def converse(prompt, rounds):
        manager = conversation.ConversationManager(MemoryStore(), context_window=4)
        await manager.start_conversation("sub")
        for i in range(rounds):
            await manager.add_user_message(f"message {{i}}")
            messages = await manager.build_messages()
            assert messages[0] == {{"role": "system", "content": prompt}}, messages[0]
            assert messages[-1]["content"] == f"message {{i}}", messages[-1]
        return manager.conversation_id

    async def press(rounds):
        screen = ScreenReader()
        screen.add_text("Save", x=100, y=40, width=60, height=20)
        mouse = MouseController()
        sp = seek_press.SeekPress(mouse, screen)
        for _ in range(rounds):
            result = await sp.click_text("save")
            assert result["success"] and result["clicked_at"] == (130, 50), result
            missing = await sp.click_color("#123456", tolerance=0)
            assert missing["success"] is False, missing
""")


@pytest.fixture
def interp():
    made = []

    def make():
        made.append(_create())
        return made[-1]

    yield make
    for i in made:
        _close(i)


@needs_interpreters
def test_both_modules_run_in_an_isolated_interpreter(interp):
    i = interp()
    _exec(i, PRELUDE + textwrap.dedent("""
        asyncio.run(converse(conversation.SYSTEM_PROMPT, 3))
        asyncio.run(press(2))
        assert conversation._merge_summaries({"summary": "a"}, {"summary": "s", "goals": ["g"]})["goals"] == ["g"]
    """))


@needs_interpreters
def test_system_prompt_is_per_interpreter(interp):
    default = conversation.SYSTEM_PROMPT
    a, b = interp(), interp()
    _exec(a, PRELUDE + "conversation.SYSTEM_PROMPT = 'prompt of A'\n")
    _exec(b, PRELUDE + "conversation.SYSTEM_PROMPT = 'prompt of B'\n")
    # Each keeps its own binding; this interpreter's module is untouched.
    _exec(a, "asyncio.run(converse('prompt of A', 1))\n")
    _exec(b, "asyncio.run(converse('prompt of B', 1))\n")
    assert conversation.SYSTEM_PROMPT == default
    c = interp()
    _exec(c, PRELUDE + f"asyncio.run(converse({default!r}, 1))\n")


@needs_interpreters
def test_interpreters_on_their_own_threads_at_once(interp):
    # Each thread drives its own interpreter (own GIL): the operations run in
    # parallel, every interpreter with its own prompt, types and texts.
    count, rounds = 4, 30
    interps = [interp() for _ in range(count)]
    start = threading.Barrier(count)
    errors: list[BaseException] = []

    def work(n: int) -> None:
        try:
            start.wait()
            _exec(interps[n], PRELUDE + textwrap.dedent(f"""
                conversation.SYSTEM_PROMPT = "agent {n}"
                async def both():
                    await asyncio.gather(converse("agent {n}", {rounds}), press({rounds}))
                asyncio.run(both())
                assert conversation.SYSTEM_PROMPT == "agent {n}"
            """))
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors[0]


@needs_interpreters
def test_dropped_module_imports_again_in_a_subinterpreter(interp):
    i = interp()
    _exec(i, PRELUDE + textwrap.dedent("""
        import gc, importlib
        old_conv, old_sp = conversation, seek_press
        old_conv.SYSTEM_PROMPT = "old module"
        old_manager = old_conv.ConversationManager(MemoryStore())
        for name in ("zorvane.core.conversation", "zorvane.pc.seek_press"):
            del sys.modules[name]
        conversation = importlib.import_module("zorvane.core.conversation")
        seek_press = importlib.import_module("zorvane.pc.seek_press")
        assert conversation is not old_conv and seek_press is not old_sp
        assert conversation.ConversationManager is not old_conv.ConversationManager
        assert conversation.SYSTEM_PROMPT != "old module"
        asyncio.run(converse(conversation.SYSTEM_PROMPT, 2))
        asyncio.run(press(2))
        # The old module still works for what was made from it, then goes away.
        asyncio.run(old_manager.start_conversation("old"))
        del old_conv, old_sp, old_manager
        gc.collect()
        asyncio.run(converse(conversation.SYSTEM_PROMPT, 1))
    """))


def test_dropped_module_imports_again_here():
    names = ("zorvane.core.conversation", "zorvane.pc.seek_press")
    saved = {name: sys.modules[name] for name in names}
    try:
        for name in names:
            del sys.modules[name]
        conv = importlib.import_module(names[0])
        sp = importlib.import_module(names[1])
        assert conv is not conversation and sp is not seek_press
        from zorvane.core.memory import MemoryStore

        async def go():
            manager = conv.ConversationManager(MemoryStore())
            await manager.start_conversation("again")
            await manager.add_user_message("hi")
            return await manager.build_messages()

        messages = run(go())
        assert messages[0]["content"] == conv.SYSTEM_PROMPT
        assert isinstance(sp.SeekPress(object(), object()), sp.SeekPress)
        assert not isinstance(sp.SeekPress(object(), object()), seek_press.SeekPress)
    finally:
        sys.modules.update(saved)


@pytest.mark.skipif(not sys.platform.startswith("linux") or not shutil.which("readelf"), reason="ELF check")
@pytest.mark.parametrize("module", [conversation, seek_press], ids=["conversation", "seek_press"])
def test_no_process_wide_variables(module):
    # Everything a module keeps lives in its module state; its only writable
    # data are the constant type, method and parameter tables. A zero-
    # initialised variable (a cached object, a function-local static) would
    # show up in .bss, which otherwise holds only the C runtime's one flag and
    # the stack guard's thread-specific key with its creation state (machine
    # addresses per OS thread, no Python object: 16 bytes with padding).
    path = module.__file__
    needed = subprocess.run(["readelf", "-dW", path], capture_output=True, text=True, check=True).stdout
    if "libasan" in needed or "libubsan" in needed:
        pytest.skip("sanitizer builds keep their own bookkeeping in .bss")
    if "libstdc++" not in needed and "libc++" not in needed:
        pytest.skip("the C++ runtime is linked in (manylinux wheels) with its own state in .bss; "
                    "the g++ builds check ours")
    symbols = subprocess.run(["readelf", "-sW", path], capture_output=True, text=True, check=True).stdout
    if "__gcov_" in symbols:
        pytest.skip("coverage builds keep their counters in .bss")
    sections = subprocess.run(["readelf", "-SW", path], capture_output=True, text=True, check=True).stdout
    bss = [line.split() for line in sections.splitlines() if " .bss " in line]
    assert len(bss) == 1, sections
    size = int(bss[0][bss[0].index(".bss") + 4], 16)
    assert size <= 8 + 16, f".bss of {path} holds {size} bytes"
