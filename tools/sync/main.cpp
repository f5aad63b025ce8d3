// quadstitch-sync: finds how many frames each camera of a take runs ahead of or
// behind camera 1, from the cameras' sound or from their pictures, and prints the
// offsets as quadstitch-batch's --offsets takes them.

#include "StitchLib/geometry/Rig.h"
#include "StitchLib/input/CalibrationFile.h"
#include "VideoReader.h"
#include "sync/AudioSync.h"
#include "sync/ImageFileFrames.h"
#include "sync/PictureSync.h"
#include "sync/SyncError.h"
#include "sync/VideoFrames.h"

#include <cmath>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "NumberOption.h"
#include "ToolVersion.h"
#include "VideoLibraryVersions.h"

namespace {

const char* kUsage =
    "quadstitch-sync: finds how far each camera's recording is offset from camera 1's, from their sound or "
    "pictures\n"
    "usage:\n"
    "  quadstitch-sync audio CAM1 CAM2 CAM3 CAM4 [--fps R] [--seconds S] [--max-offset SECONDS]\n"
    "  quadstitch-sync picture CAM1 CAM2 CAM3 CAM4 [--calibration FILE] [--max-offset FRAMES]\n"
    "                          [--window FRAMES] [--first FRAME]\n"
    "  quadstitch-sync picture -d DIR [--ext .png] [--calibration FILE] [--fps R] [--max-offset FRAMES]\n"
    "                          [--window FRAMES] [--first FRAME]\n"
    "Camera files in rig order (forward, right, back, left). The calibration defaults to\n"
    "calibration.yaml beside the first camera's file (or in DIR). Prints each camera's\n"
    "offset against camera 1 and the --offsets option that reuses them.\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

double number(const std::string& option, const std::string& text, double low, double high)
{
    const std::optional<double> v = tools::parseNumber(text, low, high);
    if (!v)
        throw UsageError(option + " expects " + tools::numberRange(low, high) + ", got '" + text + "'");
    return *v;
}

int wholeNumber(const std::string& option, const std::string& text, int low, int high)
{
    const double v = number(option, text, low, high);
    if (v != std::floor(v))
        throw UsageError(option + " expects a whole number, got '" + text + "'");
    return static_cast<int>(v);
}

int run(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--help" || mode == "-h") {
        std::cout << kUsage << "example:\n  quadstitch-sync audio cam1.mp4 cam2.mp4 cam3.mp4 cam4.mp4\n";
        return 0;
    }
    if (mode == "--version") {
        std::cout << tools::versionText("quadstitch-sync", {tools::videoLibraryVersions()});
        return 0;
    }
    if (mode != "audio" && mode != "picture")
        throw UsageError(mode.empty() ? "no mode given" : "unknown mode '" + mode + "' (audio or picture)");
    std::vector<std::string> files;
    std::string dir, ext = ".png", calibration;
    double fps = 0.0;
    orb::sync::AudioSyncSettings audio;
    orb::sync::PictureSyncSettings picture;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw UsageError(a + " needs a value");
            return argv[++i];
        };
        if (a == "--fps")
            fps = number(a, value(), 0.001, 1000.0);
        else if (a == "--seconds" && mode == "audio")
            audio.seconds = number(a, value(), 0.1, 3600.0);
        else if (a == "--max-offset" && mode == "audio")
            audio.maxOffsetSeconds = number(a, value(), 0.0, 600.0);
        else if (a == "--max-offset")
            picture.maxOffset = wholeNumber(a, value(), 0, 300);
        else if (a == "--window" && mode == "picture")
            picture.window = wholeNumber(a, value(), 4, 100000);
        else if (a == "--first" && mode == "picture")
            picture.firstFrame = wholeNumber(a, value(), 0, 100000000);
        else if (a == "--calibration" && mode == "picture")
            calibration = value();
        else if (a == "-d" && mode == "picture")
            dir = value();
        else if (a == "--ext" && mode == "picture")
            ext = value();
        else if (a.size() > 1 && a[0] == '-')
            throw UsageError("unknown option " + a + " for " + mode);
        else
            files.push_back(a);
    }
    if (dir.empty() ? files.size() != 4 : !files.empty())
        throw UsageError(mode == "audio" || dir.empty() ? "give the four camera files, in rig order"
                                                        : "-d DIR takes no camera files");

    if (mode == "audio") {
        if (fps == 0.0)
            fps = video::VideoReader(files[0]).frameRate();
        const orb::sync::CameraOffsets offsets = orb::sync::audioOffsetsOfFiles(files, fps, audio);
        std::cout << orb::sync::describeOffsets(offsets, "audio");
        return 0;
    }

    namespace fs = std::filesystem;
    if (calibration.empty())
        calibration = ((dir.empty() ? fs::path(files[0]).parent_path() : fs::path(dir)) / "calibration.yaml").string();
    const orb::Rig rig(orb::input::readCalibration(calibration, orb::Rig::kCameraCount), 0);
    std::unique_ptr<orb::sync::FrameSource> frames;
    if (dir.empty()) {
        auto videos = std::make_unique<orb::sync::VideoFrames>(files);
        if (fps == 0.0)
            fps = videos->frameRate();
        frames = std::move(videos);
    } else {
        frames = std::make_unique<orb::sync::ImageFileFrames>(dir, ext);
    }
    picture.frameRate = fps;
    const orb::sync::CameraOffsets offsets = orb::sync::pictureOffsets(rig, *frames, picture);
    std::cout << orb::sync::describeOffsets(offsets, "picture");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "quadstitch-sync: " << e.what() << "\n" << kUsage;
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-sync: " << e.what() << "\n";
        return 2;
    }
}
