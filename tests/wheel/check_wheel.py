#!/usr/bin/env python3
"""Installs a built wheel into a fresh virtual environment of every Python
3.10 to 3.13 under pyenv and checks it there, away from the build tree:

- `ldd` of each extension finds every library, and each is either part of
  the wheel or one the manylinux policy lets a wheel take from the system;
- `auditwheel show` places the wheel under a manylinux tag and names no
  external library;
- the smoke path runs (issue, attenuate, parse, verify, audit, a holder
  proof) with nothing of the source tree importable.

    check_wheel.py WHEEL
"""
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
MINORS = range(10, 14)
TIMEOUT = 300  # seconds for any one step; a stuck step fails, never hangs the run

# The libraries every manylinux policy allows a wheel to need from the
# system (PEP 600), plus the loader's own entries.
SYSTEM_LIBS = {
    "libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0", "libgcc_s.so.1",
    "libstdc++.so.6", "libutil.so.1", "libnsl.so.1", "libresolv.so.2", "libcrypt.so.1",
    "ld-linux-x86-64.so.2", "linux-vdso.so.1",
}

SMOKE = r'''
import json, os, sys
root = os.environ["VELNOR_SOURCE_ROOT"]
leaked = [p for p in sys.path if p and os.path.realpath(p).startswith(root + os.sep)]
assert not leaked, f"build tree on sys.path: {leaked}"
import velnor
assert os.path.realpath(velnor.__file__).startswith(os.path.realpath(sys.prefix)), velnor.__file__
from velnor import Auditor, Capability, HolderKey, Issuer, MemoryNonceStore, Verifier

root_key, audit_key = os.urandom(32), os.urandom(32)
holder = HolderKey(os.urandom(32))
cap = (Issuer.from_key(root_key).issue("agent-7")
       .caveat("now <= @2100-01-01T00:00:00Z").caveat('tool == "search"').build())
sub = Capability.parse(cap.serialize()).attenuate("arg.limit <= 50")
verifier, auditor = Verifier(root_key), Auditor(audit_key)
ok = json.dumps({"caller": "agent-7", "tool": "search", "args": {"limit": 10}})
too_many = json.dumps({"caller": "agent-7", "tool": "search", "args": {"limit": 99}})
receipt = verifier.verify_with_context(sub, ok, auditor)
assert json.loads(receipt)["outcome"] == {"kind": "allowed"}, receipt
auditor.verify(receipt)
denied = verifier.verify_with_context(sub, too_many, auditor)
assert json.loads(denied)["outcome"]["kind"] == "denied", denied
try:
    Auditor(os.urandom(32)).verify(receipt)
except ValueError:
    pass
else:
    raise AssertionError("a receipt verified under another key")

bound = (Issuer.from_key(root_key).issue("agent-8").holder_of_key(holder.public_key)
         .caveat('tool == "search"').build())
gateway = Verifier(root_key).with_audience("gw").with_nonce_store(MemoryNonceStore())
proof = holder.prove(bound, ok, "gw")
first = gateway.verify_with_proof(bound, ok, proof, auditor)
assert json.loads(first)["outcome"] == {"kind": "allowed"}, first
auditor.verify(first)
again = gateway.verify_with_proof(bound, ok, proof, auditor)
assert json.loads(again)["outcome"]["kind"] == "denied", again
print(json.dumps({"python": sys.version.split()[0], "velnor": velnor.__version__}))
'''


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=TIMEOUT, **kw)


def interpreters():
    """The newest pyenv build of each minor version, or the running Python
    alone when there is no pyenv (a plain Debian machine)."""
    base = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv")) / "versions"
    found = {}
    for d in sorted(base.glob("3.*"), key=lambda p: [int(x) for x in re.findall(r"\d+", p.name)]):
        m = re.fullmatch(r"3\.(\d+)\.\d+", d.name)
        exe = d / "bin" / "python3"
        if m and int(m.group(1)) in MINORS and exe.exists():
            found[int(m.group(1))] = exe
    if not found and sys.version_info[:2] >= (3, 10):
        found[sys.version_info[1]] = pathlib.Path(sys.executable)
    return [found[k] for k in sorted(found)]


def check_ldd(site):
    exts = sorted(site.glob("velnor/*.so"))
    assert exts, f"no extension module under {site}"
    for ext in exts:
        out = run(["ldd", str(ext)]).stdout
        for line in out.splitlines():
            line = line.strip()
            if not line or "statically linked" in line:
                continue
            name = line.split()[0]
            assert "not found" not in line, f"{ext.name}: {line}"
            target = line.split("=>", 1)[1].split("(")[0].strip() if "=>" in line else name
            inside = target and os.path.realpath(target).startswith(str(site.resolve()) + os.sep)
            assert inside or os.path.basename(name) in SYSTEM_LIBS, \
                f"{ext.name} needs {line}, outside the wheel and the manylinux policy"


def check_auditwheel(wheel):
    auditwheel = pathlib.Path(sys.executable).with_name("auditwheel")
    out = run([str(auditwheel), "show", str(wheel)]).stdout
    flat = " ".join(out.split())
    assert re.search(r'consistent with the following platform tag: "manylinux_\d+_\d+_x86_64"', flat), out
    assert "external shared libraries" not in flat, out
    assert re.search(r"-manylinux_\d+_\d+_x86_64(\.manylinux\w+)*\.whl$", wheel.name), wheel.name


def check_in(python, wheel, work):
    env_dir = work / f"venv-{python.parent.parent.name}"
    run([str(python), "-m", "venv", str(env_dir)])
    py = env_dir / "bin" / "python"
    run([str(py), "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel)])
    site = pathlib.Path(run([str(py), "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"])
                        .stdout.strip())
    check_ldd(site)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "LD_", "VIRTUAL_ENV"))}
    env["VELNOR_SOURCE_ROOT"] = str(ROOT)
    # -I: no PYTHONPATH, no user site, no current directory on sys.path.
    out = run([str(py), "-I", "-c", SMOKE], cwd=work, env=env).stdout
    result = json.loads(out.strip().splitlines()[-1])
    version = wheel.name.split("-")[1]
    assert result["velnor"] == version, (result, version)
    return result


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    wheel = pathlib.Path(sys.argv[1]).resolve()
    check_auditwheel(wheel)
    pythons = interpreters()
    assert pythons, "no Python 3.10 to 3.13 found"
    with tempfile.TemporaryDirectory(prefix="velnor-wheel-") as tmp:
        for python in pythons:
            try:
                result = check_in(python, wheel, pathlib.Path(tmp))
            except subprocess.CalledProcessError as e:
                sys.exit(f"{python}: {' '.join(map(str, e.cmd))[:200]} failed:\n{e.stdout}{e.stderr}")
            print(f"wheel: Python {result['python']}: installed, libraries and smoke path ok")
    print(f"wheel: {wheel.name} passed on {len(pythons)} interpreters")


if __name__ == "__main__":
    main()
