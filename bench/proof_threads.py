"""Throughput of Verifier.verify_with_proof from Python with one thread and
with two, in one run: the method releases the interpreter lock while the
core works, so two gateway threads should approach twice the calls per
second of one on a machine with two free cores.

    .venv/bin/python bench/proof_threads.py [--calls N] [--rounds R]

Rounds alternate one and two threads so that a noisy neighbour affects both
alike; the median of each and the median of the paired ratios are reported.
"""

import argparse
import json
import os
import statistics
import threading
import time

import velnor

ROOT = os.urandom(32)
AUDIT = os.urandom(32)
AUDIENCE = "gateway-bench"
CTX = json.dumps({"nowMs": 1_700_000_000_000, "caller": "agent-1", "tool": "search",
                  "args": {"query": "weather in Paris", "limit": 10}})


def setup():
    holder = velnor.HolderKey(os.urandom(32))
    cap = (velnor.Issuer.from_key(ROOT).issue("cap-bench").holder_of_key(holder.public_key)
           .caveat("now <= @2030-01-01T00:00:00Z").caveat('tool == "search"').caveat("arg.limit <= 50").build())
    return holder, cap


def run(threads, calls, holder, cap, auditor):
    store = velnor.MemoryNonceStore(capacity=10 * calls)
    gateway = velnor.Verifier(ROOT).with_audience(AUDIENCE).with_nonce_store(store)
    per_thread = calls // threads
    proofs = [[holder.prove(cap, CTX, AUDIENCE) for _ in range(per_thread)] for _ in range(threads)]
    start = threading.Barrier(threads + 1)

    def work(batch):
        start.wait()
        for p in batch:
            if '"allowed"' not in gateway.verify_with_proof(cap, CTX, p, auditor):
                raise SystemExit("proof not accepted")

    ts = [threading.Thread(target=work, args=(b,)) for b in proofs]
    for t in ts:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in ts:
        t.join()
    return per_thread * threads / (time.perf_counter() - t0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=4000)
    ap.add_argument("--rounds", type=int, default=9)
    args = ap.parse_args()
    holder, cap = setup()
    auditor = velnor.Auditor(AUDIT)
    one, two = [], []
    for _ in range(args.rounds):
        one.append(run(1, args.calls, holder, cap, auditor))
        two.append(run(2, args.calls, holder, cap, auditor))
    ratios = [b / a for a, b in zip(one, two)]
    print(f"verify_with_proof, 1 thread : {statistics.median(one):9.0f} calls/s")
    print(f"verify_with_proof, 2 threads: {statistics.median(two):9.0f} calls/s")
    print(f"two threads against one     : {statistics.median(ratios):.2f}x (median of {args.rounds} paired rounds)")


if __name__ == "__main__":
    main()
