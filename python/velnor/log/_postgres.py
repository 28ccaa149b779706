"""The log in PostgreSQL: a fleet of gateways, one chain."""

from __future__ import annotations

from typing import Any

from velnor.log._store import SqlStore

try:
    import psycopg
except ImportError:  # pragma: no cover - depends on the installation
    psycopg = None  # type: ignore[assignment]

CONNECT_TIMEOUT_S = 10


class PostgresStore(SqlStore):
    PH = "%s"
    BLOB = "BYTEA"
    BIGINT = "BIGINT"
    # The row lock on the head serializes appenders on every host.
    HEAD_FOR_UPDATE = "SELECT sequence, link FROM velnor_log_head WHERE one = 1 FOR UPDATE"

    def __init__(self, url: str) -> None:
        if psycopg is None:
            raise ImportError("a postgresql:// receipt log needs psycopg 3:"
                              " pip install 'velnor[postgres]'")
        self._url = url
        self.errors = (psycopg.Error,)
        super().__init__(_redacted(url))

    def _connect(self) -> Any:
        return psycopg.connect(self._url, autocommit=True, connect_timeout=CONNECT_TIMEOUT_S)

    def _begin_locked_schema(self, cur: Any) -> None:
        # Concurrent first opens would race on CREATE TABLE; the head row
        # does not exist yet, so a transaction-scoped advisory lock orders them.
        cur.execute("BEGIN")
        cur.execute("SELECT pg_advisory_xact_lock(hashtext('velnor_log_schema'))")

    def _begin_locked(self, cur: Any) -> None:
        cur.execute("BEGIN")


def _redacted(url: str) -> str:
    """The URL without its password, for messages."""
    scheme, sep, rest = url.partition("://")
    creds, at, host = rest.rpartition("@")
    if not at:
        return url
    user = creds.split(":", 1)[0]
    return f"{scheme}{sep}{user}:***@{host}" if ":" in creds else url
