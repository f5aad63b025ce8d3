#include "sim/Generator.h"

#include "sim/Renderer.h"
#include "sim/Rig.h"
#include "sim/Scene.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace orb {
namespace sim {

namespace {

void writeImage(const std::string& path, const cv::Mat& image)
{
    bool ok = false;
    try {
        ok = cv::imwrite(path, image);
    } catch (const cv::Exception& e) {
        throw std::runtime_error("Generator generateFrame() cannot write '" + path + "': " + e.what());
    }
    if (!ok)
        throw std::runtime_error("Generator generateFrame() cannot write '" + path + "'");
}

} // namespace

std::string cameraImageName(std::uint32_t frame, int camera, const std::string& extension)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%010u-%d", static_cast<unsigned>(frame), camera);
    return buf + extension;
}

std::string truthFileName(const std::string& name, const std::string& extension, bool perFrame,
                          std::uint32_t frame)
{
    if (!perFrame)
        return name + extension;
    char buf[16];
    std::snprintf(buf, sizeof buf, "-%010u", static_cast<unsigned>(frame));
    return name + buf + extension;
}

void addSensorNoise(cv::Mat& image, double sigma, std::uint64_t seed, std::uint32_t frame, int camera)
{
    if (image.depth() != CV_8U)
        throw std::runtime_error("Generator addSensorNoise() needs an 8-bit image");
    // Mixed so that neighbouring frames and cameras get unrelated streams.
    std::uint64_t state = seed * 0x9e3779b97f4a7c15ULL;
    state ^= (static_cast<std::uint64_t>(frame) + 1) * 0xc2b2ae3d27d4eb4fULL;
    state ^= (static_cast<std::uint64_t>(camera) + 1) * 0x165667b19e3779f9ULL;
    cv::RNG rng(state ? state : 1);
    cv::Mat noise(image.size(), CV_32FC(image.channels()));
    rng.fill(noise, cv::RNG::NORMAL, 0.0, sigma);
    cv::Mat sum;
    image.convertTo(sum, CV_32F);
    sum += noise;
    sum.convertTo(image, CV_8U);  // rounds and saturates
}

std::vector<std::string> generateFrame(const std::string& dir, const FrameSettings& settings)
{
    if (settings.extension.size() < 2 || settings.extension[0] != '.')
        throw std::runtime_error("Generator generateFrame() image extension must start with '.', got '"
                                 + settings.extension + "'");
    if (!cv::haveImageWriter("x" + settings.extension))
        throw std::runtime_error("Generator generateFrame() no image writer for extension '"
                                 + settings.extension + "'");
    if (settings.truthHeight < 2)
        throw std::runtime_error("Generator generateFrame() truth height must be at least 2");

    namespace fs = std::filesystem;
    const fs::path root(dir);
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec || !fs::is_directory(root))
        throw std::runtime_error("Generator generateFrame() cannot create directory '" + dir + "'");

    if (!(settings.calibrationErrorDegrees >= 0.0) || !std::isfinite(settings.calibrationErrorDegrees))
        throw std::runtime_error("Generator generateFrame() calibration error must be finite and non-negative");
    if (!(settings.noiseSigma >= 0.0) || !std::isfinite(settings.noiseSigma))
        throw std::runtime_error("Generator generateFrame() noise sigma must be finite and non-negative");
    std::vector<RigCamera> rig =
        makeRig(cv::Size(settings.cameraWidth, settings.cameraHeight), settings.seed, settings.rigRadius);
    if (!settings.gains.empty())
        rig = withGains(rig, settings.gains);
    // Texels of about 4 mm suit 1280-pixel cameras (2.5 mrad per pixel, walls 2.5 m and
    // more away); smaller cameras get coarser, quicker textures.
    const double texel = std::min(0.05, std::max(0.002, 0.004 * 1280.0 / std::min(settings.cameraWidth,
                                                                                 settings.cameraHeight)));
    if (settings.moving && !std::isfinite(settings.degreesPerFrame))
        throw std::runtime_error("Generator generateFrame() degrees per frame must be finite");
    // Turns beyond a full circle repeat; reducing first keeps long takes exact.
    const double turn =
        settings.moving ? std::fmod(settings.degreesPerFrame * static_cast<double>(settings.frame), 360.0) : 0.0;
    const Scene scene = Scene::makeRoom(settings.seed, settings.nearObjects, texel, turn);
    const Renderer renderer(scene, settings.supersample);

    std::vector<std::string> written;
    for (const RigCamera& cam : rig) {
        const std::string path = (root / cameraImageName(settings.frame, cam.number(), settings.extension)).string();
        cv::Mat image = renderer.renderCamera(cam, settings.parallel);
        if (settings.noiseSigma > 0.0)
            addSensorNoise(image, settings.noiseSigma, settings.seed, settings.frame, cam.number());
        writeImage(path, image);
        written.push_back(path);
    }
    const std::string calibration = (root / "calibration.yaml").string();
    if (settings.calibrationErrorDegrees > 0.0) {
        writeCalibration(calibration, withRotationErrors(rig, settings.calibrationErrorDegrees, settings.seed));
        written.push_back(calibration);
        const std::string trueCalibration = (root / "calibration-true.yaml").string();
        writeCalibration(trueCalibration, rig);
        written.push_back(trueCalibration);
    } else {
        writeCalibration(calibration, rig);
        written.push_back(calibration);
    }

    cv::Mat colour, inverseDepth;
    renderer.renderTruth(settings.truthHeight, colour, inverseDepth, settings.parallel);
    const std::string truth = (root / truthFileName("truth", ".png", settings.moving, settings.frame)).string();
    writeImage(truth, colour);
    written.push_back(truth);
    const std::string depth = (root / truthFileName("truth-invdepth", ".tiff", settings.moving, settings.frame)).string();
    writeImage(depth, inverseDepth);
    written.push_back(depth);
    const std::string seen = (root / truthFileName("truth-seen", ".png", settings.moving, settings.frame)).string();
    writeImage(seen, renderer.renderSightings(settings.truthHeight, rig, kStitchedMaxTheta, settings.parallel));
    written.push_back(seen);
    return written;
}

} // namespace sim
} // namespace orb
