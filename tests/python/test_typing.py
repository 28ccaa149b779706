"""The stubs as a type checker reads them: every tests/typing/ok_*.py passes
`mypy --strict` and pyright's strict mode, and every tests/typing/bad_*.py
fails both. A line of a bad file that ends in `# error` must be reported by
each checker, and nothing else in that file may be; a bad file without such
marks must merely fail.

Both checkers read the installed package, so this checks what a user gets.
pyright comes from the basedpyright wheel, which bundles its own Node.js and
needs no download at run time."""

import json
import os
import re
import shutil
import subprocess
import sys
from collections import defaultdict
from pathlib import Path

import pytest

TYPING = Path(__file__).resolve().parents[1] / "typing"
OK = sorted(TYPING.glob("ok_*.py"))
BAD = sorted(TYPING.glob("bad_*.py"))
MARK = re.compile(r"#\s*error\s*$")
TIMEOUT = 300


def marked_lines(path):
    lines = path.read_text(encoding="utf-8").splitlines()
    return {n for n, line in enumerate(lines, 1) if MARK.search(line)}


def run(cmd):
    out = subprocess.run(cmd, cwd=TYPING, capture_output=True, text=True, timeout=TIMEOUT,
                         env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"})
    if out.returncode not in (0, 1):  # 1: type errors found; anything else: the tool failed
        pytest.fail(f"{cmd[0]} failed ({out.returncode}):\n{out.stdout}\n{out.stderr}")
    return out.stdout


def mypy(files, cache):
    out = run([sys.executable, "-m", "mypy", "--strict", "--config-file", "mypy.ini",
               "--cache-dir", str(cache), "--no-error-summary", "--no-pretty",
               "--show-absolute-path", *map(str, files)])
    found = defaultdict(set)
    for line in out.splitlines():
        m = re.match(r"^(.+?):(\d+): (error|warning|note): ", line)
        if m and m.group(3) != "note":
            found[Path(m.group(1)).resolve()].add(int(m.group(2)))
        elif m is None and line.strip():
            pytest.fail(f"unexpected mypy output: {line}")
    return found


def pyright(files):
    exe = shutil.which("basedpyright", path=os.path.dirname(sys.executable))
    assert exe is not None, "basedpyright is installed by scripts/requirements-dev.txt"
    out = run([exe, "--outputjson", "-p", "pyrightconfig.json", "--pythonpath", sys.executable,
               *map(str, files)])
    found = defaultdict(set)
    for d in json.loads(out)["generalDiagnostics"]:
        if d["severity"] in ("error", "warning"):
            found[Path(d["file"]).resolve()].add(d["range"]["start"]["line"] + 1)
    return found


@pytest.fixture(scope="module")
def reports(tmp_path_factory):
    # One run of each checker over every file: each file is a module of its
    # own, so what one reports cannot come from another.
    files = OK + BAD
    return {"mypy": mypy(files, tmp_path_factory.mktemp("mypy-cache")), "pyright": pyright(files)}


def test_there_is_something_to_check():
    assert TYPING / "ok_api.py" in OK and len(BAD) >= 5
    for path in BAD:
        assert marked_lines(path), f"{path.name}: mark each misuse with `# error`"


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
@pytest.mark.parametrize("path", OK, ids=[p.name for p in OK])
def test_ok_file_passes(reports, checker, path):
    assert sorted(reports[checker].get(path, ())) == []


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
@pytest.mark.parametrize("path", BAD, ids=[p.name for p in BAD])
def test_bad_file_fails_where_marked(reports, checker, path):
    reported = reports[checker].get(path, set())
    marks = marked_lines(path)
    if marks:
        assert sorted(reported) == sorted(marks)
    else:
        assert reported


def test_typed_user_script_runs():
    # The script is a user's program, not only a type-checker input.
    out = subprocess.run([sys.executable, str(TYPING / "ok_api.py")], capture_output=True,
                         text=True, timeout=TIMEOUT, cwd=TYPING)
    assert out.returncode == 0, out.stdout + out.stderr
