"""A framework-free gateway: one call per tool call that builds the context
JSON, runs the right verification, hands the receipt on and returns a typed
decision."""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Protocol, Union, cast

from velnor._native import Auditor, Capability, Verifier

__all__ = ["Decision", "Gateway", "ReceiptSink", "context_json"]

# The verifier's reader refuses contexts nested 128 levels deep; the outer
# object and "args" take two of them. Refusing here names the argument path
# and keeps the encoder's own recursion short.
_MAX_ARGS_DEPTH = 126
_ALLOWED = '"outcome":{"kind":"allowed"}'


class ReceiptSink(Protocol):
    """Anything with an `append(receipt_json)` method, such as a list or a
    `velnor.ReceiptLog`."""

    def append(self, receipt: str, /) -> object: ...


Receipts = Union[ReceiptSink, Callable[[str], object]]


@dataclass(frozen=True, slots=True)
class Decision:
    """The verdict on one tool call. Truthy exactly when the call is allowed."""

    allowed: bool
    reason: str | None
    """The denial reason; `None` when allowed."""
    receipt: str
    """The signed receipt JSON, as the verifier returned it."""
    identifier: str
    """The capability's identifier."""

    def __bool__(self) -> bool:
        return self.allowed


Trail = Union[tuple["Trail", Union[str, int]], None]
"""Where a value sits: (the parent's trail, key or index), built as the walk
goes and spelled out only for an error message."""


def _path(root: str, trail: Trail) -> str:
    parts: list[str] = []
    while trail is not None:
        trail, step = trail
        parts.append(f"[{step}]" if isinstance(step, int) else f".{step}")
    return root + "".join(reversed(parts))


def _check_json(value: object, root: str) -> None:
    """Refuses what JSON cannot carry, naming where it sits. Iterative, so a
    hostile nesting depth costs a clear error rather than the stack."""
    # Entries are (container, trail, depth), or (None, None, -1 - id) to mark
    # the end of a container's children, so `ancestors` holds exactly the
    # containers on the current path and a cycle is told from a shared value.
    # Scalars are checked where they are met and never pushed.
    stack: list[tuple[object, Trail, int]] = []
    ancestors: set[int] = set()
    if _is_container(value):
        stack.append((value, None, 0))
    else:
        _check_scalar(value, root, None)
    while stack:
        item, trail, depth = stack.pop()
        if depth < 0:
            ancestors.discard(-1 - depth)
            continue
        container = id(item)
        if container in ancestors:
            raise ValueError(f"{_path(root, trail)}: circular reference")
        if depth >= _MAX_ARGS_DEPTH:
            raise ValueError(f"{_path(root, trail)}: nested deeper than {_MAX_ARGS_DEPTH} levels")
        ancestors.add(container)
        stack.append((None, None, -1 - container))
        pushed = len(stack)
        if isinstance(item, Mapping):
            for key, child in cast("Mapping[object, object]", item).items():
                if not isinstance(key, str):
                    raise TypeError(f"{_path(root, trail)}: object keys must be str, "
                                    f"not {type(key).__name__} ({key!r})")
                if not key.isascii():
                    _check_text(key, f"{_path(root, trail)} key {key!r}")
                if _is_container(child):
                    stack.append((child, (trail, key), depth + 1))
                else:
                    _check_scalar(child, root, (trail, key))
        else:
            for index, child in enumerate(cast("list[object]", item)):
                if _is_container(child):
                    stack.append((child, (trail, index), depth + 1))
                else:
                    _check_scalar(child, root, (trail, index))
        stack[pushed:] = stack[pushed:][::-1]  # first child on top: errors come in document order


def _is_container(value: object) -> bool:
    return isinstance(value, (dict, list, tuple)) or (isinstance(value, Mapping) and not isinstance(value, str))


def _check_scalar(value: object, root: str, trail: Trail) -> None:
    if value is None or value is True or value is False:
        return
    kind = type(value)
    if kind is str:
        if not cast(str, value).isascii():
            _check_text(cast(str, value), _path(root, trail))
    elif kind is int:
        return
    elif isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"{_path(root, trail)}: {value!r} is not a JSON number")
    elif isinstance(value, str):
        _check_text(value, _path(root, trail))
    elif not isinstance(value, int):
        raise TypeError(f"{_path(root, trail)}: {type(value).__name__} is not JSON serializable")


def _check_text(text: str, path: str) -> None:
    if not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"{path}: text holds a lone surrogate, which UTF-8 cannot carry") from None


def context_json(*, tool: str, args: Mapping[str, object], caller: str,
                 env: Mapping[str, str] | None = None, now_ms: int | None = None) -> str:
    """The context JSON that `Verifier.verify_with_context` reads, for one
    call. `now_ms` left out means the verifier reads its own clock."""
    require_type(tool, str, "tool must be str")
    require_type(caller, str, "caller must be str")
    require_type(args, Mapping, "args must be a mapping")
    _check_text(tool, "tool")
    _check_text(caller, "caller")
    _check_json(args, "args")
    doc: dict[str, object] = {}
    if now_ms is not None:
        require_type(now_ms, int, "now_ms must be int")
        if not 0 <= now_ms < 1 << 64:
            raise ValueError(f"now_ms must be an unsigned 64-bit count of milliseconds, got {now_ms}")
        doc["nowMs"] = now_ms
    doc["caller"] = caller
    doc["tool"] = tool
    doc["args"] = args
    if env is not None:
        require_type(env, Mapping, "env must be a mapping")
        for name, value in cast("Mapping[object, object]", env).items():
            if not isinstance(name, str) or not isinstance(value, str):
                raise TypeError(f"env entries must be str to str, not {type(name).__name__} "
                                f"to {type(value).__name__} (env key {name!r})")
            _check_text(name, f"env key {name!r}")
            _check_text(value, f"env.{name}")
        doc["env"] = env
    # `Mapping` subclasses that are not dicts are not encoded by json; they
    # were checked above, so a plain copy is all they need.
    return _ENCODER.encode(doc)


def require_type(value: object, kind: type, what: str) -> None:
    """Callers are not all type-checked: refuse a wrong type at run time too
    (a bool is no integer here)."""
    if not isinstance(value, kind) or (isinstance(value, bool) and kind is int):
        raise TypeError(f"{what}, not {type(value).__name__}")


def _plain(value: object) -> object:
    if isinstance(value, Mapping):
        return dict(cast("Mapping[object, object]", value))
    raise TypeError(f"{type(value).__name__} is not JSON serializable")  # checked before; unreachable


# One encoder for every call: json.dumps with options builds a new one each time.
_ENCODER = json.JSONEncoder(ensure_ascii=False, allow_nan=False, separators=(",", ":"), default=_plain)


def _sink_of(receipts: Receipts | None) -> Callable[[str], object] | None:
    if receipts is None:
        return None
    append = getattr(receipts, "append", None)
    if callable(append):
        return append  # type: ignore[no-any-return]
    if callable(receipts):
        return receipts
    raise TypeError(f"receipts must be callable or have an append method, not {type(receipts).__name__}")


class Gateway:
    """Checks tool calls against capabilities.

    `verifier` decides (configure it `with_audience` and `with_nonce_store`
    to accept proofs), `auditor` signs the receipts, and `receipts`, a
    callable or an object with `append` such as a `ReceiptLog`, gets every
    receipt before `check` returns. If it raises, `check` raises too and no
    decision is returned, so a call is never allowed without its receipt kept.
    """

    __slots__ = ("_verifier", "_auditor", "_sink", "_last")

    def __init__(self, verifier: Verifier, auditor: Auditor, *, receipts: Receipts | None = None) -> None:
        require_type(verifier, Verifier, "verifier must be a velnor.Verifier")
        require_type(auditor, Auditor, "auditor must be a velnor.Auditor")
        self._verifier = verifier
        self._auditor = auditor
        self._sink = _sink_of(receipts)
        self._last: tuple[str, Capability] | None = None

    def check(self, token: str | Capability, *, tool: str, args: Mapping[str, object], caller: str,
              env: Mapping[str, str] | None = None, proof: str | None = None,
              now_ms: int | None = None) -> Decision:
        """Decide one call. A denial is a `Decision`; a token that does not
        parse or verify, a forged proof or arguments that JSON cannot carry
        raise (`ValueError`, `TypeError`), with no receipt.

        Leave `now_ms` out in production: the verifier then reads the
        gateway's own clock, which is what a proof's time window needs."""
        if isinstance(token, Capability):
            cap = token
        else:
            require_type(token, str, "token must be str or velnor.Capability")
            last = self._last
            if last is not None and last[0] == token:
                cap = last[1]
            else:
                cap = Capability.parse(token)
                # A client usually sends one token call after call; a parsed
                # Capability is immutable, so the last one can be reused.
                self._last = (token, cap)
        ctx = context_json(tool=tool, args=args, caller=caller, env=env, now_ms=now_ms)
        if proof is None:
            receipt = self._verifier.verify_with_context(cap, ctx, self._auditor)
        else:
            require_type(proof, str, "proof must be str or None")
            receipt = self._verifier.verify_with_proof(cap, ctx, proof, self._auditor)
        if self._sink is not None:
            self._sink(receipt)
        # The receipt is the verifier's compact JSON, whose strings escape
        # every quote, so this text can only be its top-level outcome.
        if _ALLOWED in receipt:
            return Decision(allowed=True, reason=None, receipt=receipt, identifier=cap.identifier)
        outcome = json.loads(receipt)["outcome"]
        if outcome["kind"] == "allowed":
            return Decision(allowed=True, reason=None, receipt=receipt, identifier=cap.identifier)
        return Decision(allowed=False, reason=outcome["reason"], receipt=receipt, identifier=cap.identifier)
