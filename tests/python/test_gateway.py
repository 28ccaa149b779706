"""velnor.Gateway: the context it builds is the one the verifier reads, every
receipt reaches the sink before a decision is returned, and errors stay
exceptions."""

import collections
import dataclasses
import json
import math

import pytest

import velnor

from conftest import AUDIT_KEY, ROOT_KEY, b64url_decode, b64url_encode, ctx, forge

NOW = 1_700_000_000_000
AUDIENCE = "gateway-eu-1"


@pytest.fixture
def cap(issuer):
    return (issuer.issue("agent-7").caveat("now <= @2030-01-01T00:00:00Z")
            .caveat('tool == "search" OR tool == "fetch"').caveat("arg.limit <= 50").build())


@pytest.fixture
def kept():
    return []


@pytest.fixture
def gateway(verifier, auditor, kept):
    return velnor.Gateway(verifier, auditor, receipts=kept)


def test_same_receipt_content_as_hand_built_context(gateway, verifier, auditor, cap, kept):
    # The gateway's context must be byte-for-byte what a caller would write by
    # hand: the receipt (caller, tool, args hash, time, outcome) is compared.
    cases = [
        ("search", {"q": "tides", "limit": 5}, None),
        ("search", {"limit": 10.0}, None),       # float text kept: integer bound refuses it
        ("delete", {"limit": 1}, None),
        ("search", {"nested": {"b": [1, None, True, "é\n"]}, "limit": 0}, {"REGION": "eu"}),
        ("search", {}, None),
    ]
    for tool, args, env in cases:
        d = gateway.check(cap, tool=tool, args=args, caller="agent-7", env=env, now_ms=NOW)
        extra = {} if env is None else {"env": env}
        by_hand = json.loads(verifier.verify_with_context(cap, ctx(now_ms=NOW, tool=tool, args=args, **extra),
                                                          auditor))
        got = json.loads(d.receipt)
        assert got == by_hand, (tool, args)
        assert bool(d) is d.allowed is (got["outcome"]["kind"] == "allowed")
        assert d.reason == got["outcome"].get("reason")
        assert d.identifier == "agent-7"
        auditor.verify(d.receipt)
    assert [json.loads(r)["outcome"]["kind"] for r in kept] == ["allowed", "denied", "denied", "allowed", "denied"]
    assert json.loads(kept[1])["outcome"]["reason"].startswith("caveat eval error in \"arg.limit <= 50\"")
    assert json.loads(kept[2])["outcome"]["reason"] == 'caveat failed: tool == "search" OR tool == "fetch"'


def test_token_text_and_env_reach_the_caveats(issuer, gateway):
    cap = issuer.issue("eu-only").caveat('env.REGION == "eu"').build()
    token = cap.serialize()
    assert gateway.check(token, tool="t", args={}, caller="c", env={"REGION": "eu"})
    denied = gateway.check(token, tool="t", args={}, caller="c", env={"REGION": "us"})
    assert not denied and denied.reason == 'caveat failed: env.REGION == "eu"'
    no_env = gateway.check(token, tool="t", args={}, caller="c")
    assert no_env.reason == 'caveat eval error in "env.REGION == \\"eu\\"": unknown identifier: env.REGION'


def test_clock_used_when_now_is_left_out(gateway, cap):
    d = gateway.check(cap, tool="search", args={"limit": 1}, caller="a")
    assert d and json.loads(d.receipt)["timestamp_ms"] > NOW
    expired = gateway.check(cap, tool="search", args={"limit": 1}, caller="a", now_ms=1_906_502_400_000)
    assert expired.reason == "caveat failed: now <= @2030-01-01T00:00:00Z"


def test_errors_are_exceptions_and_keep_no_receipt(gateway, cap, kept):
    doc = json.loads(b64url_decode(cap.serialize()))
    doc["caveats"] = doc["caveats"][:-1]
    tampered = b64url_encode(json.dumps(doc).encode())
    foreign = forge(b"another issuer's root key".ljust(32, b"!"), "agent-7", ['tool == "search"'])
    cases = [
        (tampered, ValueError, "capability chain integrity: invalid signature"),
        (foreign, ValueError, "capability chain integrity: invalid signature"),
        ("", ValueError, None),
        ("not+base64", ValueError, "base64 decode failed: "),
        (b"token", TypeError, "token must be str or velnor.Capability"),
    ]
    good = cap.serialize()
    for token, exc, message in cases:
        # The last parsed token is kept: a different text right after a good one must be read afresh.
        assert gateway.check(good, tool="search", args={"limit": 1}, caller="a", now_ms=NOW)
        with pytest.raises(exc) as raised:
            gateway.check(token, tool="search", args={"limit": 1}, caller="a", now_ms=NOW)
        if message is not None:
            assert str(raised.value).startswith(message), str(raised.value)
    assert len(kept) == len(cases)


class Cyclic(dict):
    pass


def test_arguments_json_cannot_carry_are_refused_with_their_path(gateway, cap, kept):
    loop = Cyclic()
    loop["self"] = loop
    deep: dict = {}
    node = deep
    for _ in range(200):
        node["d"] = {}
        node = node["d"]
    cases = [
        ({"x": math.nan}, ValueError, "args.x: nan is not a JSON number"),
        ({"a": [1, {"b": math.inf}]}, ValueError, "args.a[1].b: inf is not a JSON number"),
        ({"s": {1, 2}}, TypeError, "args.s: set is not JSON serializable"),
        ({"b": b"raw"}, TypeError, "args.b: bytes is not JSON serializable"),
        ({"o": object()}, TypeError, "args.o: object is not JSON serializable"),
        ({"k": {1: "x"}}, TypeError, "args.k: object keys must be str, not int"),
        ({"t": "\ud800"}, ValueError, "args.t: text holds a lone surrogate"),
        ({"loop": loop}, ValueError, "args.loop.self: circular reference"),
        (deep, ValueError, "args" + ".d" * 126 + ": nested deeper than 126 levels"),
        (["not", "a", "mapping"], TypeError, "args must be a mapping, not list"),
    ]
    for args, exc, message in cases:
        with pytest.raises(exc) as raised:
            gateway.check(cap, tool="search", args=args, caller="a", now_ms=NOW)
        assert str(raised.value).startswith(message), str(raised.value)
    bad_calls = [
        (dict(tool=1, args={}, caller="a"), TypeError, "tool must be str"),
        (dict(tool="t", args={}, caller=None), TypeError, "caller must be str"),
        (dict(tool="t", args={}, caller="a", env={"A": 1}), TypeError, "env entries must be str to str"),
        (dict(tool="t", args={}, caller="a", now_ms=-1), ValueError, "now_ms must be an unsigned 64-bit"),
        (dict(tool="t", args={}, caller="a", now_ms=1.5), TypeError, "now_ms must be int"),
        (dict(tool="t", args={}, caller="a", proof=b"p"), TypeError, "proof must be str or None"),
    ]
    for kwargs, exc, message in bad_calls:
        with pytest.raises(exc, match=message):
            gateway.check(cap, **kwargs)
    assert kept == []


def test_shared_values_are_not_cycles(gateway, issuer):
    cap = issuer.issue("x").caveat('arg.a.v == "s"').build()
    shared = {"v": "s"}
    d = gateway.check(cap, tool="t", args={"a": shared, "b": shared, "c": [shared, shared]}, caller="a")
    assert d, d.reason
    ordered = collections.OrderedDict([("a", {"v": "s"})])
    assert gateway.check(cap, tool="t", args=ordered, caller="a")


def test_receipt_sinks(verifier, auditor, cap, tmp_path):
    called = []
    gw = velnor.Gateway(verifier, auditor, receipts=called.append)
    gw.check(cap, tool="search", args={"limit": 1}, caller="a")
    assert len(called) == 1

    with velnor.ReceiptLog.open(f"sqlite:///{tmp_path}/r.db") as log:
        gw = velnor.Gateway(verifier, auditor, receipts=log)
        d1 = gw.check(cap, tool="search", args={"limit": 1}, caller="a")
        d2 = gw.check(cap, tool="delete", args={"limit": 1}, caller="a")
        assert [e.outcome for e in log.tail(5)] == ["allowed", "denied"]
        assert log.verify(velnor.Auditor(AUDIT_KEY)).ok
        assert [e.receipt for e in log.tail(5)] == [d1.receipt, d2.receipt]

    def broken(_receipt: str) -> None:
        raise OSError("disk full")

    gw = velnor.Gateway(verifier, auditor, receipts=broken)
    with pytest.raises(OSError, match="disk full"):   # no decision without its receipt kept
        gw.check(cap, tool="search", args={"limit": 1}, caller="a")
    for wrong in (42, "log"):
        with pytest.raises(TypeError, match="receipts must be callable or have an append method"):
            velnor.Gateway(verifier, auditor, receipts=wrong)
    with pytest.raises(TypeError, match="verifier must be a velnor.Verifier"):
        velnor.Gateway(auditor, auditor)
    with pytest.raises(TypeError, match="auditor must be a velnor.Auditor"):
        velnor.Gateway(verifier, verifier)


def test_proofs_go_through_verify_with_proof(issuer, auditor, kept):
    holder = velnor.HolderKey(bytes(range(32)))
    cap = issuer.issue("bound").holder_of_key(holder.public_key).caveat('tool == "search"').build()
    gw = velnor.Gateway(velnor.Verifier(ROOT_KEY).with_audience(AUDIENCE)
                        .with_nonce_store(velnor.MemoryNonceStore()), auditor, receipts=kept)
    args = {"q": "tides", "limit": 5}
    call = velnor._gateway.context_json(tool="search", args=args, caller="agent-7")
    proof = holder.prove(cap, call, AUDIENCE)
    first = gw.check(cap, tool="search", args=args, caller="agent-7", proof=proof)
    assert first and json.loads(first.receipt)["version"] == 2
    replay = gw.check(cap, tool="search", args=args, caller="agent-7", proof=proof)
    assert replay.reason == "proof already used"
    without = gw.check(cap, tool="search", args=args, caller="agent-7")
    assert without.reason == "capability is bound to a holder key; use verify_with_proof"
    fresh = holder.prove(cap, call, AUDIENCE)
    for changed in ({"args": {"q": "tides", "limit": 6}}, {"caller": "agent-8"}, {"tool": "fetch"}):
        kw = {"tool": "search", "args": args, "caller": "agent-7", **changed}
        with pytest.raises(ValueError):
            gw.check(cap, proof=fresh, **kw)
    assert len(kept) == 3
    for r in kept:
        auditor.verify(r)


def test_decision_is_frozen():
    d = velnor.Decision(allowed=False, reason="r", receipt="{}", identifier="i")
    assert not d
    with pytest.raises(dataclasses.FrozenInstanceError):
        d.allowed = True  # type: ignore[misc]
    assert velnor.Decision(allowed=True, reason=None, receipt="{}", identifier="i")
