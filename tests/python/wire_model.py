"""A small, independent model of the wire formats, written from their
definitions for the property tests: token text and signature chain,
canonical arguments and their hash, and the receipt signing input.

It shares no code with the library, and none with the other test helpers,
so a misreading in either shows up as a disagreement."""

import base64
import hashlib
import hmac

# ---- JSON text -------------------------------------------------------------

_SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def quote(s: str) -> str:
    """A JSON string escaped only where RFC 8259 requires it; control
    characters without a short form as \\u00xx, lowercase."""
    out = ['"']
    for ch in s:
        if ch in _SHORT_ESCAPES:
            out.append(_SHORT_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append("\\u%04x" % ord(ch))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


class Num:
    """A JSON number that keeps its source text."""

    def __init__(self, text: str):
        self.text = text

    def __repr__(self):
        return f"Num({self.text!r})"


class Obj:
    """A JSON object as written: members in order, keys possibly repeated."""

    def __init__(self, members):
        self.members = list(members)

    def __repr__(self):
        return f"Obj({self.members!r})"


def canonical(v) -> str:
    """Canonical text: no whitespace, numbers as written, members sorted by
    the UTF-8 bytes of their keys at every level, the last of repeated keys
    kept."""
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, Num):
        return v.text
    if isinstance(v, str):
        return quote(v)
    if isinstance(v, list):
        return "[" + ",".join(canonical(x) for x in v) + "]"
    last = {}
    for k, x in v.members:
        last[k] = x
    keys = sorted(last, key=lambda k: k.encode("utf-8"))
    return "{" + ",".join(quote(k) + ":" + canonical(last[k]) for k in keys) + "}"


def args_hash(v) -> str:
    return hashlib.sha256(canonical(v).encode("utf-8")).hexdigest()


# ---- Tokens ----------------------------------------------------------------

def chain(root: bytes, identifier: str, predicates, holder: bytes | None = None) -> bytes:
    """HMAC-SHA-256 over the identifier under the root key; then, keyed with
    each link, "__hok:" and the holder key, then each predicate."""
    link = hmac.new(root, identifier.encode("utf-8"), hashlib.sha256).digest()
    if holder is not None:
        link = hmac.new(link, b"__hok:" + holder, hashlib.sha256).digest()
    for p in predicates:
        link = hmac.new(link, p.encode("utf-8"), hashlib.sha256).digest()
    return link


def token_json(identifier: str, predicates, signature: bytes, holder: bytes | None = None) -> str:
    parts = ['"identifier":' + quote(identifier)]
    if holder is not None:
        parts.append('"holder_of_key":' + quote(holder.hex()))
    parts.append('"caveats":[' + ",".join('{"predicate":' + quote(p) + "}" for p in predicates) + "]")
    parts.append('"signature":' + quote(signature.hex()))
    return "{" + ",".join(parts) + "}"


def base64url(text: str) -> str:
    """Unpadded URL-safe base64 of the UTF-8 text."""
    return base64.urlsafe_b64encode(text.encode("utf-8")).rstrip(b"=").decode("ascii")


def token(root: bytes, identifier: str, predicates, holder: bytes | None = None) -> str:
    return base64url(token_json(identifier, predicates, chain(root, identifier, predicates, holder), holder))


# ---- Receipts --------------------------------------------------------------

def _sorted_compact(v) -> str:
    if isinstance(v, dict):
        keys = sorted(v, key=lambda k: k.encode("utf-8"))
        return "{" + ",".join(quote(k) + ":" + _sorted_compact(v[k]) for k in keys) + "}"
    if isinstance(v, list):
        return "[" + ",".join(_sorted_compact(x) for x in v) + "]"
    if isinstance(v, bool) or v is None:
        raise ValueError("receipts hold no booleans or nulls")
    if isinstance(v, int):
        return str(v)
    return quote(v)


def signing_input(receipt: dict) -> bytes:
    """The byte "v", the version byte, then the receipt without its
    signature as compact JSON with members sorted at every level."""
    body = {k: v for k, v in receipt.items() if k != "signature"}
    return b"v" + bytes([receipt["version"]]) + _sorted_compact(body).encode("utf-8")


def receipt_signature(audit_key: bytes, receipt: dict) -> str:
    return hmac.new(audit_key, signing_input(receipt), hashlib.sha256).hexdigest()
