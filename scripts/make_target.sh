#!/usr/bin/env bash
# Runs one Makefile target on any Debian machine, installing make itself
# first when a minimal system lacks it; the Makefile installs the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v make >/dev/null 2>&1; then
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq make >/dev/null
fi
exec make "$@"
