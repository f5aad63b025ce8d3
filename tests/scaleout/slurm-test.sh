#!/usr/bin/env bash
# A Slurm job array on a one-node cluster started for the test: every frame stitched by
# exactly one array task, a failed frame fails its task, and the daemons are gone after.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cluster="$root/scripts/slurm/local-cluster.sh"
take="$tmp/take"
make_take "$take"
# After a run: its state folder (named in its output) is gone, and so are the processes
# whose command line names it (the daemons, and the job's program).
expect_stopped() {
    local state
    state="$(sed -n 's/.*cluster up: .*state in \(.*\)$/\1/p' "$tmp/last.log")"
    if [ -z "$state" ]; then
        fault "$1: no state folder named in the output"
        return
    fi
    [ ! -e "$state" ] || fault "$1: state folder $state left behind"
    local left
    left="$(ps -eo pid=,args= | grep -F "$state" | grep -v grep || true)"
    [ -z "$left" ] || fault "$1: left running: $left"
}

mkdir -p "$tmp/out"
expect 0 "array of 2 shards" bash "$cluster" --shards 2 --all-stitched --timeout 120 --report-dir "$tmp/reports" \
    --batch "$batch" -- -d "$take" -o "$tmp/out" -s 1 -t 256 -q
expect_output "shard 1/2 on " "array of 2 shards"
expect_output "shard 2/2 on " "array of 2 shards"
expect_output "4 frames expected, 2 reports: 4 ok; complete" "array of 2 shards"
[ "$(ls "$tmp/reports" | wc -l)" -eq 2 ] || fault "expected two shard reports in $tmp/reports"
[ "$(ls "$tmp/out" | grep -c '^000000000[0-3][.]png$')" -eq 4 ] || fault "expected 4 panoramas in $tmp/out"
expect_stopped "array of 2 shards"

# A corrupt camera image: its shard's array task fails, the cluster still stops.
bad="$tmp/bad-take"
cp -r "$take" "$bad"
echo "not an image" >"$bad/0000000000-1.png"
mkdir -p "$tmp/bad-out"
expect 2 "array with a corrupt frame" bash "$cluster" --shards 2 --timeout 120 --batch "$batch" \
    -- -d "$bad" -o "$tmp/bad-out" -s 1 -t 256 -q
expect_output "array task 1: FAILED, exit code 2:0" "array with a corrupt frame"
expect_output "frame 0 failed" "array with a corrupt frame"
[ "$(ls "$tmp/bad-out" | grep -c '[.]png$')" -eq 3 ] || fault "corrupt frame: expected the 3 other panoramas"
expect_stopped "array with a corrupt frame"

finish
