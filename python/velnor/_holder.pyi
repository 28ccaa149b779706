"""Proof of possession for holder-bound capabilities.
Re-exported under the public `velnor` import name by the pure-Python shim in python/velnor/__init__.py."""

from typing import final

from velnor._native import Capability

@final
class HolderKey:
    """An agent's Ed25519 key (RFC 8032), made from its 32-byte seed.
    The seed is yours to keep: make it with `os.urandom(32)` and store
    it as you would any private key. It is never returned and is
    wiped when the object goes."""
    def __new__(cls, seed: bytes) -> HolderKey: ...
    def prove(self, cap: Capability, ctx_json: str, audience: str) -> str:
        """Sign a proof of possession for one call: `cap` bound to this key,
        `ctx_json` the call as `Verifier.verify_with_context` reads it, and
        `audience` the gateway's name. Returns the proof text. Each proof has
        a fresh random nonce and is accepted once, within five minutes of its
        time (the context's "nowMs", or the clock when that is absent).
        Raises `ValueError` for a capability bound to another key."""
    @property
    def public_key(self) -> bytes:
        """The 32-byte Ed25519 public key, for `CapabilityBuilder.holder_of_key`."""

@final
class MemoryNonceStore:
    """Remembers the nonces of accepted proofs in this process, each until
    its proof could no longer be accepted, so that no proof is used
    twice. Thread-safe; one store may serve many verifiers. When
    `capacity` nonces are live it refuses further proofs (they are
    denied) rather than forget one. `len(store)` is the number held."""
    def __new__(cls, capacity: int = 1000000) -> MemoryNonceStore: ...
    @property
    def capacity(self) -> int:
        """The most nonces held at once."""
    def __len__(self) -> int: ...

@final
class RedisNonceStore:
    """Replay store shared by gateways through Redis; fails closed."""
    def __new__(cls, url: str, *, prefix: str = "velnor:nonce:", timeout_ms: int = 50) -> RedisNonceStore: ...
    @property
    def prefix(self) -> str: ...
    @property
    def timeout_ms(self) -> int: ...
