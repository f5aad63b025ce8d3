#!/usr/bin/env bash
# One-command benchmark: builds, simulates a frame, times both modes of the
# program as whole processes (wall time, peak memory), then the stages of the
# full stitch and the map builders through the libraries.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/build.sh" >/dev/null
build="$root/build"
frame="$(mktemp -d /tmp/quadstitch-bench.XXXXXX)"
trap 'rm -rf "$frame"' EXIT

"$build/tools/sim/quadstitch-sim" generate "$frame" >/dev/null

measure() {
    local label="$1"; shift
    local log="$frame/time.log"
    /usr/bin/time -v "$@" 2>"$log" >/dev/null || { cat "$log"; exit 1; }
    local wall peak
    wall="$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$log")"
    peak="$(awk -F': ' '/Maximum resident set size/ {printf "%.0f MiB", $2/1024}' "$log")"
    printf '%-34s wall %-9s peak %s\n' "$label" "$wall" "$peak"
}

echo "== whole process (/usr/bin/time -v)"
measure "floor: read 4 images, write PNG" "$build/bench/quadstitch-floor" "$frame"
measure "fast stitch, height 1000" "$build/quadstitch" -d "$frame" -s 1
"$build/tools/sim/quadstitch-sim" score "$frame/0000000000.png" "$frame" | sed 's/^/  fast: /'
measure "full stitch, 5000 x 10000" "$build/quadstitch" -d "$frame"
"$build/tools/sim/quadstitch-sim" score "$frame/0000000000.png" "$frame" | sed 's/^/  full: /'

echo "== stages of the full stitch"
"$build/bench/quadstitch-stages" "$frame"

if [ -x "$build/bench/quadstitch-mapbench" ]; then
    echo "== map building"
    "$build/bench/quadstitch-mapbench" --frame="$frame"
fi
