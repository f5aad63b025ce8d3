#!/usr/bin/env bash
# A video take as a Slurm job array over its segments plus a join job that depends on it,
# on a one-node cluster started for the test: the same frames as one run.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
take="$tmp/take"
make_take "$take"
make_videos "$take"
args=(--video "$take"/cam{1,2,3,4}.mp4 --offsets 0,0,0,0 -s 1 -t 64 --preset ultrafast --segment-seconds 0.25 -q)

expect 0 "one run" "$batch" "${args[@]}" -o "$tmp/one.mp4"
expect 0 "array of 4 shards and a join job" bash "$root/scripts/slurm/local-cluster.sh" --shards 4 --timeout 180 \
    --batch "$batch" -- "${args[@]}" -o "$tmp/cluster.mp4"
expect_output "join job [0-9]+ wrote the video" "array of 4 shards and a join job"
[ "$(frame_sums "$tmp/one.mp4")" = "$(frame_sums "$tmp/cluster.mp4")" ] ||
    fault "the cluster's video differs from one run's"

# A shard that fails (a camera file cut short after the array was submitted cannot be
# staged here; a missing camera fails every task): the join job never runs, no video.
expect 2 "array with a missing camera" bash "$root/scripts/slurm/local-cluster.sh" --shards 2 --timeout 180 \
    --batch "$batch" -- --video "$take"/cam{1,2,3}.mp4 "$tmp/missing.mp4" --offsets 0,0,0,0 -s 1 -t 64 -q \
    -o "$tmp/failed.mp4"
[ ! -e "$tmp/failed.mp4" ] || fault "a video was written although the shards failed"
finish
