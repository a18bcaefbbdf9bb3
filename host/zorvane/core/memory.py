"""In-memory stand-in for the host's memory store (tests and demo only).

Every operation is a coroutine, as the host's store is. Message ids start at 1
and grow in recording order across all conversations of one store.
"""

from __future__ import annotations

import copy
from typing import Any


class MemoryStore:
    def __init__(self) -> None:
        self.conversations: dict[str, dict[str, Any]] = {}
        self.messages: dict[str, list[dict[str, Any]]] = {}
        self.summaries: dict[str, dict[str, Any]] = {}
        self.facts: list[dict[str, Any]] = []
        self._next_id = 1

    async def create_conversation(self, conv_id: str, title: str | None = None) -> None:
        self.conversations[conv_id] = {"id": conv_id, "title": title}
        self.messages.setdefault(conv_id, [])

    async def get_conversation_summary(self, conv_id: str) -> dict[str, Any] | None:
        summary = self.summaries.get(conv_id)
        return copy.deepcopy(summary) if summary is not None else None

    async def list_conversations(self, limit: int = 20) -> list[dict[str, Any]]:
        records = list(self.conversations.values())
        return [dict(r) for r in reversed(records)][:limit]

    async def delete_conversation(self, conv_id: str) -> None:
        self.conversations.pop(conv_id, None)
        self.messages.pop(conv_id, None)
        self.summaries.pop(conv_id, None)

    async def add_message(
        self,
        conv_id: str,
        role: str,
        *,
        content: str | None = None,
        tool_calls: list[dict[str, Any]] | None = None,
        tool_call_id: str | None = None,
    ) -> int:
        message_id = self._next_id
        self._next_id += 1
        self.messages.setdefault(conv_id, []).append(
            {
                "id": message_id,
                "role": role,
                "content": content,
                "tool_calls": tool_calls,
                "tool_call_id": tool_call_id,
            }
        )
        return message_id

    async def get_messages(self, conv_id: str, *, limit: int | None = None) -> list[dict[str, Any]]:
        history = self.messages.get(conv_id, [])
        if limit is not None:
            history = history[-limit:] if limit > 0 else []
        return [dict(m) for m in history]

    def add_fact(self, category: str, content: str) -> None:
        self.facts.append({"category": category, "content": content})

    async def get_facts(self, *, limit: int = 10) -> list[dict[str, Any]]:
        return [dict(f) for f in self.facts[:limit]]

    async def save_conversation_summary(self, conv_id: str, summary: dict[str, Any]) -> None:
        self.summaries[conv_id] = copy.deepcopy(summary)
