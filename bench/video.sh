#!/usr/bin/env bash
# Video takes, side by side in one run: each figure beside its peer.
#
#   bash bench/video.sh [--frames N] [--preview-frames N] [--preset P] [--keep DIR] [--no-cluster]
#                       [--preview-only]
#
#   --frames N          simulated frames of the take (default 4): the full stitch runs on them
#   --preview-frames N  frames of the preview videos, the take's frames over and over with
#                       new sensor noise in every frame (default 120, 4 s at 30 frames/s)
#   --preset P          x264 preset of the fast preview, ours and the peer's (default ultrafast)
#   --keep DIR          build the take in DIR and keep it (default: a temporary folder)
#   --no-cluster        leave out the Slurm run (the one-node cluster takes about 20 s to start)
#   --preview-only      only the fast preview against its peer
#
# Fast preview: four 1280 x 1280 H.264 camera videos to a 2000 x 1000 H.264 360 video
#   (quadstitch-batch --video -s 1 -t 1000) against an ffmpeg command line doing the naive
#   job: each camera mapped with the v360 filter (fisheye to equirectangular) and the four
#   overlaid, at the same size and encoder settings. Frames per second of wall time, and
#   processor seconds per frame (what a quiet 2-core machine would turn into throughput).
# Full stitch from video: seconds per frame of --video against -d on the same frames as
#   PNG files (the simulator writes both).
# Output: ffprobe's spherical side data, frame count and duration of the full-stitch video;
#   its decoded frames against the image-file panoramas reduced the same way (PSNR).
# Scale: the preview take split into 4 shards on a one-node Slurm cluster and joined,
#   against one run: the same decoded frames.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}" >&2; exit "${1:-1}"; }

frames=4 preview_frames=120 preset=ultrafast keep='' cluster=1 preview_only=0
while [ $# -gt 0 ]; do
    case "$1" in
        --frames) frames="$2"; shift ;;
        --preview-frames) preview_frames="$2"; shift ;;
        --preset) preset="$2"; shift ;;
        --keep) keep="$2"; shift ;;
        --no-cluster) cluster=0 ;;
        --preview-only) preview_only=1 ;;
        -h|--help) usage 0 ;;
        *) echo "video.sh: unknown option '$1'" >&2; usage ;;
    esac
    shift
done

build="$root/build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target quadstitch-batch quadstitch-sim quadstitch-videopsnr >/dev/null
batch="$build/tools/batch/quadstitch-batch"
sim="$build/tools/sim/quadstitch-sim"
psnr="$build/bench/quadstitch-videopsnr"

if [ -n "$keep" ]; then
    work="$keep"
    mkdir -p "$work"
else
    work="$(mktemp -d)"
    trap 'rm -rf "$work"' EXIT
fi
take="$work/take"
if [ ! -e "$take/cam4.mp4" ]; then
    echo "simulating $frames frames of four 1280-pixel cameras into $take ..." >&2
    "$sim" take "$take" --frames "$frames" --camera-size 1280 --images --no-truth --move 1 --seed 3 >/dev/null
fi
rate=30
preview="$work/preview"
mkdir -p "$preview"
if [ ! -e "$preview/cam4.mp4" ]; then
    for k in 1 2 3 4; do
        ffmpeg -nostdin -y -loglevel error -framerate "$rate" -i "$take/%010d-$k.png" \
            -vf "loop=loop=-1:size=$frames,noise=alls=3:allf=t" -frames:v "$preview_frames" \
            -c:v libx264 -preset medium -crf 18 -pix_fmt yuv420p "$preview/cam$k.mp4"
    done
    cp "$take/calibration.yaml" "$preview/"
fi

# seconds wall, processor seconds, of a command (its output to a log)
timed() {
    local log="$1"
    shift
    /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" >"$log" 2>&1 || { echo "FAILED: $*" >&2; cat "$log" >&2; exit 2; }
    awk '{ printf "%s %.2f", $1, $2 + $3 }' "$work/time"
}
# Both figures, or stop: a failed command leaves nothing to compare.
need() { [ -n "$2" ] || { echo "video.sh: $1 failed" >&2; exit 2; }; }

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "## Fast preview: four 1280x1280 H.264 videos -> 2000x1000 H.264, $preview_frames frames, x264 preset $preset"
rm -rf "$work/ours.mp4"*
read -r ours_wall ours_cpu <<<"$(timed "$work/ours.log" "$batch" --video "$preview"/cam{1,2,3,4}.mp4 \
    --offsets 0,0,0,0 -o "$work/ours.mp4" -s 1 -t 1000 --preset "$preset" --segment-seconds 1 -q)"
# The peer: v360 per camera (the lens covers about 180 degrees), yaw turning each to its
# direction, overlaid in camera order.
fov=180
graph=""
for k in 0 1 2 3; do
    graph+="[$k:v]format=yuva420p,v360=input=fisheye:output=e:ih_fov=$fov:iv_fov=$fov:yaw=$((k == 3 ? -90 : 90 * k)):w=2000:h=1000:alpha_mask=1[c$k];"
done
graph+="[c0][c1]overlay[o1];[o1][c2]overlay[o2];[o2][c3]overlay,format=yuv420p[out]"
rm -f "$work/peer.mp4"
read -r peer_wall peer_cpu <<<"$(timed "$work/peer.log" ffmpeg -nostdin -y -loglevel error \
    -i "$preview/cam1.mp4" -i "$preview/cam2.mp4" -i "$preview/cam3.mp4" -i "$preview/cam4.mp4" \
    -filter_complex "$graph" -map "[out]" -c:v libx264 -preset "$preset" "$work/peer.mp4")"
need "the quadstitch-batch preview" "$ours_cpu"
need "the ffmpeg peer" "$peer_cpu"
awk -v n="$preview_frames" -v ow="$ours_wall" -v oc="$ours_cpu" -v pw="$peer_wall" -v pc="$peer_cpu" 'BEGIN {
    printf "| | quadstitch-batch --video | ffmpeg v360 x4 + overlay | ratio |\n|---|---|---|---|\n"
    printf "| frames/s (wall) | %.1f | %.1f | %.2fx |\n", n / ow, n / pw, pw / ow
    printf "| processor ms/frame | %.1f | %.1f | %.2fx |\n", 1000 * oc / n, 1000 * pc / n, pc / oc
    printf "| frames/s at 2 cores fully ours (processor time) | %.1f | %.1f | |\n", 2 * n / oc, 2 * n / pc
}'

[ "$preview_only" -eq 0 ] || exit 0

echo
echo "## Full stitch from video against image files ($frames frames)"
rm -rf "$work/full.mp4"* "$work/pngs" "$work/frames"
# The image files hold the videos' frames as the batch tool decodes them: both sides
# stitch the same pixels, and the output's PSNR measures the video encoding alone.
mkdir -p "$work/frames"
for k in 1 2 3 4; do
    "$psnr" --extract "$take/cam$k.mp4" "$work/frames" "$k"
done
cp "$take/calibration.yaml" "$work/frames/"
read -r video_wall video_cpu <<<"$(timed "$work/full.log" "$batch" --video "$take"/cam{1,2,3,4}.mp4 \
    --offsets 0,0,0,0 -o "$work/full.mp4" -q)"
read -r image_wall image_cpu <<<"$(timed "$work/pngs.log" "$batch" -d "$work/frames" -o "$work/pngs" -q)"
need "the video full stitch" "$video_cpu"
need "the image-file full stitch" "$image_cpu"
awk -v n="$frames" -v vw="$video_wall" -v vc="$video_cpu" -v iw="$image_wall" -v ic="$image_cpu" 'BEGIN {
    printf "| | --video (to a 3840x1920 H.264 video) | -d (PNG files to PNG panoramas) | ratio |\n|---|---|---|---|\n"
    printf "| s/frame (wall) | %.2f | %.2f | %.3f |\n", vw / n, iw / n, vw / iw
    printf "| processor s/frame | %.2f | %.2f | %.3f |\n", vc / n, ic / n, vc / ic
}'

echo
echo "## Output"
probe="$(ffprobe -hide_banner "$work/full.mp4" 2>&1)"
grep -q "spherical: equirectangular" <<<"$probe" && side="spherical: equirectangular" || side="MISSING"
count="$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of default=nw=1:nk=1 "$work/full.mp4")"
duration="$(ffprobe -v error -select_streams v:0 -show_entries stream=duration -of default=nw=1:nk=1 "$work/full.mp4")"
size="$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=s=x:p=0 "$work/full.mp4" | tr -d ',' | sed 's/x$//')"
first="$(ls "$work/pngs" | grep -m1 -E '^[0-9]{10}[.]png$' | cut -c1-10)"
quality="$("$psnr" "$work/full.mp4" "$work/pngs" "$((10#$first))" | tail -1)"
echo "| measure | found | expected |"
echo "|---|---|---|"
echo "| side data | $side | spherical: equirectangular |"
echo "| frames | $count | $frames |"
echo "| duration | $duration s | $(awk -v n="$frames" -v r="$rate" 'BEGIN { printf "%.6f", n / r }') s |"
echo "| size | $size | 3840x1920 |"
echo "| against the image-file panoramas (area-reduced) | $quality | >= 38 dB |"

if [ "$cluster" -eq 1 ]; then
    echo
    echo "## Scale: the preview take in 4 shards on a one-node Slurm cluster, joined"
    rm -rf "$work/cluster.mp4"*
    status=0
    bash "$root/scripts/slurm/local-cluster.sh" --shards 4 --timeout 900 --batch "$batch" -- \
        --video "$preview"/cam{1,2,3,4}.mp4 --offsets 0,0,0,0 -o "$work/cluster.mp4" -s 1 -t 1000 \
        --preset "$preset" --segment-seconds 1 -q >"$work/cluster.log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "cluster run failed (status $status):"
        tail -20 "$work/cluster.log"
    else
        sums() { ffmpeg -nostdin -loglevel error -i "$1" -map 0:v -f framemd5 - | grep -v '^#' | awk '{ print $NF }'; }
        one="$(sums "$work/ours.mp4")" four="$(sums "$work/cluster.mp4")"
        echo "| | one run | 4 shards + join job |"
        echo "|---|---|---|"
        echo "| decoded frames | $(wc -l <<<"$one") | $(wc -l <<<"$four") |"
        [ "$one" = "$four" ] && same=identical || same=DIFFERENT
        echo "| frame checksums | | $same |"
    fi
fi
