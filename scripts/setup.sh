#!/usr/bin/env bash
# Installs the project's dependencies from Debian's archive. Safe to run repeatedly:
# the package index is refreshed at most once, and only missing packages are installed.
set -euo pipefail

packages=(
    # build
    g++ cmake make pkg-config time
    # libraries
    libopencv-dev
    libboost-program-options-dev
    libboost-filesystem-dev
    # 360 metadata of the batch tool's panoramas
    libexiv2-dev
    # tests and benchmarks
    libgtest-dev googletest libbenchmark-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    echo "Installing: ${missing[*]}"
    $SUDO apt-get -o DPkg::Lock::Timeout=300 update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
        --no-install-recommends "${missing[@]}"
fi
