#include "StitchLib/mapping/RemapParts.h"

#include "StitchLib/blending/PlaneKernels.h"
#include "StitchLib/geometry/EqrToFisheye.h"
#include "StitchLib/geometry/ImageMapping.h"
#include "StitchLib/geometry/Rig.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace orb {
namespace BaseApi {

namespace {

// A rows x cols CV_8UC4 matrix of zeros (fully transparent). A large one is a
// fresh mapping, whose pages are only stored once a camera's region is written
// into them: each camera covers about a third of its part, so most of the
// part's transparent zeros never take memory, nor time to write.
cv::Mat transparentPart(int rows, int cols)
{
    cv::Mat part;
    PlaneKernels::createZeroPlane(part, rows, cols, CV_8UC4);
    return part;
}

// Share of a linear kernel at x that falls on samples 0 .. size - 1.
inline float insideShare(float x, int size)
{
    return std::min(1.0f, std::max(0.0f, std::min(x + 1.0f, static_cast<float>(size) - x)));
}

// Cubic resampling of a BGRA image into target. The image's border is replicated, so
// no zeros outside it darken (or, through the kernel's negative lobes, brighten) the
// samples near its edge; the rim then gets the alpha of linear resampling with a
// transparent border, and its colour is mixed with zeros in the same proportion.
void remapSharp(const cv::Mat& bgra, cv::Mat& target, const cv::Mat& map)
{
    cv::remap(bgra, target, map, cv::noArray(), cv::INTER_CUBIC, cv::BORDER_REPLICATE);
    cv::parallel_for_(cv::Range(0, target.rows), [&](const cv::Range& rows) {
        for (int r = rows.start; r < rows.end; ++r) {
            const cv::Vec2f* m = map.ptr<cv::Vec2f>(r);
            cv::Vec4b* p = target.ptr<cv::Vec4b>(r);
            for (int c = 0; c < target.cols; ++c) {
                const float share = insideShare(m[c][0], bgra.cols) * insideShare(m[c][1], bgra.rows);
                if (share >= 1.0f)
                    continue;
                const int alpha = static_cast<int>(std::lround(255.0f * share));
                for (int k = 0; k < 3; ++k)
                    p[c][k] = static_cast<uchar>((p[c][k] * alpha + 127) / 255);
                p[c][3] = static_cast<uchar>(alpha);
            }
        }
    });
}

} // namespace

std::vector<cv::Mat> remapPartsWithExtrinsics(const cv::Matx44f& extrinsic, const ScanImages& scan,
                                              const std::vector<CameraIntrinsics>& cameras,
                                              const std::vector<cv::Mat>& images, float maxAngle, bool sharp)
{
    if (images.size() < cameras.size())
        throw std::runtime_error("BaseApi remapPartsWithExtrinsics() fewer images than cameras");

    const int rows = scan.inverseDepth.rows;
    const int cols = scan.inverseDepth.cols;
    std::vector<cv::Mat> parts;
    cv::Mat map; // one buffer for every region of every camera

    for (std::size_t i = 0; i < cameras.size(); ++i) {
        const std::vector<cv::Rect> regions = Rig::partRegions(static_cast<int>(i), rows, cols);

        cv::Mat bgra;
        cv::cvtColor(images[i], bgra, cv::COLOR_BGR2BGRA);
        // A remap into a part view of another type would reallocate the view and leave
        // the part empty without a word.
        if (bgra.type() != CV_8UC4)
            throw std::runtime_error("BaseApi remapPartsWithExtrinsics() image " + std::to_string(i) +
                                     " is not an 8-bit colour image");

        auto mapper = makeEqrToFisheye(cameras[i], extrinsic, scan.inverseDepth, scan.validRows, maxAngle);
        cv::Mat part = transparentPart(rows, 2 * rows);

        for (const cv::Rect& region : regions) {
            if (region.width <= 0 || region.height <= 0)
                continue;
            ImageMapping::initMapParallel(region, mapper, map);
            cv::Mat target = part(region);
            if (sharp) {
                remapSharp(bgra, target, map);
                continue;
            }
            cv::remap(bgra, target, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
        }
        parts.push_back(part);
    }
    return parts;
}

} // namespace BaseApi
} // namespace orb
