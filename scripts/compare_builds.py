#!/usr/bin/env python3
"""Two builds of velnor on the same generated inputs, compared output for output.

A change that is meant to make the library faster must not change one byte
of what it returns or raises. This runs a deterministic stream of inputs
(tokens as minted and as damaged, call contexts, verifications, receipt
checks) through each build in its own interpreter and compares, case by
case, the result text or the exception's type and message.

    python scripts/compare_builds.py OLD_DIR [NEW_DIR] [--cases N] [--seed S]

OLD_DIR and NEW_DIR hold an installed package each (`pip install --target
DIR .` from the two commits); without NEW_DIR the package importable here is
the new build. Prints one line per build and the first difference, if any;
exits 1 when the builds disagree.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys

WORKER = r'''
import base64, hashlib, json, random, re, sys
import velnor

seed, count = int(sys.argv[1]), int(sys.argv[2])
rng = random.Random(seed)
ROOT, AUDIT = bytes(range(32)), bytes(range(1, 33))
issuer, verifier, auditor = velnor.Issuer.from_key(ROOT), velnor.Verifier(ROOT), velnor.Auditor(AUDIT)
stranger = velnor.Verifier(b"another root key")

TEXTS = ["agent-1", "", "a\"b\\c", "caf\u00e9", "\u20ac\U0001f600", "tab\there", "nl\nx", "\x01\x1f", "/", "x" * 40]
PREDICATES = ['tool == "search"', "arg.limit <= 50", "now <= @2030-01-01T00:00:00Z", 'caller == "agent-1"',
              'arg.q starts_with "we"', 'arg.q matches "weather"', "arg.limit > 5 AND arg.limit < 20",
              '(tool == "a" OR tool == "search") AND arg.limit != 3', "env.REGION == \"eu\"", "arg.price <= 10_usd",
              "now >= @2020-01-01T00:00:00.5+02:00", 'caller == "a\\"b\\\\c"', "arg.deep.x == 1", "arg.limit <= 50.0"]
ARGS = [{}, {"limit": 10}, {"limit": 51, "q": "weather in Paris"}, {"q": "we\u00e9", "limit": -0},
        {"limit": 10.0}, {"deep": {"x": 1}}, {"price": 5}, {"limit": 1e400}, {"z": [1, {"a": None}], "limit": 3}]


CLOCK = re.compile(r'"timestamp_ms":(\d+),"signature":"[0-9a-f]*"')


def unclocked(text):
    # A context that lost its nowMs reads the wall clock, which differs
    # between runs; such a receipt's time and signature are masked.
    return CLOCK.sub(lambda m: m.group(0) if m.group(1) in ("1700000000000", "1900000000000")
                     else '"timestamp_ms":T,"signature":S', text)


def out(tag, fn):
    try:
        r = fn()
        return tag + " ok " + (unclocked(r) if isinstance(r, str) else repr(r))
    except Exception as e:  # the type and the message are the interface
        return tag + " " + type(e).__name__ + " " + str(e)


def damage(text):
    data = bytearray(text.encode("utf-8", "surrogatepass"))
    if not data:
        return text
    kind = rng.randrange(3)
    at = rng.randrange(len(data))
    if kind == 0:
        data[at] = rng.choice(b'"\\,:{}[] 0afAF-_=\x00\x7f\x80')
    elif kind == 1:
        del data[at]
    else:
        data = data[:at]
    return data.decode("utf-8", "replace")


def b64(doc_text):
    return base64.urlsafe_b64encode(doc_text.encode()).rstrip(b"=").decode()


def one():
    b = issuer.issue(rng.choice(TEXTS))
    if rng.random() < 0.2:
        b = b.holder_of_key(bytes(rng.randrange(256) for _ in range(32)))
    for _ in range(rng.randrange(1, 5)):
        b = b.caveat(rng.choice(PREDICATES))
    cap = b.build()
    token = cap.serialize()
    ctx = {"nowMs": rng.choice([1_700_000_000_000, 1_900_000_000_000]), "caller": rng.choice(TEXTS),
           "tool": rng.choice(["search", "a", "delete"]), "args": rng.choice(ARGS)}
    if rng.random() < 0.3:
        ctx["env"] = {"REGION": rng.choice(["eu", "us"])}
    ctx_text = json.dumps(ctx, separators=rng.choice([(",", ":"), (", ", ": ")]), ensure_ascii=rng.random() < 0.5)
    lines = [out("token", lambda: token)]
    choice = rng.randrange(4)
    if choice == 0:
        t = damage(token)
    elif choice == 1:
        doc = base64.urlsafe_b64decode(token + "=" * (-len(token) % 4)).decode()
        t = b64(damage(doc))
    else:
        t = token
    parsed = out("parse", lambda: velnor.Capability.parse(t).serialize())
    lines.append(parsed)
    c = ctx_text if rng.random() < 0.8 else damage(ctx_text)
    receipt = None
    def verify(v=verifier):
        nonlocal receipt
        receipt = v.verify_with_context(velnor.Capability.parse(t), c, auditor)
        return receipt
    lines.append(out("verify", verify))
    lines.append(out("again", lambda: verifier.verify_with_context(cap, ctx_text, auditor)))
    lines.append(out("again", lambda: verifier.verify_with_context(cap, ctx_text, auditor)))
    lines.append(out("stranger", lambda: stranger.verify_with_context(cap, ctx_text, auditor)))
    if receipt is not None and unclocked(receipt) == receipt:
        r = receipt if rng.random() < 0.5 else damage(receipt)
        lines.append(out("receipt", lambda: auditor.verify(r)))
    lines.append(out("attenuate", lambda: cap.attenuate(rng.choice(PREDICATES + ["bad ("])).serialize()))
    return lines


for i in range(count):
    sys.stdout.write("\x1e".join(one()).replace("\n", "\\n") + "\n")
'''


def run(build_dir: str | None, seed: int, cases: int) -> list[str]:
    env = dict(os.environ)
    if build_dir is not None:
        env["PYTHONPATH"] = os.path.abspath(build_dir)
    proc = subprocess.run([sys.executable, "-c", WORKER, str(seed), str(cases)], env=env,
                          capture_output=True, text=True, check=True)
    return proc.stdout.rstrip("\n").split("\n")


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("old")
    ap.add_argument("new", nargs="?")
    ap.add_argument("--cases", type=int, default=50_000)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    old = run(args.old, args.seed, args.cases)
    new = run(args.new, args.seed, args.cases)
    outputs = sum(line.count("\x1e") + 1 for line in old)
    for name, lines in (("old", old), ("new", new)):
        digest = hashlib.sha256("\n".join(lines).encode()).hexdigest()
        print(f"{name}: {len(lines)} cases, {outputs} outputs, sha256 {digest[:16]}")
    for i, (a, b) in enumerate(zip(old, new)):
        if a != b:
            for x, y in zip(a.split("\x1e"), b.split("\x1e")):
                if x != y:
                    print(f"case {i} differs:\n  old: {x[:300]}\n  new: {y[:300]}")
                    return 1
    if len(old) != len(new):
        print("the builds ran a different number of cases")
        return 1
    print("identical")
    return 0


if __name__ == "__main__":
    sys.exit(main())
