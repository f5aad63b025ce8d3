#!/usr/bin/env bash
# Whole takes: quadstitch-batch against a shell loop over quadstitch on the same frames,
# side by side in one run, each as a whole process under /usr/bin/time -v (wall time,
# peak memory, CPU use); ends with a table of the takes: frames, loop and batch seconds,
# their ratio and the target it is held to.
#
#   bash bench/batch.sh [--full-sizes LIST] [--fast-sizes LIST] [--targets]
#                       [--height H] [--camera-size N] [--jobs N] [--repeat R]
#                       [--keep DIR] [--programs DIR]
#
#   --full-sizes LIST  full-stitch takes, frames each, comma-separated (default 1,2,3,5,8;
#                      "" leaves them out)
#   --fast-sizes LIST  fast-stitch takes (default 1,3,96; "" leaves them out)
#   --targets          every take the targets name: full 1,2,3,5,8,24 and fast 1,3,96
#                      (the 24-frame full take alone runs about 5 minutes a round)
#   --full-frames N, --fast-frames N   one take of N frames (0 leaves the mode out)
#   --height H        fast-stitch height (default 1000)
#   --camera-size N   simulated camera images, N x N (default: the simulator's, 1280)
#   --jobs N          quadstitch-batch -j (default: its own choice from cores and memory)
#   --repeat R        R rounds of each take, the loop and the batch tool in turn (which
#                     goes first alternates); the ratio compares the fastest of each
#                     (default 1; more rounds steady the figures on a shared machine)
#   --keep DIR        build the takes in DIR and keep them (default: a temporary folder)
#   --programs DIR    run quadstitch, quadstitch-batch and quadstitch-sim from DIR (e.g.
#                     copies from an earlier build, to compare versions) instead of building
#
# Targets: the batch tool never slower than the loop (ratio at most 1.00), and on the long
# takes at most 0.72 (full, 24 frames) and 0.30 (fast, 96 frames) of the loop's time.
# On a machine shared with other work, run it under `chrt -f 10` (as root) and with
# --repeat: each side's fastest round is the least disturbed one.
#
# A take repeats four simulated frames (0 to 3) under new frame numbers; both sides read
# the same files, and each round starts without panoramas.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}" >&2; exit "${1:-1}"; }

fast_sizes=1,3,96 full_sizes=1,2,3,5,8 height=1000 camera_size='' jobs=() repeat=1 keep='' programs=''
while [ $# -gt 0 ]; do
    case "$1" in
        --fast-sizes) fast_sizes="$2"; shift ;;
        --full-sizes) full_sizes="$2"; shift ;;
        --fast-frames) fast_sizes="${2#0}"; shift ;;
        --full-frames) full_sizes="${2#0}"; shift ;;
        --targets) fast_sizes=1,3,96 full_sizes=1,2,3,5,8,24 ;;
        --height) height="$2"; shift ;;
        --camera-size) camera_size="$2"; shift ;;
        --jobs) jobs=(-j "$2"); shift ;;
        --repeat) repeat="$2"; shift ;;
        --keep) keep="$2"; shift ;;
        --programs) programs="$2"; shift ;;
        -h|--help) usage 0 ;;
        *) echo "batch.sh: unknown option '$1'" >&2; usage ;;
    esac
    shift
done
for sizes in "$fast_sizes" "$full_sizes"; do
    [[ -z "$sizes" || "$sizes" =~ ^[1-9][0-9]*(,[1-9][0-9]*)*$ ]] ||
        { echo "batch.sh: '$sizes': frame counts are whole numbers from 1, separated by commas" >&2; exit 1; }
done
[[ "$repeat" =~ ^[1-9][0-9]*$ ]] || { echo "batch.sh: --repeat: a whole number of at least 1" >&2; exit 1; }

# /usr/bin/time comes with the build dependencies (package time).
if [ -n "$programs" ]; then
    quadstitch="$programs/quadstitch"
    batch="$programs/quadstitch-batch"
    sim="$programs/quadstitch-sim"
else
    bash "$root/scripts/build.sh" --with-tests >/dev/null
    build="$root/build"
    quadstitch="$build/quadstitch"
    batch="$build/tools/batch/quadstitch-batch"
    sim="$build/tools/sim/quadstitch-sim"
fi
for program in "$quadstitch" "$batch" "$sim"; do
    [ -x "$program" ] || { echo "batch.sh: $program was not built" >&2; exit 1; }
done

if [ -n "$keep" ]; then
    work="$keep"
    mkdir -p "$work"
else
    work="$(mktemp -d /tmp/quadstitch-batch-bench.XXXXXX)"
    trap 'rm -rf "$work"' EXIT
fi

# Four distinct frames, made once; the truth panorama is not needed, so it is kept small.
source_frames="$work/source"
if [ ! -e "$source_frames/0000000003-4.png" ]; then
    mkdir -p "$source_frames"
    size=()
    [ -z "$camera_size" ] || size=(--camera-size "$camera_size")
    for f in 0 1 2 3; do
        "$sim" generate "$source_frames" --frame "$f" --seed $((f + 1)) --truth-height 100 "${size[@]}" >/dev/null
    done
fi

# make_take DIR N: frames 0..N-1, frame k a copy of source frame k mod 4.
make_take() {
    local dir="$1" n="$2" k c
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$source_frames/calibration.yaml" "$dir/"
    for ((k = 0; k < n; k++)); do
        for c in 1 2 3 4; do
            cp "$source_frames/$(printf %010d $((k % 4)))-$c.png" "$dir/$(printf %010d "$k")-$c.png"
        done
    done
}

# measure LABEL LOG COMMAND...: runs the command under /usr/bin/time -v; sets wall and
# cpu_seconds (user + system).
wall='' cpu_seconds=
measure() {
    local label="$1" log="$2"
    shift 2
    # The wall time is taken here to the microsecond: /usr/bin/time gives hundredths,
    # a step of 7 % on a one-frame fast take.
    local start="$EPOCHREALTIME"
    if ! /usr/bin/time -v "$@" >"$log.out" 2>"$log"; then
        cat "$log.out" "$log" >&2
        echo "batch.sh: $label failed" >&2
        exit 1
    fi
    wall="$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.4f", b - a}')"
    local peak cpu
    peak="$(awk -F': ' '/Maximum resident set size/ {printf "%.0f MiB", $2 / 1024}' "$log")"
    cpu="$(awk -F': ' '/Percent of CPU/ {print $2}' "$log")"
    cpu_seconds="$(awk -F': ' '/(User|System) time \(seconds\)/ {s += $2} END {print s}' "$log")"
    printf '  %-22s wall %7.3f s   peak %9s   CPU %7.2f s (%4s)' "$label" "$wall" "$peak" "$cpu_seconds" "$cpu"
}

fps() { awk -v n="$1" -v w="$2" 'BEGIN {printf "%7.3f frames/s", n / w}'; }

# compare MODE N MODE_OPTIONS...: rounds of the loop and the batch tool on one take of N
# frames; adds a line to the table.
table=()
compare() {
    local mode="$1" n="$2"
    shift 2
    local take="$work/take-$mode-$n" out="$work/out-$mode-$n" round side best_loop='' best_batch='' made loop_cpu batch_cpu
    make_take "$take" "$n"
    # Other work on the machine shows as CPU below 100% per core; the load says how much.
    echo "== $mode stitch, $n frames ($(nproc) cores, load average $(cut -d' ' -f1 /proc/loadavg))"
    for ((round = 1; round <= repeat; round++)); do
        # The side that goes first alternates, so that a change in the machine's load
        # during a round does not always favour the same one.
        for side in $( ((round % 2)) && echo loop batch || echo batch loop); do
            find "$take" -maxdepth 1 -name '??????????.png' -delete
            rm -rf "$out"
            mkdir -p "$out"
            if [ "$side" = loop ]; then
                measure "loop over quadstitch" "$work/loop.log" \
                    bash -c 'q="$1" d="$2" n="$3"; shift 3; for ((f = 0; f < n; f++)); do "$q" -d "$d" -f "$f" "$@" || exit; done' \
                    loop "$quadstitch" "$take" "$n" "$@"
                echo "   $(fps "$n" "$wall")"
                loop_cpu="$cpu_seconds"
                best_loop="$(awk -v a="${best_loop:-$wall}" -v b="$wall" 'BEGIN {print (a < b ? a : b)}')"
            else
                measure "quadstitch-batch" "$work/batch.log" "$batch" -d "$take" -o "$out" "$@" "${jobs[@]}" -q
                echo "   $(fps "$n" "$wall")"
                batch_cpu="$cpu_seconds"
                best_batch="$(awk -v a="${best_batch:-$wall}" -v b="$wall" 'BEGIN {print (a < b ? a : b)}')"
                made="$(find "$out" -maxdepth 1 -name '??????????.png' | wc -l)"
                [ "$made" -eq "$n" ] || { echo "batch.sh: quadstitch-batch wrote $made of $n panoramas" >&2; exit 1; }
            fi
        done
    done
    [ "$repeat" -eq 1 ] || echo "  fastest of $repeat: loop $(fps "$n" "$best_loop"), quadstitch-batch $(fps "$n" "$best_batch")"
    awk -v l="$best_loop" -v b="$best_batch" 'BEGIN {printf "  quadstitch-batch / loop: %.2fx the time\n", b / l}'
    # CPU time per frame hardly depends on what else the machine runs; wall time does.
    awk -v n="$n" -v l="$loop_cpu" -v b="$batch_cpu" \
        'BEGIN {printf "  CPU per frame (last round): loop %.2f s, quadstitch-batch %.2f s\n", l / n, b / n}'
    local target=1.00
    [ "$mode:$n" != full:24 ] || target=0.72
    [ "$mode:$n" != fast:96 ] || target=0.30
    table+=("$(awk -v m="$mode" -v n="$n" -v l="$best_loop" -v b="$best_batch" -v t="$target" 'BEGIN {
        r = b / l; printf "%-5s %6d %9.3f %9.3f %7.3f %9s  %s", m, n, l, b, r, "<= " t, (r <= t + 1e-9 ? "met" : "MISSED") }')")
}

sizes_of() { tr ',' ' ' <<<"$1"; }
for n in $(sizes_of "$fast_sizes"); do compare fast "$n" -s 1 -t "$height"; done
for n in $(sizes_of "$full_sizes"); do compare full "$n" -s 0; done

echo
echo "== quadstitch-batch against the loop (fastest of $repeat round(s); fast stitch height $height," \
    "full stitch 5000 x 10000; load average now $(cut -d' ' -f1-3 /proc/loadavg))"
printf '%-5s %6s %9s %9s %7s %9s\n' mode frames "loop s" "batch s" ratio target
printf '%s\n' "${table[@]}"
