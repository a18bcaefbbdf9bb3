"""Typed host code using both modules; checked with `mypy --strict`, never run.

The lines marked `# type: ignore[...]` are calls the stubs must refuse: under
--strict an ignore that is not needed is itself an error, so each of them
proves that the stubs reject that call.
"""

from __future__ import annotations

import logging
from typing import Any, assert_type

from zorvane.core import conversation
from zorvane.core.conversation import ConversationManager, _merge_summaries
from zorvane.core.memory import MemoryStore
from zorvane.pc import seek_press
from zorvane.pc.mouse import MouseController
from zorvane.pc.screen import ScreenReader, ScreenRegion
from zorvane.pc.seek_press import SeekPress


async def one_turn(store: MemoryStore, planner: object, summarizer: object) -> list[dict[str, Any]]:
    manager = ConversationManager(store, 20, planner, summarizer)
    manager = ConversationManager(memory=store, context_window=10)
    assert_type(manager.conversation_id, str | None)

    conv_id = await manager.start_conversation("Quarterly report")
    assert_type(conv_id, str)
    await manager.start_conversation(title=None)
    assert_type(await manager.resume_conversation(conv_id), None)
    assert_type(await manager.get_summary(), dict[str, Any] | None)
    assert_type(await manager.list_conversations(limit=5), list[dict[str, Any]])

    user_id: int = await manager.add_user_message("Summarise the sales figures")
    calls: list[dict[Any, Any]] = [{"id": "call_1", "name": "read_file", "arguments": {"path": "q3.csv"}}]
    await manager.add_assistant_message(None, tool_calls=calls)
    await manager.add_assistant_message(content="Done.")
    await manager.add_tool_result("call_1", "region,total\nnorth,12")
    await manager.add_tool_result(tool_call_id="call_1", content="")
    await manager._maybe_summarize()
    messages = await manager.build_messages()
    assert_type(messages, list[dict[str, Any]])

    merged = _merge_summaries({"summary": "a"}, new={"summary": "b", "progress": []})
    assert_type(merged, dict[str, Any])
    assert_type(conversation.SYSTEM_PROMPT, str)
    conversation.SYSTEM_PROMPT = "You are a terse assistant."
    assert_type(conversation.logger, logging.Logger)

    # Calls the stubs refuse.
    manager.conversation_id = "x"  # type: ignore[misc]
    await manager.add_user_message(None)  # type: ignore[arg-type]
    await manager.add_user_message(b"bytes")  # type: ignore[arg-type]
    await manager.resume_conversation()  # type: ignore[call-arg]
    await manager.build_messages(True)  # type: ignore[call-arg]
    await manager.list_conversations("20")  # type: ignore[arg-type]
    await manager.add_assistant_message(tool_calls={"id": "call_1"})  # type: ignore[arg-type]
    _merge_summaries(None, {})  # type: ignore[arg-type]
    ConversationManager()  # type: ignore[call-arg]
    manager.start_conversation(7)  # type: ignore[arg-type, unused-coroutine]
    manager.add_user_message("forgotten await")  # type: ignore[unused-coroutine]
    user_id = await manager.start_conversation()  # type: ignore[assignment]
    return messages


async def press(mouse: MouseController, screen: ScreenReader, region: ScreenRegion) -> bool:
    presser = SeekPress(mouse, screen)
    presser = SeekPress(mouse=mouse, screen=screen)
    ok = await presser.click_text("OK")
    assert_type(ok, dict[str, Any])
    await presser.click_text("Submit", double=True, region=region, timeout=2, retry_interval=0.5)
    await presser.click_text("Save", "right", False, None, 5.0, 1.0)
    await presser.click_near_text("Username", offset_y=30)
    await presser.click_near_text("Password", 120, 0, "left", region)
    await presser.click_color("#00ff00", tolerance=10, button="left", region=None)
    await presser.click_image("ok_button.png", confidence=0.9)
    filled = await presser.type_into("Email", "user@example.com", clear_first=False, region=region)
    assert_type(filled, dict[str, Any])
    assert_type(seek_press.logger, logging.Logger)

    # Calls the stubs refuse.
    await presser.click_text()  # type: ignore[call-arg]
    await presser.click_text(None)  # type: ignore[arg-type]
    await presser.click_text("OK", region=(0, 0, 10, 10))  # type: ignore[arg-type]
    await presser.click_near_text("Name", offset_x="30")  # type: ignore[arg-type]
    await presser.click_color(0x00FF00)  # type: ignore[arg-type]
    await presser.click_image("ok.png", confidence="high")  # type: ignore[arg-type]
    await presser.click_image("ok.png", region=region)  # type: ignore[call-arg]
    await presser.type_into("Email")  # type: ignore[call-arg]
    SeekPress(mouse)  # type: ignore[call-arg]
    return bool(ok["success"]) and bool(filled.get("success"))
