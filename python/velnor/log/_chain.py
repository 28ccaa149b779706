"""The log's records and its hash chain, independent of any database."""

from __future__ import annotations

import hashlib
import json
import os
from dataclasses import dataclass
from typing import Any, Protocol

from velnor._errors import InvalidReceiptError

# Every link is tagged so that a link of this log can never be mistaken for
# a SHA-256 of some other structure over the same bytes. The previous link
# has a fixed length, so tag + previous + receipt is unambiguous.
LINK_TAG = b"velnor receipt log v1 link\x00"
GENESIS = hashlib.sha256(b"velnor receipt log v1 genesis").hexdigest()
GENESIS_BYTES = bytes.fromhex(GENESIS)
LINK_SIZE = 32


def next_link(previous: bytes, receipt: bytes) -> bytes:
    """The link that follows `previous` when `receipt` is appended."""
    h = hashlib.sha256(LINK_TAG)
    h.update(previous)
    h.update(receipt)
    return h.digest()


class ReceiptLogError(RuntimeError):
    """The log's database cannot be reached or refused the operation.

    Raised instead of ever dropping a receipt: when append raises, the
    receipt is not in the log, or (only if the connection broke during the
    commit itself) its fate is unknown and a check of head() tells."""


@dataclass(frozen=True, slots=True)
class Entry:
    """One stored receipt, with its place in the chain and the columns
    that find() searches."""

    sequence: int
    link: str
    receipt: str
    identifier: str
    tool: str
    caller: str
    outcome: str
    timestamp_ms: int


@dataclass(frozen=True, slots=True)
class Fault:
    """The first entry at which the log stops checking out."""

    sequence: int
    kind: str  # "link", "signature", "unreadable" or "truncated"
    detail: str


@dataclass(frozen=True, slots=True)
class LogReport:
    """The outcome of a full walk: `count` entries checked out before the
    fault (all of them when `ok`)."""

    count: int
    ok: bool
    fault: Fault | None


@dataclass(frozen=True, slots=True)
class Fields:
    """The indexed columns of one receipt, read at append time."""

    identifier: str
    tool: str
    caller: str
    outcome: str
    timestamp_ms: int


class ReceiptChecker(Protocol):
    def verify(self, receipt_json: str, /) -> None: ...


class _Reader:
    """Reads receipts with the library's own receipt reader, so the log
    accepts exactly the receipts an auditor can read later and refuses the
    rest with that reader's message. The reader is reached through an
    auditor under a throwaway key: its verdict on the signature is
    discarded, since checking signatures needs the audit key and is
    verify()'s business."""

    def __init__(self) -> None:
        from velnor._native import Auditor

        self._auditor = Auditor(os.urandom(32))

    def fields(self, receipt: str) -> tuple[bytes, Fields]:
        if not isinstance(receipt, str):
            raise TypeError(f"receipt_json must be str, not {type(receipt).__name__}")
        try:
            data = receipt.encode("utf-8")
        except UnicodeEncodeError as e:
            raise InvalidReceiptError(f"invalid receipt JSON: not UTF-8 text ({e.reason})") from None
        try:
            self._auditor.verify(receipt)
        except InvalidReceiptError as e:
            if e.kind == "malformed":
                raise
        # The native reader accepted it, so the members exist with their
        # types; Python's reader only fetches them. It recurses, which only
        # matters for absurdly nested unknown members.
        try:
            doc = json.loads(receipt)
        except (ValueError, RecursionError) as e:
            raise InvalidReceiptError(f"invalid receipt JSON: {e}") from None
        return data, _extract(doc)


def _member(doc: Any, name: str, index: int) -> Any:
    if isinstance(doc, dict):
        return doc[name]
    return doc[index]


def unreadable(e: ValueError) -> bool:
    """Whether a checker's refusal says the receipt does not read, rather
    than that its signature is wrong. A checker other than velnor's Auditor
    may raise a plain ValueError; its message then tells."""
    if isinstance(e, InvalidReceiptError):
        return e.kind == "malformed"
    return str(e).startswith("invalid receipt JSON")


def _extract(doc: Any) -> Fields:
    try:
        summary = _member(doc, "context_summary", 3)
        outcome = _member(doc, "outcome", 4)
        return Fields(
            identifier=str(_member(doc, "capability_identifier", 1)),
            caller=str(_member(summary, "caller", 0)),
            tool=str(_member(summary, "tool", 1)),
            outcome=str(outcome["kind"] if isinstance(outcome, dict) else outcome[0]),
            timestamp_ms=int(_member(doc, "timestamp_ms", 5)),
        )
    except (KeyError, IndexError, TypeError) as e:
        raise InvalidReceiptError(f"invalid receipt JSON: cannot read member {e}") from None
