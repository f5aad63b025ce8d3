#!/usr/bin/env bash
# Best quality against seed quality: processor time per frame over a static take,
# both measured side by side in one run, round after round (seed, then best), with
# their ratio against the targets (best at most 1.15x seed's time, and at most 1.5x).
#
#   bash bench/besttime.sh [--frames N] [--rounds R] [--camera-size N] [--height H] [--keep DIR [--reuse]]
#                          [--versus BUILD_DIR]
#
# The take: N frames (default 8) of a static room with sensor noise of sigma 3,
# stitched through one pipeline (best's temporal state carries from frame to frame),
# 640-pixel cameras and 2500-row panoramas unless set. Processor time is user + system
# time of the whole quadstitch-quality process (/usr/bin/time), which also reads the
# camera images and writes the panoramas. The machine's load is printed with each
# round: on a shared machine compare only the ratios of one run.
#
# --versus BUILD_DIR also runs that build's quadstitch-quality (an earlier tree, built
# the same way) in every round, right after this one's seed and best, and prints its
# best / seed ratio and this best against that best: a change measured side by side.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
frames=8
rounds=3
camera=640
height=2500
keep=""
reuse=0
versus=""
usage() {
    echo "usage: bash bench/besttime.sh [--frames N] [--rounds R] [--camera-size N] [--height H] [--keep DIR [--reuse]] [--versus BUILD_DIR]" >&2
    exit 1
}
while [ $# -gt 0 ]; do
    case "$1" in
        --frames) frames="$2"; shift ;;
        --rounds) rounds="$2"; shift ;;
        --camera-size) camera="$2"; shift ;;
        --height) height="$2"; shift ;;
        --keep) keep="$2"; shift ;;
        --reuse) reuse=1 ;;
        --versus) versus="$2"; shift ;;
        *) usage ;;
    esac
    shift
done
[[ "$frames" =~ ^[0-9]+$ ]] && [ "$frames" -ge 1 ] || usage
[[ "$rounds" =~ ^[0-9]+$ ]] && [ "$rounds" -ge 1 ] || usage

build="$root/build"
if [ ! -x "$build/bench/quadstitch-quality" ] || [ ! -x "$build/tools/sim/quadstitch-sim" ]; then
    bash "$root/scripts/build.sh" --with-tests >/dev/null
fi
sim="$build/tools/sim/quadstitch-sim"
quality="$build/bench/quadstitch-quality"
if [ -n "$versus" ] && [ ! -x "$versus/bench/quadstitch-quality" ]; then
    echo "besttime.sh: no bench/quadstitch-quality in $versus" >&2
    exit 1
fi
if [ -n "$keep" ]; then
    work="$keep"
    mkdir -p "$work"
else
    work="$(mktemp -d /tmp/quadstitch-besttime.XXXXXX)"
    trap 'rm -rf "$work"' EXIT
fi

echo "simulating $frames frames ($camera-pixel cameras) in $work ..." >&2
for ((f = 0; f < frames; f++)); do
    if [ "$reuse" = 1 ] && [ -f "$work/take/$(printf %010d "$f")-4.png" ]; then
        continue
    fi
    "$sim" generate "$work/take" --camera-size "$camera" --seed 11 --noise 3 --frame "$f" >/dev/null
done
list="$(seq -s, 0 $((frames - 1)))"

# cpu MODE [BINARY [TAG]]: processor seconds (user + system) of one run over the take
cpu() {
    local binary="${2:-$quality}" out="$work/$1${3:-}"
    /usr/bin/time -f "%U %S" -o "$out.time" \
        "$binary" "$work/take" "$out" --height "$height" --mode "$1" --frames "$list" >/dev/null 2>"$out.log" ||
        { cat "$out.log" >&2; exit 2; }
    awk '{ printf "%.2f", $1 + $2 }' "$out.time"
}

echo "best against seed: processor seconds per frame, $frames frames, $camera-pixel cameras, $height rows"
printf '%-6s %10s %10s %8s   %s\n' round seed best ratio "load (1 min)"
seedTotal=0
bestTotal=0
versusSeedTotal=0
versusBestTotal=0
versusRows=""
for ((r = 1; r <= rounds; r++)); do
    s="$(cpu seed)"
    b="$(cpu best)"
    seedTotal="$(awk -v x="$seedTotal" -v y="$s" 'BEGIN { print x + y }')"
    bestTotal="$(awk -v x="$bestTotal" -v y="$b" 'BEGIN { print x + y }')"
    awk -v r="$r" -v s="$s" -v b="$b" -v f="$frames" -v l="$(cut -d' ' -f1 /proc/loadavg)" \
        'BEGIN { printf "%-6s %10.3f %10.3f %7.3fx   %s\n", r, s / f, b / f, b / s, l }'
    if [ -n "$versus" ]; then
        vs="$(cpu seed "$versus/bench/quadstitch-quality" -versus)"
        vb="$(cpu best "$versus/bench/quadstitch-quality" -versus)"
        versusSeedTotal="$(awk -v x="$versusSeedTotal" -v y="$vs" 'BEGIN { print x + y }')"
        versusBestTotal="$(awk -v x="$versusBestTotal" -v y="$vb" 'BEGIN { print x + y }')"
        versusRows+="$(awk -v r="$r" -v s="$vs" -v b="$vb" -v nb="$b" -v f="$frames" -v l="$(cut -d' ' -f1 /proc/loadavg)" \
            'BEGIN { printf "%-6s %10.3f %10.3f %7.3fx %9.3fx   %s", r, s / f, b / f, b / s, nb / b, l }')"$'\n'
    fi
done
awk -v s="$seedTotal" -v b="$bestTotal" -v f="$frames" -v n="$rounds" 'BEGIN {
    ratio = b / s
    printf "%-6s %10.3f %10.3f %7.3fx\n", "all", s / f / n, b / f / n, ratio
    printf "target: best at most 1.15x seed: %s; at most 1.5x: %s\n",
        ratio <= 1.15 ? "met" : "NOT met", ratio <= 1.5 ? "met" : "NOT met"
}'
if [ -n "$versus" ]; then
    echo "the same rounds with $versus (best here / best there in the fifth column)"
    printf '%-6s %10s %10s %8s %10s   %s\n' round seed best ratio "best/best" "load (1 min)"
    printf '%s' "$versusRows"
    awk -v s="$versusSeedTotal" -v b="$versusBestTotal" -v nb="$bestTotal" -v f="$frames" -v n="$rounds" \
        'BEGIN { printf "%-6s %10.3f %10.3f %7.3fx %9.3fx\n", "all", s / f / n, b / f / n, b / s, nb / b }'
fi
