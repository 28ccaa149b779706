#!/usr/bin/env bash
# Installs what the build and tests need, and nothing twice: apt packages
# that are missing, then a virtual environment in .venv with the Python
# tools. Safe to run again; it returns at once when all is there.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(build-essential cmake libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
              libboost-json1.81-dev libsodium-dev libhiredis-dev pkg-config python3-dev python3-venv postgresql-15
              redis-server)
if [[ "${VELNOR_WITH_FUZZ:-0}" == 1 ]]; then
  APT_PACKAGES+=(clang-19 libclang-rt-19-dev)
fi

missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "bootstrap: installing ${missing[*]}"
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PY=${PYTHON:-python3}
if [[ ! -x .venv/bin/python ]]; then
  echo "bootstrap: creating .venv"
  "$PY" -m venv .venv
fi
stamp=.venv/.velnor-requirements
if [[ ! -f $stamp ]] || ! cmp -s scripts/requirements-dev.txt "$stamp"; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r scripts/requirements-dev.txt
  cp scripts/requirements-dev.txt "$stamp"
fi
