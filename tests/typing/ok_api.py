"""A gateway and an agent written against velnor's whole public API, as a
user with a strict type checker would write them. It runs, too."""

from __future__ import annotations

import json
import os
import sys
import tempfile
from typing import Literal

import velnor
from velnor import (Auditor, Capability, CapabilityBuilder, Entry, HolderKey, InvalidChainError,
                    InvalidContextError, InvalidProofError, InvalidReceiptError,
                    InvalidRevocationListError, Issuer, LogReport, MalformedTokenError,
                    MemoryNonceStore, ReceiptFault, ReceiptLog, VelnorError, Verifier)

ROOT = os.urandom(32)
AUDIT = os.urandom(32)


def context(tool: str, limit: int, now_ms: int | None = None) -> str:
    doc: dict[str, object] = {"caller": "agent-7", "tool": tool, "args": {"limit": limit}}
    if now_ms is not None:
        doc["nowMs"] = now_ms
    return json.dumps(doc)


def mint(issuer: Issuer, holder: bytes | None) -> Capability:
    builder: CapabilityBuilder = issuer.issue("agent-7")
    if holder is not None:
        builder = builder.holder_of_key(holder)
    return builder.caveat('tool == "search"').caveat("arg.limit <= 50").build()


def outcome(receipt_json: str) -> str:
    kind = json.loads(receipt_json)["outcome"]["kind"]
    assert isinstance(kind, str)
    return kind


def why_refused(auditor: Auditor, receipt_json: str) -> ReceiptFault | None:
    try:
        auditor.verify(receipt_json)
    except InvalidReceiptError as e:
        fault: Literal["signature", "version", "malformed"] = e.kind
        return fault
    return None


def classify(call: str, verifier: Verifier, token: str, auditor: Auditor) -> str:
    """What a gateway tells its caller, without matching message text."""
    try:
        cap = Capability.parse(token)
        return outcome(verifier.verify_with_context(cap, call, auditor))
    except MalformedTokenError:
        return "unreadable token"
    except InvalidChainError:
        return "forged token"
    except InvalidContextError as e:
        message: str = str(e)
        return "bad call: " + message
    except VelnorError:
        return "refused"


def main() -> int:
    issuer = Issuer.from_key(ROOT)
    auditor = Auditor(AUDIT)
    verifier = Verifier(ROOT)

    cap = mint(issuer, None)
    narrower: Capability = cap.attenuate('caller == "agent-7"')
    caveats: tuple[str, ...] = narrower.caveats
    assert caveats[-1] == 'caller == "agent-7"' and len(cap.caveats) == 2
    identifier: str = cap.identifier
    assert identifier == "agent-7" and cap.holder_of_key is None
    token: str = narrower.serialize()
    assert Capability.parse(token).caveats == caveats

    receipt = verifier.verify_with_context(narrower, context("search", 10), auditor)
    assert outcome(receipt) == "allowed" and why_refused(auditor, receipt) is None
    tampered = receipt.replace('"timestamp_ms":', '"timestamp_ms":1', 1)
    assert why_refused(auditor, tampered) == "signature"
    assert why_refused(auditor, "{}") == "malformed"

    assert classify(context("search", 10), verifier, token, auditor) == "allowed"
    assert classify(context("search", 99), verifier, token, auditor) == "denied"
    assert classify(context("search", 1), verifier, "not+a+token", auditor) == "unreadable token"
    assert classify(context("search", 1), Verifier(os.urandom(32)), token, auditor) == "forged token"
    assert classify("{", verifier, token, auditor).startswith("bad call: invalid context JSON: ")

    holder = HolderKey(os.urandom(32))
    public: bytes = holder.public_key
    bound = mint(issuer, public)
    assert bound.holder_of_key == public
    store = MemoryNonceStore(capacity=1000)
    gateway = verifier.with_audience("gw").with_nonce_store(store)
    call = context("search", 5)
    proof: str = holder.prove(bound, call, "gw")
    assert outcome(gateway.verify_with_proof(bound, call, proof, auditor)) == "allowed"
    assert len(store) == 1 and store.capacity == 1000
    try:
        gateway.verify_with_proof(bound, call, "x", auditor)
    except InvalidProofError as e:
        assert isinstance(e, ValueError)

    errors: list[type[VelnorError]] = [InvalidChainError, InvalidProofError, MalformedTokenError,
                                       InvalidContextError, InvalidReceiptError,
                                       InvalidRevocationListError]
    assert all(issubclass(cls, ValueError) for cls in errors)
    refused: ValueError = InvalidReceiptError("invalid signature", "signature")
    assert str(refused) == "invalid signature"

    with tempfile.TemporaryDirectory() as where:
        with ReceiptLog.open("sqlite:///" + os.path.join(where, "log.db")) as log:
            entry: Entry = log.append(receipt)
            assert entry.sequence == 1 and log.head()[0] == 1
            found: list[Entry] = log.find(identifier="agent-7", outcome="allowed")
            assert [e.sequence for e in found] == [1]
            try:
                log.append("{}")
            except InvalidReceiptError as e:
                assert e.kind == "malformed"
            report: LogReport = log.verify(auditor)
            assert report.ok and report.count == 1 and report.fault is None
    assert velnor.__all__
    return 0


if __name__ == "__main__":
    sys.exit(main())
