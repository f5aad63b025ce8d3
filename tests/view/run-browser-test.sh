#!/usr/bin/env bash
# Stitches a take of two simulated frames (and one whose camera images are broken)
# with the batch tool, adds overlays, writes the viewer page and checks it in headless
# Chromium. Usage: run-browser-test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$build/test-tmp/view
take=$work/take
out=$work/panoramas
plain=$work/plain
rm -rf "$take" "$out" "$plain" "$work/second"
mkdir -p "$take" "$out" "$plain"

# Two scenes under one calibration, as in a take: frame 1's camera images come from a
# second simulated room (whose own calibration is set aside), frame 0's calibration
# serves both.
"$build/tools/sim/quadstitch-sim" generate "$work/second" --frame 1 --seed 2 >/dev/null
mv "$work/second"/0000000001-?.png "$take/"
rm -rf "$work/second"
"$build/tools/sim/quadstitch-sim" generate "$take" --frame 0 >/dev/null
for camera in 1 2 3 4; do echo "not an image" >"$take/0000000002-$camera.png"; done

# Frame 2 fails, so the batch tool exits with 2; anything else is a failure here.
status=0
"$build/tools/batch/quadstitch-batch" -d "$take" -o "$out" -s 1 -t 512 -q \
    --report "$out/quadstitch-report.json" || status=$?
if [ "$status" -ne 2 ]; then
    echo "quadstitch-batch exited with $status, expected 2 (frame 2 failing)" >&2
    exit 1
fi
for frame in 0 1; do
    "$build/tools/view/make-test-overlays" "$take" "$frame" 512 "$out"
done
"$build/tools/view/quadstitch-view" "$out" >/dev/null

# The same panoramas without a report, for the facts a page finds on its own.
cp "$out"/000000000[01].png "$plain/"
"$build/tools/view/quadstitch-view" "$plain" >/dev/null

# What others may leave in a folder: a report of 130,000 frames, overlay facts with an
# outside URL as a colour and "__proto__" as a scale, a non-image named like a panorama.
hostile=$work/hostile
rm -rf "$hostile"
mkdir -p "$hostile"
cp "$out/0000000000.png" "$out/0000000000.seams.png" "$out/0000000000.depth.png" "$hostile/"
echo "not a picture" >"$hostile/0000000003.png"
awk 'BEGIN { printf "{\"frames\":["; for (i = 0; i < 130000; ++i) printf "%s{\"frame\":%d,\"status\":\"ok\",\"seconds\":{\"total\":1.5}}", (i ? ",\n" : ""), i; print "]}" }' \
    >"$hostile/quadstitch-report.json"
cat >"$hostile/0000000000.overlays.json" <<'JSON'
{"frame": 0, "seams": {"file": "0000000000.seams.png", "cameras": [{"name": "forward", "colour": "red;background:url(https://example.invalid/x.png)"}, {"name": "right", "colour": "#00ff00"}]},
 "depth": {"file": "0000000000.depth.png", "scale": "__proto__", "nearMetres": 1, "farMetres": 20}}
JSON
"$build/tools/view/quadstitch-view" "$hostile" >/dev/null

exec node "$source/tests/view/browser-test.mjs" "$out" "$plain" "$work/shots" "$source/tools/view/node_modules" "$hostile"
