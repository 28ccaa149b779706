"""Shared helpers: the token and chain formats, rebuilt here from their
published definitions (base64url, JSON, HMAC-SHA-256) so the tests can craft
and tamper with tokens independently of the library."""

import base64
import hashlib
import hmac
import json

import pytest

import velnor

ROOT_KEY = bytes(range(32))
AUDIT_KEY = b"audit-key-for-tests-0123456789ab"
HOLDER = bytes(range(100, 132))


def b64url_decode(token: str) -> bytes:
    return base64.urlsafe_b64decode(token + "=" * (-len(token) % 4))


def b64url_encode(raw: bytes) -> str:
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode("ascii")


def token_doc(cap: velnor.Capability) -> dict:
    return json.loads(b64url_decode(cap.serialize()))


def make_token(doc) -> str:
    text = json.dumps(doc, separators=(",", ":"), ensure_ascii=False)
    return b64url_encode(text.encode("utf-8"))


def chain(key: bytes, identifier: str, predicates, holder: bytes | None = None) -> bytes:
    sig = hmac.new(key, identifier.encode(), hashlib.sha256).digest()
    if holder is not None:
        sig = hmac.new(sig, b"__hok:" + holder, hashlib.sha256).digest()
    for p in predicates:
        sig = hmac.new(sig, p.encode(), hashlib.sha256).digest()
    return sig


def forge(key: bytes, identifier: str, predicates, holder: bytes | None = None) -> velnor.Capability:
    """A capability signed correctly under `key` without going through the
    builder, as another issuer implementation would mint it."""
    doc = {"identifier": identifier}
    if holder is not None:
        doc["holder_of_key"] = holder.hex()
    doc["caveats"] = [{"predicate": p} for p in predicates]
    doc["signature"] = chain(key, identifier, predicates, holder).hex()
    return velnor.Capability.parse(make_token(doc))


def ctx(now_ms=1_700_000_000_000, caller="agent-7", tool="search", args=None, **extra) -> str:
    doc = {"nowMs": now_ms, "caller": caller, "tool": tool, "args": {} if args is None else args}
    doc.update(extra)
    return json.dumps(doc)


@pytest.fixture
def issuer():
    return velnor.Issuer.from_key(ROOT_KEY)


@pytest.fixture
def verifier():
    return velnor.Verifier(ROOT_KEY)


@pytest.fixture
def auditor():
    return velnor.Auditor(AUDIT_KEY)


@pytest.fixture
def cap(issuer):
    return issuer.issue("agent-7").caveat('tool == "search"').caveat("arg.limit <= 50").build()


@pytest.fixture(scope="session")
def redis_session():
    from redis_server import Server

    server = Server()
    server.start()
    try:
        yield server
    finally:
        server.remove()


@pytest.fixture
def redis(redis_session):
    """The session's Redis, running and empty; tests may stop, pause or
    restart it."""
    if redis_session.proc is None or redis_session.proc.poll() is not None:
        redis_session.start()
    redis_session.command("CLIENT", "UNPAUSE")
    redis_session.command("FLUSHALL")
    return redis_session
