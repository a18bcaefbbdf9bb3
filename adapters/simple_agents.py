"""Deterministic summarizer and planner for ConversationManager.

These are reference collaborators that need no LLM: the summarizer condenses
messages by fixed rules, the planner keeps plans in memory. A host that has a
model swaps them for LLM-backed objects with the same operations.

SimpleSummarizer rules (per batch of Message dictionaries):

* goals: the first sentence of every user message;
* key_facts: user or tool sentences that state a constraint or a fact
  ("must", "never", "always", "remember", "note:", "fact:", ...);
* key_decisions: assistant sentences that announce a choice ("I will",
  "I'll", "let's", "decided", "decision:", ...);
* progress: one line per tool result ("<tool name>: <first line>") and the
  first sentence of every assistant reply that requests no tool;
* summary: one sentence counting what the batch held plus its requests and
  latest progress, appended to the existing summary text (its oldest
  sentences dropped past ``max_summary_chars``).
"""

from __future__ import annotations

import re
from typing import Any, Iterable

__all__ = ["SimpleSummarizer", "SimplePlanner"]

_SENTENCE_END = re.compile(r"(?<=[.!?])\s+|\n+")
_FACT_MARKERS = re.compile(
    r"\b(must|never|always|remember|prefer|required?|only|deadline|note:|fact:)", re.I)
_DECISION_MARKERS = re.compile(
    r"(\bI will\b|\bI'll\b|\blet's\b|\bwe will\b|\bdecided\b|\bdecision:|\bgoing to\b|\bchose\b)",
    re.I)


def _clip(text: str, limit: int) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 1].rstrip() + "…"


def _sentences(text: str | None) -> list[str]:
    if not text:
        return []
    return [s.strip() for s in _SENTENCE_END.split(text) if s and s.strip()]


def _unique(items: Iterable[str]) -> list[str]:
    seen: set[str] = set()
    out = []
    for item in items:
        if item not in seen:
            seen.add(item)
            out.append(item)
    return out


class SimpleSummarizer:
    """Rule-based summarizer with the operations the conversation manager calls."""

    def __init__(self, *, item_chars: int = 160, max_summary_chars: int = 800) -> None:
        self.item_chars = item_chars
        self.max_summary_chars = max_summary_chars
        self.calls = 0  # how many batches were summarised (handy for demos and tests)
        # Tool-call id -> tool name, kept across batches: a call and its
        # result can fall on either side of a batch boundary.
        self._tool_names: dict[str, str] = {}

    async def summarize_messages(self, messages: list[dict[str, Any]], *,
                                 existing_summary: str | None = None) -> dict[str, Any]:
        self.calls += 1
        n = self.item_chars
        goals: list[str] = []
        facts: list[str] = []
        decisions: list[str] = []
        progress: list[str] = []
        tool_names = self._tool_names
        counts = {"user": 0, "assistant": 0, "tool": 0}

        for msg in messages:
            role = msg.get("role")
            content = msg.get("content")
            counts[role] = counts.get(role, 0) + 1
            sentences = _sentences(content)
            if role == "user":
                if sentences:
                    goals.append(_clip(sentences[0], n))
                facts += [_clip(s, n) for s in sentences if _FACT_MARKERS.search(s)]
            elif role == "assistant":
                calls = msg.get("tool_calls") or []
                for call in calls:
                    if isinstance(call, dict) and call.get("id"):
                        tool_names[str(call["id"])] = str(call.get("name") or "tool")
                decisions += [_clip(s, n) for s in sentences if _DECISION_MARKERS.search(s)]
                if sentences and not calls:
                    progress.append(_clip(sentences[0], n))
            elif role == "tool":
                name = tool_names.pop(str(msg.get("tool_call_id")), "tool result")
                first = sentences[0] if sentences else "(no output)"
                progress.append(_clip(f"{name}: {first}", n))
                facts += [_clip(s, n) for s in sentences[1:] if _FACT_MARKERS.search(s)]

        n_msgs = len(messages)
        part = (f"{n_msgs} message{'s' if n_msgs != 1 else ''} ({counts.get('user', 0)} user, "
                f"{counts.get('assistant', 0)} assistant, {counts.get('tool', 0)} tool).")
        if goals:
            part += " Requests: " + "; ".join(g.rstrip(".") for g in goals[:3])
            part += "; …." if len(goals) > 3 else "."
        if progress:
            part += " Latest: " + progress[-1].rstrip(".") + "."
        text = f"{existing_summary} {part}" if existing_summary else part
        if len(text) > self.max_summary_chars:
            # drop the oldest sentences, keeping whole ones
            tail = text[len(text) - self.max_summary_chars + 2:]
            cut = tail.find(". ")
            text = "… " + (tail[cut + 2:] if 0 <= cut < len(tail) - 2 else tail)

        return {
            "summary": text,
            "goals": _unique(goals),
            "key_facts": _unique(facts),
            "key_decisions": _unique(decisions),
            "progress": _unique(progress),
        }

    def format_summary_for_context(self, summary: dict[str, Any]) -> str:
        lines = [str(summary.get("summary") or "").strip() or "(no summary text)"]
        for key, title in (("goals", "Goals"), ("key_facts", "Key facts"),
                           ("key_decisions", "Key decisions"), ("progress", "Progress")):
            items = summary.get(key) or []
            if items:
                lines.append(f"{title}:")
                lines += [f"- {item}" for item in items]
        return "\n".join(lines)


class SimplePlanner:
    """In-memory plans, one per conversation, with steps that can be marked.

    A plan is a dictionary {"goal", "status", "steps": [{"description",
    "status", "note"}]}; step status is "pending", "in_progress", "done" or
    "skipped". A plan is active until every step is done or skipped, or until
    it is cleared.
    """

    STEP_STATES = ("pending", "in_progress", "done", "skipped")

    def __init__(self) -> None:
        self._plans: dict[str, dict[str, Any]] = {}

    def set_plan(self, conv_id: str, goal: str, steps: Iterable[str]) -> dict[str, Any]:
        plan = {"goal": goal, "status": "active",
                "steps": [{"description": s, "status": "pending", "note": None} for s in steps]}
        self._refresh(plan)
        self._plans[conv_id] = plan
        return plan

    def add_step(self, conv_id: str, description: str) -> int:
        plan = self._plans[conv_id]
        plan["steps"].append({"description": description, "status": "pending", "note": None})
        self._refresh(plan)
        return len(plan["steps"]) - 1

    def mark_step(self, conv_id: str, index: int, status: str = "done", note: str | None = None) -> None:
        if status not in self.STEP_STATES:
            raise ValueError(f"unknown step status {status!r}")
        plan = self._plans[conv_id]
        step = plan["steps"][index]
        step["status"] = status
        if note is not None:
            step["note"] = note
        self._refresh(plan)

    def clear_plan(self, conv_id: str) -> None:
        self._plans.pop(conv_id, None)

    def get_plan(self, conv_id: str) -> dict[str, Any] | None:
        return self._plans.get(conv_id)

    @staticmethod
    def _refresh(plan: dict[str, Any]) -> None:
        steps = plan["steps"]
        finished = bool(steps) and all(s["status"] in ("done", "skipped") for s in steps)
        plan["status"] = "completed" if finished else "active"

    async def get_active_plan(self, conv_id: str) -> dict[str, Any] | None:
        plan = self._plans.get(conv_id)
        return plan if plan is not None and plan["status"] == "active" else None

    def format_plan_for_context(self, plan: dict[str, Any]) -> str:
        marks = {"pending": "[ ]", "in_progress": "[>]", "done": "[x]", "skipped": "[-]"}
        lines = [f"Goal: {plan.get('goal', '')}"]
        for i, step in enumerate(plan.get("steps", []), 1):
            line = f"{marks.get(step.get('status'), '[?]')} {i}. {step.get('description', '')}"
            if step.get("note"):
                line += f" ({step['note']})"
            lines.append(line)
        return "\n".join(lines)
