#include "StitchLib/pipeline/StitchInterfaceVireo.h"
#include "StitchLib/mapping/FastStitch.h"
#include "tests/support/TestRig.h"

#include <gtest/gtest.h>

#include <memory>

namespace orb {
namespace {

bool identical(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

TEST(StitchInterfaceVireo, FastStitchForwardsWithItsLensVersion)
{
    std::vector<cv::Mat> images = testrig::randomImages(400, 400, 11);
    std::vector<cv::Mat> originals;
    for (const cv::Mat& image : images)
        originals.push_back(image.clone());
    const auto rig = testrig::makeRig(100.f, 200.f, 200.f);

    // The two lens versions differ at height 200 (row 2 looks about 88 degrees up).
    for (int lensVersion : {0, 1}) {
        std::unique_ptr<masterlib::StitchInterface> owner =
            std::make_unique<masterlib::StitchInterfaceVireo>(lensVersion);
        auto& stitcher = static_cast<masterlib::StitchInterfaceVireo&>(*owner);
        const cv::Mat panorama = stitcher.fastStitch(images, rig, 1.0f, 200);
        ASSERT_EQ(panorama.size(), cv::Size(400, 200));
        ASSERT_EQ(panorama.type(), CV_8UC3);
        EXPECT_TRUE(identical(panorama, FastStitch::makeFastStitchImage(rig, 200, images, lensVersion)));
        // The float argument has no effect.
        EXPECT_TRUE(identical(panorama, stitcher.fastStitch(images, rig, 123.5f, 200)));
    }
    for (std::size_t i = 0; i < images.size(); ++i)
        EXPECT_TRUE(identical(images[i], originals[i])) << i;
}

} // namespace
} // namespace orb
