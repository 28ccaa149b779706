"""Real signed receipts in bulk, and the log's chain rebuilt from its
published definition."""

import hashlib
import json

import velnor

from conftest import AUDIT_KEY, ROOT_KEY

GENESIS = hashlib.sha256(b"velnor receipt log v1 genesis").digest()
TAG = b"velnor receipt log v1 link\x00"

_verifier = velnor.Verifier(ROOT_KEY)
_auditor = velnor.Auditor(AUDIT_KEY)
_cap = (velnor.Issuer.from_key(ROOT_KEY).issue("agent-7")
        .caveat('tool == "search" OR tool == "fetch"').build())


def make(n: int, caller: str = "agent-7", start_ms: int = 1_700_000_000_000) -> list[str]:
    """n receipts, one per millisecond; every third one denied."""
    out = []
    for i in range(n):
        tool = "delete" if i % 3 == 2 else ("search" if i % 2 else "fetch")
        ctx = json.dumps({"nowMs": start_ms + i, "caller": caller, "tool": tool, "args": {"i": i}})
        out.append(_verifier.verify_with_context(_cap, ctx, _auditor))
    return out


def links(texts, previous: bytes = GENESIS) -> list[bytes]:
    out = []
    for t in texts:
        data = t if isinstance(t, bytes) else t.encode()
        previous = hashlib.sha256(TAG + previous + data).digest()
        out.append(previous)
    return out
