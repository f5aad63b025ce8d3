#include "StitchLib/stereo/GroundPlane.h"

#include <cmath>

namespace orb {
namespace Stereo {

namespace {
constexpr float kPi = 3.1415927f;
constexpr float kHalfPi = 1.5707964f;
constexpr float kCameraHeight = 1.25f;
} // namespace

float groundPlaneInverseDepth(float cameraHeight, int row, int rows)
{
    const float n = static_cast<float>(rows);
    float t = (static_cast<float>(row) + 0.5f) - n * 0.5f;
    t = -t;
    t = t * kPi / n;
    const float a = kHalfPi + t;
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
