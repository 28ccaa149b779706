"""A capability is read-only and its caveats are a tuple of str."""

import velnor

cap = velnor.Capability.parse("eyJ")
cap.identifier = "someone else"  # error
cap.caveats.append('tool == "x"')  # error
first: bytes = cap.caveats[0]  # error
key: bytes = cap.holder_of_key  # error
text: bytes = cap.serialize()  # error
cap.caveats = ()  # error
