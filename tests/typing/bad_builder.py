"""The builder and the capability are different things, and the classes
are final."""

import velnor

issuer = velnor.Issuer.from_key(b"root")
builder = issuer.issue("agent-7").caveat('tool == "search"')
cap = builder.build()
cap.caveat('arg.limit <= 5')  # error
builder.attenuate('arg.limit <= 5')  # error
token: str = builder.serialize()  # error
cap.build()  # error


class Wider(velnor.Capability):  # error
    pass
