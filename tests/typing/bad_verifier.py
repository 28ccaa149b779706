"""The context is JSON text, the receipt comes back as text, and every
argument is required."""

import velnor

verifier = velnor.Verifier(b"root")
auditor = velnor.Auditor(b"audit key, 16 bytes or more")
cap = velnor.Capability.parse("eyJ")
verifier.verify_with_context(cap, {"caller": "a", "tool": "t", "args": {}}, auditor)  # error
verifier.verify_with_context(cap, "{}")  # error
verifier.verify_with_context(auditor, "{}", cap)  # error
receipt = verifier.verify_with_context(cap, "{}", auditor)
receipt["outcome"]  # error
ok: bool = auditor.verify(receipt)  # error
verifier.with_nonce_store({})  # error
verifier.verify_with_proof(cap, "{}", auditor)  # error
