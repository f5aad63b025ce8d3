#include "StitchLib/pipeline/DepthAlignedImages.h"

#include "BaseLib/LensParameters.h"
#include "StitchLib/mapping/RemapParts.h"
#include "StitchLib/stereo/GroundPlane.h"
#include "StitchLib/stereo/ScanGeneration.h"
#include "tests/support/SyntheticRig.h"

#include <gtest/gtest.h>

using namespace orb;

namespace {

int differingPixels(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    return cv::countNonZero(diff.reshape(1));
}

} // namespace

TEST(DepthAlignedImages, GroundPlaneOnlyForLensVersionOne)
{
    const int height = 200;
    synthetic::RigLayout layout;
    layout.pitch = -20.0f; // look down so the ground rows carry image content
    const std::vector<CameraIntrinsics> cameras = synthetic::makeRig(layout);
    const std::vector<cv::Mat> images =
        synthetic::renderSphere(cameras, layout, synthetic::DirectionTexture(0.7), 2.0);

    for (int lensVersion : {0, 1}) {
        const std::vector<cv::Mat> parts = Stereo::makeStereoDepthAlignedImages(cameras, images, height, lensVersion);
        ASSERT_EQ(parts.size(), 4u);
        for (const cv::Mat& part : parts) {
            EXPECT_EQ(part.rows, height);
            EXPECT_EQ(part.cols, 2 * height);
            EXPECT_EQ(part.type(), CV_8UC4);
            EXPECT_GT(cv::countNonZero(part.reshape(1)), 0);
        }

        const float maxAngle = maxAngleForLensVersion(lensVersion);
        const ScanImages measured = Stereo::generateScan(images, cameras, height, maxAngle);
        ScanImages grounded = measured;
        grounded.inverseDepth = measured.inverseDepth.clone();
        Stereo::addGroundPlane(grounded);
        const std::vector<cv::Mat> plain =
            BaseApi::remapPartsWithExtrinsics(cv::Matx44f::eye(), measured, cameras, images, maxAngle);
        const std::vector<cv::Mat> withGround =
            BaseApi::remapPartsWithExtrinsics(cv::Matx44f::eye(), grounded, cameras, images, maxAngle);

        const cv::Range ground(150, height); // 45 degrees below the horizon and lower
        int groundDifference = 0;
        for (int i = 0; i < 4; ++i) {
            const std::vector<cv::Mat>& expected = lensVersion == 1 ? withGround : plain;
            EXPECT_EQ(differingPixels(parts[i], expected[i]), 0) << "lens " << lensVersion << " part " << i;
            groundDifference += differingPixels(plain[i].rowRange(ground), withGround[i].rowRange(ground));
            // Above the blend band the plane changes nothing.
            EXPECT_EQ(differingPixels(plain[i].rowRange(0, 144), withGround[i].rowRange(0, 144)), 0);
        }
        // The plane really moves the lower rows, so the comparison above tells
        // the two lens versions apart.
        EXPECT_GT(groundDifference, 1000) << "lens " << lensVersion;
    }
}

TEST(DepthAlignedImages, ScanFailureReachesTheCaller)
{
    synthetic::RigLayout layout;
    const std::vector<CameraIntrinsics> cameras = synthetic::makeRig(layout);
    std::vector<cv::Mat> images(4, cv::Mat(64, 64, CV_8UC3, cv::Scalar::all(50)));
    images[3] = cv::Mat();
    EXPECT_THROW(Stereo::makeStereoDepthAlignedImages(cameras, images, 100, 0), cv::Exception);
}
