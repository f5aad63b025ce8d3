#include "StitchLib/mapping/FastStitch.h"
#include "BaseLib/LensParameters.h"
#include "tests/support/TestRig.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace orb {
namespace {

const double kPi = 3.14159265358979323846;

// Distinct colours, one per camera; a lens of 100 px/rad on a 400 x 400 image keeps
// every direction within 95 degrees of the axis well inside the image.
const cv::Vec3b kColours[4] = {{0, 0, 200}, {0, 200, 0}, {200, 0, 0}, {200, 200, 0}};

std::vector<cv::Mat> constantImages()
{
    std::vector<cv::Mat> images;
    for (const cv::Vec3b& colour : kColours)
        images.emplace_back(400, 400, CV_8UC3, cv::Scalar(colour[0], colour[1], colour[2]));
    return images;
}

// Camera index whose colour a pixel holds, -1 for black, -2 for anything else.
int owner(const cv::Vec3b& pixel)
{
    if (pixel == cv::Vec3b(0, 0, 0))
        return -1;
    for (int i = 0; i < 4; ++i)
        if (pixel == kColours[i])
            return i;
    return -2;
}

TEST(FastStitch, SectorColumns)
{
    struct Sector {
        int end; // first column past the sector
        int camera;
    };
    struct Case {
        int height;
        std::vector<int> rows; // rows every camera sees across its whole sector
        std::vector<Sector> sectors;
    };
    // A quarter q = H / 2 columns per camera from s = q / 2; camera 2 wraps around.
    // At height 6 (q = 3, s = 1) the last column belongs to no camera and stays black.
    const Case cases[] = {
        {1000, {280, 500, 719}, {{250, 2}, {750, 3}, {1250, 0}, {1750, 1}, {2000, 2}}},
        {4, {1, 2}, {{1, 2}, {3, 3}, {5, 0}, {7, 1}, {8, 2}}},
        {6, {2, 3}, {{1, 2}, {4, 3}, {7, 0}, {10, 1}, {11, 2}, {12, -1}}},
    };
    std::vector<cv::Mat> images = constantImages();
    const auto rig = testrig::makeRig(100.f, 200.f, 200.f);
    for (const Case& test : cases) {
        const cv::Mat panorama = FastStitch::makeFastStitchImage(rig, test.height, images, 0);
        ASSERT_EQ(panorama.type(), CV_8UC3);
        ASSERT_EQ(panorama.size(), cv::Size(2 * test.height, test.height));
        for (int row : test.rows) {
            int c = 0;
            for (const Sector& sector : test.sectors)
                for (; c < sector.end; ++c)
                    ASSERT_EQ(owner(panorama.at<cv::Vec3b>(row, c)), sector.camera)
                        << test.height << ": " << row << "," << c;
        }
        if (test.height == 6) {
            for (int row = 0; row < 6; ++row)
                EXPECT_EQ(owner(panorama.at<cv::Vec3b>(row, 11)), -1);
        } else if (test.height == 1000) {
            // Near the zenith every direction is beyond the 83 degree lens: black.
            for (int c = 0; c < 2000; c += 50)
                EXPECT_EQ(owner(panorama.at<cv::Vec3b>(0, c)), -1) << c;
        }
    }
}

TEST(FastStitch, IdentityCameraCentredInThePanorama)
{
    const int H = 100, W = 200;
    // Half a panorama pixel (pi / W radians) is half an image pixel: the four middle
    // panorama pixels sample the image centre's four diagonal half-pixel neighbours.
    const float k0 = static_cast<float>(0.5 * W / kPi);
    std::vector<CameraIntrinsics> rig = testrig::makeRig(k0, 50.f, 40.f);
    std::vector<cv::Mat> images;
    for (int i = 0; i < 4; ++i)
        images.push_back(cv::Mat::zeros(80, 100, CV_8UC3));
    images[0].at<cv::Vec3b>(40, 50) = cv::Vec3b(255, 255, 255);

    const cv::Mat panorama = FastStitch::makeFastStitchImage(rig, H, images, 0);
    cv::Mat grey;
    cv::extractChannel(panorama, grey, 0);
    const cv::Mat middle = grey(cv::Rect(W / 2 - 1, H / 2 - 1, 2, 2));
    double lowest, highest;
    cv::minMaxLoc(middle, &lowest, &highest);
    EXPECT_GE(lowest, 56);
    EXPECT_LE(highest, 72);
    EXPECT_LE(highest - lowest, 2);
    // The dot shows nowhere else.
    EXPECT_EQ(cv::sum(grey)[0], cv::sum(middle)[0]);
}

TEST(FastStitch, FieldOfViewFollowsLensVersion)
{
    std::vector<cv::Mat> images = constantImages();
    const auto rig = testrig::makeRig(100.f, 200.f, 200.f);
    // Row 2 of 200 looks 87.75 degrees up: beyond 83, within 95 degrees.
    const cv::Mat narrow = FastStitch::makeFastStitchImage(rig, 200, images, 0);
    const cv::Mat wide = FastStitch::makeFastStitchImage(rig, 200, images, 1);
    EXPECT_EQ(owner(narrow.at<cv::Vec3b>(2, 200)), -1);
    EXPECT_EQ(owner(wide.at<cv::Vec3b>(2, 200)), 0);
    EXPECT_EQ(owner(wide.at<cv::Vec3b>(2, 300)), 1);
}

TEST(FastStitch, RejectsUnusableImages)
{
    const auto rig = testrig::makeRig(100.f, 200.f, 200.f);
    std::vector<cv::Mat> images = constantImages();
    images[1] = cv::Mat(400, 400, CV_8UC4, cv::Scalar::all(9)); // read with its alpha
    EXPECT_THROW(FastStitch::makeFastStitchImage(rig, 40, images, 0), cv::Exception);

    images = constantImages();
    images[3] = cv::Mat(); // missing file
    EXPECT_THROW(FastStitch::makeFastStitchImage(rig, 40, images, 0), cv::Exception);

    images = constantImages();
    images.pop_back();
    EXPECT_THROW(FastStitch::makeFastStitchImage(rig, 40, images, 0), std::runtime_error);

    // Three-channel images of another depth are saturated to 8 bits.
    images = constantImages();
    images[0] = cv::Mat(400, 400, CV_16UC3, cv::Scalar(1000, 7, 0));
    const cv::Mat panorama = FastStitch::makeFastStitchImage(rig, 40, images, 0);
    EXPECT_EQ(panorama.at<cv::Vec3b>(20, 40), cv::Vec3b(255, 7, 0));
}

} // namespace
} // namespace orb
