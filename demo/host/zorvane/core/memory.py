"""Host memory-store module for the demo: the SQLite adapter."""
from adapters.sqlite_memory import SQLiteMemoryStore as MemoryStore

__all__ = ["MemoryStore"]
