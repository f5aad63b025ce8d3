#!/usr/bin/env bash
# Installs the project's dependencies from Debian's archive. Safe to run repeatedly:
# the package index is refreshed at most once, and only missing packages are installed.
# Plain: what building and using the programs needs. --with-tests: also what the test
# suite, the benchmarks and fuzzing need (GoogleTest, Google Benchmark, clang, Chromium
# for the browser tests, a one-node Slurm cluster for the scale-out test), so that a
# machine that only stitches gets no Slurm daemons or browser.
set -euo pipefail

with_tests=0
for argument in "$@"; do
    case "$argument" in
        --with-tests) with_tests=1 ;;
        *) echo "setup.sh: unknown option '$argument' (only --with-tests)" >&2; exit 1 ;;
    esac
done

packages=(
    # build
    g++ cmake make pkg-config time
    # libraries
    libopencv-dev
    libboost-program-options-dev
    libboost-filesystem-dev
    # 360 metadata of the batch tool's panoramas
    libexiv2-dev
    # input guards: calibration pre-check, strict JPEG check, PNG checksums
    libyaml-dev
    libjpeg-dev
    zlib1g-dev
    # whole-buffer deflate: camera PNGs inflated in one call, chunk checksums, and
    # the batch tool's panoramas compressed as one stream
    libdeflate-dev
    # the vectorised deflate that compresses the program's panoramas in parallel bands
    libisal-dev
    # video takes: decoding the cameras' videos, encoding the 360 video (libx264,
    # libx265), and the ffmpeg command line that tests and benchmarks make inputs with
    libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg
    # camera sync: the cameras' audio resampled to one rate
    libswresample-dev
    # scale-out: GNU parallel over shards
    parallel
    # the calibration tool's solve
    libceres-dev
)

test_packages=(
    # tests and benchmarks
    libgtest-dev googletest libbenchmark-dev
    # fuzzing (clang's libFuzzer and sanitizer runtimes)
    clang
    libclang-rt-14-dev
    # viewer page: its browser tests drive Chromium headless
    chromium
    chromium-driver
    # scale-out: a one-node Slurm cluster for the cluster test
    slurmctld
    slurmd
    slurm-client
    munge
)
if [ "$with_tests" -eq 1 ]; then
    packages+=("${test_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

# The viewer page's packages come from npm. Node.js may come from elsewhere than
# Debian (its npm then ships with it), so only the missing commands are installed.
if ! command -v node >/dev/null 2>&1; then missing+=(nodejs); fi
if ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi

if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    echo "Installing: ${missing[*]}"
    $SUDO apt-get -o DPkg::Lock::Timeout=300 update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
        --no-install-recommends "${missing[@]}"
fi

# The viewer library and the browser driver, pinned by tools/view/package-lock.json,
# into tools/view/node_modules; again only when the lock file changed since.
view="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tools/view"
if [ ! -f "$view/node_modules/.package-lock.json" ] ||
   [ "$view/package-lock.json" -nt "$view/node_modules/.package-lock.json" ]; then
    echo "Installing the viewer's npm packages into $view/node_modules"
    (cd "$view" && npm ci --no-audit --no-fund --ignore-scripts --loglevel=error)
fi
