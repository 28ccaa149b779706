"""`make docs` builds the API reference from the installed package; every
public module gets a page and every public name an entry with its docstring,
so the reference cannot fall behind the code."""

from __future__ import annotations

import html
import importlib
import inspect
import re
import shutil
import subprocess
import sys
from pathlib import Path
from types import ModuleType

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts"))

import api_modules  # noqa: E402


def public_modules() -> list[ModuleType]:
    return [importlib.import_module(name) for name in api_modules.public_modules()]


def public_names(module: ModuleType) -> list[str]:
    names = getattr(module, "__all__", None)
    if names is None:
        names = [n for n, v in vars(module).items() if not n.startswith("_") and not inspect.ismodule(v)
                 and getattr(v, "__module__", module.__name__).startswith(module.__name__)]
    return list(names)


def doc_snippet(obj: object) -> str | None:
    """The start of the docstring's first line, up to the first character
    that markdown would turn into markup."""
    # Only what carries a docstring of its own: an alias or a constant
    # would report the docstring of its type.
    if not (inspect.isroutine(obj) or inspect.isclass(obj) or isinstance(obj, property)
            or inspect.isdatadescriptor(obj)):
        return None
    doc = obj.__dict__.get("__doc__") if inspect.isclass(obj) else inspect.getdoc(obj)
    if not doc or not doc.strip():
        return None
    first = doc.strip().splitlines()[0]
    snippet = re.split(r"[`*_\[<&\"'(]", first)[0].strip()
    return snippet if len(snippet) >= 8 else None


@pytest.fixture(scope="module")
def reference(tmp_path_factory: pytest.TempPathFactory) -> Path:
    if shutil.which("make") is None:
        pytest.fail("make is needed to build the reference (scripts/bootstrap.sh installs it)")
    out = tmp_path_factory.mktemp("docs")
    done = subprocess.run(["make", "-s", "-o", "py-install", "docs", f"DOCS_OUT={out}", f"PY={sys.executable}"],
                          cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Traceback" not in done.stderr, done.stderr
    return out


def test_every_public_module_has_a_page(reference: Path) -> None:
    modules = public_modules()
    assert {"velnor", "velnor.log"} <= {m.__name__ for m in modules}
    for module in modules:
        page = reference / (module.__name__.replace(".", "/") + ".html")
        assert page.is_file(), f"no page for {module.__name__}"


def test_every_public_name_is_documented(reference: Path) -> None:
    missing = []
    for module in public_modules():
        page = (reference / (module.__name__.replace(".", "/") + ".html")).read_text(encoding="utf-8")
        for name in public_names(module):
            obj = getattr(module, name)
            entries = [(name, obj)]
            if inspect.isclass(obj):
                entries += [(f"{name}.{m}", getattr(obj, m)) for m in vars(obj) if not m.startswith("_")]
            for anchor, value in entries:
                if f'id="{anchor}"' not in page:
                    missing.append(f"{module.__name__}:{anchor}")
                    continue
                snippet = doc_snippet(value)
                if snippet is not None and html.escape(snippet, quote=False) not in page:
                    missing.append(f"{module.__name__}:{anchor} (docstring)")
    assert not missing, "not in the reference: " + ", ".join(missing)


def test_the_search_index_is_built(reference: Path) -> None:
    assert (reference / "search.js").stat().st_size > 0
    assert "velnor" in (reference / "index.html").read_text(encoding="utf-8")
