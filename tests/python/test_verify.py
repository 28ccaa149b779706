"""verify_with_context from context JSON to receipt JSON, and receipt
checking by another auditor."""

import json
import time

import pytest

import velnor

from conftest import AUDIT_KEY, HOLDER, ROOT_KEY, ctx, forge


def run(verifier, cap, auditor, ctx_json):
    return json.loads(verifier.verify_with_context(cap, ctx_json, auditor))


def test_allowed_receipt_shape(cap, verifier, auditor):
    text = verifier.verify_with_context(cap, ctx(args={"limit": 50}), auditor)
    receipt = json.loads(text)
    assert type(text) is str
    assert text == json.dumps(receipt, separators=(",", ":"), ensure_ascii=False)
    assert list(receipt) == ["version", "capability_identifier", "caveats", "context_summary",
                             "outcome", "timestamp_ms", "signature"]
    assert receipt["version"] == 1
    assert receipt["capability_identifier"] == "agent-7"
    assert receipt["caveats"] == [{"predicate": 'tool == "search"'}, {"predicate": "arg.limit <= 50"}]
    summary = receipt["context_summary"]
    assert list(summary) == ["caller", "tool", "args_hash"]
    assert summary["caller"] == "agent-7" and summary["tool"] == "search"
    assert len(summary["args_hash"]) == 64
    assert receipt["outcome"] == {"kind": "allowed"}
    assert receipt["timestamp_ms"] == 1_700_000_000_000
    assert len(receipt["signature"]) == 64
    assert auditor.verify(text) is None


@pytest.mark.parametrize("identifier, predicates", [
    ("agent-7", ['tool == "search"']),
    ('a"b\\c\n\x01/\x7f\u00e9\U0001f600', ['caller == "\u20ac\\n"', 'tool == "search"']),
    ("x" * 300, ["now <= @2030-01-01T00:00:00Z"] * 40),
])
def test_receipts_of_one_capability_object_match_a_fresh_copy(verifier, auditor, identifier, predicates):
    # A capability object writes its part of the receipt once; every later
    # receipt, allowed or denied, must carry the same bytes as one for a
    # copy that was never verified.
    # A parsed token brings that text with it; a built one writes it from the record.
    cap = forge(ROOT_KEY, identifier, predicates)
    builder = velnor.Issuer.from_key(ROOT_KEY).issue(identifier)
    for p in predicates:
        builder = builder.caveat(p)
    built = builder.build()
    for call in (ctx(), ctx(tool="delete"), ctx(caller="other")):
        first = verifier.verify_with_context(cap, call, auditor)
        again = verifier.verify_with_context(cap, call, auditor)
        fresh = verifier.verify_with_context(velnor.Capability.parse(cap.serialize()), call, auditor)
        assert first == again == fresh == verifier.verify_with_context(built, call, auditor)
        receipt = json.loads(first)
        assert receipt["capability_identifier"] == identifier
        assert [c["predicate"] for c in receipt["caveats"]] == predicates
        assert auditor.verify(first) is None


# (args of the call, outcome) for the capability `tool == "search" AND arg.limit <= 50`
DECISIONS = [
    ({"tool": "search", "args": {"limit": 50}}, {"kind": "allowed"}),
    ({"tool": "search", "args": {"limit": 51}},
     {"kind": "denied", "reason": "caveat failed: arg.limit <= 50"}),
    ({"tool": "delete", "args": {"limit": 1}},
     {"kind": "denied", "reason": 'caveat failed: tool == "search"'}),
    ({"tool": "search", "args": {}},
     {"kind": "denied",
      "reason": 'caveat eval error in "arg.limit <= 50": unknown identifier: arg.limit'}),
]


@pytest.mark.parametrize("call, outcome", DECISIONS)
def test_decisions_are_receipts(cap, verifier, auditor, call, outcome):
    text = verifier.verify_with_context(cap, ctx(**call), auditor)
    assert json.loads(text)["outcome"] == outcome
    assert velnor.Auditor(AUDIT_KEY).verify(text) is None


def test_number_text_reaches_evaluation(cap, verifier, auditor):
    # 10.0 is float-syntactic: the integer-domain rule refuses it against 50.
    reason = run(verifier, cap, auditor,
                 '{"nowMs":0,"caller":"c","tool":"search","args":{"limit":10.0}}')["outcome"]["reason"]
    assert reason.startswith('caveat eval error in "arg.limit <= 50": type mismatch: ')
    assert "float-syntactic numeric arg" in reason
    hashes = {run(verifier, cap, auditor,
                  '{"nowMs":0,"caller":"c","tool":"search","args":{"limit":%s}}' % n)
              ["context_summary"]["args_hash"] for n in ("10", "10.0", "1E1")}
    assert len(hashes) == 3


def test_holder_bound_capability_is_denied(issuer, verifier, auditor):
    cap = issuer.issue("h").holder_of_key(HOLDER).caveat('tool == "search"').build()
    outcome = run(verifier, cap, auditor, ctx())["outcome"]
    assert outcome == {"kind": "denied",
                       "reason": "capability is bound to a holder key; use verify_with_proof"}


def test_unparseable_caveat_from_another_minter_is_denied(verifier, auditor):
    cap = forge(ROOT_KEY, "legacy", ["tool =="])
    outcome = run(verifier, cap, auditor, ctx())["outcome"]
    assert outcome["kind"] == "denied"
    assert outcome["reason"].startswith('caveat parse error in "tool ==": parse error: ')


@pytest.mark.parametrize("root", [b"another key", ROOT_KEY[:16], ROOT_KEY + b"\1", b""])
def test_foreign_root_key_raises_without_receipt(verifier, auditor, root):
    cap = velnor.Issuer.from_key(root).issue("x").caveat('tool == "search"').build()
    with pytest.raises(ValueError, match="^capability chain integrity: invalid signature$"):
        verifier.verify_with_context(cap, ctx(), auditor)


def test_tampered_caveat_list_breaks_chain(cap, verifier, auditor):
    from conftest import make_token, token_doc
    for mutate in (lambda d: d["caveats"].pop(),
                   lambda d: d["caveats"].reverse(),
                   lambda d: d["caveats"][0].update(predicate='tool == "searcH"'),
                   lambda d: d.update(identifier="agent-8"),
                   lambda d: d.update(holder_of_key=HOLDER.hex()),
                   lambda d: d.update(signature=d["signature"][:-2])):
        doc = token_doc(cap)
        mutate(doc)
        bad = velnor.Capability.parse(make_token(doc))
        with pytest.raises(ValueError, match="^capability chain integrity: invalid signature$"):
            verifier.verify_with_context(bad, ctx(), auditor)


def test_bad_context_is_reported_before_the_chain(auditor):
    stranger = velnor.Verifier(b"not the root key")
    cap = velnor.Issuer.from_key(ROOT_KEY).issue("x").caveat('tool == "t"').build()
    with pytest.raises(ValueError, match="^invalid context JSON: "):
        stranger.verify_with_context(cap, "{", auditor)
    with pytest.raises(ValueError, match="^capability chain integrity"):
        stranger.verify_with_context(cap, ctx(), auditor)


# --- context input ------------------------------------------------------------

def nested(depth):
    return "[" * depth + "]" * depth


ACCEPTED_CONTEXTS = [
    '{"nowMs": 0, "caller": "a", "tool": "t", "args": {}}',
    '{"nowMs": null, "caller": "a", "tool": "t", "args": null}',
    '{"caller": "a", "tool": "t", "args": [1, "x", {"y": null}], "env": null}',
    '{"caller": "a", "tool": "t", "args": {}, "extra": [1, {"x": 2}]}',
    '{"caller": "a", "tool": "t", "args": {}, "now_ms": 5, "nowms": 6}',
    '[0, "a", "t", {}, null]',
    '[null, "a", "t", 1.5e3, {"REGION": "eu"}]',
    ' \t\r\n{"caller": "a", "tool": "t", "args": {}} \n',
    '{"caller": "a", "tool": "t", "args": %s}' % nested(126),
    '{"caller": "a", "tool": "t", "args": {}, "skip": %s}' % nested(500),
    '{"nowMs": 18446744073709551615, "caller": "a", "tool": "t", "args": {}}',
]


@pytest.mark.parametrize("text", ACCEPTED_CONTEXTS)
def test_accepted_contexts(verifier, auditor, text):
    cap = velnor.Issuer.from_key(ROOT_KEY).issue("x").caveat('caller == "a"').build()
    receipt = run(verifier, cap, auditor, text)
    assert receipt["outcome"] == {"kind": "allowed"}


# (context JSON, fragment of the message after "invalid context JSON: ")
REFUSED_CONTEXTS = [
    ('{"nowMs": 1.5, "caller": "a", "tool": "t", "args": {}}', ""),
    ('{"nowMs": -1, "caller": "a", "tool": "t", "args": {}}', ""),
    ('{"nowMs": 1e3, "caller": "a", "tool": "t", "args": {}}', ""),
    ('{"nowMs": 18446744073709551616, "caller": "a", "tool": "t", "args": {}}', ""),
    ('{"nowMs": "123", "caller": "a", "tool": "t", "args": {}}', ""),
    ('{"args": {}}', "missing field `caller`"),
    ('{"caller": "a", "args": {}}', "missing field `tool`"),
    ('{"caller": "a", "tool": "t"}', "missing field `args`"),
    ('{"caller": "a", "tool": "t", "tool": "u", "args": {}}', "duplicate field `tool`"),
    ('{"nowMs": null, "nowMs": 1, "caller": "a", "tool": "t", "args": {}}', "duplicate field `nowMs`"),
    ('{"caller": 1, "tool": "t", "args": {}}', ""),
    ('{"caller": "a", "tool": null, "args": {}}', ""),
    ('{"caller": "a", "tool": "t", "args": {}, "env": {"A": 1}}', ""),
    ('{"caller": "a", "tool": "t", "args": {}, "env": []}', ""),
    ('{"caller": "a", "tool": "t", "args": {}, "extra": [1,}', ""),
    ('[0, "a", "t", {}]', "invalid length 4, expected struct CtxIn with 5 elements"),
    ('[0, "a", "t", {}, null, 1]', ""),
    ('"ctx"', "expected struct CtxIn"),
    ("42", "expected struct CtxIn"),
    ("null", "expected struct CtxIn"),
    ('{"caller": "a", "tool": "t", "args": {}} {}', ""),
    ('{"caller": "a", "tool": "t", "args": %s}' % nested(127), "recursion limit exceeded"),
    ("", ""),
]


@pytest.mark.parametrize("text, fragment", REFUSED_CONTEXTS)
def test_refused_contexts(cap, verifier, auditor, text, fragment):
    with pytest.raises(ValueError, match="^invalid context JSON: ") as info:
        verifier.verify_with_context(cap, text, auditor)
    assert fragment in str(info.value)
    if fragment.startswith(("missing", "duplicate", "invalid length")):
        assert " at line " in str(info.value)


def test_env_reaches_caveats(issuer, verifier, auditor):
    cap = issuer.issue("x").caveat('env.REGION == "eu"').build()
    assert run(verifier, cap, auditor, ctx(env={"REGION": "eu"}))["outcome"]["kind"] == "allowed"
    assert run(verifier, cap, auditor, ctx(env={"REGION": "us"}))["outcome"]["kind"] == "denied"
    assert run(verifier, cap, auditor, ctx())["outcome"] == {
        "kind": "denied",
        "reason": 'caveat eval error in "env.REGION == \\"eu\\"": unknown identifier: env.REGION'}


@pytest.mark.parametrize("now_ms, ts", [(0, 0), (1_700_000_000_123, 1_700_000_000_123)])
def test_explicit_time(issuer, verifier, auditor, now_ms, ts):
    cap = (issuer.issue("x").caveat("now >= @1970-01-01T00:00:00Z")
           .caveat("now < @2023-11-14T22:13:20.124Z").build())
    receipt = run(verifier, cap, auditor, ctx(now_ms=now_ms))
    assert receipt["timestamp_ms"] == ts
    assert receipt["outcome"] == {"kind": "allowed"}
    late = run(verifier, cap, auditor, ctx(now_ms=1_700_000_000_124))
    assert late["outcome"]["kind"] == "denied"


@pytest.mark.parametrize("text", [
    '{"caller": "a", "tool": "t", "args": {}}',
    '{"nowMs": null, "caller": "a", "tool": "t", "args": {}}',
    '{"now_ms": 5, "caller": "a", "tool": "t", "args": {}}',
])
def test_clock_is_read_without_now_ms(cap, verifier, auditor, text):
    before = time.time_ns() // 1_000_000
    first = run(verifier, cap, auditor, text)["timestamp_ms"]
    time.sleep(0.003)
    second = run(verifier, cap, auditor, text)["timestamp_ms"]
    after = time.time_ns() // 1_000_000
    assert before <= first < second <= after


# --- receipts checked elsewhere --------------------------------------------------

@pytest.fixture
def denied_receipt(cap, verifier, auditor):
    return verifier.verify_with_context(cap, ctx(tool="delete"), auditor)


def edit(text, change):
    doc = json.loads(text)
    change(doc)
    return json.dumps(doc)


TAMPERS = [
    ("caller", lambda d: d["context_summary"].update(caller="mallory")),
    ("tool", lambda d: d["context_summary"].update(tool="search")),
    ("args_hash", lambda d: d["context_summary"].update(args_hash="0" * 64)),
    ("timestamp", lambda d: d.update(timestamp_ms=d["timestamp_ms"] + 1)),
    ("reason", lambda d: d["outcome"].update(reason="caveat failed: something else")),
    ("allowed", lambda d: d.update(outcome={"kind": "allowed"})),
    ("identifier", lambda d: d.update(capability_identifier="agent-8")),
    ("predicate", lambda d: d["caveats"][0].update(predicate='tool == "delete"')),
    ("caveat order", lambda d: d["caveats"].reverse()),
    ("short signature", lambda d: d.update(signature=d["signature"][:62])),
    ("flipped signature", lambda d: d.update(signature=("1" if d["signature"][0] == "0" else "0") + d["signature"][1:])),
]


@pytest.mark.parametrize("name, change", TAMPERS, ids=[t[0] for t in TAMPERS])
def test_tampered_receipt_fails(denied_receipt, name, change):
    other = velnor.Auditor(AUDIT_KEY)
    other.verify(denied_receipt)
    with pytest.raises(ValueError, match="^invalid signature$"):
        other.verify(edit(denied_receipt, change))


def test_receipt_survives_json_round_trip(denied_receipt):
    reordered = json.dumps(dict(reversed(list(json.loads(denied_receipt).items()))), indent=2)
    extra = edit(denied_receipt, lambda d: d.update(note="x") or d["outcome"].update(y=[1]))
    upper = edit(denied_receipt, lambda d: d.update(signature=d["signature"].upper()))
    for text in (reordered, extra, upper):
        assert velnor.Auditor(AUDIT_KEY).verify(text) is None


def test_other_key_rejects(denied_receipt):
    with pytest.raises(ValueError, match="^invalid signature$"):
        velnor.Auditor(AUDIT_KEY[:-1] + b"!").verify(denied_receipt)


RECEIPT_ERRORS = [
    (lambda d: d.update(version=2), "^invalid receipt JSON: missing field `proof`"),
    (lambda d: d.update(version=3), "^unsupported receipt schema version: got 3, expected 2$"),
    (lambda d: d.update(version=0), "^unsupported receipt schema version: got 0, expected 1$"),
    (lambda d: d.update(version=256), "^invalid receipt JSON: "),
    (lambda d: d.pop("timestamp_ms"), "^invalid receipt JSON: missing field `timestamp_ms`"),
    (lambda d: d.pop("caveats"), "^invalid receipt JSON: missing field"),
    (lambda d: d.update(signature=d["signature"][:63]), "^invalid receipt JSON: hex string has odd length"),
    (lambda d: d.update(signature="zz"), "^invalid receipt JSON: invalid digit found in string"),
    (lambda d: d["outcome"].update(kind="maybe"), "^invalid receipt JSON: "),
]


@pytest.mark.parametrize("change, message", RECEIPT_ERRORS)
def test_receipt_errors(denied_receipt, auditor, change, message):
    with pytest.raises(ValueError, match=message):
        auditor.verify(edit(denied_receipt, change))


@pytest.mark.parametrize("text", ["", "{", "[]", "null", "{} {}", '"receipt"'])
def test_receipt_not_json(auditor, text):
    with pytest.raises(ValueError, match="^invalid receipt JSON: "):
        auditor.verify(text)


@pytest.mark.parametrize("key, error", [
    (b"", "^Auditor key must be non-empty \\(angle B.3: zero-byte key produces forgeable receipts\\)$"),
    (b"k", "^Auditor: key length 1 < MIN_AUDIT_KEY_LEN \\(16\\); see audit$"),
    (bytes(15), "^Auditor: key length 15 < MIN_AUDIT_KEY_LEN \\(16\\); see audit$"),
    (bytes(16), None),
    (bytes(1000), None),
])
def test_audit_key_lengths(key, error):
    if error is None:
        assert type(velnor.Auditor(key)) is velnor.Auditor
    else:
        with pytest.raises(ValueError, match=error):
            velnor.Auditor(key)


def test_empty_root_keys_are_accepted(auditor):
    cap = velnor.Issuer.from_key(b"").issue("x").caveat('tool == "t"').build()
    receipt = run(velnor.Verifier(b""), cap, auditor, ctx(tool="t"))
    assert receipt["outcome"] == {"kind": "allowed"}


@pytest.mark.parametrize("audit_key", [ROOT_KEY, ROOT_KEY + b"\0", ROOT_KEY + bytes(32)],
                         ids=["same bytes", "one zero byte more", "zero padded to a block"])
def test_auditor_holding_the_root_key_is_refused(audit_key):
    # With one key for both, a denied receipt's signature is the root link of
    # a token whose identifier is the receipt's signing input; with no
    # caveats that token would be allowed for every call.
    issuer = velnor.Issuer.from_key(ROOT_KEY)
    cap = issuer.issue("agent-7").caveat('tool == "never"').build()
    with pytest.raises(ValueError, match="^the audit key must differ from the root key$"):
        velnor.Verifier(ROOT_KEY).verify_with_context(cap, ctx(), velnor.Auditor(audit_key))


def test_auditor_with_another_key_still_signs(cap):
    receipt = velnor.Verifier(ROOT_KEY).verify_with_context(cap, ctx(), velnor.Auditor(ROOT_KEY[:-1] + b"\xff"))
    assert json.loads(receipt)["outcome"]["kind"] == "denied"
