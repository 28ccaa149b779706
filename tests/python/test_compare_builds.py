"""scripts/compare_builds.py, the check that a faster build changed no output."""

import os
import pathlib
import subprocess
import sys

import velnor

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "compare_builds.py"
INSTALLED = os.path.dirname(os.path.dirname(velnor.__file__))


def run(*args):
    return subprocess.run([sys.executable, str(SCRIPT), *args], capture_output=True, text=True, timeout=300)


def test_a_build_agrees_with_itself():
    r = run(INSTALLED, INSTALLED, "--cases", "300")
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.splitlines()[-1] == "identical"
    old, new = r.stdout.splitlines()[:2]
    assert old.split(":", 1)[1] == new.split(":", 1)[1]  # same counts and digest


def test_a_build_that_answers_differently_is_caught(tmp_path):
    # Stands in for a build that changed one output: on this directory's
    # path, sitecustomize makes every receipt of a verifier differ by a word.
    (tmp_path / "sitecustomize.py").write_text(
        "import velnor\n"
        "real = velnor.Verifier\n"
        "class Verifier:\n"
        "    def __init__(self, key):\n"
        "        self.inner = real(key)\n"
        "    def verify_with_context(self, *args):\n"
        "        return self.inner.verify_with_context(*args).replace('allowed', 'allowee')\n"
        "velnor.Verifier = Verifier\n")
    r = run(INSTALLED, str(tmp_path), "--cases", "300")
    assert r.returncode == 1, r.stdout + r.stderr
    assert "differs" in r.stdout and "allowee" in r.stdout
