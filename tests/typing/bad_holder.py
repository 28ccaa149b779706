"""The holder's key is read-only and a proof is text."""

import velnor

holder = velnor.HolderKey(bytes(32))
holder.public_key = bytes(32)  # error
cap = velnor.Capability.parse("eyJ")
proof: bytes = holder.prove(cap, "{}", "gw")  # error
holder.prove(cap, "{}")  # error
store = velnor.MemoryNonceStore()
store.capacity = 5  # error
size: str = len(store)  # error
