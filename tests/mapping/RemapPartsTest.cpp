#include "StitchLib/mapping/RemapParts.h"
#include "StitchLib/geometry/Rig.h"
#include "StitchLib/geometry/EqrToFisheye.h"
#include "StitchLib/geometry/ImageMapping.h"
#include "BaseLib/LensParameters.h"
#include "tests/support/TestRig.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <stdexcept>

namespace orb {
namespace {

const cv::Matx44f kIdentity = cv::Matx44f::eye();
constexpr int H = 100, W = 200;

// Column ranges [first, end) below the top strip for a 100 x 200 part: a quarter is
// 50 columns, the margin 5, so a region is 60 wide; the top strip is one row.
struct Span {
    int first;
    int end;
};
const std::vector<Span> kSpans[4] = {{{70, 130}}, {{120, 180}}, {{0, 30}, {170, 200}}, {{20, 80}}};

bool inRegions(int camera, int row, int col)
{
    if (row < 1)
        return true;
    for (const Span& span : kSpans[camera])
        if (col >= span.first && col < span.end)
            return true;
    return false;
}

ScanImages makeScan(float inverseDepth, int validRows = H)
{
    ScanImages scan;
    scan.inverseDepth = cv::Mat(H, W, CV_32F, cv::Scalar(inverseDepth));
    scan.intensity = cv::Mat::zeros(H, W, CV_8U);
    scan.validRows = validRows;
    return scan;
}

TEST(RemapParts, RegionsOfTheFullSizePart)
{
    const std::vector<cv::Rect> top{cv::Rect(0, 0, 10000, 50)};
    auto with = [&top](std::vector<cv::Rect> rest) {
        rest.insert(rest.begin(), top.begin(), top.end());
        return rest;
    };
    EXPECT_EQ(Rig::partRegions(0, 5000, 10000), with({cv::Rect(3500, 50, 3000, 4950)}));
    EXPECT_EQ(Rig::partRegions(1, 5000, 10000), with({cv::Rect(6000, 50, 3000, 4950)}));
    EXPECT_EQ(Rig::partRegions(2, 5000, 10000),
              with({cv::Rect(0, 50, 1500, 4950), cv::Rect(8500, 50, 1500, 4950)}));
    EXPECT_EQ(Rig::partRegions(3, 5000, 10000), with({cv::Rect(1000, 50, 3000, 4950)}));
}

TEST(RemapParts, ZeroDepthEqualsPlainRemapWithinRegionsTransparentOutside)
{
    // Textured images and cameras off the rig origin, so a wrong depth would show.
    const std::vector<cv::Mat> images = testrig::randomImages(300, 360, 3);
    std::vector<CameraIntrinsics> rig = testrig::makeRig(80.f, 180.f, 150.f, 0.1f);
    const float maxAngle = maxAngleForLensVersion(1);
    const auto parts = BaseApi::remapPartsWithExtrinsics(kIdentity, makeScan(0.f), rig, images, maxAngle);
    // A near scene moves the content: the depth is really used.
    const auto near = BaseApi::remapPartsWithExtrinsics(kIdentity, makeScan(1.f), rig, images, maxAngle);
    ASSERT_EQ(parts.size(), 4u);

    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(parts[i].type(), CV_8UC4);
        ASSERT_EQ(parts[i].size(), cv::Size(W, H));
        auto plain = makeEqrToFisheye(rig[i], kIdentity, H, W, maxAngle);
        cv::Mat map, bgra, expected;
        ImageMapping::initMap(cv::Rect(0, 0, W, H), plain, map);
        cv::cvtColor(images[i], bgra, cv::COLOR_BGR2BGRA);
        cv::remap(bgra, expected, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
        int compared = 0;
        for (int r = 0; r < H; ++r) {
            for (int c = 0; c < W; ++c) {
                const cv::Vec4b want = inRegions(i, r, c) ? expected.at<cv::Vec4b>(r, c) : cv::Vec4b(0, 0, 0, 0);
                ASSERT_EQ(parts[i].at<cv::Vec4b>(r, c), want) << "camera " << i << " at " << r << "," << c;
                compared += want[3] == 255;
            }
        }
        EXPECT_GT(compared, 60 * 80) << i; // the comparison covered real content
        // With a 95 degree lens the one-row top strip is opaque across the full width.
        std::vector<cv::Mat> channels;
        cv::split(parts[i].row(0), channels);
        EXPECT_EQ(cv::countNonZero(channels[3] == 255), W) << i;
        EXPECT_GT(cv::norm(near[i], parts[i], cv::NORM_L1), 0.0) << i;
    }
}

TEST(RemapParts, RowsBelowValidRowsAndBeyondTheLensStayTransparent)
{
    const auto parts = BaseApi::remapPartsWithExtrinsics(kIdentity, makeScan(0.f, H - 10),
                                                         testrig::makeRig(100.f, 200.f, 200.f), testrig::randomImages(400, 400, 5),
                                                         maxAngleForLensVersion(0));
    for (int i = 0; i < 4; ++i) {
        // Row 0 looks 89 degrees up: beyond an 83 degree lens everywhere.
        EXPECT_EQ(cv::countNonZero(parts[i].row(0).reshape(1)), 0) << i;
        EXPECT_EQ(cv::countNonZero(parts[i].rowRange(H - 10, H).reshape(1)), 0) << i;
        EXPECT_GT(cv::countNonZero(parts[i].row(H - 11).reshape(1)), 0) << i;
    }
}

TEST(RemapParts, RejectsImagesItCannotPlace)
{
    const auto rig = testrig::makeRig(100.f, 200.f, 200.f);
    std::vector<cv::Mat> images = testrig::randomImages(400, 400, 5);
    images.pop_back();
    EXPECT_THROW(BaseApi::remapPartsWithExtrinsics(kIdentity, makeScan(0.f), rig, images, 1.4486f),
                 std::runtime_error);

    // A 16-bit image would not fit the 8-bit part; it must not leave a silently empty part.
    images = testrig::randomImages(400, 400, 5);
    images[2] = cv::Mat(400, 400, CV_16UC3, cv::Scalar::all(1000));
    EXPECT_THROW(BaseApi::remapPartsWithExtrinsics(kIdentity, makeScan(0.f), rig, images, 1.4486f),
                 std::runtime_error);

    images = testrig::randomImages(400, 400, 5);
    images[1] = cv::Mat();
    EXPECT_THROW(BaseApi::remapPartsWithExtrinsics(kIdentity, makeScan(0.f), rig, images, 1.4486f), cv::Exception);
}

} // namespace
} // namespace orb
