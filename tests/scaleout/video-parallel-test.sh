#!/usr/bin/env bash
# A video take split into shares of its segments with GNU parallel and joined gives the
# same frames as one run.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
take="$tmp/take"
make_take "$take"
make_videos "$take"
args=(--video "$take"/cam{1,2,3,4}.mp4 --offsets 0,0,0,0 -s 1 -t 64 --preset ultrafast --segment-seconds 0.25 -q)

expect 0 "one run" "$batch" "${args[@]}" -o "$tmp/one.mp4"
expect 0 "4 shards and a join" bash "$root/scripts/take-parallel.sh" --shards 4 --batch "$batch" \
    -- "${args[@]}" -o "$tmp/parallel.mp4"
[ "$(ls "$tmp/parallel.mp4.segments" | grep -c '^segment-.*[.]mp4$')" -eq 4 ] ||
    fault "expected 4 segments in $tmp/parallel.mp4.segments"
[ "$(frame_sums "$tmp/one.mp4" | wc -l)" -eq 24 ] || fault "one run: expected 24 frames"
[ "$(frame_sums "$tmp/one.mp4")" = "$(frame_sums "$tmp/parallel.mp4")" ] ||
    fault "the joined shards' frames differ from one run's"
expect 1 "--join is the script's" bash "$root/scripts/take-parallel.sh" --shards 2 --batch "$batch" \
    -- "${args[@]}" -o "$tmp/x.mp4" --join
finish
