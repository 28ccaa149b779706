"""velnor.mcp on the real MCP SDK: a guarded server reached in process (both
protocol eras) and as a stdio subprocess. Every case checks whether the tool
body ran (its trace in the server's folder) and that the receipt, when there
is one, verifies under the auditor and records this call."""

import json
import os
import subprocess
import sys
from pathlib import Path

import anyio
import pytest
from mcp import Client, StdioServerParameters
from mcp.server import MCPServer, Server
from mcp.shared.exceptions import MCPError
from mcp_types import CallToolRequestParams, CallToolResult, ListToolsResult, TextContent, Tool

import velnor
from velnor.mcp import CALLER_KEY, CAPABILITY_KEY, EXTENSION, CapabilityClient, guard, receipt_of

from conftest import forge, make_token, token_doc
from mcp_server import AUDIENCE, AUDIT_KEY, ROOT_KEY, build

SERVER = str(Path(__file__).with_name("mcp_server.py"))
SESSION_SECONDS = 60  # bound on one whole session, subprocess start included
AUDITOR = velnor.Auditor(AUDIT_KEY)
ISSUER = velnor.Issuer.from_key(ROOT_KEY)
HOLDER = velnor.HolderKey(bytes(range(7, 39)))
CALLER = "agent-7"

# tool -> (arguments within bounds, the bounded argument, its bound)
TOOLS = {
    "search": ({"q": "tides", "limit": 3}, "limit", 10),
    "write_file": ({"name": "note.txt", "text": "hi", "copies": 2}, "copies", 2),
}


def connect(kind: str, folder: Path, **options) -> Client:
    if kind == "stdio":
        args = [SERVER, str(folder)] + (["--require-proof"] if options.get("require_proof") else [])
        # The whole environment, so a sanitizer run's preload and path reach the server too.
        return Client(StdioServerParameters(command=sys.executable, args=args, env=dict(os.environ)))
    return Client(build(folder, **options), mode="legacy" if kind == "legacy" else "auto")


def ran(folder: Path) -> list[str]:
    trace = folder / "ran.log"
    return trace.read_text().splitlines() if trace.exists() else []


def text_of(result: CallToolResult) -> str:
    assert len(result.content) == 1 and isinstance(result.content[0], TextContent)
    return result.content[0].text


def caps_for(tool: str) -> dict[str, str]:
    _, field, bound = TOOLS[tool]
    preds = [f'tool == "{tool}"', f"arg.{field} <= {bound}"]
    good = ISSUER.issue(f"{CALLER}/{tool}").caveat(preds[0]).caveat(preds[1]).build()
    tampered = token_doc(good)
    tampered["caveats"] = tampered["caveats"][:1]   # the holder dropped its bound
    return {
        "good": good.serialize(),
        "expired": ISSUER.issue(f"{CALLER}/old").caveat("now <= @2020-01-01T00:00:00Z")
                         .caveat(preds[0]).build().serialize(),
        "foreign": forge(b"another issuer's root key 32 b!!", f"{CALLER}/{tool}", preds).serialize(),
        "tampered": make_token(tampered),
        "bound": ISSUER.issue(f"{CALLER}/bound/{tool}").holder_of_key(HOLDER.public_key)
                       .caveat(preds[0]).caveat(preds[1]).build().serialize(),
    }


async def tool_cases(client: Client, folder: Path, tool: str, kind: str) -> None:
    args, field, bound = TOOLS[tool]
    other = next(t for t in TOOLS if t != tool)
    caps = caps_for(tool)
    plain = CapabilityClient(client, caps["good"], caller=CALLER)
    # Handshake-era connections carry no capability extensions: the client is told the audience.
    given = AUDIENCE if kind == "legacy" else None
    holder = CapabilityClient(client, caps["bound"], holder=HOLDER, caller=CALLER, audience=given)
    assert holder.audience == AUDIENCE
    replayed = holder.meta(tool, args)

    def meta(cap: str) -> dict[str, str]:
        return CapabilityClient(client, cap, caller=CALLER).meta(tool, args)

    # (what, tool called, arguments, _meta, expected: "allowed" / ("denied", reason) / ("refused", text))
    cases = [
        ("allowed", tool, args, plain.meta(tool, args), "allowed"),
        ("another tool", other, TOOLS[other][0], plain.meta(other, TOOLS[other][0]),
         ("denied", f'caveat failed: tool == "{tool}"')),
        ("over the bound", tool, {**args, field: bound + 1}, plain.meta(tool, {**args, field: bound + 1}),
         ("denied", f"caveat failed: arg.{field} <= {bound}")),
        ("expired", tool, args, meta(caps["expired"]), ("denied", "caveat failed: now <= @2020-01-01T00:00:00Z")),
        ("another issuer", tool, args, meta(caps["foreign"]),
         ("refused", "capability chain integrity: invalid signature")),
        ("tampered", tool, {**args, field: bound + 5}, meta(caps["tampered"]),
         ("refused", "capability chain integrity: invalid signature")),
        ("missing token", tool, args, {CALLER_KEY: CALLER},
         ("refused", "velnor: no capability: the call's _meta must carry the token under 'velnor/capability'")),
        ("not a token", tool, args, {CAPABILITY_KEY: "%%%", CALLER_KEY: CALLER}, ("refused", "base64 decode failed: ")),
        ("bound, no proof", tool, args, meta(caps["bound"]),
         ("denied", "capability is bound to a holder key; use verify_with_proof")),
        ("bound, with proof", tool, args, replayed, "allowed"),
        ("the proof replayed", tool, args, replayed, ("denied", "proof already used")),
        ("a proof for other arguments", tool, {**args, field: 0}, holder.meta(tool, args),
         ("refused", "proof of possession: invalid signature")),
    ]
    for what, name, call_args, call_meta, expected in cases:
        before = len(ran(folder))
        result = await client.call_tool(name, call_args, meta=call_meta)
        body_ran = len(ran(folder)) > before
        receipt = receipt_of(result)
        label = f"{tool}: {what}"
        if expected == "allowed":
            assert not result.is_error, (label, result.content)
            assert body_ran, label
        else:
            kind, message = expected
            assert result.is_error and not body_ran, label
            assert text_of(result).startswith(message), (label, text_of(result))
            assert (receipt is None) == (kind == "refused"), label
        if receipt is not None:
            AUDITOR.verify(receipt)
            doc = json.loads(receipt)
            assert doc["context_summary"]["tool"] == name and doc["context_summary"]["caller"] == CALLER, label
            assert doc["outcome"] == ({"kind": "allowed"} if expected == "allowed"
                                      else {"kind": "denied", "reason": expected[1]}), label

    allowed = await plain.call_tool(tool, args)   # the helper end to end
    assert not allowed.is_error and json.loads(receipt_of(allowed) or "{}")["outcome"] == {"kind": "allowed"}
    if tool == "write_file":
        assert (folder / "note.txt").read_text() == "hihi"


@pytest.mark.parametrize("kind", ["inproc", "legacy", "stdio"])
def test_every_tool_behind_the_guard(kind, tmp_path):
    async def scenario() -> None:
        with anyio.fail_after(SESSION_SECONDS):
            async with connect(kind, tmp_path) as client:
                for tool in TOOLS:
                    await tool_cases(client, tmp_path, tool, kind)

    anyio.run(scenario)
    # Exactly the allowed calls ran: two per tool in the table, one through the helper.
    assert [line.split()[0] for line in ran(tmp_path)] == ["search"] * 3 + ["write_file"] * 3


def test_listing_is_unchanged_and_a_failing_tool_keeps_its_receipt(tmp_path):
    async def scenario() -> None:
        with anyio.fail_after(SESSION_SECONDS):
            async with Client(build(tmp_path, guarded=False)) as plain, Client(build(tmp_path)) as guarded:
                assert (await plain.list_tools()).tools == (await guarded.list_tools()).tools
                cap = ISSUER.issue(CALLER).caveat('tool == "explode"').build()
                result = await CapabilityClient(guarded, cap, caller=CALLER).call_tool("explode")
                assert result.is_error and text_of(result) == "Error executing tool explode"
                assert json.loads(receipt_of(result) or "{}")["outcome"] == {"kind": "allowed"}

    anyio.run(scenario)
    assert ran(tmp_path) == ["explode"]


@pytest.mark.parametrize("kind", ["inproc", "stdio"])
def test_a_server_that_requires_proofs(kind, tmp_path):
    async def scenario() -> None:
        with anyio.fail_after(SESSION_SECONDS):
            async with connect(kind, tmp_path, require_proof=True) as client:
                assert client.server_capabilities.extensions == {
                    EXTENSION: {"proof": "required", "audience": AUDIENCE}}
                cap = ISSUER.issue(CALLER).caveat('tool == "search"').build()
                refused = await CapabilityClient(client, cap, caller=CALLER).call_tool("search", {"q": "x"})
                assert refused.is_error and receipt_of(refused) is None
                assert text_of(refused) == ("velnor: this server accepts only calls with a proof of possession "
                                            "under 'velnor/proof'")
                bound = ISSUER.issue(CALLER).holder_of_key(HOLDER.public_key).caveat('tool == "search"').build()
                ok = await CapabilityClient(client, bound, holder=HOLDER, caller=CALLER).call_tool("search", {"q": "y"})
                assert not ok.is_error

    anyio.run(scenario)
    assert ran(tmp_path) == ["search y 5"]


def test_caller_comes_from_identify_or_the_declared_name(tmp_path):
    async def scenario(identify, declared) -> CallToolResult:
        server = build(tmp_path, guarded=False)
        gateway = velnor.Gateway(velnor.Verifier(ROOT_KEY), AUDITOR)
        guard(server, gateway, identify=identify)
        cap = ISSUER.issue(CALLER).caveat('caller == "agent-7"').build()
        with anyio.fail_after(SESSION_SECONDS):
            async with Client(server) as client:
                return await CapabilityClient(client, cap, caller=declared).call_tool("search", {"q": "c"})

    cases = [
        (None, "agent-7", None),
        (None, "agent-8", 'caveat failed: caller == "agent-7"'),
        (None, None, "velnor: no caller: the transport authenticates none and _meta carries no 'velnor/caller'"),
        (lambda ctx: "agent-7", "agent-8", None),              # the server's identity wins over the claim
        (lambda ctx: None, "agent-7", "velnor: no caller"),
    ]
    for identify, declared, error in cases:
        result = anyio.run(scenario, identify, declared)
        assert result.is_error == (error is not None)
        if error is not None:
            assert text_of(result).startswith(error)
    assert len(ran(tmp_path)) == 2


def test_a_handler_registered_after_the_guard_is_refused(tmp_path):
    server = build(tmp_path)
    low = server._lowlevel_server

    async def bypass(ctx, params: CallToolRequestParams) -> CallToolResult:
        (tmp_path / "ran.log").write_text("bypass\n")
        return CallToolResult(content=[TextContent(type="text", text="unguarded")])

    low.add_request_handler("tools/call", CallToolRequestParams, bypass)

    async def scenario() -> None:
        with anyio.fail_after(SESSION_SECONDS):
            async with Client(server) as client:
                with pytest.raises(MCPError, match="replaced after the guard"):
                    await client.call_tool("search", {"q": "x"})

    anyio.run(scenario)
    assert ran(tmp_path) == []


def test_guard_on_a_low_level_server_and_its_refusals(tmp_path):
    calls = []

    async def list_tools(ctx, params) -> ListToolsResult:
        return ListToolsResult(tools=[Tool(name="echo", input_schema={"type": "object"})])

    async def call_tool(ctx, params: CallToolRequestParams) -> CallToolResult:
        calls.append(params.arguments)
        return CallToolResult(content=[TextContent(type="text", text="echo")], _meta={"mine": 1})

    server = Server("low", on_list_tools=list_tools, on_call_tool=call_tool)
    gateway = velnor.Gateway(velnor.Verifier(ROOT_KEY), AUDITOR)
    guard(server, gateway)
    with pytest.raises(ValueError, match="already guarded"):
        guard(server, gateway)
    with pytest.raises(ValueError, match="no tools/call handler"):
        guard(Server("no tools"), gateway)
    with pytest.raises(TypeError, match="gateway must be a velnor.Gateway"):
        guard(Server("x", on_call_tool=call_tool), object())  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="server must be an mcp Server or MCPServer"):
        guard(object(), gateway)  # type: ignore[arg-type]

    async def scenario() -> None:
        cap = ISSUER.issue(CALLER).caveat('tool == "echo"').build()
        with anyio.fail_after(SESSION_SECONDS):
            async with Client(server) as client:
                result = await CapabilityClient(client, cap, caller=CALLER).call_tool("echo", {"n": [1, 2.5]})
                assert result.meta is not None and result.meta["mine"] == 1   # the tool's own _meta is kept
                AUDITOR.verify(receipt_of(result) or "")
                bad = await client.call_tool("echo", {}, meta={CAPABILITY_KEY: 7, CALLER_KEY: CALLER})
                assert text_of(bad) == "velnor: 'velnor/capability' and 'velnor/proof' in _meta must be strings"

    anyio.run(scenario)
    assert calls == [{"n": [1, 2.5]}]


def test_client_helper_refusals():
    cap = ISSUER.issue(CALLER).caveat('tool == "search"').build()
    server = MCPServer("x")
    client = Client(server)
    with pytest.raises(ValueError, match="pass caller="):
        CapabilityClient(client, cap, holder=HOLDER)
    with pytest.raises(TypeError, match="capability must be str or velnor.Capability"):
        CapabilityClient(client, b"token")  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="holder must be a velnor.HolderKey"):
        CapabilityClient(client, cap, holder=b"seed", caller=CALLER)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="base64 decode failed"):
        CapabilityClient(client, "+++")
    helper = CapabilityClient(client, cap.serialize(), caller=CALLER, audience="given")
    assert helper.audience == "given"
    assert helper.meta("search", {}) == {CAPABILITY_KEY: cap.serialize(), CALLER_KEY: CALLER}
    with pytest.raises(ValueError, match="not a JSON number"):
        CapabilityClient(client, ISSUER.issue("b").holder_of_key(HOLDER.public_key).caveat("tool == \"x\"").build(),
                         holder=HOLDER, caller=CALLER, audience="a").meta("x", {"v": float("nan")})


def test_velnor_imports_without_the_sdk():
    # A meta-path entry of None makes `import mcp` fail as if it were not installed.
    code = ("import sys\n"
            "for name in ('mcp', 'mcp_types'): sys.modules[name] = None\n"
            "import velnor\n"
            "assert velnor.Gateway\n"
            "try:\n"
            "    import velnor.mcp\n"
            "except ImportError as e:\n"
            "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=True)
    assert "velnor.mcp needs the MCP SDK, installed with the extra: pip install 'velnor[mcp]'" in out.stdout
