#include "StitchLib/pipeline/DepthStage.h"

#include "StitchLib/stereo/ScanGeneration.h"

namespace orb {
namespace pipeline {

ScanImages ProfileDepthStage::estimate(const Rig& rig, const std::vector<cv::Mat>& images, int height)
{
    return Stereo::generateScan(images, rig.cameras(), height, rig.maxAngle());
}

} // namespace pipeline
} // namespace orb
