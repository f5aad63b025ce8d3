#!/usr/bin/env bash
# Sets up, builds, simulates one rig frame into sample/, stitches it in both modes,
# scores both against the simulated truth and writes a viewer page; ends by saying
# where everything is.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/build.sh"
sample="$root/sample"
bin="$root/build"
"$bin/tools/sim/quadstitch-sim" generate "$sample" --frame 1

# The simulator's score as sentences: share of the panorama covered, and how close
# it is to the truth (PSNR, higher is better) overall and on near objects.
score() {
    "$bin/tools/sim/quadstitch-sim" score "$1" "$sample" | awk -v name="$2" '
        { value[$1] = $2 }
        END { printf "%s covers %.1f %% of the sphere; against the true view it scores %.1f dB PSNR (%.1f dB on near objects)\n",
                     name, 100 * value["coverage"], value["psnr"], value["psnr_near"] }'
}

"$bin/quadstitch" -d "$sample" -f 1 -s 1 -t 1000
mv "$sample/0000000001.png" "$sample/fast-0000000001.png"
score "$sample/fast-0000000001.png" "The fast stitch"
"$bin/quadstitch" -d "$sample" -f 1
score "$sample/0000000001.png" "The full stitch"
"$bin/tools/view/quadstitch-view" "$sample" >/dev/null

cat <<TEXT

Done. Everything is in $sample:
  the four camera pictures:  0000000001-1.png to 0000000001-4.png, with calibration.yaml
  the fast stitch:           fast-0000000001.png (1000 x 2000 pixels)
  the full stitch:           0000000001.png (5000 x 10000 pixels)
  the simulated truth:       truth.png
  a 360 viewer page:         index.html (of the full stitch). Browsers load its scripts
                             only from a web server; to serve it on this machine, run
                               $bin/tools/view/quadstitch-view $sample --serve
                             and open the address it prints in a browser.
TEXT
