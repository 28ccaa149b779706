#!/usr/bin/env python3
"""Two builds of the wheel side by side: size, import time and the cost of a
verification, each measured in alternation so that the shared machine's
drift hits both alike.

    wheel_bench.py NAME=WHEEL NAME=WHEEL [--rounds N]
"""
import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

IMPORT = ("import time; t = time.perf_counter(); import velnor; "
          "print((time.perf_counter() - t) * 1e3)")
VERIFY = r'''
import json, os, timeit
from velnor import Auditor, Issuer, Verifier
root, audit = os.urandom(32), os.urandom(32)
cap = (Issuer.from_key(root).issue("agent-7").caveat("now <= @2100-01-01T00:00:00Z")
       .caveat('tool == "search"').caveat("arg.limit <= 50").build())
ctx = json.dumps({"caller": "agent-7", "tool": "search", "args": {"query": "weather", "limit": 10}})
v, a = Verifier(root), Auditor(audit)
n = 20000
print(min(timeit.repeat(lambda: v.verify_with_context(cap, ctx, a), number=n, repeat=5)) / n * 1e6)
'''


def run(py, code):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    return float(subprocess.run([str(py), "-I", "-c", code], check=True, capture_output=True,
                                text=True, timeout=300, env=env).stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("wheels", nargs=2)
    ap.add_argument("--rounds", type=int, default=15)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        builds = []
        for entry in args.wheels:
            name, wheel = entry.split("=", 1)
            env_dir = pathlib.Path(tmp) / name
            subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True)
            py = env_dir / "bin" / "python"
            subprocess.run([str(py), "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel],
                           check=True)
            builds.append((name, py, os.path.getsize(wheel)))
        imports = {name: [] for name, _, _ in builds}
        verifies = {name: [] for name, _, _ in builds}
        for i in range(args.rounds):
            order = builds if i % 2 == 0 else builds[::-1]
            for name, py, _ in order:
                imports[name].append(run(py, IMPORT))
            if i < 5:
                for name, py, _ in order:
                    verifies[name].append(run(py, VERIFY))
        for name, _, size in builds:
            print(f"{name:>10}: wheel {size / 1e6:.2f} MB, import velnor "
                  f"{statistics.median(imports[name]):.1f} ms (median of {args.rounds}), "
                  f"verify_with_context {statistics.median(verifies[name]):.2f} us (median of 5)")


if __name__ == "__main__":
    main()
