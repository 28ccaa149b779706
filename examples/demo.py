"""Placeholder until the binding lands."""
import velnor
print("velnor", velnor.__all__)
