"""The exceptions velnor raises for input it cannot trust or read.

Every class derives from ValueError, so code written against the plain
ValueError that velnor raised before keeps working. The extension modules
look these classes up once when they are imported and raise them directly,
so this module must import nothing from the rest of the package.
"""

from __future__ import annotations

from typing import Literal

__all__ = ["VelnorError", "InvalidChainError", "InvalidProofError", "MalformedTokenError",
           "InvalidContextError", "InvalidReceiptError", "InvalidRevocationListError",
           "ReceiptFault"]

ReceiptFault = Literal["signature", "version", "malformed"]
_RECEIPT_FAULTS = ("signature", "version", "malformed")


class VelnorError(ValueError):
    """Base of the errors that say a token, proof, context, receipt or
    revocation list cannot be trusted or read. Refused keys and predicates
    are plain ValueError; argument types are TypeError."""


class InvalidChainError(VelnorError):
    """The capability's signature chain does not verify under the root key:
    forged, tampered with, or issued by another service."""


class InvalidProofError(VelnorError):
    """A proof of possession that does not read, or whose signature does not
    verify under the capability's holder key."""


class MalformedTokenError(VelnorError):
    """Token text that does not decode to a capability."""


class InvalidContextError(VelnorError):
    """Context JSON that does not read as a call's context."""


class InvalidReceiptError(VelnorError):
    """A receipt that Auditor.verify refuses. `kind` says why: "signature"
    (forged or tampered with, or signed under another key), "version" (a
    schema version this auditor does not check) or "malformed" (it does not
    read as a receipt)."""

    # A slot rather than the instance dictionary: the binding sets it on
    # every refused receipt, and a slot costs no dictionary per exception.
    __slots__ = ("kind",)
    kind: ReceiptFault

    def __init__(self, message: str, kind: ReceiptFault = "malformed") -> None:
        if kind not in _RECEIPT_FAULTS:
            raise ValueError(f"receipt fault must be one of {_RECEIPT_FAULTS}, not {kind!r}")
        super().__init__(message)
        self.kind = kind

    # args holds the message alone, so str() and repr() read as before;
    # the kind travels separately through pickling and copying.
    def __reduce__(self) -> tuple[type[InvalidReceiptError], tuple[str, ReceiptFault]]:
        return (type(self), (str(self), self.kind))


class InvalidRevocationListError(VelnorError):
    """A signed revocation list that does not read, whose signature does not
    verify, or that is not newer than the list it would replace."""
