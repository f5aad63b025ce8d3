#!/usr/bin/env bash
# Exploratory fuzzing, not part of the test gate: each target for SECONDS (default 300)
# with a random seed, keeping what it learns in build-fuzz/corpus/<target>/ across runs.
# A finding lands in build-fuzz/findings/<target>/: fix the fault, then commit the input
# to fuzz/findings/<target>/ so that the gate (scripts/fuzz.sh) replays it from then on.
# Inputs that reach new code may be added to fuzz/corpus/<target>/ as seeds.
# Usage: bash scripts/fuzz-explore.sh [SECONDS] [TARGET...]   (targets: calibration image-header)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/fuzz-common.sh"
seconds="${1:-300}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(calibration image-header)
fuzz_build "${targets[@]}" || exit 1
# An input that takes seconds is worth a look; replay it (the gate does) to tell a slow
# input from a busy machine.
fuzz_limits+=(-timeout=5)
status=0
for target in "${targets[@]}"; do
    mkdir -p "$build/corpus/$target"
    echo "exploring $target for ${seconds}s"
    folders=()
    for folder in "$root/fuzz/corpus/$target" "$root/fuzz/findings/$target"; do
        [ -d "$folder" ] && folders+=("$folder")
    done
    "$build/fuzz/fuzz-$target" "$build/corpus/$target" "${folders[@]}" \
        -max_total_time="$seconds" "${fuzz_limits[@]}" -max_len=65536 \
        -artifact_prefix="$build/findings/$target/" -print_final_stats=1 2>&1 | grep -v "^#" | tail -n 40
    [ "${PIPESTATUS[0]}" -eq 0 ] || { status=1; echo "finding for $target in $build/findings/$target/"; }
done
exit $status
