"""The log in an SQLite file: one gateway, no server."""

from __future__ import annotations

import sqlite3
import time
from typing import Any

from velnor.log._store import SqlStore

# Appenders wait this long for another writer's transaction before append
# gives up with an error; transactions are a handful of statements.
BUSY_TIMEOUT_S = 30.0


class SqliteStore(SqlStore):
    PH = "?"
    BLOB = "BLOB"
    BIGINT = "INTEGER"
    errors = (sqlite3.Error,)

    def __init__(self, path: str) -> None:
        self._path = path
        super().__init__(f"sqlite:///{path}")

    def _connect(self) -> Any:
        # Autocommit mode: the store issues BEGIN and COMMIT itself, so the
        # module never opens a transaction behind its back.
        db = sqlite3.connect(self._path, timeout=BUSY_TIMEOUT_S, isolation_level=None,
                             check_same_thread=False)
        try:
            mode = self._enter_wal(db)
            if mode is None or str(mode[0]).lower() != "wal":
                raise sqlite3.OperationalError(f"cannot switch to WAL mode (got {mode})")
            # FULL: a receipt that append returned survives a power cut.
            db.execute("PRAGMA synchronous=FULL")
        except BaseException:
            db.close()
            raise
        return db

    @staticmethod
    def _enter_wal(db: sqlite3.Connection) -> Any:
        # Switching the journal mode needs the file to itself for a moment,
        # and SQLite reports that busy at once rather than through the busy
        # handler, so writers opening the file together retry here.
        deadline = time.monotonic() + BUSY_TIMEOUT_S
        pause = 0.001
        while True:
            try:
                return db.execute("PRAGMA journal_mode=WAL").fetchone()
            except sqlite3.OperationalError as e:
                busy = "locked" in str(e) or "busy" in str(e)
                if not busy or time.monotonic() + pause > deadline:
                    raise
            time.sleep(pause)
            pause = min(pause * 2, 0.05)

    def _begin_locked(self, cur: Any) -> None:
        # IMMEDIATE takes the write lock before the head is read, so two
        # writers can never chain from the same head.
        cur.execute("BEGIN IMMEDIATE")
