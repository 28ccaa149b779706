#!/usr/bin/env bash
# Installs the Debian packages named that are not installed yet, with sudo
# when not root; every script that needs a system package comes through here.
#   scripts/apt_install.sh PKG...
set -euo pipefail
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0
echo "apt: installing ${missing[*]}"
SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
# Engineers and CI jobs sharing a machine would race on dpkg's lock.
LOCK=(); command -v flock >/dev/null && LOCK=(flock /tmp/apt.lock)
$SUDO "${LOCK[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO "${LOCK[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
