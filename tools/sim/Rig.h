#pragma once

#include "sim/Lens.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace orb {
namespace sim {

// One simulated camera: its lens, its pose in the rig body frame B (x forward,
// y right, z down) and the exposure gain applied to what it sees.
class RigCamera {
public:
    // rotation maps B to the camera frame C: row 0 is the optical axis, row 1 the
    // image x direction, row 2 the image y direction (all in B), right-handed.
    RigCamera(int number, const FisheyeLens& lens, const cv::Matx33d& rotation,
              const cv::Vec3d& position, double exposure, const cv::Size& imageSize);

    int number() const { return number_; }
    const FisheyeLens& lens() const { return lens_; }
    const cv::Matx33d& rotation() const { return rotation_; }
    const cv::Vec3d& position() const { return position_; }
    double exposure() const { return exposure_; }
    const cv::Size& imageSize() const { return imageSize_; }

    cv::Vec3d opticalAxis() const { return cv::Vec3d(rotation_(0, 0), rotation_(0, 1), rotation_(0, 2)); }
    cv::Vec3d toCamera(const cv::Vec3d& dirB) const { return rotation_ * dirB; }
    cv::Vec3d toBody(const cv::Vec3d& dirC) const { return rotation_.t() * dirC; }
    // p_C = R p_B + t with t = -R position, as written to the calibration file.
    cv::Matx44d tmBToC() const;

private:
    int number_;
    FisheyeLens lens_;
    cv::Matx33d rotation_;
    cv::Vec3d position_;
    double exposure_;
    cv::Size imageSize_;
};

// Largest angle from the optical axis that the simulated lenses image (95 degrees).
double simulatedMaxTheta();

// Largest angle from the optical axis at which a stitch uses these lenses' images
// (83 degrees, the calibration's lens version 0); the lenses image further.
constexpr double kStitchedMaxTheta = 1.4486;

// Nominal distance of the camera centres from the rig centre, in metres.
constexpr double kNominalRigRadius = 0.05;

// Four cameras facing forward, right, back and left, pitched up about 20 degrees and
// about 5 cm out from the rig centre, with small seed-dependent differences in pose,
// lens, optical centre and exposure so that no result holds by symmetry alone.
// Lens scale and centre follow the (square or not) image size.
std::vector<RigCamera> makeRig(const cv::Size& imageSize, std::uint64_t seed);

// The same rig with every camera position scaled by radius / kNominalRigRadius:
// radius 0 puts all cameras at the rig centre (no parallax at all). Orientations,
// lenses and exposures are those of makeRig(imageSize, seed).
std::vector<RigCamera> makeRig(const cv::Size& imageSize, std::uint64_t seed, double radius);

// The rig with each camera's exposure multiplied by its gain (one per camera).
std::vector<RigCamera> withGains(const std::vector<RigCamera>& rig, const std::vector<double>& gains);

// The rig as a calibration that is off: each camera turned by a random rotation
// (normal, sigmaDegrees per axis, in the rig frame: the camera then claims to see
// along turn * d what it sees along d), positions, lenses and exposures kept. The
// turns' rotation vectors sum to zero, as a calibration's error that does not turn
// the rig as a whole (which no footage can tell from the rig's own frame); they are
// scaled so that each still has sigmaDegrees per axis. The same seed gives the same
// turns.
std::vector<RigCamera> withRotationErrors(const std::vector<RigCamera>& rig, double sigmaDegrees, std::uint64_t seed);

// Writes the cameras as an OpenCV FileStorage YAML document: a "cameras" sequence of
// maps holding "lensCoeffs" (4x1), "centre" (2x1) and "tmBToC" (4x4), all float, and
// "imageSize" ([ width, height ]), the size of the images the record describes.
// Throws std::runtime_error if the file cannot be written.
void writeCalibration(const std::string& path, const std::vector<RigCamera>& cameras);

} // namespace sim
} // namespace orb
