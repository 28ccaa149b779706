"""Native core of velnor.
Re-exported under the public `velnor` import name by the pure-Python shim in python/velnor/__init__.py."""

from typing import final

from velnor._holder import MemoryNonceStore, RedisNonceStore

@final
class Issuer:
    @staticmethod
    def from_key(key: bytes) -> Issuer:
        """Construct an Issuer from a raw key. Production callers should
        pass at least 32 bytes from a CSPRNG (e.g. `os.urandom(32)`)."""
    def issue(self, identifier: str) -> CapabilityBuilder:
        """Begin issuing a capability with the given identifier. Returns
        a `CapabilityBuilder` for chained caveat-attachment."""
    def revocation_list(self, identifiers: list[str] | tuple[str, ...], version: int) -> str:
        """A signed revocation list for `Verifier.with_revocations`;
        `version` (0 to 2**64-1) must grow with every list published."""

@final
class CapabilityBuilder:
    def caveat(self, predicate: str) -> CapabilityBuilder:
        """Attach a caveat. Returns the builder for chaining.
        Raises `ValueError` if the predicate doesn't parse as caveat DSL."""
    def holder_of_key(self, pubkey: bytes) -> CapabilityBuilder:
        """Bind this capability to an ed25519 public key (32 bytes). Must
        be called BEFORE any `.caveat()` — see `docs/DESIGN.md` §11."""
    def build(self) -> Capability:
        """Finalise. Raises `ValueError` if no caveats were attached (a
        no-caveat token is god-mode authorization — see angle C.5)."""

@final
class Capability:
    @staticmethod
    def parse(token: str) -> Capability:
        """Decode a previously-serialised token. Raises `ValueError` on
        malformed input."""
    def serialize(self) -> str:
        """Encode the capability as a URL-safe, unpadded base64 string."""
    def attenuate(self, predicate: str) -> Capability:
        """Append a caveat, producing a strictly narrower capability.
        Raises `ValueError` if the predicate doesn't parse."""
    @property
    def identifier(self) -> str: ...
    @property
    def holder_of_key(self) -> bytes | None: ...

@final
class Auditor:
    def __new__(cls, key: bytes) -> Auditor: ...
    def verify(self, receipt_json: str) -> None:
        """Verify a receipt's audit signature; raises `ValueError` for a
        malformed, forged, tampered or unsupported receipt."""

@final
class Verifier:
    def __new__(cls, key: bytes) -> Verifier: ...
    def verify_with_context(self, cap: Capability, ctx_json: str, auditor: Auditor) -> str:
        """Full pipeline: chain check, caveat evaluation, audit signing.
        Returns the receipt as a JSON string; denials are receipts, a
        broken chain or bad context JSON raises `ValueError`."""
    def with_audience(self, audience: str) -> Verifier:
        """A new verifier that accepts proofs addressed to `audience`."""
    def with_nonce_store(self, store: MemoryNonceStore | RedisNonceStore) -> Verifier:
        """A new verifier that records proof nonces in `store`."""
    def with_revocations(self, revocation_list: str) -> Verifier:
        """A new verifier that also denies the listed identifiers; raises
        `ValueError` for a malformed, forged or not newer list."""
    def verify_with_proof(self, cap: Capability, ctx_json: str, proof: str, auditor: Auditor) -> str:
        """Holder-bound pipeline: chain, proof of possession, caveats.
        Returns a receipt (version 2 once the proof was checked)."""
