"""Holder-bound capabilities end to end: the agent's HolderKey proves each
call, the gateway's verifier checks the proof once, and receipts of version
2 record it."""

import json
import pickle
import threading

import pytest

import velnor

from conftest import AUDIT_KEY, ROOT_KEY, b64url_decode, b64url_encode, ctx

NOW = 1_700_000_000_000
AUDIENCE = "gateway-eu-1"
# RFC 8032 section 7.1, tests 1 to 3: seed and public key.
RFC8032 = [
    ("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"),
    ("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"),
    ("c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025"),
]


@pytest.fixture
def holder():
    return velnor.HolderKey(bytes.fromhex(RFC8032[0][0]))


@pytest.fixture
def bound(issuer, holder):
    return (issuer.issue("agent-7").holder_of_key(holder.public_key)
            .caveat('tool == "search"').caveat("arg.limit <= 50").build())


@pytest.fixture
def store():
    return velnor.MemoryNonceStore()


@pytest.fixture
def gateway(store):
    return velnor.Verifier(ROOT_KEY).with_audience(AUDIENCE).with_nonce_store(store)


def call(now=NOW, **kw):
    kw.setdefault("args", {"limit": 10})
    return ctx(now_ms=now, **kw)


def outcome(receipt_json):
    o = json.loads(receipt_json)["outcome"]
    return "allowed" if o["kind"] == "allowed" else o["reason"]


@pytest.mark.parametrize("seed, public", RFC8032)
def test_rfc8032_keys_prove_through_the_verifier(issuer, auditor, seed, public):
    key = velnor.HolderKey(bytes.fromhex(seed))
    assert key.public_key == bytes.fromhex(public)
    cap = issuer.issue("rfc").holder_of_key(key.public_key).caveat('tool == "search"').build()
    gw = velnor.Verifier(ROOT_KEY).with_audience("a").with_nonce_store(velnor.MemoryNonceStore())
    receipt = gw.verify_with_proof(cap, call(), key.prove(cap, call(), "a"), auditor)
    assert outcome(receipt) == "allowed"
    assert json.loads(receipt)["proof"]["holder_key"] == public


def test_accepted_then_replayed(bound, holder, gateway, auditor):
    proof = holder.prove(bound, call(), AUDIENCE)
    first = gateway.verify_with_proof(bound, call(), proof, auditor)
    second = gateway.verify_with_proof(bound, call(), proof, auditor)
    assert outcome(first) == "allowed"
    assert outcome(second) == "proof already used"
    for r in (first, second):
        assert auditor.verify(r) is None


def test_receipt_version_2_shape_and_recorded_proof(bound, holder, gateway, auditor):
    proof = holder.prove(bound, call(), AUDIENCE)
    text = gateway.verify_with_proof(bound, call(), proof, auditor)
    r = json.loads(text)
    assert text == json.dumps(r, separators=(",", ":"), ensure_ascii=False)
    assert list(r) == ["version", "capability_identifier", "caveats", "context_summary", "proof",
                       "outcome", "timestamp_ms", "signature"]
    assert r["version"] == 2
    sent = json.loads(b64url_decode(proof))
    assert list(sent) == ["audience", "issued_at_ms", "nonce", "signature"]
    assert list(r["proof"]) == ["audience", "holder_key", "issued_at_ms", "nonce", "signature"]
    assert r["proof"] == {"audience": AUDIENCE, "holder_key": holder.public_key.hex(),
                          "issued_at_ms": NOW, "nonce": sent["nonce"], "signature": sent["signature"]}
    assert len(sent["nonce"]) == 32 and len(sent["signature"]) == 128


def test_proof_written_by_another_encoder_is_accepted(bound, holder, gateway, auditor):
    # Members in another order, spacing, upper-case hex: the same proof.
    sent = json.loads(b64url_decode(holder.prove(bound, call(), AUDIENCE)))
    doc = {"signature": sent["signature"].upper(), "nonce": sent["nonce"], "x": [None],
           "issued_at_ms": sent["issued_at_ms"], "audience": sent["audience"]}
    text = b64url_encode(json.dumps(doc, indent=2).encode())
    receipt = json.loads(gateway.verify_with_proof(bound, call(), text, auditor))
    assert receipt["outcome"] == {"kind": "allowed"}
    assert receipt["proof"]["signature"] == sent["signature"]


# (what changes between proving and verifying) -> the verifier's answer
MISMATCHES = [
    ("other args", {"args": {"limit": 11}}),
    ("other number text", {"args": {"limit": 10.0}}),
    ("other tool", {"tool": "searc"}),
    ("other caller", {"caller": "agent-8"}),
]


@pytest.mark.parametrize("what, change", MISMATCHES, ids=[m[0] for m in MISMATCHES])
def test_proof_for_another_call_raises(bound, holder, gateway, auditor, what, change):
    proof = holder.prove(bound, call(), AUDIENCE)
    with pytest.raises(ValueError, match="^proof of possession: invalid signature$"):
        gateway.verify_with_proof(bound, call(**change), proof, auditor)


def test_proof_for_another_capability_raises(issuer, bound, holder, gateway, auditor):
    attenuated = bound.attenuate("arg.limit <= 20")
    sibling = issuer.issue("agent-8").holder_of_key(holder.public_key).caveat('tool == "search"').build()
    for proved, presented in ((bound, attenuated), (attenuated, bound), (bound, sibling)):
        proof = holder.prove(proved, call(), AUDIENCE)
        with pytest.raises(ValueError, match="^proof of possession: invalid signature$"):
            gateway.verify_with_proof(presented, call(), proof, auditor)
    assert outcome(gateway.verify_with_proof(
        attenuated, call(), holder.prove(attenuated, call(), AUDIENCE), auditor)) == "allowed"


def normalised(doc):
    # Hex is read in either case: the same proof.
    if not isinstance(doc, dict):
        return doc
    return {k: v.lower() if k in ("nonce", "signature") and isinstance(v, str) else v for k, v in doc.items()}


def test_flipped_bits_are_refused(bound, holder, auditor):
    proof = holder.prove(bound, call(), AUDIENCE)
    raw = bytearray(b64url_decode(proof))
    original = json.loads(raw)
    for i in range(len(raw) * 8):
        bad = bytearray(raw)
        bad[i // 8] ^= 1 << (i % 8)
        try:
            same = normalised(json.loads(bad)) == normalised(original)
        except ValueError:
            same = False
        gw = velnor.Verifier(ROOT_KEY).with_audience(AUDIENCE).with_nonce_store(velnor.MemoryNonceStore())
        text = b64url_encode(bytes(bad))
        if same:  # a hex digit's case
            assert outcome(gw.verify_with_proof(bound, call(), text, auditor)) == "allowed"
            continue
        with pytest.raises(ValueError, match="^(invalid proof: |proof of possession: invalid signature$)"):
            gw.verify_with_proof(bound, call(), text, auditor)


# offset of the gateway's time from the proof's -> allowed
WINDOW = [(0, True), (300_000, True), (-300_000, True), (300_001, False), (-300_001, False)]


@pytest.mark.parametrize("offset, allowed", WINDOW)
def test_clock_window_edges(bound, holder, gateway, auditor, offset, allowed):
    proof = holder.prove(bound, call(), AUDIENCE)
    got = outcome(gateway.verify_with_proof(bound, call(now=NOW + offset), proof, auditor))
    expected = "allowed" if allowed else (
        f"proof outside the clock window: issued at {NOW} ms, now {NOW + offset} ms")
    assert got == expected


def test_wall_clock_on_both_sides(bound, holder, gateway, auditor):
    live = json.dumps({"caller": "agent-7", "tool": "search", "args": {"limit": 10}})
    assert outcome(gateway.verify_with_proof(bound, live, holder.prove(bound, live, AUDIENCE), auditor)) == "allowed"
    # A proof of the agent's own choosing of time is judged by the gateway's clock.
    old = holder.prove(bound, call(now=NOW), AUDIENCE)
    assert outcome(gateway.verify_with_proof(bound, live, old, auditor)).startswith("proof outside the clock window")


def test_replay_across_verifiers_sharing_a_store(bound, holder, store, auditor):
    a = velnor.Verifier(ROOT_KEY).with_audience(AUDIENCE).with_nonce_store(store)
    b = velnor.Verifier(ROOT_KEY).with_nonce_store(store).with_audience(AUDIENCE)
    c = velnor.Verifier(ROOT_KEY).with_audience(AUDIENCE).with_nonce_store(velnor.MemoryNonceStore())
    proof = holder.prove(bound, call(), AUDIENCE)
    steps = [(a, "allowed"), (b, "proof already used"), (c, "allowed"), (a, "proof already used")]
    assert [outcome(v.verify_with_proof(bound, call(), proof, auditor)) for v, _ in steps] == [w for _, w in steps]
    assert len(store) == 1


def test_nonce_spent_when_caveats_fail(bound, holder, gateway, store, auditor):
    proof = holder.prove(bound, call(args={"limit": 99}), AUDIENCE)
    assert outcome(gateway.verify_with_proof(bound, call(args={"limit": 99}), proof, auditor)) == \
        "caveat failed: arg.limit <= 50"
    assert len(store) == 1
    assert outcome(gateway.verify_with_proof(bound, call(args={"limit": 99}), proof, auditor)) == \
        "proof already used"


def test_full_store_fails_closed(bound, holder, auditor):
    store = velnor.MemoryNonceStore(capacity=1)
    gw = velnor.Verifier(ROOT_KEY).with_audience(AUDIENCE).with_nonce_store(store)
    run = lambda now: outcome(gw.verify_with_proof(bound, call(now), holder.prove(bound, call(now), AUDIENCE), auditor))
    assert run(NOW) == "allowed"
    assert run(NOW + 1) == "nonce store unavailable: memory store is full (1 live nonces)"
    assert run(NOW + 300_001) == "allowed"  # the first one's proof can no longer be accepted
    assert store.capacity == 1 and len(store) == 1


def test_concurrent_replays_have_one_winner(bound, holder, store, auditor):
    proof = holder.prove(bound, call(), AUDIENCE)
    verifiers = [velnor.Verifier(ROOT_KEY).with_audience(AUDIENCE).with_nonce_store(store) for _ in range(6)]
    results = []
    barrier = threading.Barrier(len(verifiers))

    def worker(v):
        barrier.wait(timeout=30)
        results.append(outcome(v.verify_with_proof(bound, call(), proof, auditor)))

    threads = [threading.Thread(target=worker, args=(v,)) for v in verifiers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert sorted(results) == ["allowed"] + ["proof already used"] * 5


def test_audience_and_denials_before_the_proof(issuer, bound, holder, gateway, store, auditor):
    other = holder.prove(bound, call(), 'gw "us"')
    assert outcome(gateway.verify_with_proof(bound, call(), other, auditor)) == \
        'proof is for another audience: "gw \\"us\\""'
    bearer = issuer.issue("b").caveat('tool == "search"').build()
    weak = issuer.issue("w").holder_of_key(bytes(32)).caveat('tool == "search"').build()
    proof = holder.prove(bound, call(), AUDIENCE)
    for cap, reason in ((bearer, "capability is not bound to a holder key; use verify_with_context"),
                        (weak, "holder key is not an Ed25519 public key")):
        r = json.loads(gateway.verify_with_proof(cap, call(), proof, auditor))
        assert r["version"] == 1 and "proof" not in r
        assert r["outcome"]["reason"] == reason
    assert len(store) == 0
    assert outcome(gateway.verify_with_context(bound, call(), auditor)) == \
        "capability is bound to a holder key; use verify_with_proof"


def test_errors_in_order(issuer, bound, holder, gateway, auditor):
    proof = holder.prove(bound, call(), AUDIENCE)
    unready = [velnor.Verifier(ROOT_KEY), velnor.Verifier(ROOT_KEY).with_audience(AUDIENCE),
               velnor.Verifier(ROOT_KEY).with_nonce_store(velnor.MemoryNonceStore())]
    for v in unready:
        with pytest.raises(ValueError, match=r"^verify_with_proof needs an audience and a nonce store "
                                             r"\(with_audience, with_nonce_store\)$"):
            v.verify_with_proof(bound, "not json", "not a proof", auditor)
    with pytest.raises(ValueError, match="^invalid context JSON: "):
        gateway.verify_with_proof(bound, "not json", "not a proof", auditor)
    with pytest.raises(ValueError, match="^invalid proof: "):
        gateway.verify_with_proof(bound, call(), "not a proof", auditor)
    foreign = velnor.Issuer.from_key(b"other").issue("agent-7").holder_of_key(holder.public_key) \
        .caveat('tool == "search"').build()
    with pytest.raises(ValueError, match="^capability chain integrity: invalid signature$"):
        gateway.verify_with_proof(foreign, call(), proof, auditor)


def doc_text(doc):
    return b64url_encode(json.dumps(doc, separators=(",", ":")).encode())


GOOD = {"audience": "a", "issued_at_ms": 5, "nonce": "ab" * 16, "signature": "cd" * 64}
MALFORMED = [
    ("", "EOF while parsing a value"),
    ("e30=", "base64 decode failed: "),
    ("e30+", "base64 decode failed: "),
    (doc_text({}), "missing field `audience`"),
    (doc_text({**GOOD, "nonce": "ab" * 15}), "invalid length 15, expected 16 bytes"),
    (doc_text({**GOOD, "signature": "cd" * 63}), "invalid length 63, expected 64 bytes"),
    (doc_text({**GOOD, "nonce": "abc"}), "hex string has odd length"),
    (doc_text({**GOOD, "nonce": "zz" * 16}), "invalid digit found in string"),
    (doc_text({**GOOD, "issued_at_ms": -1}), "invalid value: integer `-1`, expected u64"),
    (doc_text({**GOOD, "audience": None}), "invalid type: null, expected a string"),
    (doc_text([1]), "invalid type: integer `1`, expected a string"),
    (b64url_encode(b'{"audience":"a","audience":"b"}'), "duplicate field `audience`"),
]


@pytest.mark.parametrize("text, message", MALFORMED)
def test_malformed_proofs(bound, gateway, auditor, text, message):
    with pytest.raises(ValueError) as e:
        gateway.verify_with_proof(bound, call(), text, auditor)
    assert str(e.value).startswith("invalid proof: " + message)


def test_v2_receipt_tampering(bound, holder, gateway, auditor):
    text = gateway.verify_with_proof(bound, call(), holder.prove(bound, call(), AUDIENCE), auditor)
    flip = lambda h: ("1" if h[0] == "0" else "0") + h[1:]
    edits = {
        "capability_identifier": lambda d: d.update(capability_identifier="x"),
        "caveats": lambda d: d["caveats"].reverse(),
        "context_summary": lambda d: d["context_summary"].update(caller="agent-8"),
        "proof.audience": lambda d: d["proof"].update(audience="b"),
        "proof.holder_key": lambda d: d["proof"].update(holder_key=flip(d["proof"]["holder_key"])),
        "proof.issued_at_ms": lambda d: d["proof"].update(issued_at_ms=d["proof"]["issued_at_ms"] + 1),
        "proof.nonce": lambda d: d["proof"].update(nonce=flip(d["proof"]["nonce"])),
        "proof.signature": lambda d: d["proof"].update(signature=flip(d["proof"]["signature"])),
        "outcome": lambda d: d.update(outcome={"kind": "denied", "reason": "x"}),
        "timestamp_ms": lambda d: d.update(timestamp_ms=1),
        "signature": lambda d: d.update(signature=flip(d["signature"])),
        "version": lambda d: d.update(version=1),
    }
    for name, edit in edits.items():
        d = json.loads(text)
        edit(d)
        with pytest.raises(ValueError, match="^invalid signature$"):
            auditor.verify(json.dumps(d))
    d = json.loads(text)
    del d["proof"]
    with pytest.raises(ValueError, match="^invalid receipt JSON: missing field `proof`"):
        auditor.verify(json.dumps(d))
    assert auditor.verify(json.dumps(json.loads(text), indent=1)) is None


def test_holder_key_surface(bound, holder):
    for bad in (b"", bytes(31), bytes(33)):
        with pytest.raises(ValueError, match="^holder key seed must be 32 bytes$"):
            velnor.HolderKey(bad)
    for bad in (bytearray(32), "x" * 32, None):
        with pytest.raises(TypeError, match="seed"):
            velnor.HolderKey(bad)
    with pytest.raises(TypeError):
        pickle.dumps(holder)
    with pytest.raises(AttributeError):
        holder.seed = b""
    assert holder == holder and holder != velnor.HolderKey(bytes.fromhex(RFC8032[0][0]))
    assert not any("seed" in n for n in dir(holder) if not n.startswith("__"))
    other = velnor.HolderKey(bytes(32))
    with pytest.raises(ValueError, match="^capability is not bound to this holder key$"):
        other.prove(bound, call(), AUDIENCE)
    with pytest.raises(ValueError, match="^invalid context JSON: "):
        holder.prove(bound, "{", AUDIENCE)
    with pytest.raises(TypeError, match="cap"):
        holder.prove("cap", call(), AUDIENCE)
    with pytest.raises(TypeError, match="audience"):
        holder.prove(bound, call(), b"a")


def test_store_and_verifier_surface(store):
    assert store.capacity == 1_000_000 and len(store) == 0
    assert velnor.MemoryNonceStore(capacity=5).capacity == 5
    for bad in (0, -1, -(2 ** 70)):
        with pytest.raises(ValueError, match="^nonce store capacity must be at least 1$"):
            velnor.MemoryNonceStore(bad)
    for bad in ("5", 5.0, True):
        with pytest.raises(TypeError, match="capacity"):
            velnor.MemoryNonceStore(bad)
    with pytest.raises(TypeError):
        pickle.dumps(store)
    v = velnor.Verifier(ROOT_KEY)
    ready = v.with_audience("a").with_nonce_store(store)
    assert ready is not v and type(ready) is velnor.Verifier
    # The receiver is unchanged: still without an audience or a store.
    with pytest.raises(ValueError, match="^verify_with_proof needs an audience"):
        v.verify_with_proof(velnor.Issuer.from_key(ROOT_KEY).issue("x").caveat('tool == "t"').build(),
                            "{}", "", velnor.Auditor(AUDIT_KEY))
    with pytest.raises(TypeError, match="store"):
        v.with_nonce_store({})
    with pytest.raises(TypeError, match="audience"):
        v.with_audience(b"a")


def test_auditor_holding_the_root_key_is_refused_before_the_nonce_is_spent(bound, holder, gateway, auditor):
    proof = holder.prove(bound, call(), AUDIENCE)
    with pytest.raises(ValueError, match="^the audit key must differ from the root key$"):
        gateway.verify_with_proof(bound, call(), proof, velnor.Auditor(ROOT_KEY))
    assert outcome(gateway.verify_with_proof(bound, call(), proof, auditor)) == "allowed"
