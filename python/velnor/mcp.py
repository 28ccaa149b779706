"""Capabilities on Model Context Protocol servers and clients.

`guard(server, gateway)` makes every `tools/call` of an MCP server carry a
capability token in its `_meta` (and, for holder-bound tokens or where the
server asks for one, a proof of possession), checks it with a
`velnor.Gateway`, runs the tool only when the call is allowed, and returns the
signed receipt in the result's `_meta`. `CapabilityClient` attaches the token
(and a fresh proof per call) on the client side.

Needs the MCP SDK: ``pip install 'velnor[mcp]'``.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any, Final, cast

try:
    from mcp import Client, ClientSession
    from mcp.server import MCPServer, Server, ServerRequestContext
    from mcp.server.auth.middleware.auth_context import get_access_token
    from mcp.server.context import CallNext, HandlerResult
    from mcp.shared.exceptions import MCPError
    from mcp_types import INTERNAL_ERROR, CallToolRequestParams, CallToolResult, RequestParamsMeta, TextContent
    from pydantic import BaseModel
except ImportError as missing:  # pragma: no cover - exercised in a subprocess without the SDK
    raise ImportError(
        "velnor.mcp needs the MCP SDK, installed with the extra: pip install 'velnor[mcp]' "
        f"({missing})", name=missing.name) from missing

from velnor._gateway import Gateway, context_json, require_type
from velnor._holder import HolderKey
from velnor._native import Capability

__all__ = ["CALLER_KEY", "CAPABILITY_KEY", "EXTENSION", "PROOF_KEY", "RECEIPT_KEY",
           "CapabilityClient", "Identify", "guard", "receipt_of"]

CAPABILITY_KEY: Final = "velnor/capability"
"""Request `_meta` key: the capability token (text)."""
PROOF_KEY: Final = "velnor/proof"
"""Request `_meta` key: the proof of possession for this one call (text)."""
CALLER_KEY: Final = "velnor/caller"
"""Request `_meta` key: the caller name the client declares. Used only where
the transport gives no authenticated identity, so on its own it is a claim,
not a proof: bind the capability to the agent's key when the caller matters."""
RECEIPT_KEY: Final = "velnor/receipt"
"""Result `_meta` key: the signed receipt JSON of the decision."""
EXTENSION: Final = "dev.velnor/capability"
"""The server capability extension under which a guarded server announces
its proof audience and policy: `{"audience": ..., "proof": ...}`."""

Identify = Callable[[ServerRequestContext[Any, Any]], "str | None"]
"""Names the caller of one request, or `None` when it cannot."""


def _tool_error(message: str, receipt: str | None = None) -> CallToolResult:
    return CallToolResult(content=[TextContent(type="text", text=message)], is_error=True,
                          _meta=None if receipt is None else {RECEIPT_KEY: receipt})


def _with_receipt(result: HandlerResult, receipt: str) -> HandlerResult:
    if isinstance(result, BaseModel) and hasattr(result, "meta"):
        return result.model_copy(update={"meta": _merged(getattr(result, "meta", None), receipt)})
    if isinstance(result, dict):
        return {**result, "_meta": _merged(result.get("_meta"), receipt)}
    return result


def _merged(meta: object, receipt: str) -> dict[str, Any]:
    own = cast("dict[str, Any]", meta) if isinstance(meta, dict) else {}
    return {**own, RECEIPT_KEY: receipt}


def _default_identify(ctx: ServerRequestContext[Any, Any]) -> str | None:
    """The transport's authenticated client where there is one (the SDK's
    bearer-token auth on HTTP), else the caller declared in `_meta`."""
    token = get_access_token()
    if token is not None:
        return token.client_id
    declared = (ctx.meta or {}).get(CALLER_KEY)
    return declared if isinstance(declared, str) else None


def _lowlevel(server: object) -> Server[Any]:
    if isinstance(server, MCPServer):
        # The SDK's own in-process client reaches the low-level server the
        # same way; MCPServer has no public accessor for it.
        server = getattr(server, "_lowlevel_server", None)  # pyright: ignore[reportUnknownArgumentType]
    if not isinstance(server, Server):
        raise TypeError(f"server must be an mcp Server or MCPServer, not {type(server).__name__}")
    return server  # pyright: ignore[reportUnknownVariableType]


def guard(server: Server[Any] | MCPServer[Any], gateway: Gateway, *, audience: str | None = None,
          require_proof: bool = False, env: Mapping[str, str] | None = None,
          identify: Identify | None = None) -> None:
    """Put every tool of `server` behind `gateway`, whichever tools it has.

    Each `tools/call` must carry a token under `_meta["velnor/capability"]`;
    a holder-bound token, or any token when `require_proof` is set, also a
    proof under `_meta["velnor/proof"]`. The context is the tool's name, its
    arguments as sent, the caller (`identify`, by default the authenticated
    client or else `_meta["velnor/caller"]`), `env`, and the gateway's clock.
    Allowed: the tool runs and its result carries the receipt under
    `_meta["velnor/receipt"]`. Denied or refused: the tool does not run and
    the client gets a tool error with the reason or the error's message (and
    the receipt, when there is one). `audience` is announced to clients (the
    gateway's verifier must accept proofs for it). Register the server's
    tools first: a `tools/call` handler replaced after this call is refused.
    """
    require_type(gateway, Gateway, "gateway must be a velnor.Gateway")
    if audience is not None:
        require_type(audience, str, "audience must be str or None")
    low = _lowlevel(server)
    entry = low.get_request_handler("tools/call")
    if entry is None:
        raise ValueError("the server has no tools/call handler to guard")
    if getattr(entry.handler, "__velnor_guard__", False):
        raise ValueError("the server's tools are already guarded")
    inner = entry.handler
    name_caller = identify if identify is not None else _default_identify
    fixed_env = None if env is None else dict(env)

    async def guarded(ctx: ServerRequestContext[Any, Any], params: CallToolRequestParams) -> HandlerResult:
        meta = params.meta or {}
        token = meta.get(CAPABILITY_KEY)
        proof = meta.get(PROOF_KEY)
        if token is None:
            return _tool_error(f"velnor: no capability: the call's _meta must carry the token under {CAPABILITY_KEY!r}")
        if not isinstance(token, str) or not (proof is None or isinstance(proof, str)):
            return _tool_error(f"velnor: {CAPABILITY_KEY!r} and {PROOF_KEY!r} in _meta must be strings")
        if require_proof and proof is None:
            return _tool_error(f"velnor: this server accepts only calls with a proof of possession under {PROOF_KEY!r}")
        caller = name_caller(ctx)
        if caller is None:
            return _tool_error(f"velnor: no caller: the transport authenticates none and _meta carries no {CALLER_KEY!r}")
        arguments: Mapping[str, Any] = {} if params.arguments is None else params.arguments
        try:
            decision = gateway.check(token, tool=params.name, args=arguments, caller=caller,
                                     env=fixed_env, proof=proof)
        except (ValueError, TypeError) as refused:
            return _tool_error(str(refused))
        if not decision:
            return _tool_error(decision.reason or "denied", decision.receipt)
        return _with_receipt(await inner(ctx, params), decision.receipt)

    guarded.__velnor_guard__ = True  # type: ignore[attr-defined]

    async def still_guarded(ctx: ServerRequestContext[Any, Any], call_next: CallNext) -> HandlerResult:
        # A later registration would put a handler in front of the tools with
        # no check at all; refuse the call instead of running it.
        if ctx.method == "tools/call":
            current = low.get_request_handler("tools/call")
            if current is None or current.handler is not guarded:
                raise MCPError(code=INTERNAL_ERROR,
                               message="velnor: the tools/call handler was replaced after the guard; refusing the call")
        return await call_next(ctx)

    params_type = entry.params_type
    if not issubclass(params_type, CallToolRequestParams):
        raise TypeError(f"the server's tools/call handler takes {params_type.__name__}, not CallToolRequestParams")
    low.add_request_handler("tools/call", params_type, guarded)
    low.middleware.append(still_guarded)
    announced: dict[str, Any] = {"proof": "required" if require_proof else "holder-bound"}
    if audience is not None:
        announced["audience"] = audience
    low.extensions[EXTENSION] = announced


def receipt_of(result: CallToolResult) -> str | None:
    """The receipt a guarded server attached to a tool result, if any."""
    receipt = (result.meta or {}).get(RECEIPT_KEY)
    return receipt if isinstance(receipt, str) else None


class CapabilityClient:
    """Calls tools of a guarded server with a capability attached.

    `client` is a connected `mcp.Client` or `mcp.ClientSession`. With a
    `holder`, every call carries a fresh proof for the server's announced
    audience (or `audience`, when given) and needs `caller`, which the proof
    covers. Without one, `caller` is declared under `_meta["velnor/caller"]`
    for servers that have no authenticated identity for this client.
    """

    __slots__ = ("_client", "_token", "_cap", "_holder", "_caller", "_audience")

    def __init__(self, client: Client | ClientSession, capability: Capability | str, *,
                 holder: HolderKey | None = None, caller: str | None = None,
                 audience: str | None = None) -> None:
        if isinstance(capability, Capability):
            self._cap = capability
            self._token = capability.serialize()
        else:
            require_type(capability, str, "capability must be str or velnor.Capability")
            self._cap = Capability.parse(capability)
            self._token = capability
        if holder is not None:
            require_type(holder, HolderKey, "holder must be a velnor.HolderKey")
        if holder is not None and caller is None:
            raise ValueError("a holder's proof covers the caller: pass caller=")
        self._client = client
        self._holder = holder
        self._caller = caller
        self._audience = audience

    @property
    def audience(self) -> str | None:
        """The audience proofs are made for: the one given, else the one the
        server announces."""
        if self._audience is not None:
            return self._audience
        extensions: object = getattr(self._client.server_capabilities, "extensions", None)
        announced = cast("dict[str, object]", extensions).get(EXTENSION) if isinstance(extensions, dict) else None
        value = cast("dict[str, object]", announced).get("audience") if isinstance(announced, dict) else None
        return value if isinstance(value, str) else None

    def meta(self, name: str, arguments: Mapping[str, Any]) -> dict[str, Any]:
        """The `_meta` entries for one call; a proof is single-use, so build
        them afresh for every request (each round of a multi-round call too)."""
        meta: dict[str, Any] = {CAPABILITY_KEY: self._token}
        if self._caller is not None:
            meta[CALLER_KEY] = self._caller
        if self._holder is not None:
            audience = self.audience
            if audience is None:
                raise ValueError("the server announces no audience for proofs; pass audience=")
            assert self._caller is not None  # checked in __init__
            ctx = context_json(tool=name, args=arguments, caller=self._caller)
            meta[PROOF_KEY] = self._holder.prove(self._cap, ctx, audience)
        return meta

    async def call_tool(self, name: str, arguments: Mapping[str, Any] | None = None, *,
                        meta: Mapping[str, Any] | None = None,
                        read_timeout_seconds: float | None = None) -> CallToolResult:
        """`call_tool` with the capability (and proof) in `_meta`. A denial
        comes back as the server's tool error; see `receipt_of`."""
        args = {} if arguments is None else dict(arguments)
        merged: dict[str, Any] = {**(meta or {}), **self.meta(name, args)}
        return await self._client.call_tool(name, args, read_timeout_seconds=read_timeout_seconds,
                                            meta=cast(RequestParamsMeta, merged))
