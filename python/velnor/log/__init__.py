"""A hash-linked log of receipts: every receipt kept byte for byte, in one
chain that shows whether any was edited, removed or reordered later.

Each entry's link is SHA-256 over a tag, the previous link and the receipt's
bytes, starting from GENESIS; verify() walks the chain and checks every
receipt's signature with the audit key."""

from __future__ import annotations

import hmac
from collections.abc import Callable, Iterable
from typing import Any

from velnor.log._chain import (GENESIS, GENESIS_BYTES, LINK_SIZE, Entry, Fault, LogReport,
                               ReceiptChecker, ReceiptLogError, _Reader, next_link, unreadable)
from velnor.log._store import SqlStore

__all__ = ["ReceiptLog", "Entry", "LogReport", "Fault", "ReceiptLogError", "GENESIS"]

# Rows fetched per round trip while verifying: memory stays bounded by this
# many receipts whatever the length of the log.
PAGE = 2000
FIND_LIMIT_MAX = 10_000


class ReceiptLog:
    """An append-only receipt log in SQLite or PostgreSQL.

    Safe to share between threads; any number of processes (and, on
    PostgreSQL, hosts) may append to one log at once."""

    def __init__(self, store: SqlStore) -> None:
        self._store = store
        self._reader = _Reader()

    @classmethod
    def open(cls, url: str) -> ReceiptLog:
        """Opens the log at `url`, creating its schema on first use.

        `sqlite:///relative/path.db` or `sqlite:////absolute/path.db` for a
        file, `postgresql://user@host/dbname` (or `postgres://`) for a server."""
        if not isinstance(url, str):
            raise TypeError(f"url must be str, not {type(url).__name__}")
        if url.startswith("sqlite:///"):
            path = url[len("sqlite:///"):]
            if not path:
                raise ValueError("sqlite URL names no file: sqlite:///path/to/log.db")
            from velnor.log._sqlite import SqliteStore

            return cls(SqliteStore(path))
        if url.startswith(("postgresql://", "postgres://")):
            from velnor.log._postgres import PostgresStore

            return cls(PostgresStore(url))
        raise ValueError("receipt log URL must start with sqlite:/// or postgresql://")

    def close(self) -> None:
        self._store.close()

    def __enter__(self) -> ReceiptLog:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def append(self, receipt_json: str) -> Entry:
        """Stores one receipt as the next entry, in one transaction.

        Raises InvalidReceiptError (a ValueError) "invalid receipt JSON: ..."
        when the receipt does not read, and ReceiptLogError when the database fails."""
        return self._store.append([self._reader.fields(receipt_json)])[0]

    def extend(self, receipts: Iterable[str]) -> list[Entry]:
        """Stores several receipts as consecutive entries in one transaction:
        all of them or, on any error, none."""
        items = [self._reader.fields(r) for r in receipts]
        return self._store.append(items) if items else []

    def head(self) -> tuple[int, str]:
        """The last sequence number and its link; (0, GENESIS) when empty."""
        sequence, link = self._store.head()
        return sequence, link.hex()

    def find(self, identifier: str | None = None, outcome: str | None = None,
             tool: str | None = None, caller: str | None = None,
             since_ms: int | None = None, until_ms: int | None = None,
             limit: int = 100) -> list[Entry]:
        """Entries matching every given field, oldest first; both time
        bounds are inclusive."""
        equal = {}
        for name, value in (("identifier", identifier), ("outcome", outcome),
                            ("tool", tool), ("caller", caller)):
            if value is not None:
                if not isinstance(value, str):
                    raise TypeError(f"{name} must be str or None")
                equal[name] = value
        for name, bound in (("since_ms", since_ms), ("until_ms", until_ms)):
            if bound is not None and (not isinstance(bound, int) or isinstance(bound, bool)):
                raise TypeError(f"{name} must be int or None")
        if not isinstance(limit, int) or isinstance(limit, bool) or not 1 <= limit <= FIND_LIMIT_MAX:
            raise ValueError(f"limit must be an integer from 1 to {FIND_LIMIT_MAX}")
        return self._store.find(equal, since_ms, until_ms, limit)

    def tail(self, count: int = 10) -> list[Entry]:
        """The last `count` entries, oldest first."""
        if not isinstance(count, int) or isinstance(count, bool) or not 1 <= count <= FIND_LIMIT_MAX:
            raise ValueError(f"count must be an integer from 1 to {FIND_LIMIT_MAX}")
        return self._store.tail(count)

    def verify(self, auditor: ReceiptChecker,
               expected_head: tuple[int, str] | None = None,
               progress: Callable[[int, int], None] | None = None) -> LogReport:
        """Walks the whole log in order and reports the first fault.

        Checks every link against the chain recomputed from GENESIS, every
        receipt's signature with `auditor`, and that the log reaches both its
        own head row and `expected_head` (a head published earlier) with the
        same link. `progress(done, total)` is called after each page."""
        expected = _expected(expected_head)
        stored_seq, stored_link = self._store.head()
        total = max(stored_seq, expected[0] if expected else 0)
        # Heads the walk must reach with the same link: the log's own head
        # row, and the one the caller was shown earlier.
        marks = [(stored_seq, stored_link)] + ([expected] if expected else [])
        wanted = {sequence for sequence, _ in marks}
        seen: dict[int, bytes] = {0: GENESIS_BYTES}
        count, link = 0, GENESIS_BYTES

        def fault(sequence: int, kind: str, detail: str) -> LogReport:
            return LogReport(count=count, ok=False, fault=Fault(sequence, kind, detail))

        while True:
            rows = self._store.page(count, PAGE)
            if not rows:
                break
            for sequence, stored, data in rows:
                want = count + 1
                if sequence != want:
                    return fault(want, "link", f"entry {want} is missing (next is {sequence})")
                if not isinstance(data, (bytes, memoryview)):
                    return fault(want, "unreadable", "receipt is not stored as bytes")
                data = bytes(data)
                link = next_link(link, data)
                if not isinstance(stored, (bytes, memoryview)) or len(stored) != LINK_SIZE \
                        or not hmac.compare_digest(link, bytes(stored)):
                    return fault(want, "link", "link does not follow from the previous entry")
                try:
                    text = data.decode("utf-8")
                except UnicodeDecodeError as e:
                    return fault(want, "unreadable", f"receipt is not UTF-8: {e.reason}")
                try:
                    auditor.verify(text)
                except ValueError as e:
                    kind = "unreadable" if unreadable(e) else "signature"
                    return fault(want, kind, str(e))
                if want in wanted:
                    seen[want] = link
                count = want
            if progress is not None:
                progress(count, max(total, count))
        for sequence, mark in sorted(marks):
            reached = seen.get(sequence)
            if reached is None:
                return fault(count + 1, "truncated",
                             f"log ends at {count}, before head {sequence}")
            if not hmac.compare_digest(reached, mark):
                return fault(sequence, "truncated", f"entry {sequence} differs from the head")
        return LogReport(count=count, ok=True, fault=None)


def _expected(head: Any) -> tuple[int, bytes] | None:
    if head is None:
        return None
    try:
        sequence, link = head
        raw = bytes.fromhex(link)
    except (TypeError, ValueError):
        raise ValueError("expected_head must be (sequence, link hex) as head() returns") from None
    if not isinstance(sequence, int) or sequence < 0 or len(raw) != LINK_SIZE:
        raise ValueError("expected_head must be (sequence, link hex) as head() returns")
    return sequence, raw
