#pragma once

#include "StitchLib/pipeline/StitchInterface.h"

namespace orb {
namespace masterlib {

// The four-camera rig. The lens version selects the lenses' field-of-view limit and,
// in the full stitch, whether the ground plane is added (version 1 only).
class StitchInterfaceVireo final : public StitchInterface {
public:
    explicit StitchInterfaceVireo(int lensVersion);
    ~StitchInterfaceVireo() override;

    // Full stitch at 5000 x 10000: the four depth-aligned parts, not yet blended.
    std::vector<cv::Mat> stitch(std::vector<cv::Mat>& images, std::vector<CameraIntrinsics> intrinsics) override;

    // Fast stitch: the finished CV_8UC3 panorama of `height` rows. The float argument
    // has no effect.
    cv::Mat fastStitch(std::vector<cv::Mat>& images, const std::vector<CameraIntrinsics>& intrinsics, float,
                       int height);

private:
    int lensVersion;
};

} // namespace masterlib
} // namespace orb
