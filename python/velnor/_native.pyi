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
    @property
    def caveats(self) -> tuple[str, ...]:
        """The caveats' predicate texts, in chain order: each one narrows what
        the ones before it allow."""

@final
class Auditor:
    def __new__(cls, key: bytes) -> Auditor: ...
    def verify(self, receipt_json: str) -> None:
        """Verify a receipt's audit signature.

        v0.7.1: verification decodes the receipt through the core's
        `Receipt::from_json` before checking it, so every way a received
        receipt can be wrong is reported the same way:

        - Malformed JSON / missing required fields → `ValueError`
        - HMAC signature mismatch (forged or tampered receipt) → `ValueError`
        - Unsupported schema version → `ValueError`
        - Returns silently on success.

        This is the load-bearing check for *externally-received*
        receipts (e.g. a receipt that arrived over the wire from
        another service that holds the same audit key). For
        receipts you just produced via `verifier.verify_with_context`,
        the signature is already valid by construction."""

@final
class Verifier:
    def __new__(cls, key: bytes) -> Verifier: ...
    def verify_with_context(self, cap: Capability, ctx_json: str, auditor: Auditor) -> str:
        """Full pipeline: chain check, caveat evaluation, audit signing.
        Returns the receipt as a JSON string. Caveat denials surface
        as `outcome.kind == "denied"` on the receipt — they are NOT
        raised. Chain / audit failures DO raise `ValueError`.

        `ctx_json` is the context as a JSON STRING. v0.6.1 design
        note: passing the raw JSON (rather than dict.dumps(dict.loads(...)))
        preserves number source text for the v0.6 integer-domain
        rule that closes A.1. From Python this is the natural shape
        — `json.dumps(ctx)` does NOT collapse f64 precision the way
        JavaScript's `JSON.parse` does, so Python callers get full
        A.1 protection by default."""
    def with_audience(self, audience: str) -> Verifier:
        """A new verifier that accepts proofs addressed to `audience` (this
        gateway's name). The receiver is unchanged."""
    def with_nonce_store(self, store: MemoryNonceStore | RedisNonceStore) -> Verifier:
        """A new verifier that records proof nonces in `store` (a
        `MemoryNonceStore`, which may be shared). The receiver is unchanged."""
    def with_revocations(self, revocation_list: str) -> Verifier:
        """A new verifier that also denies the listed identifiers; raises
        `ValueError` for a malformed, forged or not newer list."""
    def verify_with_proof(self, cap: Capability, ctx_json: str, proof: str, auditor: Auditor) -> str:
        """The pipeline for holder-bound capabilities: chain check, the
        holder's proof (signature, audience, time window, single use),
        then revocation and caveats. Returns the receipt JSON, of version 2
        with the proof recorded. Denials are receipts. A malformed context
        raises `InvalidContextError`, a broken chain `InvalidChainError`,
        an unreadable or forged proof `InvalidProofError`: all `ValueError`.

        The context's time decides the window: leave "nowMs" out (the
        gateway's clock is read) or set it from the gateway's clock, never
        from the agent."""
