"""The floor of each benchmarked operation.

Each function makes the same collaborator calls as the operation (the
same awaited store, planner, summarizer, screen, mouse and sleep calls, and
the same clock reads) and builds output objects of the same shape, with no
logic of its own: no tests, no conversion, no pairing. What an operation
costs above its floor is the cost of its own work.
"""

import asyncio
import time
import uuid

_PROMPT = "system prompt"
_FACTS = "Known facts about the user and their environment:\n- ..."


async def build_messages(memory, conv_id, window, planner=None, summarizer=None, summary=None):
    """Store calls of build_messages, plus one dict(m) copy per windowed message."""
    if summarizer is not None:
        await memory.get_messages(conv_id)  # the summarisation pass's fetch
    out = [{"role": "system", "content": _PROMPT}]
    if summary is not None:
        out.append({"role": "system", "content": summarizer.format_summary_for_context(summary)})
    if planner is not None:
        plan = await planner.get_active_plan(conv_id)
        out.append({"role": "system", "content": planner.format_plan_for_context(plan)})
    if await memory.get_facts(limit=10):
        out.append({"role": "system", "content": _FACTS})
    out.extend(map(dict, await memory.get_messages(conv_id, limit=window)))
    return out


async def maybe_summarize(memory, conv_id):
    """The whole-history fetch of a pass that finds nothing new."""
    len(await memory.get_messages(conv_id))


def merge_summaries(old, new):
    """A copy of ``new`` and four lists built by C-level concatenation."""
    merged = dict(new)
    merged["goals"] = old["goals"] + new["goals"]
    merged["key_facts"] = old["key_facts"] + new["key_facts"]
    merged["key_decisions"] = old["key_decisions"] + new["key_decisions"]
    merged["progress"] = old["progress"] + new["progress"]
    return merged


async def add_user_message(memory, conv_id, content):
    return await memory.add_message(conv_id, "user", content=content)


async def add_assistant_message(memory, conv_id, content=None, tool_calls=None):
    return await memory.add_message(conv_id, "assistant", content=content, tool_calls=tool_calls)


async def add_tool_result(memory, conv_id, tool_call_id, content):
    return await memory.add_message(conv_id, "tool", content=content, tool_call_id=tool_call_id)


async def start_conversation(memory, title=None):
    conv_id = str(uuid.uuid4())
    await memory.create_conversation(conv_id, title)
    return conv_id


async def click_text(screen, mouse, target, misses=0, retry_interval=1.0):
    """``misses`` failed searches with their clock reads and sleeps, then
    one search that finds, one click and the result dictionary."""
    time.time()
    for _ in range(misses):
        time.time()
        await screen.find_text(target, region=None)
        time.time()
        await asyncio.sleep(retry_interval)
    time.time()
    result = await screen.find_text(target, region=None)
    match = result["matches"][0]
    click = await mouse.click(120, 60, button="left")
    return {"success": True, "target": target, "clicked_at": (120, 60), "match": match,
            "attempts": misses + 1, "click": click}
