#!/usr/bin/env bash
# Stitches a take as N shards with GNU parallel, on this machine or on many over ssh.
#
#   scripts/take-parallel.sh --shards N [options] -- QUADSTITCH_BATCH_OPTIONS
#
#   --shards N                 split the take into N shares (quadstitch-batch --shard K/N)
#   -S, --sshlogin LOGINS      run shards over ssh: comma-separated [user@]host, ":" is this machine
#   --sshloginfile FILE        the same, one login per line (GNU parallel's format)
#   --shards-per-machine M     shards run at once on each machine (default 1: a shard
#                              already keeps every core busy and sizes itself to the memory)
#   --report-dir DIR           each shard writes its report to DIR/shard-K-of-N.json
#   --batch PATH               quadstitch-batch to run (default: the one on PATH, else
#                              build/tools/batch/quadstitch-batch of this checkout)
#   --dry-run                  print the shard commands instead of running them
#
# With ssh logins, every machine must see the working and output directories (and the
# report folder and, unless it is on PATH there, the program) at the same absolute paths:
# keep them on a shared filesystem. Relative paths are made absolute here. More shards
# than machines balances a mixed set: each machine takes the next shard when it is free.
# Running the same command again resumes: panoramas that exist are skipped.
# A video take (--video C1 C2 C3 C4 -o OUT.mp4) is split by its segments; when every
# shard succeeded, the segments are joined into the video here (quadstitch-batch --join).
#
# Exit status: 0 when every shard succeeded; 1 for a bad command line (here or in a
# shard); 2 when any frame or shard failed (the failed shards are named).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}" >&2; exit "${1:-1}"; }
fail_usage() { echo "take-parallel: $*" >&2; echo "Try 'scripts/take-parallel.sh --help'." >&2; exit 1; }

absolute() { case "$1" in /*) printf '%s' "$1" ;; *) printf '%s/%s' "$PWD" "$1" ;; esac; }

shards='' per_machine=1 report_dir='' batch='' dry_run=0
logins=()
while [ $# -gt 0 ]; do
    case "$1" in
        --shards) [ $# -ge 2 ] || fail_usage "--shards needs a value"; shards="$2"; shift ;;
        --shards=*) shards="${1#*=}" ;;
        -S|--sshlogin) [ $# -ge 2 ] || fail_usage "$1 needs a value"; logins+=(--sshlogin "$2"); shift ;;
        --sshloginfile|--slf) [ $# -ge 2 ] || fail_usage "$1 needs a value"
            [ -r "$2" ] || fail_usage "cannot read ssh login file '$2'"
            logins+=(--sshloginfile "$(absolute "$2")"); shift ;;
        --shards-per-machine) [ $# -ge 2 ] || fail_usage "$1 needs a value"; per_machine="$2"; shift ;;
        --report-dir) [ $# -ge 2 ] || fail_usage "$1 needs a value"; report_dir="$2"; shift ;;
        --batch) [ $# -ge 2 ] || fail_usage "$1 needs a value"; batch="$2"; shift ;;
        --dry-run) dry_run=1 ;;
        -h|--help) usage 0 ;;
        --) shift; break ;;
        *) fail_usage "unknown option '$1' (quadstitch-batch options go after --)" ;;
    esac
    shift
done
[[ "$shards" =~ ^[1-9][0-9]*$ ]] || fail_usage "--shards: expected a whole number of at least 1, got '$shards'"
[[ "$per_machine" =~ ^[1-9][0-9]*$ ]] || fail_usage "--shards-per-machine: expected a whole number of at least 1"
command -v parallel >/dev/null || fail_usage "GNU parallel is not installed (bash scripts/setup.sh installs it)"

# The shards' options: paths made absolute so that a remote shell, which starts in the
# home folder, finds them; --shard and --report are this script's to give.
forwarded=()
video=0 in_video=0
while [ $# -gt 0 ]; do
    opt="$1"
    if [ "$in_video" -eq 1 ]; then
        case "$opt" in
            -*) in_video=0 ;;
            *) forwarded+=("$(absolute "$opt")"); shift; continue ;;
        esac
    fi
    case "$opt" in
        --video) video=1 in_video=1; forwarded+=("$opt") ;;
        --calibration)
            [ $# -ge 2 ] || fail_usage "$opt needs a value"
            forwarded+=("$opt" "$(absolute "$2")"); shift ;;
        --join) fail_usage "--join is run by this script once every shard succeeded" ;;
        --shard|--shard=*) fail_usage "--shard is given to each shard by this script" ;;
        --report|--report=*) fail_usage "use --report-dir before --: one report per shard" ;;
        -d|-o|--working-directory|--output-directory)
            [ $# -ge 2 ] || fail_usage "$opt needs a value"
            forwarded+=("$opt" "$(absolute "$2")"); shift ;;
        --working-directory=*|--output-directory=*) forwarded+=("${opt%%=*}=$(absolute "${opt#*=}")") ;;
        -d?*|-o?*) forwarded+=("${opt:0:2}" "$(absolute "${opt:2}")") ;;
        *) forwarded+=("$opt") ;;
    esac
    shift
done

if [ -z "$batch" ]; then
    if command -v quadstitch-batch >/dev/null; then
        batch=quadstitch-batch
    else
        batch="$root/build/tools/batch/quadstitch-batch"
    fi
fi
case "$batch" in */*) batch="$(absolute "$batch")" ;; esac
if [ ${#logins[@]} -eq 0 ] && [ "$dry_run" -eq 0 ] && ! command -v "$batch" >/dev/null; then
    fail_usage "no quadstitch-batch at '$batch' (build it with bash scripts/build.sh, or give --batch)"
fi

report=()
if [ -n "$report_dir" ]; then
    report_dir="$(absolute "$report_dir")"
    mkdir -p "$report_dir"
    report=(--report "$report_dir/shard-{}-of-$shards.json")
fi

joblog="$(mktemp "${TMPDIR:-/tmp}/take-parallel.XXXXXX")"
trap 'rm -f "$joblog"' EXIT

# -q quotes each word for the (remote) shell; output is passed on line by line, tagged
# with its shard; all shards run even when one fails.
parallel_options=(--will-cite -q --jobs "$per_machine" --line-buffer --tagstring "shard {}/$shards"
                  --joblog "$joblog")
if [ ${#logins[@]} -gt 0 ]; then
    parallel_options+=("${logins[@]}")
fi
if [ "$dry_run" -eq 1 ]; then
    parallel_options+=(--dry-run)
fi

status=0
parallel "${parallel_options[@]}" \
    "$batch" "${forwarded[@]}" --shard "{}/$shards" "${report[@]}" \
    ::: $(seq 1 "$shards") || status=$?
[ "$dry_run" -eq 0 ] || exit "$status"

# GNU parallel's own status counts failed jobs; the job log keeps each shard's status.
# Columns: Seq Host Starttime JobRuntime Send Receive Exitval Signal Command.
bad_usage=0 failed=()
while IFS=$'\t' read -r seq host _ _ _ _ exitval signal _; do
    [ "$seq" != "Seq" ] || continue
    if [ "$exitval" != 0 ] || [ "$signal" != 0 ]; then
        what="exit status $exitval"
        [ "$signal" = 0 ] || what="killed by signal $signal"
        [ "$host" != ":" ] || host="this machine"
        failed+=("shard $seq/$shards on $host: $what")
        [ "$exitval" != 1 ] || bad_usage=1
    fi
done < "$joblog"
started="$(($(wc -l < "$joblog") - 1))"
if [ "$started" -lt "$shards" ]; then
    failed+=("$((shards - started)) of $shards shards did not start")
fi
if [ ${#failed[@]} -gt 0 ]; then
    printf 'take-parallel: %s\n' "${failed[@]}" >&2
    [ "$bad_usage" -eq 0 ] || exit 1
    exit 2
fi
if [ "$status" -ne 0 ]; then
    echo "take-parallel: GNU parallel exited with status $status" >&2
    exit 2
fi
if [ "$video" -eq 1 ]; then
    join_status=0
    "$batch" "${forwarded[@]}" --join || join_status=$?
    if [ "$join_status" -ne 0 ]; then
        echo "take-parallel: joining the segments failed (exit status $join_status)" >&2
        exit 2
    fi
fi
exit 0
