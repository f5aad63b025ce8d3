# shellcheck shell=bash
# Sourced by the scale-out tests: arguments, a small simulated take, and status checks.
#   bash <test>.sh SOURCE_DIR QUADSTITCH_BATCH QUADSTITCH_SIM SCRATCH
set -euo pipefail
root="$1" batch="$2" sim="$3" tmp="$4"
for program in "$batch" "$sim"; do
    [ -x "$program" ] || { echo "FAIL: $program is not built" >&2; exit 1; }
done
rm -rf "$tmp"
mkdir -p "$tmp"
faults=0

fault() { echo "FAIL: $*" >&2; faults=$((faults + 1)); }

# Four frames, 0 to 3, of 256-pixel cameras: a few tenths of a second each to make and
# to fast-stitch.
make_take() {
    local dir="$1" f
    mkdir -p "$dir"
    for f in 0 1 2 3; do
        "$sim" generate "$dir" --frame "$f" --seed $((f + 1)) --camera-size 256 --truth-height 100 >/dev/null
    done
}

# expect STATUS LABEL COMMAND...: runs the command, output to $tmp/last.log.
expect() {
    local want="$1" label="$2" got=0
    shift 2
    "$@" >"$tmp/last.log" 2>&1 || got=$?
    if [ "$got" -ne "$want" ]; then
        fault "$label: exit status $got, expected $want"
        sed 's/^/    /' "$tmp/last.log" >&2
    fi
}

# expect_output PATTERN LABEL: the last command's output matches the extended regex.
expect_output() {
    grep -Eq -- "$1" "$tmp/last.log" || { fault "$2: no line matching '$1' in:"; sed 's/^/    /' "$tmp/last.log" >&2; }
}

finish() {
    if [ "$faults" -ne 0 ]; then
        echo "$faults faults" >&2
        exit 1
    fi
    echo "all checks passed"
}

# The take's four frames as camera videos cam1.mp4 to cam4.mp4 beside its calibration:
# 24 frames at 24 frames/s (the four frames six times over).
make_videos() {
    local dir="$1" k
    for k in 1 2 3 4; do
        ffmpeg -nostdin -y -loglevel error -framerate 24 -i "$dir/%010d-$k.png" -vf loop=loop=5:size=4 \
            -frames:v 24 -c:v libx264 -preset ultrafast -pix_fmt yuv420p "$dir/cam$k.mp4"
    done
}

# Decoded frames of a video, one checksum per frame.
frame_sums() { ffmpeg -nostdin -loglevel error -i "$1" -map 0:v -f framemd5 - | grep -v '^#'; }
