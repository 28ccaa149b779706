"""A guarded MCP server for the tests: two tools whose bodies leave a trace
in a folder (a line in ran.log; the writer also writes its file), so a test
sees whether a tool ran, in process or across a stdio subprocess.

Run as `python mcp_server.py FOLDER` to serve it over stdio."""

import sys
from pathlib import Path

from mcp.server import MCPServer

import velnor
from velnor.mcp import guard

ROOT_KEY = bytes(range(32))
AUDIT_KEY = b"audit-key-for-tests-0123456789ab"
AUDIENCE = "mcp-test-server"


def build(folder: Path, *, guarded: bool = True, require_proof: bool = False) -> MCPServer:
    server = MCPServer("velnor-test")
    trace = folder / "ran.log"

    @server.tool()
    def search(q: str, limit: int = 5) -> str:
        """Look something up (harmless)."""
        with trace.open("a") as f:
            f.write(f"search {q} {limit}\n")
        return f"{limit} results for {q}"

    @server.tool()
    def write_file(name: str, text: str, copies: int = 1) -> str:
        """Write text to a file in the server's folder."""
        with trace.open("a") as f:
            f.write(f"write_file {name} {copies}\n")
        (folder / Path(name).name).write_text(text * copies)
        return f"wrote {name}"

    @server.tool()
    def explode() -> str:
        """Always fails."""
        with trace.open("a") as f:
            f.write("explode\n")
        raise RuntimeError("the tool failed on its own")

    if guarded:
        verifier = velnor.Verifier(ROOT_KEY).with_audience(AUDIENCE).with_nonce_store(velnor.MemoryNonceStore())
        guard(server, velnor.Gateway(verifier, velnor.Auditor(AUDIT_KEY)), audience=AUDIENCE,
              require_proof=require_proof)
    return server


if __name__ == "__main__":
    build(Path(sys.argv[1]), require_proof="--require-proof" in sys.argv).run("stdio")
