#!/usr/bin/env bash
# The fuzzing part of the test gate, the same on every run: builds the fuzz targets
# with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) into build-fuzz/,
# replays every seed in fuzz/corpus/<target>/ and every past finding in
# fuzz/findings/<target>/, then fuzzes each target from them with a fixed seed for a
# fixed number of runs (about a minute in all). New inputs go to a scratch folder that
# is removed, so each run starts from the committed files alone; -reload=0 keeps the
# clock out of it (the folder is otherwise reread every second).
# Exploring with random seeds and a time budget is scripts/fuzz-explore.sh.
# Usage: bash scripts/fuzz.sh [TARGET...]     (targets: calibration image-header)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/fuzz-common.sh"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(calibration image-header)
fuzz_build "${targets[@]}"

# Runs per target: each about half a minute on this project's 2-core machine.
declare -A runs=([calibration]=400000 [image-header]=1500000)
# The mutations draw on values the code compares, pointers among them: without address
# randomisation, the same seed then tries the same inputs on every run.
fixed_layout=()
if setarch "$(uname -m)" -R true 2>/dev/null; then fixed_layout=(setarch "$(uname -m)" -R); fi
# The readers answer in milliseconds; an input still running after 30 s is a hang
# (a shorter bound would fail the gate when the machine is busy).
fuzz_limits+=(-timeout=30)
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
for target in "${targets[@]}"; do
    binary="$build/fuzz/fuzz-$target"
    folders=()
    for folder in "$root/fuzz/corpus/$target" "$root/fuzz/findings/$target"; do
        [ -d "$folder" ] && folders+=("$folder")
    done
    mapfile -t known < <(find "${folders[@]}" -type f | sort)
    echo "replaying ${#known[@]} committed inputs of $target"
    # Each file runs once, whole (no -max_len cut), and the first fault stops the gate.
    "$binary" "${known[@]}" "${fuzz_limits[@]}" -artifact_prefix="$scratch/" >"$scratch/replay.log" 2>&1 ||
        { tail -n 40 "$scratch/replay.log"; echo "fuzz: a committed $target input fails" >&2; exit 1; }
    count="${runs[$target]:-200000}"
    echo "fuzzing $target: seed 1, $count runs"
    mkdir -p "$scratch/new-$target"
    start=$SECONDS
    # Starting from the committed inputs only, in a fresh folder, keeps every run alike.
    if ! "${fixed_layout[@]}" "$binary" "$scratch/new-$target" "${folders[@]}" \
            -seed=1 -runs="$count" -reload=0 "${fuzz_limits[@]}" -max_len=65536 \
            -artifact_prefix="$build/findings/$target/" -print_final_stats=1 >"$scratch/fuzz.log" 2>&1; then
        tail -n 40 "$scratch/fuzz.log"
        echo "fuzz: $target failed; the input is in $build/findings/$target/ (fix it, then add it to fuzz/findings/$target/)" >&2
        exit 1
    fi
    grep -E '^#[0-9]+[[:space:]]+DONE' "$scratch/fuzz.log" || true
    echo "fuzzing $target took $((SECONDS - start)) s"
done
