"""What velnor.mcp's guard adds to one MCP tool call.

A trivial (async, so no worker thread) tool is called through the real SDK
on an in-process session, on an unguarded server and on the same server
guarded, in short alternating batches of one run, so the machine's drift
hits all alike. Reported per call: the median time of each, and the guard's
added time (the median over batches of guarded minus the unguarded batch
beside it) and its share, for a bearer token and for a holder-bound token
with a fresh proof per call, on both in-process paths (the 2026 direct
dispatch and the handshake-era JSON-RPC streams). "unguarded + _meta" sends
the same token to the unguarded server: what the SDK itself costs to carry
it, which any scheme putting the token in `_meta` pays.

Run with `make bench-mcp`.
"""

from __future__ import annotations

import argparse
import statistics
import time
from collections.abc import Awaitable, Callable

import anyio
from mcp import Client
from mcp.server import MCPServer

import velnor
from velnor.mcp import CapabilityClient, guard

ROOT_KEY = bytes(range(32))
AUDIT_KEY = bytes(range(32, 64))
AUDIENCE = "bench"


def server(guarded: bool) -> MCPServer:
    srv = MCPServer("bench")

    @srv.tool()
    async def ping(n: int = 0) -> str:
        return "pong"

    if guarded:
        verifier = velnor.Verifier(ROOT_KEY).with_audience(AUDIENCE).with_nonce_store(velnor.MemoryNonceStore())
        guard(srv, velnor.Gateway(verifier, velnor.Auditor(AUDIT_KEY)), audience=AUDIENCE)
    return srv


async def per_call(call: Callable[[], Awaitable[object]], calls: int) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        await call()
    return (time.perf_counter() - start) / calls * 1e6


async def measure(mode: str, rounds: int, calls: int) -> None:
    issuer = velnor.Issuer.from_key(ROOT_KEY)
    bearer = issuer.issue("bench").caveat("now <= @2100-01-01T00:00:00Z").caveat('tool == "ping"').build()
    key = velnor.HolderKey(bytes(range(64, 96)))
    bound = issuer.issue("bench-bound").holder_of_key(key.public_key).caveat('tool == "ping"').build()
    async with Client(server(False), mode=mode) as plain, Client(server(True), mode=mode) as guarded:
        with_token = CapabilityClient(guarded, bearer, caller="agent")
        with_proof = CapabilityClient(guarded, bound, holder=key, caller="agent", audience=AUDIENCE)
        for helper in (with_token, with_proof):   # the guard must allow, or the numbers mean nothing
            result = await helper.call_tool("ping", {"n": 1})
            assert not result.is_error, result.content
        token_meta = with_token.meta("ping", {"n": 1})
        runs: dict[str, Callable[[], Awaitable[object]]] = {
            "unguarded": lambda: plain.call_tool("ping", {"n": 1}),
            "unguarded + _meta": lambda: plain.call_tool("ping", {"n": 1}, meta=token_meta),
            "bearer token": lambda: with_token.call_tool("ping", {"n": 1}),
            "token + proof": lambda: with_proof.call_tool("ping", {"n": 1}),
        }
        times: dict[str, list[float]] = {name: [] for name in runs}
        for _ in range(rounds):
            for name, call in runs.items():
                times[name].append(await per_call(call, calls))
    base = statistics.median(times["unguarded"])
    print(f"\nin-process session, mode={mode!r}: {rounds} alternating batches of {calls} calls")
    print(f"  {'unguarded':<18} {base:8.1f} us/call")
    for name in ("unguarded + _meta", "bearer token", "token + proof"):
        # The added time is taken round by round against the unguarded run
        # beside it, then the median, so drift between rounds cancels.
        added = statistics.median(g - u for g, u in zip(times[name], times["unguarded"]))
        print(f"  {name:<18} {statistics.median(times[name]):8.1f} us/call   "
              f"adds {added:6.1f} us ({added / base * 100:5.1f}%)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=120)
    parser.add_argument("--calls", type=int, default=20)
    args = parser.parse_args()
    for mode in ("auto", "legacy"):
        anyio.run(measure, mode, args.rounds, args.calls)


if __name__ == "__main__":
    main()
