#!/usr/bin/env bash
# One-command benchmark: builds, simulates a frame, times both modes of the
# program as whole processes, the blending half beside enblend on the same
# four depth-free parts, then the stages of the full stitch and the map
# builders through the libraries. Whole processes are measured with
# /usr/bin/time -v: wall time, processor time (user + system), peak memory.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/build.sh" --with-tests >/dev/null
build="$root/build"
frame="$(mktemp -d /tmp/quadstitch-bench.XXXXXX)"
trap 'rm -rf "$frame"' EXIT

# enblend is the peer for the blending half; a benchmark-only dependency.
if ! command -v enblend >/dev/null 2>&1; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    echo "Installing enblend (benchmark peer)"
    $SUDO apt-get -o DPkg::Lock::Timeout=300 update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
        --no-install-recommends enblend >/dev/null
fi

"$build/tools/sim/quadstitch-sim" generate "$frame" >/dev/null

rows=()
measure() {
    local label="$1"; shift
    local log="$frame/time.log"
    /usr/bin/time -v "$@" 2>"$log" >/dev/null || { cat "$log"; exit 1; }
    local wall cpu peak
    wall="$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, t, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + t[i]; printf "%.2f s", s}' "$log")"
    cpu="$(awk -F': ' '/User time/ {u = $2} /System time/ {s = $2} END {printf "%.2f s", u + s}' "$log")"
    peak="$(awk -F': ' '/Maximum resident set size/ {printf "%.0f MiB", $2/1024}' "$log")"
    rows+=("$(printf '| %-52s | %9s | %9s | %9s |' "$label" "$wall" "$cpu" "$peak")")
    printf '%-52s wall %-9s cpu %-9s peak %s\n' "$label" "$wall" "$cpu" "$peak"
}

echo "== whole process (/usr/bin/time -v)"
measure "floor: read 4 images, write PNG" "$build/bench/quadstitch-floor" "$frame"
measure "fast stitch, height 1000" "$build/quadstitch" -d "$frame" -s 1
"$build/tools/sim/quadstitch-sim" score "$frame/0000000000.png" "$frame" | sed 's/^/  fast: /'
measure "full stitch, 5000 x 10000" "$build/quadstitch" -d "$frame"
"$build/tools/sim/quadstitch-sim" score "$frame/0000000000.png" "$frame" | sed 's/^/  full: /'

echo "== blending half on the four depth-free parts (TIFF in, TIFF out)"
"$build/bench/quadstitch-writeparts" "$frame" "$frame/parts"
parts=("$frame"/parts/part-{1,2,3,4}.tif)
measure "enblend --wrap=horizontal" enblend --wrap=horizontal -o "$frame/enblend.tif" "${parts[@]}"
measure "quadstitch blend (masks, seams, spline)" "$build/bench/quadstitch-blendparts" "$frame" "$frame/ours.tif" "${parts[@]}"

echo
printf '| %-52s | %9s | %9s | %9s |\n' run wall CPU "peak mem"
printf '|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..54})" "-----------" "-----------" "-----------"
printf '%s\n' "${rows[@]}"
echo

echo "== stages of the full stitch"
"$build/bench/quadstitch-stages" "$frame"

echo "== PNG encoding of the full panorama"
"$build/bench/quadstitch-encode" "$frame/ours.tif"

if [ -x "$build/bench/quadstitch-mapbench" ]; then
    echo "== map building"
    "$build/bench/quadstitch-mapbench" --frame="$frame"
fi
