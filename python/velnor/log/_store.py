"""What the SQLite and PostgreSQL stores share: the schema, its versions,
and the one transaction that extends the chain."""

from __future__ import annotations

import threading
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from velnor.log._chain import GENESIS_BYTES, Entry, Fields, ReceiptLogError, next_link

SCHEMA_VERSION = 1

# Index columns are signed 64-bit on both databases; a receipt may carry a
# timestamp up to 2**64 - 1, which is kept exactly in the receipt itself.
_TS_MAX = 2**63 - 1

# Statements that bring a schema of version N to N + 1, applied in order by
# open(); a log written by an older release is migrated in place.
MIGRATIONS: dict[int, list[str]] = {}

_ENTRY_COLUMNS = "sequence, link, receipt, identifier, tool, caller, outcome, timestamp_ms"
_INDEXED = ("identifier", "tool", "caller", "outcome", "timestamp_ms")


def schema(blob: str, bigint: str) -> list[str]:
    return [
        "CREATE TABLE velnor_log_meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)",
        # The head is a row of its own so that every append locks the same
        # row, and so that a tail cut off the entries is seen even without
        # a published head.
        f"CREATE TABLE velnor_log_head (one INTEGER PRIMARY KEY CHECK (one = 1),"
        f" sequence {bigint} NOT NULL, link {blob} NOT NULL)",
        f"CREATE TABLE velnor_log_entries (sequence {bigint} PRIMARY KEY,"
        f" link {blob} NOT NULL, receipt {blob} NOT NULL, identifier TEXT NOT NULL,"
        f" tool TEXT NOT NULL, caller TEXT NOT NULL, outcome TEXT NOT NULL,"
        f" timestamp_ms {bigint} NOT NULL)",
        *(f"CREATE INDEX velnor_log_entries_{c} ON velnor_log_entries ({c})" for c in _INDEXED),
    ]


def to_entry(row: Sequence[Any]) -> Entry:
    receipt = bytes(row[2]) if isinstance(row[2], (bytes, memoryview)) else str(row[2]).encode()
    return Entry(sequence=int(row[0]), link=bytes(row[1]).hex(),
                 receipt=receipt.decode("utf-8", errors="replace"),
                 identifier=row[3], tool=row[4], caller=row[5], outcome=row[6],
                 timestamp_ms=int(row[7]))


class SqlStore:
    """A log in one SQL database. Subclasses connect, name their errors,
    and take the head's lock; every public method holds a thread lock, so
    one store may be shared by threads."""

    PH = "?"
    BLOB = "BLOB"
    BIGINT = "INTEGER"
    HEAD_FOR_UPDATE = "SELECT sequence, link FROM velnor_log_head WHERE one = 1"
    errors: tuple[type[BaseException], ...] = ()

    def __init__(self, where: str) -> None:
        self._where = where
        self._lock = threading.Lock()
        self._db: Any = None
        with self._lock, self._cursor() as cur:
            self._prepare(cur)

    # --- what a database supplies

    def _connect(self) -> Any:
        raise NotImplementedError

    def _begin_locked(self, cur: Any) -> None:
        """Starts a transaction in which HEAD_FOR_UPDATE reads the head and
        holds its lock until commit."""
        raise NotImplementedError

    def _commit(self, cur: Any) -> None:
        cur.execute("COMMIT")

    def _drop_connection(self) -> None:
        if self._db is not None:
            try:
                self._db.close()
            except Exception:  # noqa: BLE001 - already broken
                pass
        self._db = None

    # --- shared

    @contextmanager
    def _cursor(self) -> Iterator[Any]:
        """A cursor, with database failures turned into ReceiptLogError and
        any transaction rolled back."""
        try:
            if self._db is None:
                self._db = self._connect()
            cur = self._db.cursor()
        except self.errors as e:
            self._db = None
            raise ReceiptLogError(f"receipt log unavailable: {self._where}: {e}".rstrip()) from e
        try:
            yield cur
        except self.errors as e:
            self._abandon(cur)
            raise ReceiptLogError(f"receipt log unavailable: {self._where}: {e}".rstrip()) from e
        except BaseException:
            self._abandon(cur)
            raise
        finally:
            try:
                cur.close()
            except Exception:  # noqa: BLE001 - the connection may be gone
                pass

    def _abandon(self, cur: Any) -> None:
        try:
            cur.execute("ROLLBACK")
        except Exception:  # noqa: BLE001 - nothing to roll back, or no connection
            self._drop_connection()

    def _prepare(self, cur: Any) -> None:
        self._begin_locked_schema(cur)
        cur.execute("SELECT 1 FROM information_schema.tables WHERE table_name = 'velnor_log_meta'"
                    if self.PH == "%s" else
                    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'velnor_log_meta'")
        if cur.fetchone() is None:
            for statement in schema(self.BLOB, self.BIGINT):
                cur.execute(statement)
            p = self.PH
            cur.execute(f"INSERT INTO velnor_log_meta VALUES ('schema_version', {p})",
                        (str(SCHEMA_VERSION),))
            cur.execute(f"INSERT INTO velnor_log_head VALUES (1, 0, {p})", (GENESIS_BYTES,))
        else:
            cur.execute("SELECT value FROM velnor_log_meta WHERE name = 'schema_version'")
            row = cur.fetchone()
            version = int(row[0]) if row is not None and str(row[0]).isdigit() else -1
            if version < 1 or version > SCHEMA_VERSION:
                raise ReceiptLogError(
                    f"receipt log schema version {row[0] if row else None} at {self._where}"
                    f" is not one this library reads (1 to {SCHEMA_VERSION})")
            for v in range(version, SCHEMA_VERSION):
                for statement in MIGRATIONS[v]:
                    cur.execute(statement)
                cur.execute(f"UPDATE velnor_log_meta SET value = {self.PH}"
                            " WHERE name = 'schema_version'", (str(v + 1),))
        cur.execute("COMMIT")

    def _begin_locked_schema(self, cur: Any) -> None:
        self._begin_locked(cur)

    def append(self, items: Sequence[tuple[bytes, Fields]]) -> list[Entry]:
        p = self.PH
        with self._lock, self._cursor() as cur:
            self._begin_locked(cur)
            cur.execute(self.HEAD_FOR_UPDATE)
            head = cur.fetchone()
            if head is None:
                raise ReceiptLogError(f"receipt log at {self._where} has lost its head row")
            sequence, link = int(head[0]), bytes(head[1])
            rows = []
            entries = []
            for data, f in items:
                sequence += 1
                link = next_link(link, data)
                ts = min(f.timestamp_ms, _TS_MAX)
                rows.append((sequence, link, data, f.identifier, f.tool, f.caller, f.outcome, ts))
                entries.append(Entry(sequence, link.hex(), data.decode("utf-8"), f.identifier,
                                     f.tool, f.caller, f.outcome, ts))
            cur.executemany(f"INSERT INTO velnor_log_entries ({_ENTRY_COLUMNS})"
                            f" VALUES ({', '.join([p] * 8)})", rows)
            cur.execute(f"UPDATE velnor_log_head SET sequence = {p}, link = {p} WHERE one = 1",
                        (sequence, link))
            self._commit(cur)
            return entries

    def head(self) -> tuple[int, bytes]:
        with self._lock, self._cursor() as cur:
            cur.execute("SELECT sequence, link FROM velnor_log_head WHERE one = 1")
            row = cur.fetchone()
            if row is None:
                raise ReceiptLogError(f"receipt log at {self._where} has lost its head row")
            return int(row[0]), bytes(row[1])

    def page(self, after: int, limit: int) -> list[tuple[Any, Any, Any]]:
        """Up to `limit` raw (sequence, link, receipt) rows past `after`."""
        p = self.PH
        with self._lock, self._cursor() as cur:
            cur.execute(f"SELECT sequence, link, receipt FROM velnor_log_entries"
                        f" WHERE sequence > {p} ORDER BY sequence LIMIT {p}", (after, limit))
            return list(cur.fetchall())

    def find(self, equal: dict[str, str], since_ms: int | None, until_ms: int | None,
             limit: int) -> list[Entry]:
        p = self.PH
        where: list[str] = []
        params: list[str | int] = []
        for column, value in equal.items():
            where.append(f"{column} = {p}")
            params.append(value)
        if since_ms is not None:
            where.append(f"timestamp_ms >= {p}")
            params.append(max(min(since_ms, _TS_MAX), -_TS_MAX))
        if until_ms is not None:
            where.append(f"timestamp_ms <= {p}")
            params.append(max(min(until_ms, _TS_MAX), -_TS_MAX))
        clause = f" WHERE {' AND '.join(where)}" if where else ""
        with self._lock, self._cursor() as cur:
            cur.execute(f"SELECT {_ENTRY_COLUMNS} FROM velnor_log_entries{clause}"
                        f" ORDER BY sequence LIMIT {p}", (*params, limit))
            return [to_entry(r) for r in cur.fetchall()]

    def tail(self, count: int) -> list[Entry]:
        p = self.PH
        with self._lock, self._cursor() as cur:
            cur.execute(f"SELECT {_ENTRY_COLUMNS} FROM velnor_log_entries"
                        f" ORDER BY sequence DESC LIMIT {p}", (count,))
            return [to_entry(r) for r in reversed(cur.fetchall())]

    def close(self) -> None:
        with self._lock:
            self._drop_connection()
