"""Property tests: the library against the independent model of the wire
formats in wire_model.py, on generated identifiers, predicates, holder
keys, argument values (written with varied spacing, escapes and member
order) and receipts."""

import json
import random

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velnor
import wire_model as model

ROOT = b"model-root-key-0123456789abcdef"
AUDIT = b"model-audit-key-0123456789abcdef"

SETTINGS = settings(max_examples=150, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow])

# Any text Python can encode as UTF-8 (no lone surrogates).
text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=24)

number_text = st.from_regex(r"-?(0|[1-9][0-9]{0,20})(\.[0-9]{1,12})?([eE][+-]?[0-9]{1,12})?", fullmatch=True)

# Few distinct keys, so objects repeat them now and then.
keys = st.one_of(st.sampled_from(["", "a", "b", "B", "ab", "é", "\u0000", "k\n", "😀"]), text)

json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), number_text.map(model.Num), text),
    lambda inner: st.one_of(st.lists(inner, max_size=5),
                            st.lists(st.tuples(keys, inner), max_size=5).map(model.Obj)),
    max_leaves=30,
)


def write_string(s: str, rng: random.Random) -> str:
    """The string as some JSON writer might put it: any character may be a
    \\u escape (astral ones as a surrogate pair), "/" may be escaped."""
    out = ['"']
    for ch in s:
        c = ord(ch)
        if ch in '"\\' or c < 0x20 or rng.random() < 0.15:
            if c > 0xFFFF:
                c -= 0x10000
                out.append("\\u%04X\\u%04x" % (0xD800 + (c >> 10), 0xDC00 + (c & 0x3FF)))
            else:
                out.append(("\\u%04x" if rng.random() < 0.5 else "\\u%04X") % c)
        elif ch == "/" and rng.random() < 0.5:
            out.append("\\/")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def write(v, rng: random.Random) -> str:
    """JSON text of a model value with random whitespace and escapes."""
    ws = lambda: rng.choice(["", "", " ", "\n", "\t ", "\r\n"])
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, model.Num):
        return v.text
    if isinstance(v, str):
        return write_string(v, rng)
    if isinstance(v, list):
        return "[" + ws() + ("," + ws()).join(write(x, rng) + ws() for x in v) + "]"
    return "{" + ws() + ",".join(ws() + write_string(k, rng) + ws() + ":" + ws() + write(x, rng) + ws()
                                 for k, x in v.members) + "}"


def verify(cap, ctx_json):
    return json.loads(velnor.Verifier(ROOT).verify_with_context(cap, ctx_json, velnor.Auditor(AUDIT)))


CAP = velnor.Issuer.from_key(ROOT).issue("model").caveat('tool == "search"').build()


@SETTINGS
@given(args=json_values, caller=text, tool=text, seed=st.integers(0, 2**32 - 1))
def test_argument_hash_and_summary_match_the_model(args, caller, tool, seed):
    rng = random.Random(seed)
    ctx = ('{"nowMs":1700000000123,"caller":' + write_string(caller, rng) + ',"tool":' + write_string(tool, rng)
           + ',"args":' + write(args, rng) + "}")
    receipt = verify(CAP, ctx)
    assert receipt["context_summary"] == {"caller": caller, "tool": tool, "args_hash": model.args_hash(args)}


@SETTINGS
@given(args=json_values, caller=text, tool=st.sampled_from(["search", "other"]), now=st.integers(0, 2**64 - 1),
       delta=st.integers(1, 1000))
def test_receipt_signature_is_the_model_signing_input(args, caller, tool, now, delta):
    ctx = json.dumps({"nowMs": now, "caller": caller, "tool": tool, "args": None})
    ctx = ctx[:-5] + write(args, random.Random(now)) + "}"
    receipt = verify(CAP, ctx)
    assert receipt["signature"] == model.receipt_signature(AUDIT, receipt)
    auditor = velnor.Auditor(AUDIT)
    # A receipt the model signs after changing it verifies; the same change
    # under the old signature does not.
    changed = dict(receipt, timestamp_ms=(now + delta) % 2**64)
    try:
        auditor.verify(json.dumps(changed))
        raise AssertionError("a changed receipt verified under its old signature")
    except ValueError as e:
        assert str(e) == "invalid signature"
    changed["signature"] = model.receipt_signature(AUDIT, changed)
    auditor.verify(json.dumps(changed, ensure_ascii=False))


def dsl_string(s: str) -> str:
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\t", "\\t") + '"'


dsl_text = st.text(st.characters(blacklist_categories=("Cs", "Cc"), whitelist_characters="\n\t"), max_size=12)
comparisons = st.one_of(
    dsl_text.map(lambda s: "tool == " + dsl_string(s)),
    dsl_text.map(lambda s: "caller starts_with " + dsl_string(s)),
    st.tuples(st.from_regex(r"[A-Za-z_][A-Za-z0-9_]{0,8}", fullmatch=True), st.integers(-10**6, 10**6))
    .map(lambda t: f"arg.{t[0]} <= {t[1]}"),
    st.integers(0, 2**31).map(lambda s: f"now <= @{1970 + s % 100:04d}-01-01T00:00:00Z"),
)
predicates = st.recursive(comparisons, lambda p: st.tuples(p, st.sampled_from([" AND ", " OR "]), p)
                          .map(lambda t: "(" + t[0] + t[1] + t[2] + " )"), max_leaves=4)
holders = st.one_of(st.none(), st.binary(min_size=32, max_size=32))


@SETTINGS
@given(identifier=text, preds=st.lists(predicates, min_size=1, max_size=4), holder=holders)
def test_issued_token_text_is_the_model_token(identifier, preds, holder):
    builder = velnor.Issuer.from_key(ROOT).issue(identifier)
    if holder is not None:
        builder = builder.holder_of_key(holder)
    for p in preds:
        builder = builder.caveat(p)
    cap = builder.build()
    assert cap.serialize() == model.token(ROOT, identifier, preds, holder)
    extra = preds[0]
    assert cap.attenuate(extra).serialize() == model.token(ROOT, identifier, preds + [extra], holder)


@SETTINGS
@given(identifier=text, preds=st.lists(text, max_size=4), holder=holders, flip=st.integers(0, 255))
def test_model_minted_tokens_read_back_and_verify(identifier, preds, holder, flip):
    # Predicates here are any text: the chain covers them whether or not
    # they parse, and an unparseable one is a denial, not an error.
    token = model.token(ROOT, identifier, preds, holder)
    cap = velnor.Capability.parse(token)
    assert cap.identifier == identifier and cap.holder_of_key == holder
    assert cap.serialize() == token
    receipt = verify(cap, '{"caller":"c","tool":"t","args":{}}')
    assert receipt["capability_identifier"] == identifier
    assert [c["predicate"] for c in receipt["caveats"]] == preds
    # Any change to the signature breaks the chain.
    sig = bytearray(model.chain(ROOT, identifier, preds, holder))
    sig[flip % 32] ^= 1 << (flip % 8)
    forged = velnor.Capability.parse(model.base64url(model.token_json(identifier, preds, bytes(sig), holder)))
    try:
        verify(forged, '{"caller":"c","tool":"t","args":{}}')
        raise AssertionError("a token with a changed signature verified")
    except ValueError as e:
        assert str(e) == "capability chain integrity: invalid signature"
