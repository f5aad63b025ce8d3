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

# The batch script's shard comes from the array task, checked without a cluster: echo
# stands in for quadstitch-batch and shows the command line it would get.
sbatch_script="$root/scripts/slurm/take.sbatch"
task() { env SLURM_ARRAY_JOB_ID=7 SLURM_ARRAY_TASK_ID="$1" SLURM_ARRAY_TASK_COUNT="$2" SLURM_ARRAY_TASK_MIN="$3" \
             SLURM_ARRAY_TASK_MAX="$4" bash "$sbatch_script" --batch echo "${@:5}"; }
expect 0 "task 2 of --array=1-4" task 2 4 1 4 --report-dir "$tmp/r" -- -d take
expect_output "^-d take --shard 2/4 --report $tmp/r/shard-2-of-4.json$" "task 2 of --array=1-4"
expect 0 "task 3 run again alone" task 3 1 3 3 --shards 4 -- -d take
expect_output "^-d take --shard 3/4$" "task 3 run again alone"
expect 1 "--array=0-3" task 0 4 0 3 -- -d take
expect_output "submit --array=1-N" "--array=0-3"
expect 1 "--array=3 without --shards" task 3 1 3 3 -- -d take
expect 1 "task beyond --shards" task 5 5 1 5 --shards 4 -- -d take
expect 1 "--shard given twice" task 1 2 1 2 -- -d take --shard 1/2
expect 1 "not an array task" env -u SLURM_ARRAY_TASK_ID bash "$sbatch_script" --batch echo -- -d take

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

# Stopped while the array runs: the job is cancelled and the daemons stop.
cat >"$tmp/slow-batch" <<SLOW
#!/usr/bin/env bash
touch "$tmp/slow-started"
sleep 120
SLOW
chmod +x "$tmp/slow-batch"
bash "$cluster" --shards 2 --timeout 120 --batch "$tmp/slow-batch" -- -d "$take" -o "$tmp/out" >"$tmp/last.log" 2>&1 &
cluster_pid=$!
for _ in $(seq 1 300); do
    [ ! -e "$tmp/slow-started" ] || break
    sleep 0.1
done
if [ -e "$tmp/slow-started" ]; then
    kill -TERM "$cluster_pid"
    status=0
    wait "$cluster_pid" || status=$?
    [ "$status" -eq 143 ] || fault "stopped: exit status $status, expected 143"
    expect_output "cancelling job" "stopped"
    expect_stopped "stopped"
    left="$(ps -eo pid=,args= | grep -F "$tmp/slow-batch" | grep -v grep || true)"
    [ -z "$left" ] || fault "stopped: the job's program still runs: $left"
else
    fault "stopped: the array's program did not start within 30 s"
    kill -TERM "$cluster_pid"
    wait "$cluster_pid" || true
    sed 's/^/    /' "$tmp/last.log" >&2
fi

finish
