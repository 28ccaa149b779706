"""Two gateway processes sharing one Redis: a proof accepted by one is refused
by the other, and a revocation list published once stops a capability at
both, while a stale list replayed later changes nothing.

    python examples/fleet.py [--redis URL]

Without --redis a private redis-server is started in a temporary folder (a
unix socket, no TCP) and stopped at the end. The revocation list travels as
plain text under one Redis key: the list is signed, so the channel need not
be trusted, and its version keeps every gateway from going back to an older
one. Any Redis client does for that key; this example speaks the few
commands it needs itself so that it has no dependency beyond velnor."""

from __future__ import annotations

import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import velnor

ROOT_KEY = b"root key of the issuing service!"  # os.urandom(32) in production
AUDIT_KEY = b"audit key of the gateway fleet.."
LIST_KEY = "velnor:revocations"  # the one key the latest list text lives under


# --- a minimal Redis client for GET and SET -----------------------------------

def redis_command(url: str, *args: str):
    if url.startswith("unix://"):
        s = socket.socket(socket.AF_UNIX)
        address = url[len("unix://"):].split("?")[0]
    else:
        host, _, port = url[len("redis://"):].split("/")[0].rpartition(":")
        s, address = socket.socket(), (host or "127.0.0.1", int(port or 6379))
    with s:
        s.settimeout(5)
        s.connect(address)
        s.sendall(b"*%d\r\n" % len(args) + b"".join(b"$%d\r\n%s\r\n" % (len(a.encode()), a.encode())
                                                      for a in args))
        f = s.makefile("rb")
        line = f.readline()
        if line[:1] == b"-":
            raise RuntimeError(line[1:].decode().strip())
        if line[:1] == b"$":
            n = int(line[1:])
            return None if n < 0 else f.read(n + 2)[:-2].decode()
        return line[1:].decode().strip()


# --- one gateway process ---------------------------------------------------------

def gateway(url: str, name: str) -> None:
    """Reads one request per line (token, context, proof as JSON) and answers
    each with its outcome. Before each request it picks up the latest
    revocation list; a real gateway would do so every few seconds."""
    base = velnor.Verifier(ROOT_KEY).with_audience("fleet").with_nonce_store(velnor.RedisNonceStore(url))
    verifier, seen = base, None
    auditor = velnor.Auditor(AUDIT_KEY)
    for line in sys.stdin:
        text = redis_command(url, "GET", LIST_KEY)
        if text is not None and text != seen:
            seen = text
            try:
                verifier = verifier.with_revocations(text)
            except ValueError as e:  # forged, malformed or older: keep what we hold
                print(f"{name}: list refused: {e}", file=sys.stderr)
        req = json.loads(line)
        receipt = verifier.verify_with_proof(velnor.Capability.parse(req["token"]), req["ctx"], req["proof"],
                                             auditor)
        o = json.loads(receipt)["outcome"]
        print("allowed" if o["kind"] == "allowed" else o["reason"], flush=True)


# --- the demonstration ---------------------------------------------------------------

class Gateway:
    def __init__(self, url: str, name: str) -> None:
        self.name = name
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "gateway", url, name],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(self, cap, call, proof) -> str:
        self.proc.stdin.write(json.dumps({"token": cap.serialize(), "ctx": call, "proof": proof}) + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().strip()
        print(f"  {self.name}: {answer}")
        return answer

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


def demo(url: str) -> bool:
    issuer = velnor.Issuer.from_key(ROOT_KEY)
    agent = velnor.HolderKey(os.urandom(32))
    cap = issuer.issue("agent-42").holder_of_key(agent.public_key).caveat('tool == "search"').build()
    redis_command(url, "SET", LIST_KEY, issuer.revocation_list([], 1))

    def call():
        return json.dumps({"caller": "agent-42", "tool": "search", "args": {"q": "weather"},
                           "nowMs": int(time.time() * 1000)})

    a, b = Gateway(url, "gateway A"), Gateway(url, "gateway B")
    try:
        results = []
        print("one proof, sent to both gateways:")
        c = call()
        proof = agent.prove(cap, c, "fleet")
        results += [a.ask(cap, c, proof) == "allowed", b.ask(cap, c, proof) == "proof already used"]

        print("the issuer publishes list 2, revoking agent-42:")
        redis_command(url, "SET", LIST_KEY, issuer.revocation_list(["agent-42"], 2))
        for gw in (a, b):
            c = call()
            results.append(gw.ask(cap, c, agent.prove(cap, c, "fleet")) == "capability revoked: agent-42")

        print("someone puts list 1 back; the gateways keep list 2:")
        redis_command(url, "SET", LIST_KEY, issuer.revocation_list([], 1))
        for gw in (a, b):
            c = call()
            results.append(gw.ask(cap, c, agent.prove(cap, c, "fleet")) == "capability revoked: agent-42")
        return all(results)
    finally:
        a.close()
        b.close()


def private_redis():
    root = tempfile.mkdtemp(prefix="velnor-fleet-")
    sock = os.path.join(root, "redis.sock")
    proc = subprocess.Popen(["redis-server", "--port", "0", "--unixsocket", sock, "--unixsocketperm", "700",
                             "--save", "", "--appendonly", "no", "--dir", root,
                             "--maxmemory-policy", "noeviction"], stdout=subprocess.DEVNULL)
    url = f"unix://{sock}"
    for _ in range(500):
        try:
            if redis_command(url, "PING") == "PONG":
                return proc, root, url
        except OSError:
            time.sleep(0.02)
    proc.kill()
    raise SystemExit("redis-server did not start")


def main(argv: list[str]) -> int:
    if argv[:1] == ["gateway"]:
        gateway(argv[1], argv[2])
        return 0
    if argv[:1] == ["--redis"]:
        return 0 if demo(argv[1]) else 1
    proc, root, url = private_redis()
    try:
        return 0 if demo(url) else 1
    finally:
        proc.kill()
        proc.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
