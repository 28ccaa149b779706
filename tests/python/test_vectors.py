"""The published vectors in tests/vectors/, recomputed from their inputs with
hmac, hashlib and a plain-Python Ed25519, and compared with what the
library does with the same inputs."""

from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import json
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

import ed25519_ref
import velnor

ROOT = Path(__file__).resolve().parents[2]
VECTORS = ROOT / "tests" / "vectors"


def load(name: str) -> dict[str, Any]:
    return json.loads((VECTORS / name).read_text(encoding="utf-8"))


TOKENS = load("tokens.json")
ATTENUATIONS = load("attenuations.json")["vectors"]
CANONICAL = load("canonical_args.json")["vectors"]
RECEIPTS = load("receipts.json")
PROOFS = load("proofs.json")


def ids(vectors: list[dict[str, Any]]) -> list[str]:
    return [v["name"] for v in vectors]


def b64url_decode(text: str) -> bytes:
    """Strict: the URL-safe alphabet only, no padding, clean trailing bits."""
    if "=" in text or len(text) % 4 == 1:
        raise ValueError("not canonical base64url")
    raw = base64.b64decode(text.replace("-", "+").replace("_", "/") + "=" * (-len(text) % 4),
                           validate=True)
    if base64.urlsafe_b64encode(raw).rstrip(b"=").decode() != text:
        raise ValueError("not canonical base64url")
    return raw


class Number(str):
    """A JSON number as its source text."""


def read_keeping_numbers(text: str) -> Any:
    return json.loads(text, parse_int=Number, parse_float=Number, parse_constant=Number)


SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def canonical(value: Any) -> str:
    """Sorted members at every level, no whitespace, numbers as written,
    only the escapes JSON cannot do without."""
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, Number) or isinstance(value, int):
        return str(value)
    if isinstance(value, str):
        out = []
        for ch in value:
            if ch in SHORT_ESCAPES:
                out.append(SHORT_ESCAPES[ch])
            elif ord(ch) < 0x20:
                out.append(f"\\u{ord(ch):04x}")
            else:
                out.append(ch)
        return '"' + "".join(out) + '"'
    if isinstance(value, list):
        return "[" + ",".join(canonical(v) for v in value) + "]"
    members = sorted(value.items(), key=lambda kv: kv[0].encode())
    return "{" + ",".join(canonical(k) + ":" + canonical(v) for k, v in members) + "}"


def hmac256(key: bytes, message: bytes) -> bytes:
    return hmac.new(key, message, hashlib.sha256).digest()


def token_doc(token: str) -> dict[str, Any]:
    return json.loads(b64url_decode(token))


def signing_input(receipt_json: str) -> bytes:
    receipt = read_keeping_numbers(receipt_json)
    version = int(receipt["version"])
    del receipt["signature"]
    return b"v" + bytes([version]) + canonical(receipt).encode()


# ---- tokens and chains ----

@pytest.mark.parametrize("v", TOKENS["chains"], ids=ids(TOKENS["chains"]))
def test_chain_links_recompute(v: dict[str, Any]) -> None:
    key = bytes.fromhex(v["root_key"])
    holder = None if v["holder_key"] is None else bytes.fromhex(v["holder_key"])
    messages = [v["identifier"].encode()]
    steps = ["root"]
    if holder is not None:
        messages.append(b"__hok:" + holder)
        steps.append("holder")
    messages += [p.encode() for p in v["caveats"]]
    steps += ["caveat"] * len(v["caveats"])
    assert [link["step"] for link in v["links"]] == steps
    for link, message in zip(v["links"], messages):
        assert bytes.fromhex(link["key"]) == key
        assert bytes.fromhex(link["message"]) == message
        key = hmac256(key, message)
        assert link["link"] == key.hex()
    assert v["signature"] == key.hex()
    if len(bytes.fromhex(v["root_key"])) > 64:
        digest = hashlib.sha256(bytes.fromhex(v["root_key"])).digest()
        assert hmac256(digest, messages[0]).hex() == v["links"][0]["link"]


@pytest.mark.parametrize("v", TOKENS["chains"], ids=ids(TOKENS["chains"]))
def test_chain_tokens_match_the_library(v: dict[str, Any]) -> None:
    assert b64url_decode(v["token"]).decode() == v["token_json"]
    doc = json.loads(v["token_json"])
    expected = {"identifier": v["identifier"]}
    if v["holder_key"] is not None:
        expected["holder_of_key"] = v["holder_key"]
    expected |= {"caveats": [{"predicate": p} for p in v["caveats"]], "signature": v["signature"]}
    assert list(doc.items()) == list(expected.items())

    builder = velnor.Issuer.from_key(bytes.fromhex(v["root_key"])).issue(v["identifier"])
    if v["holder_key"] is not None:
        builder = builder.holder_of_key(bytes.fromhex(v["holder_key"]))
    for p in v["caveats"]:
        builder = builder.caveat(p)
    assert builder.build().serialize() == v["token"]
    cap = velnor.Capability.parse(v["token"])
    assert cap.serialize() == v["token"]
    assert cap.identifier == v["identifier"]
    assert cap.holder_of_key == (None if v["holder_key"] is None else bytes.fromhex(v["holder_key"]))


@pytest.mark.parametrize("v", TOKENS["verifications"], ids=ids(TOKENS["verifications"]))
def test_chain_verdicts(v: dict[str, Any]) -> None:
    root_key = bytes.fromhex(v["root_key"])
    doc = token_doc(v["token"])
    link = hmac256(root_key, doc["identifier"].encode())
    if doc.get("holder_of_key") is not None:
        link = hmac256(link, b"__hok:" + bytes.fromhex(doc["holder_of_key"]))
    for c in doc["caveats"]:
        link = hmac256(link, c["predicate"].encode())
    assert hmac.compare_digest(link, bytes.fromhex(doc["signature"])) == (v["error"] is None)

    cap = velnor.Capability.parse(v["token"])
    verifier, auditor = velnor.Verifier(root_key), velnor.Auditor(bytes(range(0x40, 0x60)))
    ctx = '{"nowMs":0,"caller":"c","tool":"t","args":{}}'
    if v["error"] is None:
        json.loads(verifier.verify_with_context(cap, ctx, auditor))
    else:
        with pytest.raises(ValueError) as e:
            verifier.verify_with_context(cap, ctx, auditor)
        assert str(e.value) == v["error"]


@pytest.mark.parametrize("v", TOKENS["parse_errors"], ids=ids(TOKENS["parse_errors"]))
def test_tokens_that_do_not_read(v: dict[str, Any]) -> None:
    with pytest.raises(ValueError) as e:
        velnor.Capability.parse(v["token"])
    assert str(e.value) == v["error"]
    if v["error"].startswith("base64 decode failed"):
        with pytest.raises((ValueError, binascii.Error)):
            b64url_decode(v["token"])


@pytest.mark.parametrize("v", ATTENUATIONS, ids=ids(ATTENUATIONS))
def test_attenuations(v: dict[str, Any]) -> None:
    parent, child = token_doc(v["parent_token"]), token_doc(v["token"])
    assert bytes.fromhex(v["link"]["key"]) == bytes.fromhex(parent["signature"])
    assert bytes.fromhex(v["link"]["message"]) == v["predicate"].encode()
    link = hmac256(bytes.fromhex(parent["signature"]), v["predicate"].encode())
    assert v["link"]["link"] == link.hex() == child["signature"]
    assert child["caveats"] == parent["caveats"] + [{"predicate": v["predicate"]}]
    assert child["identifier"] == parent["identifier"]
    assert child.get("holder_of_key") == parent.get("holder_of_key")

    cap = velnor.Capability.parse(v["parent_token"]).attenuate(v["predicate"])
    assert cap.serialize() == v["token"]
    receipt = velnor.Verifier(bytes.fromhex(v["root_key"])).verify_with_context(
        cap, '{"nowMs":0,"caller":"c","tool":"t","args":{}}', velnor.Auditor(bytes(range(0x40, 0x60))))
    assert json.loads(receipt)["caveats"] == child["caveats"]


# ---- canonical arguments ----

@pytest.mark.parametrize("v", CANONICAL, ids=ids(CANONICAL))
def test_canonical_arguments(v: dict[str, Any]) -> None:
    assert canonical(read_keeping_numbers(v["args_json"])) == v["canonical"]
    assert hashlib.sha256(v["canonical"].encode()).hexdigest() == v["sha256"]
    cap = velnor.Issuer.from_key(b"k" * 32).issue("c").caveat('tool == "t"').build()
    ctx = '{"nowMs":0,"caller":"c","tool":"t","args":' + v["args_json"] + "}"
    receipt = velnor.Verifier(b"k" * 32).verify_with_context(cap, ctx, velnor.Auditor(b"a" * 32))
    assert json.loads(receipt)["context_summary"]["args_hash"] == v["sha256"]


# ---- receipts ----

def check_receipt_fields(v: dict[str, Any]) -> dict[str, Any]:
    receipt = json.loads(v["receipt"])
    signed = signing_input(v["receipt"])
    assert signed.hex() == v["signing_input"]
    assert hmac256(bytes.fromhex(v["audit_key"]), signed).hex() == v["signature"] == receipt["signature"]
    doc, ctx = token_doc(v["token"]), read_keeping_numbers(v["context_json"])
    assert receipt["capability_identifier"] == doc["identifier"]
    assert receipt["caveats"] == doc["caveats"]
    assert receipt["context_summary"] == {"caller": ctx["caller"], "tool": ctx["tool"],
                                          "args_hash": hashlib.sha256(canonical(ctx["args"]).encode()).hexdigest()}
    assert receipt["timestamp_ms"] == int(ctx["nowMs"])
    velnor.Auditor(bytes.fromhex(v["audit_key"])).verify(v["receipt"])
    return receipt


@pytest.mark.parametrize("v", RECEIPTS["version_1"], ids=ids(RECEIPTS["version_1"]))
def test_version_1_receipts(v: dict[str, Any]) -> None:
    receipt = check_receipt_fields(v)
    assert receipt["version"] == 1 and "proof" not in receipt
    assert signing_input(v["receipt"])[:2] == b"v\x01"
    produced = velnor.Verifier(bytes.fromhex(v["root_key"])).verify_with_context(
        velnor.Capability.parse(v["token"]), v["context_json"], velnor.Auditor(bytes.fromhex(v["audit_key"])))
    assert produced == v["receipt"]


@pytest.mark.parametrize("v", RECEIPTS["version_2"], ids=ids(RECEIPTS["version_2"]))
def test_version_2_receipts(v: dict[str, Any]) -> None:
    receipt = check_receipt_fields(v)
    assert receipt["version"] == 2
    assert list(receipt) == ["version", "capability_identifier", "caveats", "context_summary", "proof",
                             "outcome", "timestamp_ms", "signature"]
    proof = json.loads(b64url_decode(v["proof"]))
    assert receipt["proof"] == {"audience": proof["audience"], "holder_key": token_doc(v["token"])["holder_of_key"],
                                "issued_at_ms": proof["issued_at_ms"], "nonce": proof["nonce"],
                                "signature": proof["signature"]}

    store = velnor.MemoryNonceStore()
    verifier = velnor.Verifier(bytes.fromhex(v["root_key"])).with_audience(v["audience"]).with_nonce_store(store)
    auditor, cap = velnor.Auditor(bytes.fromhex(v["audit_key"])), velnor.Capability.parse(v["token"])
    for prior in v["prior_proofs"]:
        verifier.verify_with_proof(cap, v["context_json"], prior, auditor)
    assert verifier.verify_with_proof(cap, v["context_json"], v["proof"], auditor) == v["receipt"]


@pytest.mark.parametrize("v", RECEIPTS["rejected"], ids=ids(RECEIPTS["rejected"]))
def test_altered_receipts(v: dict[str, Any]) -> None:
    auditor = velnor.Auditor(bytes.fromhex(v["audit_key"]))
    if v["error"] is None:
        auditor.verify(v["receipt"])
        return
    with pytest.raises(ValueError) as e:
        auditor.verify(v["receipt"])
    assert str(e.value) == v["error"]
    receipt = read_keeping_numbers(v["receipt"])
    if v["error"] == "invalid signature":
        expected = hmac256(bytes.fromhex(v["audit_key"]), signing_input(v["receipt"]))
        assert not hmac.compare_digest(expected.hex(), receipt["signature"])


# ---- proofs ----

@pytest.mark.parametrize("v", PROOFS["vectors"], ids=ids(PROOFS["vectors"]))
def test_proof_signed_bytes(v: dict[str, Any]) -> None:
    seed, holder = bytes.fromhex(v["holder_seed"]), bytes.fromhex(v["holder_key"])
    assert ed25519_ref.public_key(seed) == holder == velnor.HolderKey(seed).public_key
    doc, ctx = token_doc(v["token"]), read_keeping_numbers(v["context_json"])
    assert bytes.fromhex(doc["holder_of_key"]) == holder
    sha = hashlib.sha256
    expected = (b"velnor-proof/1\x00" + sha(bytes.fromhex(doc["signature"])).digest()
                + sha(v["audience"].encode()).digest() + sha(ctx["caller"].encode()).digest()
                + sha(ctx["tool"].encode()).digest() + sha(canonical(ctx["args"]).encode()).digest()
                + v["issued_at_ms"].to_bytes(8, "big") + bytes.fromhex(v["nonce"]))
    assert len(expected) == 199
    assert bytes.fromhex(v["signed_bytes"]) == expected
    assert b"".join(bytes.fromhex(p) for p in v["signed_parts"].values()) == expected
    assert ed25519_ref.verify(holder, expected, bytes.fromhex(v["signature"]))

    assert b64url_decode(v["proof"]).decode() == v["proof_json"]
    proof = json.loads(v["proof_json"])
    assert list(proof) == ["audience", "issued_at_ms", "nonce", "signature"]
    assert (proof["audience"], proof["issued_at_ms"], proof["nonce"], proof["signature"]) == (
        v["audience"], v["issued_at_ms"], v["nonce"], v["signature"])


@pytest.mark.parametrize("v", PROOFS["rejected"], ids=ids(PROOFS["rejected"]))
def test_proofs_that_must_not_be_trusted(v: dict[str, Any]) -> None:
    verifier = (velnor.Verifier(bytes.fromhex(v["root_key"])).with_audience(v["audience"])
                .with_nonce_store(velnor.MemoryNonceStore()))
    with pytest.raises(ValueError) as e:
        verifier.verify_with_proof(velnor.Capability.parse(v["token"]), v["context_json"], v["proof"],
                                   velnor.Auditor(bytes.fromhex(v["audit_key"])))
    assert str(e.value) == v["error"]


# ---- the reference Ed25519 itself, on RFC 8032 section 7.1 ----

RFC8032 = [
    ("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"),
    ("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"),
    ("c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"),
]


@pytest.mark.parametrize("seed,public,message,signature", RFC8032, ids=["test 1", "test 2", "test 3"])
def test_reference_ed25519_on_rfc8032(seed: str, public: str, message: str, signature: str) -> None:
    assert ed25519_ref.public_key(bytes.fromhex(seed)).hex() == public
    assert ed25519_ref.sign(bytes.fromhex(seed), bytes.fromhex(message)).hex() == signature
    assert ed25519_ref.verify(bytes.fromhex(public), bytes.fromhex(message), bytes.fromhex(signature))
    forged = bytearray(bytes.fromhex(signature))
    for i in (0, 31, 32, 63):
        forged[i] ^= 0x01
        assert not ed25519_ref.verify(bytes.fromhex(public), bytes.fromhex(message), bytes(forged))
        forged[i] ^= 0x01
    assert not ed25519_ref.verify(bytes.fromhex(public), bytes.fromhex(message) + b"x", bytes.fromhex(signature))


def test_strict_base64url_refuses_what_the_library_refuses() -> None:
    for bad in ["abd", "ab+c", "abc=", "abcde", "a b"]:
        with pytest.raises((ValueError, binascii.Error)):
            b64url_decode(bad)
    assert b64url_decode("abc") == base64.urlsafe_b64decode("abc=")


def test_the_files_are_what_the_generator_writes() -> None:
    done = subprocess.run([sys.executable, str(ROOT / "scripts" / "make_vectors.py"), "--check"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
