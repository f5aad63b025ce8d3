#include "StitchLib/pipeline/DepthAlignedImages.h"

#include "StitchLib/pipeline/StitchPipeline.h"

namespace orb {
namespace Stereo {

std::vector<cv::Mat> makeStereoDepthAlignedImages(const std::vector<CameraIntrinsics>& cameras,
                                                  const std::vector<cv::Mat>& images, int height, int lensVersion)
{
    // The rig checks the lens version (an assertion) before any image work.
    pipeline::StitchPipeline stitchPipeline{Rig(cameras, lensVersion)};
    return stitchPipeline.depthAlignedParts(images, height);
}

} // namespace Stereo
} // namespace orb
