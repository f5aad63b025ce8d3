#!/usr/bin/env bash
# Calibration benchmark: quadstitch-calibrate on simulated takes whose calibration
# has the cameras' rotations off, side by side with the true and the erroneous
# calibration, one table with the targets.
#
#   bash bench/calibrate.sh [--quick] [--camera-size N] [--frames N] [--far-frames N] [--keep DIR [--reuse]]
#                           [--detectors]
#
# Takes: the room with near objects and the room without them (far content only),
# N frames each (default 20; --far-frames for the second room) with sensor noise of sigma 2 and a calibration off by
# sigma 1 degree per axis; sigma 3 and the true calibration are refined on the same
# frames. Stitches (fast at 2500 rows, full at the program's 5000) of frame 0 are scored
# against the truth at 500 rows. The check's threshold is measured on calibrations
# off by 0.1, 0.25 and 0.5 degrees. --detectors also refines with SIFT, AKAZE and ORB.
# Default size: 1280-pixel cameras; --quick: 640 and 5 frames. Expect 15-20 minutes
# at full size (most of it simulating). Every run is niced.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
camera=1280
frames=20
farFrames=""
keep=""
reuse=0
detectors=0
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) camera=640; frames=5 ;;
        --camera-size) camera="$2"; shift ;;
        --frames) frames="$2"; shift ;;
        --far-frames) farFrames="$2"; shift ;;
        --keep) keep="$2"; shift ;;
        --reuse) reuse=1 ;;
        --detectors) detectors=1 ;;
        *) echo "usage: bash bench/calibrate.sh [--quick] [--camera-size N] [--frames N] [--far-frames N] [--keep DIR [--reuse]] [--detectors]" >&2
           exit 1 ;;
    esac
    shift
done

build="$root/build"
for tool in quadstitch tools/sim/quadstitch-sim tools/calibrate/quadstitch-calibrate bench/quadstitch-rotation-diff; do
    [ -x "$build/$tool" ] || { bash "$root/scripts/build.sh" >/dev/null; break; }
done
sim="$build/tools/sim/quadstitch-sim"
calibrate="$build/tools/calibrate/quadstitch-calibrate"
rotdiff="$build/bench/quadstitch-rotation-diff"
quadstitch="$build/quadstitch"
if [ -n "$keep" ]; then
    work="$keep"
    mkdir -p "$work"
else
    work="$(mktemp -d /tmp/quadstitch-calibrate.XXXXXX)"
    trap 'rm -rf "$work"' EXIT
fi
seed=11
fastHeight=2500

# gen DIR FRAME ARGS...: one simulated frame (kept with --reuse)
gen() {
    local dir="$1" frame="$2"
    if [ "$reuse" = 1 ] && [ -f "$work/$dir/$(printf %010d "$frame")-4.png" ]; then return; fi
    nice "$sim" generate "$work/$dir" --camera-size "$camera" --seed "$seed" --noise 2 --truth-height 500 \
        --frame "$frame" "${@:3}" >/dev/null
}
echo "simulating $frames frames of two rooms ($camera-pixel cameras) in $work ..." >&2
farFrames="${farFrames:-$frames}"
for ((f = 0; f < frames; f++)); do gen near "$f" --calibration-error 1; done
for ((f = 0; f < farFrames; f++)); do gen far "$f" --calibration-error 1 --no-near; done
# Other errors of the same rig: only their calibration is used.
for sigma in 3 0.5 0.25 0.1; do
    gen "sigma$sigma" 0 --calibration-error "$sigma" --truth-height 2
done

# variant SCENE NAME CALIBRATION: a folder with frame 0 of SCENE, its truth and CALIBRATION
variant() {
    local dir="$work/$1-$2"
    rm -rf "$dir"
    mkdir -p "$dir"
    for k in 1 2 3 4; do ln -s "$work/$1/0000000000-$k.png" "$dir/"; done
    for t in truth.png truth-invdepth.tiff truth-seen.png; do ln -s "$work/$1/$t" "$dir/"; done
    cp "$3" "$dir/calibration.yaml"
    echo "$dir"
}
# psnr PANO DIR: overall PSNR against the truth
psnr() { "$sim" score "$1" "$2" | awk '$1 == "psnr" { print $2 }'; }
# residual CHECK-OUTPUT: the worst pair's median residual
median() { awk '/^median:/ { print $2 }'; }

declare -A result cell
for scene in near far; do
    dir="$work/$scene"
    cp "$dir/calibration.yaml" "$dir/calibration-sigma1.yaml"
    cp "$work/sigma3/calibration.yaml" "$dir/calibration-sigma3.yaml"
    echo "refining $scene ..." >&2
    for input in sigma1 sigma3 true; do
        /usr/bin/time -f "%e %U %S" -o "$work/$scene-$input.time" nice "$calibrate" -q -d "$dir" \
            --calibration "$dir/calibration-$input.yaml" -o "$dir/refined-$input.yaml" \
            --report "$dir/refined-$input.json"
        result[$scene,$input,before]=$("$rotdiff" "$dir/calibration-$input.yaml" "$dir/calibration-true.yaml" | median)
        result[$scene,$input,after]=$("$rotdiff" "$dir/refined-$input.yaml" "$dir/calibration-true.yaml" | median)
        result[$scene,$input,time]=$(awk '{ printf "%.1f s (processor %.1f s)", $1, $2 + $3 }' "$work/$scene-$input.time")
    done
    echo "checking $scene ..." >&2
    for input in true sigma1 refined-sigma1; do
        file="$dir/calibration-$input.yaml"
        [ "$input" = refined-sigma1 ] && file="$dir/refined-sigma1.yaml"
        status=0
        "$calibrate" -q -d "$dir" --calibration "$file" --check --report "$dir/check-$input.json" 2>/dev/null || status=$?
        residual=$(sed -n 's/.*"residualDeg":\([0-9.]*\).*/\1/p' "$dir/check-$input.json")
        result[$scene,check,$input]="$residual ($([ $status = 0 ] && echo passes || echo "status $status"))"
    done
    for sigma in 0.5 0.25 0.1; do
        status=0
        "$calibrate" -q -d "$dir" --calibration "$work/sigma$sigma/calibration.yaml" --check \
            --report "$dir/check-sigma$sigma.json" 2>/dev/null || status=$?
        residual=$(sed -n 's/.*"residualDeg":\([0-9.]*\).*/\1/p' "$dir/check-sigma$sigma.json")
        result[$scene,check,sigma$sigma]="$residual ($([ $status = 0 ] && echo passes || echo "status $status"))"
    done
    echo "stitching $scene ..." >&2
    for input in true sigma1 refined-sigma1 refined-true sigma0.25; do
        case "$input" in
            true|sigma1) file="$dir/calibration-$input.yaml" ;;
            refined-*) file="$dir/$input.yaml" ;;
            sigma*) file="$work/$input/calibration.yaml" ;;
        esac
        v=$(variant "$scene" "$input" "$file")
        nice "$quadstitch" -d "$v" -s 1 -t "$fastHeight" -f 0
        result[$scene,fast,$input]=$(psnr "$v/0000000000.png" "$v")
        if [ "${input#sigma0}" = "$input" ]; then
            nice "$quadstitch" -d "$v" -f 0
            result[$scene,full,$input]=$(psnr "$v/0000000000.png" "$v")
        fi
    done
done

if [ "$detectors" = 1 ]; then
    for kind in sift akaze orb; do
        /usr/bin/time -f "%e %U %S" -o "$work/detector-$kind.time" nice "$calibrate" -q -d "$work/near" \
            --calibration "$work/near/calibration-sigma1.yaml" -o "$work/near/refined-$kind.yaml" --features "$kind" \
            --report "$work/near/refined-$kind.json" || true
        result[detector,$kind]="$("$rotdiff" "$work/near/refined-$kind.yaml" "$work/near/calibration-true.yaml" | median) deg, $(awk '{ printf "%.1f s (processor %.1f s)", $1, $2 + $3 }' "$work/detector-$kind.time"), matches $(grep -o '"matches":[0-9]*' "$work/near/refined-$kind.json" | cut -d: -f2 | paste -sd/)"
    done
fi

printf "\n%d frames (far: %d) of %d-pixel cameras; rotations: median over cameras of the angle to the true rotation\n\n" "$frames" "$farFrames" "$camera"
printf "| measure | target | near objects | far only |\n|---|---|---|---|\n"
row() { printf "| %s | %s | %s | %s |\n" "$1" "$2" "$3" "$4"; }
dB() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.2f", a - b }'; }
row "sigma 1: rotations before -> after (deg)" "<= 0.05" \
    "${result[near,sigma1,before]} -> ${result[near,sigma1,after]}" "${result[far,sigma1,before]} -> ${result[far,sigma1,after]}"
row "sigma 3: rotations before -> after (deg)" "<= 0.1" \
    "${result[near,sigma3,before]} -> ${result[near,sigma3,after]}" "${result[far,sigma3,before]} -> ${result[far,sigma3,after]}"
row "true calibration refined: rotations after (deg)" "" "${result[near,true,after]}" "${result[far,true,after]}"
for mode in fast full; do
    for scene in near far; do
        t=${result[$scene,$mode,true]}; e=${result[$scene,$mode,sigma1]}; r=${result[$scene,$mode,refined-sigma1]}
        rt=${result[$scene,$mode,refined-true]}
        cell[$scene]="true $t, off $e, refined $r ($(dB "$r" "$t")), true refined $rt ($(dB "$rt" "$t"))"
    done
    row "$mode stitch PSNR (dB)" "refined >= true - 0.3; true refined >= true - 0.1" "${cell[near]}" "${cell[far]}"
done
row "fast stitch PSNR, sigma 0.25 (dB)" "" "${result[near,fast,sigma0.25]}" "${result[far,fast,sigma0.25]}"
for c in true refined-sigma1 sigma0.1 sigma0.25 sigma0.5 sigma1; do
    row "check: residual of $c (deg)" "$( [ "$c" = true ] && echo passes )" "${result[near,check,$c]}" "${result[far,check,$c]}"
done
row "time to refine (sigma 1 / sigma 3 / true)" "<= 60 s" \
    "${result[near,sigma1,time]} / ${result[near,sigma3,time]} / ${result[near,true,time]}" \
    "${result[far,sigma1,time]} / ${result[far,sigma3,time]} / ${result[far,true,time]}"
if [ "$detectors" = 1 ]; then
    for kind in sift akaze orb; do row "detector $kind: rotations after, time, matches per pair" "" "${result[detector,$kind]}" ""; done
fi
