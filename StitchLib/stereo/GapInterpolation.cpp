#include "StitchLib/stereo/GapInterpolation.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace orb {
namespace BaseApi {

namespace {

inline bool isValid(float inverseDepth) { return inverseDepth > 0.0f; }

// One row of the fill. The left-neighbour buffers are written by the
// left-to-right pass and read by the right-to-left pass; entries are only read
// at columns the first pass wrote.
inline void fillRow(uchar* intensity, float* depth, int width, int maxGap, bool wrapAround,
                    std::uint16_t* leftDistance, uchar* leftIntensity, float* leftDepth)
{
    std::uint16_t counter = 0;
    bool seenValid = false;
    uchar curIntensity = 0;
    float curDepth = 0.0f;
    for (int c = 0; c < width; ++c) {
        if (isValid(depth[c])) {
            curIntensity = intensity[c];
            curDepth = depth[c];
            seenValid = true;
            counter = 0;
        } else if (seenValid) {
            ++counter;
            leftDistance[c] = counter;
            leftIntensity[c] = curIntensity;
            leftDepth[c] = curDepth;
        }
    }
    if (!seenValid)
        return;

    // Without wrap-around the leading gap has no left neighbour: a distance
    // beyond maxGap keeps it from being filled.
    const std::uint16_t noNeighbour = static_cast<std::uint16_t>(maxGap + 1);
    int first = 0;
    for (; !isValid(depth[first]); ++first) {
        ++counter;
        leftDistance[first] = wrapAround ? counter : noNeighbour;
        leftIntensity[first] = curIntensity;
        leftDepth[first] = curDepth;
    }

    uchar rightIntensity = intensity[first];
    float rightDepth = depth[first];
    counter = wrapAround ? static_cast<std::uint16_t>(first) : noNeighbour;
    for (int c = width - 1; c >= 0; --c) {
        if (isValid(depth[c])) {
            rightIntensity = intensity[c];
            rightDepth = depth[c];
            counter = 0;
            continue;
        }
        ++counter;
        const int dr = counter;
        const int dl = leftDistance[c];
        if (dr + dl - 1 > maxGap)
            continue;
        const float fdr = static_cast<float>(dr);
        const float fdl = static_cast<float>(dl);
        const float sum = static_cast<float>(dl + dr);
        depth[c] = (leftDepth[c] * fdr + fdl * rightDepth) / sum;
        const float value = (static_cast<float>(leftIntensity[c]) * fdr +
                             fdl * static_cast<float>(rightIntensity)) / sum;
        // Halves away from zero; the clamp only absorbs float rounding at 255.
        intensity[c] = static_cast<uchar>(std::min(255.0f, std::round(value)));
    }
}

} // namespace

void interpolateSmallGaps(ScanImages scan, int maxGap, bool wrapAround)
{
    const int rows = scan.intensity.rows;
    const int cols = scan.intensity.cols;
    if (rows == 0 || cols == 0)
        return;
    if (scan.inverseDepth.rows != rows || scan.inverseDepth.cols != cols)
        throw std::runtime_error("BaseApi interpolateSmallGaps() intensity and inverseDepth differ in size");
    // Distances are 16-bit. No gap in a row of W pixels is longer than W - 1,
    // so limiting maxGap to W changes no result and bounds every distance by 2W + 1.
    if (cols > 32767)
        throw std::runtime_error("BaseApi interpolateSmallGaps() rows wider than 32767 pixels are not supported");
    maxGap = std::min(maxGap, cols);

    // Rows are independent: bands of them on all cores, each with its own buffers.
    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& band) {
        std::vector<std::uint16_t> leftDistance(static_cast<std::size_t>(cols));
        std::vector<uchar> leftIntensity(static_cast<std::size_t>(cols));
        std::vector<float> leftDepth(static_cast<std::size_t>(cols));
        for (int r = band.start; r < band.end; ++r)
            fillRow(scan.intensity.ptr<uchar>(r), scan.inverseDepth.ptr<float>(r), cols, maxGap, wrapAround,
                    leftDistance.data(), leftIntensity.data(), leftDepth.data());
    });
}

} // namespace BaseApi
} // namespace orb
