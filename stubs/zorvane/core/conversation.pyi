"""Conversation context management: keeps the agent's goals in view however long a task runs."""

import logging
from typing import TYPE_CHECKING, Any

from typing_extensions import disjoint_base

if TYPE_CHECKING:
    from zorvane.core.memory import MemoryStore

# The module also binds json, logging, uuid, Any and MemoryStore at run time;
# they are its imports, not part of its interface, and are not re-exported here.

logger: logging.Logger
SYSTEM_PROMPT: str

@disjoint_base
class ConversationManager:
    """Manages active conversations and builds message arrays for the LLM."""

    _memory: MemoryStore
    _context_window: int
    _active_conversation_id: str | None
    _planner: Any
    _summarizer: Any
    _current_summary: dict[str, Any] | None
    _summarized_up_to: int

    def __init__(
        self,
        memory: MemoryStore,
        context_window: int = 20,
        planner: Any = None,
        summarizer: Any = None,
    ) -> None: ...
    @property
    def conversation_id(self) -> str | None: ...
    async def start_conversation(self, title: str | None = None) -> str: ...
    async def resume_conversation(self, conv_id: str) -> None: ...
    async def get_summary(self) -> dict[str, Any] | None:
        """Get the current conversation summary (for UI display)."""
    async def list_conversations(self, limit: int = 20) -> list[dict[str, Any]]: ...
    async def delete_conversation(self, conv_id: str) -> None: ...
    async def add_user_message(self, content: str) -> int: ...
    async def add_assistant_message(
        self,
        content: str | None = None,
        tool_calls: list[dict[Any, Any]] | None = None,
    ) -> int: ...
    async def add_tool_result(self, tool_call_id: str, content: str) -> int: ...
    async def build_messages(self) -> list[dict[str, Any]]: ...
    async def _maybe_summarize(self) -> None: ...

def _merge_summaries(old: dict[str, Any], new: dict[str, Any]) -> dict[str, Any]: ...
