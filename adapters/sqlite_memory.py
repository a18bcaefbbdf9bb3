"""SQLite-backed memory store for ConversationManager.

A reference host adapter: every operation the conversation manager awaits
(create_conversation, get_conversation_summary, list_conversations,
delete_conversation, add_message, get_messages, get_facts,
save_conversation_summary) is a coroutine that runs its SQL on one dedicated
worker thread, so the event loop never blocks on disk I/O and the single
sqlite3 connection is only ever touched by that thread.

Storage choices:

* message ids are the table's INTEGER PRIMARY KEY, so they start at 1 and grow
  in recording order across all conversations;
* tool calls and summaries are stored as JSON text and decoded on read;
* every write is committed before its coroutine returns, so whatever a caller
  saw acknowledged survives a crash of the process;
* file databases run in WAL mode, which lets a second process read while the
  first one writes.

Usage::

    store = SQLiteMemoryStore("agent.db")
    await store.create_conversation(conv_id, "title")
    ...
    await store.close()          # or store.close_sync() outside a loop
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import json
import sqlite3
import threading
import time
from typing import Any, Callable, TypeVar

__all__ = ["SQLiteMemoryStore"]

T = TypeVar("T")

_SCHEMA = """
CREATE TABLE IF NOT EXISTS conversations (
    id          TEXT PRIMARY KEY,
    title       TEXT,
    created_at  REAL NOT NULL,
    updated_at  REAL NOT NULL,
    summary     TEXT
);
CREATE TABLE IF NOT EXISTS messages (
    id              INTEGER PRIMARY KEY,
    conversation_id TEXT NOT NULL,
    role            TEXT NOT NULL,
    content         TEXT,
    tool_calls      TEXT,
    tool_call_id    TEXT,
    created_at      REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS messages_by_conversation
    ON messages (conversation_id, id);
CREATE TABLE IF NOT EXISTS facts (
    id          INTEGER PRIMARY KEY,
    category    TEXT NOT NULL,
    content     TEXT NOT NULL,
    importance  REAL NOT NULL DEFAULT 0,
    created_at  REAL NOT NULL
);
"""

_MESSAGE_COLUMNS = "id, role, content, tool_calls, tool_call_id"


def _message_row(row: tuple) -> dict[str, Any]:
    msg_id, role, content, tool_calls, tool_call_id = row
    return {
        "id": msg_id,
        "role": role,
        "content": content,
        "tool_calls": json.loads(tool_calls) if tool_calls is not None else None,
        "tool_call_id": tool_call_id,
    }


class SQLiteMemoryStore:
    """Memory store on one sqlite3 database (a file path or ":memory:")."""

    def __init__(self, path: str = ":memory:", *, timeout: float = 30.0) -> None:
        self.path = str(path)
        # One worker thread owns the connection; the lock documents (and
        # enforces, for close_sync from another thread) that only one thread
        # uses it at a time.
        self._executor = concurrent.futures.ThreadPoolExecutor(
            max_workers=1, thread_name_prefix="sqlite-memory")
        self._lock = threading.Lock()
        self._closed = False
        self._conn = self._executor.submit(self._open, timeout).result()

    # -- plumbing -----------------------------------------------------------

    def _open(self, timeout: float) -> sqlite3.Connection:
        conn = sqlite3.connect(self.path, timeout=timeout, check_same_thread=False,
                               isolation_level=None)  # explicit transactions below
        if self.path != ":memory:" and not self.path.startswith("file::memory:"):
            conn.execute("PRAGMA journal_mode=WAL")
            # NORMAL is durable against process crashes in WAL mode; FULL also
            # against power loss. A host that wants the latter can set it.
            conn.execute("PRAGMA synchronous=NORMAL")
        conn.execute("PRAGMA foreign_keys=ON")
        conn.executescript(_SCHEMA)
        return conn

    async def _run(self, fn: Callable[[sqlite3.Connection], T]) -> T:
        if self._closed:
            raise RuntimeError("SQLiteMemoryStore is closed")
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(self._executor, self._call, fn)

    def _call(self, fn: Callable[[sqlite3.Connection], T]) -> T:
        with self._lock:
            return fn(self._conn)

    @staticmethod
    def _write(conn: sqlite3.Connection, sql: str, params: tuple = ()) -> sqlite3.Cursor:
        # One statement, one transaction, committed before returning.
        with conn:
            conn.execute("BEGIN IMMEDIATE")
            return conn.execute(sql, params)

    # -- conversations ------------------------------------------------------

    async def create_conversation(self, conv_id: str, title: str | None = None) -> dict[str, Any]:
        now = time.time()

        def op(conn: sqlite3.Connection) -> None:
            self._write(conn,
                        "INSERT INTO conversations (id, title, created_at, updated_at)"
                        " VALUES (?, ?, ?, ?)"
                        " ON CONFLICT(id) DO UPDATE SET title = excluded.title,"
                        " updated_at = excluded.updated_at",
                        (conv_id, title, now, now))

        await self._run(op)
        return {"id": conv_id, "title": title, "created_at": now, "updated_at": now}

    async def get_conversation_summary(self, conv_id: str) -> dict[str, Any] | None:
        def op(conn: sqlite3.Connection) -> str | None:
            row = conn.execute("SELECT summary FROM conversations WHERE id = ?",
                               (conv_id,)).fetchone()
            return row[0] if row else None

        text = await self._run(op)
        return json.loads(text) if text is not None else None

    async def save_conversation_summary(self, conv_id: str, summary: dict[str, Any]) -> None:
        text = json.dumps(summary)
        now = time.time()

        def op(conn: sqlite3.Connection) -> None:
            # A summary for an unknown conversation creates its row, so a
            # summary is never silently dropped.
            self._write(conn,
                        "INSERT INTO conversations (id, title, created_at, updated_at, summary)"
                        " VALUES (?, NULL, ?, ?, ?)"
                        " ON CONFLICT(id) DO UPDATE SET summary = excluded.summary,"
                        " updated_at = excluded.updated_at",
                        (conv_id, now, now, text))

        await self._run(op)

    async def list_conversations(self, limit: int = 20) -> list[dict[str, Any]]:
        def op(conn: sqlite3.Connection) -> list[dict[str, Any]]:
            rows = conn.execute(
                "SELECT c.id, c.title, c.created_at, c.updated_at,"
                " (SELECT COUNT(*) FROM messages m WHERE m.conversation_id = c.id)"
                " FROM conversations c ORDER BY c.updated_at DESC, c.rowid DESC LIMIT ?",
                (int(limit),)).fetchall()
            return [{"id": r[0], "title": r[1], "created_at": r[2], "updated_at": r[3],
                     "message_count": r[4]} for r in rows]

        return await self._run(op)

    async def delete_conversation(self, conv_id: str) -> bool:
        def op(conn: sqlite3.Connection) -> bool:
            with conn:
                conn.execute("BEGIN IMMEDIATE")
                conn.execute("DELETE FROM messages WHERE conversation_id = ?", (conv_id,))
                cur = conn.execute("DELETE FROM conversations WHERE id = ?", (conv_id,))
                return cur.rowcount > 0

        return await self._run(op)

    # -- messages -----------------------------------------------------------

    async def add_message(self, conv_id: str, role: str, *, content: str | None = None,
                          tool_calls: list[dict[str, Any]] | None = None,
                          tool_call_id: str | None = None) -> int:
        calls_text = json.dumps(tool_calls) if tool_calls is not None else None
        now = time.time()

        def op(conn: sqlite3.Connection) -> int:
            with conn:
                conn.execute("BEGIN IMMEDIATE")
                cur = conn.execute(
                    "INSERT INTO messages (conversation_id, role, content, tool_calls,"
                    " tool_call_id, created_at) VALUES (?, ?, ?, ?, ?, ?)",
                    (conv_id, role, content, calls_text, tool_call_id, now))
                conn.execute("UPDATE conversations SET updated_at = ? WHERE id = ?",
                             (now, conv_id))
                return int(cur.lastrowid)

        return await self._run(op)

    async def get_messages(self, conv_id: str, *, limit: int | None = None) -> list[dict[str, Any]]:
        def op(conn: sqlite3.Connection) -> list[dict[str, Any]]:
            if limit is None:
                rows = conn.execute(
                    f"SELECT {_MESSAGE_COLUMNS} FROM messages WHERE conversation_id = ?"
                    " ORDER BY id", (conv_id,)).fetchall()
            else:
                n = max(int(limit), 0)
                rows = conn.execute(
                    f"SELECT {_MESSAGE_COLUMNS} FROM messages WHERE conversation_id = ?"
                    " ORDER BY id DESC LIMIT ?", (conv_id, n)).fetchall()
                rows.reverse()
            return [_message_row(r) for r in rows]

        return await self._run(op)

    # -- facts --------------------------------------------------------------

    async def add_fact(self, category: str, content: str, *, importance: float = 0.0) -> int:
        now = time.time()

        def op(conn: sqlite3.Connection) -> int:
            cur = self._write(conn,
                              "INSERT INTO facts (category, content, importance, created_at)"
                              " VALUES (?, ?, ?, ?)", (category, content, float(importance), now))
            return int(cur.lastrowid)

        return await self._run(op)

    async def get_facts(self, *, limit: int = 10, category: str | None = None) -> list[dict[str, Any]]:
        """Most important facts first, newest first among equals."""
        def op(conn: sqlite3.Connection) -> list[dict[str, Any]]:
            sql = "SELECT id, category, content, importance FROM facts"
            params: tuple = ()
            if category is not None:
                sql += " WHERE category = ?"
                params = (category,)
            sql += " ORDER BY importance DESC, id DESC LIMIT ?"
            rows = conn.execute(sql, params + (max(int(limit), 0),)).fetchall()
            return [{"id": r[0], "category": r[1], "content": r[2], "importance": r[3]}
                    for r in rows]

        return await self._run(op)

    # -- lifetime -----------------------------------------------------------

    async def close(self) -> None:
        if self._closed:
            return
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, self.close_sync)

    def close_sync(self) -> None:
        """Close from outside an event loop (idempotent)."""
        if self._closed:
            return
        self._closed = True
        self._executor.submit(self._call, lambda conn: conn.close()).result()
        self._executor.shutdown(wait=True)

    async def __aenter__(self) -> "SQLiteMemoryStore":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()
