"""velnor end to end: an issuing service mints a capability for an agent, the
agent narrows it for a sub-agent, a tool gateway checks every tool call and
signs a receipt for each decision, and an audit service checks the receipts.

Run with `make demo` or `python examples/demo.py` after installing the package.
"""

import base64
import hashlib
import hmac
import json
import textwrap

import velnor


def demo_key(label: str) -> bytes:
    # Fixed keys so that the transcript is reproducible. A real service takes
    # them from a CSPRNG (os.urandom(32)) or a key-management system.
    return hashlib.sha256(b"velnor demo / " + label.encode()).digest()


ROOT_KEY = demo_key("root key of the issuing service")
AUDIT_KEY = demo_key("audit key shared by gateway and auditors")
AGENT_SEED = demo_key("ed25519 seed of agent-7")  # an agent keeps its own: os.urandom(32)

NOW_MS = 1_767_225_600_000  # 2026-01-01T00:00:00Z, fixed so the output is stable


def section(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def show_token(label: str, cap: velnor.Capability) -> None:
    token = cap.serialize()
    print(f"  {label}: {token[:56]}... ({len(token)} chars)")


def b64url_decode(token: str) -> bytes:
    return base64.urlsafe_b64decode(token + "=" * (-len(token) % 4))


def b64url_encode(raw: bytes) -> str:
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode()


def context(tool: str, caller: str, args_json: str, now_ms: int = NOW_MS) -> str:
    # The context goes in as JSON text so that numbers keep the exact form
    # the agent wrote: `10` and `10.0` are different requests.
    return (f'{{"nowMs": {now_ms}, "caller": {json.dumps(caller)}, '
            f'"tool": {json.dumps(tool)}, "args": {args_json}, "env": {{"REGION": "eu"}}}}')


def call_gateway(gateway, auditor, what, cap, ctx_json, receipts, proof=None):
    print(f"\n  > {what}")
    print(f"    context: {ctx_json}")
    try:
        if proof is None:
            receipt_json = gateway.verify_with_context(cap, ctx_json, auditor)
        else:
            receipt_json = gateway.verify_with_proof(cap, ctx_json, proof, auditor)
    except ValueError as refused:
        print(f"    REFUSED (exception, no receipt): {refused}")
        return
    receipt = json.loads(receipt_json)
    outcome = receipt["outcome"]
    if outcome["kind"] == "allowed":
        print("    ALLOWED: the tool may run")
    else:
        print("    DENIED:  " + "\n             ".join(textwrap.wrap(outcome["reason"], 90)))
    print(f"    receipt signed at {receipt['timestamp_ms']} ms, "
          f"signature {receipt['signature'][:16]}...")
    receipts.append((what, receipt_json))


def mint_elsewhere(key: bytes, identifier: str, predicates) -> velnor.Capability:
    """What another issuer implementation sharing the root key produces: the
    chain is HMAC-SHA-256 over the identifier, then over each predicate."""
    sig = hmac.new(key, identifier.encode(), hashlib.sha256).digest()
    for p in predicates:
        sig = hmac.new(sig, p.encode(), hashlib.sha256).digest()
    doc = {"identifier": identifier, "caveats": [{"predicate": p} for p in predicates],
           "signature": sig.hex()}
    return velnor.Capability.parse(b64url_encode(json.dumps(doc, separators=(",", ":")).encode()))


def main() -> None:
    print("velnor demo: capability tokens for tool-calling agents")
    print("(keys are derived deterministically from fixed labels so the run is repeatable;")
    print(" never do that in production)")

    section("1. The issuing service mints a capability for agent-7")
    issuer = velnor.Issuer.from_key(ROOT_KEY)
    agent_cap = (issuer.issue("agent-7/session-0001")
                 .caveat("now <= @2030-01-01T00:00:00Z")
                 .caveat('tool == "search" OR tool == "fetch"')
                 .caveat("arg.limit <= 50")
                 .build())
    print(f"  identifier: {agent_cap.identifier}")
    print("  caveats: expires 2030-01-01; tools search or fetch; arg.limit <= 50")
    show_token("token", agent_cap)

    section("2. agent-7 narrows it for a sub-agent, offline, without any key")
    sub_cap = (velnor.Capability.parse(agent_cap.serialize())
               .attenuate('tool == "search"')
               .attenuate("arg.limit <= 10")
               .attenuate('caller == "sub-agent-3"'))
    print("  added: tool == \"search\"; arg.limit <= 10; caller == \"sub-agent-3\"")
    show_token("token", sub_cap)
    try:
        sub_cap.attenuate("arg.limit <=")
    except ValueError as e:
        print(f"  a malformed caveat is refused on the spot: {e}")

    section("3. The tool gateway checks each call")
    gateway = velnor.Verifier(ROOT_KEY)
    gateway_auditor = velnor.Auditor(AUDIT_KEY)
    receipts = []

    call_gateway(gateway, gateway_auditor, "sub-agent searches with limit 5",
                 sub_cap, context("search", "sub-agent-3", '{"q": "tides", "limit": 5}'), receipts)
    call_gateway(gateway, gateway_auditor, "sub-agent tries fetch (parent allowed it, sub-agent may not)",
                 sub_cap, context("fetch", "sub-agent-3", '{"url": "https://x", "limit": 1}'), receipts)
    call_gateway(gateway, gateway_auditor, "sub-agent asks for limit 10.0 (a float where an integer bound applies)",
                 sub_cap, context("search", "sub-agent-3", '{"q": "tides", "limit": 10.0}'), receipts)
    call_gateway(gateway, gateway_auditor, "sub-agent leaves out arg.limit (the caveat cannot be evaluated)",
                 sub_cap, context("search", "sub-agent-3", '{"q": "tides"}'), receipts)
    call_gateway(gateway, gateway_auditor, "someone else presents the sub-agent's token",
                 sub_cap, context("search", "intruder", '{"q": "x", "limit": 1}'), receipts)
    call_gateway(gateway, gateway_auditor, "agent-7 calls after the expiry (2030-06-01)",
                 agent_cap, context("search", "agent-7", '{"limit": 1}', now_ms=1_906_502_400_000), receipts)

    agent_key = velnor.HolderKey(AGENT_SEED)
    bound_cap = (issuer.issue("agent-7/bound").holder_of_key(agent_key.public_key)
                 .caveat('tool == "search"').build())
    call_gateway(gateway, gateway_auditor, "a capability bound to agent-7's key, presented without a proof",
                 bound_cap, context("search", "agent-7", "{}"), receipts)

    newer = mint_elsewhere(ROOT_KEY, "agent-9/minted-by-v2-issuer",
                           ['tool == "search"', 'arg.region in ["eu", "us"]'])
    call_gateway(gateway, gateway_auditor,
                 "a token minted by a newer issuer with a caveat this gateway cannot parse",
                 newer, context("search", "agent-9", '{"region": "eu"}'), receipts)

    doc = json.loads(b64url_decode(sub_cap.serialize()))
    doc["caveats"] = [c for c in doc["caveats"] if c["predicate"] != "arg.limit <= 10"]
    tampered = velnor.Capability.parse(b64url_encode(json.dumps(doc, separators=(",", ":")).encode()))
    call_gateway(gateway, gateway_auditor, "a tampered token: the sub-agent deleted its limit caveat",
                 tampered, context("search", "sub-agent-3", '{"q": "tides", "limit": 50}'), receipts)

    section("4. Holder binding: agent-7 proves each call with its Ed25519 key")
    # One replay store for every verifier of this gateway; the context time
    # is the gateway's own clock (here the fixed demo time).
    store = velnor.MemoryNonceStore()
    proof_gateway = gateway.with_audience("gateway-eu-1").with_nonce_store(store)
    call_ctx = context("search", "agent-7", '{"q": "tides", "limit": 5}')
    proof = agent_key.prove(bound_cap, call_ctx, "gateway-eu-1")
    print(f"  agent-7 signs a proof for this one call: {proof[:48]}... ({len(proof)} chars)")
    call_gateway(proof_gateway, gateway_auditor, "agent-7 calls with its proof", bound_cap, call_ctx, receipts,
                 proof=proof)
    call_gateway(proof_gateway, gateway_auditor, "someone replays the same proof", bound_cap, call_ctx,
                 receipts, proof=proof)
    call_gateway(proof_gateway, gateway_auditor, "the proof sent with other arguments (limit 50)", bound_cap,
                 context("search", "agent-7", '{"q": "tides", "limit": 50}'), receipts,
                 proof=agent_key.prove(bound_cap, call_ctx, "gateway-eu-1"))
    thief = velnor.HolderKey(demo_key("a thief's own key"))
    try:
        thief.prove(bound_cap, call_ctx, "gateway-eu-1")
    except ValueError as e:
        print(f"\n  a thief with the token but another key cannot prove: {e}")
    proof_receipt = json.loads(receipts[-2][1])
    print(f"  the accepted call's receipt is version {proof_receipt['version']} and records the proof: "
          f"holder_key {proof_receipt['proof']['holder_key'][:16]}..., nonce {proof_receipt['proof']['nonce']}")

    section("5. An audit service with its own Auditor (same audit key) checks the receipts")
    audit_service = velnor.Auditor(AUDIT_KEY)
    for what, receipt_json in receipts:
        audit_service.verify(receipt_json)
        kind = json.loads(receipt_json)["outcome"]["kind"]
        print(f"  ok  {kind:<8} {what}")

    what, receipt_json = next(r for r in receipts if json.loads(r[1])["outcome"]["kind"] == "denied")
    forged = json.loads(receipt_json)
    forged["outcome"] = {"kind": "allowed"}
    try:
        audit_service.verify(json.dumps(forged))
        print("  !! a forged receipt was accepted")
    except ValueError as e:
        print(f"  a receipt edited from denied to allowed is rejected: {e}")

    stranger = velnor.Auditor(demo_key("some other audit key"))
    try:
        stranger.verify(receipt_json)
        print("  !! a foreign auditor accepted the receipt")
    except ValueError as e:
        print(f"  an auditor holding a different key rejects it too: {e}")
    print()
    keep_receipts(receipts)


def keep_receipts(receipts):
    import sqlite3
    import tempfile

    section("5. The gateway keeps every receipt in a hash-linked log; an operator checks it")
    with tempfile.TemporaryDirectory() as folder:
        url = f"sqlite:///{folder}/receipts.db"
        with velnor.ReceiptLog.open(url) as log:
            for _, receipt_json in receipts:
                entry = log.append(receipt_json)
                print(f"  entry {entry.sequence}: {entry.outcome:<8} {entry.tool:<8} link {entry.link[:16]}")
            published = log.head()
            report = log.verify(velnor.Auditor(AUDIT_KEY), expected_head=published)
            print(f"  verify: ok={report.ok}, {report.count} entries")
            db = sqlite3.connect(f"{folder}/receipts.db")
            db.execute("DELETE FROM velnor_log_entries WHERE sequence = 2")
            db.commit()
            db.close()
            fault = log.verify(velnor.Auditor(AUDIT_KEY), expected_head=published).fault
            print(f"  after deleting entry 2 in the database: {fault.kind} fault at entry {fault.sequence}")
    print()


if __name__ == "__main__":
    main()
