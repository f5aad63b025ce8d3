#pragma once

#include "calibrate/OverlapMatches.h"

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace calibrate {

// What the solve may change besides each camera's rotation.
enum class RefineMode { Rotation, RotationCentre, All };
// "rotation", "rotation+centre" or "all"; throws std::invalid_argument quoting the text.
RefineMode parseRefineMode(const std::string& text);
const char* refineModeName(RefineMode mode);

// One camera's change. The rotation turns the camera's viewing directions in the rig
// frame (a rotation vector, radians): the refined camera sees along rotation * d what
// the old one saw along d. The camera's centre in the rig stays where it was.
struct CameraCorrection {
    cv::Vec3d rotation{0, 0, 0};
    cv::Vec2d centreShift{0, 0};  // pixels
    double k0Scale = 1.0;
};

// The calibration record with the correction applied.
orb::CameraIntrinsics corrected(const orb::CameraIntrinsics& camera, const CameraCorrection& correction);

// Signed angular residual (radians) of a match through the calibration: how far its
// two rays are from meeting (from the epipolar plane of the pair's baseline).
double matchResidual(const orb::CameraIntrinsics& a, const orb::CameraIntrinsics& b, const PixelMatch& match);

// Median absolute residual of a pair's matches, in degrees (0 without matches).
double medianResidualDegrees(const std::vector<orb::CameraIntrinsics>& cameras, const PairMatches& pair);

struct PairResidual {
    int cameraA = 0, cameraB = 1;
    std::size_t matches = 0;
    double beforeDegrees = 0, afterDegrees = 0;
};

struct Refinement {
    std::vector<orb::CameraIntrinsics> cameras;  // refined
    std::vector<CameraCorrection> corrections;
    std::vector<PairResidual> pairs;
    int iterations = 0;
    bool converged = false;
};

// Minimises the angular residual of all matches over a small rotation per camera
// (and, by `mode`, each lens centre and k0) with a robust loss. Translations stay;
// the rig as a whole does not turn: the corrections' rotation vectors sum to zero
// (nor do the centres shift together), since the overlaps cannot tell a turn of the
// whole rig from the rig's own frame. Throws std::runtime_error when the calibration
// puts two neighbouring cameras at one place (no baseline to measure against).
// The solver library and its version, for --version.
std::string solverVersion();

Refinement refineRig(const std::vector<orb::CameraIntrinsics>& cameras, const std::vector<PairMatches>& pairs,
                     RefineMode mode);

} // namespace calibrate
