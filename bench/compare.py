#!/usr/bin/env python3
"""velnor against its peers, side by side in one run.

Every library gets the same token: an identifier and three restrictions
(an expiry, a tool name, an integer argument bound), checked for the same
call (tool "search", limit 10). Each operation is timed in rounds of many
calls; the table shows the median per call and the ratio to velnor.

Peers: PyJWT (HS256), pymacaroons, biscuit-python (all from PyPI) and
libmacaroons in C (Debian libmacaroons-dev, via bench/peers/macaroons_bench.c).
The hashing floor, the bare SHA-256/HMAC work one verification needs done the
fastest way this OpenSSL allows (bench/peers/hash_floor.c), is called in the
same process, alternating with velnor batch for batch.

    .venv-bench/bin/python bench/compare.py [--chart bench/compare.png]
"""
import argparse
import datetime as dt
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
KEY = b"root-key-for-benchmarks-32-bytes"
AUDIT_KEY = b"audit-key-for-benchmarks-32byte"
CAVEATS = ["now <= @2030-01-01T00:00:00Z", 'tool == "search"', "arg.limit <= 50"]
CTX = json.dumps({"nowMs": 1796000000000, "caller": "agent-1", "tool": "search",
                  "args": {"query": "weather in Paris", "limit": 10}})
NOW = 1796000000  # 2026-12-01, before the expiry


def batch_size(fn, min_time):
    n = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        if time.perf_counter() - t0 >= min_time:
            return n
        n *= 2


def run_batch(fn, n):
    t0 = time.perf_counter()
    for _ in range(n):
        fn()
    return (time.perf_counter() - t0) / n


def timeit(fn, rounds=15, min_time=0.02):
    """Median seconds per call over `rounds` rounds of auto-sized batches."""
    n = batch_size(fn, min_time)
    return statistics.median(run_batch(fn, n) for _ in range(rounds))


def measure_interleaved(table, rounds=15, min_time=0.01):
    """Times every {library: {operation: callable}} entry in round-robin:
    each round runs one batch of every entry, so a slow spell of the shared
    machine lands on all libraries alike. Returns medians per entry."""
    sizes = {(lib, op): batch_size(fn, min_time) for lib, ops in table.items() for op, fn in ops.items()}
    samples = {key: [] for key in sizes}
    for _ in range(rounds):
        for (lib, op), n in sizes.items():
            samples[(lib, op)].append(run_batch(table[lib][op], n))
        c = bench_libmacaroons_round()
        for op, t in c.items():
            samples.setdefault(("libmacaroons (C)", op), []).append(t)
    result = {}
    for (lib, op), xs in samples.items():
        result.setdefault(lib, {})[op] = statistics.median(xs)
    return result


def bench_velnor():
    from velnor import Auditor, Capability, Issuer, Verifier
    issuer = Issuer.from_key(KEY)
    verifier, auditor = Verifier(KEY), Auditor(AUDIT_KEY)

    def issue():
        b = issuer.issue("agent-1")
        for c in CAVEATS:
            b = b.caveat(c)
        return b.build().serialize()

    token = issue()
    cap = Capability.parse(token)
    receipt = verifier.verify_with_context(cap, CTX, auditor)
    assert json.loads(receipt)["outcome"] == {"kind": "allowed"}, receipt

    def parse_verify():
        return verifier.verify_with_context(Capability.parse(token), CTX, auditor)

    return {
        "issue": issue,
        "parse": lambda: Capability.parse(token),
        "attenuate": lambda: cap.attenuate("arg.limit <= 20"),
        "verify": lambda: verifier.verify_with_context(cap, CTX, auditor),
        "parse+verify": parse_verify,
        "receipt check": lambda: auditor.verify(receipt),
    }


def bench_velnor_scaling():
    from velnor import Auditor, Issuer, Verifier
    issuer = Issuer.from_key(KEY)
    verifier, auditor = Verifier(KEY), Auditor(AUDIT_KEY)
    rows = []
    for n in (1, 10, 100, 1000):
        b = issuer.issue("agent-1")
        for i in range(n):
            b = b.caveat(CAVEATS[i % 3])
        cap = b.build()
        rows.append((f"{n} caveats", timeit(lambda: verifier.verify_with_context(cap, CTX, auditor), rounds=7)))
    cap = issuer.issue("agent-1").caveat(CAVEATS[0]).build()
    for label, size in (("100 B", 100), ("10 KB", 10_000), ("1 MB", 1_000_000)):
        ctx = json.dumps({"nowMs": 1796000000000, "caller": "agent-1", "tool": "search",
                          "args": {"blob": "x" * (size - 12)}})
        rows.append((f"args {label}", timeit(lambda: verifier.verify_with_context(cap, ctx, auditor), rounds=7)))
    return rows


def bench_pyjwt():
    import jwt
    claims = {"sub": "agent-1", "exp": 1893456000, "tool": "search", "limit_max": 50}

    def issue():
        return jwt.encode(claims, KEY, algorithm="HS256")

    token = issue()

    def verify():
        c = jwt.decode(token, KEY, algorithms=["HS256"])
        return c["tool"] == "search" and 10 <= c["limit_max"]

    assert verify()
    return {
        "issue": issue,
        "parse": lambda: jwt.decode(token, options={"verify_signature": False}),
        "verify": verify,
        "parse+verify": verify,
    }


def bench_pymacaroons():
    from pymacaroons import Macaroon, Verifier
    preds = ["time < 2030-01-01T00:00:00Z", "tool = search", "limit <= 50"]

    def issue():
        m = Macaroon(location="gw", identifier="agent-1", key=KEY)
        for p in preds:
            m.add_first_party_caveat(p)
        return m.serialize()

    token = issue()

    def check(p):
        if p.startswith("time < "):
            return "2026-12-08T00:00:00Z" < p[7:]
        if p.startswith("tool = "):
            return p[7:] == "search"
        if p.startswith("limit <= "):
            return 10 <= int(p[9:])
        return False

    def verify():
        m = Macaroon.deserialize(token)
        v = Verifier()
        v.satisfy_general(check)
        return v.verify(m, KEY)

    assert verify()
    m = Macaroon.deserialize(token)
    return {
        "issue": issue,
        "parse": lambda: Macaroon.deserialize(token),
        "attenuate": lambda: m.copy().add_first_party_caveat("limit <= 20"),
        "verify": verify,
        "parse+verify": verify,
    }


def bench_biscuit():
    from biscuit_auth import AuthorizerBuilder, Biscuit, BiscuitBuilder, BlockBuilder, KeyPair
    kp = KeyPair()
    code = ('user("agent-1");'
            "check if time($t), $t <= 2030-01-01T00:00:00Z;"
            'check if tool("search");'
            "check if limit($l), $l <= 50;")

    def issue():
        return BiscuitBuilder(code).build(kp.private_key).to_base64()

    token = issue()
    policy = ('time(2026-12-08T00:00:00Z); tool("search"); limit(10); allow if true;')

    def verify():
        t = Biscuit.from_base64(token, kp.public_key)
        builder = AuthorizerBuilder(policy)
        # The default 1 ms Datalog time budget trips on a loaded machine.
        limits = builder.limits()
        limits.max_time = dt.timedelta(seconds=1)
        builder.set_limits(limits)
        builder.build(t).authorize()

    verify()
    parsed = Biscuit.from_base64(token, kp.public_key)
    return {
        "issue": issue,
        "parse": lambda: Biscuit.from_base64(token, kp.public_key),
        "attenuate": lambda: parsed.append(BlockBuilder("check if limit($l), $l <= 20;")),
        "verify": verify,
        "parse+verify": verify,
    }


MACAROONS_EXE = ROOT / "build" / "macaroons_bench"


def build_libmacaroons():
    src = ROOT / "bench" / "peers" / "macaroons_bench.c"
    MACAROONS_EXE.parent.mkdir(exist_ok=True)
    subprocess.run(["gcc", "-O2", str(src), "-lmacaroons", "-o", str(MACAROONS_EXE)], check=True)


def bench_libmacaroons_round():
    """One round of the C peer (one batch per operation)."""
    out = subprocess.run([str(MACAROONS_EXE), "1", "4000"], check=True, capture_output=True,
                         text=True).stdout
    r = {k: float(v) * 1e-9 for k, v in (line.split() for line in out.splitlines())}
    r["parse+verify"] = r["verify"]  # its verify figure already includes deserialize
    return r


FLOOR_LIB = ROOT / "build" / "hash_floor.so"


def build_floor():
    src = ROOT / "bench" / "peers" / "hash_floor.c"
    FLOOR_LIB.parent.mkdir(exist_ok=True)
    subprocess.run(["gcc", "-O2", "-shared", "-fPIC", str(src), "-lcrypto", "-o", str(FLOOR_LIB)], check=True)


def floor_ratio(pairs=61):
    """velnor against the hashing floor (bench/peers/hash_floor.c) in this
    process: each pair times a batch of floor operations, a batch of velnor
    calls and the floor again, back to back, so the machine's slow spells
    land on both. Medians of the per-pair ratios of verify_with_context on a
    parsed capability and of parse + verify_with_context, and the median
    floor in seconds."""
    import ctypes

    from velnor import Auditor, Capability, Issuer, Verifier
    lib = ctypes.CDLL(str(FLOOR_LIB))
    lib.floor_run.restype = ctypes.c_double
    lib.floor_run.argtypes = [ctypes.c_long]
    b = Issuer.from_key(KEY).issue("agent-1/cap-0001")
    for c in CAVEATS:
        b = b.caveat(c)
    cap = b.build()
    token = cap.serialize()
    verifier, auditor = Verifier(KEY), Auditor(AUDIT_KEY)
    vwc, parse = verifier.verify_with_context, Capability.parse

    def loop_verify(n):
        for _ in range(n):
            vwc(cap, CTX, auditor)

    def loop_parse_verify(n):
        for _ in range(n):
            vwc(parse(token), CTX, auditor)

    def loop_empty(n):
        for _ in range(n):
            pass

    def per_call(loop, n):
        t0 = time.perf_counter_ns()
        loop(n)
        t1 = time.perf_counter_ns()
        loop_empty(n)
        return (t1 - t0 - (time.perf_counter_ns() - t1)) / n

    n, f = 600, 1500
    loop_verify(n), loop_parse_verify(n), lib.floor_run(f)
    verify, parse_verify, floors = [], [], []
    for _ in range(pairs):
        before = lib.floor_run(f) / f
        v = per_call(loop_verify, n)
        pv = per_call(loop_parse_verify, n)
        floor = (before + lib.floor_run(f) / f) / 2
        floors.append(floor)
        verify.append(v / floor)
        parse_verify.append(pv / floor)
    med = statistics.median
    return med(verify), med(parse_verify), med(floors) * 1e-9


def fmt(s):
    return "—" if s is None else (f"{s * 1e6:8.2f} µs" if s >= 1e-6 else f"{s * 1e9:8.0f} ns")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--chart", type=pathlib.Path)
    args = ap.parse_args()

    build_libmacaroons()
    build_floor()
    table = {"velnor": bench_velnor(), "PyJWT": bench_pyjwt(), "pymacaroons": bench_pymacaroons(),
             "biscuit-python": bench_biscuit()}
    measured = measure_interleaved(table)
    order = ["velnor", "libmacaroons (C)", "PyJWT", "pymacaroons", "biscuit-python"]
    results = {name: measured[name] for name in order}
    ratio, parse_ratio, floor = floor_ratio()

    ops = ["issue", "parse", "attenuate", "verify", "parse+verify", "receipt check"]
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cpus, "
          f"Python {platform.python_version()}, {dt.date.today()}")
    print(f"hashing floor of one verification (bench/peers/hash_floor.c): {fmt(floor)}\n")
    header = f"{'operation':14}" + "".join(f"{n:>22}" for n in results)
    print(header)
    for op in ops:
        row = f"{op:14}"
        for name, r in results.items():
            t = r.get(op)
            vs = "" if t is None or name == "velnor" or op not in results["velnor"] \
                else f" ({t / results['velnor'][op]:.1f}x)"
            row += f"{fmt(t) + vs:>22}"
        print(row)
    print(f"\nvelnor / hashing floor, median of 61 alternating pairs: verify_with_context {ratio:.2f}x "
          f"(target <= 2.0x), parse + verify_with_context {parse_ratio:.2f}x (target <= 2.6x)")

    print("\nscaling of verify_with_context:")
    for label, t in bench_velnor_scaling():
        print(f"  {label:12} {fmt(t)}")

    if args.chart:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        shown = ["issue", "parse", "attenuate", "verify", "parse+verify"]
        fig, ax = plt.subplots(figsize=(9, 4.5))
        width = 0.8 / len(results)
        for i, (name, r) in enumerate(results.items()):
            xs = [j + i * width for j in range(len(shown))]
            ax.bar(xs, [(r.get(op) or 0) * 1e6 for op in shown], width, label=name)
        ax.set_xticks([j + 0.4 - width / 2 for j in range(len(shown))], shown)
        ax.set_yscale("log")
        ax.set_ylabel("µs per call (median, log scale)")
        ax.set_title(f"velnor vs peers — {platform.machine()}, {os.cpu_count()} vCPU\n"
                     f"velnor / hashing floor ({floor * 1e6:.2f} µs): verify {ratio:.2f}x, "
                     f"parse + verify {parse_ratio:.2f}x", fontsize=10)
        ax.legend(fontsize=8)
        fig.tight_layout()
        fig.savefig(args.chart, dpi=110)
        print(f"\nchart written to {args.chart}")


if __name__ == "__main__":
    sys.exit(main())
