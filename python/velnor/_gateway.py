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


def _check_json(value: object, root: str) -> None:
    """Refuses what JSON cannot carry, naming where it sits. Iterative, so a
    hostile nesting depth costs a clear error rather than the stack."""
    # Entries are (value, path, depth), or (None, "", -1 - id) to mark the
    # end of a container's children, so `ancestors` holds exactly the
    # containers on the current path and a cycle is told from a shared value.
    stack: list[tuple[object, str, int]] = [(value, root, 0)]
    ancestors: set[int] = set()
    while stack:
        item, path, depth = stack.pop()
        if depth < 0:
            ancestors.discard(-1 - depth)
            continue
        if item is None or isinstance(item, (bool, int)):
            continue
        if isinstance(item, str):
            _check_text(item, path)
            continue
        if isinstance(item, float):
            if not math.isfinite(item):
                raise ValueError(f"{path}: {item!r} is not a JSON number")
            continue
        if isinstance(item, Mapping):
            children: list[tuple[object, str]] = []
            for key, child in cast("Mapping[object, object]", item).items():
                if not isinstance(key, str):
                    raise TypeError(f"{path}: object keys must be str, not {type(key).__name__} ({key!r})")
                _check_text(key, f"{path} key {key!r}")
                children.append((child, f"{path}.{key}"))
        elif isinstance(item, (list, tuple)):
            children = [(child, f"{path}[{i}]") for i, child in enumerate(cast("list[object]", item))]
        else:
            raise TypeError(f"{path}: {type(item).__name__} is not JSON serializable")
        container = id(cast(object, item))
        if container in ancestors:
            raise ValueError(f"{path}: circular reference")
        if depth >= _MAX_ARGS_DEPTH:
            raise ValueError(f"{path}: nested deeper than {_MAX_ARGS_DEPTH} levels")
        ancestors.add(container)
        stack.append((None, "", -1 - container))
        stack.extend((child, child_path, depth + 1) for child, child_path in reversed(children))


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
    return json.dumps(doc, ensure_ascii=False, allow_nan=False, separators=(",", ":"),
                      default=_plain)


def require_type(value: object, kind: type, what: str) -> None:
    """Callers are not all type-checked: refuse a wrong type at run time too
    (a bool is no integer here)."""
    if not isinstance(value, kind) or (isinstance(value, bool) and kind is int):
        raise TypeError(f"{what}, not {type(value).__name__}")


def _plain(value: object) -> object:
    if isinstance(value, Mapping):
        return dict(cast("Mapping[object, object]", value))
    raise TypeError(f"{type(value).__name__} is not JSON serializable")  # checked before; unreachable


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

    __slots__ = ("_verifier", "_auditor", "_sink")

    def __init__(self, verifier: Verifier, auditor: Auditor, *, receipts: Receipts | None = None) -> None:
        require_type(verifier, Verifier, "verifier must be a velnor.Verifier")
        require_type(auditor, Auditor, "auditor must be a velnor.Auditor")
        self._verifier = verifier
        self._auditor = auditor
        self._sink = _sink_of(receipts)

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
            cap = Capability.parse(token)
        ctx = context_json(tool=tool, args=args, caller=caller, env=env, now_ms=now_ms)
        if proof is None:
            receipt = self._verifier.verify_with_context(cap, ctx, self._auditor)
        else:
            require_type(proof, str, "proof must be str or None")
            receipt = self._verifier.verify_with_proof(cap, ctx, proof, self._auditor)
        if self._sink is not None:
            self._sink(receipt)
        outcome = json.loads(receipt)["outcome"]
        allowed = outcome["kind"] == "allowed"
        return Decision(allowed=allowed, reason=None if allowed else outcome["reason"],
                        receipt=receipt, identifier=cap.identifier)
