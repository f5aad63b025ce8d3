#include "StitchLib/mapping/StitchInterfaceVireo.h"

#include "StitchLib/mapping/FastStitch.h"
#include "StitchLib/stereo/DepthAlignedImages.h"

namespace orb {
namespace masterlib {

namespace {
// Height of the full stitch's panorama parts.
constexpr int kFullStitchHeight = 5000;
} // namespace

StitchInterfaceVireo::StitchInterfaceVireo(int lensVersion) : lensVersion(lensVersion) {}

StitchInterfaceVireo::~StitchInterfaceVireo() = default;

std::vector<cv::Mat> StitchInterfaceVireo::stitch(std::vector<cv::Mat>& images,
                                                  std::vector<CameraIntrinsics> intrinsics)
{
    return Stereo::makeStereoDepthAlignedImages(intrinsics, images, kFullStitchHeight, lensVersion);
}

cv::Mat StitchInterfaceVireo::fastStitch(std::vector<cv::Mat>& images, const std::vector<CameraIntrinsics>& intrinsics,
                                         float, int height)
{
    return FastStitch::makeFastStitchImage(intrinsics, height, images, lensVersion);
}

} // namespace masterlib
} // namespace orb
