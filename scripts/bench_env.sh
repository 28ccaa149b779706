#!/usr/bin/env bash
# The peer-comparison environment: libmacaroons from Debian, and a separate
# virtual environment (.venv-bench) with the Python peers, matplotlib, and
# a wheel of velnor built from this tree.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
if ! dpkg-query -W -f='${Status}' libmacaroons-dev 2>/dev/null | grep -q "install ok installed"; then
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq libmacaroons-dev >/dev/null
fi
[[ -x .venv-bench/bin/python ]] || python3 -m venv .venv-bench
.venv-bench/bin/python -m pip install -q pyjwt pymacaroons biscuit-python matplotlib 2>&1 | { grep -v '^WARNING: Location' || true; }
rm -rf build/wheels
.venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w build/wheels . 2>&1 | { grep -v '^WARNING: Location' || true; }
.venv-bench/bin/python -m pip install -q --force-reinstall --no-deps build/wheels/velnor-*.whl 2>&1 | { grep -v '^WARNING: Location' || true; }
