#!/usr/bin/env bash
# Starts a one-node Slurm cluster on this machine, stitches a take with the job array of
# take.sbatch, waits for it, checks that every frame was stitched exactly once and stops
# the daemons it started, on success, failure or interruption alike. A video take
# (--video ... -o OUT.mp4) runs as an array over its segments plus a join job that
# depends on the array; it is complete when the join job wrote the video.
#
#   scripts/slurm/local-cluster.sh [options] -- QUADSTITCH_BATCH_OPTIONS
#
#   --shards N         array tasks, one shard each (default 2)
#   --batch PATH       quadstitch-batch (default: build/tools/batch/quadstitch-batch of this checkout)
#   --report-dir DIR   keep the shards' reports there (default: in the scratch folder)
#   --timeout S        give up on the array after S seconds (default 600)
#   --all-stitched     fail when a frame was skipped as already done (for a fresh output folder)
#   --keep             keep the scratch folder (configuration, logs, job output)
#
# All state (configuration, munge key and socket, spool, logs) lives in a scratch folder
# under ${TMPDIR:-/tmp} (or /tmp, when that path is long); nothing is written to /etc or
# /run and no service manager is needed. The daemons listen on the loopback address on
# two free ports. It runs as root or as an ordinary user; the jobs run as whoever
# started it.
# Missing Slurm or munge programs are installed with scripts/setup.sh --with-tests.
#
# Exit status: 0 when the take is complete; 1 for a bad command line; 2 when a shard or
# frame failed or the array timed out; 3 when the cluster could not be started.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}" >&2; exit "${1:-1}"; }
fail_usage() { echo "local-cluster: $*" >&2; exit 1; }
log() { echo "local-cluster: $*" >&2; }

shards=2 batch="$root/build/tools/batch/quadstitch-batch" report_dir='' timeout=600 all_stitched=() keep=0
while [ $# -gt 0 ]; do
    case "$1" in
        --shards) [ $# -ge 2 ] || fail_usage "--shards needs a value"; shards="$2"; shift ;;
        --batch) [ $# -ge 2 ] || fail_usage "--batch needs a value"; batch="$2"; shift ;;
        --report-dir) [ $# -ge 2 ] || fail_usage "--report-dir needs a value"; report_dir="$2"; shift ;;
        --timeout) [ $# -ge 2 ] || fail_usage "--timeout needs a value"; timeout="$2"; shift ;;
        --all-stitched) all_stitched=(--all-stitched) ;;
        --keep) keep=1 ;;
        -h|--help) usage 0 ;;
        --) shift; break ;;
        *) fail_usage "unknown option '$1' (quadstitch-batch options go after --)" ;;
    esac
    shift
done
[ $# -gt 0 ] || fail_usage "no quadstitch-batch options after -- (at least -d TAKE)"
[[ "$shards" =~ ^[1-9][0-9]*$ ]] || fail_usage "--shards: expected a whole number of at least 1"
[[ "$timeout" =~ ^[1-9][0-9]*$ ]] || fail_usage "--timeout: expected seconds"
case "$batch" in /*) ;; */*) batch="$PWD/$batch" ;; esac
command -v "$batch" >/dev/null || fail_usage "no quadstitch-batch at '$batch' (bash scripts/build.sh builds it)"

for program in munged mungekey slurmctld slurmd sbatch squeue scontrol sinfo scancel; do
    if ! PATH="$PATH:/usr/sbin:/sbin" command -v "$program" >/dev/null; then
        log "$program is missing: installing the dependencies"
        bash "$root/scripts/setup.sh" --with-tests
        break
    fi
done
export PATH="$PATH:/usr/sbin:/sbin"

munged_pid='' slurmctld_pid='' slurmd_pid='' job='' join_job='' scratch=''
video=0
for arg in "$@"; do
    [ "$arg" != --video ] || video=1
done
started_ok=0

stop() {
    local name="$1" pid="$2"
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
        sleep 0.1
    done
    log "$name (pid $pid) did not stop within 10 s of TERM: killing it"
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

show_logs() {
    for f in "$scratch"/munged.log "$scratch"/slurmctld.log "$scratch"/slurmd.log "$scratch"/*.stderr; do
        [ -s "$f" ] || continue
        echo "---- last lines of $f" >&2
        tail -n 15 "$f" >&2
    done
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    # A job still queued or running is cancelled while its slurmd can still end its steps.
    for j in $join_job $job; do
        if [ -n "$slurmctld_pid" ] && kill -0 "$slurmctld_pid" 2>/dev/null; then
            if [ -n "$(squeue -h -j "$j" -o %i 2>/dev/null)" ]; then
                log "cancelling job $j"
                scancel "$j" 2>/dev/null || true
                for _ in $(seq 1 100); do
                    [ -n "$(squeue -h -j "$j" -o %i 2>/dev/null)" ] || break
                    sleep 0.1
                done
            fi
        fi
    done
    stop slurmd "$slurmd_pid"
    stop slurmctld "$slurmctld_pid"
    stop munged "$munged_pid"
    if [ "$status" -ne 0 ] && [ "$started_ok" -eq 0 ] && [ -n "$scratch" ]; then
        show_logs
    fi
    if [ "$keep" -eq 1 ]; then
        log "scratch folder kept: $scratch"
    elif [ -n "$scratch" ]; then
        rm -rf "$scratch"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# munged and every job step listen on unix sockets in the scratch folder, and a socket's
# path holds at most 107 bytes: a deep temporary folder is passed over for /tmp.
base="${TMPDIR:-/tmp}"
[ ${#base} -le 40 ] || base=/tmp
scratch="$(mktemp -d "$base/qs-slurm.XXXXXX")"
# munged refuses a socket folder that others cannot search, and a key others can read.
chmod 755 "$scratch"
mkdir -p "$scratch/munge" "$scratch/ctld" "$scratch/spool" "$scratch/jobs"
chmod 700 "$scratch/ctld" "$scratch/spool"
chmod 755 "$scratch/munge"
[ -n "$report_dir" ] || report_dir="$scratch/reports"

cannot_start() { log "cannot start the cluster: $*"; exit 3; }

# Two free loopback ports, one for each daemon: a connection that succeeds means taken.
port_taken() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
ctld_port=
for _ in $(seq 1 50); do
    p=$((20000 + RANDOM % 40000))
    if ! port_taken "$p" && ! port_taken $((p + 1)); then ctld_port=$p; break; fi
done
[ -n "$ctld_port" ] || cannot_start "found no two free ports"
slurmd_port=$((ctld_port + 1))

# munge authenticates the daemons and the client commands to each other.
mungekey --create --keyfile="$scratch/munge/munge.key" >/dev/null 2>&1 ||
    cannot_start "mungekey could not create a key"
chmod 400 "$scratch/munge/munge.key"
socket="$scratch/munge/munge.socket"
munged --foreground --socket="$socket" --key-file="$scratch/munge/munge.key" \
    --pid-file="$scratch/munge/munged.pid" --log-file="$scratch/munged.log" \
    --seed-file="$scratch/munge/munged.seed" >"$scratch/munged.stderr" 2>&1 &
munged_pid=$!
for _ in $(seq 1 100); do
    [ -S "$socket" ] && break
    kill -0 "$munged_pid" 2>/dev/null || cannot_start "munged exited"
    sleep 0.1
done
[ -S "$socket" ] || cannot_start "munged made no socket within 10 s"

node="$(uname -n)"
node="${node%%.*}"
user="$(id -un)"
cpus="$(nproc)"
memory_mib=$(( $(awk '/^MemTotal:/ {print $2}' /proc/meminfo) * 9 / 10 / 1024 ))
export SLURM_CONF="$scratch/slurm.conf"
cat >"$SLURM_CONF" <<EOF
# One-node cluster of scripts/slurm/local-cluster.sh; all state in $scratch.
ClusterName=quadstitch
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
AuthInfo=socket=$socket
CommunicationParameters=NoCtldInAddrAny,NoInAddrAny
StateSaveLocation=$scratch/ctld
SlurmdSpoolDir=$scratch/spool
SlurmctldPidFile=$scratch/slurmctld.pid
SlurmdPidFile=$scratch/slurmd.pid
SlurmctldLogFile=$scratch/slurmctld.log
SlurmdLogFile=$scratch/slurmd.log
# No cgroups here: processes are tracked by parent, tasks are not confined.
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerParameters=batch_sched_delay=0
ReturnToService=2
MpiDefault=none
MailProg=/bin/true
NodeName=$node NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$memory_mib State=UNKNOWN
PartitionName=take Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF

slurmctld -D -i -f "$SLURM_CONF" >"$scratch/slurmctld.stderr" 2>&1 &
slurmctld_pid=$!
for _ in $(seq 1 100); do
    scontrol ping 2>/dev/null | grep -q 'is UP' && break
    kill -0 "$slurmctld_pid" 2>/dev/null || cannot_start "slurmctld exited"
    sleep 0.1
done
scontrol ping 2>/dev/null | grep -q 'is UP' || cannot_start "slurmctld does not answer within 10 s"

slurmd -D -f "$SLURM_CONF" >"$scratch/slurmd.stderr" 2>&1 &
slurmd_pid=$!
state=
for _ in $(seq 1 300); do
    state="$(sinfo -h -N -n "$node" -o %t 2>/dev/null || true)"
    [ "$state" = idle ] && break
    kill -0 "$slurmd_pid" 2>/dev/null || cannot_start "slurmd exited"
    sleep 0.1
done
[ "$state" = idle ] || cannot_start "node $node is '${state:-unknown}', not idle, after 30 s"
started_ok=1
log "cluster up: node $node ($cpus CPUs), ports $ctld_port/$slurmd_port, state in $scratch"

mkdir -p "$report_dir"
job="$(sbatch --parsable --array="1-$shards" --chdir="$PWD" --output="$scratch/jobs/%A_%a.out" \
       "$here/take.sbatch" --batch "$batch" --report-dir "$report_dir" -- "$@")" ||
    { log "sbatch refused the array"; exit 2; }
job="${job%%;*}"
log "submitted array job $job with $shards tasks"
if [ "$video" -eq 1 ]; then
    # The join runs once every segment task succeeded; a failed task cancels it.
    join_job="$(sbatch --parsable --dependency="afterok:$job" --kill-on-invalid-dep=yes --chdir="$PWD" \
                --output="$scratch/jobs/join.out" "$here/take.sbatch" --batch "$batch" --join -- "$@")" ||
        { log "sbatch refused the join job"; exit 2; }
    join_job="${join_job%%;*}"
    log "submitted join job $join_job after array job $job"
fi

deadline=$((SECONDS + timeout))
while [ -n "$(squeue -h -j "$job${join_job:+,$join_job}" -o %i 2>/dev/null)" ]; do
    if [ "$SECONDS" -ge "$deadline" ]; then
        log "array job $job still running after $timeout s"
        exit 2
    fi
    for daemon in munged:$munged_pid slurmctld:$slurmctld_pid slurmd:$slurmd_pid; do
        if ! kill -0 "${daemon#*:}" 2>/dev/null; then
            log "${daemon%:*} exited while array job $job was running"
            started_ok=0
            exit 2
        fi
    done
    sleep 0.5
done

for out in "$scratch"/jobs/*.out; do
    [ -e "$out" ] && sed "s|^|$(basename "$out" .out): |" "$out"
done

# Without accounting the controller still remembers finished jobs for a few minutes.
failed=0 finished=0
while read -r line; do
    task="$(grep -o 'ArrayTaskId=[^ ]*' <<<"$line" | cut -d= -f2)"
    jobstate="$(grep -o 'JobState=[^ ]*' <<<"$line" | cut -d= -f2)"
    exitcode="$(grep -o ' ExitCode=[^ ]*' <<<"$line" | cut -d= -f2)"
    finished=$((finished + 1))
    if [ "$jobstate" != COMPLETED ] || [ "$exitcode" != 0:0 ]; then
        log "array task $task: $jobstate, exit code $exitcode"
        failed=1
    fi
done < <(scontrol -o show job "$job" 2>/dev/null)
if [ "$finished" -ne "$shards" ]; then
    log "the controller knows $finished of $shards array tasks"
    failed=1
fi

if [ "$video" -eq 1 ]; then
    line="$(scontrol -o show job "$join_job" 2>/dev/null || true)"
    jobstate="$(grep -o 'JobState=[^ ]*' <<<"$line" | cut -d= -f2)"
    exitcode="$(grep -o ' ExitCode=[^ ]*' <<<"$line" | cut -d= -f2)"
    if [ "$jobstate" != COMPLETED ] || [ "$exitcode" != 0:0 ]; then
        log "join job $join_job: ${jobstate:-unknown}, exit code ${exitcode:-unknown}"
        exit 2
    fi
    [ "$failed" -eq 0 ] || exit 2
    log "array job $job: $shards tasks completed; join job $join_job wrote the video"
    exit 0
fi

check=0
bash "$root/scripts/take-check.sh" "${all_stitched[@]}" "$report_dir" -- "$@" || check=$?
if [ "$failed" -ne 0 ] || [ "$check" -ne 0 ]; then
    exit 2
fi
log "array job $job: $shards tasks completed, every frame stitched once"
