#!/usr/bin/env bash
# Builds the tests and the programs they run with AddressSanitizer and
# UndefinedBehaviorSanitizer (float-cast-overflow included; the first finding stops the
# program) into build-sanitize/ and runs the tests there. Left to the normal run: the two
# tests that stitch the full 5000 x 10000 panorama (minutes and gigabytes under the
# sanitizers); the pipeline's pixel checksums, which hold for the frame the normal build
# of the simulator renders (the sanitized simulator renders other pixels; the stitcher
# gives the same bits in both builds on the same input); the install check and the
# browser test of the viewer page, which need targets this build leaves out. Every other test, end-to-end runs of the sanitized
# quadstitch included, runs here.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-sanitize"
jobs="$(nproc 2>/dev/null || echo 2)"
flags="-fsanitize=address,undefined -fsanitize=float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
# The test programs bring the programs they run with them; benchmarks are not needed.
mapfile -t targets < <(cmake --build "$build" --target help | sed -n 's/^\.\.\. \(test_[a-z_]*\).*/\1/p')
cmake --build "$build" -j "$jobs" --target "${targets[@]}"
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir "$build" --output-on-failure -j "$jobs" -LE browser -E 'FullStitchBeatsFastStitchOnNearObjects|Take.FullStitchEqualsQuadstitch|SmallFrame.PanoramasKeepTheirPixels|Install\.'
