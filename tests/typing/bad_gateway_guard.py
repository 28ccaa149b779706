from mcp.server import MCPServer

import velnor
from velnor.mcp import guard


def wrong(server: MCPServer, verifier: velnor.Verifier) -> None:
    guard(server, verifier)  # the guard takes a Gateway, not a bare verifier
