#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer (float-cast-overflow
# included; the first finding stops the program) into build-sanitize/ and runs the tests there.
# The full stitch end-to-end test (a 5000 x 10000 panorama, minutes and gigabytes under the
# sanitizers) is left to the normal run; every other test, end-to-end runs of the sanitized
# quadstitch included, runs here.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-sanitize"
jobs="$(nproc 2>/dev/null || echo 2)"
flags="-fsanitize=address,undefined -fsanitize=float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" -j "$jobs"
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir "$build" --output-on-failure -j "$jobs" -E 'FullStitchBeatsFastStitchOnNearObjects'
