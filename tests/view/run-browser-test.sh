#!/usr/bin/env bash
# Builds a take of two simulated, fast-stitched frames with overlays and a batch
# report, writes its viewer page and checks it in headless Chromium.
# Usage: run-browser-test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$build/test-tmp/view
take=$work/take
rm -rf "$take"
mkdir -p "$take"

for frame in 0 1; do
    "$build/tools/sim/quadstitch-sim" generate "$take" --frame "$frame" --seed $((frame * 2)) >/dev/null
    "$build/quadstitch" -d "$take" -f "$frame" -s 1 -t 512
    "$build/tools/view/make-test-overlays" "$take" "$frame"
done

# The report knows frame 1 and a frame that failed; frame 0's facts come from its file.
cat >"$take/quadstitch-report.json" <<'JSON'
{"frames": [
 {"frame": 1, "status": "ok", "output": "0000000001.png", "mode": "fast",
  "seconds": {"read": 0.1, "write": 0.2, "total": 14.0}, "coverage": 0.87, "error": ""},
 {"frame": 2, "status": "failed", "output": "", "mode": "fast", "seconds": {"total": 0.1},
  "coverage": 0, "error": "cannot read 0000000002-3.png"}
]}
JSON

"$build/tools/view/quadstitch-view" "$take" >/dev/null
exec node "$source/tests/view/browser-test.mjs" "$take" "$work/shots" "$source/tools/view/node_modules"
