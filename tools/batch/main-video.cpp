// quadstitch-batch-video: the whole batch tool, its video takes and calibration check
// included. quadstitch-batch runs it with its own arguments for those modes (and for
// --version); for everything else it gives the same output as quadstitch-batch.
#include "BatchCommandLine.h"
#include "BatchRunner.h"
#include "calibrate/CalibrationCheck.h"
#include "calibrate/CalibrationReport.h"
#include "JsonString.h"
#include "ToolVersion.h"
#include "VideoLibraryVersions.h"
#include "VideoTake.h"
#include "VideoWriter.h"

#include <boost/program_options.hpp>
#include <exiv2/version.hpp>
#include <libdeflate.h>

#include <filesystem>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>

namespace po = boost::program_options;
namespace fs = std::filesystem;

namespace {

// The calibration check before a take, as the report's "calibration" object. A
// calibration that does not fit is a warning: the take is stitched all the same.
std::string calibrationCheck(const batch::BatchOptions& options)
{
    const std::string calibration = (fs::path(options.workingDirectory) / "calibration.yaml").string();
    std::ostringstream json;
    try {
        calibrate::TakeSource source;
        source.directory = options.workingDirectory;
        source.extension = options.imageExtension;
        const std::vector<std::uint32_t> frames = batch::selectFrames(
            options.frames, batch::discoverFrames(options.workingDirectory, options.imageExtension, 4));
        const calibrate::CheckResult result =
            calibrate::checkFrames(frames, calibrate::imageFrames(source), calibration);
        if (!result.passed)
            std::cerr << "quadstitch-batch: warning: " << calibrate::checkSummary(result) << "\n";
        else if (!options.quiet)
            std::cerr << "quadstitch-batch: " << calibrate::checkSummary(result) << "\n";
        calibrate::writeCheckJson(json, result, calibration);
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-batch: warning: the calibration could not be checked: " << e.what() << "\n";
        json << "{\"calibration\":" << tools::jsonString(calibration) << ",\"error\":" << tools::jsonString(e.what())
             << "}";
    }
    return json.str();
}

// The video take's options, from the same command line.
batch::VideoTakeOptions videoOptions(const po::variables_map& vm)
{
    batch::VideoTakeOptions v;
    v.videos = vm["video"].as<std::vector<std::string>>();
    if (v.videos.size() != 4)
        throw po::error("--video: expected four files (forward, right, back, left), got " +
                        std::to_string(v.videos.size()));
    if (!vm.count("output-directory") || !batch::isVideoOutput(vm["output-directory"].as<std::string>()))
        throw po::error("--video needs -o OUT.mp4 (or .mov, .mkv)");
    if (!vm["working-directory"].defaulted())
        throw po::error("-d and --video cannot be used together");
    v.output = vm["output-directory"].as<std::string>();
    if (vm.count("calibration"))
        v.calibration = vm["calibration"].as<std::string>();
    if (vm.count("offsets"))
        v.offsets = vm["offsets"].as<std::string>();
    if (vm.count("sync")) {
        v.sync = vm["sync"].as<std::string>();
        if (v.sync != "audio" && v.sync != "picture")
            throw po::error("--sync '" + v.sync + "': expected audio or picture");
        if (!v.offsets.empty())
            throw po::error("--sync and --offsets cannot be used together");
    }
    v.frames = batch::parseFrameChoice(vm["frames"].as<std::string>());
    if (vm.count("start"))
        v.start = batch::secondsOption(vm, "start", true);
    if (vm.count("duration"))
        v.duration = batch::secondsOption(vm, "duration", false);
    if (!v.frames.all && (vm.count("start") || vm.count("duration")))
        throw po::error("--frames and --start/--duration cannot be used together");
    v.codec = vm["codec"].as<std::string>();
    if (v.codec != "h264" && v.codec != "hevc")
        throw po::error("--codec '" + v.codec + "': expected h264 or hevc");
    // 18 keeps a stitched panorama within about 38 dB of the image-file stitch (the
    // encoder's own 23 lost about 3 dB more on simulated takes); 22 is x265's like.
    v.crf = vm.count("crf") ? static_cast<int>(batch::unsignedOption(vm, "crf", 0, 51)) : (v.codec == "hevc" ? 22 : 18);
    v.preset = vm["preset"].as<std::string>();
    if (vm.count("size")) {
        try {
            const auto size = batch::parseSize(vm["size"].as<std::string>());
            v.width = size.first;
            v.height = size.second;
        } catch (const std::invalid_argument& e) {
            throw po::error(e.what());
        }
        const std::string problem = video::checkOutputSize(v.codec, v.width, v.height);
        if (!problem.empty())
            throw po::error("--size " + problem);
    }
    v.segmentSeconds = batch::secondsOption(vm, "segment-seconds", false);
    v.joinOnly = vm.count("join") > 0;
    v.audioFromGiven = vm.count("audio-from") > 0;
    if (v.audioFromGiven)
        v.audioFrom = static_cast<int>(batch::unsignedOption(vm, "audio-from", 1, 4));
    v.shard = batch::parseShard(vm["shard"].as<std::string>());
    if (v.joinOnly && v.shard.count != 1)
        throw po::error("--join joins the whole take: it takes no --shard");
    v.fastStitch = batch::unsignedOption(vm, "stitch-type", 0, 1) == 1;
    if (vm.count("height"))
        v.fastStitchHeight = static_cast<std::uint32_t>(batch::unsignedOption(vm, "height", 4, 32767));
    else if (!vm["height-faststitch"].defaulted())
        v.fastStitchHeight = static_cast<std::uint32_t>(batch::unsignedOption(vm, "height-faststitch", 4, 32767));
    v.quality = vm["quality"].as<std::string>();
    if (vm.count("jobs"))
        v.jobs = static_cast<unsigned>(batch::unsignedOption(vm, "jobs", 1, 256));
    if (vm.count("report"))
        v.reportPath = vm["report"].as<std::string>();
    v.quiet = vm.count("quiet") > 0;
    return v;
}

} // namespace

int main(int argc, char** argv)
{
    // First, before anything can start a thread (OpenCV's pool included): every
    // thread inherits the blocked signals, and one thread waits for them.
    batch::blockStopSignals();
    const po::options_description description = batch::commandLineOptions();

    batch::BatchOptions options;
    std::optional<batch::VideoTakeOptions> videoTake;
    bool checkCalibration = false;
    try {
        const po::variables_map vm = batch::parseCommandLine(argc, argv, description);
        if (vm.count("help")) {
            batch::printHelp(std::cout, description);
            return batch::kExitOk;
        }
        if (vm.count("version")) {
            std::cout << tools::versionText("quadstitch-batch",
                                            {"libdeflate " LIBDEFLATE_VERSION_STRING " (PNG panoramas)",
                                             "Exiv2 " + Exiv2::versionString() + " (360 properties)",
                                             tools::videoLibraryVersions() + " (camera videos)"});
            return batch::kExitOk;
        }
        // One name for the panorama height across the tools; quadstitch's own is kept.
        const bool height = vm.count("height") > 0;
        if (height && !vm["height-faststitch"].defaulted())
            throw po::error("give the fast stitch height once: --height or --height-faststitch (-t)");
        if (vm.count("video")) {
            if (vm.count("check-calibration"))
                throw po::error("--check-calibration is for takes of image files (-d); check videos with "
                                "quadstitch-calibrate --video CAM1 CAM2 CAM3 CAM4 --check");
            videoTake = videoOptions(vm);
        } else {
            options = batch::imageTakeOptions(vm);
            checkCalibration = vm.count("check-calibration") > 0;
        }
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-batch: " << e.what() << "\n" << "Try 'quadstitch-batch --help'.\n";
        return batch::kExitUsage;
    }
    if (videoTake) {
        try {
            return batch::runVideoTake(*videoTake);
        } catch (const std::exception& e) {
            std::cerr << "quadstitch-batch: " << e.what() << "\n";
            return batch::kExitFailed;
        }
    }
    if (checkCalibration)
        options.calibrationCheck = calibrationCheck(options);
    try {
        return batch::runTake(options);
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-batch: " << e.what() << "\n";
        return batch::kExitFailed;
    }
}
