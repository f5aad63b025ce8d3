#include "sim/VideoTake.h"

#include "sim/CameraVideo.h"
#include "sim/Renderer.h"
#include "sim/Rig.h"
#include "sim/Scene.h"
#include "sim/SoundTrack.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace orb {
namespace sim {

namespace {

void writeImage(const std::string& path, const cv::Mat& image)
{
    if (!cv::imwrite(path, image))
        throw std::runtime_error("VideoTake generateVideoTake() cannot write '" + path + "'");
}

} // namespace

std::string cameraVideoName(int camera) { return "cam" + std::to_string(camera) + ".mp4"; }

std::vector<std::string> generateVideoTake(const std::string& dir, const TakeSettings& settings)
{
    const FrameSettings& picture = settings.picture;
    if (settings.frames < 1)
        throw std::runtime_error("VideoTake generateVideoTake() needs at least one frame");
    if (!(settings.frameRate > 0.0) || settings.frameRate > 1000.0)
        throw std::runtime_error("VideoTake generateVideoTake() frame rate must be above 0 and at most 1000");
    std::vector<double> offsets = settings.offsets.empty() ? std::vector<double>(4, 0.0) : settings.offsets;
    if (offsets.size() != 4)
        throw std::runtime_error("VideoTake generateVideoTake() needs four offsets");
    for (double o : offsets)
        if (!std::isfinite(o))
            throw std::runtime_error("VideoTake generateVideoTake() offsets must be finite");
    const double first = offsets[0];
    for (double& o : offsets)
        o -= first;
    if (!std::isfinite(settings.degreesPerFrame))
        throw std::runtime_error("VideoTake generateVideoTake() degrees per frame must be finite");
    if (settings.degreesPerFrame != 0.0 && !picture.nearObjects)
        throw std::runtime_error("VideoTake generateVideoTake() motion turns the near objects; there are none");

    namespace fs = std::filesystem;
    const fs::path root(dir);
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec || !fs::is_directory(root))
        throw std::runtime_error("VideoTake generateVideoTake() cannot create directory '" + dir + "'");

    std::vector<RigCamera> rig =
        makeRig(cv::Size(picture.cameraWidth, picture.cameraHeight), picture.seed, picture.rigRadius);
    if (!picture.gains.empty())
        rig = withGains(rig, picture.gains);
    // As for single frames: texels to suit the camera size.
    const double texel = std::min(0.05, std::max(0.002, 0.004 * 1280.0 / std::min(picture.cameraWidth,
                                                                                 picture.cameraHeight)));
    const Scene still = Scene::makeRoom(picture.seed, picture.nearObjects, texel);
    // The scene at a moment of its clock, in frames (negative before camera 1 started).
    auto sceneAt = [&](double frame) {
        return still.withNearTurned(std::fmod(settings.degreesPerFrame * frame, 360.0));
    };

    // The sound covers every camera's file: the scene's clock from the earliest
    // start to the latest end, with a second to spare.
    const double fps = settings.frameRate;
    const double earliest = -*std::max_element(offsets.begin(), offsets.end()) / fps - 1.0;
    const double latest = (settings.frames - *std::min_element(offsets.begin(), offsets.end())) / fps + 1.0;
    const SoundTrack sound(picture.seed, earliest, latest, 48000);

    std::vector<std::string> written;
    std::vector<std::unique_ptr<CameraVideo>> videos;
    std::vector<std::vector<float>> recordings;
    const std::size_t samples = static_cast<std::size_t>(std::llround(settings.frames / fps * sound.sampleRate()));
    for (int c = 0; c < 4; ++c) {
        CameraVideo::Settings v;
        v.width = picture.cameraWidth;
        v.height = picture.cameraHeight;
        v.frameRate = fps;
        v.crf = settings.crf;
        v.audio = settings.audio;
        v.sampleRate = sound.sampleRate();
        videos.push_back(std::make_unique<CameraVideo>((root / cameraVideoName(c + 1)).string(), v));
        if (settings.audio)
            recordings.push_back(sound.recording(offsets[c] / fps, samples, 0.003,
                                                 picture.seed * 4 + static_cast<std::uint64_t>(c)));
    }

    for (int j = 0; j < settings.frames; ++j) {
        for (int c = 0; c < 4; ++c) {
            const Scene scene = sceneAt(j - offsets[c]);
            const Renderer renderer(scene, picture.supersample);
            cv::Mat image = renderer.renderCamera(rig[static_cast<std::size_t>(c)], picture.parallel);
            if (picture.noiseSigma > 0.0)
                addSensorNoise(image, picture.noiseSigma, picture.seed, static_cast<std::uint32_t>(j), c + 1);
            videos[static_cast<std::size_t>(c)]->writeFrame(image);
            if (settings.images) {
                const std::string path =
                    (root / cameraImageName(static_cast<std::uint32_t>(j), c + 1, ".png")).string();
                writeImage(path, image);
                written.push_back(path);
            }
            if (settings.audio) {
                // The sound up to the end of this frame, so the file interleaves as it goes.
                const std::size_t from = static_cast<std::size_t>(std::llround(j / fps * sound.sampleRate()));
                const std::size_t to = std::min(samples, static_cast<std::size_t>(
                                                             std::llround((j + 1) / fps * sound.sampleRate())));
                videos[static_cast<std::size_t>(c)]->writeAudio(recordings[static_cast<std::size_t>(c)].data() + from,
                                                                to - from);
            }
        }
    }
    for (int c = 0; c < 4; ++c) {
        videos[static_cast<std::size_t>(c)]->finish();
        written.push_back((root / cameraVideoName(c + 1)).string());
    }
    const std::string calibration = (root / "calibration.yaml").string();
    writeCalibration(calibration, rig);
    written.push_back(calibration);

    if (settings.truth) {
        for (int n = 0; n < settings.frames; ++n) {
            const Scene scene = sceneAt(n);
            const Renderer renderer(scene, picture.supersample);
            cv::Mat colour, inverseDepth;
            renderer.renderTruth(picture.truthHeight, colour, inverseDepth, picture.parallel);
            const std::uint32_t frame = static_cast<std::uint32_t>(n);
            const std::string truth = (root / truthFileName("truth", ".png", true, frame)).string();
            writeImage(truth, colour);
            const std::string depth = (root / truthFileName("truth-invdepth", ".tiff", true, frame)).string();
            writeImage(depth, inverseDepth);
            const std::string seen = (root / truthFileName("truth-seen", ".png", true, frame)).string();
            writeImage(seen, renderer.renderSightings(picture.truthHeight, rig, kStitchedMaxTheta, picture.parallel));
            written.insert(written.end(), {truth, depth, seen});
        }
    }

    std::ostringstream json;
    json << "{\n  \"frames\": " << settings.frames << ",\n  \"frameRate\": " << fps << ",\n  \"offsets\": [";
    for (int c = 0; c < 4; ++c)
        json << (c ? ", " : "") << offsets[static_cast<std::size_t>(c)];
    json << "],\n  \"degreesPerFrame\": " << settings.degreesPerFrame << ",\n  \"seed\": " << picture.seed
         << ",\n  \"audio\": " << (settings.audio ? "true" : "false") << ",\n  \"cameras\": [";
    for (int c = 0; c < 4; ++c)
        json << (c ? ", " : "") << '"' << cameraVideoName(c + 1) << '"';
    json << "]\n}\n";
    const std::string description = (root / "truth-take.json").string();
    std::ofstream out(description);
    out << json.str();
    if (!out.flush())
        throw std::runtime_error("VideoTake generateVideoTake() cannot write '" + description + "'");
    written.push_back(description);
    return written;
}

} // namespace sim
} // namespace orb
