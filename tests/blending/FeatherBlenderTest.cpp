#include "StitchLib/blending/FeatherBlender.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <stdexcept>
#include <string>

namespace orb {
namespace {

cv::Mat randomPlane(int rows, int cols, unsigned seed)
{
    cv::Mat plane(rows, cols, CV_8UC1);
    cv::RNG(seed).fill(plane, cv::RNG::UNIFORM, 0, 256);
    return plane;
}

cv::Mat filled(int rows, int cols, uchar value) { return cv::Mat(rows, cols, CV_8UC1, cv::Scalar(value)); }

MaskedImage image(const cv::Mat& colour, const cv::Mat& valid, const cv::Mat& contributing)
{
    return MaskedImage(colour.clone(), colour.clone(), colour.clone(), valid.clone(), contributing.clone());
}

bool equal(const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_INF) == 0; }

TEST(FeatherBlenderTest, SingleFullImageComesBackUnchanged)
{
    const cv::Mat red = randomPlane(9, 13, 1), green = randomPlane(9, 13, 2), blue = randomPlane(9, 13, 3);
    const cv::Mat full = filled(9, 13, 255);
    MaskedImageSet set;
    set.addImage(MaskedImage(red, green, blue, full.clone(), full.clone()));
    FeatherBlender blender;
    MaskedImage result = blender.blend(set);
    EXPECT_TRUE(equal(red, result.red()));
    EXPECT_TRUE(equal(green, result.green()));
    EXPECT_TRUE(equal(blue, result.blue()));
    EXPECT_EQ(9 * 13, cv::countNonZero(result.validPixels() == 255));
    // One union mask serves as both masks of the result.
    EXPECT_EQ(result.validPixels().data, result.contributingPixels().data);
    EXPECT_NE(full.data, result.validPixels().data);
}

TEST(FeatherBlenderTest, TwoHalvesCrossFadeOnlyNearTheSeam)
{
    const int rows = 8, cols = 20, seam = 10;
    const cv::Mat full = filled(rows, cols, 255);
    cv::Mat left = filled(rows, cols, 0), right = filled(rows, cols, 0);
    left.colRange(0, seam).setTo(255);
    right.colRange(seam, cols).setTo(255);
    MaskedImageSet set;
    set.addImage(image(filled(rows, cols, 40), full, left));
    set.addImage(image(filled(rows, cols, 200), full, right));
    FeatherBlender blender;
    MaskedImage result = blender.blend(set);

    EXPECT_EQ(rows * cols, cv::countNonZero(result.contributingPixels() == 255));
    for (int c = 0; c < cols; ++c) {
        const int value = result.red().at<uchar>(3, c);
        if (c < seam - 2) {
            EXPECT_EQ(40, value) << c;
        } else if (c >= seam + 2) {
            EXPECT_EQ(200, value) << c;
        } else {
            EXPECT_GT(value, 40) << c;
            EXPECT_LT(value, 200) << c;
        }
        if (c > 0) {
            EXPECT_GE(value, result.red().at<uchar>(3, c - 1)) << c;
        }
    }
    // The pair form gives the same image as the set form.
    MaskedImage pair = blender.blend(set.image(0), set.image(1));
    EXPECT_TRUE(equal(result.red(), pair.red()));
    EXPECT_TRUE(equal(result.blue(), pair.blue()));
    EXPECT_TRUE(equal(result.validPixels(), pair.validPixels()));
    // The inputs are only read.
    EXPECT_EQ(rows * seam, cv::countNonZero(set.image(0).contributingPixels()));
    EXPECT_EQ(rows * cols, cv::countNonZero(set.image(0).red() == 40));
}

TEST(FeatherBlenderTest, PixelsWithOneValidImageTakeItsColourInFull)
{
    // Image 0 is valid only on the left; image 1 contributes everywhere but
    // holds data only on the right. Image 0 also claims an invalid column.
    const int rows = 6, cols = 12;
    cv::Mat valid0 = filled(rows, cols, 0), valid1 = filled(rows, cols, 0);
    valid0.colRange(0, 6).setTo(255);
    valid1.colRange(6, 11).setTo(255);
    cv::Mat contributing0 = filled(rows, cols, 0);
    contributing0.col(11).setTo(255);
    MaskedImageSet set;
    set.addImage(image(filled(rows, cols, 60), valid0, contributing0));
    set.addImage(image(filled(rows, cols, 180), valid1, filled(rows, cols, 255)));
    MaskedImage result = FeatherBlender().blend(set);

    for (int c = 0; c < 11; ++c) {
        EXPECT_EQ(c < 6 ? 60 : 180, result.green().at<uchar>(2, c)) << c;
    }
    // No data anywhere: no weight and no colour, though a contribution marks it.
    EXPECT_EQ(0, result.green().at<uchar>(2, 11));
    EXPECT_EQ(255, result.contributingPixelAt(2, 11));
}

TEST(FeatherBlenderTest, UncoveredPixelsStayEmptyAndSumsSaturate)
{
    const int rows = 5, cols = 5;
    const cv::Mat full = filled(rows, cols, 255);
    MaskedImageSet set;
    // Three overlapping full contributions: each weight is 255 and the weight
    // sum saturates at 255, as do the colour sums.
    set.addImage(image(filled(rows, cols, 50), full, full));
    set.addImage(image(filled(rows, cols, 60), full, full));
    set.addImage(image(filled(rows, cols, 100), full, full));
    MaskedImage result = FeatherBlender().blend(set);
    EXPECT_EQ(rows * cols, cv::countNonZero(result.red() == 210));

    MaskedImageSet empty;
    empty.addImage(image(filled(rows, cols, 70), filled(rows, cols, 0), filled(rows, cols, 0)));
    empty.addImage(image(filled(rows, cols, 90), filled(rows, cols, 0), filled(rows, cols, 0)));
    MaskedImage nothing = FeatherBlender().blend(empty);
    EXPECT_EQ(0, cv::countNonZero(nothing.red()));
    EXPECT_EQ(0, cv::countNonZero(nothing.validPixels()));
}

TEST(FeatherBlenderTest, EmptySetReportsTheSetError)
{
    try {
        FeatherBlender().blend(MaskedImageSet());
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string("MaskedImageSet getImage() imageNumber out of range"), error.what());
    }
}

} // namespace
} // namespace orb
