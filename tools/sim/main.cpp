// quadstitch-sim: renders a simulated rig frame with a known answer, and scores a
// stitched panorama against it.

#include "NumberOption.h"
#include "ToolVersion.h"
#include "VideoLibraryVersions.h"
#include "sim/Generator.h"
#include "sim/Scorer.h"
#include "sim/VideoTake.h"

#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* kUsage =
    "quadstitch-sim: renders simulated rig frames (or video takes) with a known answer, and scores panoramas "
    "against it\n"
    "usage:\n"
    "  quadstitch-sim generate DIR [--frame N] [--ext .png] [--truth-height H] [--seed S]\n"
    "                              [--no-near] [--camera-size N] [--noise SIGMA]\n"
    "                              [--gains G1,G2,G3,G4] [--rig-radius METRES]\n"
    "                              [--move DEG_PER_FRAME] [--calibration-error DEGREES]\n"
    "  quadstitch-sim take DIR [--frames N] [--fps R] [--offsets O1,O2,O3,O4] [--move DEG_PER_FRAME]\n"
    "                              [--seed S] [--camera-size N] [--noise SIGMA] [--gains G1,G2,G3,G4]\n"
    "                              [--rig-radius METRES] [--truth-height H] [--supersample N] [--crf N]\n"
    "                              [--no-near] [--no-audio] [--no-truth] [--images]\n"
    "  quadstitch-sim score PANO DIR [--rows N] [--detail] [--frame N]\n"
    "                              [--versus OTHER_PANO [--tolerance LEVELS] [--picture FILE.png]]\n"
    "  quadstitch-sim compare PANO_A PANO_B [--factor N]\n";

// Bad command lines are reported with the usage text and status 1.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::uint64_t parseUnsigned(const std::string& option, const std::string& text, std::uint64_t maxValue)
{
    std::size_t used = 0;
    unsigned long long v = 0;
    try {
        if (text.empty() || text[0] == '-' || text[0] == '+')
            throw std::invalid_argument("sign");
        v = std::stoull(text, &used, 10);
    } catch (const std::exception&) {
        throw UsageError(option + " expects a non-negative integer, got '" + text + "'");
    }
    if (used != text.size() || v > maxValue)
        throw UsageError(option + " expects an integer from 0 to " + std::to_string(maxValue) + ", got '"
                         + text + "'");
    return v;
}

// A number within [low, high].
double parseReal(const std::string& option, const std::string& text, double low, double high)
{
    const std::optional<double> v = tools::parseNumber(text, low, high);
    if (!v)
        throw UsageError(option + " expects " + tools::numberRange(low, high) + ", got '" + text + "'");
    return *v;
}

std::vector<double> parseGains(const std::string& option, const std::string& text)
{
    std::vector<double> gains;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        gains.push_back(parseReal(option, item, 0.0, 100.0));
        if (gains.back() <= 0.0)
            throw UsageError(option + " gains must be positive, got '" + item + "'");
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (gains.size() != 4)
        throw UsageError(option + " expects four comma-separated gains, got '" + text + "'");
    return gains;
}

// Splits arguments into positionals and "--name value" / "--flag" options.
struct Arguments {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;
};

Arguments splitArguments(int argc, char** argv, int first, const std::vector<std::string>& valued,
                         const std::vector<std::string>& flags)
{
    Arguments args;
    for (int i = first; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            bool known = false;
            for (const std::string& name : valued) {
                if (a == name) {
                    if (i + 1 >= argc)
                        throw UsageError(a + " needs a value");
                    args.options.emplace_back(a, argv[++i]);
                    known = true;
                }
            }
            for (const std::string& name : flags) {
                if (a == name) {
                    args.options.emplace_back(a, "");
                    known = true;
                }
            }
            if (!known)
                throw UsageError("unknown option " + a);
        } else {
            args.positional.push_back(a);
        }
    }
    return args;
}

int generate(int argc, char** argv)
{
    const Arguments args = splitArguments(argc, argv, 2,
                                          {"--frame", "--ext", "--truth-height", "--seed", "--camera-size", "--noise",
                                           "--gains", "--rig-radius", "--move", "--calibration-error"},
                                          {"--no-near"});
    if (args.positional.size() != 1)
        throw UsageError("generate takes exactly one directory");
    orb::sim::FrameSettings settings;
    for (const auto& [name, value] : args.options) {
        if (name == "--frame")
            settings.frame = static_cast<std::uint32_t>(parseUnsigned(name, value, 4294967295ULL));
        else if (name == "--ext")
            settings.extension = value;
        else if (name == "--truth-height")
            settings.truthHeight = static_cast<int>(parseUnsigned(name, value, 20000));
        else if (name == "--seed")
            settings.seed = parseUnsigned(name, value, std::numeric_limits<std::uint64_t>::max());
        else if (name == "--camera-size")
            settings.cameraWidth = settings.cameraHeight = static_cast<int>(parseUnsigned(name, value, 8192));
        else if (name == "--no-near")
            settings.nearObjects = false;
        else if (name == "--noise")
            settings.noiseSigma = parseReal(name, value, 0.0, 255.0);
        else if (name == "--gains")
            settings.gains = parseGains(name, value);
        else if (name == "--rig-radius")
            settings.rigRadius = parseReal(name, value, 0.0, 1.0);
        else if (name == "--move") {
            settings.moving = true;
            settings.degreesPerFrame = parseReal(name, value, -360.0, 360.0);
        }
        else if (name == "--calibration-error")
            settings.calibrationErrorDegrees = parseReal(name, value, 0.0, 30.0);
    }
    if (settings.moving && !settings.nearObjects)
        throw UsageError("--move turns the near objects; it cannot go with --no-near");
    if (settings.truthHeight < 2)
        throw UsageError("--truth-height must be at least 2");
    if (settings.cameraWidth < 16)
        throw UsageError("--camera-size must be at least 16");
    if (settings.extension.size() < 2 || settings.extension[0] != '.')
        throw UsageError("--ext must start with '.', e.g. .png");

    const auto start = std::chrono::steady_clock::now();
    const std::vector<std::string> written = orb::sim::generateFrame(args.positional[0], settings);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto truthName = [&settings](const char* name, const char* extension) {
        return orb::sim::truthFileName(name, extension, settings.moving, settings.frame);
    };
    char motion[64] = "";
    if (settings.moving)
        std::snprintf(motion, sizeof motion, ", moving %g deg/frame", settings.degreesPerFrame);
    std::printf("wrote %zu files to %s: 4 cameras %dx%d (%s), calibration.yaml%s, %s %dx%d, "
                "%s, %s; frame %u, seed %llu, near objects %s%s, %.1f s\n",
                written.size(), args.positional[0].c_str(), settings.cameraWidth, settings.cameraHeight,
                orb::sim::cameraImageName(settings.frame, 1, settings.extension).c_str(),
                settings.calibrationErrorDegrees > 0 ? " (rotations off), calibration-true.yaml" : "",
                truthName("truth", ".png").c_str(), 2 * settings.truthHeight, settings.truthHeight,
                truthName("truth-invdepth", ".tiff").c_str(), truthName("truth-seen", ".png").c_str(),
                static_cast<unsigned>(settings.frame), static_cast<unsigned long long>(settings.seed),
                settings.nearObjects ? "on" : "off", motion, seconds);
    return 0;
}

// Four comma-separated numbers, each of either sign.
std::vector<double> parseOffsets(const std::string& option, const std::string& text)
{
    std::vector<double> values;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        values.push_back(parseReal(option, item, -100000.0, 100000.0));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (values.size() != 4)
        throw UsageError(option + " expects four comma-separated frame counts, got '" + text + "'");
    return values;
}

// A take of camera videos with sound, started at different moments.
int take(int argc, char** argv)
{
    const Arguments args = splitArguments(argc, argv, 2,
                                          {"--frames", "--fps", "--offsets", "--move", "--seed", "--camera-size",
                                           "--noise", "--gains", "--rig-radius", "--truth-height", "--supersample",
                                           "--crf"},
                                          {"--no-near", "--no-audio", "--no-truth", "--images"});
    if (args.positional.size() != 1)
        throw UsageError("take takes exactly one directory");
    orb::sim::TakeSettings settings;
    settings.picture.truthHeight = 500;
    for (const auto& [name, value] : args.options) {
        if (name == "--frames")
            settings.frames = static_cast<int>(parseUnsigned(name, value, 1000000));
        else if (name == "--fps")
            settings.frameRate = parseReal(name, value, 0.0, 1000.0);
        else if (name == "--offsets")
            settings.offsets = parseOffsets(name, value);
        else if (name == "--move")
            settings.degreesPerFrame = parseReal(name, value, -360.0, 360.0);
        else if (name == "--seed")
            settings.picture.seed = parseUnsigned(name, value, std::numeric_limits<std::uint64_t>::max());
        else if (name == "--camera-size")
            settings.picture.cameraWidth = settings.picture.cameraHeight =
                static_cast<int>(parseUnsigned(name, value, 8192));
        else if (name == "--noise")
            settings.picture.noiseSigma = parseReal(name, value, 0.0, 255.0);
        else if (name == "--gains")
            settings.picture.gains = parseGains(name, value);
        else if (name == "--rig-radius")
            settings.picture.rigRadius = parseReal(name, value, 0.0, 1.0);
        else if (name == "--truth-height")
            settings.picture.truthHeight = static_cast<int>(parseUnsigned(name, value, 20000));
        else if (name == "--supersample")
            settings.picture.supersample = static_cast<int>(parseUnsigned(name, value, 8));
        else if (name == "--crf")
            settings.crf = static_cast<int>(parseUnsigned(name, value, 51));
        else if (name == "--no-near")
            settings.picture.nearObjects = false;
        else if (name == "--no-audio")
            settings.audio = false;
        else if (name == "--no-truth")
            settings.truth = false;
        else if (name == "--images")
            settings.images = true;
    }
    if (settings.frames < 1)
        throw UsageError("--frames must be at least 1");
    if (!(settings.frameRate > 0.0))
        throw UsageError("--fps must be above 0");
    if (settings.degreesPerFrame != 0.0 && !settings.picture.nearObjects)
        throw UsageError("--move turns the near objects; it cannot go with --no-near");
    if (settings.picture.cameraWidth < 16 || settings.picture.cameraWidth % 2)
        throw UsageError("--camera-size must be even and at least 16 (the videos are yuv420p)");
    if (settings.picture.truthHeight < 2)
        throw UsageError("--truth-height must be at least 2");
    if (settings.picture.supersample < 1)
        throw UsageError("--supersample must be at least 1");

    const auto start = std::chrono::steady_clock::now();
    const std::vector<std::string> written = orb::sim::generateVideoTake(args.positional[0], settings);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string offsets;
    for (std::size_t c = 0; c < 4; ++c) {
        const double o = settings.offsets.empty() ? 0.0 : settings.offsets[c] - settings.offsets[0];
        char item[32];
        std::snprintf(item, sizeof item, "%s%g", c ? "," : "", o);
        offsets += item;
    }
    std::printf("wrote %zu files to %s: cam1.mp4 to cam4.mp4, %d frames %dx%d at %g fps%s, offsets %s frames, "
                "moving %g deg/frame%s%s, calibration.yaml, truth-take.json; seed %llu, %.1f s\n",
                written.size(), args.positional[0].c_str(), settings.frames, settings.picture.cameraWidth,
                settings.picture.cameraHeight, settings.frameRate, settings.audio ? " with sound" : "",
                offsets.c_str(), settings.degreesPerFrame, settings.truth ? ", truth of every frame" : "",
                settings.images ? ", camera images" : "",
                static_cast<unsigned long long>(settings.picture.seed), seconds);
    return 0;
}

cv::Mat readImage(const std::string& path, int flags)
{
    const cv::Mat m = cv::imread(path, flags);
    if (m.empty())
        throw std::runtime_error("cannot read image '" + path + "'");
    return m;
}

int score(int argc, char** argv)
{
    const Arguments args =
        splitArguments(argc, argv, 2, {"--rows", "--versus", "--tolerance", "--picture", "--frame"}, {"--detail"});
    if (args.positional.size() != 2)
        throw UsageError("score takes a panorama and a directory");
    int rows = 500;
    bool detail = false;
    std::string versus, picturePath;
    double tolerance = orb::sim::kNearTolerance;
    bool perFrame = false;
    std::uint32_t frame = 0;
    for (const auto& [name, value] : args.options) {
        if (name == "--frame") {
            perFrame = true;
            frame = static_cast<std::uint32_t>(parseUnsigned(name, value, 4294967295ULL));
        } else if (name == "--rows")
            rows = static_cast<int>(parseUnsigned(name, value, 100000));
        else if (name == "--detail")
            detail = true;
        else if (name == "--versus")
            versus = value;
        else if (name == "--picture")
            picturePath = value;
        else if (name == "--tolerance")
            tolerance = parseReal(name, value, 0.0, 255.0);
    }
    if (versus.empty() && (!picturePath.empty() || tolerance != orb::sim::kNearTolerance))
        throw UsageError("--tolerance and --picture need --versus");
    if (rows < 1)
        throw UsageError("--rows must be at least 1");
    const std::filesystem::path dir(args.positional[1]);
    const cv::Mat pano = readImage(args.positional[0], cv::IMREAD_UNCHANGED);
    // A moving take keeps one truth per frame; --frame picks it.
    const auto truthPath = [&](const char* name, const char* extension) {
        return dir / orb::sim::truthFileName(name, extension, perFrame, frame);
    };
    const cv::Mat truth = readImage(truthPath("truth", ".png").string(), cv::IMREAD_COLOR);
    const cv::Mat depth = readImage(truthPath("truth-invdepth", ".tiff").string(), cv::IMREAD_UNCHANGED);
    const orb::sim::Score result = orb::sim::scorePanorama(pano, truth, depth, rows);
    std::cout << orb::sim::formatScore(result);
    if (detail)
        std::cout << orb::sim::formatScoreDetail(result);
    if (!versus.empty()) {
        const cv::Mat other = readImage(versus, cv::IMREAD_UNCHANGED);
        cv::Mat picture;
        // Frames simulated before sightings were recorded have no count; they score without it.
        const std::filesystem::path seenPath = truthPath("truth-seen", ".png");
        const cv::Mat seen =
            std::filesystem::exists(seenPath) ? readImage(seenPath.string(), cv::IMREAD_GRAYSCALE) : cv::Mat();
        std::cout << orb::sim::formatNearVersus(orb::sim::compareNear(pano, other, truth, depth, rows, tolerance,
                                                                      picturePath.empty() ? nullptr : &picture,
                                                                      seen));
        if (!picturePath.empty() && !cv::imwrite(picturePath, picture))
            throw std::runtime_error("cannot write '" + picturePath + "'");
    }
    return 0;
}

int compare(int argc, char** argv)
{
    const Arguments args = splitArguments(argc, argv, 2, {"--factor"}, {});
    if (args.positional.size() != 2)
        throw UsageError("compare takes two panoramas");
    int factor = 8;
    for (const auto& [name, value] : args.options) {
        if (name == "--factor")
            factor = static_cast<int>(parseUnsigned(name, value, 4096));
    }
    if (factor < 1)
        throw UsageError("--factor must be at least 1");
    const cv::Mat a = readImage(args.positional[0], cv::IMREAD_UNCHANGED);
    const cv::Mat b = readImage(args.positional[1], cv::IMREAD_UNCHANGED);
    std::cout << orb::sim::formatComparison(orb::sim::comparePanoramas(a, b, factor));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "generate")
            return generate(argc, argv);
        if (command == "take")
            return take(argc, argv);
        if (command == "score")
            return score(argc, argv);
        if (command == "compare")
            return compare(argc, argv);
        if (command == "--help" || command == "-h") {
            std::cout << kUsage << "example:\n  quadstitch-sim generate sample && quadstitch -d sample && "
                                   "quadstitch-sim score sample/0000000000.png sample\n";
            return 0;
        }
        if (command == "--version") {
            std::cout << tools::versionText("quadstitch-sim", {tools::videoLibraryVersions()});
            return 0;
        }
        throw UsageError(command.empty() ? "no command given" : "unknown command '" + command + "'");
    } catch (const UsageError& e) {
        // The same statuses as quadstitch: 1 for an unusable command line, 2 for a failed run.
        std::cerr << "quadstitch-sim: " << e.what() << "\n" << kUsage;
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-sim: " << e.what() << "\n";
        return 2;
    }
}
