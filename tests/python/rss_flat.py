"""Resident memory across many calls of every binding operation, success and
failure paths alike. Run by hand (it is not collected by pytest):

    python tests/python/rss_flat.py [calls]

It prints the resident set size after a warm-up and after each tenth of the
calls, and exits non-zero if memory kept growing."""

import json
import os
import sys

import velnor

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE // 1024


def workload():
    root, audit = b"r" * 32, b"a" * 32
    issuer = velnor.Issuer.from_key(root)
    verifier = velnor.Verifier(root)
    auditor = velnor.Auditor(audit)
    cap = issuer.issue("agent").caveat('tool == "search"').caveat("arg.limit <= 50").build()
    other = velnor.Issuer.from_key(b"x").issue("agent").caveat('tool == "search"').build()
    allowed = '{"nowMs": 1700000000000, "caller": "c", "tool": "search", "args": {"limit": 5}}'
    denied = '{"caller": "c", "tool": "fetch", "args": {"limit": 5, "x": [1, 2.50, {"y": null}]}}'
    token = cap.serialize()
    receipt = verifier.verify_with_context(cap, allowed, auditor)
    forged = json.loads(receipt)
    forged["timestamp_ms"] += 1
    forged = json.dumps(forged)
    unknown_version = receipt.replace('"version":1', '"version":9', 1)
    assert unknown_version != receipt

    holder = velnor.HolderKey(b"s" * 32)
    bound = issuer.issue("bound").holder_of_key(holder.public_key).caveat('tool == "search"').build()
    # A small store fills up and then refuses, so it does not grow either.
    gateway = verifier.with_audience("g").with_nonce_store(velnor.MemoryNonceStore(64))
    spent = holder.prove(bound, allowed, "g")

    def expect(exc, f, *a):
        try:
            f(*a)
        except exc:
            return
        raise AssertionError("no exception")

    def one_round():
        verifier.verify_with_context(cap, allowed, auditor)
        verifier.verify_with_context(cap, denied, auditor)
        expect(velnor.InvalidChainError, verifier.verify_with_context, other, allowed, auditor)
        expect(velnor.InvalidContextError, verifier.verify_with_context, cap, '{"caller": 1}', auditor)
        auditor.verify(receipt)
        expect(velnor.InvalidReceiptError, auditor.verify, forged)
        expect(velnor.InvalidReceiptError, auditor.verify, unknown_version)
        expect(velnor.InvalidReceiptError, auditor.verify, "[]")
        velnor.Capability.parse(token).attenuate("arg.limit <= 10").serialize()
        expect(velnor.MalformedTokenError, velnor.Capability.parse, token + "=")
        b = issuer.issue("x")
        b.caveat('tool == "t"').build()
        expect(RuntimeError, b.build)
        expect(ValueError, issuer.issue("x").caveat, "tool ==")
        expect(TypeError, verifier.verify_with_context, cap, {}, auditor)
        velnor.Auditor(audit)
        gateway.verify_with_proof(bound, allowed, holder.prove(bound, allowed, "g"), auditor)
        gateway.verify_with_proof(bound, allowed, spent, auditor)
        expect(velnor.InvalidProofError, gateway.verify_with_proof, bound, allowed, token, auditor)
        expect(ValueError, holder.prove, cap, allowed, "g")
        velnor.HolderKey(b"t" * 32)

    return one_round


def main(calls: int) -> int:
    one_round = workload()
    for _ in range(2000):
        one_round()
    base = rss_kib()
    print(f"after warm-up: {base} KiB")
    step = max(calls // 10, 1)
    samples = []
    for i in range(calls):
        one_round()
        if (i + 1) % step == 0:
            samples.append(rss_kib())
            print(f"after {i + 1:>8} rounds: {samples[-1]} KiB ({samples[-1] - base:+d})")
    # Allocator noise is a few hundred KiB at most; a leak of even one small
    # object per round grows by tens of MiB over a million rounds.
    growth = samples[-1] - samples[0] if samples else 0
    print(f"growth over the measured rounds: {growth} KiB")
    return 0 if growth < 1024 else 1


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000))
