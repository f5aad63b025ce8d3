#!/usr/bin/env bash
# Sets up, builds and runs every test; then the tests again under the address and
# undefined-behaviour sanitizers, and the fuzz targets on the committed inputs and for a
# fixed number of runs from a fixed seed; every step gives the same result on every run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/build.sh" --with-tests
ctest --test-dir "$root/build" --output-on-failure -j "$(nproc 2>/dev/null || echo 2)"
bash "$root/scripts/sanitize.sh"
bash "$root/scripts/fuzz.sh"
