// The preview's fast stitch on 4:2:0 planes against the fast stitch in BGR.
#include "PlanarFastStitch.h"

#include "StitchLib/pipeline/StitchPipeline.h"
#include "tests/support/TestRig.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <stdexcept>
#include <vector>

namespace {

constexpr int kCameraSize = 256;

// Colours inside what 4:2:0 holds without clipping (the planes and the BGR pictures
// then carry the same picture), varying per camera, with detail at several scales so
// a misplaced map or plane shows.
cv::Mat cameraPicture(int camera)
{
    cv::Mat bgr(kCameraSize, kCameraSize, CV_8UC3);
    for (int y = 0; y < bgr.rows; ++y) {
        for (int x = 0; x < bgr.cols; ++x) {
            const double a = 0.05 * x + 0.9 * camera, b = 0.03 * y - 0.4 * camera;
            bgr.at<cv::Vec3b>(y, x) = cv::Vec3b(cv::saturate_cast<uchar>(128 + 90 * std::sin(a)),
                                                cv::saturate_cast<uchar>(128 + 90 * std::cos(b)),
                                                cv::saturate_cast<uchar>(128 + 90 * std::sin(a + b)));
        }
    }
    return bgr;
}

struct Planes {
    cv::Mat y, u, v;
};
Planes planesOf(const cv::Mat& i420, int height)
{
    const int width = 2 * height, luma = width * height;
    return {i420.rowRange(0, height).clone(),
            cv::Mat(height / 2, width / 2, CV_8UC1, const_cast<uchar*>(i420.data) + luma).clone(),
            cv::Mat(height / 2, width / 2, CV_8UC1, const_cast<uchar*>(i420.data) + luma + luma / 4).clone()};
}

// The same panorama as the BGR fast stitch, plane by plane, for heights whose sectors
// start on even and on odd columns; black where no camera reaches.
TEST(PlanarFastStitch, MatchesTheBgrFastStitchPlaneByPlane)
{
    const orb::Rig rig(orb::testrig::makeRig(80.f, 127.5f, 127.5f, 0.05f), 0);
    std::vector<cv::Mat> bgr, i420;
    for (int k = 0; k < 4; ++k) {
        bgr.push_back(cameraPicture(k));
        cv::Mat planes;
        cv::cvtColor(bgr.back(), planes, cv::COLOR_BGR2YUV_I420);
        i420.push_back(planes);
    }
    orb::pipeline::StitchPipeline pipeline(rig);
    for (int height : {64, 70}) {
        SCOPED_TRACE(height);
        const batch::PlanarFastStitch stitch(rig, height);
        const cv::Mat ours = stitch.stitch(i420, cv::Size(kCameraSize, kCameraSize));
        ASSERT_EQ(ours.size(), cv::Size(2 * height, height * 3 / 2));
        cv::Mat reference;
        cv::cvtColor(pipeline.fastStitch(bgr, height), reference, cv::COLOR_BGR2YUV_I420);
        const Planes got = planesOf(ours, height), want = planesOf(reference, height);
        // Measured 56 dB on luma and 36.5 to 38.5 dB on chroma (the two sides halve the
        // colour resolution at different steps); a chroma map off by a quarter of a
        // sample loses 1 to 2 dB, a swapped or misplaced plane far more.
        EXPECT_GT(cv::PSNR(got.y, want.y), 50.0);
        EXPECT_GT(cv::PSNR(got.u, want.u), 36.0);
        EXPECT_GT(cv::PSNR(got.v, want.v), 36.0);
        // U and V are not swapped.
        EXPECT_LT(cv::PSNR(got.u, want.v), 30.0);
    }
    // At height 70 the sectors leave the last luma column to no camera (its chroma
    // samples go with their left-hand luma pixels).
    const cv::Mat black = batch::PlanarFastStitch(rig, 70).stitch(i420, cv::Size(kCameraSize, kCameraSize));
    EXPECT_EQ(cv::countNonZero(planesOf(black, 70).y.col(139) != 16), 0);
}

TEST(PlanarFastStitch, RefusesOddSizesAndPicturesOfAnotherSize)
{
    const orb::Rig rig(orb::testrig::makeRig(80.f, 127.5f, 127.5f, 0.05f), 0);
    EXPECT_THROW(batch::PlanarFastStitch(rig, 65), std::invalid_argument);
    const batch::PlanarFastStitch stitch(rig, 64);
    std::vector<cv::Mat> i420(4, cv::Mat(kCameraSize * 3 / 2, kCameraSize, CV_8UC1, cv::Scalar(100)));
    EXPECT_NO_THROW(stitch.stitch(i420, cv::Size(kCameraSize, kCameraSize)));
    i420[2] = cv::Mat(kCameraSize, kCameraSize, CV_8UC1, cv::Scalar(100)); // luma only
    EXPECT_THROW(stitch.stitch(i420, cv::Size(kCameraSize, kCameraSize)), std::invalid_argument);
    i420.pop_back();
    EXPECT_THROW(stitch.stitch(i420, cv::Size(kCameraSize, kCameraSize)), std::invalid_argument);
}

} // namespace
