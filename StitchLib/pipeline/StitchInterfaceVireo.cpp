#include "StitchLib/pipeline/StitchInterfaceVireo.h"

#include "StitchLib/mapping/FastStitch.h"
#include "StitchLib/pipeline/DepthAlignedImages.h"
#include "StitchLib/pipeline/StitchPipeline.h"

namespace orb {
namespace masterlib {

StitchInterfaceVireo::StitchInterfaceVireo(int lensVersion) : lensVersion(lensVersion) {}

StitchInterfaceVireo::~StitchInterfaceVireo() = default;

std::vector<cv::Mat> StitchInterfaceVireo::stitch(std::vector<cv::Mat>& images,
                                                  std::vector<CameraIntrinsics> intrinsics)
{
    return Stereo::makeStereoDepthAlignedImages(intrinsics, images, pipeline::kFullStitchHeight, lensVersion);
}

cv::Mat StitchInterfaceVireo::fastStitch(std::vector<cv::Mat>& images, const std::vector<CameraIntrinsics>& intrinsics,
                                         float, int height)
{
    return FastStitch::makeFastStitchImage(intrinsics, height, images, lensVersion);
}

} // namespace masterlib
} // namespace orb
