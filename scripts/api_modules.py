#!/usr/bin/env python3
"""Prints the public modules of the installed velnor package, the ones the
API reference documents: the package and every submodule whose dotted name
has no part starting with "_", leaving out any that cannot be imported here
(an optional extra that is not installed)."""

from __future__ import annotations

import importlib
import pkgutil


def public_modules() -> list[str]:
    import velnor

    found = ["velnor"] + [m.name for m in pkgutil.walk_packages(velnor.__path__, "velnor.", onerror=lambda _: None)
                          if not any(part.startswith("_") for part in m.name.split("."))]
    importable = []
    for name in found:
        try:
            importlib.import_module(name)
        except ImportError:
            continue
        importable.append(name)
    return importable


if __name__ == "__main__":
    print(" ".join(public_modules()))
