#!/usr/bin/env bash
# GNU parallel runs the shards of a take: every frame stitched by exactly one shard,
# failures and bad command lines reach the exit status, a second run resumes.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
run="$root/scripts/take-parallel.sh"
check="$root/scripts/take-check.sh"
take="$tmp/take"
make_take "$take"
opts=(-d "$take" -o "$tmp/out" -s 1 -t 256)

# The shard commands: one per shard, each with its own --shard and report.
expect 0 "dry run" bash "$run" --shards 2 --dry-run --report-dir "$tmp/reports" --batch "$batch" -- "${opts[@]}"
[ "$(grep -c -- '--shard' "$tmp/last.log")" -eq 2 ] || fault "dry run: expected two shard commands"
expect_output "--shard 1/2 --report $tmp/reports/shard-1-of-2.json" "dry run"
expect_output "--shard 2/2 --report $tmp/reports/shard-2-of-2.json" "dry run"
[ ! -e "$tmp/out" ] || fault "dry run: wrote $tmp/out"

# Both shards at once on this machine; the reports together hold each frame once, as ok.
mkdir -p "$tmp/out"
expect 0 "two shards" bash "$run" --shards 2 --shards-per-machine 2 --report-dir "$tmp/reports" --batch "$batch" \
    -- "${opts[@]}"
expect_output "^shard 1/2" "two shards: output tagged with its shard"
expect 0 "coverage" bash "$check" --all-stitched "$tmp/reports" -- "${opts[@]}"
expect_output "4 frames expected, 2 reports: 4 ok; complete" "coverage"
[ "$(ls "$tmp/out" | grep -c '^000000000[0-3][.]png$')" -eq 4 ] || fault "expected 4 panoramas in $tmp/out"
[ -z "$(ls -A "$tmp/out" | grep -v '^000000000[0-3][.]png$')" ] || fault "other files in $tmp/out: $(ls -A "$tmp/out")"

# The check itself catches a frame done twice, a frame never done, and a failed frame.
mkdir -p "$tmp/twice" "$tmp/once-missing"
cp "$tmp/reports"/*.json "$tmp/twice/"
cp "$tmp/reports/shard-1-of-2.json" "$tmp/twice/shard-1-again.json"
expect 2 "check: overlapping shards" bash "$check" "$tmp/twice" -- "${opts[@]}"
expect_output "frame 0 is in more than one report" "check: overlapping shards"
cp "$tmp/reports/shard-2-of-2.json" "$tmp/once-missing/"
expect 2 "check: missing shard" bash "$check" "$tmp/once-missing" -- "${opts[@]}"
expect_output "frame 1 is in no report" "check: missing shard"
sed 's/"status":"ok"/"status":"failed"/' "$tmp/reports/shard-1-of-2.json" >"$tmp/once-missing/shard-1-of-2.json"
expect 2 "check: failed frame" bash "$check" "$tmp/once-missing" -- "${opts[@]}"
expect_output "frame 0 failed" "check: failed frame"

# Running again resumes: every frame skipped, nothing stitched twice.
expect 0 "second run" bash "$run" --shards 2 --report-dir "$tmp/again" --batch "$batch" -- "${opts[@]}" -q
expect 0 "second run covers the take" bash "$check" "$tmp/again" -- "${opts[@]}"
expect_output "4 skipped" "second run"
expect 2 "second run stitched nothing" bash "$check" --all-stitched "$tmp/again" -- "${opts[@]}"

# A frame that cannot be stitched fails its shard; the other shard and frames finish.
bad="$tmp/bad-take"
cp -r "$take" "$bad"
echo "not an image" >"$bad/0000000003-2.png"
bad_opts=(-d "$bad" -o "$tmp/bad-out" -s 1 -t 256 -q)
mkdir -p "$tmp/bad-out"
expect 2 "corrupt frame" bash "$run" --shards 2 --report-dir "$tmp/bad-reports" --batch "$batch" -- "${bad_opts[@]}"
expect_output "shard 2/2 on this machine: exit status 2" "corrupt frame"
expect 2 "corrupt frame check" bash "$check" "$tmp/bad-reports" -- "${bad_opts[@]}"
expect_output "frame 3 failed .*0000000003-2[.]png" "corrupt frame check"
[ "$(ls "$tmp/bad-out" | grep -c '[.]png$')" -eq 3 ] || fault "corrupt frame: expected the 3 other panoramas"

# Bad command lines: exit status 1, here or from the shards.
expect 1 "no shard count" bash "$run" --batch "$batch" -- "${opts[@]}"
expect 1 "shard given twice" bash "$run" --shards 2 --batch "$batch" -- "${opts[@]}" --shard 1/2
expect 1 "bad stitch type" bash "$run" --shards 2 --batch "$batch" -- -d "$take" -o "$tmp/out" -s 7

finish
