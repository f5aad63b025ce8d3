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

ScanImages makeScanOfSize(int rows, float inverseDepth)
{
    ScanImages scan;
    scan.inverseDepth = cv::Mat(rows, 2 * rows, CV_32F, cv::Scalar(inverseDepth));
    scan.intensity = cv::Mat::zeros(rows, 2 * rows, CV_8U);
    scan.validRows = rows;
    return scan;
}

TEST(RemapParts, SharpResamplingKeepsTheRimOfLinearAndNoColourFromOutsideTheImage)
{
    // Images cut by the sensor above and below (100 pixels from the centre at 80 pixels
    // per radian is 72 degrees, inside the lens's 83), so every part has a rim along
    // the image's edge; cameras off the origin, at a near depth.
    const std::vector<CameraIntrinsics> rig = testrig::makeRig(80.f, 180.f, 100.f, 0.1f);
    const cv::Vec3b grey(90, 140, 200);
    const std::vector<cv::Mat> uniform(4, cv::Mat(200, 360, CV_8UC3, cv::Scalar(grey[0], grey[1], grey[2])));
    const ScanImages scan = makeScanOfSize(200, 0.5f);
    const float maxAngle = maxAngleForLensVersion(1);
    const auto sharp = BaseApi::remapPartsWithExtrinsics(kIdentity, scan, rig, uniform, maxAngle, true);
    const auto linear = BaseApi::remapPartsWithExtrinsics(kIdentity, scan, rig, uniform, maxAngle);
    for (int i = 0; i < 4; ++i) {
        int rim = 0;
        for (int r = 0; r < sharp[i].rows; ++r) {
            for (int c = 0; c < sharp[i].cols; ++c) {
                const cv::Vec4b p = sharp[i].at<cv::Vec4b>(r, c);
                const int alpha = p[3];
                // The coverage and its fade are those of linear resampling (which
                // quantises positions to 1/32 of a pixel).
                ASSERT_NEAR(alpha, linear[i].at<cv::Vec4b>(r, c)[3], 8) << i << " at " << r << "," << c;
                if (alpha == 0)
                    continue;
                // A uniform image stays uniform up to its edge: the cubic kernel's
                // lobes beyond the edge neither darken nor brighten it. The rim's
                // colour is mixed with zeros in proportion to its alpha.
                for (int k = 0; k < 3; ++k) {
                    if (alpha == 255) {
                        ASSERT_EQ(p[k], grey[k]) << i << " at " << r << "," << c;
                    } else if (alpha >= 64) {
                        ASSERT_NEAR(p[k] * 255.0 / alpha, grey[k], 3.0) << i << " at " << r << "," << c;
                    }
                }
                rim += alpha < 255;
            }
        }
        EXPECT_GT(rim, 100) << i; // the rim was really compared
    }
}

TEST(RemapParts, SharpResamplingKeepsMoreDetailThanLinear)
{
    // The panorama samples the cameras more finely than their pixels (2.2 against 1.4
    // per degree): linear interpolation then blurs noise, a cubic kernel much less.
    const std::vector<CameraIntrinsics> rig = testrig::makeRig(80.f, 180.f, 150.f, 0.1f);
    const std::vector<cv::Mat> images = testrig::randomImages(300, 360, 7);
    const ScanImages scan = makeScanOfSize(400, 0.5f);
    const float maxAngle = maxAngleForLensVersion(1);
    const auto sharp = BaseApi::remapPartsWithExtrinsics(kIdentity, scan, rig, images, maxAngle, true);
    const auto linear = BaseApi::remapPartsWithExtrinsics(kIdentity, scan, rig, images, maxAngle);
    for (int i = 0; i < 4; ++i) {
        std::vector<cv::Mat> s, l;
        cv::split(sharp[i], s);
        cv::split(linear[i], l);
        const cv::Mat opaque = (s[3] == 255) & (l[3] == 255);
        ASSERT_GT(cv::countNonZero(opaque), 10000) << i;
        cv::Scalar meanSharp, spreadSharp, meanLinear, spreadLinear;
        cv::meanStdDev(s[1], meanSharp, spreadSharp, opaque);
        cv::meanStdDev(l[1], meanLinear, spreadLinear, opaque);
        EXPECT_NEAR(meanSharp[0], meanLinear[0], 1.0) << i;
        EXPECT_GT(spreadSharp[0], 1.1 * spreadLinear[0]) << i;
    }
}

TEST(RemapParts, BandsGiveTheBitsOfOneRemapOfEachRegion)
{
    // A depth that varies from pixel to pixel, a height whose regions end in a
    // short band, valid rows ending inside it, a 95 degree lens that sees
    // down to them: each region must hold exactly what one remap of the whole
    // region over its depth-aligned map gives, and nothing outside.
    constexpr int rows = 109;
    ScanImages scan = makeScanOfSize(rows, 0.f);
    cv::randu(scan.inverseDepth, cv::Scalar(0.0), cv::Scalar(0.8));
    scan.validRows = rows - 2;
    const std::vector<CameraIntrinsics> rig = testrig::makeRig(80.f, 180.f, 150.f, 0.1f);
    const std::vector<cv::Mat> images = testrig::randomImages(300, 360, 11);
    const float maxAngle = maxAngleForLensVersion(1);
    const auto parts = BaseApi::remapPartsWithExtrinsics(kIdentity, scan, rig, images, maxAngle);
    ASSERT_EQ(parts.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        cv::Mat bgra;
        cv::cvtColor(images[i], bgra, cv::COLOR_BGR2BGRA);
        cv::Mat expected = cv::Mat::zeros(rows, 2 * rows, CV_8UC4);
        for (const cv::Rect& region : Rig::partRegions(i, rows, 2 * rows)) {
            auto mapper = makeEqrToFisheye(rig[i], kIdentity, scan.inverseDepth, scan.validRows, maxAngle);
            cv::Mat map;
            ImageMapping::initMap(region, mapper, map);
            cv::Mat target = expected(region);
            cv::remap(bgra, target, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
        }
        EXPECT_EQ(cv::norm(parts[i], expected, cv::NORM_INF), 0.0) << i;
        EXPECT_GT(cv::countNonZero(expected.reshape(1)), rows * 40) << i; // real content was compared
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
