"""Arguments of the wrong type: keys are bytes, texts are str."""

import velnor

velnor.Issuer.from_key("a root key")  # error
issuer = velnor.Issuer.from_key(b"root")
issuer.issue(b"agent-7")  # error
velnor.Auditor("an audit key that is long enough")  # error
velnor.Verifier(key=None)  # error
velnor.HolderKey(seed="x" * 32)  # error
velnor.MemoryNonceStore(capacity="1000")  # error
velnor.Capability.parse(token=b"eyJ")  # error
issuer.issue("x").caveat(predicate=5)  # error
issuer.issue("x").holder_of_key("a public key")  # error
