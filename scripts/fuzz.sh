#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# into build-fuzz/ and runs each for SECONDS (default 60) from the seed corpus in
# fuzz/corpus/<target>/. New inputs go to build-fuzz/corpus/, findings to build-fuzz/findings/.
# Usage: bash scripts/fuzz.sh [SECONDS] [TARGET...]     (targets: calibration image-header)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(calibration image-header)
build="$root/build-fuzz"
flags="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fsanitize=fuzzer-no-link -g"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DQUADSTITCH_FUZZ=ON -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]/#/fuzz-}"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in "${targets[@]}"; do
    mkdir -p "$build/corpus/$target" "$build/findings/$target"
    echo "fuzzing $target for ${seconds}s"
    # -timeout: an input that takes a second is a hang; the reader must answer far faster.
    "$build/fuzz/fuzz-$target" "$build/corpus/$target" "$root/fuzz/corpus/$target" \
        -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 -max_len=65536 \
        -artifact_prefix="$build/findings/$target/" -print_final_stats=1 2>&1 | tail -n 12
done
