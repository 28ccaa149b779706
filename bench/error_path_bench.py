"""The cost of verify_with_context and of each way it and Auditor.verify
fail, per call. With `--against DIR` (a directory holding another build of
the package, e.g. one made by `pip install --target DIR` from an older
commit) the two builds run alternately, several rounds each, and the report
gives the ratio of their medians: a change that makes the typed errors
cost something shows up here, however loaded the machine is at the time.

    python bench/error_path_bench.py [--against DIR] [--rounds 5]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from collections.abc import Callable

CALLS = 20_000


def cases() -> dict[str, Callable[[], object]]:
    import velnor

    root, audit = bytes(range(32)), b"audit-key-for-benchmarks-0123456"
    cap = (velnor.Issuer.from_key(root).issue("agent-7").caveat('tool == "search"')
           .caveat("arg.limit <= 50").build())
    verifier, stranger, auditor = velnor.Verifier(root), velnor.Verifier(b"other"), velnor.Auditor(audit)
    ctx = json.dumps({"nowMs": 1_700_000_000_000, "caller": "agent-7", "tool": "search",
                      "args": {"query": "weather", "limit": 10}})
    receipt = verifier.verify_with_context(cap, ctx, auditor)
    tampered = receipt.replace('"caller":"agent-7"', '"caller":"agent-8"')

    def raising(call: Callable[[], object]) -> Callable[[], object]:
        def run() -> object:
            try:
                return call()
            except ValueError as e:
                return e
        return run

    return {
        "verify_with_context allowed": lambda: verifier.verify_with_context(cap, ctx, auditor),
        "broken chain raised": raising(lambda: stranger.verify_with_context(cap, ctx, auditor)),
        "bad context raised": raising(lambda: verifier.verify_with_context(cap, "{", auditor)),
        "forged receipt raised": raising(lambda: auditor.verify(tampered)),
    }


def measure() -> dict[str, float]:
    """ns per call of each case, best of three batches."""
    out = {}
    for name, call in cases().items():
        best = float("inf")
        for _ in range(3):
            start = time.perf_counter_ns()
            for _ in range(CALLS):
                call()
            best = min(best, (time.perf_counter_ns() - start) / CALLS)
        out[name] = best
    return out


def run_build(site: str | None) -> dict[str, float]:
    env = dict(os.environ)
    if site is not None:
        env["PYTHONPATH"] = site + os.pathsep + env.get("PYTHONPATH", "")
    out = subprocess.run([sys.executable, __file__, "--once"], env=env, check=True,
                         capture_output=True, text=True, timeout=600)
    return json.loads(out.stdout)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--against", help="directory of the baseline build")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--once", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.once:
        print(json.dumps(measure()))
        return 0
    if args.against is None:
        for name, ns in measure().items():
            print(f"{name:32} {ns:9.0f} ns")
        return 0
    this: dict[str, list[float]] = {}
    base: dict[str, list[float]] = {}
    for _ in range(args.rounds):
        for runs, site in ((base, args.against), (this, None)):
            for name, ns in run_build(site).items():
                runs.setdefault(name, []).append(ns)
    print(f"{'':32} {'baseline':>9} {'this':>9}  this/baseline (medians of {args.rounds} rounds)")
    for name in this:
        b, t = statistics.median(base[name]), statistics.median(this[name])
        print(f"{name:32} {b:7.0f}ns {t:7.0f}ns  {t / b:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
