"""The README's quickstart and denial-handling examples run as written."""

from __future__ import annotations

import base64
import json
import os
import re
from pathlib import Path
from typing import Any

import pytest

import velnor

README = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")


def example(heading: str) -> str:
    found = re.search(re.escape(heading) + r"\n.*?```python\n(.*?)```", README, re.S)
    assert found, f"no python example under {heading!r}"
    return found.group(1)


def test_quickstart(capsys: pytest.CaptureFixture[str]) -> None:
    exec(example("## Quickstart"), {})
    assert capsys.readouterr().out.strip() == "{'kind': 'allowed'}"


@pytest.fixture
def gateway() -> dict[str, Any]:
    root_key, audit_key = os.urandom(32), os.urandom(32)
    ran: list[dict[str, Any]] = []
    ns: dict[str, Any] = {
        "Capability": velnor.Capability, "verifier": velnor.Verifier(root_key),
        "auditor": velnor.Auditor(audit_key), "receipts": [],
        "TOOLS": {"search": lambda **args: ran.append(args) or "ran"},
        "token": velnor.Issuer.from_key(root_key).issue("agent-7").caveat('tool == "search"')
        .caveat("arg.limit <= 50").build().serialize(),
        "ran": ran, "audit_key": audit_key,
    }
    exec(example("### Handling a denial"), ns)
    return ns


@pytest.mark.parametrize("tool,args,reason", [
    ("delete", {"limit": 1}, 'caveat failed: tool == "search"'),
    ("search", {"limit": 51}, "caveat failed: arg.limit <= 50"),
    ("search", {"limit": 10.0}, 'caveat eval error in "arg.limit <= 50": type mismatch: expected integer-syntactic'),
])
def test_a_denial_raises_with_its_reason_and_keeps_the_receipt(gateway: dict[str, Any], tool: str,
                                                               args: dict[str, Any], reason: str) -> None:
    with pytest.raises(PermissionError) as e:
        gateway["run_tool"](gateway["token"], tool, args, "agent-7")
    assert str(e.value).startswith(reason)
    assert gateway["ran"] == []
    [receipt] = gateway["receipts"]
    velnor.Auditor(gateway["audit_key"]).verify(receipt)
    assert json.loads(receipt)["outcome"]["reason"] == str(e.value)


def test_an_allowed_call_runs_the_tool(gateway: dict[str, Any]) -> None:
    assert gateway["run_tool"](gateway["token"], "search", {"limit": 50}, "agent-7") == "ran"
    assert gateway["ran"] == [{"limit": 50}] and len(gateway["receipts"]) == 1


def test_an_untrusted_token_is_refused_without_a_receipt(gateway: dict[str, Any]) -> None:
    token = gateway["token"]
    doc = json.loads(base64.urlsafe_b64decode(token + "=" * (-len(token) % 4)))
    doc["caveats"] = doc["caveats"][:1]  # drop the argument bound
    forged = base64.urlsafe_b64encode(json.dumps(doc).encode()).rstrip(b"=").decode()
    with pytest.raises(PermissionError, match="capability refused"):
        gateway["run_tool"](forged, "search", {"limit": 10_000}, "agent-7")
    assert gateway["ran"] == [] and gateway["receipts"] == []


def test_errors_example_answers_by_class(gateway: dict[str, Any]) -> None:
    ns = {"verifier": gateway["verifier"], "auditor": gateway["auditor"]}
    exec(example("## Errors"), ns)
    answer, token = ns["answer"], gateway["token"]
    call = json.dumps({"nowMs": 0, "caller": "a", "tool": "search", "args": {"limit": 1}})
    assert answer(token, call)[0] == 200
    assert answer(token, call.replace('"limit": 1', '"limit": 99')) == (403, "caveat failed: arg.limit <= 50")
    assert answer("not+base64", call) == (401, "capability refused")
    stranger = velnor.Issuer.from_key(b"another").issue("x").caveat('tool == "search"').build()
    assert answer(stranger.serialize(), call) == (401, "capability refused")
    status, message = answer(token, "{")
    assert status == 400 and message.startswith("invalid context JSON: ")
