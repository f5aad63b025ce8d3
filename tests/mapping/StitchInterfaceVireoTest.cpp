#include "StitchLib/mapping/StitchInterfaceVireo.h"
#include "StitchLib/mapping/FastStitch.h"
#include "tests/mapping/TestRig.h"

#include <gtest/gtest.h>

#include <memory>

namespace orb {
namespace {

std::vector<cv::Mat> texturedImages()
{
    std::vector<cv::Mat> images;
    cv::RNG rng(11);
    for (int i = 0; i < 4; ++i) {
        cv::Mat image(400, 400, CV_8UC3);
        rng.fill(image, cv::RNG::UNIFORM, 0, 256);
        images.push_back(image);
    }
    return images;
}

bool identical(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

TEST(StitchInterfaceVireo, FastStitchForwardsToTheFastStitch)
{
    std::vector<cv::Mat> images = texturedImages();
    std::vector<cv::Mat> originals;
    for (const cv::Mat& image : images)
        originals.push_back(image.clone());
    const auto rig = testrig::makeRig(100.f, 200.f, 200.f);

    std::unique_ptr<masterlib::StitchInterface> owner = std::make_unique<masterlib::StitchInterfaceVireo>(0);
    auto& stitcher = static_cast<masterlib::StitchInterfaceVireo&>(*owner);
    const cv::Mat panorama = stitcher.fastStitch(images, rig, 1.0f, 1000);
    ASSERT_EQ(panorama.size(), cv::Size(2000, 1000));
    ASSERT_EQ(panorama.type(), CV_8UC3);
    EXPECT_TRUE(identical(panorama, FastStitch::makeFastStitchImage(rig, 1000, images, 0)));
    // The float argument has no effect.
    EXPECT_TRUE(identical(panorama, stitcher.fastStitch(images, rig, 123.5f, 1000)));
    for (std::size_t i = 0; i < images.size(); ++i)
        EXPECT_TRUE(identical(images[i], originals[i])) << i;
}

TEST(StitchInterfaceVireo, LensVersionSetsTheFieldOfView)
{
    std::vector<cv::Mat> images = texturedImages();
    const auto rig = testrig::makeRig(100.f, 200.f, 200.f);
    masterlib::StitchInterfaceVireo narrow(0), wide(1);
    const cv::Mat a = narrow.fastStitch(images, rig, 1.0f, 200);
    const cv::Mat b = wide.fastStitch(images, rig, 1.0f, 200);
    EXPECT_TRUE(identical(a, FastStitch::makeFastStitchImage(rig, 200, images, 0)));
    EXPECT_TRUE(identical(b, FastStitch::makeFastStitchImage(rig, 200, images, 1)));
    // Row 2 looks about 88 degrees up: only the 95 degree lens sees it.
    EXPECT_EQ(cv::countNonZero(a.row(2).reshape(1)), 0);
    EXPECT_GT(cv::countNonZero(b.row(2).reshape(1)), 0);
}

} // namespace
} // namespace orb
