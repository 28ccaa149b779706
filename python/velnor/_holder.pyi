from typing import final

from velnor._native import Capability

@final
class HolderKey:
    """An agent's Ed25519 key from its 32-byte seed (keep the seed yourself,
    e.g. `os.urandom(32)`); the seed is never returned."""
    def __new__(cls, seed: bytes) -> HolderKey: ...
    @property
    def public_key(self) -> bytes: ...
    def prove(self, cap: Capability, ctx_json: str, audience: str) -> str:
        """A single-use proof of possession for one call."""

@final
class MemoryNonceStore:
    """Process-local replay store; refuses proofs when full of live nonces."""
    def __new__(cls, capacity: int = 1_000_000) -> MemoryNonceStore: ...
    @property
    def capacity(self) -> int: ...
    def __len__(self) -> int: ...

@final
class RedisNonceStore:
    """Replay store shared by gateways through Redis; fails closed."""
    def __new__(cls, url: str, *, prefix: str = "velnor:nonce:", timeout_ms: int = 50) -> RedisNonceStore: ...
    @property
    def prefix(self) -> str: ...
    @property
    def timeout_ms(self) -> int: ...
