#!/usr/bin/env bash
# The peer-comparison environment: libmacaroons from Debian, and a separate
# virtual environment (.venv-bench) with the Python peers, matplotlib, and
# a wheel of velnor built from this tree.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
scripts/apt_install.sh libmacaroons-dev
[[ -x .venv-bench/bin/python ]] || python3 -m venv .venv-bench
.venv-bench/bin/python -m pip install -q pyjwt pymacaroons biscuit-python matplotlib 2>&1 | { grep -v '^WARNING: Location' || true; }
rm -rf build/wheels
.venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w build/wheels . 2>&1 | { grep -v '^WARNING: Location' || true; }
.venv-bench/bin/python -m pip install -q --force-reinstall --no-deps build/wheels/velnor-*.whl 2>&1 | { grep -v '^WARNING: Location' || true; }
