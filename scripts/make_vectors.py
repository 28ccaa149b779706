#!/usr/bin/env python3
"""Writes the published test vectors in tests/vectors/ from fixed keys,
fixed nonces and fixed times, so every run gives the same bytes.

Tokens, attenuations, receipts and decisions come from the installed
velnor package; what it does not expose (chain links, signing inputs, the
bytes a proof signs, Ed25519 signatures with chosen nonces) is computed
here and checked against what the package accepts before anything is
written. `--check` compares instead of writing and exits 1 on a difference.

    .venv/bin/python scripts/make_vectors.py [--check]
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import hmac
import json
import sys
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "tests" / "vectors"
sys.path.insert(0, str(ROOT / "tests" / "python"))

import ed25519_ref  # noqa: E402
import velnor  # noqa: E402

ROOT_KEY = bytes(range(0x00, 0x20))
AUDIT_KEY = bytes(range(0x40, 0x60))
OTHER_ROOT_KEY = bytes(range(0x20, 0x40))
HOLDER_SEED = hashlib.sha256(b"velnor test vector holder seed").digest()
NOW_MS = 1_767_225_600_123  # 2026-01-01T00:00:00.123Z
AUDIENCE = "gateway-eu-1"
WINDOW_MS = 300_000
PROOF_DOMAIN = b"velnor-proof/1\x00"


def b64(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def compact(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def chain(root_key: bytes, identifier: str, holder: bytes | None,
          caveats: list[str]) -> list[dict[str, str]]:
    links = []
    steps = [("root", root_key, identifier.encode())]
    if holder is not None:
        steps.append(("holder", b"", b"__hok:" + holder))
    steps += [("caveat", b"", p.encode()) for p in caveats]
    key = root_key
    for step, _, message in steps:
        link = hmac.new(key, message, hashlib.sha256).digest()
        links.append({"step": step, "key": key.hex(), "message": message.hex(), "link": link.hex()})
        key = link
    return links


def token_of(identifier: str, holder: bytes | None, caveats: list[str], signature: bytes) -> str:
    doc: dict[str, Any] = {"identifier": identifier}
    if holder is not None:
        doc["holder_of_key"] = holder.hex()
    doc["caveats"] = [{"predicate": p} for p in caveats]
    doc["signature"] = signature.hex()
    return b64(compact(doc).encode())


def padded(token: str) -> str:
    assert len(token) % 4, "needs a token whose last group is short"
    return token + "=" * (-len(token) % 4)


def decode_token(token: str) -> dict[str, Any]:
    return json.loads(base64.urlsafe_b64decode(token + "=" * (-len(token) % 4)))


def issue(root_key: bytes, identifier: str, holder: bytes | None, caveats: list[str]) -> velnor.Capability:
    b = velnor.Issuer.from_key(root_key).issue(identifier)
    if holder is not None:
        b = b.holder_of_key(holder)
    for p in caveats:
        b = b.caveat(p)
    return b.build()


HOLDER_KEY = velnor.HolderKey(HOLDER_SEED).public_key
assert HOLDER_KEY == ed25519_ref.public_key(HOLDER_SEED)

# name, root key, identifier, holder key, caveats
CHAIN_CASES: list[tuple[str, bytes, str, bytes | None, list[str]]] = [
    ("one caveat", ROOT_KEY, "agent-7", None, ['tool == "search"']),
    ("expiry, tool and argument bound", ROOT_KEY, "agent-7", None,
     ["now <= @2030-01-01T00:00:00Z", 'tool == "search" OR tool == "fetch"', "arg.limit <= 50"]),
    ("empty root key", b"", "agent-empty-key", None, ['tool == "search"']),
    ("root key longer than a block acts as its SHA-256", bytes(range(100)), "agent-long-key", None,
     ['tool == "search"']),
    ("empty identifier", ROOT_KEY, "", None, ['caller == "a"']),
    ("text that JSON escapes", ROOT_KEY, "agent-\u00e9-\U0001f642", None,
     ['caller == "a\\"b\\\\c"', 'arg.note == "tab\there" OR arg.note starts_with "line\\n"']),
    ("predicate stored with its spaces", ROOT_KEY, "agent-spaces", None, ['  tool == "x"  ']),
    ("holder-bound", ROOT_KEY, "agent-bound", HOLDER_KEY,
     ['tool == "search"', "arg.limit <= 50"]),
]


def chain_vectors() -> dict[str, Any]:
    chains, verifications = [], []
    for name, key, ident, holder, caveats in CHAIN_CASES:
        cap = issue(key, ident, holder, caveats)
        links = chain(key, ident, holder, caveats)
        signature = bytes.fromhex(links[-1]["link"])
        token = cap.serialize()
        assert token == token_of(ident, holder, caveats, signature), name
        chains.append({
            "name": name, "root_key": key.hex(), "identifier": ident,
            "holder_key": None if holder is None else holder.hex(), "caveats": caveats,
            "links": links, "signature": signature.hex(),
            "token_json": base64.urlsafe_b64decode(token + "=" * (-len(token) % 4)).decode(),
            "token": token,
        })
        verifications.append({"name": name, "root_key": key.hex(), "token": token, "error": None})

    base = decode_token(chains[1]["token"])
    bound = decode_token(chains[7]["token"])

    def tampered(name: str, doc: dict[str, Any], key: bytes = ROOT_KEY) -> None:
        verifications.append({"name": name, "root_key": key.hex(), "token": b64(compact(doc).encode()),
                              "error": "capability chain integrity: invalid signature"})

    tampered("last caveat removed", {**base, "caveats": base["caveats"][:-1]})
    tampered("two caveats swapped", {**base, "caveats": [base["caveats"][1], base["caveats"][0],
                                                          base["caveats"][2]]})
    tampered("one predicate byte changed", {**base, "caveats": base["caveats"][:2] + [
        {"predicate": "arg.limit <= 59"}]})
    tampered("trailing space added to a predicate", {**base, "caveats": base["caveats"][:2] + [
        {"predicate": "arg.limit <= 50 "}]})
    flipped = bytearray(bytes.fromhex(base["signature"]))
    flipped[31] ^= 0x01
    tampered("signature bit flipped", {**base, "signature": flipped.hex()})
    tampered("signature truncated to 31 bytes", {**base, "signature": base["signature"][:62]})
    tampered("identifier changed", {**base, "identifier": "agent-8"})
    tampered("verified under another root key", base, OTHER_ROOT_KEY)
    tampered("verified under a prefix of the root key", base, ROOT_KEY[:31])
    tampered("holder key removed", {k: v for k, v in bound.items() if k != "holder_of_key"})
    tampered("holder key changed", {**bound, "holder_of_key": "00" * 32})
    tampered("holder key added to a bearer capability", {**base, "holder_of_key": HOLDER_KEY.hex()})

    for v in verifications:
        result = verify_v1(bytes.fromhex(v["root_key"]), velnor.Capability.parse(v["token"]),
                           {"nowMs": NOW_MS, "caller": "c", "tool": "t", "args": {}})
        assert (None if result.startswith("{") else result) == v["error"], v["name"]

    parse_errors = []
    for name, token in [
        ("empty token", ""),
        ("standard base64 padding", padded(token_of("ab", None, ["x == 1"], b"\x00" * 32))),
        ("standard base64 alphabet", "ab+c"),
        ("a last group of one symbol", "abcde"),
        ("unused bits set in the last symbol", "abd"),
        ("missing signature", b64(b'{"identifier":"a","caveats":[]}')),
        ("signature of odd length", b64(b'{"identifier":"a","caveats":[],"signature":"abc"}')),
        ("signature with a non-hex digit", b64(b'{"identifier":"a","caveats":[],"signature":"zz"}')),
        ("duplicate member", b64(b'{"identifier":"a","identifier":"b","caveats":[],"signature":""}')),
    ]:
        try:
            velnor.Capability.parse(token)
        except ValueError as e:
            parse_errors.append({"name": name, "token": token, "error": str(e)})
        else:
            raise AssertionError(name)
    return {"chains": chains, "verifications": verifications, "parse_errors": parse_errors}


def attenuation_vectors(chains: list[dict[str, Any]]) -> list[dict[str, Any]]:
    out = []
    for parent_name, predicates in [
        ("one caveat", ["arg.limit <= 50", 'caller starts_with "sub-"']),
        ("holder-bound", ["arg.limit <= 5"]),
        ("expiry, tool and argument bound", ["now <= @2029-06-30T12:00:00+02:00 "]),
    ]:
        parent = next(c for c in chains if c["name"] == parent_name)
        token = parent["token"]
        for p in predicates:
            child = velnor.Capability.parse(token).attenuate(p)
            key = bytes.fromhex(decode_token(token)["signature"])
            link = hmac.new(key, p.encode(), hashlib.sha256).digest()
            assert decode_token(child.serialize())["signature"] == link.hex()
            out.append({"name": f"{parent_name} + {p!r}", "root_key": parent["root_key"],
                        "parent_token": token, "predicate": p,
                        "link": {"key": key.hex(), "message": p.encode().hex(), "link": link.hex()},
                        "token": child.serialize()})
            token = child.serialize()
    return out


# name, arguments as written, their canonical text (written out by hand)
CANONICAL_CASES = [
    ("members sorted, whitespace dropped", '{ "b": 1, "a": [true, null, "x"] }', '{"a":[true,null,"x"],"b":1}'),
    ("integer", '{"n":1}', '{"n":1}'),
    ("the same value written as a float", '{"n":1.0}', '{"n":1.0}'),
    ("exponent keeps its letter case", '{"n":1E3}', '{"n":1E3}'),
    ("negative zero", '{"n":-0}', '{"n":-0}'),
    ("trailing zero kept", '{"n":1.50}', '{"n":1.50}'),
    ("beyond the double range, kept as text", '{"n":1e400}', '{"n":1e400}'),
    ("beyond 64 bits, kept as text", '{"n":123456789012345678901234567890}', '{"n":123456789012345678901234567890}'),
    ("keys in byte order", '{"b":0,"B":0,"a":0,"\u00e9":0}', '{"B":0,"a":0,"b":0,"\u00e9":0}'),
    ("a prefix sorts first", '{"ab":1,"a":2}', '{"a":2,"ab":1}'),
    ("nested objects sorted", '{"z":{"y":1,"x":[{"b":1,"a":2}]},"m":[]}', '{"m":[],"z":{"x":[{"a":2,"b":1}],"y":1}}'),
    ("short escapes", '{"s":"\\b\\t\\n\\f\\r\\"\\\\"}', '{"s":"\\b\\t\\n\\f\\r\\"\\\\"}'),
    ("other control characters as lowercase \\u00xx", '{"s":"\\u0001\\u001F"}', '{"s":"\\u0001\\u001f"}'),
    ("solidus and DEL unescaped", '{"s":"\\/\\u007f"}', '{"s":"/\x7f"}'),
    ("escapes resolved", '{"k":"\\u0041"}', '{"k":"A"}'),
    ("non-ASCII as UTF-8", '{"s":"\\u00e9\\ud83d\\ude42"}', '{"s":"\u00e9\U0001f642"}'),
    ("the later of two equal keys wins", '{"a":1,"a":2}', '{"a":2}'),
    ("array at the top", "[1, 2]", "[1,2]"),
    ("string at the top", '"x"', '"x"'),
    ("null", "null", "null"),
    ("empty object", "{}", "{}"),
]


def verify_v1(root_key: bytes, cap: velnor.Capability, ctx: dict[str, Any] | str) -> str:
    ctx_json = ctx if isinstance(ctx, str) else compact(ctx)
    try:
        return velnor.Verifier(root_key).verify_with_context(cap, ctx_json, velnor.Auditor(AUDIT_KEY))
    except ValueError as e:
        return str(e)


def canonical_vectors() -> list[dict[str, Any]]:
    out = []
    cap = issue(ROOT_KEY, "canon", None, ['tool == "t"'])
    for name, args, canonical in CANONICAL_CASES:
        receipt = json.loads(verify_v1(ROOT_KEY, cap, f'{{"nowMs":0,"caller":"c","tool":"t","args":{args}}}'))
        digest = hashlib.sha256(canonical.encode()).hexdigest()
        assert receipt["context_summary"]["args_hash"] == digest, name
        out.append({"name": name, "args_json": args, "canonical": canonical, "sha256": digest})
    return out


def signing_input(receipt: dict[str, Any]) -> bytes:
    body = {k: v for k, v in receipt.items() if k != "signature"}
    return b"v" + bytes([receipt["version"]]) + json.dumps(
        body, ensure_ascii=False, sort_keys=True, separators=(",", ":")).encode()


def receipt_vector(name: str, receipt_json: str, **inputs: Any) -> dict[str, Any]:
    receipt = json.loads(receipt_json)
    signed = signing_input(receipt)
    assert hmac.new(AUDIT_KEY, signed, hashlib.sha256).hexdigest() == receipt["signature"], name
    velnor.Auditor(AUDIT_KEY).verify(receipt_json)
    return {"name": name, **inputs, "receipt": receipt_json, "signing_input": signed.hex(),
            "signature": receipt["signature"]}


def hand_token(key: bytes, identifier: str, caveats: list[str]) -> str:
    return token_of(identifier, None, caveats, bytes.fromhex(chain(key, identifier, None, caveats)[-1]["link"]))


def v1_receipt_vectors(chains: list[dict[str, Any]]) -> list[dict[str, Any]]:
    three = next(c for c in chains if c["name"] == "expiry, tool and argument bound")["token"]
    bound = next(c for c in chains if c["name"] == "holder-bound")["token"]
    odd = next(c for c in chains if c["name"] == "text that JSON escapes")["token"]
    unit = velnor.Capability.parse(three).attenuate("arg.limit <= 50_cents").serialize()
    env = issue(ROOT_KEY, "agent-env", None, ['env.REGION == "eu"']).serialize()
    ctx = {"nowMs": NOW_MS, "caller": "agent-7", "tool": "search", "args": {"query": "weather", "limit": 10}}
    cases = [
        ("allowed", three, ctx),
        ("denied: a caveat is false", three, {**ctx, "tool": "delete"}),
        ("denied: float-written argument against an integer bound", three,
         f'{{"nowMs":{NOW_MS},"caller":"agent-7","tool":"search","args":{{"limit":10.0}}}}'),
        ("denied: a unit literal never matches an argument", unit, ctx),
        ("denied: expired", three, {**ctx, "nowMs": 1_893_456_000_001}),
        ("denied: unknown identifier", env, {**ctx, "env": {"ZONE": "eu"}}),
        ("allowed: environment entry", env, {**ctx, "env": {"REGION": "eu"}}),
        ("denied: bound to a holder key", bound, ctx),
        ("denied: a predicate that does not parse", hand_token(ROOT_KEY, "agent-hand", ["tool =="]), ctx),
        ("allowed: a caveat-free capability allows everything", hand_token(ROOT_KEY, "agent-no-caveats", []),
         {**ctx, "tool": "delete_everything"}),
        ("escaped text in every field", odd,
         {"nowMs": NOW_MS, "caller": "a\"b\\c", "tool": "t\u00e9\n", "args": {"note": "tab\there"}}),
    ]
    out = []
    for name, token, context in cases:
        ctx_json = context if isinstance(context, str) else compact(context)
        receipt = verify_v1(ROOT_KEY, velnor.Capability.parse(token), ctx_json)
        assert receipt.startswith("{"), (name, receipt)
        out.append(receipt_vector(name, receipt, root_key=ROOT_KEY.hex(), audit_key=AUDIT_KEY.hex(),
                                  token=token, context_json=ctx_json))
    return out


def proof_message(cap_signature: bytes, audience: str, caller: str, tool: str, args_hash: str,
                  issued_at_ms: int, nonce: bytes) -> dict[str, str]:
    return {
        "domain": PROOF_DOMAIN.hex(),
        "capability_signature_sha256": hashlib.sha256(cap_signature).hexdigest(),
        "audience_sha256": hashlib.sha256(audience.encode()).hexdigest(),
        "caller_sha256": hashlib.sha256(caller.encode()).hexdigest(),
        "tool_sha256": hashlib.sha256(tool.encode()).hexdigest(),
        "args_digest": args_hash,
        "issued_at_ms": issued_at_ms.to_bytes(8, "big").hex(),
        "nonce": nonce.hex(),
    }


def proof_vectors(chains: list[dict[str, Any]]) -> tuple[list[dict[str, Any]], list[dict[str, Any]],
                                                          list[dict[str, Any]]]:
    token = next(c for c in chains if c["name"] == "holder-bound")["token"]
    cap = velnor.Capability.parse(token)
    cap_sig = bytes.fromhex(decode_token(token)["signature"])
    ctx = {"nowMs": NOW_MS, "caller": "agent-bound", "tool": "search", "args": {"limit": 10, "q": "x"}}
    store = velnor.MemoryNonceStore()
    verifier = velnor.Verifier(ROOT_KEY).with_audience(AUDIENCE).with_nonce_store(store)
    auditor = velnor.Auditor(AUDIT_KEY)
    proofs, receipts, rejected = [], [], []

    def make(name: str, context: dict[str, Any], nonce: bytes, audience: str = AUDIENCE,
             issued_at_ms: int = NOW_MS) -> dict[str, Any]:
        args_hash = hashlib.sha256(compact(context["args"]).encode()).hexdigest()
        parts = proof_message(cap_sig, audience, context["caller"], context["tool"], args_hash,
                              issued_at_ms, nonce)
        signed = b"".join(bytes.fromhex(v) for v in parts.values())
        assert len(signed) == 199
        signature = ed25519_ref.sign(HOLDER_SEED, signed)
        proof_json = compact({"audience": audience, "issued_at_ms": issued_at_ms, "nonce": nonce.hex(),
                              "signature": signature.hex()})
        vector = {"name": name, "holder_seed": HOLDER_SEED.hex(), "holder_key": HOLDER_KEY.hex(),
                  "token": token, "context_json": compact(context), "audience": audience,
                  "issued_at_ms": issued_at_ms, "nonce": nonce.hex(), "signed_parts": parts,
                  "signed_bytes": signed.hex(), "signature": signature.hex(),
                  "proof_json": proof_json, "proof": b64(proof_json.encode())}
        proofs.append(vector)
        return vector

    def decide(name: str, proof: dict[str, Any], context: dict[str, Any], prior: list[str]) -> None:
        receipt = verifier.verify_with_proof(cap, compact(context), proof["proof"], auditor)
        receipts.append(receipt_vector(name, receipt, root_key=ROOT_KEY.hex(), audit_key=AUDIT_KEY.hex(),
                                       audience=AUDIENCE, token=token, context_json=compact(context),
                                       proof=proof["proof"], prior_proofs=prior))

    first = make("fresh proof", ctx, bytes(range(16)))
    decide("allowed with a fresh proof", first, ctx, [])
    decide("denied: the same proof replayed", first, ctx, [first["proof"]])
    delete = {**ctx, "tool": "delete"}
    decide("denied: caveat false, proof spent", make("proof for another tool", delete, bytes(range(16, 32))),
           delete, [])
    decide("denied: proof for another audience",
           make("proof for another audience", ctx, bytes(range(32, 48)), audience="gateway-us-1"), ctx, [])
    decide("denied: proof issued one millisecond outside the window",
           make("proof outside the window", ctx, bytes(range(48, 64)), issued_at_ms=NOW_MS - WINDOW_MS - 1),
           ctx, [])
    decide("allowed: proof issued at the edge of the window",
           make("proof at the edge of the window", ctx, bytes(range(64, 80)), issued_at_ms=NOW_MS + WINDOW_MS),
           ctx, [])

    fresh_verifier = velnor.Verifier(ROOT_KEY).with_audience(AUDIENCE).with_nonce_store(velnor.MemoryNonceStore())
    other_args = {**ctx, "args": {"limit": 11, "q": "x"}}
    forged = bytearray(bytes.fromhex(first["signature"]))
    forged[0] ^= 0x01
    forged_proof = b64(compact({"audience": AUDIENCE, "issued_at_ms": NOW_MS, "nonce": first["nonce"],
                                "signature": forged.hex()}).encode())
    for name, proof, context in [
        ("proof presented for other arguments", first["proof"], other_args),
        ("proof signature bit flipped", forged_proof, ctx),
        ("proof for another capability (an attenuation)", first["proof"], ctx),
    ]:
        target = cap if "attenuation" not in name else cap.attenuate("arg.limit <= 20")
        try:
            fresh_verifier.verify_with_proof(target, compact(context), proof, auditor)
        except ValueError as e:
            rejected.append({"name": name, "root_key": ROOT_KEY.hex(), "audit_key": AUDIT_KEY.hex(),
                             "audience": AUDIENCE, "token": target.serialize(),
                             "context_json": compact(context), "proof": proof, "error": str(e)})
        else:
            raise AssertionError(name)
    return proofs, receipts, rejected


def rejected_receipts(v1: list[dict[str, Any]], v2: list[dict[str, Any]]) -> list[dict[str, Any]]:
    denied = json.loads(v1[1]["receipt"])
    allowed = json.loads(v1[0]["receipt"])
    proofed = json.loads(v2[0]["receipt"])
    out = []

    def case(name: str, receipt: dict[str, Any] | str, error: str | None) -> None:
        text = receipt if isinstance(receipt, str) else compact(receipt)
        try:
            velnor.Auditor(AUDIT_KEY).verify(text)
            got = None
        except ValueError as e:
            got = str(e)
        # The reader's messages end with a position; the rest is fixed.
        assert got == error or (got and error and got.startswith(error)), (name, got)
        out.append({"name": name, "audit_key": AUDIT_KEY.hex(), "receipt": text, "error": got})

    case("members reordered, spaces and an unknown member added",
         json.dumps({"extra": [1], **dict(reversed(list(denied.items())))}, indent=1), None)
    case("reason changed", {**denied, "outcome": {"kind": "denied", "reason": "caveat failed: x"}},
         "invalid signature")
    case("denial turned into an allowance", {**denied, "outcome": {"kind": "allowed"}}, "invalid signature")
    case("timestamp changed", {**allowed, "timestamp_ms": allowed["timestamp_ms"] + 1}, "invalid signature")
    case("two caveats swapped", {**allowed, "caveats": [allowed["caveats"][1], allowed["caveats"][0],
                                                         allowed["caveats"][2]]}, "invalid signature")
    case("signed under another audit key", {**allowed, "signature": hmac.new(
        OTHER_ROOT_KEY, signing_input(allowed), hashlib.sha256).hexdigest()}, "invalid signature")
    case("signature of 62 hex digits", {**allowed, "signature": allowed["signature"][:62]}, "invalid signature")
    case("version 1 relabelled 2", {**allowed, "version": 2}, "invalid receipt JSON: missing field `proof`")
    case("proof removed from a version-2 receipt", {k: v for k, v in proofed.items() if k != "proof"},
         "invalid receipt JSON: missing field `proof`")
    case("proof relabelled version 1", {**proofed, "version": 1}, "invalid signature")
    case("version 0", {**allowed, "version": 0}, "unsupported receipt schema version: got 0, expected 1")
    case("version 3", {**allowed, "version": 3}, "unsupported receipt schema version: got 3, expected 2")
    return out


def document(description: str, **sections: Any) -> str:
    return json.dumps({"description": description, **sections}, ensure_ascii=False, indent=1) + "\n"


def build() -> dict[str, str]:
    tokens = chain_vectors()
    chains = tokens["chains"]
    v1 = v1_receipt_vectors(chains)
    proofs, v2, rejected_proofs = proof_vectors(chains)
    constants = {"root_key": ROOT_KEY.hex(), "audit_key": AUDIT_KEY.hex(), "holder_seed": HOLDER_SEED.hex(),
                 "holder_key": HOLDER_KEY.hex(), "now_ms": NOW_MS, "audience": AUDIENCE}
    return {
        "tokens.json": document(
            "Capabilities: root key, identifier, holder key and caveats; every chain link "
            "(HMAC-SHA-256 with `key` over `message`); the token JSON and text. `verifications` "
            "gives the chain check's verdict (error null: valid); `parse_errors` the exact refusal "
            "of tokens that do not read.", constants=constants, **tokens),
        "attenuations.json": document(
            "Attenuation: the child's signature is HMAC-SHA-256 keyed with the parent's over the "
            "new predicate. A parent is a token of tokens.json or the child of the vector before it.",
            vectors=attenuation_vectors(chains)),
        "canonical_args.json": document(
            "Canonical argument text and its SHA-256 (the receipts' args_hash), from the "
            "arguments as written in the context JSON.", vectors=canonical_vectors()),
        "receipts.json": document(
            "Signed receipts: the inputs, the receipt JSON, its signing input (hex) and signature. "
            "Version 1 from verify_with_context; version 2 from verify_with_proof, where "
            "`prior_proofs` were presented to the same nonce store first. `rejected` gives "
            "Auditor.verify's verdict on altered receipts (error null: valid).",
            constants=constants, version_1=v1, version_2=v2,
            rejected=rejected_receipts(v1, v2)),
        "proofs.json": document(
            "Proofs of possession: the 199 signed bytes and their parts, the Ed25519 signature "
            "under the holder seed, the proof JSON and text. `rejected` gives verify_with_proof's "
            "error for proofs that must not be trusted.",
            constants=constants, vectors=proofs, rejected=rejected_proofs),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare with tests/vectors instead of writing")
    args = parser.parse_args()
    files = build()
    stale = []
    for name, text in files.items():
        path = OUT / name
        if args.check:
            if not path.exists() or path.read_text(encoding="utf-8") != text:
                stale.append(name)
        else:
            path.write_text(text, encoding="utf-8")
    if stale:
        print("out of date: " + ", ".join(stale) + " (run scripts/make_vectors.py)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
