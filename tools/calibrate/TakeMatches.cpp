#include "calibrate/TakeMatches.h"

#include "app/FrameFiles.h"
#include "StitchLib/geometry/Rig.h"
#include "StitchLib/input/CalibrationCheck.h"
#include "StitchLib/input/CameraImages.h"
#include "StitchLib/input/InputError.h"

#include <memory>
#include <stdexcept>

namespace calibrate {

std::vector<std::uint32_t> spreadFrames(const std::vector<std::uint32_t>& frames, std::size_t count)
{
    if (frames.size() <= count)
        return frames;
    std::vector<std::uint32_t> chosen;
    if (count == 0)
        return chosen;
    if (count == 1)
        return {frames[frames.size() / 2]};
    for (std::size_t i = 0; i < count; ++i)
        chosen.push_back(frames[i * (frames.size() - 1) / (count - 1)]);
    return chosen;
}

FrameReader imageFrames(const TakeSource& source)
{
    return [source](std::uint32_t frame) {
        std::vector<std::string> paths;
        for (int c = 1; c <= orb::Rig::kCameraCount; ++c)
            paths.push_back(
                FrameFiles::cameraImagePath(source.directory, source.extension, frame, static_cast<unsigned>(c)).string());
        return orb::input::readCameraImages(paths);
    };
}

TakeMatches matchFrames(const std::vector<std::uint32_t>& frames, const FrameReader& read,
                        const orb::input::Calibration& calibration, const std::string& calibrationPath,
                        const MatchSettings& settings, const std::function<void(std::size_t, std::size_t)>& progress)
{
    if (frames.empty())
        throw std::runtime_error("no frames to match");
    const std::vector<orb::CameraIntrinsics>& cameras = calibration.cameras;
    const orb::Rig rig(cameras, 0);
    TakeMatches result;
    std::unique_ptr<OverlapMatches> matches;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::vector<cv::Mat> images = read(frames[i]);
        if (!matches) {
            result.imageSize = images[0].size();
            orb::input::checkCalibrationMatchesImages(calibration, result.imageSize, calibrationPath);
            matches = std::make_unique<OverlapMatches>(cameras, result.imageSize, rig.maxAngle(), settings);
        } else if (images[0].size() != result.imageSize) {
            throw orb::input::ImageError("frame " + std::to_string(frames[i]) + " is " + std::to_string(images[0].cols) +
                                         " x " + std::to_string(images[0].rows) + " pixels, the take's first " +
                                         std::to_string(result.imageSize.width) + " x " +
                                         std::to_string(result.imageSize.height));
        }
        matches->addFrame(frames[i], images);
        if (progress)
            progress(i + 1, frames.size());
    }
    result.pairs = matches->checkedMatches();
    return result;
}

TakeMatches matchTake(const TakeSource& source, const orb::input::Calibration& calibration,
                      const std::string& calibrationPath, const MatchSettings& settings,
                      const std::function<void(std::size_t, std::size_t)>& progress)
{
    if (source.frames.empty())
        throw std::runtime_error("no frames to match in '" + source.directory + "'");
    return matchFrames(source.frames, imageFrames(source), calibration, calibrationPath, settings, progress);
}

} // namespace calibrate
