#!/usr/bin/env bash
# Camera sync: simulated video takes whose cameras were started up to 30 frames apart,
# synchronised from their sound and from their pictures; prints the true and the
# recovered offsets of every take and how many takes each method got exactly right
# (every camera's offset, rounded to whole frames, equal to the truth).
#
#   bash bench/sync.sh [--takes N] [--frames N] [--camera-size N] [--move DEG] [--max-offset N]
#                      [--seed S] [--keep DIR] [--programs DIR]
#
#   --takes N         simulated takes (default 10)
#   --frames N        frames per camera video at 30 fps (default 150: a 90-frame window
#                     plus 30 frames either way for the picture sync)
#   --camera-size N   simulated cameras, N x N (default 320)
#   --move DEG        the near objects turn about the rig's axis, degrees per frame (default 3)
#   --max-offset N    offsets of cameras 2-4 drawn from -N..N frames (default 30)
#   --seed S          seed of the offsets and the scenes (default 1)
#   --keep DIR        write the takes into DIR and keep them (default: a temporary folder;
#                     takes already in DIR are reused)
#   --programs DIR    run quadstitch-sim and quadstitch-sync from DIR instead of building
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}" >&2; exit "${1:-1}"; }

takes=10 frames=150 camera_size=320 move=3 max_offset=30 seed=1 keep='' programs=''
while [ $# -gt 0 ]; do
    case "$1" in
        --takes) takes="$2"; shift ;;
        --frames) frames="$2"; shift ;;
        --camera-size) camera_size="$2"; shift ;;
        --move) move="$2"; shift ;;
        --max-offset) max_offset="$2"; shift ;;
        --seed) seed="$2"; shift ;;
        --keep) keep="$2"; shift ;;
        --programs) programs="$2"; shift ;;
        -h|--help) usage 0 ;;
        *) echo "sync.sh: unknown option '$1'" >&2; usage ;;
    esac
    shift
done
for n in "$takes" "$frames" "$camera_size" "$max_offset" "$seed"; do
    [[ "$n" =~ ^[0-9]+$ ]] || { echo "sync.sh: '$n' is not a whole number" >&2; exit 1; }
done
window=$((frames - 2 * max_offset))
[ "$window" -ge 4 ] || { echo "sync.sh: --frames must exceed twice --max-offset by at least 4" >&2; exit 1; }

if [ -n "$programs" ]; then
    sim="$programs/quadstitch-sim" sync="$programs/quadstitch-sync"
else
    bash "$root/scripts/setup.sh" >/dev/null
    cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$root/build" -j "$(nproc 2>/dev/null || echo 2)" --target quadstitch-sim quadstitch-sync >/dev/null
    sim="$root/build/tools/sim/quadstitch-sim" sync="$root/build/tools/sync/quadstitch-sync"
fi
if [ -n "$keep" ]; then
    work="$keep"
    mkdir -p "$work"
else
    work="$(mktemp -d /tmp/quadstitch-sync-bench.XXXXXX)"
    trap 'rm -rf "$work"' EXIT
fi

# The offsets as quadstitch-sync prints them: "a,b,c,d" with sub-frame values, or the error.
recovered() {
    local out
    if out="$("$sync" "$@" 2>&1)"; then
        awk '/^camera [0-9]+:/ { v = v (v == "" ? "" : ",") $3 } END { print v }' <<<"$out"
    else
        echo "error: ${out#quadstitch-sync: }" | head -c 150
    fi
}
# Rounds "0.00,+7.02,-11.9,25" to "0,7,-12,25".
rounded() {
    awk -F, '{ for (i = 1; i <= NF; i++) { x = $i + 0; r = (x < 0) ? -int(-x + 0.5) : int(x + 0.5);
               printf "%s%d", (i > 1 ? "," : ""), r } print "" }' <<<"$1"
}
# Largest distance of the sub-frame offsets from the truth.
worst() {
    awk -v t="$2" -F, 'BEGIN { n = split(t, truth, ",") } { m = 0; for (i = 1; i <= NF; i++) {
        d = $i - truth[i]; if (d < 0) d = -d; if (d > m) m = d } printf "%.2f", m }' <<<"$1"
}

RANDOM=$seed
audio_hits=0 picture_hits=0 audio_worst=0 picture_worst=0
printf '%-5s %-15s %-26s %-26s\n' take truth "audio (hit, worst error)" "picture (hit, worst error)"
for ((t = 1; t <= takes; t++)); do
    truth="0"
    for c in 2 3 4; do truth="$truth,$((RANDOM % (2 * max_offset + 1) - max_offset))"; done
    dir="$work/take-$t"
    if ! grep -q "\"offsets\": \[${truth//,/, }\]" "$dir/truth-take.json" 2>/dev/null; then
        "$sim" take "$dir" --frames "$frames" --fps 30 --offsets "$truth" --move "$move" --seed "$((seed * 100 + t))" \
            --camera-size "$camera_size" --supersample 1 --no-truth >/dev/null
    fi
    videos=("$dir"/cam{1,2,3,4}.mp4)
    audio="$(recovered audio "${videos[@]}")"
    picture="$(recovered picture "${videos[@]}" --max-offset "$max_offset" --window "$window")"
    row=()
    for result in "$audio" "$picture"; do
        if [[ "$result" == error* ]]; then
            row+=("miss ($result)")
        elif [ "$(rounded "$result")" = "$truth" ]; then
            row+=("hit $(rounded "$result") $(worst "$result" "$truth")")
        else
            row+=("miss $(rounded "$result") $(worst "$result" "$truth")")
        fi
    done
    [[ "${row[0]}" == hit* ]] && audio_hits=$((audio_hits + 1))
    [[ "${row[1]}" == hit* ]] && picture_hits=$((picture_hits + 1))
    printf '%-5s %-15s %-26s %-26s\n' "$t" "$truth" "${row[0]}" "${row[1]}"
done
echo
echo "takes: $takes of $frames frames, ${camera_size}x${camera_size} cameras at 30 fps, offsets within +-$max_offset frames, near objects turning $move deg/frame"
echo "audio sync exact to the frame:   $audio_hits of $takes takes"
echo "picture sync exact to the frame: $picture_hits of $takes takes"
