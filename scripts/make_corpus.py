#!/usr/bin/env python3
"""Writes the fuzz seed corpora under build/fuzz/corpus/<target>/.

Two kinds of seed go there. This script builds some from first principles
(base64url, JSON, HMAC from the standard library), not from the library
under test, so a fault in the library cannot shape its own corpus. The
others are inputs that long fuzzing runs found and `-merge=1` kept, named by
their SHA-1; they are committed as one archive per target,
fuzz/corpus/<target>.tar.xz, rather than as thousands of loose files.

    make_corpus.py                      write both kinds into build/fuzz/corpus
    make_corpus.py --add TARGET FILE... add findings to TARGET's archive
"""
import argparse
import base64
import hashlib
import hmac
import io
import json
import pathlib
import re
import tarfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "fuzz" / "corpus"
ARCHIVES = ROOT / "fuzz" / "corpus"
SUITE = ROOT / "tests" / "data" / "json-test-suite"
FOUND_NAME = re.compile(r"[0-9a-f]{40}")

PREDICATES = [
    'tool == "search"',
    "now <= @2030-01-01T00:00:00Z",
    "arg.limit <= 50",
    'arg.limit <= 50 AND caller starts_with "agent-"',
    '(tool == "a" OR tool == "b") AND arg.f < 2.5',
    "now > @1969-12-31T23:59:59.5+01:00",
    "arg.e == 1000",
    "arg.big == 1",
    "arg.neg >= 0",
    'arg.o.k.d matches "ee"',
    'env.REGION != "us"',
    "arg.x == 5_usd",
    "arg.limit == 10.0",
    "@2024-02-29T23:59:60Z",
    'caller < "b"',
    "a == 1 OR b == 2 AND c == 3",
    '((((tool == "x"))))',
    "tool == \"tab\\there\\n\"",
    "now == @2030-13-01T00:00:00Z",
    "n == 1e3",
]

CONTEXTS = [
    {"nowMs": 1700000000123, "caller": "agent-1", "tool": "search",
     "args": {"query": "weather in Paris", "limit": 10}},
    {"nowMs": None, "caller": "a", "tool": "t", "args": None, "env": {"REGION": "eu"}},
    {"caller": "a", "tool": "t", "args": [1, 2.5, -0.0, "x", None, True, {"k": []}]},
]
RAW_CONTEXTS = [
    '[0,"a","t",{},null]',
    '{"nowMs":0,"caller":"a","tool":"t","args":{"n":1E3,"m":-0,"p":1.50,"big":1e400}}',
    '{"caller":"a","tool":"t","args":{},"extra":[1,{"x":2}],"tool2":null}',
    '{"caller":"a","tool":"t","args":{"a":1,"a":2},"env":{"K":"v","K":"w"}}',
    '{"caller":"\\u00e9\\ud83d\\ude00","tool":"t\\n","args":"x"}',
]


def b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def token(identifier, caveats, holder=None, sig=b"\x00" * 32, key=None):
    doc = {"identifier": identifier}
    if holder is not None:
        doc["holder_of_key"] = holder.hex()
    doc["caveats"] = [{"predicate": p} for p in caveats]
    if key is not None:
        s = hmac.new(key, identifier.encode(), hashlib.sha256).digest()
        if holder is not None:
            s = hmac.new(s, b"__hok:" + holder, hashlib.sha256).digest()
        for p in caveats:
            s = hmac.new(s, p.encode(), hashlib.sha256).digest()
        sig = s
    doc["signature"] = sig.hex()
    return json.dumps(doc, separators=(",", ":"), ensure_ascii=False)


def receipt(kind, reason=None, key=b"fuzz-audit-key-0123456789"):
    outcome = {"kind": kind}
    if reason is not None:
        outcome["reason"] = reason
    r = {
        "version": 1,
        "capability_identifier": "cap-1",
        "caveats": [{"predicate": 'tool == "search"'}],
        "context_summary": {"caller": "agent-1", "tool": "search",
                            "args_hash": hashlib.sha256(b"{}").hexdigest()},
        "outcome": outcome,
        "timestamp_ms": 1700000000123,
    }
    signed = json.dumps(r, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    r["signature"] = hmac.new(key, b"v\x01" + signed.encode(), hashlib.sha256).hexdigest()
    return json.dumps(r, separators=(",", ":"), ensure_ascii=False)


def write(target, name, data):
    d = OUT / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def read_archive(target):
    """The findings of one target, by name. Only plain files with a SHA-1
    name are taken, so an archive cannot write outside its directory."""
    path = ARCHIVES / f"{target}.tar.xz"
    found = {}
    if not path.exists():
        return found
    with tarfile.open(path, "r:xz") as tar:
        for member in tar:
            if not (member.isfile() and FOUND_NAME.fullmatch(member.name)):
                raise SystemExit(f"{path}: unexpected member {member.name!r}")
            found[member.name] = tar.extractfile(member).read()
    return found


def write_archive(target, found):
    # Sorted names, no owners or times: the same findings give the same bytes.
    path = ARCHIVES / f"{target}.tar.xz"
    with tarfile.open(path, "w:xz", preset=9) as tar:
        for name in sorted(found):
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(found[name]), 0o644
            tar.addfile(info, io.BytesIO(found[name]))


def add_findings(target, files):
    found = read_archive(target)
    for f in files:
        data = pathlib.Path(f).read_bytes()
        found[hashlib.sha1(data).hexdigest()] = data
    write_archive(target, found)
    print(f"{target}: {len(found)} findings in {ARCHIVES / (target + '.tar.xz')}")


def unpack_findings():
    for path in sorted(ARCHIVES.glob("fuzz_*.tar.xz")):
        target = path.name.removesuffix(".tar.xz")
        for name, data in read_archive(target).items():
            write(target, name, data)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--add", nargs="+", metavar=("TARGET", "FILE"))
    args = ap.parse_args()
    if args.add:
        if len(args.add) < 2:
            ap.error("--add needs a target and at least one file")
        add_findings(args.add[0], args.add[1:])
        return
    unpack_findings()
    write_seeds()


def write_seeds():
    for i, p in enumerate(PREDICATES):
        write("fuzz_caveat", f"p{i:02}", p)

    tokens = [
        token("cap-1", PREDICATES[:3]),
        token("", [], holder=bytes(range(32))),
        token("é\n\"", ["x == 1"], sig=b""),
        token("agent-1", PREDICATES[:3], key=b"fuzz-root-key"),
    ]
    raw_json = [
        '{"caveats":[{"predicate":"a == 1","x":[1]}],"signature":"AB","identifier":"i","holder_of_key":null}',
        '["i",null,[["a == 1"]],"00"]',
        '{ "identifier" : "i" , "caveats" : [ ] , "signature" : "" , "unknown" : {"deep":[[[]]]} }',
    ]
    for i, t in enumerate(tokens + raw_json):
        write("fuzz_token", f"t{i:02}", b64url(t.encode()))
    write("fuzz_token", "bad_pad", b64url(tokens[0].encode()) + "==")
    write("fuzz_token", "bad_sym", "eyJ+/w")

    ctx_texts = [json.dumps(c) for c in CONTEXTS] + RAW_CONTEXTS
    for i, c in enumerate(ctx_texts):
        write("fuzz_ctx_in", f"c{i:02}", c)

    receipts = [receipt("allowed"), receipt("denied", "caveat failed: tool == \"search\""),
                '[1,"i",[["a == 1"]],["c","t","h"],{"kind":"denied","reason":"r"},0,"00"]']
    for i, r in enumerate(receipts):
        write("fuzz_receipt", f"r{i:02}", r)

    for i, c in enumerate(ctx_texts):
        write("fuzz_pipeline", f"mint{i:02}", "\n".join(PREDICATES[i::3]) + "\0" + c)
    write("fuzz_pipeline", "token", b64url(tokens[3].encode()) + "\0" + ctx_texts[0])

    # The public JSON suite, as whole documents and spliced into an unknown
    # member, for the three JSON readers.
    if SUITE.is_dir():
        for f in sorted(SUITE.glob("[yni]_*.json")):
            data = f.read_bytes()
            if len(data) > 4096:
                continue
            write("fuzz_ctx_in", "suite_" + f.stem, b'{"caller":"a","tool":"t","args":{},"x":' + data + b"}")
            write("fuzz_receipt", "suite_" + f.stem, data)


if __name__ == "__main__":
    main()
