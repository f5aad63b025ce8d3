#include "sim/TextureMap.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace orb {
namespace sim {

TextureMap::TextureMap(const Texture& texture, const cv::Rect2d& uvArea, double texelSize)
    : uMin_(uvArea.x), vMin_(uvArea.y), scale_(1.0 / texelSize)
{
    if (!(texelSize > 0.0) || !(uvArea.width > 0.0) || !(uvArea.height > 0.0))
        throw std::runtime_error("TextureMap TextureMap() needs a positive area and texel size");
    const int cols = std::max(2, static_cast<int>(std::ceil(uvArea.width * scale_)));
    const int rows = std::max(2, static_cast<int>(std::ceil(uvArea.height * scale_)));
    texels_.create(rows, cols, CV_16UC3);

    // Base colour on a coarse grid whose first node sits at (uMin, vMin).
    const double coarse = std::max(0.04, texelSize);
    const int baseCols = static_cast<int>(std::ceil(uvArea.width / coarse)) + 2;
    const int baseRows = static_cast<int>(std::ceil(uvArea.height / coarse)) + 2;
    cv::Mat base(baseRows, baseCols, CV_32FC3);
    for (int i = 0; i < baseRows; ++i)
        for (int j = 0; j < baseCols; ++j)
            base.at<cv::Vec3f>(i, j) = texture.baseColour(uMin_ + j * coarse, vMin_ + i * coarse);

    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            cv::Vec3w* row = texels_.ptr<cv::Vec3w>(i);
            const double v = vMin_ + (i + 0.5) * texelSize;
            const double by = (v - vMin_) / coarse;
            const int bi = std::min(static_cast<int>(by), baseRows - 2);
            const float fy = static_cast<float>(by - bi);
            const cv::Vec3f* b0 = base.ptr<cv::Vec3f>(bi);
            const cv::Vec3f* b1 = base.ptr<cv::Vec3f>(bi + 1);
            for (int j = 0; j < cols; ++j) {
                const double u = uMin_ + (j + 0.5) * texelSize;
                const double bx = (u - uMin_) / coarse;
                const int bj = std::min(static_cast<int>(bx), baseCols - 2);
                const float fx = static_cast<float>(bx - bj);
                const cv::Vec3f top = b0[bj] + (b0[bj + 1] - b0[bj]) * fx;
                const cv::Vec3f bottom = b1[bj] + (b1[bj + 1] - b1[bj]) * fx;
                const cv::Vec3f c = texture.finish(top + (bottom - top) * fy, u, v);
                for (int k = 0; k < 3; ++k)
                    row[j][k] = cv::saturate_cast<ushort>(c[k] * 65535.0f);
            }
        }
    });
}

cv::Vec3f TextureMap::sample(double u, double v) const
{
    const double x = (u - uMin_) * scale_ - 0.5;
    const double y = (v - vMin_) * scale_ - 0.5;
    const int maxX = texels_.cols - 1, maxY = texels_.rows - 1;
    const double cx = std::min(std::max(x, 0.0), static_cast<double>(maxX));
    const double cy = std::min(std::max(y, 0.0), static_cast<double>(maxY));
    const int x0 = std::min(static_cast<int>(cx), maxX - 1);
    const int y0 = std::min(static_cast<int>(cy), maxY - 1);
    const float fx = static_cast<float>(cx - x0), fy = static_cast<float>(cy - y0);
    const cv::Vec3w* r0 = texels_.ptr<cv::Vec3w>(y0);
    const cv::Vec3w* r1 = texels_.ptr<cv::Vec3w>(y0 + 1);
    const float w00 = (1.0f - fx) * (1.0f - fy), w01 = fx * (1.0f - fy);
    const float w10 = (1.0f - fx) * fy, w11 = fx * fy;
    cv::Vec3f out;
    for (int k = 0; k < 3; ++k)
        out[k] = (w00 * r0[x0][k] + w01 * r0[x0 + 1][k] + w10 * r1[x0][k] + w11 * r1[x0 + 1][k])
                 * (1.0f / 65535.0f);
    return out;
}

} // namespace sim
} // namespace orb
