// quadstitch-calibrate: refines a rig's calibration from its own footage (or checks
// that the calibration still fits it).
#include "calibrate/CalibrationCheck.h"
#include "calibrate/CalibrationReport.h"
#include "calibrate/CalibrationWriter.h"
#include "calibrate/RigRefinement.h"
#include "calibrate/TakeMatches.h"

#include "FrameSelection.h"
#include "ToolVersion.h"
#include "VideoLibraryVersions.h"
#include "VideoReader.h"
#include "sync/CameraOffsets.h"
#include "sync/VideoFrames.h"
#include "StitchLib/geometry/Rig.h"
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/InputError.h"

#include <boost/program_options.hpp>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>

namespace po = boost::program_options;
namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;
constexpr int kExitCheckFailed = 3;

struct Options {
    calibrate::TakeSource take;
    std::vector<std::string> videos;  // instead of the take's image files
    std::string offsets;
    std::string frames = "all";
    std::size_t maxFrames = 20;
    std::string calibration;
    std::string output;
    bool inPlace = false;
    bool check = false;
    calibrate::RefineMode mode = calibrate::RefineMode::Rotation;
    std::string report;
    calibrate::MatchSettings match;
    bool quiet = false;
};

std::size_t countOption(const po::variables_map& vm, const char* name, std::size_t low, std::size_t high)
{
    const std::string text = vm[name].as<std::string>();
    std::size_t value = 0;
    bool ok = !text.empty() && text.size() <= 9;
    for (char c : text) {
        ok = ok && c >= '0' && c <= '9';
        if (ok)
            value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    if (!ok || value < low || value > high)
        throw po::error(std::string("--") + name + " '" + text + "': expected an integer from " +
                        std::to_string(low) + " to " + std::to_string(high));
    return value;
}

// Writes `text` to `path` through a temporary file and a rename.
void writeReport(const std::string& path, const std::string& text)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw std::runtime_error("cannot write report '" + path + "'");
        }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        throw std::runtime_error("cannot write report '" + path + "'");
    }
}

std::vector<std::uint32_t> takeFrames(const Options& options)
{
    const std::vector<std::uint32_t> found =
        batch::discoverFrames(options.take.directory, options.take.extension, orb::Rig::kCameraCount);
    const std::vector<std::uint32_t> selected = batch::selectFrames(batch::parseFrameChoice(options.frames), found);
    if (selected.empty())
        throw std::runtime_error("no frames with all four camera images (%010d-<camera>" + options.take.extension +
                                 ") in '" + options.take.directory + "'");
    return selected;
}

// The frames to choose from and how to read them: the take's image files, or the
// cameras' videos (take frame i is frame i + offset of each camera's video).
struct FramePlan {
    std::vector<std::uint32_t> frames;
    calibrate::FrameReader read;
};

FramePlan planFrames(const Options& options)
{
    FramePlan plan;
    if (options.videos.empty()) {
        plan.frames = takeFrames(options);
        plan.read = calibrate::imageFrames(options.take);
        return plan;
    }
    std::int64_t last = std::numeric_limits<std::int64_t>::max();
    double rate = 0;
    std::vector<std::int64_t> counts;
    for (const std::string& path : options.videos) {
        const video::VideoReader reader(path);
        if (rate == 0)
            rate = reader.frameRate();
        std::int64_t count = reader.declaredFrames();
        if (count <= 0 && reader.durationSeconds() > 0)
            count = static_cast<std::int64_t>(reader.durationSeconds() * reader.frameRate());
        if (count <= 0)
            throw std::runtime_error("'" + path + "' does not say how many frames it holds");
        counts.push_back(count);
    }
    const std::vector<int> offsets =
        options.offsets.empty() ? std::vector<int>(4, 0) : orb::sync::parseOffsets(options.offsets, rate).wholeFrames();
    std::int64_t first = 0;
    for (int c = 0; c < 4; ++c) {
        first = std::max<std::int64_t>(first, -offsets[c]);
        last = std::min<std::int64_t>(last, counts[c] - 1 - offsets[c]);
    }
    std::vector<std::uint32_t> all;
    for (std::int64_t i = first; i <= last; ++i)
        all.push_back(static_cast<std::uint32_t>(i));
    plan.frames = batch::selectFrames(batch::parseFrameChoice(options.frames), all);
    if (plan.frames.empty() || plan.frames.back() > static_cast<std::uint64_t>(std::max<std::int64_t>(last, 0)) ||
        all.empty())
        throw std::runtime_error("the videos have no frame in common at the --frames asked for (" + options.frames + ")");
    auto source = std::make_shared<orb::sync::VideoFrames>(options.videos);
    plan.read = [source, offsets, videos = options.videos](std::uint32_t frame) {
        std::vector<cv::Mat> images;
        for (int c = 0; c < 4; ++c) {
            cv::Mat image = source->frame(c, static_cast<int>(frame) + offsets[c]);
            if (image.empty())
                throw std::runtime_error("'" + videos[c] + "' ends before its frame " +
                                         std::to_string(static_cast<int>(frame) + offsets[c]));
            images.push_back(image);
        }
        return images;
    };
    return plan;
}

int run(const Options& options)
{
    const auto start = std::chrono::steady_clock::now();
    FramePlan plan = planFrames(options);

    if (options.check) {
        const calibrate::CheckResult result =
            calibrate::checkFrames(plan.frames, plan.read, options.calibration, options.match);
        if (!options.quiet)
            calibrate::writeCheckText(std::cout, result);
        if (!options.report.empty()) {
            std::ostringstream json;
            calibrate::writeCheckJson(json, result, options.calibration);
            writeReport(options.report, json.str());
        }
        if (!result.passed)
            std::cerr << "quadstitch-calibrate: warning: " << calibrate::checkSummary(result) << "\n";
        return result.passed ? kExitOk : kExitCheckFailed;
    }

    const orb::input::Calibration calibration =
        orb::input::readCalibrationFile(options.calibration, orb::Rig::kCameraCount);
    const std::vector<orb::CameraIntrinsics>& cameras = calibration.cameras;
    const std::vector<std::uint32_t> frames = calibrate::spreadFrames(plan.frames, options.maxFrames);
    const bool live = !options.quiet && isatty(STDERR_FILENO);
    const calibrate::TakeMatches matches = calibrate::matchFrames(
        frames, plan.read, calibration, options.calibration, options.match, [&](std::size_t done, std::size_t total) {
            if (live)
                std::fprintf(stderr, "\rmatching overlaps: frame %zu of %zu", done, total);
            else if (!options.quiet)
                std::fprintf(stderr, "matching overlaps: frame %zu of %zu\n", done, total);
            if (live && done == total)
                std::fprintf(stderr, "\n");
        });
    calibrate::requireMatches(matches.pairs, calibrate::kMinimumMatches);

    calibrate::RefinementReport report;
    report.refinement = calibrate::refineRig(cameras, matches.pairs, options.mode);
    report.input = options.calibration;
    report.output = options.inPlace ? options.calibration : options.output;
    report.features = calibrate::featureKindName(options.match.features);
    report.mode = calibrate::refineModeName(options.mode);
    report.frames = frames;
    if (!report.refinement.converged)
        throw std::runtime_error("the solve did not converge in " + std::to_string(report.refinement.iterations) +
                                 " iterations; nothing was written");
    if (options.inPlace)
        report.backup = calibrate::backupFile(options.calibration);
    calibrate::writeCalibrationFile(report.output, report.refinement.cameras, matches.imageSize);
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!options.quiet) {
        calibrate::writeRefinementText(std::cout, report);
        std::cout << "wrote " << report.output;
        if (!report.backup.empty())
            std::cout << " (the previous calibration is in " << report.backup << ")";
        std::cout << "\n";
    }
    if (!options.report.empty()) {
        std::ostringstream json;
        calibrate::writeRefinementJson(json, report);
        writeReport(options.report, json.str());
    }
    return kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    po::options_description description(
        "quadstitch-calibrate: refines or checks a rig's calibration against a take's own footage\n"
        "Usage: quadstitch-calibrate -d TAKE (-o REFINED.yaml | --in-place | --check) [options]\n\n"
        "Refines the rig's calibration from the take's own footage: matches features where\n"
        "neighbouring cameras overlap and corrects each camera's rotation (optionally its\n"
        "lens centre and scale) so that the matches' rays meet. Exit status: 0 done (or the\n"
        "check passed), 1 bad command line, 2 failed (a pair with too few good matches is\n"
        "named), 3 the check found the calibration off.\n\nOptions",
        100, 50);
    description.add_options()
        ("help,h", "this help")
        ("version", "the versions of the tool and of the libraries it was built with")
        ("working-directory,d", po::value<std::string>()->default_value("."),
         "the take: %010d-<camera><ext> and calibration.yaml")
        ("frames", po::value<std::string>()->default_value("all"), "all, N or A-B: frames to choose from")
        ("max-frames", po::value<std::string>()->default_value("20"),
         "use at most this many frames, spread over the choice")
        ("video", po::value<std::vector<std::string>>()->multitoken(),
         "CAM1 CAM2 CAM3 CAM4: the cameras' videos (forward, right, back, left) instead of -d")
        ("offsets", po::value<std::string>(),
         "with --video, a,b,c,d: where the same instant is in each camera's video, in frames (or each with ms); "
         "default: in step")
        ("calibration", po::value<std::string>(),
         "calibration to refine (default: calibration.yaml of the take, or beside the first video)")
        ("output,o", po::value<std::string>(), "where the refined calibration goes (never the input)")
        ("in-place", "replace the input calibration, keeping a backup beside it (<file>.bak)")
        ("check", "only measure how well the calibration fits the footage (on a few frames)")
        ("refine", po::value<std::string>()->default_value("rotation"),
         "rotation, rotation+centre (also each lens centre) or all (also k0)")
        ("report", po::value<std::string>(), "write the report as JSON to this file")
        ("features", po::value<std::string>()->default_value("sift"), "feature detector: sift, akaze or orb")
        ("image-file-extension,i", po::value<std::string>()->default_value(".png"), "camera images, including the .")
        ("quiet,q", "print nothing but errors and warnings");

    Options options;
    try {
        po::variables_map vm;
        const po::positional_options_description none;
        po::store(po::command_line_parser(argc, argv).options(description).positional(none).run(), vm);
        po::notify(vm);
        if (vm.count("help")) {
            std::cout << description << "\nExample:\n  quadstitch-calibrate -d take -o take/calibration-refined.yaml\n";
            return kExitOk;
        }
        if (vm.count("version")) {
            std::cout << tools::versionText("quadstitch-calibrate",
                                            {calibrate::solverVersion(), tools::videoLibraryVersions()});
            return kExitOk;
        }
        if (vm.count("video")) {
            options.videos = vm["video"].as<std::vector<std::string>>();
            if (options.videos.size() != 4)
                throw po::error("--video: expected four files (forward, right, back, left), got " +
                                std::to_string(options.videos.size()));
            if (!vm["working-directory"].defaulted())
                throw po::error("-d and --video cannot be used together");
        }
        if (vm.count("offsets")) {
            if (options.videos.empty())
                throw po::error("--offsets needs --video");
            options.offsets = vm["offsets"].as<std::string>();
        }
        options.take.directory = vm["working-directory"].as<std::string>();
        options.take.extension = vm["image-file-extension"].as<std::string>();
        options.frames = vm["frames"].as<std::string>();
        batch::parseFrameChoice(options.frames);
        options.maxFrames = countOption(vm, "max-frames", 1, 100000);
        const fs::path calibrationDir =
            options.videos.empty() ? fs::path(options.take.directory) : fs::path(options.videos[0]).parent_path();
        options.calibration = vm.count("calibration") ? vm["calibration"].as<std::string>()
                                                      : (calibrationDir / "calibration.yaml").string();
        options.inPlace = vm.count("in-place") > 0;
        options.check = vm.count("check") > 0;
        if (vm.count("output"))
            options.output = vm["output"].as<std::string>();
        options.mode = calibrate::parseRefineMode(vm["refine"].as<std::string>());
        options.match.features = calibrate::parseFeatureKind(vm["features"].as<std::string>());
        if (vm.count("report"))
            options.report = vm["report"].as<std::string>();
        options.quiet = vm.count("quiet") > 0;
        const int outputs = (options.output.empty() ? 0 : 1) + (options.inPlace ? 1 : 0) + (options.check ? 1 : 0);
        if (outputs != 1)
            throw po::error("give exactly one of -o FILE, --in-place and --check");
        if (!options.output.empty()) {
            std::error_code ec;
            if (fs::exists(options.output) && fs::equivalent(options.output, options.calibration, ec))
                throw po::error("-o '" + options.output +
                                "' is the input calibration; use --in-place to replace it (with a backup)");
        }
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-calibrate: " << e.what() << "\nTry 'quadstitch-calibrate --help'.\n";
        return kExitUsage;
    }
    try {
        return run(options);
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-calibrate: " << e.what() << "\n";
        return kExitFailed;
    }
}
