#include "StitchLib/blending/BlendingOpenCV.h"

#include "tests/blending/TestImages.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace orb {
namespace {

using namespace test;

std::vector<const uchar*> dataPointers(const std::vector<cv::Mat>& parts)
{
    std::vector<const uchar*> data;
    for (const cv::Mat& part : parts) {
        data.push_back(part.data);
    }
    return data;
}

// 255 where some part is fully opaque over its whole 3x3 neighbourhood inside
// the image, 0 elsewhere: the pixels that must end up in the panorama.
cv::Mat expectedAlpha(const std::vector<cv::Mat>& parts)
{
    const int rows = parts[0].rows, cols = parts[0].cols;
    cv::Mat alpha = filled(rows, cols, 0);
    for (const cv::Mat& part : parts) {
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) {
                bool opaque = true;
                for (int y = std::max(r - 1, 0); y <= std::min(r + 1, rows - 1); ++y) {
                    for (int x = std::max(c - 1, 0); x <= std::min(c + 1, cols - 1); ++x) {
                        opaque = opaque && part.at<cv::Vec4b>(y, x)[3] == 255;
                    }
                }
                alpha.at<uchar>(r, c) |= opaque ? 255 : 0;
            }
        }
    }
    return alpha;
}

TEST(BlendingOpenCVTest, RefusesOtherPartCountsAndTypesLeavingThePartsAlone)
{
    BlendingOpenCV blending;
    for (int count : {3, 5}) {
        std::vector<cv::Mat> parts = makeSyntheticRigParts(100);
        parts.push_back(parts[1]);
        parts.resize(count);
        const std::vector<const uchar*> data = dataPointers(parts);
        EXPECT_TRUE(blending.process(parts).empty()) << count << " parts";
        EXPECT_EQ(dataPointers(parts), data) << count << " parts";
    }

    std::vector<cv::Mat> parts = makeSyntheticRigParts(100);
    parts[2].convertTo(parts[2], CV_16UC4, 257.0);
    const std::vector<const uchar*> data = dataPointers(parts);
    EXPECT_EQ("MaskedImage MaskedImage(cv::Mat) image type not 8UC3 or 8UC4",
              messageOf([&] { blending.process(parts); }));
    EXPECT_EQ(dataPointers(parts), data);
    EXPECT_EQ(parts[2].type(), CV_16UC4);
}

TEST(BlendingOpenCVTest, FourPartsBlendIntoOpaqueUnionAndAreTakenOver)
{
    const int rows = 200;
    std::vector<cv::Mat> parts = makeSyntheticRigParts(rows);
    // Some panorama pixels seen by no camera at all.
    for (cv::Mat& part : parts) {
        part(cv::Rect(150, 120, 40, 30)).setTo(cv::Scalar::all(0));
    }
    const cv::Mat alpha = expectedAlpha(parts);
    const cv::Mat panorama = BlendingOpenCV().process(parts);

    EXPECT_TRUE(parts.empty());
    ASSERT_EQ(panorama.type(), CV_8UC4);
    ASSERT_EQ(panorama.size(), cv::Size(2 * rows, rows));
    cv::Mat resultAlpha;
    cv::extractChannel(panorama, resultAlpha, 3);
    EXPECT_TRUE(same(resultAlpha, alpha));
    EXPECT_GE(cv::countNonZero(alpha == 0), 40 * 30);
}

TEST(BlendingOpenCVTest, ConstantColourPassesThroughInChannelOrder)
{
    // Every camera sees the same flat colour: the blend must give it back in
    // the parts' channel order wherever the panorama is opaque.
    std::vector<cv::Mat> parts = makeSyntheticRigParts(100);
    const cv::Vec4b colour(20, 130, 240, 255);
    for (cv::Mat& part : parts) {
        part.forEach<cv::Vec4b>([&](cv::Vec4b& p, const int*) {
            if (p[3] != 0) {
                p = cv::Vec4b(colour[0], colour[1], colour[2], p[3]);
            }
        });
    }
    const cv::Mat panorama = BlendingOpenCV().process(parts);

    ASSERT_EQ(panorama.type(), CV_8UC4);
    int opaque = 0;
    for (int r = 0; r < panorama.rows; ++r) {
        for (int c = 0; c < panorama.cols; ++c) {
            const cv::Vec4b p = panorama.at<cv::Vec4b>(r, c);
            if (p[3] == 255) {
                ++opaque;
                for (int k = 0; k < 3; ++k) {
                    EXPECT_NEAR(p[k], colour[k], 2) << "row " << r << " column " << c << " channel " << k;
                }
            }
        }
    }
    EXPECT_GT(opaque, panorama.rows * panorama.cols / 2);
}

// Puts OpenCV's thread count back however the test ends.
class ThreadCountGuard {
public:
    ThreadCountGuard() : saved(cv::getNumThreads()) {}
    ~ThreadCountGuard() { cv::setNumThreads(saved); }
    ThreadCountGuard(const ThreadCountGuard&) = delete;
    ThreadCountGuard& operator=(const ThreadCountGuard&) = delete;

    const int saved;
};

// Masks, seams and spline split their work into planes, images and bands of
// rows that run on all cores; the panorama must not show how it was split,
// nor differ between calls on the same object.
TEST(BlendingOpenCVTest, RepeatedCallsAreBitIdenticalOnOneThreadAndOnAll)
{
    ThreadCountGuard threads;
    // 300 rows: five pyramid levels; the parts differ by parallax, so the
    // seams wander, and a hole seen by no camera leaves pixels uncovered.
    std::vector<cv::Mat> source = makeSyntheticRigParts(300, 11);
    for (cv::Mat& part : source) {
        part(cv::Rect(200, 150, 60, 40)).setTo(cv::Scalar::all(0));
    }
    BlendingOpenCV blending;
    const auto blendOn = [&](int count) {
        cv::setNumThreads(count);
        std::vector<cv::Mat> parts;
        for (const cv::Mat& part : source) {
            parts.push_back(part.clone());
        }
        return blending.process(parts);
    };
    const cv::Mat serial = blendOn(1);
    const cv::Mat parallel = blendOn(std::max(threads.saved, 1));
    ASSERT_EQ(serial.size(), cv::Size(600, 300));
    EXPECT_TRUE(same(serial, parallel));
    if (threads.saved < 2) {
        GTEST_SKIP() << "compared two calls on one thread only";
    }
}

} // namespace
} // namespace orb
