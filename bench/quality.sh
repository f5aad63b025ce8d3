#!/usr/bin/env bash
# Quality benchmark: seed quality, best quality and the fast stitch side by side on
# simulated frames with a known answer, one table with the targets.
#
#   bash bench/quality.sh [--quick] [--camera-size N] [--height H] [--keep DIR [--reuse]]
#
# Scenarios: a room with near objects on the seams, the same room without them, the
# no-parallax control (all cameras at the rig centre), the near-object room with
# camera gains of +-8 %, and three frames of a static scene with sensor noise of
# sigma 3, and the near-object room (and the one without them) with the camera rotations in
# the calibration off by sigma 0.3 and 1 degree, scored also in 10-degree tiles against
# seed, with how much of each overlap best fell back. Near pixels worse than seed are also counted in two more rooms (other
# textures and rig, each with its own no-parallax control): in one room the count
# is as much chance as depth. Default size: 1280-pixel cameras and 5000-row panoramas (the program's);
# --quick: 640 and 2500. Every run is niced; expect several minutes at full size.
# --keep DIR keeps the frames and panoramas; with --reuse, frames already simulated
# there (by an earlier run with the same sizes) are not simulated again.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
camera=1280
height=5000
keep=""
reuse=0
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) camera=640; height=2500 ;;
        --camera-size) camera="$2"; shift ;;
        --height) height="$2"; shift ;;
        --keep) keep="$2"; shift ;;
        --reuse) reuse=1 ;;
        *) echo "usage: bash bench/quality.sh [--quick] [--camera-size N] [--height H] [--keep DIR [--reuse]]" >&2
           exit 1 ;;
    esac
    shift
done

build="$root/build"
if [ ! -x "$build/bench/quadstitch-quality" ] || [ ! -x "$build/tools/sim/quadstitch-sim" ]; then
    bash "$root/scripts/build.sh" --with-tests >/dev/null
fi
sim="$build/tools/sim/quadstitch-sim"
quality="$build/bench/quadstitch-quality"
quadstitch="$build/quadstitch"
if [ -n "$keep" ]; then
    work="$keep"
    mkdir -p "$work"
else
    work="$(mktemp -d /tmp/quadstitch-quality.XXXXXX)"
    trap 'rm -rf "$work"' EXIT
fi

seed=11
# Near pixels count as worse than seed's when their error exceeds seed's by more than
# this many levels (mean over the colours, at the 500-row score): the sensor noise
# sigma of the noise scenario, below which a difference is within what noise alone
# makes of one camera pixel. The strict count and the count beyond 8 are printed too,
# and the no-parallax control shows how often exact geometry alone (other seams,
# exposure matching, resampling) differs by as much.
tolerance=3
gen() {
    local frame=0 args=("${@:2}")
    for ((i = 0; i < ${#args[@]}; i++)); do [ "${args[i]}" = --frame ] && frame="${args[i + 1]}"; done
    if [ "$reuse" = 1 ] && [ -f "$work/$1/$(printf %010d "$frame")-4.png" ] && [ -f "$work/$1/truth-seen.png" ]; then
        return
    fi
    nice "$sim" generate "$work/$1" --camera-size "$camera" --seed "${roomSeed:-$seed}" "${@:2}" >/dev/null
}
moreRooms="23 37"
echo "simulating frames ($camera-pixel cameras) in $work ..." >&2
gen near
gen nonear --no-near
gen control --rig-radius 0
gen gains --gains 1.08,0.92,1.08,0.92
for f in 0 1 2; do gen noise --noise 3 --frame "$f"; done
# An imperfect rig: camera rotations in the calibration off by sigma 0.3 and 1 degree
# (the cameras render with the true ones), near objects and a room without them.
calibrationCases="cal0.3 cal1 calfar1"
gen cal0.3 --calibration-error 0.3
gen cal1 --calibration-error 1
gen calfar1 --calibration-error 1 --no-near
for room in $moreRooms; do
    roomSeed="$room" gen "near$room"
    roomSeed="$room" gen "control$room" --rig-radius 0
done

# run LABEL COMMAND...: wall seconds, peak KiB and processor seconds (user + system) of
# the command into $work/LABEL.time
run() {
    local label="$1"; shift
    /usr/bin/time -f "%e %M %U %S" -o "$work/$label.time" nice "$@" >/dev/null 2>"$work/$label.log" ||
        { cat "$work/$label.log" >&2; exit 2; }
}
seedRun() { run "$1-seed" "$quality" "$work/$1" "$work/$1/seed" --height "$height" --mode seed "${@:2}"; }
bestRun() { run "$1-best" "$quality" "$work/$1" "$work/$1/best" --height "$height" --mode best "${@:2}"; }
fastRun() {
    mkdir -p "$work/$1/fast"
    for f in "${@:2}"; do
        run "$1-fast-$f" "$quadstitch" -d "$work/$1" -s 1 -t "$height" -f "$f"
        mv "$work/$1/$(printf %010d "$f").png" "$work/$1/fast/"
    done
}

echo "stitching at $height rows ..." >&2
for scenario in near nonear control gains $calibrationCases; do
    seedRun "$scenario"
    bestRun "$scenario"
    fastRun "$scenario" 0
done
seedRun noise --frames 0,1,2
bestRun noise --frames 0,1,2
fastRun noise 0 1 2
for room in $moreRooms; do
    for scenario in "near$room" "control$room"; do
        seedRun "$scenario"
        bestRun "$scenario"
    done
done

# Each scoring run reads full-size panoramas: run each once and look up its keys.
scores="$work/scores"
rm -rf "$scores"
mkdir -p "$scores"
# scored NAME SIM-SCORE-ARGUMENTS...: the file holding that run's output
scored() {
    local out="$scores/$1"
    [ -s "$out" ] || "$sim" score "${@:2}" > "$out"
    echo "$out"
}
# score SCENARIO MODE KEY: one value of the detailed score of frame 0
score() {
    awk -v k="$3" '$1 == k { print $2 }' "$(scored "$1-$2" "$work/$1/$2/0000000000.png" "$work/$1" --detail)"
}
# flicker MODE: largest difference of consecutive frames, and differing coverage pixels
flicker() {
    local most=0 differing=0 a b
    for pair in "0 1" "1 2"; do
        set -- $pair
        a="$work/noise/$MODE/$(printf %010d "$1").png"
        b="$work/noise/$MODE/$(printf %010d "$2").png"
        read -r d c < <("$sim" compare "$a" "$b" | awk '$1 == "max_difference" {d = $2} $1 == "coverage_differing" {c = $2} END {print d, c}')
        most="$(awk -v x="$most" -v y="$d" 'BEGIN {print (y > x) ? y : x}')"
        differing=$((differing + c))
    done
    echo "$most $differing"
}

row() { printf '%-40s %10s %10s %10s   %s\n' "$@"; }
check() { awk "BEGIN { exit !($1) }" && echo "met" || echo "NOT met"; }

echo
echo "quality at $height rows, $camera-pixel cameras, scored at 500 rows against the rendered truth"
row "measure" "seed" "best" "fast" "target"
for key in psnr psnr_near psnr_far; do
    s="$(score near seed $key)"; b="$(score near best $key)"; f="$(score near fast $key)"
    case "$key" in
        psnr) target="best >= 28: $(check "$b >= 28")" ;;
        psnr_near) target="best >= seed: $(check "$b >= $s")" ;;
        *) target="" ;;
    esac
    row "near objects: $key" "$s" "$b" "$f" "$target"
done
# versus SCENARIO TOLERANCE KEY: a value of best's near pixels against seed's (in %
# for shares). Each panorama is first brought to the truth's level (median ratio per
# colour); holes (near pixels seed covers and best does not) count as worse.
versusOutput() {
    scored "$1-versus-$2" "$work/$1/best/0000000000.png" "$work/$1" --versus "$work/$1/seed/0000000000.png" \
        --tolerance "$2"
}
versus() { awk -v k="$3" '$1 == k { printf "%.2f", 100 * $2 }' "$(versusOutput "$1" "$2")"; }
nearWorse="$(versus near "$tolerance" near_worse_share)"
nearStrict="$(versus near "$tolerance" near_worse_strict_share)"
nearHoles="$(versus near "$tolerance" near_uncovered_share)"
nearCoarse="$(versus near 8 near_worse_share)"
controlWorse="$(versus control "$tolerance" near_worse_share)"
row "near px worse than seed, any amount (%)" "" "$nearStrict" "" "the strict count (noise-level differences)"
row "near px worse than seed by > $tolerance (%)" "" "$nearWorse" "" \
    "holes $nearHoles %, by > 8: $nearCoarse %; best <= no parallax: $(check "$nearWorse <= $controlWorse")"
row "no parallax: near px worse by > $tolerance (%)" "" "$controlWorse" "" "exact geometry: seams, exposure, resampling"
# Where the worse pixels are: the share of each kind of near surface's pixels.
for kind in ceiling floor objects outlines; do
    b="$(versus near "$tolerance" "near_${kind}_worse_share")"; c="$(versus control "$tolerance" "near_${kind}_worse_share")"
    row "  of which $kind (% of their pixels)" "" "$b" "" "no parallax: $c"
done
# The same by how many cameras see the true surface. Where none does, every stitch
# makes the content up; where only one does, no stitch can measure its distance.
for sight in "seen_twice:two or more cameras" "seen_once:one camera" "unseen:no camera"; do
    b="$(versus near "$tolerance" "near_${sight%%:*}_worse_share")"; c="$(versus control "$tolerance" "near_${sight%%:*}_worse_share")"
    n="$(awk -v k="near_${sight%%:*}_compared" '$1 == k { print $2 }' "$(versusOutput near "$tolerance")")"
    row "  seen by ${sight#*:} (%)" "" "$b" "" "no parallax: $c; $n near px"
done
for room in $moreRooms; do
    b="$(versus "near$room" "$tolerance" near_worse_share)"; c="$(versus "control$room" "$tolerance" near_worse_share)"
    row "  the same, room of seed $room (%)" "" "$b" "" "no parallax: $c"
done
for sector in forward right back left; do
    key="sector_${sector}_psnr_far"
    s="$(score near seed $key)"; b="$(score near best $key)"; f="$(score near fast $key)"
    row "near objects: far content, $sector" "$s" "$b" "$f" "best >= fast + 3: $(check "$b >= $f + 3")"
done
s="$(score nonear seed psnr)"; b="$(score nonear best psnr)"; f="$(score nonear fast psnr)"
row "no near objects: psnr" "$s" "$b" "$f" "best >= seed: $(check "$b >= $s")"
s="$(score control seed band_-70_-40_psnr)"; b="$(score control best band_-70_-40_psnr)"
f="$(score control fast band_-70_-40_psnr)"
row "no parallax: psnr at -70..-40" "$s" "$b" "$f" "best >= fast - 0.5: $(check "$b >= $f - 0.5")"
s="$(score control seed band_-70_-40_coverage)"; b="$(score control best band_-70_-40_coverage)"
f="$(score control fast band_-70_-40_coverage)"
row "no parallax: coverage at -70..-40" "$s" "$b" "$f" "best >= fast: $(check "$b >= $f")"
s="$(score control seed coverage)"; b="$(score control best coverage)"; f="$(score control fast coverage)"
row "no parallax: coverage" "$s" "$b" "$f" "best >= fast: $(check "$b >= $f")"
s="$(score gains seed psnr)"; b="$(score gains best psnr)"; f="$(score gains fast psnr)"
plain="$(score near best psnr)"
row "gains +-8 %: psnr" "$s" "$b" "$f" "best >= $plain - 0.5 (no gains): $(check "$b >= $plain - 0.5")"
read -r sd sc < <(MODE=seed flicker); read -r bd bc < <(MODE=best flicker); read -r fd fc < <(MODE=fast flicker)
row "noise 3, 3 frames: max diff (8x)" "$sd" "$bd" "$fd" "best <= 16: $(check "$bd <= 16")"
row "noise 3, 3 frames: alpha pixels differing" "$sc" "$bc" "$fc" "best = 0: $(check "$bc == 0")"
read -r st sm su ss < "$work/near-seed.time"; read -r bt bm bu bs < "$work/near-best.time"
read -r ft fm fu fs < "$work/near-fast-0.time"
# Processor time decides: wall time follows whatever else the machine runs.
sc="$(awk -v u="$su" -v s="$ss" 'BEGIN {print u + s}')"; bc="$(awk -v u="$bu" -v s="$bs" 'BEGIN {print u + s}')"
fc="$(awk -v u="$fu" -v s="$fs" 'BEGIN {print u + s}')"
row "processor time, one frame (s)" "$sc" "$bc" "$fc" "best <= 1.5 x seed: $(check "$bc <= 1.5 * $sc")"
row "wall time, one frame (s)" "$st" "$bt" "$ft" "shared machine: for information"
# Calibration error: best must degrade to seed's behaviour where the images contradict
# the calibration, not warp. Tiles of 10 x 10 degrees, all content, against seed.
for scenario in near $calibrationCases; do
    case "$scenario" in
        near) label="exact calibration" limit=2 ;;
        cal0.3) label="rotations off 0.3 deg" limit=3 ;;
        cal1) label="rotations off 1 deg" limit=3 ;;
        calfar1) label="no near objects, off 1 deg" limit=3 ;;
    esac
    for key in psnr_near psnr_far; do
        s="$(score "$scenario" seed $key)"; b="$(score "$scenario" best $key)"; f="$(score "$scenario" fast $key)"
        row "$label: $key" "$s" "$b" "$f" "best >= seed - 0.3: $(check "$b >= $s - 0.3")"
    done
    t="$(versus "$scenario" "$tolerance" tiles_worse_share)"
    w="$(awk '$1 == "tiles_worst_db" { print $2 }' "$(versusOutput "$scenario" "$tolerance")")"
    row "  tiles worse than seed by > 1 dB (%)" "" "$t" "" "best <= $limit: $(check "$t <= $limit"); worst $w dB"
    fell="$(awk '$1 ~ /^fallback_pair/ { sub("fallback_pair_", "", $1); printf "%s %.0f%%, ", $1, 100 * $2 }
                 $1 == "calibration_contradicted" { c = $2 } END { printf "whole frame %s", c ? "yes" : "no" }' \
            "$work/$scenario-best.log")"
    row "  best fell back (share of each overlap)" "" "" "" "$fell"
done
row "peak memory (MiB)" "$((sm / 1024))" "$((bm / 1024))" "$((fm / 1024))" "best <= 1.2 x seed: $(check "$bm <= 1.2 * $sm")"
