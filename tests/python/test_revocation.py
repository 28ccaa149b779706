"""Signed revocation lists: issued by the root key's holder, checked by
verifiers under the same key, newer versions only, and applied to a
capability and all its attenuations on both verification paths."""

import base64
import hashlib
import hmac
import json
import struct

import pytest

import velnor

from conftest import AUDIT_KEY, ROOT_KEY, b64url_decode, b64url_encode, ctx

LIST_KEY = hmac.new(ROOT_KEY, b"\xffvelnor revocation list key", hashlib.sha256).digest()


def sign(ids, version, key=LIST_KEY):
    """The list signature, rebuilt from its published layout."""
    data = b"velnor revocation list\x00" + struct.pack(">QQ", version, len(ids))
    for i in ids:
        raw = i.encode()
        data += struct.pack(">Q", len(raw)) + raw
    return hmac.new(key, data, hashlib.sha256).hexdigest()


def encode(doc) -> str:
    return b64url_encode(json.dumps(doc, separators=(",", ":"), ensure_ascii=False).encode())


def doc_of(text):
    return json.loads(b64url_decode(text))


def outcome(receipt):
    o = json.loads(receipt)["outcome"]
    return "allowed" if o["kind"] == "allowed" else o["reason"]


@pytest.mark.parametrize("ids", [[], ["agent-7"], [f"cap-{i:06d}" for i in range(100_000)]],
                         ids=["empty", "one", "100000"])
def test_lists_of_every_size(issuer, verifier, auditor, ids):
    text = issuer.revocation_list(list(reversed(ids)), 3)
    doc = doc_of(text)
    assert list(doc) == ["version", "identifiers", "signature"]
    assert doc["version"] == 3 and doc["identifiers"] == sorted(ids)
    assert doc["signature"] == sign(sorted(ids), 3)
    v = verifier.with_revocations(text)
    for ident in (ids[:1] + ids[-1:]) or ["agent-7"]:
        cap = issuer.issue(ident).caveat('tool == "search"').build()
        expected = f"capability revoked: {ident}" if ids else "allowed"
        assert outcome(v.verify_with_context(cap, ctx(), auditor)) == expected
    assert outcome(v.verify_with_context(issuer.issue("other").caveat('tool == "search"').build(),
                                         ctx(), auditor)) == "allowed"


def test_sorted_by_bytes_without_duplicates(issuer):
    ids = ["b", "\u00e9", "B", "a", "", "ab", "a", "\x7f", "\U0001f600"]
    doc = doc_of(issuer.revocation_list(ids, 0))
    assert doc["identifiers"] == sorted(set(ids), key=lambda s: s.encode())
    assert doc_of(issuer.revocation_list(tuple(ids), 0)) == doc


def test_revoking_a_parent_denies_every_attenuation(issuer, verifier, auditor):
    parent = issuer.issue("agent-7").caveat('tool == "search"').build()
    child = parent.attenuate("arg.limit <= 50")
    grandchild = child.attenuate('caller == "agent-7"')
    v = verifier.with_revocations(issuer.revocation_list(["agent-7"], 1))
    call = ctx(args={"limit": 5})
    for cap in (parent, child, grandchild):
        assert outcome(verifier.verify_with_context(cap, call, auditor)) == "allowed"
        assert outcome(v.verify_with_context(cap, call, auditor)) == "capability revoked: agent-7"


def test_revocation_applies_to_proofs(issuer, verifier, auditor):
    holder = velnor.HolderKey(bytes(32))
    bound = issuer.issue("bound-1").holder_of_key(holder.public_key).caveat('tool == "search"').build()
    child = bound.attenuate("arg.limit <= 50")
    gw = verifier.with_audience("g").with_nonce_store(velnor.MemoryNonceStore())
    gw = gw.with_revocations(issuer.revocation_list(["bound-1"], 9))
    for cap in (bound, child):
        call = ctx(args={"limit": 1})
        assert outcome(gw.verify_with_proof(cap, call, holder.prove(cap, call, "g"), auditor)) == \
            "capability revoked: bound-1"


def test_versions_only_move_forward(issuer, verifier):
    lists = {v: issuer.revocation_list([f"id-{v}"], v) for v in (0, 1, 5, 2 ** 64 - 1)}
    # A verifier that holds no list takes any version, 0 included.
    for text in lists.values():
        verifier.with_revocations(text)
    held = verifier.with_revocations(lists[5])
    for older in (0, 1, 5):
        with pytest.raises(ValueError, match=f"^revocation list version {older} is not newer than 5$"):
            held.with_revocations(lists[older])
    newest = held.with_revocations(lists[2 ** 64 - 1])
    with pytest.raises(ValueError, match="^revocation list version 18446744073709551615 is not newer than "
                                         "18446744073709551615$"):
        newest.with_revocations(lists[2 ** 64 - 1])
    # The newer list replaces the older one; the receiver keeps its own.
    assert held is not newest


def test_foreign_and_tampered_lists(issuer, verifier):
    other = velnor.Issuer.from_key(b"another root key")
    text = issuer.revocation_list(["agent-7", "agent-8"], 4)
    doc = doc_of(text)
    tampered = [
        other.revocation_list(["agent-7", "agent-8"], 4),
        encode({**doc, "identifiers": ["agent-7", "agent-9"]}),
        encode({**doc, "identifiers": ["agent-7"]}),
        encode({**doc, "identifiers": []}),
        encode({**doc, "version": 5}),
        encode({**doc, "signature": doc["signature"][:-1] + ("0" if doc["signature"][-1] != "0" else "1")}),
        # A capability's root link under the same key is no list signature.
        encode({**doc, "signature": hmac.new(ROOT_KEY, b"agent-7", hashlib.sha256).hexdigest()}),
        # Nor is the list key itself, or a signature made with the root key.
        encode({**doc, "signature": LIST_KEY.hex()}),
        encode({**doc, "signature": sign(doc["identifiers"], 4, key=ROOT_KEY)}),
    ]
    for bad in tampered:
        with pytest.raises(ValueError, match="^revocation list: invalid signature$"):
            verifier.with_revocations(bad)
    # Every bit of the signature matters.
    sig = bytes.fromhex(doc["signature"])
    for i in range(256):
        flipped = bytearray(sig)
        flipped[i // 8] ^= 1 << (i % 8)
        with pytest.raises(ValueError, match="invalid signature"):
            verifier.with_revocations(encode({**doc, "signature": flipped.hex()}))
    # Written by another encoder, with the members in another order: fine.
    assert verifier.with_revocations(encode({"signature": doc["signature"], "identifiers": doc["identifiers"],
                                             "version": 4}))


GOOD = {"version": 1, "identifiers": ["a", "b"], "signature": sign(["a", "b"], 1)}
MALFORMED = [
    ("not base64!", "Invalid symbol"),
    ("", "JSON: "),
    (b64url_encode(b"{"), "JSON: "),
    (b64url_encode(b"[]"), "expected an object"),
    (b64url_encode(b'"x"'), "expected an object"),
    (b64url_encode(json.dumps(GOOD).encode() + b" x"), "trailing characters"),
    (encode({k: v for k, v in GOOD.items() if k != "version"}), "missing field `version`"),
    (encode({k: v for k, v in GOOD.items() if k != "identifiers"}), "missing field `identifiers`"),
    (encode({k: v for k, v in GOOD.items() if k != "signature"}), "missing field `signature`"),
    (b64url_encode(b'{"version":1,"version":1}'), "duplicate field `version`"),
    (encode({**GOOD, "extra": 1}), 'unknown field "extra"'),
    (encode({**GOOD, "version": -1}), "`version` must be an unsigned 64-bit integer"),
    (encode({**GOOD, "version": 2 ** 64}), "`version` must be an unsigned 64-bit integer"),
    (encode({**GOOD, "version": 1.0}), "`version` must be an unsigned 64-bit integer"),
    (encode({**GOOD, "version": "1"}), "`version` must be an unsigned 64-bit integer"),
    (encode({**GOOD, "identifiers": "a"}), "`identifiers` must be an array of strings"),
    (encode({**GOOD, "identifiers": ["a", 1]}), "`identifiers` must be an array of strings"),
    (encode({**GOOD, "identifiers": [["a"]]}), "`identifiers` must be an array of strings"),
    (encode({**GOOD, "identifiers": ["b", "a"]}), "identifiers are not sorted and unique"),
    (encode({**GOOD, "identifiers": ["a", "a"]}), "identifiers are not sorted and unique"),
    (encode({**GOOD, "signature": "ab"}), "`signature` must be 64 hex digits"),
    (encode({**GOOD, "signature": "zz" * 32}), "`signature` must be 64 hex digits"),
    (encode({**GOOD, "signature": None}), "`signature` must be 64 hex digits"),
    (b64url_encode(b'{"version":1,"identifiers":["\xff"],"signature":""}'), "JSON: "),
]


@pytest.mark.parametrize("text, why", MALFORMED, ids=[str(i) for i in range(len(MALFORMED))])
def test_malformed_lists(verifier, text, why):
    with pytest.raises(ValueError, match="^invalid revocation list: ") as e:
        verifier.with_revocations(text)
    assert why in str(e.value)


def test_deeply_nested_input_is_refused_without_recursion(verifier):
    deep = b'{"version":1,"identifiers":' + b"[" * 100_000 + b"]" * 100_000 + b"}"
    with pytest.raises(ValueError, match="^invalid revocation list: "):
        verifier.with_revocations(b64url_encode(deep))


def test_argument_checks(issuer, verifier):
    with pytest.raises(TypeError, match="identifiers"):
        issuer.revocation_list("agent-7", 1)
    with pytest.raises(TypeError, match="identifiers"):
        issuer.revocation_list(["ok", b"bytes"], 1)
    with pytest.raises(UnicodeEncodeError):
        issuer.revocation_list(["\ud800"], 1)
    for bad in (1.0, "1", True, None):
        with pytest.raises(TypeError, match="version"):
            issuer.revocation_list([], bad)
    for bad in (-1, 2 ** 64, -(2 ** 70)):
        with pytest.raises(ValueError, match="^revocation list version must be between 0 and "
                                             "18446744073709551615$"):
            issuer.revocation_list([], bad)
    with pytest.raises(TypeError, match="revocation_list"):
        verifier.with_revocations(b"text")
    assert issuer.revocation_list(identifiers=["a"], version=1) == issuer.revocation_list(["a"], 1)
