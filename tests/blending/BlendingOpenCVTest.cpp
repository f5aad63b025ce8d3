#include "StitchLib/blending/BlendingOpenCV.h"

#include "tests/blending/SyntheticRigParts.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace orb {
namespace {

std::vector<const unsigned char*> dataPointers(const std::vector<cv::Mat>& parts)
{
    std::vector<const unsigned char*> data;
    for (const cv::Mat& part : parts) {
        data.push_back(part.data);
    }
    return data;
}

std::vector<cv::Mat> deepCopy(const std::vector<cv::Mat>& parts)
{
    std::vector<cv::Mat> copy;
    for (const cv::Mat& part : parts) {
        copy.push_back(part.clone());
    }
    return copy;
}

// 255 where some part is fully opaque over its whole 3x3 neighbourhood inside
// the image, 0 elsewhere: the pixels that must end up in the panorama.
cv::Mat expectedAlpha(const std::vector<cv::Mat>& parts)
{
    const int rows = parts[0].rows, cols = parts[0].cols;
    cv::Mat alpha(rows, cols, CV_8UC1, cv::Scalar(0));
    for (const cv::Mat& part : parts) {
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) {
                bool opaque = true;
                for (int y = std::max(r - 1, 0); y <= std::min(r + 1, rows - 1); ++y) {
                    for (int x = std::max(c - 1, 0); x <= std::min(c + 1, cols - 1); ++x) {
                        opaque = opaque && part.at<cv::Vec4b>(y, x)[3] == 255;
                    }
                }
                if (opaque) {
                    alpha.at<unsigned char>(r, c) = 255;
                }
            }
        }
    }
    return alpha;
}

TEST(BlendingOpenCVTest, OtherThanFourPartsGiveNothingAndKeepTheParts)
{
    for (int count : {3, 5}) {
        std::vector<cv::Mat> parts = makeSyntheticRigParts(100);
        parts.push_back(parts[1]);
        parts.resize(count);
        const std::vector<const unsigned char*> data = dataPointers(parts);

        BlendingOpenCV blending;
        EXPECT_TRUE(blending.process(parts).empty()) << count << " parts";
        EXPECT_EQ(dataPointers(parts), data) << count << " parts";
    }
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

    BlendingOpenCV blending;
    const cv::Mat panorama = blending.process(parts);

    EXPECT_TRUE(parts.empty());
    ASSERT_EQ(panorama.type(), CV_8UC4);
    ASSERT_EQ(panorama.size(), cv::Size(2 * rows, rows));
    cv::Mat resultAlpha;
    cv::extractChannel(panorama, resultAlpha, 3);
    EXPECT_EQ(cv::countNonZero(resultAlpha != alpha), 0);
    EXPECT_GT(cv::countNonZero(alpha == 0), 40 * 30 - 1);
}

TEST(BlendingOpenCVTest, ChannelOrderPassesThrough)
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
            if (p[3] != 255) {
                continue;
            }
            ++opaque;
            for (int k = 0; k < 3; ++k) {
                EXPECT_NEAR(p[k], colour[k], 2) << "row " << r << " column " << c << " channel " << k;
            }
        }
    }
    EXPECT_GT(opaque, panorama.rows * panorama.cols / 2);
}

TEST(BlendingOpenCVTest, UnsupportedPartTypeThrowsBeforeTakingTheParts)
{
    std::vector<cv::Mat> parts = makeSyntheticRigParts(100);
    parts[2].convertTo(parts[2], CV_16UC4, 257.0);
    const std::vector<const unsigned char*> data = dataPointers(parts);

    try {
        BlendingOpenCV().process(parts);
        ADD_FAILURE() << "CV_16UC4 part accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "MaskedImage MaskedImage(cv::Mat) image type not 8UC3 or 8UC4");
    }
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(dataPointers(parts), data);
    EXPECT_EQ(parts[2].type(), CV_16UC4);
}

TEST(BlendingOpenCVTest, RepeatedCallsGiveEqualPanoramas)
{
    const std::vector<cv::Mat> original = makeSyntheticRigParts(100, 21);
    std::vector<cv::Mat> first = deepCopy(original);
    std::vector<cv::Mat> second = deepCopy(original);

    BlendingOpenCV blending;
    const cv::Mat one = blending.process(first);
    const cv::Mat two = blending.process(second);

    ASSERT_FALSE(one.empty());
    ASSERT_EQ(one.size(), two.size());
    ASSERT_EQ(one.type(), two.type());
    EXPECT_EQ(cv::norm(one, two, cv::NORM_INF), 0.0);
}

} // namespace
} // namespace orb
