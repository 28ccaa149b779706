"""velnor: capability tokens for tool-calling AI agents."""

from velnor._native import Auditor, Capability, CapabilityBuilder, Issuer, Verifier

__all__ = ["Issuer", "CapabilityBuilder", "Capability", "Auditor", "Verifier"]
