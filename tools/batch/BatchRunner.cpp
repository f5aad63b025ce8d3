#include "BatchRunner.h"

#include "BatchReport.h"
#include "CorePool.h"
#include "PanoramaMetadata.h"
#include "Progress.h"
#include "TakeOutput.h"

#include "app/FrameFiles.h"
#include "app/PanoramaEncoder.h"
#include "app/PanoramaWriter.h"
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/CalibrationCheck.h"
#include "StitchLib/input/CameraImages.h"
#include "StitchLib/pipeline/OverlayObserver.h"
#include "StitchLib/pipeline/StitchPipeline.h"

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <malloc.h>
#include <mutex>
#include <optional>
#include <set>
#include <pthread.h>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace batch {

namespace fs = std::filesystem;
using orb::pipeline::Stage;

namespace {

// Peaks of the full stitch at 5000 x 10000, with room to spare: about 1.0 GiB at
// either quality (1.3 GiB measured for a best-quality frame with its kept planes).
constexpr std::uint64_t kFullStitchBytes = 1536ull << 20;
// Freed blend planes kept per full-stitch frame in flight, inside its budget
// (a full stitch peaks near 1 GiB).
constexpr std::size_t kKeptPlanesPerFrame = std::size_t(256) << 20;
// With memory to spare beside the frames' budgets: every large plane a frame
// frees, up to this much per frame in flight, is kept for the worker's next frame
// (a full stitch allocates about 5 GiB over its course, 3 GiB in distinct sizes).
constexpr std::size_t kEveryPlanePerFrame = std::size_t(3072) << 20;
// Frames each worker must have before keeping every plane pays.
constexpr std::size_t kEveryPlaneFramesPerWorker = 4;

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::uint64_t availableMemory()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t value = 0;
    std::string unit;
    while (meminfo >> key >> value >> unit) {
        if (key == "MemAvailable:")
            return value * 1024;
    }
    return 4ull << 30; // unknown: assume a small machine
}

// Collects the stage times of the frame being stitched and, when asked, its overlays.
class StageTimes : public orb::pipeline::OverlayObserver {
public:
    explicit StageTimes(bool overlays) : wantOverlays(overlays) {}
    void stageStarted(Stage stage) override
    {
        if (started)
            started(orb::pipeline::stageName(stage));
    }
    void stageFinished(Stage stage, double seconds) override { times.emplace_back(orb::pipeline::stageName(stage), seconds); }
    void scanReady(const orb::ScanImages& scan) override
    {
        if (wantOverlays)
            OverlayObserver::scanReady(scan);
    }
    void partsReady(const std::vector<cv::Mat>& parts) override
    {
        if (wantOverlays)
            OverlayObserver::partsReady(parts);
    }
    void seamsReady(const orb::MaskedImageSet& set) override
    {
        if (wantOverlays)
            OverlayObserver::seamsReady(set);
    }

    const bool wantOverlays;
    std::vector<std::pair<std::string, double>> times;
    // Told when a stage of the frame starts, for the progress display.
    std::function<void(const std::string&)> started;
};

double coverageOf(const cv::Mat& panorama)
{
    if (panorama.channels() != 4)
        return -1; // no alpha: unknown, rather than a made-up full coverage
    if (panorama.depth() != CV_8U) {
        cv::Mat alpha;
        cv::extractChannel(panorama, alpha, 3);
        return static_cast<double>(cv::countNonZero(alpha)) / static_cast<double>(alpha.total());
    }
    // Counted in place, band by band on all cores: a full panorama's alpha copied out
    // would be 50 MB to fault in and fill for one number. Integer counts: the same
    // total on any number of threads.
    const int bands = std::min(panorama.rows, 64);
    std::vector<std::uint64_t> counts(static_cast<std::size_t>(bands), 0);
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
        for (int band = range.start; band < range.end; ++band) {
            std::uint64_t count = 0;
            for (int row = panorama.rows * band / bands; row < panorama.rows * (band + 1) / bands; ++row) {
                const uchar* pixel = panorama.ptr<uchar>(row);
                for (int x = 0; x < panorama.cols; ++x)
                    count += pixel[4 * x + 3] != 0;
            }
            counts[static_cast<std::size_t>(band)] = count;
        }
    });
    std::uint64_t covered = 0;
    for (std::uint64_t count : counts)
        covered += count;
    return static_cast<double>(covered) / static_cast<double>(panorama.total());
}

// Everything the workers share.
struct Take {
    const BatchOptions& options;
    std::string outputDirectory;
    std::string calibrationPath;
    std::vector<std::uint32_t> frames;
    // Every frame of the take in order, and where each of `frames` stands in it: a
    // run inside the take pre-rolls the frames before its first from here.
    std::vector<std::uint32_t> takeFrames;
    std::vector<std::size_t> takePositions;
    orb::Rig rig;
    TakeOutput output;
    std::atomic<std::size_t> next{0};
    std::mutex resultsMutex;
    std::vector<FrameResult> results; // in the order frames finish
    std::vector<bool> finished;       // by index into frames
    Progress progress;
    // The fast stitch's maps, built once for all workers.
    std::shared_ptr<orb::pipeline::SharedFastMaps> fastMaps = std::make_shared<orb::pipeline::SharedFastMaps>();
    bool shareFastMaps = true;
    // The fast stitch's coverage depends only on the maps and the image size: worked
    // out once for the size last seen.
    std::mutex coverageMutex{};
    cv::Size coverageSize{};
    double fastCoverage = -1;
    // The calibration as read, with the image sizes it records.
    orb::input::Calibration calibration{};
    // The next frame nobody took: `next`, or memory the worker processes share.
    std::atomic<std::size_t>* claimNext = &next;
    // Workers run as processes of their own (full stitches side by side): each faults
    // its pages in an address space of its own, not behind the other's lock.
    bool workerProcesses = false;
    // In a worker process: the pipe to the take's process, which records results and
    // shows progress and warnings.
    int reportFd = -1;
    std::mutex reportMutex{};
    // In the take's process: its worker processes (under runningMutex) and whether a
    // stop signal came.
    std::vector<pid_t> workerPids{};
    std::atomic<bool> interrupted{false};

    // A message to the take's process: a kind, a frame or index, and bytes.
    void send(char kind, std::uint64_t number, const std::string& payload)
    {
        std::string message(1, kind);
        const std::uint64_t size = payload.size();
        message.append(reinterpret_cast<const char*>(&number), sizeof number);
        message.append(reinterpret_cast<const char*>(&size), sizeof size);
        message += payload;
        std::lock_guard<std::mutex> lock(reportMutex);
        for (std::size_t at = 0; at < message.size();) {
            const ssize_t n = ::write(reportFd, message.data() + at, message.size() - at);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                ::_exit(kExitFailed); // the take's process is gone: nobody to stitch for
            at += static_cast<std::size_t>(n);
        }
    }

    void stage(std::uint32_t frame, const std::string& name)
    {
        if (reportFd >= 0)
            return send('S', frame, name);
        std::lock_guard<std::mutex> lock(resultsMutex);
        progress.frameStage(frame, name);
    }

    void warn(const std::string& text)
    {
        if (reportFd >= 0)
            return send('W', 0, text);
        std::lock_guard<std::mutex> lock(resultsMutex);
        progress.warning(text);
    }
};

// Share of the panorama some camera shows. A full stitch marks it in the alpha
// channel; a fast one has no alpha (and black scene pixels look like holes), so its
// share comes from the take's maps.
double panoramaCoverage(Take& take, const cv::Mat& panorama, const std::vector<cv::Mat>& images)
{
    if (!take.options.fastStitch)
        return coverageOf(panorama);
    std::lock_guard<std::mutex> lock(take.coverageMutex);
    if (take.fastCoverage < 0 || take.coverageSize != images.at(0).size()) {
        const std::vector<cv::Size> sizes(images.size(), images.at(0).size());
        take.fastCoverage = take.fastMaps->get(take.rig, static_cast<int>(take.options.fastStitchHeight))->coverage(sizes);
        take.coverageSize = images.at(0).size();
    }
    return take.fastCoverage;
}


std::vector<cv::Mat> readFrame(const Take& take, std::uint32_t frame)
{
    std::vector<std::string> paths;
    for (int k = 1; k <= take.rig.cameraCount(); ++k)
        paths.push_back(FrameFiles::cameraImagePath(take.options.workingDirectory, take.options.imageExtension, frame,
                                                    static_cast<unsigned>(k))
                            .string());
    std::vector<cv::Mat> images = orb::input::readCameraImages(paths);
    orb::input::checkCalibrationMatchesImages(take.calibration, images.at(0).size(), take.calibrationPath);
    return images;
}

// Records a frame that is done.
void recordResult(Take& take, std::size_t index, FrameResult result)
{
    if (take.reportFd >= 0)
        return take.send('R', index, encodeResult(result));
    std::lock_guard<std::mutex> lock(take.resultsMutex);
    char detail[64] = "";
    if (result.status == "ok")
        std::snprintf(detail, sizeof detail, "%.1f s", result.seconds.back().second);
    take.progress.frameDone(result.frame, result.status, result.status == "failed" ? result.error : detail);
    take.finished[index] = true;
    take.results.push_back(std::move(result));
}

// A frame whose panorama is in its temporary file, waiting to be flushed and renamed.
struct EncodedFrame {
    std::size_t index = 0; // into take.frames
    FrameResult result;    // its seconds up to the encoding
    std::chrono::steady_clock::time_point start;
    std::unique_ptr<TakeOutput::Pending> panorama;
};

// Flushes the frames' panoramas to disk and renames them into place on a thread of its
// own, so that a frame's thread goes on with its next frame instead of waiting for the
// disk: a flush takes about 5-10 ms for a fast panorama and 0.1 s for a full one, a
// core left idle on each frame. At most `capacity` frames wait; a frame's claim is
// released once its panorama is in place, and only then is it done.
class BackgroundWrites {
public:
    BackgroundWrites(Take& take, std::size_t capacity) : take_(take), capacity_(std::max<std::size_t>(capacity, 1)) {}
    ~BackgroundWrites() { finish(); }
    BackgroundWrites(const BackgroundWrites&) = delete;
    BackgroundWrites& operator=(const BackgroundWrites&) = delete;

    void push(EncodedFrame frame)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return queue_.size() < capacity_; });
        queue_.push_back(std::move(frame));
        ready_.notify_one();
    }

    // Writes what waits, then ends the thread.
    void finish()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        ready_.notify_one();
        if (thread_.joinable())
            thread_.join();
    }

private:
    void run()
    {
        for (;;) {
            EncodedFrame frame;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [&] { return done_ || !queue_.empty(); });
                if (queue_.empty())
                    return;
                frame = std::move(queue_.front());
                queue_.pop_front();
            }
            room_.notify_all();
            write(frame);
        }
    }

    void write(EncodedFrame& frame)
    {
        FrameResult& result = frame.result;
        const auto t = std::chrono::steady_clock::now();
        take_.stage(result.frame, "write");
        try {
            if (take_.output.finish(std::move(frame.panorama))) {
                result.seconds.emplace_back("write", secondsSince(t));
                result.status = "ok";
            } else {
                result.status = "interrupted";
            }
        } catch (const std::exception& e) {
            result.status = "failed";
            result.error = e.what();
        }
        take_.output.release(result.frame);
        // An interrupted frame is left for the report's unfinished ones, as a worker does.
        if (result.status == "interrupted")
            return;
        result.seconds.emplace_back("total", secondsSince(frame.start));
        recordResult(take_, frame.index, std::move(result));
    }

    Take& take_;
    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<EncodedFrame> queue_;
    bool done_ = false;
    std::thread thread_{[this] { run(); }}; // last: starts once the rest is made
};

// A worker's stages, made afresh when its temporal state has to start over.
struct WorkerStages {
    WorkerStages(const Take& take, StageTimes& times)
        : options(orb::pipeline::qualityOptions(orb::pipeline::parseQuality(take.options.quality)))
    {
        if (take.shareFastMaps)
            options.sharedFastMaps = take.fastMaps; // same rig and height for the whole take
        pipeline = std::make_unique<orb::pipeline::StitchPipeline>(take.rig, options, &times);
    }
    orb::pipeline::StitchOptions options;
    std::unique_ptr<orb::pipeline::StitchPipeline> pipeline;
};

// A panorama's file, handed to `sink` piece by piece. PNG in bands as quadstitch
// writes it, each band as it is compressed (the vectorised deflate of the bands takes
// less CPU than one stream, and a frame alone compresses them on every core), with the
// metadata chunk after the image header; other formats whole, their metadata
// rewritten in.
void encodeInto(const cv::Mat& panorama, const BatchOptions& o, const PanoramaSink& sink)
{
    const bool metadata = canCarryPanoramaMetadata(o.format);
    if (o.format == "png") {
        encodePanoramaTo(panorama, ".png",
                         metadata ? pngPanoramaMetadataChunk(panorama.cols, panorama.rows) : std::vector<uchar>(),
                         sink);
        return;
    }
    std::vector<uchar> bytes = encodePanorama(panorama, "." + o.format, PngCompression::Bands, o.jpegQuality);
    if (metadata)
        bytes = addPanoramaMetadata(bytes, panorama.cols, panorama.rows);
    sink(bytes);
}

// `prepare` runs once the frame is known to be stitched, before it is read (the
// frames its temporal state depends on); it returns its seconds and may add warnings
// to the result, and may make `stages` afresh.
// With `writes` (and no overlays), the encoded panorama is handed to it and the frame
// comes back as "writing": `writes` finishes and records it.
FrameResult stitchFrame(Take& take, WorkerStages& stages, StageTimes& times, std::uint32_t frame,
                        const std::function<double(FrameResult&)>& prepare, BackgroundWrites* writes,
                        std::size_t index)
{
    const BatchOptions& o = take.options;
    FrameResult result;
    result.frame = frame;
    result.mode = o.fastStitch ? "fast" : "full";
    result.output = take.output.panoramaPath(frame, o.format);
    const auto start = std::chrono::steady_clock::now();
    // Claimed first, then judged: another process may have finished it meanwhile.
    std::string holder;
    try {
        holder = take.output.claim(frame);
    } catch (const std::exception& e) {
        result.status = "failed";
        result.error = e.what();
        return result;
    }
    if (!holder.empty()) {
        result.status = "claimed";
        result.error = "being stitched by " + holder;
        return result;
    }
    struct Release {
        TakeOutput& output;
        std::uint32_t frame;
        bool handedOver = false; // to the background writes, which release it
        ~Release()
        {
            if (!handedOver)
                output.release(frame);
        }
    } release{take.output, frame};
    try {
        // Done only when whole, with its overlays when they are asked for.
        if (!o.force && take.output.panoramaComplete(frame, o.format) &&
            (!o.overlays || take.output.overlaysComplete(frame))) {
            result.status = "skipped";
            return result;
        }
        if (prepare)
            result.seconds.emplace_back("preroll", prepare(result));
        auto t = std::chrono::steady_clock::now();
        take.stage(frame, "read");
        times.started = [&take, frame](const std::string& name) { take.stage(frame, name); };
        std::vector<std::string> paths;
        for (int k = 1; k <= take.rig.cameraCount(); ++k)
            paths.push_back(
                FrameFiles::cameraImagePath(o.workingDirectory, o.imageExtension, frame, static_cast<unsigned>(k))
                    .string());
        const std::vector<cv::Mat> images = orb::input::readCameraImages(paths);
        orb::input::checkCalibrationMatchesImages(take.calibration, images.at(0).size(), take.calibrationPath);
        result.seconds.emplace_back("read", secondsSince(t));

        times.times.clear();
        times.clear();
        orb::pipeline::StitchPipeline& pipeline = *stages.pipeline;
        const cv::Mat panorama = o.fastStitch
                                     ? pipeline.fastStitch(images, static_cast<int>(o.fastStitchHeight))
                                     : pipeline.fullStitch(images);
        for (const auto& stage : times.times)
            result.seconds.push_back(stage);
        if (panorama.empty())
            throw std::runtime_error("stitching produced no panorama");
        // The figures of the estimate this frame was stitched with (the pipeline shares
        // the stage); seed quality's stage has none.
        if (stages.options.depth && !o.fastStitch)
            result.depth = stages.options.depth->facts();
        // Only the report shows it.
        if (!o.reportPath.empty())
            result.coverage = panoramaCoverage(take, panorama, images);

        t = std::chrono::steady_clock::now();
        take.stage(frame, "encode");
        // Encoded straight into the temporary file; "write" is the flush and rename.
        std::unique_ptr<TakeOutput::Pending> pending =
            take.output.stream(frame, o.format, [&](const PanoramaSink& sink) { encodeInto(panorama, o, sink); });
        if (!pending) {
            result.status = "interrupted";
            return result;
        }
        result.seconds.emplace_back("encode", secondsSince(t));
        if (writes && !o.overlays) {
            EncodedFrame encoded{index, result, start, std::move(pending)};
            writes->push(std::move(encoded));
            release.handedOver = true;
            FrameResult handed;
            handed.frame = frame;
            handed.status = "writing";
            return handed;
        }

        t = std::chrono::steady_clock::now();
        take.stage(frame, "write");
        if (!take.output.finish(std::move(pending))) {
            result.status = "interrupted";
            return result;
        }
        result.seconds.emplace_back("write", secondsSince(t));
        if (o.overlays) {
            t = std::chrono::steady_clock::now();
            if (o.fastStitch)
                times.fastStitchSeams(take.rig, static_cast<int>(o.fastStitchHeight));
            // Like the panorama, never half-written when the take is stopped.
            if (!take.output.writeOther(
                    [&] { orb::Overlays::writeOverlays(take.outputDirectory, frame, times.overlays); })) {
                result.status = "interrupted";
                return result;
            }
            result.seconds.emplace_back("overlays", secondsSince(t));
        }
        result.status = "ok";
    } catch (const cv::Exception& e) {
        result.status = "failed";
        result.error = e.what();
    } catch (const std::exception& e) {
        result.status = "failed";
        result.error = e.what();
    }
    result.seconds.emplace_back("total", secondsSince(start));
    return result;
}

void worker(Take& take, CorePool* cores, BackgroundWrites* writes, unsigned workerIndex, unsigned workers)
{
    // Counted as running from before it started; once out of frames, its core helps
    // the frames still running.
    struct Finished {
        CorePool* cores;
        ~Finished()
        {
            if (cores)
                cores->frameThreadFinished();
        }
    } finished{cores};
    // Each worker has its own stages: the best quality's remember this worker's
    // last frames, which is why its frames come in take order.
    StageTimes times(take.options.overlays);
    WorkerStages stages(take, times);
    // Frames in order: this worker's chunk; otherwise the next frame nobody took.
    const auto chunk = orderedChunk(take.frames.size(), workerIndex, workers);
    std::size_t nextInChunk = chunk.first;
    // The take's frames whose temporal state the next stitch depends on are fed first
    // (pre-roll: read and measured, not written), so that a run's frames come out as
    // from a single run over the whole take. `fed`: the take position after the last
    // frame this pipeline has seen.
    const std::size_t before = static_cast<std::size_t>(std::max(0, stages.pipeline->prerollFrames()));
    std::size_t fed = 0;
    // Take positions whose frames could not be read: a single run fails them and never
    // sees them, so its state holds the readable frames before.
    std::set<std::size_t> unreadable;
    for (;;) {
        const std::size_t index = take.options.framesInOrder ? nextInChunk++ : take.claimNext->fetch_add(1);
        if (index >= (take.options.framesInOrder ? chunk.second : take.frames.size()))
            return;
        // The take's process answers for it should this process end before its result.
        if (take.reportFd >= 0)
            take.send('B', index, {});
        const std::size_t position = take.takePositions[index];
        const auto preroll = [&](FrameResult& result) {
            const auto start = std::chrono::steady_clock::now();
            for (;;) {
                const std::vector<std::size_t> planned = prerollPositions(position, fed, before, unreadable);
                std::vector<std::size_t> read;
                for (std::size_t p : planned) {
                    const std::uint32_t frame = take.takeFrames[p];
                    try {
                        stages.pipeline->preroll(readFrame(take, frame));
                        read.push_back(p);
                    } catch (const std::exception& e) {
                        unreadable.insert(p);
                        // A frame of this run fails on its own, in its place in the report.
                        if (std::binary_search(take.frames.begin(), take.frames.end(), frame))
                            continue;
                        const std::string text = "frame " + std::to_string(frame) +
                                                 ", which the temporal state of frame " +
                                                 std::to_string(result.frame) + " follows, cannot be read (" +
                                                 e.what() + "); it is left out, as a run over the whole take "
                                                 "fails it and goes on";
                        result.warnings.push_back(text);
                        take.warn(text);
                    }
                }
                // Frames further back make up for the unreadable ones; they must come
                // before the frames already fed, so the state starts over with them.
                if (read.size() == planned.size() || prerollPositions(position, fed, before, unreadable) == read)
                    break;
                stages = WorkerStages(take, times);
                fed = 0;
            }
            return secondsSince(start);
        };
        FrameResult result = stitchFrame(
            take, stages, times, take.frames[index],
            before > 0 ? std::function<double(FrameResult&)>(preroll) : std::function<double(FrameResult&)>(), writes,
            index);
        // A skipped frame (its panorama was there) or one another process holds was not
        // seen: the next stitch pre-rolls it.
        if (result.status != "skipped" && result.status != "claimed")
            fed = position + 1;
        if (result.status == "interrupted")
            return;
        if (result.status != "writing")
            recordResult(take, index, std::move(result));
    }
}

// Written like a panorama: a new temporary file, flushed to disk, renamed into place.
// Throws std::runtime_error with the reason.
void writeReport(const std::string& path, std::vector<FrameResult> results, const std::string& calibration)
{
    if (path.empty())
        return;
    std::sort(results.begin(), results.end(),
              [](const FrameResult& a, const FrameResult& b) { return a.frame < b.frame; });
    std::ostringstream json;
    writeReportJson(json, results, calibration);
    writeFileAtomically(path, json.str(), "the report");
}

// Why the report cannot go to the path asked for, before the take starts: its folder
// must take a new file, and the path must not be one of the take's own files (the
// calibration, a camera image, a panorama or its overlays), which the report would
// replace. Empty if it can.
std::string reportPathProblem(const BatchOptions& options, const std::string& outputDirectory)
{
    const fs::path report(options.reportPath);
    const fs::path folder = report.has_parent_path() ? report.parent_path() : fs::path(".");
    std::error_code ec;
    // The output folder is made once the take can be stitched.
    const bool outputFolder = fs::weakly_canonical(fs::absolute(folder, ec), ec) ==
                              fs::weakly_canonical(fs::absolute(outputDirectory, ec), ec);
    if (!fs::exists(folder, ec) && !outputFolder)
        return "cannot be written: its folder '" + folder.string() + "' does not exist";
    if (!fs::exists(folder, ec))
        return {};
    if (!fs::is_directory(folder, ec))
        return "cannot be written: '" + folder.string() + "' is not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return "cannot be written: its folder '" + folder.string() + "' is not writable";
    const fs::file_status status = fs::symlink_status(report, ec);
    if (fs::is_directory(status))
        return "is a folder";
    if (fs::exists(status) && !fs::is_regular_file(status) && !fs::is_symlink(status))
        return "is not a regular file";

    const std::string name = report.filename().string();
    const fs::path where = fs::weakly_canonical(fs::absolute(folder, ec), ec);
    const auto same = [&](const std::string& directory) {
        std::error_code e;
        return fs::equivalent(where, fs::path(directory), e);
    };
    // Frame numbers have ten digits; camera numbers any number of digits.
    const auto digits = [&](std::size_t from, std::size_t count) {
        return from + count <= name.size() &&
               std::all_of(name.begin() + from, name.begin() + from + count,
                           [](char c) { return c >= '0' && c <= '9'; });
    };
    const auto frameThen = [&](std::initializer_list<const char*> suffixes) {
        return digits(0, 10) && std::any_of(suffixes.begin(), suffixes.end(),
                                            [&](const char* s) { return name.compare(10, std::string::npos, s) == 0; });
    };
    if (same(options.workingDirectory)) {
        if (name == "calibration.yaml")
            return "is the take's calibration";
        std::size_t camera = 11;
        while (digits(camera, 1))
            ++camera;
        if (digits(0, 10) && name.size() > 10 && name[10] == '-' && camera > 11 &&
            name.compare(camera, std::string::npos, options.imageExtension) == 0)
            return "is a camera image of the take";
    }
    if (same(outputDirectory)) {
        if (frameThen({".png", ".jpg", ".tif"}))
            return "is a panorama of the take";
        if (frameThen({".seams.png", ".depth.png", ".disagreement.png", ".overlays.json"}))
            return "is an overlay of the take";
        if (name.size() >= 12 && name[0] == '.' && digits(1, 10) && name[11] == '.')
            return "is a working file of the take";
    }
    return {};
}

// Results plus "interrupted" entries for the frames that never finished.
std::vector<FrameResult> resultsWithUnfinished(Take& take)
{
    std::vector<FrameResult> all = take.results;
    for (std::size_t i = 0; i < take.frames.size(); ++i) {
        if (!take.finished[i]) {
            FrameResult r;
            r.frame = take.frames[i];
            r.status = "interrupted";
            r.mode = take.options.fastStitch ? "fast" : "full";
            r.output = take.output.panoramaPath(r.frame, take.options.format);
            all.push_back(r);
        }
    }
    return all;
}

sigset_t stopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        sigaddset(&signals, s);
    return signals;
}

// The take the signal thread stops, once there is one.
std::mutex runningMutex;
Take* running = nullptr;

// A take a stop signal ended: what finished, and the report with the frames that did
// not (marked abandoned). The caller holds `take.resultsMutex`, so no result or progress
// line comes after these.
void reportInterrupted(Take& take)
{
    take.progress.finish();
    std::size_t done = 0;
    for (bool f : take.finished)
        done += f ? 1 : 0;
    std::fprintf(stderr, "quadstitch-batch: interrupted; %zu of %zu frames finished, the others were abandoned\n",
                 done, take.frames.size());
    try {
        writeReport(take.options.reportPath, resultsWithUnfinished(take), take.options.calibrationCheck);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quadstitch-batch: %s\n", e.what());
    }
}

// Waits for SIGINT, SIGTERM or SIGHUP (blocked in every other thread), then stops
// the take without a partial file: no new write starts, the one in progress ends, the
// report records what finished, and the process exits. SIGUSR1 ends the thread when
// the take finished normally.
void signalWaiter()
{
    const sigset_t signals = stopSignals();
    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {
    }
    if (signal == SIGUSR1)
        return;
    std::lock_guard<std::mutex> runningLock(runningMutex);
    if (running == nullptr) {
        std::fprintf(stderr, "quadstitch-batch: interrupted before any frame started\n");
        std::fflush(stderr);
        ::_exit(kExitInterrupted);
    }
    Take& take = *running;
    if (take.workerProcesses) {
        // Each worker process ends the write it is in and exits; the take's process
        // reports once they all have.
        take.interrupted = true;
        for (pid_t pid : take.workerPids)
            ::kill(pid, SIGTERM);
        return;
    }
    take.output.interrupt();
    std::lock_guard<std::mutex> lock(take.resultsMutex);
    reportInterrupted(take);
    std::fflush(stderr);
    ::_exit(kExitInterrupted);
}

// The signal thread for the lifetime of runTake; the take is registered once built.
class SignalThread {
public:
    SignalThread() : thread_(signalWaiter) {}
    ~SignalThread()
    {
        {
            std::lock_guard<std::mutex> lock(runningMutex);
            running = nullptr;
        }
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
    }
    SignalThread(const SignalThread&) = delete;
    SignalThread& operator=(const SignalThread&) = delete;

    void watch(Take* take)
    {
        std::lock_guard<std::mutex> lock(runningMutex);
        running = take;
    }

private:
    std::thread thread_;
};

// Frame after frame allocates the same buffers (file bytes, decoded images, the
// panorama and its encoding). malloc is asked to keep what a frame frees, up to a
// frame's budget (at most 256 MiB), for the next one rather than give it back and
// fault it in again, and to serve blocks up to its largest threshold (32 MiB) from
// that memory.
void keepFreedMemory(std::uint64_t perFrame)
{
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(std::min<std::uint64_t>(perFrame, 256ull << 20)));
}

// Worker `workerIndex` of a take run as processes: this process from its fork on.
// `running`: the frames running in all of them, in memory they share.
[[noreturn]] void workerProcess(Take& take, const TakePlan& plan, unsigned cores, std::uint64_t perFrame,
                                bool keepPlanes, unsigned workerIndex, std::atomic<unsigned>* running)
{
    int status = kExitOk;
    try {
        // Stopped with the take's process, however that ends.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // A stop signal ends the write in progress (no half-written file, no claim
        // left behind), then this process.
        std::thread([&take] {
            const sigset_t signals = stopSignals();
            int signal = 0;
            while (sigwait(&signals, &signal) != 0) {
            }
            take.output.interrupt();
            ::_exit(kExitInterrupted);
        }).detach();
        CorePool& pool = installCorePool(cores);
        pool.followRunningFrames(running);
        cv::setNumThreads(static_cast<int>(cores));
        if (plan.keepFreedMemory)
            keepFreedMemory(perFrame);
        if (keepPlanes)
            orb::pipeline::keepFreedPlanes(plan.planes.bytes / plan.jobs, plan.planes.everyLargeMatrix);
        std::optional<BackgroundWrites> writes;
        if (plan.writeBehind)
            writes.emplace(take, 1);
        worker(take, nullptr, writes ? &*writes : nullptr, workerIndex, plan.jobs);
        // Out of frames: the others' loops may have this core while the last panorama
        // is flushed.
        running->fetch_sub(1);
        if (writes)
            writes->finish();
    } catch (...) {
        status = kExitFailed;
    }
    // No destructors of the take's process's objects: they belong to it.
    ::_exit(status);
}

// How a worker process ended, for the frames it left unfinished.
std::string howItEnded(int status)
{
    if (WIFSIGNALED(status))
        return "its worker process was ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    return "its worker process exited with status " + std::to_string(WEXITSTATUS(status)) +
           " before finishing it";
}

// Runs the take's workers as processes, one per frame in flight, and records what
// they report. Frames a process began and never reported (it crashed), or never
// reached, fail with how it ended. Returns false when a stop signal ended the take.
bool runWorkerProcesses(Take& take, const TakePlan& plan, unsigned cores, std::uint64_t perFrame, bool keepPlanes)
{
    // The next frame nobody took and the frames running, for all the processes.
    void* shared = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED)
        throw std::runtime_error(std::string("cannot map memory for the worker processes: ") + std::strerror(errno));
    static_assert(std::atomic<std::size_t>::is_always_lock_free && std::atomic<unsigned>::is_always_lock_free);
    take.claimNext = new (shared) std::atomic<std::size_t>(0);
    auto* running = new (static_cast<char*>(shared) + 64) std::atomic<unsigned>(plan.jobs);

    struct Worker {
        pid_t pid;
        int fd;
        std::string pending;          // bytes of a message not yet whole
        std::set<std::size_t> begun;  // frames (indices) begun and not yet reported
    };
    std::vector<Worker> workers;
    {
        std::lock_guard<std::mutex> lock(runningMutex);
        for (unsigned j = 0; j < plan.jobs && !take.interrupted; ++j) {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0)
                throw std::runtime_error(std::string("cannot make a pipe for a worker process: ") +
                                         std::strerror(errno));
            std::fflush(nullptr); // nothing buffered is written twice
            const pid_t pid = ::fork();
            if (pid < 0)
                throw std::runtime_error(std::string("cannot start a worker process: ") + std::strerror(errno));
            if (pid == 0) {
                for (const Worker& w : workers)
                    ::close(w.fd);
                ::close(fds[0]);
                take.reportFd = fds[1];
                workerProcess(take, plan, cores, perFrame, keepPlanes, j, running);
            }
            ::close(fds[1]);
            workers.push_back({pid, fds[0], {}, {}});
            take.workerPids.push_back(pid);
        }
    }

    std::string firstEnd; // how the first worker that failed ended
    const auto handle = [&](Worker& w, char kind, std::uint64_t number, const std::string& payload) {
        if (kind == 'R' && number < take.frames.size()) {
            w.begun.erase(number);
            recordResult(take, number, decodeResult(payload));
            return;
        }
        std::lock_guard<std::mutex> lock(take.resultsMutex);
        if (kind == 'S')
            take.progress.frameStage(static_cast<std::uint32_t>(number), payload);
        else if (kind == 'W')
            take.progress.warning(payload);
        else if (kind == 'B' && number < take.frames.size())
            w.begun.insert(number);
    };
    std::size_t open = workers.size();
    auto ticked = std::chrono::steady_clock::now();
    while (open > 0) {
        std::vector<pollfd> polls;
        for (const Worker& w : workers)
            polls.push_back({w.fd, POLLIN, 0});
        // On a terminal the live line moves on every second, also while long frames run.
        const int ready = ::poll(polls.data(), polls.size(), take.progress.live() ? 1000 : -1);
        if (ready < 0 && errno != EINTR)
            throw std::runtime_error(std::string("cannot wait for the worker processes: ") + std::strerror(errno));
        if (take.progress.live() && secondsSince(ticked) >= 1) {
            ticked = std::chrono::steady_clock::now();
            std::lock_guard<std::mutex> lock(take.resultsMutex);
            take.progress.tick();
        }
        if (ready <= 0)
            continue;
        for (std::size_t k = 0; k < workers.size(); ++k) {
            Worker& w = workers[k];
            if (w.fd < 0 || polls[k].revents == 0)
                continue;
            char buffer[65536];
            const ssize_t n = ::read(w.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n > 0) {
                w.pending.append(buffer, static_cast<std::size_t>(n));
                constexpr std::size_t header = 1 + 2 * sizeof(std::uint64_t);
                while (w.pending.size() >= header) {
                    std::uint64_t number = 0, size = 0;
                    std::memcpy(&number, w.pending.data() + 1, sizeof number);
                    std::memcpy(&size, w.pending.data() + 1 + sizeof number, sizeof size);
                    if (w.pending.size() - header < size)
                        break;
                    handle(w, w.pending[0], number, w.pending.substr(header, size));
                    w.pending.erase(0, header + size);
                }
                continue;
            }
            // The process closed its end: it has exited, or is about to.
            ::close(w.fd);
            w.fd = -1;
            --open;
            int status = 0;
            while (::waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
            }
            {
                std::lock_guard<std::mutex> lock(runningMutex);
                take.workerPids.erase(std::remove(take.workerPids.begin(), take.workerPids.end(), w.pid),
                                      take.workerPids.end());
            }
            const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == kExitOk;
            if (clean || take.interrupted)
                continue;
            const std::string how = howItEnded(status);
            if (firstEnd.empty())
                firstEnd = how;
            std::vector<std::uint32_t> left;
            for (std::size_t index : w.begun)
                left.push_back(take.frames[index]);
            take.output.removeStaleTemporaries(left, take.options.format);
            for (std::size_t index : w.begun) {
                FrameResult result;
                result.frame = take.frames[index];
                result.status = "failed";
                result.mode = take.options.fastStitch ? "fast" : "full";
                result.output = take.output.panoramaPath(result.frame, take.options.format);
                result.error = how;
                // Its claim names the take's process, which lives on: given back here.
                take.output.releaseOwnClaim(result.frame);
                recordResult(take, index, std::move(result));
            }
            w.begun.clear();
        }
    }
    if (take.interrupted)
        return false;
    // Frames no process reached: those of a process that ended early.
    for (std::size_t index = 0; index < take.frames.size(); ++index) {
        if (take.finished[index])
            continue;
        FrameResult result;
        result.frame = take.frames[index];
        result.status = "failed";
        result.mode = take.options.fastStitch ? "fast" : "full";
        result.output = take.output.panoramaPath(result.frame, take.options.format);
        result.error = "not stitched: " + (firstEnd.empty() ? std::string("no worker process reached it") : firstEnd);
        recordResult(take, index, std::move(result));
    }
    return true;
}

} // namespace

std::uint64_t bytesPerFrame(const BatchOptions& options)
{
    if (!options.fastStitch)
        return kFullStitchBytes;
    // Camera images (up to 4 x 1280^2 x 3 in practice), the panorama, its maps
    // (8 bytes a pixel) and the encoder's copy.
    const std::uint64_t pixels = 2ull * options.fastStitchHeight * options.fastStitchHeight;
    return (64ull << 20) + pixels * (3 + 8 + 3);
}

unsigned framesInFlight(unsigned requested, unsigned cores, std::uint64_t availableBytes, std::uint64_t perFrame)
{
    const unsigned wanted = requested > 0 ? requested : (cores > 0 ? cores : 1);
    const std::uint64_t fit = perFrame > 0 ? availableBytes / perFrame : wanted;
    unsigned jobs = static_cast<unsigned>(std::min<std::uint64_t>(wanted, fit));
    return jobs > 0 ? jobs : 1;
}

PlaneReuse planeReuse(unsigned jobs, std::size_t frames, std::uint64_t availableBytes, std::uint64_t perFrame)
{
    // Keeping every plane first costs a worker the faults of what it keeps (about
    // 1.6 GiB with kept blocks split and joined, 3 GiB before); measured on two
    // workers, it repays that over 4 frames each (8 frames: 5 % less time and
    // processor time), and with 3 GiB it did not.
    if (frames >= kEveryPlaneFramesPerWorker * std::size_t(jobs) &&
        availableBytes / jobs >= perFrame + kEveryPlanePerFrame)
        return {jobs * kEveryPlanePerFrame, true};
    return {jobs * kKeptPlanesPerFrame, false};
}

TakePlan planTake(unsigned requestedJobs, unsigned cores, std::size_t frames, std::uint64_t availableBytes,
                  std::uint64_t perFrame)
{
    TakePlan plan;
    plan.jobs = static_cast<unsigned>(std::min<std::uint64_t>(
        framesInFlight(requestedJobs, cores, availableBytes, perFrame), std::max<std::size_t>(frames, 1)));
    plan.corePool = plan.jobs > 1;
    plan.keepFreedMemory = frames > 1;
    plan.writeBehind = frames > plan.jobs;
    if (plan.keepFreedMemory)
        plan.planes = planeReuse(plan.jobs, frames, availableBytes, perFrame);
    plan.sharedFastMaps = frames > 1;
    return plan;
}

std::vector<std::size_t> prerollPositions(std::size_t position, std::size_t fed, std::size_t before,
                                          const std::set<std::size_t>& unreadable)
{
    std::vector<std::size_t> positions;
    for (std::size_t p = position; p > fed && positions.size() < before;) {
        --p;
        if (unreadable.count(p) == 0)
            positions.push_back(p);
    }
    std::reverse(positions.begin(), positions.end());
    return positions;
}

std::pair<std::size_t, std::size_t> orderedChunk(std::size_t frames, unsigned worker, unsigned workers)
{
    return {frames * worker / workers, frames * (worker + 1) / workers};
}

void blockStopSignals()
{
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int runTake(const BatchOptions& options)
{
    // Signals stay blocked in this thread and all it starts; this one thread takes them.
    blockStopSignals();
    SignalThread signals;
    const std::string outputDirectory = options.outputDirectory.empty() ? options.workingDirectory
                                                                        : options.outputDirectory;
    std::error_code ec;
    if (!fs::is_directory(options.workingDirectory, ec)) {
        std::cerr << "quadstitch-batch: the working directory '" << options.workingDirectory
                  << "' does not exist or is not a directory\n";
        return kExitFailed;
    }

    if (!options.reportPath.empty()) {
        const std::string problem = reportPathProblem(options, outputDirectory);
        if (!problem.empty()) {
            std::cerr << "quadstitch-batch: --report '" << options.reportPath << "' " << problem << "\n";
            return kExitUsage;
        }
    }

    std::vector<std::uint32_t> frames;
    std::vector<std::uint32_t> discovered;
    std::unique_ptr<orb::Rig> rig;
    orb::input::Calibration calibrationFile;
    const std::string calibration = (fs::path(options.workingDirectory) / "calibration.yaml").string();
    try {
        std::size_t complete = 0;
        discovered = discoverFrames(options.workingDirectory, options.imageExtension, orb::Rig::kCameraCount, &complete);
        const std::vector<std::uint32_t> selected = selectFrames(options.frames, discovered);
        // No frame with all its images is a naming mistake more often than a take of
        // broken frames: say what is there instead. A frame asked for by number fails
        // with the missing file's name.
        const bool single = !options.frames.all && options.frames.first == options.frames.last;
        if (complete == 0 && !single) {
            const std::string hint =
                namingHint(options.workingDirectory, options.imageExtension, orb::Rig::kCameraCount);
            std::cerr << "quadstitch-batch: no frame in '" << options.workingDirectory << "' has all "
                      << orb::Rig::kCameraCount << " camera images (%010d-<camera>" << options.imageExtension
                      << ")" << (hint.empty() ? "" : "; " + hint) << "\n";
            return kExitFailed;
        }
        // A range that misses the take is a mistake, not an empty success.
        if (selected.empty()) {
            std::cerr << "quadstitch-batch: --frames " << options.frames.first << "-" << options.frames.last
                      << " selects no frame of the take in '" << options.workingDirectory << "' (its frames run from "
                      << discovered.front() << " to " << discovered.back() << ")\n";
            return kExitFailed;
        }
        frames = shardFrames(selected, options.shard);
        // Read once for the whole take.
        calibrationFile = orb::input::readCalibrationFile(calibration, orb::Rig::kCameraCount);
        rig = std::make_unique<orb::Rig>(calibrationFile.cameras, 0);
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-batch: " << e.what() << "\n";
        return kExitFailed;
    }
    // Only once the take can be stitched: a failed start leaves no empty folder behind.
    fs::create_directories(outputDirectory, ec);
    if (!fs::is_directory(outputDirectory, ec)) {
        std::cerr << "quadstitch-batch: cannot create the output directory '" << outputDirectory << "'"
                  << (ec ? ": " + ec.message() : "") << "\n";
        return kExitFailed;
    }

    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const std::uint64_t perFrame = bytesPerFrame(options);
    const std::uint64_t available = availableMemory();
    if (options.fastStitch && perFrame > available) {
        std::cerr << "quadstitch-batch: fast stitch height " << options.fastStitchHeight
                  << " is too large: a frame needs about " << (perFrame >> 20) << " MiB and " << (available >> 20)
                  << " MiB of memory are available (option --height-faststitch)\n";
        return kExitUsage;
    }
    const TakePlan plan = planTake(options.jobs, cores, frames.size(), available, perFrame);
    const unsigned jobs = plan.jobs;
    if (options.jobs > jobs && frames.size() >= options.jobs) {
        std::cerr << "quadstitch-batch: running " << jobs << " frames at once, not " << options.jobs << ": "
                  << (available >> 20) << " MiB of memory are available and a frame needs about "
                  << (perFrame >> 20) << " MiB\n";
    }

    Take take{options, outputDirectory, calibration, frames, takeOrder(frames, discovered), {}, *rig, TakeOutput(outputDirectory), {}, {},
              {}, std::vector<bool>(frames.size(), false),
              Progress(frames.size(), Progress::styleFor(options.quiet))};
    take.calibration = calibrationFile;
    take.takePositions = positionsIn(frames, take.takeFrames);
    signals.watch(&take);
    take.output.removeStaleTemporaries(frames, options.format);
    // Several frames in flight each run on a thread of their own: two frames splitting
    // every step between them were slower than one frame each. The cores that no frame
    // runs on join the running frames' parallel loops, so that the take's last frames
    // finish on all of them (the bits do not depend on the thread count). One frame at
    // a time runs on every core as quadstitch does, on the library's own pool.
    const int threads = cv::getNumThreads();
    // Full stitches side by side run in processes of their own: threads of one process
    // faulting in their planes at once wait on its address space's lock (about 6 us a
    // page fault against 1.4 us in a process of its own).
    take.workerProcesses = plan.corePool && !options.fastStitch;
    CorePool* corePool = plan.corePool && !take.workerProcesses ? &installCorePool(cores) : nullptr;
    if (corePool)
        cv::setNumThreads(static_cast<int>(cores));
    take.shareFastMaps = plan.sharedFastMaps;
    if (options.fastStitch && take.shareFastMaps) {
        // The take's maps before the workers start, on every core.
        try {
            take.fastMaps->get(take.rig, static_cast<int>(options.fastStitchHeight));
        } catch (const std::exception& e) {
            std::cerr << "quadstitch-batch: cannot build the fast stitch's maps: " << e.what() << "\n";
            return kExitFailed;
        }
    }

    // A take of one frame runs it as quadstitch does.
    const bool keepPlanes = plan.keepFreedMemory && !options.fastStitch;
    if (take.workerProcesses) {
        bool finished = false;
        try {
            finished = runWorkerProcesses(take, plan, cores, perFrame, keepPlanes);
        } catch (const std::exception& e) {
            std::cerr << "quadstitch-batch: " << e.what() << "\n";
            return kExitFailed;
        }
        if (!finished) {
            signals.watch(nullptr);
            std::lock_guard<std::mutex> lock(take.resultsMutex);
            reportInterrupted(take);
            return kExitInterrupted;
        }
    }
    if (plan.keepFreedMemory && !take.workerProcesses)
        keepFreedMemory(perFrame);
    if (keepPlanes && !take.workerProcesses) {
        // The blend keeps freed planes for the next frame: all of them when the
        // memory allows, saving about a tenth of a frame's time.
        orb::pipeline::keepFreedPlanes(plan.planes.bytes, plan.planes.everyLargeMatrix);
    }
    // A worker with more than one frame writes its panoramas behind it (one waiting per
    // worker), and starts its next frame meanwhile.
    std::optional<BackgroundWrites> writes;
    if (plan.writeBehind && !take.workerProcesses)
        writes.emplace(take, jobs);
    std::vector<std::thread> workers;
    for (unsigned j = 0; corePool && j < jobs; ++j)
        corePool->frameThreadStarted();
    for (unsigned j = 0; j < jobs && !take.workerProcesses; ++j)
        workers.emplace_back(worker, std::ref(take), corePool, writes ? &*writes : nullptr, j, jobs);
    // On a terminal the live line moves on every second, also while long frames run.
    std::mutex tickMutex;
    std::condition_variable tickStop;
    bool stopTicking = false;
    std::thread ticker;
    if (take.progress.live() && !take.workerProcesses) {
        ticker = std::thread([&] {
            std::unique_lock<std::mutex> lock(tickMutex);
            while (!tickStop.wait_for(lock, std::chrono::seconds(1), [&] { return stopTicking; })) {
                std::lock_guard<std::mutex> results(take.resultsMutex);
                take.progress.tick();
            }
        });
    }
    for (std::thread& w : workers)
        w.join();
    if (writes)
        writes->finish();
    if (ticker.joinable()) {
        {
            std::lock_guard<std::mutex> lock(tickMutex);
            stopTicking = true;
        }
        tickStop.notify_one();
        ticker.join();
    }
    cv::setNumThreads(threads);
    if (keepPlanes && !take.workerProcesses)
        orb::pipeline::keepFreedPlanes(0);

    // A signal from here on waits, blocked, for the process's end.
    signals.watch(nullptr);

    take.progress.finish();
    try {
        writeReport(options.reportPath, take.results, options.calibrationCheck);
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-batch: " << e.what() << "\n";
        return kExitFailed;
    }
    std::vector<std::uint32_t> failed;
    std::size_t ok = 0, skipped = 0, claimed = 0;
    for (const FrameResult& r : take.results) {
        if (r.status == "failed")
            failed.push_back(r.frame);
        ok += r.status == "ok";
        skipped += r.status == "skipped";
        claimed += r.status == "claimed";
    }
    std::sort(failed.begin(), failed.end());
    if (!options.quiet || !failed.empty()) {
        std::fprintf(stderr, "quadstitch-batch: %zu frames: %zu stitched, %zu already there, ", frames.size(), ok,
                     skipped);
        if (claimed > 0)
            std::fprintf(stderr, "%zu being stitched by other processes, ", claimed);
        std::fprintf(stderr, "%zu failed\n", failed.size());
    }
    if (!failed.empty()) {
        std::string list;
        for (std::size_t i = 0; i < failed.size() && i < 20; ++i)
            list += (i ? ", " : "") + std::to_string(failed[i]);
        if (failed.size() > 20)
            list += ", ...";
        std::fprintf(stderr, "quadstitch-batch: failed frames: %s\n", list.c_str());
        for (const FrameResult& r : take.results) {
            if (r.status == "failed")
                std::fprintf(stderr, "  frame %u: %s\n", r.frame, r.error.c_str());
        }
        return kExitFailed;
    }
    return kExitOk;
}

} // namespace batch
