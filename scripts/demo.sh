#!/usr/bin/env bash
# Sets up, builds, simulates one rig frame into sample/ and stitches it in both modes.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/build.sh"
sample="$root/sample"
"$root/build/tools/sim/quadstitch-sim" generate "$sample" --frame 1
"$root/build/quadstitch" -d "$sample" -f 1 -s 1 -t 1000
cp "$sample/0000000001.png" "$sample/fast-0000000001.png"
echo "fast stitch:  $sample/fast-0000000001.png"
"$root/build/tools/sim/quadstitch-sim" score "$sample/fast-0000000001.png" "$sample"
"$root/build/quadstitch" -d "$sample" -f 1
echo "full stitch:  $sample/0000000001.png"
"$root/build/tools/sim/quadstitch-sim" score "$sample/0000000001.png" "$sample"
