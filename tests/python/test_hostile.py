"""Hostile input through the Python surface: every case ends in a clean
exception or a decision, never a crash or a hang."""

import json

import pytest

import velnor
from velnor import Auditor, Capability, Issuer, Verifier

from conftest import AUDIT_KEY, ROOT_KEY, b64url_encode, make_token

CTX = json.dumps({"nowMs": 0, "caller": "a", "tool": "search", "args": {"limit": 10}})


def decide(cap, ctx=CTX):
    receipt = json.loads(Verifier(ROOT_KEY).verify_with_context(cap, ctx, Auditor(AUDIT_KEY)))
    return receipt["outcome"]


@pytest.mark.parametrize("call", [
    lambda: Issuer.from_key(ROOT_KEY).issue("\ud800"),
    lambda: Issuer.from_key(ROOT_KEY).issue("i").caveat('tool == "\udfff"'),
    lambda: Capability.parse("\ud800"),
    lambda: Issuer.from_key(ROOT_KEY).issue("i").caveat("a == 1").build().attenuate("\ud800"),
    lambda: Verifier(ROOT_KEY).verify_with_context(
        Issuer.from_key(ROOT_KEY).issue("i").caveat("a == 1").build(), '{"caller":"\ud800"}', Auditor(AUDIT_KEY)),
    lambda: Auditor(AUDIT_KEY).verify('{"x":"\udc00"}'),
])
def test_lone_surrogates_are_refused_at_the_boundary(call):
    with pytest.raises(UnicodeEncodeError):
        call()


def test_nul_characters_are_ordinary_text():
    cap = Issuer.from_key(ROOT_KEY).issue("id\0x").caveat('tool == "a\0b"').build()
    assert Capability.parse(cap.serialize()).identifier == "id\0x"
    assert decide(cap) == {"kind": "denied", "reason": 'caveat failed: tool == "a\0b"'}
    with pytest.raises(ValueError, match="invalid caveat predicate: parse error: expected operator"):
        Issuer.from_key(ROOT_KEY).issue("i").caveat("tool\0 == 1")
    with pytest.raises(ValueError, match="base64 decode failed: Invalid symbol 0, offset 3."):
        Capability.parse("eyJ\0")
    with pytest.raises(ValueError, match="invalid context JSON: control character"):
        decide(cap, '{"caller":"a\0","tool":"t","args":{}}')
    with pytest.raises(ValueError, match="invalid context JSON: trailing characters"):
        decide(cap, CTX + "\0")
    with pytest.raises(ValueError, match="invalid receipt JSON: "):
        Auditor(AUDIT_KEY).verify("\0")


def test_large_and_deep_inputs():
    big = Issuer.from_key(ROOT_KEY).issue("i" * (1 << 20)).caveat('tool == "' + "x" * (1 << 20) + '"').build()
    assert Capability.parse(big.serialize()).identifier == "i" * (1 << 20)
    assert decide(big)["kind"] == "denied"

    chain = Issuer.from_key(ROOT_KEY).issue("i").caveat('tool == "search" AND ' * 100000 + "arg.limit <= 50")
    assert decide(chain.build()) == {"kind": "allowed"}

    with pytest.raises(ValueError, match="parentheses nested deeper than 64 levels at byte 64"):
        Issuer.from_key(ROOT_KEY).issue("i").caveat("(" * 100000 + "a == 1" + ")" * 100000)

    deep_token = make_token({"identifier": "i", "caveats": [], "signature": ""})
    raw = '{"x":' + "[" * 100000 + "]" * 100000 + ',"identifier":"i","caveats":[],"signature":""}'
    assert Capability.parse(b64url_encode(raw.encode())).identifier == "i"
    assert Capability.parse(deep_token).identifier == "i"

    cap = Issuer.from_key(ROOT_KEY).issue("i").caveat("arg.limit <= 50").build()
    deep_ctx = '{"skip":' + "[" * 100000 + "]" * 100000 + ',"caller":"a","tool":"t","args":{"limit":1}}'
    assert decide(cap, deep_ctx) == {"kind": "allowed"}
    with pytest.raises(ValueError, match="invalid context JSON: recursion limit exceeded"):
        decide(cap, '{"caller":"a","tool":"t","args":' + "[" * 100000)


@pytest.mark.parametrize("number,outcome", [
    ("1e400", "denied"), ("-1e400", "denied"), ("1" + "0" * 400, "denied"),
    ("-0", "allowed"), ("1e-400", "allowed"), ("0." + "0" * 400 + "1", "allowed"),
    # Exponents beyond an int: read like any other number, never refused.
    ("1e2147483648", "denied"), ("-1E+99999999999", "denied"), ("0e99999999999999999999", "allowed"),
    ("1e-2147483649", "allowed"),
])
def test_extreme_numbers(number, outcome):
    cap = Issuer.from_key(ROOT_KEY).issue("i").caveat("arg.n <= 50.0").build()
    ctx = '{"nowMs":0,"caller":"a","tool":"t","args":{"n":%s}}' % number
    assert decide(cap, ctx)["kind"] == outcome


def _hostile_type_names():
    def raising(cls):
        raise KeyError("from the metaclass")

    class NameIsAList(type):
        __name__ = property(lambda cls: [0] * 10**7)

    class NameIsAnInt(type):
        __name__ = 42

    class NameRaises(type):
        __name__ = property(raising)

    class NameIsAStrSubclass(type):
        class Loud(str):
            def __str__(self):
                raise AssertionError("ran caller code")
        __name__ = Loud("Loud")

    return [meta("W", (), {}) for meta in (NameIsAList, NameIsAnInt, NameRaises, NameIsAStrSubclass)]


@pytest.mark.parametrize("wrong", _hostile_type_names(), ids=["list", "int", "raises", "str-subclass"])
def test_wrong_type_message_does_not_run_the_metaclass(wrong):
    # The message names the parameter and the type's real name, whatever the
    # metaclass claims.
    cap = Issuer.from_key(ROOT_KEY).issue("i").caveat("a == 1").build()
    calls = [
        ("parse", "token", lambda: Capability.parse(wrong())),
        ("from_key", "key", lambda: Issuer.from_key(wrong())),
        ("Auditor", "key", lambda: Auditor(wrong())),
        ("verify_with_context", "ctx_json",
         lambda: Verifier(ROOT_KEY).verify_with_context(cap, wrong(), Auditor(AUDIT_KEY))),
        ("verify_with_context", "auditor",
         lambda: Verifier(ROOT_KEY).verify_with_context(cap, "{}", wrong())),
        ("revocation_list", "identifiers", lambda: Issuer.from_key(ROOT_KEY).revocation_list(wrong(), 1)),
        ("revocation_list", "version", lambda: Issuer.from_key(ROOT_KEY).revocation_list([], wrong())),
        ("MemoryNonceStore", "capacity", lambda: velnor.MemoryNonceStore(wrong())),
        ("RedisNonceStore", "timeout_ms", lambda: velnor.RedisNonceStore("redis://127.0.0.1", timeout_ms=wrong())),
    ]
    for fname, param, call in calls:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value).startswith(f"{fname}() argument '{param}' must be "), str(info.value)
        assert str(info.value).endswith(", not W"), str(info.value)


@pytest.mark.parametrize("number", ["1e2147483648", "0e99999999999999999999"])
def test_huge_exponents_in_unknown_members_and_integer_fields(number):
    cap = Issuer.from_key(ROOT_KEY).issue("i").caveat("arg.n <= 50.0").build()
    ctx = '{"nowMs":0,"caller":"a","tool":"t","extra":[%s],"args":{"n":1}}' % number
    assert decide(cap, ctx)["kind"] == "allowed"
    with pytest.raises(ValueError, match=r"^invalid context JSON: invalid type: floating point `%s`, expected u64" % number):
        decide(cap, '{"nowMs":%s,"caller":"a","tool":"t","args":{}}' % number)
    raw = '{"x":%s,"identifier":"i","caveats":[],"signature":""}' % number
    assert Capability.parse(b64url_encode(raw.encode())).identifier == "i"


_PEAK_CHILD = r"""
import json, resource, sys
import velnor
shape = sys.argv[1]
head = '{"nowMs":0,"caller":"a","tool":"t","args":'
item, open_, close = {"objects": ("{}", "[", "]"), "nested": ("[[[]]]", "[", "]"),
                      "numbers": ("0", "[", "]"), "keys": ('"":0', "{", "}")}[shape]
n = 10_000_000 // (len(item) + 1)
text = head + open_ + ",".join([item] * n) + close + "}"
cap = velnor.Issuer.from_key(b"r").issue("i").caveat("arg.x == 1").build()
verifier, auditor = velnor.Verifier(b"r"), velnor.Auditor(b"a" * 32)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
verifier.verify_with_context(cap, text, auditor)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(len(text), (after - before) * 1024)
"""


@pytest.mark.skipif("asan" in __import__("os").environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's shadow memory and quarantine")
@pytest.mark.parametrize("shape", ["objects", "nested", "numbers", "keys"])
def test_context_peak_memory_is_of_the_order_of_its_text(shape):
    # Peak resident memory of one verification above what the process had
    # already used: at most 16 bytes per input byte (plus a little for
    # pages touched once), where a node per container used to cost 85 to 130.
    import subprocess, sys
    out = subprocess.run([sys.executable, "-c", _PEAK_CHILD, shape], capture_output=True, text=True,
                         timeout=120, check=True).stdout.split()
    size, peak = int(out[0]), int(out[1])
    assert peak <= 16 * size + (4 << 20), (shape, peak / size)
