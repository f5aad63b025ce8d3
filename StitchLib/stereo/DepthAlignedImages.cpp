#include "StitchLib/stereo/DepthAlignedImages.h"

#include "BaseLib/LensParameters.h"
#include "StitchLib/mapping/RemapParts.h"
#include "StitchLib/stereo/GroundPlane.h"
#include "StitchLib/stereo/ScanGeneration.h"
#include "StitchLib/stereo/ScanImages.h"

namespace orb {
namespace Stereo {

std::vector<cv::Mat> makeStereoDepthAlignedImages(const std::vector<CameraIntrinsics>& cameras,
                                                  const std::vector<cv::Mat>& images, int height, int lensVersion)
{
    // An unknown lens version stops here, before any image work.
    const float maxAngle = maxAngleForLensVersion(lensVersion);
    ScanImages scan = generateScan(images, cameras, height, maxAngle);
    // Only the wide lens sees the ground under the rig well enough for the
    // stereo rows there to be replaced by a plane.
    if (lensVersion == 1)
        addGroundPlane(scan);
    return BaseApi::remapPartsWithExtrinsics(cv::Matx44f::eye(), scan, cameras, images, maxAngle);
}

} // namespace Stereo
} // namespace orb
