#!/usr/bin/env bash
# Runs one Makefile target on any Debian machine, installing make itself
# first when a minimal system lacks it; the Makefile installs the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v make >/dev/null 2>&1 || scripts/apt_install.sh make
exec make "$@"
