#!/usr/bin/env bash
# Sets up, builds and runs every test; then the tests again under the address and
# undefined-behaviour sanitizers, and a short fuzzing run of the input checks.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/build.sh"
ctest --test-dir "$root/build" --output-on-failure -j "$(nproc 2>/dev/null || echo 2)"
bash "$root/scripts/sanitize.sh"
bash "$root/scripts/fuzz.sh" 60
