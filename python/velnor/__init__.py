"""velnor: capability tokens for tool-calling AI agents."""

# _errors first: the extension modules look its classes up when they load.
from velnor._errors import (InvalidChainError, InvalidContextError, InvalidProofError,
                            InvalidReceiptError, InvalidRevocationListError, MalformedTokenError,
                            ReceiptFault, VelnorError)
from velnor._gateway import Decision, Gateway
from velnor._holder import HolderKey, MemoryNonceStore, RedisNonceStore
from velnor._native import Auditor, Capability, CapabilityBuilder, Issuer, Verifier
from velnor.log import Entry, LogReport, ReceiptLog

__all__ = ["Issuer", "CapabilityBuilder", "Capability", "Auditor", "Verifier", "HolderKey",
           "MemoryNonceStore", "RedisNonceStore", "ReceiptLog", "Entry", "LogReport", "Gateway",
           "Decision", "VelnorError",
           "InvalidChainError", "InvalidProofError", "MalformedTokenError", "InvalidContextError",
           "InvalidReceiptError", "InvalidRevocationListError", "ReceiptFault"]
