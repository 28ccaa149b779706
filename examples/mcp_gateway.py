"""velnor in front of a Model Context Protocol server.

The server has two tools, `search` (harmless) and `write_note` (writes a file
in its folder), and `velnor.mcp.guard` puts both behind a gateway that keeps
every receipt in a hash-linked log. The client side launches the server as a
stdio subprocess, as an MCP host would, and tries: agent-7's allowed calls, a
narrowed sub-agent's call that is denied, a call with no capability, and a
holder-bound call whose proof is then replayed.

Run with `make mcp-demo`, or `python examples/mcp_gateway.py` once velnor is
installed with its extra (`pip install '.[mcp]'`).
"""

from __future__ import annotations

import hashlib
import json
import sys
import tempfile
from pathlib import Path

import anyio
from mcp import Client, StdioServerParameters
from mcp.server import MCPServer
from mcp_types import CallToolResult, TextContent

import velnor
from velnor.mcp import CALLER_KEY, CapabilityClient, guard, receipt_of


def demo_key(label: str) -> bytes:
    # Fixed keys so that the transcript is reproducible; a real service takes
    # them from a CSPRNG or a key-management system.
    return hashlib.sha256(b"velnor mcp demo / " + label.encode()).digest()


ROOT_KEY = demo_key("root key of the issuing service")
AUDIT_KEY = demo_key("audit key of the gateway")
AGENT_SEED = demo_key("ed25519 seed of agent-7")
AUDIENCE = "notes-server-1"


def serve(folder: Path) -> None:
    """The MCP server: plain tools, then one call that guards them all."""
    server = MCPServer("notes")

    @server.tool()
    def search(q: str, limit: int = 5) -> str:
        """Search the notes (harmless)."""
        return f"{limit} results for {q!r}"

    @server.tool()
    def write_note(name: str, text: str) -> str:
        """Write a note into the server's folder."""
        (folder / Path(name).name).write_text(text)
        return f"wrote {Path(name).name}"

    verifier = velnor.Verifier(ROOT_KEY).with_audience(AUDIENCE).with_nonce_store(velnor.MemoryNonceStore())
    log = velnor.ReceiptLog.open(f"sqlite:///{folder}/receipts.db")
    guard(server, velnor.Gateway(verifier, velnor.Auditor(AUDIT_KEY), receipts=log), audience=AUDIENCE)
    server.run("stdio")


def show(what: str, result: CallToolResult) -> None:
    text = " ".join(c.text for c in result.content if isinstance(c, TextContent))
    receipt = receipt_of(result)
    if receipt is None:
        verdict, note = "REFUSED", "no receipt"
    else:
        doc = json.loads(receipt)
        verdict = "ALLOWED" if doc["outcome"]["kind"] == "allowed" else "DENIED "
        note = f"receipt v{doc['version']} for {doc['context_summary']['caller']}, sig {doc['signature'][:12]}..."
    print(f"  > {what}\n    {verdict} {text}\n    ({note})")


async def client(folder: Path) -> None:
    issuer = velnor.Issuer.from_key(ROOT_KEY)
    agent_cap = (issuer.issue("agent-7/session-42")
                 .caveat("now <= @2030-01-01T00:00:00Z")
                 .caveat('tool == "search" OR tool == "write_note"')
                 .caveat('caller == "agent-7" OR caller == "sub-agent-3"')
                 .build())
    sub_cap = agent_cap.attenuate('tool == "search"').attenuate("arg.limit <= 10")
    agent_key = velnor.HolderKey(AGENT_SEED)
    bound_cap = (issuer.issue("agent-7/bound").holder_of_key(agent_key.public_key)
                 .caveat('tool == "write_note"').build())

    params = StdioServerParameters(command=sys.executable, args=[__file__, "serve", str(folder)])
    with anyio.fail_after(60):
        async with Client(params) as session:
            tools = (await session.list_tools()).tools
            print(f"server lists its tools unchanged: {', '.join(t.name for t in tools)}")
            print(f"and announces the audience for proofs: {session.server_capabilities.extensions}\n")

            agent = CapabilityClient(session, agent_cap, caller="agent-7")
            show("agent-7 searches", await agent.call_tool("search", {"q": "tides", "limit": 20}))
            show("agent-7 writes a note", await agent.call_tool("write_note", {"name": "a.txt", "text": "hello"}))

            sub = CapabilityClient(session, sub_cap, caller="sub-agent-3")
            show("sub-agent-3 (narrowed to search, limit <= 10) searches with limit 5",
                 await sub.call_tool("search", {"q": "tides", "limit": 5}))
            show("sub-agent-3 tries to write a note",
                 await sub.call_tool("write_note", {"name": "evil.txt", "text": "x"}))
            show("a call without a capability",
                 await session.call_tool("write_note", {"name": "b.txt", "text": "x"}, meta={CALLER_KEY: "anyone"}))

            holder = CapabilityClient(session, bound_cap, holder=agent_key, caller="agent-7")
            call = {"name": "signed.txt", "text": "proved"}
            meta = holder.meta("write_note", call)  # one proof, for this one call
            show("agent-7 writes with a bound capability and its proof",
                 await session.call_tool("write_note", call, meta=meta))
            show("someone replays that request", await session.call_tool("write_note", call, meta=meta))
            show("the proof reused for other arguments",
                 await session.call_tool("write_note", {"name": "signed.txt", "text": "forged"},
                                         meta=holder.meta("write_note", call)))

    print(f"\nfiles the tools wrote: {sorted(p.name for p in folder.glob('*.txt'))}")
    with velnor.ReceiptLog.open(f"sqlite:///{folder}/receipts.db") as log:
        report = log.verify(velnor.Auditor(AUDIT_KEY))
        print(f"receipt log: {report.count} receipts, every link and signature checks out: {report.ok}")
        for entry in log.tail(20):
            print(f"  {entry.sequence:>2} {entry.outcome:<8} {entry.tool:<11} {entry.caller}")


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "serve":
        serve(Path(sys.argv[2]))
        return
    print("velnor guarding an MCP server (stdio subprocess)\n")
    with tempfile.TemporaryDirectory() as folder:
        anyio.run(client, Path(folder))


if __name__ == "__main__":
    main()
