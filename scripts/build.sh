#!/usr/bin/env bash
# Installs missing dependencies and builds the programs and tools (Release, -O2) into
# build/. --with-tests: also the test suite and the benchmarks, with their dependencies.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
with_tests=OFF
for argument in "$@"; do
    case "$argument" in
        --with-tests) with_tests=ON ;;
        *) echo "build.sh: unknown option '$argument' (only --with-tests)" >&2; exit 1 ;;
    esac
done
if [ "$with_tests" = ON ]; then
    bash "$root/scripts/setup.sh" --with-tests
else
    bash "$root/scripts/setup.sh"
fi
jobs="$(nproc 2>/dev/null || echo 2)"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING="$with_tests" \
    -DQUADSTITCH_BENCH="$with_tests" >/dev/null
cmake --build "$root/build" -j "$jobs"
