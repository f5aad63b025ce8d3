#include "StitchLib/stereo/GroundPlane.h"

#include "BaseLib/CoordinateSystems.h"
#include "StitchLib/stereo/ScanGeneration.h"

#include <cmath>

namespace orb {
namespace Stereo {

namespace {
using coordinateSystems::kHalfPi;
using coordinateSystems::kPi;
constexpr float kCameraHeight = 1.25f;
} // namespace

float groundPlaneInverseDepth(float cameraHeight, int row, int rows)
{
    // A ray at elevation e < 0 meets the plane at distance cameraHeight / sin(-e),
    // and cos(pi/2 + e) = sin(-e).
    const float a = kHalfPi + rowElevation(row, rows);
    return std::cos(a) / cameraHeight;
}

void addGroundPlane(ScanImages& scan)
{
    cv::Mat_<float>& depth = scan.inverseDepth;
    const int n = depth.rows;
    const int width = depth.cols;
    if (n == 0 || width == 0)
        return;
    const float a = kPi * 40.0f / 180.0f;
    const float b = kPi * 10.0f / 180.0f;
    const int start = static_cast<int>(((kPi - a) - b) / kPi * static_cast<float>(n));
    const int end = static_cast<int>(((kPi - a) + b) / kPi * static_cast<float>(n));

    for (int r = start; r < end; ++r) {
        const float w = static_cast<float>(r - start) / static_cast<float>(end - start);
        const float g = groundPlaneInverseDepth(kCameraHeight, r, n);
        float* row = depth.ptr<float>(r);
        for (int c = 0; c < width; ++c)
            row[c] = row[c] * (1.0f - w) + w * g;
    }
    for (int r = end; r < n; ++r) {
        const float g = groundPlaneInverseDepth(kCameraHeight, r, n);
        float* row = depth.ptr<float>(r);
        for (int c = 0; c < width; ++c)
            row[c] = g;
    }
}

} // namespace Stereo
} // namespace orb
