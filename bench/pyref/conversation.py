"""Pure-Python rendition of ``zorvane.core.conversation``.

Kept under bench/ as the baseline of the benchmarks and as the oracle of the
differential tests; it is not shipped. It follows the native module step by
step: the same collaborator calls in the same order (awaited or not,
positional or keyword), the same dictionaries with the same key order, the
same log records. Where this file differs from the native module:

- every operation is a plain ``async def``, so argument checks run when the
  coroutine is first resumed rather than when the operation is called; the
  checks themselves are light (exact ``str``, ``list``, ``dict`` tests and the
  integer conversion), and results are held to their declared types;
- ``zorvane.core.memory`` is imported when available; without it the module
  still loads (the name only serves as a declared type).

Decided behaviour that departs from the literal description of the host's
original module (and that the native module builds too):

- a summarisation pass is bound to the conversation it fetched (see
  ``_maybe_summarize``);
- ``_merge_summaries`` keeps the progress in chronological order and gives
  goals and key facts in first-seen order.
"""

import json
import logging
import uuid
from typing import Any

try:
    from zorvane.core.memory import MemoryStore
except ImportError:  # the benchmark runs without the host package
    MemoryStore = Any

logger = logging.getLogger("zorvane.conversation")

SYSTEM_PROMPT = """\
You are Zorvane, an autonomous AI assistant with full control of the user's local machine.
You can run shell commands, edit files, browse the web, control the desktop, and more.

## Planning
For any non-trivial task, **always create a plan first** using the `plan` tool.
1. Create a plan \u2014 break the task into clear steps.
2. Mark each step in-progress before you begin.
3. Mark each step done when finished.
4. If a step fails, mark it failed and decide whether to retry or skip.

## Memory
You have a persistent memory system. Use the `memory` tool to:
- Save important facts, decisions, and progress
- Recall information from earlier in the conversation
- The memory persists across context window boundaries

Always review the conversation summary and active plan before starting work.
If there's a summary of earlier conversation, READ IT CAREFULLY \u2014 it contains
your original goals and progress that you must continue from.
"""


def _type_error(name, expected, value):
    return TypeError(
        "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
        % (name, expected, type(value).__name__)
    )


def _check_str(name, value, none_ok=False):
    if type(value) is str or (none_ok and value is None):
        return value
    raise _type_error(name, "str", value)


def _to_int(name, value):
    """Declared "int": an int as is, any other real number truncated."""
    if type(value) is int:
        return value
    if isinstance(value, (int, float)) or (
        hasattr(type(value), "__float__") and not isinstance(value, (str, bytes, bytearray, complex))
    ):
        return int(value)
    raise _type_error(name, "int", value)


def _int_result(value):
    if value is None or type(value) is int:
        return value
    if isinstance(value, (int, float)):
        return int(value)
    raise TypeError("Expected int, got %.200s" % type(value).__name__)


def _exact_result(value, tp):
    if value is None or type(value) is tp:
        return value
    raise TypeError("Expected %s, got %.200s" % (tp.__name__, type(value).__name__))


class ConversationManager:
    """Manages active conversations and builds message arrays for the LLM.

    Key innovation: Smart context window management that summarizes old
    messages instead of dropping them, ensuring goals are never lost.
    """

    def __init__(self, memory, context_window=20, planner=None, summarizer=None):
        self._memory = memory
        self._context_window = _to_int("context_window", context_window)
        self._active_conversation_id = None
        self._planner = planner
        self._summarizer = summarizer
        self._current_summary = None
        self._summarized_up_to = 0

    @property
    def conversation_id(self):
        return _exact_result(self._active_conversation_id, str)

    # -- lifecycle ---------------------------------------------------------

    async def start_conversation(self, title=None):
        _check_str("title", title, none_ok=True)
        conv_id = str(uuid.uuid4())
        await self._memory.create_conversation(conv_id, title)
        self._active_conversation_id = conv_id
        self._current_summary = None
        self._summarized_up_to = 0
        return conv_id

    async def resume_conversation(self, conv_id):
        _check_str("conv_id", conv_id)
        self._active_conversation_id = conv_id
        try:
            summary = await self._memory.get_conversation_summary(conv_id)
        except BaseException:
            # Never keep the previous conversation's summary under the new id.
            self._current_summary = None
            self._summarized_up_to = 0
            raise
        self._current_summary = summary
        if self._current_summary:
            self._summarized_up_to = self._current_summary.get("summarized_up_to", 0)
        else:
            self._summarized_up_to = 0
        return None

    async def get_summary(self):
        """Get the current conversation summary (for UI display)."""
        if self._current_summary:
            return _exact_result(self._current_summary, dict)
        if not self._active_conversation_id:
            return None
        return _exact_result(
            await self._memory.get_conversation_summary(self._active_conversation_id), dict
        )

    async def list_conversations(self, limit=20):
        limit = _to_int("limit", limit)
        return _exact_result(await self._memory.list_conversations(limit), list)

    async def delete_conversation(self, conv_id):
        _check_str("conv_id", conv_id)
        await self._memory.delete_conversation(conv_id)
        if self._active_conversation_id == conv_id:
            self._active_conversation_id = None
            self._current_summary = None
            self._summarized_up_to = 0
        return None

    # -- recording ---------------------------------------------------------

    async def add_user_message(self, content):
        _check_str("content", content)
        assert self._active_conversation_id
        return _int_result(
            await self._memory.add_message(self._active_conversation_id, "user", content=content)
        )

    async def add_assistant_message(self, content=None, tool_calls=None):
        _check_str("content", content, none_ok=True)
        if tool_calls is not None and type(tool_calls) is not list:
            raise _type_error("tool_calls", "list", tool_calls)
        assert self._active_conversation_id
        return _int_result(
            await self._memory.add_message(
                self._active_conversation_id, "assistant", content=content, tool_calls=tool_calls
            )
        )

    async def add_tool_result(self, tool_call_id, content):
        _check_str("tool_call_id", tool_call_id)
        _check_str("content", content)
        assert self._active_conversation_id
        if not content.strip():
            content = "(no output)"
        return _int_result(
            await self._memory.add_message(
                self._active_conversation_id, "tool", content=content, tool_call_id=tool_call_id
            )
        )

    # -- message array -----------------------------------------------------

    async def build_messages(self):
        """Build the message array for the LLM, including system prompt and context.

        Message structure (in order):
          1. System prompt (overridden by agent)
          2. [If exists] Conversation summary from earlier messages
          3. [If exists] Active plan with progress
          4. [If exists] Persistent facts
          5. Recent conversation messages (within context window)
        """
        await self._maybe_summarize()

        messages = [{"role": "system", "content": SYSTEM_PROMPT}]

        if self._current_summary and self._summarizer:
            summary_text = self._summarizer.format_summary_for_context(self._current_summary)
            if summary_text.strip():
                messages.append({"role": "system", "content": summary_text})

        if self._planner and self._active_conversation_id:
            plan = await self._planner.get_active_plan(self._active_conversation_id)
            if plan:
                plan_text = self._planner.format_plan_for_context(plan)
                messages.append({"role": "system", "content": f"Current execution plan:\n\n{plan_text}"})

        facts = await self._memory.get_facts(limit=10)
        if facts:
            fact_lines = [f"- [{f['category']}] {f['content']}" for f in facts]
            messages.append({
                "role": "system",
                "content": "Known facts about the user and their environment:\n" + "\n".join(fact_lines),
            })

        if not self._active_conversation_id:
            return messages

        history = await self._memory.get_messages(self._active_conversation_id, limit=self._context_window)
        raw = []
        for msg in history:
            role = msg["role"]
            entry = {"role": role}
            content = msg["content"]
            if content:
                entry["content"] = content
            elif role == "tool":
                entry["content"] = "(no output)"
            elif role == "assistant":
                entry["content"] = ""
            tool_calls = msg["tool_calls"]
            if tool_calls:
                out_calls = []
                for tc in tool_calls:
                    args = tc["arguments"]
                    out_calls.append({
                        "id": tc["id"],
                        "type": "function",
                        "function": {
                            "name": tc["name"],
                            "arguments": json.dumps(args) if isinstance(args, dict) else args,
                        },
                    })
                entry["tool_calls"] = out_calls
            tool_call_id = msg["tool_call_id"]
            if tool_call_id:
                entry["tool_call_id"] = tool_call_id
            raw.append(entry)

        # Every tool call in the window keeps its result and every result its call.
        tool_use_ids = set()
        tool_result_ids = set()
        for entry in raw:
            calls = entry.get("tool_calls")
            if calls:
                for tc in calls:
                    tool_use_ids.add(tc["id"])
            if entry["role"] == "tool":
                tcid = entry.get("tool_call_id")
                if tcid:
                    tool_result_ids.add(tcid)

        for entry in raw:
            if entry["role"] == "tool":
                tcid = entry.get("tool_call_id")
                if tcid and tcid not in tool_use_ids:
                    continue
            calls = entry.get("tool_calls")
            if calls:
                paired = [tc for tc in calls if tc["id"] in tool_result_ids]
                if not paired:
                    del entry["tool_calls"]
                elif len(paired) < len(calls):
                    entry["tool_calls"] = paired
            messages.append(entry)

        return messages

    # -- summarisation -----------------------------------------------------

    async def _maybe_summarize(self):
        """Check if we need to summarize old messages and do so if needed.

        Summarization is triggered when total messages exceed 1.5x the
        context window. We summarize the oldest messages, keeping the
        most recent context_window messages verbatim.
        """
        if not self._summarizer or not self._active_conversation_id:
            return None

        # The pass belongs to the conversation it fetches: remember it, with
        # its running summary and marker, before the first suspension.
        conv_id = self._active_conversation_id
        start_summary = self._current_summary
        start_marker = self._summarized_up_to

        all_messages = await self._memory.get_messages(conv_id)
        total = len(all_messages)
        threshold = int(self._context_window * 1.5)
        if total <= threshold:
            return None

        keep_count = self._context_window
        messages_to_summarize = all_messages[:-keep_count]

        if self._active_conversation_id == conv_id:
            marker = self._summarized_up_to
            running = self._current_summary
        else:
            marker = start_marker
            running = start_summary

        new_messages = [m for m in messages_to_summarize if m["id"] > marker]
        if not new_messages:
            return None

        logger.info(
            "Summarizing %d messages (total: %d, window: %d)",
            len(new_messages), total, self._context_window,
        )

        try:
            existing_summary_text = None
            if running and running.get("summary"):
                existing_summary_text = running["summary"]

            summary = await self._summarizer.summarize_messages(
                new_messages, existing_summary=existing_summary_text
            )

            last_summarized_id = messages_to_summarize[-1]["id"]
            summary["summarized_up_to"] = last_summarized_id
            summary["message_count"] = total
            summary["summarized_count"] = len(messages_to_summarize)

            still_active = self._active_conversation_id == conv_id
            base = self._current_summary if still_active else start_summary
            if base:
                summary = _merge_summaries(base, summary)

            await self._memory.save_conversation_summary(conv_id, summary)

            if self._active_conversation_id == conv_id:
                self._current_summary = summary
                self._summarized_up_to = last_summarized_id

            logger.info(
                "Summary updated: %d goals, %d facts, %d progress items",
                len(summary.get("goals", [])),
                len(summary.get("key_facts", [])),
                len(summary.get("progress", [])),
            )
        except Exception as e:
            logger.error(f"Summarization failed: {e}", exc_info=True)
        return None


def _merge_summaries(old, new):
    """Merge an old summary with a new one, keeping the most complete picture."""
    if type(old) is not dict:
        raise _type_error("old", "dict", old)
    if type(new) is not dict:
        raise _type_error("new", "dict", new)

    merged = dict(new)

    merged["goals"] = list(dict.fromkeys([*old.get("goals", []), *new.get("goals", [])]))
    merged["key_facts"] = list(dict.fromkeys([*old.get("key_facts", []), *new.get("key_facts", [])]))
    merged["key_decisions"] = list(
        dict.fromkeys([*old.get("key_decisions", []), *new.get("key_decisions", [])])
    )

    new_progress = new.get("progress", [])
    seen = set(new_progress)
    merged["progress"] = [p for p in old.get("progress", []) if p not in seen] + list(new_progress)

    return merged
