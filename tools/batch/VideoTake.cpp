#include "VideoTake.h"

#include "BatchRunner.h"
#include "JsonString.h"
#include "PlanarFastStitch.h"

#include "Segments.h"
#include "TakeTimeline.h"
#include "VideoReader.h"
#include "VideoWriter.h"

#include "sync/AudioSync.h"
#include "sync/CameraOffsets.h"
#include "sync/PictureSync.h"
#include "sync/VideoFrames.h"
#include "sync/SyncError.h"

#include "StitchLib/input/CalibrationCheck.h"
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/pipeline/BestQuality.h"
#include "StitchLib/pipeline/StitchPipeline.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <malloc.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace batch {

namespace fs = std::filesystem;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A queue of bounded length: a producer waits while it is full. close() wakes
// everyone: pushes then fail and pops return nothing once it is empty.
template <typename T>
class BoundedQueue {
public:
    explicit BoundedQueue(std::size_t capacity) : capacity_(capacity) {}
    bool push(T item)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        notFull_.wait(lock, [&] { return closed_ || items_.size() < capacity_; });
        if (closed_)
            return false;
        items_.push_back(std::move(item));
        notEmpty_.notify_one();
        return true;
    }
    std::optional<T> pop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [&] { return closed_ || !items_.empty(); });
        if (items_.empty())
            return std::nullopt;
        T item = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return item;
    }
    void close()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        notFull_.notify_all();
        notEmpty_.notify_all();
    }

private:
    std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable notFull_, notEmpty_;
    std::deque<T> items_;
    bool closed_ = false;
};

// One camera's picture for one output frame.
struct CameraPicture {
    std::int64_t frame = 0;
    cv::Mat image;
    int event = 0; // > 0 frames skipped before it, -1 the previous one reused
    std::string error;
};

struct StitchJob {
    std::int64_t frame = 0;
    std::vector<cv::Mat> images;
    bool prerollOnly = false; // read and measured for the temporal state, not stitched
};

struct StitchResult {
    std::int64_t frame = 0;
    cv::Mat picture; // output size, BGR or I420 (VideoRun::planar); empty when the stitch failed
    std::string error;
};

// Removes registered temporary files on SIGINT, SIGTERM or SIGHUP and exits 130.
struct Temporaries {
    std::mutex mutex;
    std::vector<std::string> paths;
    void add(const std::string& p)
    {
        std::lock_guard<std::mutex> lock(mutex);
        paths.push_back(p);
    }
    void remove(const std::string& p)
    {
        std::lock_guard<std::mutex> lock(mutex);
        paths.erase(std::remove(paths.begin(), paths.end(), p), paths.end());
    }
};

void signalWaiter(Temporaries& temporaries, sigset_t signals)
{
    int signal = 0;
    sigwait(&signals, &signal);
    if (signal == SIGUSR1)
        return;
    std::lock_guard<std::mutex> lock(temporaries.mutex); // held for good: we exit
    for (const std::string& p : temporaries.paths)
        ::unlink(p.c_str());
    std::fprintf(stderr, "quadstitch-batch: interrupted; finished segments stay and the next run resumes\n");
    std::fflush(stderr);
    ::_exit(kExitInterrupted);
}

struct CameraReport {
    std::int64_t reused = 0;
    std::int64_t skipped = 0;
    std::vector<std::string> events; // the first few, for the report
};

struct FailedFrame {
    std::int64_t frame;
    std::string error;
    std::string stand_in;
};

// Everything one run needs.
struct VideoRun {
    explicit VideoRun(const VideoTakeOptions& o) : options(o) {}
    const VideoTakeOptions& options;
    std::vector<std::unique_ptr<video::VideoReader>> readers;
    // One per camera for the whole run: the next segment reads on where the last ended.
    std::vector<std::unique_ptr<video::FramePicker>> pickers;
    std::unique_ptr<video::TakeTimeline> timeline;
    std::vector<double> offsets; // seconds
    std::string offsetSource;    // how they were found
    int rateNum = 30, rateDen = 1;
    orb::Rig* rig = nullptr;
    cv::Size outputSize;
    int stitchHeight = 0;
    unsigned jobs = 1;
    video::SegmentPlan plan;
    std::unique_ptr<video::SegmentStore> store;
    std::vector<CameraReport> cameras = std::vector<CameraReport>(4);
    std::vector<FailedFrame> failed;
    std::vector<std::size_t> encoded, alreadyThere;
    Temporaries temporaries;
    // The fast stitch's maps, built once for every worker and segment.
    std::shared_ptr<orb::pipeline::SharedFastMaps> fastMaps = std::make_shared<orb::pipeline::SharedFastMaps>();
    cv::Size cameraSize; // of every camera's pictures
    // A fast stitch at the video's own size works on the decoded 4:2:0 planes and hands
    // the encoder its planes: cameras and panoramas are then I420 pictures.
    bool planar = false;
    std::shared_ptr<const PlanarFastStitch> planarStitch;
};

// A camera picture of another size than its video's (a stream that changes its size
// part-way) fails its frame rather than being stitched through the wrong lens model.
void checkPictureSizes(const VideoRun& run, const std::vector<cv::Mat>& images)
{
    const cv::Size expected = run.planar ? cv::Size(run.cameraSize.width, run.cameraSize.height * 3 / 2)
                                         : run.cameraSize;
    for (std::size_t k = 0; k < images.size(); ++k) {
        if (images[k].size() != expected) {
            const cv::Size found = run.planar ? cv::Size(images[k].cols, images[k].rows * 2 / 3) : images[k].size();
            throw std::runtime_error("camera " + std::to_string(k + 1) + "'s picture is " +
                                     std::to_string(found.width) + "x" + std::to_string(found.height) + ", not " +
                                     std::to_string(run.cameraSize.width) + "x" +
                                     std::to_string(run.cameraSize.height) + " like the rest of '" +
                                     run.options.videos[k] + "'");
        }
    }
}

cv::Mat toOutput(const cv::Mat& panorama, cv::Size size)
{
    cv::Mat bgr;
    if (panorama.channels() == 4)
        cv::cvtColor(panorama, bgr, cv::COLOR_BGRA2BGR);
    else
        bgr = panorama;
    if (bgr.size() == size)
        return bgr;
    cv::Mat resized;
    cv::resize(bgr, resized, size, 0, 0,
               size.width < bgr.cols ? cv::INTER_AREA : cv::INTER_LINEAR); // area when reducing
    return resized;
}

// How many frames back a stand-in for a segment's failed first frame is looked for.
constexpr std::int64_t kStandInSearch = 30;

// The panorama of the last frame before `frame` that stitches, stitched afresh from new
// readers, for a segment whose first frame failed: the segment before may have been
// encoded by another run or machine, and a segment comes out the same either way.
// Empty when none of the frames before (back to the take's first, at most
// kStandInSearch) stitches. Its own pipeline and stages: a stage's state from frame to
// frame (best quality) must not see this frame, nor be touched from two threads.
cv::Mat panoramaBefore(const VideoRun& run, std::int64_t frame)
{
    std::unique_ptr<orb::pipeline::StitchPipeline> pipeline;
    for (std::int64_t f = frame - 1; f >= run.plan.firstFrame && f >= frame - kStandInSearch; --f) {
        try {
            std::vector<cv::Mat> images;
            for (int k = 0; k < 4; ++k) {
                video::VideoReader::Options ro;
                ro.threads = 1;
                ro.passOtherSizes = true;
                ro.planar = run.planar;
                video::VideoReader reader(run.options.videos[static_cast<std::size_t>(k)], ro);
                video::FramePicker picker(reader);
                const double seconds = run.timeline->cameraSeconds(k, f);
                picker.jumpTo(seconds);
                images.push_back(picker.at(seconds).image);
            }
            checkPictureSizes(run, images);
            if (run.planar)
                return run.planarStitch->stitch(images, run.cameraSize);
            if (!pipeline) {
                orb::pipeline::StitchOptions options =
                    orb::pipeline::qualityOptions(orb::pipeline::parseQuality(run.options.quality));
                options.sharedFastMaps = run.fastMaps;
                pipeline = std::make_unique<orb::pipeline::StitchPipeline>(*run.rig, options);
            }
            const cv::Mat panorama = run.options.fastStitch ? pipeline->fastStitch(images, run.stitchHeight)
                                                            : pipeline->fullStitch(images);
            if (!panorama.empty())
                return toOutput(panorama, run.outputSize);
        } catch (const std::exception&) {
            // That frame failed too (and shows what stands in for it): further back.
        }
    }
    return cv::Mat();
}

// Encodes segment i: four decoding threads pick each camera's frames, `jobs` workers
// stitch, and this thread encodes in order. Throws VideoError for a bad input.
void encodeSegment(VideoRun& run, std::size_t i)
{
    const VideoTakeOptions& o = run.options;
    const std::int64_t begin = run.plan.begin(i), end = run.plan.end(i);
    const std::string temporary = run.store->temporaryPath(i, ::getpid());
    run.temporaries.add(temporary);
    struct Cleanup {
        VideoRun& run;
        std::string path;
        bool keep = false;
        ~Cleanup()
        {
            if (!keep) {
                std::error_code ec;
                fs::remove(path, ec);
            }
            run.temporaries.remove(path);
        }
    } cleanup{run, temporary};

    video::EncoderSettings settings;
    settings.codec = o.codec;
    settings.crf = o.crf;
    settings.preset = o.preset;
    // The speed presets are for previews: the fast colour conversion goes with them.
    settings.exactConversion = o.preset != "ultrafast" && o.preset != "superfast" && o.preset != "veryfast";
    settings.width = run.outputSize.width;
    settings.height = run.outputSize.height;
    settings.rateNumerator = run.rateNum;
    settings.rateDenominator = run.rateDen;
    video::VideoWriter writer(temporary, settings, "mp4");

    // A stitch that carries state from frame to frame (best quality) runs the segment's
    // frames in order on one pipeline (which parallelises within each frame), after a
    // pre-roll of the frames its state depends on: a segment then comes out as it would
    // from one run over the whole take, however the take is split into runs and shards.
    const orb::pipeline::StitchOptions stitchOptions = [&] {
        orb::pipeline::StitchOptions so = orb::pipeline::qualityOptions(orb::pipeline::parseQuality(o.quality));
        so.sharedFastMaps = run.fastMaps;
        return so;
    }();
    std::unique_ptr<orb::pipeline::StitchPipeline> orderedPipeline;
    std::int64_t first = begin;
    if (!o.fastStitch) {
        orderedPipeline = std::make_unique<orb::pipeline::StitchPipeline>(*run.rig, stitchOptions);
        const int before = orderedPipeline->prerollFrames();
        if (before > 0)
            first = std::max<std::int64_t>(0, begin - before);
        else
            orderedPipeline.reset();
    }
    const unsigned workers = orderedPipeline ? 1u : run.jobs;
    if (run.planar && !run.planarStitch)
        run.planarStitch = std::make_shared<PlanarFastStitch>(*run.rig, run.stitchHeight);

    const std::size_t depth = 2 + workers;
    std::vector<std::unique_ptr<BoundedQueue<CameraPicture>>> cameraQueues;
    for (int k = 0; k < 4; ++k)
        cameraQueues.push_back(std::make_unique<BoundedQueue<CameraPicture>>(depth));
    BoundedQueue<StitchJob> jobs(workers);
    std::mutex resultsMutex;
    std::condition_variable resultReady;
    std::map<std::int64_t, StitchResult> results;

    std::vector<std::thread> threads;
    for (int k = 0; k < 4; ++k) {
        threads.emplace_back([&, k] {
            try {
                video::FramePicker& picker = *run.pickers[static_cast<std::size_t>(k)];
                picker.jumpTo(run.timeline->cameraSeconds(k, first));
                for (std::int64_t f = first; f < end; ++f) {
                    const video::VideoFrame& frame = picker.at(run.timeline->cameraSeconds(k, f));
                    if (!cameraQueues[static_cast<std::size_t>(k)]->push({f, frame.image, picker.lastEvent(), ""}))
                        return;
                }
            } catch (const std::exception& e) {
                cameraQueues[static_cast<std::size_t>(k)]->push({0, {}, 0, e.what()});
            }
        });
    }
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            std::unique_ptr<orb::pipeline::StitchPipeline> own;
            if (!orderedPipeline && !run.planar)
                own = std::make_unique<orb::pipeline::StitchPipeline>(*run.rig, stitchOptions);
            orb::pipeline::StitchPipeline* pipeline = orderedPipeline ? orderedPipeline.get() : own.get();
            while (auto job = jobs.pop()) {
                if (job->prerollOnly) {
                    try {
                        pipeline->preroll(job->images);
                    } catch (const std::exception&) {
                        // A frame that cannot be measured leaves the state as a failed
                        // frame of a single run would.
                    }
                    continue;
                }
                StitchResult r;
                r.frame = job->frame;
                try {
                    checkPictureSizes(run, job->images);
                    if (run.planar) {
                        r.picture = run.planarStitch->stitch(job->images, run.cameraSize);
                    } else {
                        const cv::Mat panorama = o.fastStitch ? pipeline->fastStitch(job->images, run.stitchHeight)
                                                              : pipeline->fullStitch(job->images);
                        if (panorama.empty())
                            throw std::runtime_error("stitching produced no panorama");
                        r.picture = toOutput(panorama, run.outputSize);
                    }
                } catch (const std::exception& e) {
                    r.error = e.what();
                }
                std::lock_guard<std::mutex> lock(resultsMutex);
                results[r.frame] = std::move(r);
                resultReady.notify_all();
            }
        });
    }
    auto stopAll = [&] {
        for (auto& q : cameraQueues)
            q->close();
        jobs.close();
        for (std::thread& t : threads)
            t.join();
    };

    std::string inputError;
    cv::Mat previous;
    std::int64_t nextToEncode = begin;
    auto encodeReady = [&](bool wait, std::int64_t upTo) {
        while (nextToEncode < upTo) {
            StitchResult r;
            {
                std::unique_lock<std::mutex> lock(resultsMutex);
                if (wait)
                    resultReady.wait(lock, [&] { return results.count(nextToEncode) > 0; });
                auto it = results.find(nextToEncode);
                if (it == results.end())
                    return;
                r = std::move(it->second);
                results.erase(it);
            }
            if (r.picture.empty()) {
                // The video keeps its frame count: the previous panorama stands in.
                if (previous.empty())
                    previous = panoramaBefore(run, r.frame);
                const bool black = previous.empty();
                if (black)
                    previous = run.planar ? PlanarFastStitch::black(run.outputSize)
                                          : cv::Mat(cv::Mat::zeros(run.outputSize, CV_8UC3));
                run.failed.push_back({r.frame, r.error, black ? "black" : "previous panorama"});
                std::fprintf(stderr, "quadstitch-batch: frame %lld failed (%s); %s\n",
                             static_cast<long long>(r.frame), r.error.c_str(),
                             black ? "it is black (no panorama before it)" : "the previous panorama is repeated there");
                r.picture = previous;
            }
            if (run.planar)
                writer.writeI420(r.picture);
            else
                writer.write(r.picture);
            previous = r.picture;
            ++nextToEncode;
        }
    };
    try {
        for (std::int64_t f = first; f < end && inputError.empty(); ++f) {
            StitchJob job;
            job.frame = f;
            job.prerollOnly = f < begin;
            for (int k = 0; k < 4; ++k) {
                std::optional<CameraPicture> p = cameraQueues[static_cast<std::size_t>(k)]->pop();
                if (!p || !p->error.empty()) {
                    inputError = p ? p->error : "a camera's frames ended early";
                    break;
                }
                CameraReport& report = run.cameras[static_cast<std::size_t>(k)];
                // Pre-rolled frames belong to the segment before, which reports them.
                if (p->event != 0 && !job.prerollOnly) {
                    if (p->event < 0)
                        ++report.reused;
                    else
                        report.skipped += p->event;
                    if (report.events.size() < 20)
                        report.events.push_back("frame " + std::to_string(f) + ": " +
                                                (p->event < 0 ? std::string("previous camera frame reused")
                                                              : std::to_string(p->event) + " camera frame(s) skipped"));
                }
                job.images.push_back(std::move(p->image));
            }
            if (!inputError.empty())
                break;
            const bool output = !job.prerollOnly;
            jobs.push(std::move(job));
            if (output)
                encodeReady(false, f + 1);
        }
        if (inputError.empty()) {
            jobs.close();
            encodeReady(true, end);
        }
    } catch (...) {
        stopAll();
        throw;
    }
    stopAll();
    if (!inputError.empty())
        throw video::VideoError(inputError);
    writer.finish();
    run.store->commit(temporary, i);
    cleanup.keep = true;
}

void writeVideoReport(const VideoRun& run, const std::string& status, double seconds)
{
    const std::string& path = run.options.reportPath;
    if (path.empty())
        return;
    const std::string temporary = path + ".partial-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary);
        out << "{\n  \"video\": " << tools::jsonString(run.options.output) << ",\n  \"status\": "
            << tools::jsonString(status) << ",\n  \"seconds\": " << seconds << ",\n  \"offsets\": {\"source\": "
            << tools::jsonString(run.offsetSource) << ", \"seconds\": [";
        for (std::size_t k = 0; k < run.offsets.size(); ++k)
            out << (k ? ", " : "") << run.offsets[k];
        out << "], \"frames\": [";
        const double rate = static_cast<double>(run.rateNum) / run.rateDen;
        for (std::size_t k = 0; k < run.offsets.size(); ++k)
            out << (k ? ", " : "") << run.offsets[k] * rate;
        out << "]},\n  \"frameRate\": " << rate << ",\n  \"frames\": {\"first\": " << run.plan.firstFrame
            << ", \"count\": " << run.plan.frameCount << "},\n  \"cameras\": [";
        for (std::size_t k = 0; k < run.cameras.size(); ++k) {
            const CameraReport& c = run.cameras[k];
            out << (k ? ",\n    " : "\n    ") << "{\"file\": " << tools::jsonString(run.options.videos[k])
                << ", \"reused\": " << c.reused << ", \"skipped\": " << c.skipped << ", \"events\": [";
            for (std::size_t e = 0; e < c.events.size(); ++e)
                out << (e ? ", " : "") << tools::jsonString(c.events[e]);
            out << "]}";
        }
        out << "],\n  \"failedFrames\": [";
        for (std::size_t f = 0; f < run.failed.size(); ++f)
            out << (f ? ", " : "") << "{\"frame\": " << run.failed[f].frame
                << ", \"error\": " << tools::jsonString(run.failed[f].error)
                << ", \"shown\": " << tools::jsonString(run.failed[f].stand_in) << "}";
        out << "],\n  \"segments\": {\"count\": " << run.plan.count() << ", \"encoded\": [";
        for (std::size_t s = 0; s < run.encoded.size(); ++s)
            out << (s ? ", " : "") << run.encoded[s] + 1;
        out << "], \"alreadyThere\": [";
        for (std::size_t s = 0; s < run.alreadyThere.size(); ++s)
            out << (s ? ", " : "") << run.alreadyThere[s] + 1;
        out << "]}\n}\n";
        if (!out)
            std::cerr << "quadstitch-batch: cannot write the report '" << path << "'\n";
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        std::cerr << "quadstitch-batch: cannot write the report '" << path << "': " << ec.message() << "\n";
    }
}

std::string settingsText(const VideoRun& run)
{
    const VideoTakeOptions& o = run.options;
    std::ostringstream s;
    s.precision(9);
    for (std::size_t k = 0; k < o.videos.size(); ++k)
        s << "camera " << k + 1 << ": " << fs::absolute(o.videos[k]).lexically_normal().string() << "\n";
    s << "offsets (s):";
    for (double v : run.offsets)
        s << " " << v;
    s << "\nframe rate: " << run.rateNum << "/" << run.rateDen << "\nframes: " << run.plan.firstFrame << " + "
      << run.plan.frameCount << "\nframes per segment: " << run.plan.framesPerSegment << "\nstitch: "
      << (o.fastStitch ? "fast" : "full") << " " << run.stitchHeight << " " << o.quality << "\ncodec: " << o.codec
      << " crf " << o.crf << " preset " << o.preset << "\nsize: " << run.outputSize.width << "x"
      << run.outputSize.height << "\n";
    return s.str();
}

} // namespace

int runVideoTake(const VideoTakeOptions& o)
{
    const auto started = std::chrono::steady_clock::now();
    VideoRun run(o);
    // Signals (blocked since main began, in every thread) go to this one thread from
    // the start: reading the videos and finding the offsets can take a while too.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread waiter(signalWaiter, std::ref(run.temporaries), signals);
    struct StopWaiter {
        std::thread& waiter;
        sigset_t signals;
        ~StopWaiter()
        {
            pthread_kill(waiter.native_handle(), SIGUSR1);
            waiter.join();
            pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
        }
    } stopWaiter{waiter, signals};
    // Every input is opened and checked before any output exists.
    std::unique_ptr<orb::Rig> rig;
    try {
        for (const std::string& path : o.videos) {
            video::VideoReader::Options ro;
            ro.threads = 1;            // four cameras decode side by side
            ro.passOtherSizes = true; // such a picture fails its frame (checkPictureSizes)
            run.readers.push_back(std::make_unique<video::VideoReader>(path, ro));
        }
        for (const auto& r : run.readers)
            run.pickers.push_back(std::make_unique<video::FramePicker>(*r));
        const video::VideoReader& first = *run.readers[0];
        for (std::size_t k = 1; k < run.readers.size(); ++k) {
            const video::VideoReader& r = *run.readers[k];
            if (r.width() != first.width() || r.height() != first.height()) {
                throw video::VideoError("'" + r.path() + "' is " + std::to_string(r.width()) + "x" +
                                        std::to_string(r.height()) + ", but '" + first.path() + "' is " +
                                        std::to_string(first.width()) + "x" + std::to_string(first.height()) +
                                        ": the four cameras' videos must have one size");
            }
        }
        const std::string calibration =
            !o.calibration.empty() ? o.calibration
                                   : (fs::path(o.videos[0]).parent_path() / "calibration.yaml").string();
        const orb::input::Calibration file = orb::input::readCalibrationFile(calibration, orb::Rig::kCameraCount);
        orb::input::checkCalibrationMatchesImages(file, cv::Size(first.width(), first.height()), calibration);
        rig = std::make_unique<orb::Rig>(file.cameras, 0);
        run.rig = rig.get();
        run.rateNum = first.frameRateNumerator();
        run.rateDen = first.frameRateDenominator();
        const double rate = first.frameRate();

        // Offsets: given, or estimated.
        bool allAudio = true;
        for (const auto& r : run.readers)
            allAudio = allAudio && r->hasAudio();
        orb::sync::CameraOffsets found;
        if (!o.offsets.empty()) {
            found = orb::sync::parseOffsets(o.offsets, rate);
            run.offsetSource = "given";
        } else {
            const std::string mode = o.sync.empty() ? (allAudio ? "audio" : "picture") : o.sync;
            if (mode == "audio") {
                for (const auto& r : run.readers) {
                    if (!r->hasAudio())
                        throw video::VideoError("'" + r->path() + "' has no audio track: --sync audio needs audio "
                                                "in all four videos (use --sync picture or --offsets)");
                }
                found = orb::sync::audioOffsetsOfFiles(o.videos, rate);
            } else {
                orb::sync::VideoFrames frames(o.videos);
                orb::sync::PictureSyncSettings settings;
                settings.frameRate = rate;
                found = orb::sync::pictureOffsets(*rig, frames, settings);
            }
            run.offsetSource = mode;
            if (!o.quiet)
                std::cerr << orb::sync::describeOffsets(found, mode);
        }
        for (double frames : found.frames)
            run.offsets.push_back(frames / rate);
        std::vector<double> durations;
        for (const auto& r : run.readers) {
            double d = r->durationSeconds();
            if (d <= 0)
                d = 1e9; // unknown: the picker holds the last frame if the file ends first
            durations.push_back(d);
        }
        run.timeline = std::make_unique<video::TakeTimeline>(durations, run.offsets, rate);
    } catch (const std::invalid_argument& e) {
        std::cerr << "quadstitch-batch: " << e.what() << "\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-batch: " << e.what() << "\n";
        return kExitFailed;
    }

    // Output frames: all the cameras cover, or the chosen ones.
    const double rate = run.timeline->rate();
    std::int64_t first = 0, count = run.timeline->frameCount();
    if (!o.frames.all) {
        first = o.frames.first;
        count = static_cast<std::int64_t>(o.frames.last) - o.frames.first + 1;
    }
    if (o.start >= 0)
        first = static_cast<std::int64_t>(std::ceil(o.start * rate - 1e-6));
    if (o.duration >= 0)
        count = static_cast<std::int64_t>(std::llround(o.duration * rate));
    else if (o.start >= 0)
        count = run.timeline->frameCount() - first;
    if (count <= 0 || first + count > run.timeline->frameCount()) {
        std::cerr << "quadstitch-batch: the cameras together cover " << run.timeline->frameCount()
                  << " output frames (" << run.timeline->frameCount() / rate << " s at " << rate
                  << " frames/s); frames " << first << " to " << first + count - 1 << " were asked for\n";
        return run.timeline->frameCount() == 0 ? kExitFailed : kExitUsage;
    }
    run.plan.firstFrame = first;
    run.plan.frameCount = count;
    run.plan.framesPerSegment = std::max<std::int64_t>(1, std::llround(o.segmentSeconds * rate));

    // Sizes: the stitch and the video. The video is never larger than the stitch: a
    // fast stitch without a height is made at the video's height when --size is given,
    // else at the image path's default (1000 rows).
    const cv::Size codecDefault = video::defaultOutputSize(o.codec);
    if (o.fastStitch) {
        run.stitchHeight = o.fastStitchHeight > 0 ? static_cast<int>(o.fastStitchHeight)
                                                  : (o.width > 0 ? o.height : 1000);
    } else {
        run.stitchHeight = orb::pipeline::kFullStitchHeight;
    }
    if (o.width > 0) {
        run.outputSize = cv::Size(o.width, o.height);
    } else if (2 * run.stitchHeight <= codecDefault.width) {
        run.outputSize = cv::Size(2 * run.stitchHeight, run.stitchHeight);
    } else {
        run.outputSize = codecDefault;
    }
    const std::string sizeProblem = video::checkOutputSize(o.codec, run.outputSize.width, run.outputSize.height);
    if (!sizeProblem.empty()) {
        std::cerr << "quadstitch-batch: the video would be " << sizeProblem << ": give --size\n";
        return kExitUsage;
    }
    run.cameraSize = cv::Size(run.readers[0]->width(), run.readers[0]->height());
    run.planar = o.fastStitch && run.outputSize == cv::Size(2 * run.stitchHeight, run.stitchHeight) &&
                 run.stitchHeight % 2 == 0 && run.cameraSize.width % 2 == 0 && run.cameraSize.height % 2 == 0;
    for (const auto& reader : run.readers)
        reader->setPlanar(run.planar);

    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    BatchOptions budget;
    budget.fastStitch = o.fastStitch;
    budget.fastStitchHeight = static_cast<std::uint32_t>(run.stitchHeight);
    std::uint64_t available = 4ull << 30;
    {
        std::ifstream meminfo("/proc/meminfo");
        std::string key, unit;
        std::uint64_t value = 0;
        while (meminfo >> key >> value >> unit)
            if (key == "MemAvailable:")
                available = value * 1024;
    }
    run.jobs = framesInFlight(o.jobs, cores, available, bytesPerFrame(budget));
    // Best quality's frames depend on the ones before: one pipeline runs them in order
    // with every core inside each frame (see encodeSegment).
    if (!o.fastStitch && orb::pipeline::parseQuality(o.quality) == orb::pipeline::Quality::Best)
        run.jobs = 1;

    // Segments beside the output.
    run.store = std::make_unique<video::SegmentStore>(o.output);
    const auto share = o.joinOnly ? std::make_pair(std::size_t(0), std::size_t(0))
                                  : video::shareOfSegments(run.plan.count(), o.shard.index, o.shard.count);
    try {
        run.store->claim(settingsText(run));
        run.store->removeStaleTemporaries(share.first, share.second);
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-batch: " << e.what() << "\n";
        return kExitFailed;
    }

    if (!o.quiet) {
        std::fprintf(stderr, "quadstitch-batch: offsets (%s):", run.offsetSource.c_str());
        for (double v : run.offsets)
            std::fprintf(stderr, " %.2f", v * rate);
        std::fprintf(stderr, " frames; %lld frames at %g frames/s in %zu segments, %dx%d %s\n",
                     static_cast<long long>(count), rate, run.plan.count(), run.outputSize.width,
                     run.outputSize.height, o.codec.c_str());
    }


    // Every frame allocates the same large buffers (decoded cameras, panoramas): malloc
    // keeps what a frame frees for the next rather than return it and fault it in again.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    const int threads = cv::getNumThreads();
    if (run.jobs >= cores)
        cv::setNumThreads(1);
    int status = kExitOk;
    std::string outcome = "ok";
    for (std::size_t i = share.first; i < share.second; ++i) {
        if (run.store->finished(i)) {
            run.alreadyThere.push_back(i);
            continue;
        }
        const auto t = std::chrono::steady_clock::now();
        try {
            encodeSegment(run, i);
        } catch (const std::exception& e) {
            cv::setNumThreads(threads);
            std::cerr << "quadstitch-batch: " << e.what() << "\n";
            writeVideoReport(run, "failed", secondsSince(started));
            return kExitFailed;
        }
        run.encoded.push_back(i);
        if (!o.quiet) {
            const double s = secondsSince(t);
            std::fprintf(stderr, "quadstitch-batch: segment %zu of %zu (frames %lld-%lld) in %.1f s, %.1f frames/s\n",
                         i + 1, run.plan.count(), static_cast<long long>(run.plan.begin(i)),
                         static_cast<long long>(run.plan.end(i) - 1), s,
                         static_cast<double>(run.plan.end(i) - run.plan.begin(i)) / s);
        }
    }
    cv::setNumThreads(threads);

    // The whole take is this run's, or --join was asked for: join the segments.
    if (o.joinOnly || o.shard.count == 1) {
        video::AudioSource audio;
        const std::size_t k = static_cast<std::size_t>(o.audioFrom - 1);
        if (run.readers[k]->hasAudio()) {
            audio.path = o.videos[k];
            audio.fromSeconds = run.readers[k]->startSeconds() + run.timeline->cameraSeconds(static_cast<int>(k), first);
        } else if (o.audioFromGiven) {
            std::cerr << "quadstitch-batch: '" << o.videos[k] << "' has no audio track for --audio-from "
                      << o.audioFrom << "\n";
            return kExitFailed;
        }
        const fs::path out(o.output);
        const std::string joinTemporary =
            (out.parent_path() / ("." + out.filename().string() + ".partial-" + std::to_string(::getpid()))).string();
        run.temporaries.add(joinTemporary);
        try {
            const video::JoinResult joined =
                video::joinSegments(*run.store, run.plan, o.output, run.rateNum, run.rateDen, audio);
            if (!joined.audioNote.empty())
                std::cerr << "quadstitch-batch: " << joined.audioNote << "\n";
        } catch (const std::exception& e) {
            std::cerr << "quadstitch-batch: " << e.what() << "\n";
            writeVideoReport(run, "failed", secondsSince(started));
            return kExitFailed;
        }
        run.temporaries.remove(joinTemporary);
        if (!o.quiet)
            std::fprintf(stderr, "quadstitch-batch: wrote '%s' (%lld frames)\n", o.output.c_str(),
                         static_cast<long long>(count));
    }
    if (!run.failed.empty()) {
        status = kExitFailed;
        outcome = "frames failed";
        std::fprintf(stderr, "quadstitch-batch: %zu frames failed and show a stand-in:", run.failed.size());
        for (std::size_t f = 0; f < run.failed.size() && f < 20; ++f)
            std::fprintf(stderr, " %lld", static_cast<long long>(run.failed[f].frame));
        std::fprintf(stderr, "\n");
    }
    for (std::size_t k = 0; k < run.cameras.size() && !o.quiet; ++k) {
        if (run.cameras[k].reused || run.cameras[k].skipped)
            std::fprintf(stderr, "quadstitch-batch: camera %zu: %lld frames reused, %lld skipped\n", k + 1,
                         static_cast<long long>(run.cameras[k].reused), static_cast<long long>(run.cameras[k].skipped));
    }
    writeVideoReport(run, outcome, secondsSince(started));
    return status;
}

} // namespace batch
