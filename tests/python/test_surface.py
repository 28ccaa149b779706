"""The module's Python surface: classes, docstrings, signatures, argument
conversion and the things the classes deliberately do not support."""

import copy
import importlib.util
import inspect
import pickle
import shutil
import subprocess
import sys
import weakref

import pytest

import velnor
from velnor import _holder, _native

from conftest import AUDIT_KEY, ROOT_KEY

CLASS_NAMES = ["Issuer", "CapabilityBuilder", "Capability", "Auditor", "Verifier"]
HOLDER_NAMES = ["HolderKey", "MemoryNonceStore", "RedisNonceStore"]


def instances():
    issuer = velnor.Issuer.from_key(ROOT_KEY)
    return {
        "Issuer": issuer,
        "CapabilityBuilder": issuer.issue("x"),
        "Capability": issuer.issue("x").caveat('tool == "t"').build(),
        "Auditor": velnor.Auditor(AUDIT_KEY),
        "Verifier": velnor.Verifier(ROOT_KEY),
        "RedisNonceStore": velnor.RedisNonceStore("redis://127.0.0.1:1"),  # connects on first use only
    }


def test_module_contents():
    public = [n for n in vars(_native) if not n.startswith("__")]
    assert public == CLASS_NAMES
    assert velnor.__all__[:len(CLASS_NAMES + HOLDER_NAMES)] == CLASS_NAMES + HOLDER_NAMES
    for name in CLASS_NAMES:
        assert getattr(velnor, name) is getattr(_native, name)
    assert [n for n in vars(_holder) if not n.startswith("__")] == HOLDER_NAMES
    for name in HOLDER_NAMES:
        assert getattr(velnor, name) is getattr(_holder, name)
    assert _native.__name__ == "velnor._native" or _native.__name__ == "_native"
    doc = _native.__doc__.split("\n")
    assert len(doc) == 2 and "native" in doc[0].lower() and "`velnor`" in doc[1]


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("nm") is None,
                    reason="ELF dynamic symbols, read with binutils' nm")
def test_extension_exports_only_its_init_function():
    # Anything else exported could be interposed by another library loaded
    # into the same process, and would leak the core's internals.
    for module, init in ((_native, "PyInit__native"), (_holder, "PyInit__holder")):
        out = subprocess.run(["nm", "-D", "--defined-only", module.__file__],
                             check=True, capture_output=True, text=True).stdout
        exported = [line.split()[-1] for line in out.splitlines() if line.strip()]
        assert exported == [init]


def test_second_initialisation_is_refused():
    # Loading the same shared object again under a fresh module object runs
    # its initialisation a second time.
    found = importlib.util.spec_from_file_location("velnor._native", _native.__file__)
    with pytest.raises(ImportError):
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)


METHOD_DOCS = [
    (velnor.Issuer.from_key, "(key)",
     "Construct an Issuer from a raw key. Production callers should\n"
     "pass at least 32 bytes from a CSPRNG (e.g. `os.urandom(32)`)."),
    (velnor.Issuer.issue, "($self, identifier)",
     "Begin issuing a capability with the given identifier. Returns\n"
     "a `CapabilityBuilder` for chained caveat-attachment."),
    (velnor.CapabilityBuilder.caveat, "($self, predicate)",
     "Attach a caveat. Returns the builder for chaining.\n"
     "Raises `ValueError` if the predicate doesn't parse as caveat DSL."),
    (velnor.CapabilityBuilder.holder_of_key, "($self, pubkey)",
     "Bind this capability to an ed25519 public key (32 bytes). Must\n"
     "be called BEFORE any `.caveat()` — see `docs/DESIGN.md` §11."),
    (velnor.CapabilityBuilder.build, "($self)",
     "Finalise. Raises `ValueError` if no caveats were attached (a\n"
     "no-caveat token is god-mode authorization — see angle C.5)."),
    (velnor.Capability.parse, "(token)",
     "Decode a previously-serialised token. Raises `ValueError` on\nmalformed input."),
    (velnor.Capability.serialize, "($self)",
     "Encode the capability as a URL-safe, unpadded base64 string."),
    (velnor.Capability.attenuate, "($self, predicate)",
     "Append a caveat, producing a strictly narrower capability.\n"
     "Raises `ValueError` if the predicate doesn't parse."),
    (velnor.Verifier.verify_with_context, "($self, cap, ctx_json, auditor)",
     "Full pipeline: chain check, caveat evaluation, audit signing.\n"
     "Returns the receipt as a JSON string. Caveat denials surface\n"
     "as `outcome.kind == \"denied\"` on the receipt — they are NOT\n"
     "raised. Chain / audit failures DO raise `ValueError`.\n\n"
     "`ctx_json` is the context as a JSON STRING. v0.6.1 design\n"
     "note: passing the raw JSON (rather than dict.dumps(dict.loads(...)))\n"
     "preserves number source text for the v0.6 integer-domain\n"
     "rule that closes A.1. From Python this is the natural shape\n"
     "— `json.dumps(ctx)` does NOT collapse f64 precision the way\n"
     "JavaScript's `JSON.parse` does, so Python callers get full\n"
     "A.1 protection by default."),
]


@pytest.mark.parametrize("method, text_signature, doc", METHOD_DOCS,
                         ids=[m[0].__qualname__ for m in METHOD_DOCS])
def test_method_docstrings(method, text_signature, doc):
    assert method.__text_signature__ == text_signature
    assert method.__doc__ == doc
    params = list(inspect.signature(method).parameters)
    expected = [p.strip().lstrip("$") for p in text_signature[1:-1].split(",")]
    if params and params[0] != expected[0]:  # unbound methods drop nothing
        expected = expected[1:]
    assert params == expected


def test_auditor_verify_docstring():
    doc = velnor.Auditor.verify.__doc__
    assert velnor.Auditor.verify.__text_signature__ == "($self, receipt_json)"
    head, note, items, tail = doc.split("\n\n")
    assert head == "Verify a receipt's audit signature."
    assert "v0.7.1" in note and "`Receipt::from_json`" in note
    assert items == (
        "- Malformed JSON / missing required fields → `ValueError`\n"
        "- HMAC signature mismatch (forged or tampered receipt) → `ValueError`\n"
        "- Unsupported schema version → `ValueError`\n"
        "- Returns silently on success.")
    assert tail == (
        "This is the load-bearing check for *externally-received*\n"
        "receipts (e.g. a receipt that arrived over the wire from\n"
        "another service that holds the same audit key). For\n"
        "receipts you just produced via `verifier.verify_with_context`,\n"
        "the signature is already valid by construction.")


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_docs_and_signatures(name):
    cls = getattr(velnor, name)
    assert cls.__doc__ == ""
    if name in ("Auditor", "Verifier"):
        assert cls.__text_signature__ == "(key)"
        assert list(inspect.signature(cls).parameters) == ["key"]
    else:
        assert cls.__text_signature__ is None


def test_properties_are_read_only_and_undocumented(cap):
    for prop in ("identifier", "holder_of_key"):
        assert getattr(velnor.Capability, prop).__doc__ == ""
        with pytest.raises(AttributeError):
            setattr(cap, prop, "x")


@pytest.mark.parametrize("name", ["Issuer", "CapabilityBuilder", "Capability"])
def test_no_constructor(name):
    cls = getattr(velnor, name)
    for call in (lambda: cls(), lambda: cls(b"k"), lambda: cls.__new__(cls)):
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            call()


@pytest.mark.parametrize("name", CLASS_NAMES + ["RedisNonceStore"])
def test_plain_objects(name):
    obj = instances()[name]
    cls = type(obj)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(TypeError):
        cls.extra = 1  # the types themselves are immutable
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError, match="pickle"):
            pickle.dumps(obj, protocol)
    with pytest.raises(TypeError):
        copy.copy(obj)
    assert obj == obj and obj != instances()[name]
    assert hash(obj) == object.__hash__(obj)
    module = "_holder" if name in HOLDER_NAMES else "_native"
    assert repr(obj).startswith(f"<velnor.{module}.{name} object at ")


def _issuer():
    return velnor.Issuer.from_key(ROOT_KEY)


# (callable, args, kwargs, message regex)
ARG_ERRORS = [
    (velnor.Issuer.from_key, (), {}, r"missing required argument 'key'"),
    (velnor.Issuer.from_key, (b"a", b"b"), {}, r"takes exactly 1 positional argument \(2 given\)"),
    (velnor.Issuer.from_key, (), {"kee": b""}, r"unexpected keyword argument 'kee'"),
    (velnor.Issuer.from_key, (b"a",), {"key": b""}, r"multiple values for argument 'key'"),
    (velnor.Issuer.from_key, (bytearray(b"k"),), {}, r"argument 'key' must be bytes, not bytearray"),
    (velnor.Issuer.from_key, (memoryview(b"k"),), {}, r"argument 'key' must be bytes, not memoryview"),
    (velnor.Issuer.from_key, ("k",), {}, r"argument 'key' must be bytes, not str"),
    (lambda *a, **k: _issuer().issue(*a, **k), (b"id",), {}, r"argument 'identifier' must be str"),
    (lambda *a, **k: _issuer().issue(*a, **k), (), {"identifier": 5}, r"'identifier' must be str, not int"),
    (lambda *a, **k: _issuer().issue("x").caveat(*a, **k), (None,), {}, r"'predicate' must be str"),
    (lambda *a, **k: _issuer().issue("x").holder_of_key(*a, **k), (bytearray(32),), {}, r"'pubkey' must be bytes"),
    (lambda *a, **k: _issuer().issue("x").build(*a, **k), (1,), {}, r"takes no arguments"),
    (velnor.Capability.parse, (b"token",), {}, r"argument 'token' must be str, not bytes"),
    (velnor.Auditor, (), {}, r"missing required argument 'key'"),
    (velnor.Auditor, ("k" * 16,), {}, r"argument 'key' must be bytes, not str"),
    (velnor.Auditor, (), {"key": AUDIT_KEY, "x": 1}, r"unexpected keyword argument 'x'"),
    (velnor.Verifier, (b"", b""), {}, r"takes exactly 1 positional argument \(2 given\)"),
    (velnor.Verifier, (bytearray(),), {}, r"argument 'key' must be bytes, not bytearray"),
]


@pytest.mark.parametrize("func, args, kwargs, message", ARG_ERRORS)
def test_argument_errors(func, args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        func(*args, **kwargs)


def test_keyword_arguments_work(cap):
    issuer = velnor.Issuer.from_key(key=ROOT_KEY)
    built = issuer.issue(identifier="a").caveat(predicate='tool == "t"').build()
    assert built.attenuate(predicate="arg.n <= 1").identifier == "a"
    assert velnor.Capability.parse(token=built.serialize()).serialize() == built.serialize()
    auditor = velnor.Auditor(key=AUDIT_KEY)
    receipt = velnor.Verifier(key=ROOT_KEY).verify_with_context(
        auditor=auditor, ctx_json='{"caller":"c","tool":"t","args":{}}', cap=built)
    assert auditor.verify(receipt_json=receipt) is None


def test_conversion_order_reports_first_bad_argument(cap, verifier, auditor):
    # Left to right: `cap` is checked before `ctx_json`, which comes before `auditor`.
    with pytest.raises(TypeError, match="'cap'"):
        verifier.verify_with_context(auditor, {}, cap)
    with pytest.raises(TypeError, match="'ctx_json'"):
        verifier.verify_with_context(cap, {}, cap)
    with pytest.raises(TypeError, match="'auditor' must be Auditor, not Capability"):
        verifier.verify_with_context(cap, "{}", cap)
    # A bad ctx_json string after type checks is a ValueError, never reached
    # while an earlier argument is wrong.
    with pytest.raises(ValueError):
        verifier.verify_with_context(cap, "{}", auditor)


@pytest.mark.parametrize("call", [
    lambda i: i.issue("\ud800"),
    lambda i: i.issue("x").caveat('tool == "\udfff"'),
    lambda i: velnor.Capability.parse("\ud800"),
])
def test_lone_surrogates_raise_unicode_encode_error(call, issuer):
    with pytest.raises(UnicodeEncodeError):
        call(issuer)


def test_str_and_bytes_subclasses_are_accepted(issuer):
    class S(str):
        pass

    class B(bytes):
        pass

    built = velnor.Issuer.from_key(B(ROOT_KEY)).issue(S("id")).caveat(S('tool == "t"')).build()
    assert built.identifier == "id" and type(built.identifier) is str
