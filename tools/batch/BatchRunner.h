#pragma once

#include "FrameSelection.h"

#include "StitchLib/pipeline/BestQuality.h"

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace batch {

// A take and how to stitch it; what the command line gives.
struct BatchOptions {
    std::string workingDirectory = ".";
    std::string outputDirectory;   // empty: the working directory
    FrameChoice frames;
    bool fastStitch = false;
    std::uint32_t fastStitchHeight = 1000;
    std::string imageExtension = ".png";
    std::string format = "png";    // png, jpg or tif
    int jpegQuality = 0;           // 1 to 100 for jpg; 0: the encoder's default (95)
    unsigned jobs = 0;             // 0: what the cores and the free memory allow
    Shard shard;
    std::string reportPath;        // empty: no report
    std::string calibrationCheck;  // the report's "calibration" object (JSON); empty: none
    bool force = false;
    bool quiet = false;
    // seed: the program's stitch, pixel for pixel; best: dense depth, exposure
    // matching, a clean coverage edge and frame-to-frame stability (full stitch only).
    std::string quality = "seed";
    // Reduced overlay pictures (seams, depth, disagreement) beside each panorama.
    bool overlays = false;
    // Each worker takes one contiguous chunk of the frames and runs it in take order,
    // for stages that carry state from one frame to the next.
    bool framesInOrder = false;
};

// Exit statuses of the batch tool.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;
constexpr int kExitInterrupted = 130;

// Bytes one frame in flight needs at most, for the memory budget.
std::uint64_t bytesPerFrame(const BatchOptions& options);

// Frames to run side by side: the request (or the cores when none), never more than
// the available memory holds, at least one.
unsigned framesInFlight(unsigned requested, unsigned cores, std::uint64_t availableBytes, std::uint64_t perFrame);

// What the full-stitch workers keep of the large planes they free, for their next
// frames: every large plane (up to `bytes`) when the available memory holds that
// beside each frame's budget and a worker has more than one frame, else only
// written blend planes within the budget.
struct PlaneReuse {
    std::size_t bytes;
    bool everyLargeMatrix;
};
PlaneReuse planeReuse(unsigned jobs, std::size_t frames, std::uint64_t availableBytes, std::uint64_t perFrame);

// How a take of `frames` frames runs: how many at once, and what the process does
// beside the stitch. A take of one frame runs it as quadstitch does, with nothing
// more.
struct TakePlan {
    unsigned jobs = 1;
    // More than one frame in flight: each on a thread of its own, and the cores no
    // frame runs on join the running frames' loops (CorePool). Otherwise the frame
    // runs on the library's own pool, on every core.
    bool corePool = false;
    // More than one frame: malloc keeps freed memory and the blend keeps freed planes
    // (`planes`, full stitch), for later steps of the same frame (frames side by side
    // each have a share of the budget) and a worker's next frames.
    bool keepFreedMemory = false;
    PlaneReuse planes{0, false};
    // A worker has more frames after its first: its panoramas are written behind it.
    bool writeBehind = false;
    // The fast stitch's maps are built once for the take's frames; a lone frame maps
    // and samples each sector in one go.
    bool sharedFastMaps = false;
};
TakePlan planTake(unsigned requestedJobs, unsigned cores, std::size_t frames, std::uint64_t availableBytes,
                  std::uint64_t perFrame);

// Frame indices [begin, end) that worker `worker` of `workers` runs in order when
// frames must stay in take order: contiguous, balanced chunks.
std::pair<std::size_t, std::size_t> orderedChunk(std::size_t frames, unsigned worker, unsigned workers);

// Take positions a pipeline that has seen the take's frames before position `fed`
// feeds, in order, before it stitches the frame at `position`: the last `before`
// positions before it that are not `unreadable`, none before `fed`. A single run over
// the take fails an unreadable frame and never sees it, so its temporal state holds
// the readable frames before instead.
std::vector<std::size_t> prerollPositions(std::size_t position, std::size_t fed, std::size_t before,
                                          const std::set<std::size_t>& unreadable);

// Blocks SIGINT, SIGTERM, SIGHUP (and SIGUSR1, which the take uses to end its signal
// thread) in the calling thread. Called first in main, so that every thread started
// afterwards has them blocked too and only runTake's signal thread receives them.
void blockStopSignals();

// Stitches the take; returns the exit status. Progress and the summary go to stderr.
int runTake(const BatchOptions& options);

} // namespace batch
