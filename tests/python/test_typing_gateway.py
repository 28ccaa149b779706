"""The Gateway, Decision and velnor.mcp annotations under the strict type
checkers: tests/typing/ok_gateway.py must pass mypy --strict and pyright
(basedpyright, which bundles its own runtime) in strict mode, and every
tests/typing/bad_gateway_*.py must fail both on its last line, the misuse."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

TYPING = Path(__file__).resolve().parent.parent / "typing"
FILES = sorted(TYPING.glob("ok_gateway*.py")) + sorted(TYPING.glob("bad_gateway_*.py"))
BIN = Path(sys.executable).parent


def tool(name: str) -> str:
    path = BIN / name
    if not path.exists():
        pytest.fail(f"{name} is missing from the environment: scripts/bootstrap.sh installs it")
    return str(path)


def bad_line(path: Path) -> int:
    # Each bad file ends with its one misuse.
    return len(path.read_text().rstrip().splitlines())


def check(errors: dict[str, set[int]]) -> None:
    for path in FILES:
        lines = errors.get(path.name, set())
        if path.name.startswith("ok_"):
            assert not lines, f"{path.name}: errors on lines {sorted(lines)}"
        else:
            assert bad_line(path) in lines, f"{path.name}: no error on line {bad_line(path)} (got {sorted(lines)})"


def test_mypy_strict(tmp_path):
    out = subprocess.run([tool("mypy"), "--strict", "--no-error-summary", "--show-absolute-path",
                          "--cache-dir", str(tmp_path / "cache"), *map(str, FILES)],
                         capture_output=True, text=True, timeout=600)
    assert out.returncode in (0, 1), out.stderr
    errors: dict[str, set[int]] = {}
    for line in out.stdout.splitlines():
        where, _, rest = line.partition(": error: ")
        if rest:
            file, number = where.rsplit(":", 1)
            errors.setdefault(Path(file).name, set()).add(int(number))
    check(errors)


def test_pyright_strict():
    out = subprocess.run([tool("basedpyright"), "-p", str(TYPING / "pyrightconfig.json"), "--outputjson",
                          "--pythonpath", sys.executable, *map(str, FILES)],
                         capture_output=True, text=True, timeout=600, env={**os.environ, "NO_COLOR": "1"})
    report = json.loads(out.stdout)
    errors: dict[str, set[int]] = {}
    for d in report["generalDiagnostics"]:
        if d["severity"] == "error":
            errors.setdefault(Path(d["file"]).name, set()).add(d["range"]["start"]["line"] + 1)
    assert report["summary"]["filesAnalyzed"] == len(FILES)
    check(errors)
