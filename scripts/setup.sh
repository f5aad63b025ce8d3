#!/usr/bin/env bash
# Installs the build dependencies from Debian's archive. Safe to run repeatedly:
# the package index is refreshed once, and only missing packages are installed.
set -euo pipefail

packages=(g++ cmake make pkg-config libopencv-dev libboost-program-options-dev
          libboost-filesystem-dev libgtest-dev googletest libbenchmark-dev time)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
