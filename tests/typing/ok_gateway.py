"""Typed use of velnor.Gateway, velnor.Decision and velnor.mcp: must pass
mypy --strict and pyright in strict mode."""

from collections.abc import Mapping

from mcp import Client
from mcp.server import MCPServer, Server, ServerRequestContext
from mcp_types import CallToolResult

import velnor
from velnor import Decision, Gateway
from velnor.mcp import CAPABILITY_KEY, CapabilityClient, guard, receipt_of


def gateways(verifier: velnor.Verifier, auditor: velnor.Auditor, log: velnor.ReceiptLog) -> list[Gateway]:
    kept: list[str] = []

    def sink(receipt: str) -> None:
        kept.append(receipt)

    return [Gateway(verifier, auditor), Gateway(verifier, auditor, receipts=kept),
            Gateway(verifier, auditor, receipts=kept.append), Gateway(verifier, auditor, receipts=sink),
            Gateway(verifier, auditor, receipts=log)]


def decide(gateway: Gateway, cap: velnor.Capability, token: str, proof: str | None,
           env: Mapping[str, str]) -> tuple[bool, str | None, str]:
    d: Decision = gateway.check(cap, tool="search", args={"q": "x", "n": [1, 2.5, None]}, caller="a")
    e = gateway.check(token, tool="t", args={}, caller="a", env=env, proof=proof, now_ms=1_700_000_000_000)
    if e:
        return True, None, e.receipt
    allowed: bool = d.allowed
    reason: str | None = d.reason
    identifier: str = d.identifier
    return allowed, reason, identifier


def protect(server: MCPServer, low: Server, gateway: Gateway) -> None:
    def who(ctx: ServerRequestContext) -> str | None:
        return None if ctx.meta is None else "agent-7"

    guard(server, gateway, audience="gw-1", require_proof=True, env={"REGION": "eu"})
    guard(low, gateway, identify=who)


async def call(client: Client, cap: velnor.Capability, holder: velnor.HolderKey) -> str | None:
    helper = CapabilityClient(client, cap, holder=holder, caller="agent-7")
    audience: str | None = helper.audience
    meta = helper.meta("search", {"q": "x"})
    token: object = meta[CAPABILITY_KEY]
    result: CallToolResult = await helper.call_tool("search", {"q": "x"}, read_timeout_seconds=5.0)
    print(audience, token)
    return receipt_of(result)
