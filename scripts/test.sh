#!/usr/bin/env bash
# Sets up, builds and runs every test.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/build.sh"
ctest --test-dir "$root/build" --output-on-failure -j "$(nproc 2>/dev/null || echo 2)"
