"""Collaborators and data for the benchmarks.

Every coroutine here is a plain ``async def`` that returns at once, so a
benchmark can drive the operations with ``coro.send(None)`` and no event
loop. Reads return new lists (as a real store would) holding the stored
message dictionaries themselves.
"""

import random

__all__ = [
    "MemoryStore", "DiscardingStore", "Planner", "Summarizer", "Screen", "Mouse", "VirtualClock",
    "generate_history", "make_facts", "make_summary_lists",
]


class MemoryStore:
    def __init__(self):
        self.conversations = {}
        self.messages = {}
        self.summaries = {}
        self.facts = []
        self._next_id = 1

    async def create_conversation(self, conv_id, title=None):
        self.conversations[conv_id] = title
        self.messages.setdefault(conv_id, [])

    async def get_conversation_summary(self, conv_id):
        return self.summaries.get(conv_id)

    async def save_conversation_summary(self, conv_id, summary):
        self.summaries[conv_id] = summary

    async def list_conversations(self, limit=20):
        return [{"id": cid, "title": t} for cid, t in list(self.conversations.items())[:limit]]

    async def delete_conversation(self, conv_id):
        self.conversations.pop(conv_id, None)
        self.messages.pop(conv_id, None)
        self.summaries.pop(conv_id, None)

    async def add_message(self, conv_id, role, content=None, tool_calls=None, tool_call_id=None):
        mid = self._next_id
        self._next_id = mid + 1
        self.messages.setdefault(conv_id, []).append({
            "id": mid, "role": role, "content": content,
            "tool_calls": tool_calls, "tool_call_id": tool_call_id,
        })
        return mid

    async def get_messages(self, conv_id, limit=None):
        msgs = self.messages.get(conv_id, [])
        if limit is None:
            return msgs[:]
        if limit <= 0:
            return []
        return msgs[-limit:]

    async def get_facts(self, limit=10):
        return self.facts[:limit]

    # -- set-up helpers (not part of the store contract) ---------------------

    def load(self, conv_id, messages):
        """Store ready-made messages, numbering them as add_message would."""
        stored = self.messages.setdefault(conv_id, [])
        self.conversations.setdefault(conv_id, None)
        for m in messages:
            m = dict(m)
            m["id"] = self._next_id
            self._next_id += 1
            stored.append(m)
        return stored


class DiscardingStore(MemoryStore):
    """A store that keeps nothing it is given (for the recording and
    lifecycle loops, which would otherwise grow it without bound)."""

    async def create_conversation(self, conv_id, title=None):
        return None

    async def add_message(self, conv_id, role, content=None, tool_calls=None, tool_call_id=None):
        mid = self._next_id
        self._next_id = mid + 1
        return mid


class Planner:
    def __init__(self, plan=None, text=None):
        self.plan = plan if plan is not None else {
            "goal": "Set up the project build",
            "steps": ["inspect the repository", "install dependencies", "run the tests"],
        }
        self.text = text if text is not None else (
            "Goal: Set up the project build\n"
            "1. [done] inspect the repository\n"
            "2. [in-progress] install dependencies\n"
            "3. [pending] run the tests"
        )

    async def get_active_plan(self, conv_id):
        return self.plan

    def format_plan_for_context(self, plan):
        return self.text


class Summarizer:
    def __init__(self, text=None):
        self.text = text if text is not None else (
            "## Conversation summary\nGoals: set up the build; fix the failing test.\n"
            "Progress: repository inspected, dependencies installed."
        )
        self.calls = 0

    async def summarize_messages(self, messages, existing_summary=None):
        self.calls += 1
        return {
            "summary": "Summary of %d messages" % len(messages),
            "goals": ["set up the build"],
            "key_facts": ["python 3.13"],
            "key_decisions": ["use the venv"],
            "progress": ["summarised %d" % len(messages)],
        }

    def format_summary_for_context(self, summary):
        return self.text


class Screen:
    """find_text misses ``misses`` times, then finds; the cycle repeats."""

    def __init__(self, misses=0):
        self.misses = misses
        self.calls = 0
        self.hit = {"found": True, "matches": [
            {"x": 100, "y": 50, "width": 41, "height": 20, "text": "OK", "confidence": 0.97},
        ]}
        self.miss = {"found": False, "matches": []}

    async def find_text(self, target, region=None):
        self.calls += 1
        if self.calls % (self.misses + 1):
            return self.miss
        return self.hit

    async def find_color(self, hex_color, tolerance=20, region=None, max_results=1):
        return {"found": True, "matches": [{"x": 40, "y": 75}]}


class Mouse:
    async def click(self, x, y, button="left"):
        return {"success": True, "x": x, "y": y, "button": button}

    async def double_click(self, x, y):
        return {"success": True, "x": x, "y": y, "double": True}


class VirtualClock:
    """A wall clock that only moves when slept on; the sleep never suspends."""

    def __init__(self, now=1_700_000_000.0):
        self.now = now

    def time(self):
        return self.now

    async def sleep(self, delay, result=None):
        self.now += delay
        return result


# -- message histories --------------------------------------------------------

_USER_TEXTS = [
    "Can you look at the build failure in the CI log and tell me what broke?",
    "List the files in the project directory.",
    "Please open the settings dialog and turn on dark mode.",
    "What's the disk usage of my home folder? Keep it short.",
    "Rename every .jpeg in ~/Pictures/holiday to .jpg and tell me how many there were.",
    "Check whether the tests pass on the main branch, then summarise the failures.",
    "Write a short note to café-notes.md saying the meeting moved to Thursday.",
    "ok, go ahead",
]

_ASSISTANT_TEXTS = [
    "The build fails because the linker cannot find libssl; installing the dev package should fix it.",
    "Done. I renamed 14 files.",
    "Dark mode is now enabled in the settings dialog.",
    "Your home folder uses 41 GB, most of it in ~/Videos (29 GB).",
    "All 212 tests pass on main except test_parse_dates, which fails on a time-zone assumption.",
    "I wrote the note to café-notes.md.",
    "Here is what I found:\n- src/ holds the sources\n- tests/ holds 38 test files\n- docs/ is empty",
]

_TOOL_CALLS = [
    ("shell", lambda r: {"command": r.choice(["ls -la", "git status --short", "du -sh ~", "pytest -q"]),
                         "timeout": r.choice([30, 60, 120]), "cwd": "/home/user/project"}),
    ("read_file", lambda r: {"path": r.choice(["src/main.py", "README.md", "ci/log.txt"]),
                             "start_line": r.randint(1, 400), "max_lines": 200}),
    ("write_file", lambda r: {"path": "café-notes.md", "content": "Meeting moved to Thursday \u2014 10:00.",
                              "append": False}),
    ("web_search", lambda r: {"query": "linker cannot find -lssl debian", "max_results": 5,
                              "filters": {"recent": True, "lang": "en"}}),
    ("desktop_click", lambda r: {"target": "Settings", "double": False, "offset": [0, r.randint(0, 40)]}),
    ("memory", lambda r: {"action": "save", "category": "project",
                          "content": "uses pytest; CI on main", "tags": ["ci", "tests"]}),
]

_TOOL_OUTPUTS = [
    "total 48\ndrwxr-xr-x  6 user user 4096 .\n-rw-r--r--  1 user user  812 README.md\n"
    "drwxr-xr-x  3 user user 4096 src\ndrwxr-xr-x  2 user user 4096 tests",
    " M src/main.py\n?? notes.txt",
    "41G\t/home/user",
    "..........F.......\n1 failed, 211 passed in 3.21s",
    "{\"success\": true, \"clicked_at\": [120, 60]}",
    "",
    "Saved.",
]


def generate_history(n, seed=8):
    """``n`` messages in agent order, ids left to the store.

    Turns are: a user message, then assistant messages; each assistant
    message carries 1-3 tool calls with probability 1/3 (so a third of the
    assistant messages do) and is followed by one tool message per call,
    after which the assistant speaks again; an assistant message without
    calls ends the turn. The history is cut at ``n`` messages, so its last
    calls may lack their results, as a window cut anywhere would.
    """
    r = random.Random(seed)
    out = []
    call_no = 0
    while len(out) < n:
        out.append({"role": "user", "content": r.choice(_USER_TEXTS), "tool_calls": None, "tool_call_id": None})
        while len(out) < n:
            if r.random() < 1 / 3:
                calls = []
                for _ in range(r.randint(1, 3)):
                    call_no += 1
                    name, args = r.choice(_TOOL_CALLS)
                    calls.append({"id": "call_%06d" % call_no, "name": name, "arguments": args(r)})
                content = r.choice([None, None, "Let me check that."])
                out.append({"role": "assistant", "content": content, "tool_calls": calls, "tool_call_id": None})
                for c in calls:
                    out.append({"role": "tool", "content": r.choice(_TOOL_OUTPUTS),
                                "tool_calls": None, "tool_call_id": c["id"]})
            else:
                out.append({"role": "assistant", "content": r.choice(_ASSISTANT_TEXTS),
                            "tool_calls": None, "tool_call_id": None})
                break
    return out[:n]


def make_facts(n=10):
    cats = ["os", "user", "project", "environment", "preference"]
    texts = ["Windows 11", "prefers dark mode", "repository at C:\\src\\app", "Python 3.13 in .venv",
             "answers in English", "uses PowerShell 7", "works 9-17 CET", "editor: VS Code",
             "GPU: none", "timezone Europe/Berlin"]
    return [{"category": cats[i % len(cats)], "content": texts[i % len(texts)]} for i in range(n)]


def make_summary_lists(n, overlap=0.5):
    """Two summaries whose four lists hold ``n`` texts each; ``new``'s
    lists repeat the last ``overlap`` share of ``old``'s."""
    shift = n - int(n * overlap)

    def items(prefix, lo):
        return ["%s item %d" % (prefix, i) for i in range(lo, lo + n)]

    old = {"summary": "old", "goals": items("goal", 0), "key_facts": items("fact", 0),
           "key_decisions": items("decision", 0), "progress": items("step", 0),
           "summarized_up_to": 100, "message_count": 150, "summarized_count": 100}
    new = {"summary": "new", "goals": items("goal", shift), "key_facts": items("fact", shift),
           "key_decisions": items("decision", shift), "progress": items("step", shift),
           "summarized_up_to": 200, "message_count": 250, "summarized_count": 200}
    return old, new
