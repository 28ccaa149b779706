"""Which exception each failure raises: the typed classes for input that
cannot be trusted or read, plain ValueError for refused keys and
predicates, and the messages unchanged."""

import copy
import json
import pickle
import re
import subprocess
import sys
from types import SimpleNamespace

import pytest

import velnor

from conftest import AUDIT_KEY, ROOT_KEY, ctx, make_token

TYPED = [velnor.InvalidChainError, velnor.InvalidProofError, velnor.MalformedTokenError,
         velnor.InvalidContextError, velnor.InvalidReceiptError, velnor.InvalidRevocationListError]
AUDIENCE = "gw"
SEED = bytes(range(32))


@pytest.fixture(scope="module")
def w():
    issuer = velnor.Issuer.from_key(ROOT_KEY)
    holder = velnor.HolderKey(SEED)
    auditor = velnor.Auditor(AUDIT_KEY)
    cap = issuer.issue("agent").caveat('tool == "search"').build()
    bound = issuer.issue("agent").holder_of_key(holder.public_key).caveat('tool == "search"').build()
    receipt = velnor.Verifier(ROOT_KEY).verify_with_context(cap, ctx(), auditor)
    return SimpleNamespace(
        issuer=issuer, holder=holder, auditor=auditor, cap=cap, bound=bound, receipt=receipt,
        verifier=velnor.Verifier(ROOT_KEY),
        stranger=velnor.Verifier(b"another root key"),
        gateway=lambda key=ROOT_KEY: velnor.Verifier(key).with_audience(AUDIENCE)
        .with_nonce_store(velnor.MemoryNonceStore()))


def edited(receipt, **members):
    doc = json.loads(receipt)
    doc.update(members)
    return json.dumps(doc)


def forged_proof(w):
    # A proof by a key the capability is not bound to, relabelled.
    other = velnor.HolderKey(bytes(32))
    cap = w.issuer.issue("agent").holder_of_key(other.public_key).caveat('tool == "search"').build()
    return other.prove(cap, ctx(), AUDIENCE)


CHAIN = "capability chain integrity: invalid signature"
# (name, call, class, message: exact text, or a compiled pattern, receipt kind)
CASES = [
    ("token not base64", lambda w: velnor.Capability.parse("abc+def"),
     velnor.MalformedTokenError, "base64 decode failed: Invalid symbol 43, offset 3.", None),
    ("token empty", lambda w: velnor.Capability.parse(""),
     velnor.MalformedTokenError, re.compile("^invalid token format: not a valid velnor capability: "), None),
    ("token not a capability", lambda w: velnor.Capability.parse(make_token({"identifier": "x"})),
     velnor.MalformedTokenError, re.compile("^invalid token format: .*missing field `caveats`"), None),
    ("chain under another root", lambda w: w.stranger.verify_with_context(w.cap, ctx(), w.auditor),
     velnor.InvalidChainError, CHAIN, None),
    ("chain of a tampered token", lambda w: w.verifier.verify_with_context(
        velnor.Capability.parse(make_token({"identifier": "agent", "caveats": [], "signature": "00"})),
        ctx(), w.auditor),
     velnor.InvalidChainError, CHAIN, None),
    ("chain with a proof", lambda w: w.gateway(b"another root key").verify_with_proof(
        w.bound, ctx(), w.holder.prove(w.bound, ctx(), AUDIENCE), w.auditor),
     velnor.InvalidChainError, CHAIN, None),
    ("context not JSON", lambda w: w.verifier.verify_with_context(w.cap, "{", w.auditor),
     velnor.InvalidContextError, re.compile("^invalid context JSON: EOF while parsing"), None),
    ("context missing caller", lambda w: w.verifier.verify_with_context(
        w.cap, '{"tool":"t","args":{}}', w.auditor),
     velnor.InvalidContextError, "invalid context JSON: missing field `caller` at line 1 column 22", None),
    ("context of a proof", lambda w: w.gateway().verify_with_proof(w.bound, "[]", "x", w.auditor),
     velnor.InvalidContextError, re.compile("^invalid context JSON: invalid length 0"), None),
    ("context to prove", lambda w: w.holder.prove(w.bound, "1", AUDIENCE),
     velnor.InvalidContextError, re.compile("^invalid context JSON: invalid type: "), None),
    ("proof unreadable", lambda w: w.gateway().verify_with_proof(w.bound, ctx(), "%%", w.auditor),
     velnor.InvalidProofError, re.compile("^invalid proof: base64 decode failed: "), None),
    ("proof forged", lambda w: w.gateway().verify_with_proof(w.bound, ctx(), forged_proof(w), w.auditor),
     velnor.InvalidProofError, "proof of possession: invalid signature", None),
    ("receipt not JSON", lambda w: w.auditor.verify("[1"),
     velnor.InvalidReceiptError, re.compile("^invalid receipt JSON: "), "malformed"),
    ("receipt missing a field", lambda w: w.auditor.verify(edited(w.receipt, timestamp_ms=None)),
     velnor.InvalidReceiptError, re.compile("^invalid receipt JSON: "), "malformed"),
    ("receipt tampered", lambda w: w.auditor.verify(edited(w.receipt, timestamp_ms=1)),
     velnor.InvalidReceiptError, "invalid signature", "signature"),
    ("receipt under another key", lambda w: velnor.Auditor(b"another audit key").verify(w.receipt),
     velnor.InvalidReceiptError, "invalid signature", "signature"),
    ("receipt version", lambda w: w.auditor.verify(edited(w.receipt, version=9)),
     velnor.InvalidReceiptError, re.compile("^unsupported receipt schema version: got 9, expected "),
     "version"),
    # Refused keys, predicates and set-ups: plain ValueError, as before.
    ("caveat predicate", lambda w: w.issuer.issue("x").caveat("tool =="),
     ValueError, re.compile("^invalid caveat predicate: parse error: "), None),
    ("attenuation predicate", lambda w: w.cap.attenuate("(("),
     ValueError, re.compile("^invalid attenuation predicate: parse error: "), None),
    ("holder key length", lambda w: w.issuer.issue("x").holder_of_key(bytes(31)),
     ValueError, "ed25519 public keys are exactly 32 bytes; got 31", None),
    ("holder key after caveat", lambda w: w.issuer.issue("x").caveat("tool == \"t\"").holder_of_key(bytes(32)),
     ValueError, "holder_of_key must be set before any .caveat() calls", None),
    ("second holder key", lambda w: w.issuer.issue("x").holder_of_key(bytes(32)).holder_of_key(bytes(32)),
     ValueError, re.compile("^holder_of_key already set; "), None),
    ("zero caveats", lambda w: w.issuer.issue("x").build(),
     ValueError, re.compile("^Capability has zero caveats — "), None),
    ("empty audit key", lambda w: velnor.Auditor(b""),
     ValueError, "Auditor key must be non-empty (angle B.3: zero-byte key produces forgeable receipts)",
     None),
    ("short audit key", lambda w: velnor.Auditor(bytes(15)),
     ValueError, re.compile("^Auditor: key length 15 < MIN_AUDIT_KEY_LEN"), None),
    ("audit key is the root key", lambda w: w.verifier.verify_with_context(w.cap, ctx(), velnor.Auditor(ROOT_KEY)),
     ValueError, "the audit key must differ from the root key", None),
    ("proof audit key is the root key", lambda w: w.gateway().verify_with_proof(
        w.bound, ctx(), w.holder.prove(w.bound, ctx(), AUDIENCE), velnor.Auditor(ROOT_KEY)),
     ValueError, "the audit key must differ from the root key", None),
    ("proofs not set up", lambda w: w.verifier.verify_with_proof(w.bound, ctx(), "x", w.auditor),
     ValueError, re.compile("^verify_with_proof needs an audience and a nonce store"), None),
    ("seed length", lambda w: velnor.HolderKey(bytes(31)),
     ValueError, "holder key seed must be 32 bytes", None),
    ("capability of another holder", lambda w: velnor.HolderKey(bytes(32)).prove(w.bound, ctx(), AUDIENCE),
     ValueError, "capability is not bound to this holder key", None),
    ("store capacity", lambda w: velnor.MemoryNonceStore(0),
     ValueError, "nonce store capacity must be at least 1", None),
    ("revocation list under another root", lambda w: w.verifier.with_revocations(
        velnor.Issuer.from_key(b"another root key").revocation_list(["x"], 1)),
     velnor.InvalidRevocationListError, "revocation list: invalid signature", None),
    ("revocation list unreadable", lambda w: w.verifier.with_revocations("!"),
     velnor.InvalidRevocationListError, re.compile("^invalid revocation list: "), None),
    ("revocation list not newer", lambda w: w.verifier.with_revocations(
        w.issuer.revocation_list(["x"], 5)).with_revocations(w.issuer.revocation_list(["y"], 5)),
     velnor.InvalidRevocationListError, "revocation list version 5 is not newer than 5", None),
    ("revocation list version", lambda w: w.issuer.revocation_list(["x"], -1),
     ValueError, re.compile("^revocation list version must be between 0 and "), None),
    ("redis url", lambda w: velnor.RedisNonceStore("http://localhost"),
     ValueError, re.compile("^invalid Redis URL: "), None),
    ("redis timeout", lambda w: velnor.RedisNonceStore("redis://127.0.0.1", timeout_ms=0),
     ValueError, re.compile("timeout"), None),
    # Everything else keeps its class.
    ("consumed builder", lambda w: (lambda b: (b.caveat("tool == \"t\""), b.build()))(w.issuer.issue("x")),
     RuntimeError, "CapabilityBuilder already consumed", None),
    ("wrong argument type", lambda w: velnor.Capability.parse(b"token"),
     TypeError, re.compile("argument 'token' must be str, not bytes"), None),
    ("lone surrogate", lambda w: velnor.Capability.parse("\ud800"),
     UnicodeEncodeError, re.compile("surrogates not allowed"), None),
]


@pytest.mark.parametrize("name, call, cls, message, kind", CASES, ids=[c[0] for c in CASES])
def test_each_failure_raises_its_class(w, name, call, cls, message, kind):
    with pytest.raises(BaseException) as info:
        call(w)
    e = info.value
    assert type(e) is cls
    text = str(e)
    if isinstance(message, str):
        assert text == message
    else:
        assert message.search(text), text
    if cls in TYPED:
        assert isinstance(e, velnor.VelnorError) and isinstance(e, ValueError)
        assert e.args == (text,)  # the message alone, as the plain ValueError had it
        again = pickle.loads(pickle.dumps(e))  # the binding makes them as Python would
        assert type(again) is cls and again.args == e.args
        assert getattr(again, "kind", None) == getattr(e, "kind", None)
    if kind is not None:
        assert e.kind == kind


def test_hierarchy_and_exports():
    assert issubclass(velnor.VelnorError, ValueError)
    for cls in TYPED:
        assert cls.__bases__ == (velnor.VelnorError,)
        assert cls.__module__ == "velnor._errors"
        assert getattr(velnor, cls.__name__) is cls and cls.__name__ in velnor.__all__
    assert velnor.VelnorError.__name__ in velnor.__all__


@pytest.mark.parametrize("cls", TYPED)
def test_errors_survive_pickling_and_copying(cls):
    e = cls("invalid signature", "version") if cls is velnor.InvalidReceiptError else cls("m")
    for again in (pickle.loads(pickle.dumps(e)), copy.copy(e), copy.deepcopy(e)):
        assert type(again) is cls and str(again) == str(e) and again.args == e.args
        assert getattr(again, "kind", None) == getattr(e, "kind", None)


def test_receipt_error_kind():
    assert velnor.InvalidReceiptError("m").kind == "malformed"
    assert repr(velnor.InvalidReceiptError("m", "signature")) == "InvalidReceiptError('m')"
    with pytest.raises(ValueError, match="receipt fault must be one of"):
        velnor.InvalidReceiptError("m", "other")


def test_loader_refuses_a_class_that_is_not_a_value_error():
    # The binding raises these classes where a ValueError was raised before;
    # one that is not a ValueError would break every `except ValueError`.
    # The package is found without being imported, so that the fake module
    # is what the extension modules see when they load.
    script = (
        "import importlib.util, os, sys, types\n"
        "where = importlib.util.find_spec('velnor').submodule_search_locations[0]\n"
        "found = importlib.util.spec_from_file_location('real', os.path.join(where, '_errors.py'))\n"
        "real = importlib.util.module_from_spec(found)\n"
        "found.loader.exec_module(real)\n"
        "fake = types.ModuleType('velnor._errors')\n"
        "fake.__dict__.update({n: getattr(real, n) for n in real.__all__})\n"
        "fake.InvalidChainError = type('InvalidChainError', (Exception,), {})\n"
        "sys.modules['velnor._errors'] = fake\n"
        "try:\n"
        "    import velnor\n"
        "except ImportError as e:\n"
        "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "velnor._errors.InvalidChainError is not a ValueError subclass", out.stderr
