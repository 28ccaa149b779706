"""The source distribution and the metadata a package index shows."""
import pathlib
import subprocess
import sys
import tarfile

import velnor

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_sdist_carries_the_licence_and_the_metadata(tmp_path):
    build = ("import sys; from scikit_build_core.build import build_sdist; "
             "print(build_sdist(sys.argv[1]))")
    name = subprocess.run([sys.executable, "-c", build, str(tmp_path)], cwd=ROOT, check=True,
                          capture_output=True, text=True, timeout=120).stdout.split()[-1]
    prefix = f"velnor-{velnor.__version__}"
    assert name == f"{prefix}.tar.gz"
    with tarfile.open(tmp_path / name) as sdist:
        names = set(sdist.getnames())
        pkg_info = sdist.extractfile(f"{prefix}/PKG-INFO").read().decode()
        licence = sdist.extractfile(f"{prefix}/LICENSE").read().decode()
    assert "Apache License" in licence
    assert f"{prefix}/python/velnor/__init__.py" in names
    assert not any(n.startswith((f"{prefix}/build/", f"{prefix}/.venv/")) for n in names)
    headers = [line for line in pkg_info.splitlines() if ": " in line]
    for expected in (f"Version: {velnor.__version__}",
                     "Classifier: License :: OSI Approved :: Apache Software License",
                     "Requires-Python: >=3.10"):
        assert expected in headers, pkg_info[:2000]
    assert any(h.startswith("Project-URL: Source, https://") for h in headers), pkg_info[:2000]
