"""Issuing, the one-step builder objects, attenuation and token parsing."""

import re

import pytest

import velnor

from conftest import HOLDER, ROOT_KEY, chain, make_token, token_doc

CONSUMED = "^CapabilityBuilder already consumed$"
ZERO_CAVEATS = (
    "Capability has zero caveats — a no-caveat token is god-mode authorization. Attach at least "
    "one caveat (e.g. `now <= @<expiry>`) before calling build(). See angle C.5.")
AFTER_CAVEAT = "holder_of_key must be set before any .caveat() calls"


def consumed(issuer):
    b = issuer.issue("x")
    b.caveat('tool == "t"')
    return b


STATES = {
    "live": lambda issuer: issuer.issue("x"),
    "bound": lambda issuer: issuer.issue("x").holder_of_key(HOLDER),
    "caveated": lambda issuer: issuer.issue("x").caveat('tool == "t"'),
    "consumed": consumed,
}


# Each builder method on a live and on a consumed builder:
# (state, method, argument, expected exception, message, receiver live afterwards)
STATE_TABLE = [
    ("live", "caveat", "tool ==", ValueError, "^invalid caveat predicate: parse error: ", True),
    ("live", "caveat", 'tool == "t"', None, None, False),
    ("live", "holder_of_key", bytes(31), ValueError, "^ed25519 public keys are exactly 32 bytes; got 31$", True),
    ("live", "holder_of_key", bytes(33), ValueError, "got 33$", True),
    ("live", "holder_of_key", b"", ValueError, "got 0$", True),
    ("live", "holder_of_key", HOLDER, None, None, False),
    ("live", "build", None, ValueError, "^" + re.escape(ZERO_CAVEATS) + "$", False),
    # A refused holder key leaves the builder usable, except after a caveat.
    ("bound", "holder_of_key", bytes(32), ValueError, "^holder_of_key already set; ", True),
    ("bound", "holder_of_key", bytes(31), ValueError, "got 31$", True),
    ("caveated", "holder_of_key", bytes(31), ValueError, "got 31$", True),
    ("caveated", "holder_of_key", HOLDER, ValueError, "^" + re.escape(AFTER_CAVEAT) + "$", False),
    ("consumed", "caveat", "tool ==", ValueError, "^invalid caveat predicate: ", False),
    ("consumed", "caveat", 'tool == "t"', RuntimeError, CONSUMED, False),
    ("consumed", "holder_of_key", bytes(31), ValueError, "got 31$", False),
    ("consumed", "holder_of_key", HOLDER, RuntimeError, CONSUMED, False),
    ("consumed", "build", None, RuntimeError, CONSUMED, False),
]


@pytest.mark.parametrize("state, method, arg, exc, message, still_live", STATE_TABLE)
def test_builder_state_table(issuer, state, method, arg, exc, message, still_live):
    b = STATES[state](issuer)
    call = getattr(b, method)
    if exc is None:
        result = call(arg)
        assert type(result) is velnor.CapabilityBuilder and result is not b
    else:
        with pytest.raises(exc, match=message):
            call() if arg is None else call(arg)
    if still_live:
        # Whatever the refusal, the builder chains on as if it never happened.
        built = b.caveat('tool == "t"').build()
        expected = STATES[state](issuer).caveat('tool == "t"').build()
        assert built.serialize() == expected.serialize()
    else:
        with pytest.raises(RuntimeError, match=CONSUMED):
            b.build()


def test_chained_issue(issuer):
    cap = issuer.issue("agent-1").caveat('tool == "search"').build()
    assert cap.identifier == "agent-1" and cap.holder_of_key is None
    assert velnor.Capability.parse(cap.serialize()).serialize() == cap.serialize()


def test_first_builder_is_consumed_by_its_step(issuer):
    first = issuer.issue("agent-1")
    second = first.caveat('tool == "search"')
    with pytest.raises(RuntimeError, match=CONSUMED):
        first.build()
    assert second.build().identifier == "agent-1"


def test_refused_build_consumes(issuer):
    b = issuer.issue("x")
    with pytest.raises(ValueError):
        b.build()
    with pytest.raises(RuntimeError, match=CONSUMED):
        b.caveat('tool == "t"')
    # A holder key alone is not a caveat.
    with pytest.raises(ValueError, match="zero caveats"):
        issuer.issue("x").holder_of_key(HOLDER).build()


def test_holder_key_after_caveat_consumes(issuer):
    b = issuer.issue("x").caveat('tool == "t"')
    with pytest.raises(ValueError, match="^" + re.escape(AFTER_CAVEAT) + "$"):
        b.holder_of_key(HOLDER)
    with pytest.raises(RuntimeError, match=CONSUMED):
        b.build()


def test_second_holder_key_is_refused_and_keeps_the_first(issuer):
    b = issuer.issue("x").holder_of_key(HOLDER)
    with pytest.raises(ValueError, match="^holder_of_key already set; "):
        b.holder_of_key(bytes(32))
    cap = b.caveat('tool == "t"').build()  # still live, first key kept
    assert cap.holder_of_key == HOLDER


def test_holder_bound_capability_matches_published_chain(issuer):
    cap = issuer.issue("agent").holder_of_key(HOLDER).caveat('tool == "t"').build()
    doc = token_doc(cap)
    assert list(doc) == ["identifier", "holder_of_key", "caveats", "signature"]
    assert doc["holder_of_key"] == HOLDER.hex()
    assert bytes.fromhex(doc["signature"]) == chain(ROOT_KEY, "agent", ['tool == "t"'], HOLDER)
    assert cap.holder_of_key == HOLDER and type(cap.holder_of_key) is bytes


@pytest.mark.parametrize("key", [b"", b"k", bytes(64), bytes(65), bytes(range(256)) * 4])
def test_any_root_key_length_chains_like_hmac(key):
    preds = ['tool == "t"', "  arg.n <= 5  "]
    b = velnor.Issuer.from_key(key).issue("id")
    for p in preds:
        b = b.caveat(p)
    doc = token_doc(b.build())
    assert [c["predicate"] for c in doc["caveats"]] == preds  # stored unchanged
    assert bytes.fromhex(doc["signature"]) == chain(key, "id", preds)


def test_attenuate(cap):
    before = cap.serialize()
    narrower = cap.attenuate('caller == "sub"')
    assert narrower is not cap and cap.serialize() == before
    doc = token_doc(narrower)
    assert doc["caveats"][-1] == {"predicate": 'caller == "sub"'}
    assert bytes.fromhex(doc["signature"]) == chain(
        ROOT_KEY, "agent-7", ['tool == "search"', "arg.limit <= 50", 'caller == "sub"'])
    with pytest.raises(ValueError, match="^invalid attenuation predicate: parse error:"):
        cap.attenuate("tool ==")
    assert cap.serialize() == before


def test_caveats_in_chain_order(issuer):
    preds = ['tool == "search"', "  arg.limit <= 50 ", 'caller == "\u00e9\U0001f600"']
    b = issuer.issue("x")
    for p in preds[:2]:
        b = b.caveat(p)
    cap = b.build()
    narrower = cap.attenuate(preds[2])
    assert cap.caveats == tuple(preds[:2]) and type(cap.caveats) is tuple
    assert narrower.caveats == tuple(preds)
    assert velnor.Capability.parse(narrower.serialize()).caveats == tuple(preds)
    assert [c["predicate"] for c in token_doc(narrower)["caveats"]] == preds
    assert issuer.issue("y").holder_of_key(HOLDER).caveat(preds[0]).build().caveats == (preds[0],)
    empty = velnor.Capability.parse(make_token({"identifier": "x", "caveats": [], "signature": ""}))
    assert empty.caveats == ()
    with pytest.raises(AttributeError):
        cap.caveats = ()
    assert "chain order" in velnor.Capability.caveats.__doc__


def test_identifier_round_trips_unicode(issuer):
    ident = "agënt-\u2603-\U0001f600\x00nul"
    cap = issuer.issue(ident).caveat('tool == "t"').build()
    assert cap.identifier == ident
    assert velnor.Capability.parse(cap.serialize()).identifier == ident


PARSE_ERRORS = [
    ("", "^invalid token format: not a valid velnor capability: "),
    ("abc+def", "^base64 decode failed: Invalid symbol 43, offset 3[.]$"),
    ("abc/def", "^base64 decode failed: Invalid symbol 47, offset 3[.]$"),
    ("abcde", "^base64 decode failed: Invalid input length: 5$"),
    ("eyJhIjoxfQ==", "^base64 decode failed: Invalid padding$"),
    (make_token({"identifier": "x", "caveats": []}),
     "^invalid token format: not a valid velnor capability: missing field `signature`"),
    (make_token({"identifier": "x", "caveats": [], "signature": "abc"}), "hex string has odd length"),
    (make_token({"identifier": "x", "caveats": [], "signature": "zz"}), "invalid digit found in string"),
    (make_token([1, 2]), "^invalid token format: not a valid velnor capability: "),
]


@pytest.mark.parametrize("token, message", PARSE_ERRORS)
def test_parse_errors(token, message):
    with pytest.raises(ValueError, match=message):
        velnor.Capability.parse(token)


def test_parse_accepts_what_only_verification_refuses():
    doc = {"identifier": "x", "caveats": [{"predicate": "not a predicate ("}], "signature": "",
           "extra": 1}
    cap = velnor.Capability.parse(make_token(doc))
    assert "extra" not in token_doc(cap) and cap.holder_of_key is None
    odd = velnor.Capability.parse(make_token({"identifier": "x", "holder_of_key": "ABCD",
                                              "caveats": [], "signature": ""}))
    assert odd.holder_of_key == b"\xab\xcd"  # any length is returned unchanged
