#!/usr/bin/env bash
# Video benchmark: seed, best and fast side by side on simulated takes, one table with
# the targets of a take stitched in pieces, of moving objects and of compressed inputs.
#
#   bash bench/temporal.sh [--quick] [--frames N] [--camera-size N] [--height H] [--keep DIR [--reuse]]
#
# Scenarios:
# - a static take with sensor noise of sigma 3 (N frames): the largest difference of
#   consecutive panoramas after 8x area reduction (over pixels both cover), in one run
#   and where a second run starts halfway (as a second worker or shard does); the
#   second run pre-rolls the frames before its first, and its panoramas must equal the
#   single run's pixel for pixel. The same split without the pre-roll shows the pop a
#   fresh start makes.
# - moving objects at 0.2 and 1.8 degrees a frame (N frames): every frame of the take
#   against the same frame stitched alone: PSNR of the near objects against the truth,
#   and the largest 8x difference.
# - the near-object room with JPEG camera images (quality 95) against PNG ones.
# Seed and fast keep no state from frame to frame: a take's frame is the frame alone.
# Default size: 1280-pixel cameras, 5000-row panoramas and 12 frames; --quick: 640,
# 2500 and 6 (truth panoramas of 500 rows instead of 1000). Every run is niced.
# --keep DIR keeps the frames and panoramas; with --reuse, frames already simulated
# there are not simulated again.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
camera=1280
height=5000
truth=1000
frames=12
keep=""
reuse=0
usage() { echo "usage: bash bench/temporal.sh [--quick] [--frames N] [--camera-size N] [--height H] [--keep DIR [--reuse]]" >&2; exit 1; }
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) camera=640; height=2500; truth=500; frames=6 ;;
        --frames) frames="$2"; shift ;;
        --camera-size) camera="$2"; shift ;;
        --height) height="$2"; shift ;;
        --keep) keep="$2"; shift ;;
        --reuse) reuse=1 ;;
        *) usage ;;
    esac
    shift
done
[[ "$frames" =~ ^[0-9]+$ ]] && [ "$frames" -ge 4 ] || { echo "temporal.sh: --frames: at least 4" >&2; exit 1; }

build="$root/build"
for program in bench/quadstitch-quality tools/sim/quadstitch-sim quadstitch; do
    [ -x "$build/$program" ] || { bash "$root/scripts/build.sh" >/dev/null; break; }
done
sim="$build/tools/sim/quadstitch-sim"
quality="$build/bench/quadstitch-quality"
quadstitch="$build/quadstitch"
if [ -n "$keep" ]; then
    work="$keep"
    mkdir -p "$work"
else
    work="$(mktemp -d /tmp/quadstitch-temporal.XXXXXX)"
    trap 'rm -rf "$work"' EXIT
fi

seed=11
last=$((frames - 1))
half=$((frames / 2))
list() { seq -s, "$1" "$2"; }
name() { printf %010d "$1"; }

# gen SCENARIO FRAME ARGS...: one simulated frame
gen() {
    local dir="$work/$1" frame="$2" ext=.png args=("${@:3}")
    for ((i = 0; i < ${#args[@]}; i++)); do [ "${args[i]}" = --ext ] && ext="${args[i + 1]}"; done
    if [ "$reuse" = 1 ] && [ -f "$dir/$(name "$frame")-4$ext" ]; then
        return
    fi
    nice "$sim" generate "$dir" --camera-size "$camera" --truth-height "$truth" --seed "$seed" --frame "$frame" \
        "${@:3}" >/dev/null
}
echo "simulating frames ($camera-pixel cameras) in $work ..." >&2
for f in $(seq 0 "$last"); do
    gen static "$f" --noise 3
    gen move02 "$f" --move 0.2
    gen move18 "$f" --move 1.8
done
gen png 0
gen jpeg 0 --ext .jpg

# stitch SCENARIO OUT MODE ARGS...: quadstitch-quality, its stage times kept in a log;
# with --reuse, runs that finished before (marked .done) are not run again
stitch() {
    local out="$work/$1/$2"
    [ "$reuse" = 1 ] && [ -f "$out.done" ] && return
    mkdir -p "$out"
    nice "$quality" "$work/$1" "$out" --height "$height" --mode "$3" "${@:4}" 2>"$out.log" >/dev/null ||
        { cat "$out.log" >&2; exit 2; }
    touch "$out.done"
}
# fast SCENARIO OUT EXT FRAMES...: the program's fast stitch (its panorama takes the
# camera images' format)
fast() {
    local out="$work/$1/$2" f
    [ "$reuse" = 1 ] && [ -f "$out.done" ] && return
    mkdir -p "$out"
    for f in "${@:4}"; do
        nice "$quadstitch" -d "$work/$1" -s 1 -t "$height" -f "$f" -i "$3" >/dev/null
        mv "$work/$1/$(name "$f")$3" "$out/"
    done
    touch "$out.done"
}

echo "stitching at $height rows ..." >&2
# The static take: one run, and a second run from the middle with and without its pre-roll:
# the depth's window less one, and the seams' window less one before those.
window=24
seamWindow=5
before=$((window - 1 + seamWindow - 1))
from=$((half - before)); [ "$from" -lt 0 ] && from=0
stitch static best best --frames "$(list 0 "$last")"
stitch static best-split best --frames "$(list "$half" "$last")" --preroll "$(list "$from" $((half - 1)))"
stitch static best-cold best --frames "$(list "$half" "$last")"
stitch static seed seed --frames "$(list 0 "$last")"
fast static fast .png $(seq 0 "$last")
# Moving objects: the take in one run, and every frame alone.
for scenario in move02 move18; do
    stitch "$scenario" best best --frames "$(list 0 "$last")"
    stitch "$scenario" seed seed --frames "$(list 0 "$last")"
    for f in $(seq 0 "$last"); do
        stitch "$scenario" "alone$f" best --frames "$f"
    done
done
for ext in png jpeg; do
    stitch "$ext" best best --ext ".${ext/jpeg/jpg}"
    stitch "$ext" seed seed --ext ".${ext/jpeg/jpg}"
    fast "$ext" fast ".${ext/jpeg/jpg}" 0
done

# difference A B: largest difference after 8x reduction over pixels both cover
difference() { "$sim" compare "$1" "$2" | awk '$1 == "max_difference" { print $2 }'; }
# consecutive DIR FIRST LAST: the largest difference of consecutive panoramas
consecutive() {
    local most=0 f d
    for ((f = $2; f < $3; f++)); do
        d="$(difference "$1/$(name "$f").png" "$1/$(name $((f + 1))).png")"
        most="$(awk -v x="$most" -v y="$d" 'BEGIN { print (y > x) ? y : x }')"
    done
    echo "$most"
}
# identical A B: 0 when the decoded pixels are the same (colour and coverage), else
# the largest difference or the number of coverage pixels differing, whichever is more
identical() {
    "$sim" compare "$1" "$2" --factor 1 |
        awk '$1 == "max_difference" { d = $2 } $1 == "coverage_differing" { c = $2 } END { print (c > d) ? c : d }'
}
# psnr PANO DIR FRAME KEY: a value of the score against that frame's truth
psnr() {
    local frame=()
    [ -n "$3" ] && frame=(--frame "$3")
    "$sim" score "$1" "$2" "${frame[@]}" | awk -v k="$4" '$1 == k { print $2 }'
}
row() { printf '%-44s %10s %10s %10s   %s\n' "$@"; }
check() { awk "BEGIN { exit !($1) }" && echo "met" || echo "NOT met"; }
max() { awk -v x="$1" -v y="$2" 'BEGIN { print (y > x) ? y : x }'; }

echo
echo "video at $height rows, $camera-pixel cameras, $frames frames; differences after 8x area reduction"
row "measure" "seed" "best" "fast" "target"
s="$(consecutive "$work/static/seed" 0 "$last")"
b="$(consecutive "$work/static/best" 0 "$last")"
f="$(consecutive "$work/static/fast" 0 "$last")"
row "static, one run: consecutive frames" "$s" "$b" "$f" "best <= 16: $(check "$b <= 16")"
# Where the second run meets the first, and through it.
joined="$work/static/best-joined"
mkdir -p "$joined"
for f in $(seq 0 $((half - 1))); do cp "$work/static/best/$(name "$f").png" "$joined/"; done
for f in $(seq "$half" "$last"); do cp "$work/static/best-split/$(name "$f").png" "$joined/"; done
b="$(consecutive "$joined" 0 "$last")"
row "static, split at $half: consecutive frames" "" "$b" "" "best <= 16: $(check "$b <= 16")"
same=0
for f in $(seq "$half" "$last"); do
    same="$(max "$same" "$(identical "$work/static/best/$(name "$f").png" "$work/static/best-split/$(name "$f").png")")"
done
row "static, split: largest pixel difference" "0" "$same" "0" \
    "best = 0 (pre-roll of $((half - from)) frames): $(check "$same == 0")"
cold="$(difference "$work/static/best/$(name $((half - 1))).png" "$work/static/best-cold/$(name "$half").png")"
row "  the same split without pre-roll: the join" "" "$cold" "" "for comparison: a fresh start"
for scenario in move02 move18; do
    speed="${scenario#move}"; speed="${speed:0:1}.${speed:1}"
    worst=0 lag=0 seedNear="" bestNear=""
    for f in $(seq 0 "$last"); do
        take="$work/$scenario/best/$(name "$f").png"
        alone="$work/$scenario/alone$f/$(name "$f").png"
        t="$(psnr "$take" "$work/$scenario" "$f" psnr_near)"
        a="$(psnr "$alone" "$work/$scenario" "$f" psnr_near)"
        lag="$(max "$lag" "$(awk -v a="$a" -v t="$t" 'BEGIN { print a - t }')")"
        worst="$(max "$worst" "$(difference "$take" "$alone")")"
    done
    s="$(psnr "$work/$scenario/seed/$(name "$last").png" "$work/$scenario" "$last" psnr_near)"
    b="$(psnr "$work/$scenario/best/$(name "$last").png" "$work/$scenario" "$last" psnr_near)"
    row "moving $speed deg/frame: near PSNR, last frame" "$s" "$b" "" "for information"
    row "  take below alone, worst frame (dB)" "0" "$lag" "0" "best <= 0.2: $(check "$lag <= 0.2")"
    row "  take against alone, largest difference" "0" "$worst" "0" "best <= 16: $(check "$worst <= 16")"
done
for key in psnr psnr_near; do
    sp="$(psnr "$work/png/seed/$(name 0).png" "$work/png" "" "$key")"
    sj="$(psnr "$work/jpeg/seed/$(name 0).png" "$work/jpeg" "" "$key")"
    bp="$(psnr "$work/png/best/$(name 0).png" "$work/png" "" "$key")"
    bj="$(psnr "$work/jpeg/best/$(name 0).png" "$work/jpeg" "" "$key")"
    fp="$(psnr "$work/png/fast/$(name 0).png" "$work/png" "" "$key")"
    fj="$(psnr "$work/jpeg/fast/$(name 0).jpg" "$work/jpeg" "" "$key")"
    loss() { awk -v p="$1" -v j="$2" 'BEGIN { printf "%.2f", p - j }'; }
    row "JPEG inputs: $key (PNG / JPEG)" "$sp / $sj" "$bp / $bj" "$fp / $fj" ""
    row "  JPEG loss (dB)" "$(loss "$sp" "$sj")" "$(loss "$bp" "$bj")" "$(loss "$fp" "$fj")" \
        "best <= 0.5: $(check "$(loss "$bp" "$bj") <= 0.5")"
done
# Wall time of a run start, from the second run's log: a frame pre-rolled for its depth,
# and one pre-rolled for its seams as well. The last frames' images are only kept at
# first (each call measures the depth of the frame that many before it), and their
# seams are found with the first stitched frame, once it is known which frames are
# the last: that is what the first frame took beyond a frame of the single run.
frame="$(awk '/^frame [0-9]+: / { s += $3; n++ } END { if (n) printf "%.2f", s / n }' "$work/static/best.log")"
read -r depthOnly withSeams < <(awk -v frame="$frame" -v seams=$((seamWindow - 1)) '
    /pre-rolled/ { s += $4; n++ }
    /^frame [0-9]+: / && !first { extra = $3 - frame; first = 1 }
    END {
        k = (n < seams) ? n : seams
        printf "%.2f %.2f\n", (n > k) ? s / (n - k) : 0, k ? extra / k : 0
    }' "$work/static/best-split.log")
runStart="$(awk -v d="$depthOnly" -v s="$withSeams" -v a=$((window - 1)) -v b=$((seamWindow - 1)) \
    'BEGIN { printf "%.0f", a * d + b * s }')"
row "best: wall s a frame: stitched / pre-rolled" "" "$frame / $depthOnly" "" \
    "pre-rolled with seams: $withSeams (shared machine: for information)"
row "  a run start: $((window - 1)) + $((seamWindow - 1)) frames pre-rolled" "" "$runStart s" "" \
    "$((window - 1)) for the depth, $((seamWindow - 1)) more with seams"
