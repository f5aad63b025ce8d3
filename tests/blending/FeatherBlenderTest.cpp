#include "StitchLib/blending/FeatherBlender.h"

#include "tests/blending/TestImages.h"

#include <gtest/gtest.h>

namespace orb {
namespace {

using namespace test;

TEST(FeatherBlenderTest, SingleFullImageComesBackUnchanged)
{
    const cv::Mat red = randomMat(9, 13, CV_8UC1, 1), green = randomMat(9, 13, CV_8UC1, 2),
                  blue = randomMat(9, 13, CV_8UC1, 3);
    const cv::Mat full = filled(9, 13, 255);
    MaskedImageSet set;
    set.addImage(MaskedImage(red, green, blue, full.clone(), full.clone()));
    MaskedImage result = FeatherBlender().blend(set);
    EXPECT_TRUE(same(red, result.red()));
    EXPECT_TRUE(same(green, result.green()));
    EXPECT_TRUE(same(blue, result.blue()));
    EXPECT_TRUE(same(full, result.validPixels()));
    // One union mask serves as both masks of the result.
    EXPECT_EQ(result.validPixels().data, result.contributingPixels().data);
    EXPECT_NE(full.data, result.validPixels().data);
}

TEST(FeatherBlenderTest, TwoHalvesCrossFadeOnlyNearTheSeam)
{
    const int rows = 8, cols = 20, seam = 10;
    const cv::Mat full = filled(rows, cols, 255);
    MaskedImageSet set;
    set.addImage(grey(filled(rows, cols, 40), full, columns(rows, cols, 0, seam)));
    set.addImage(grey(filled(rows, cols, 200), full, columns(rows, cols, seam, cols)));
    FeatherBlender blender;
    MaskedImage result = blender.blend(set);

    EXPECT_TRUE(same(full, result.contributingPixels()));
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
    EXPECT_TRUE(same(result.cvMat(true), pair.cvMat(true)));
    EXPECT_TRUE(same(result.validPixels(), pair.validPixels()));
    // The inputs are only read.
    EXPECT_EQ(rows * seam, cv::countNonZero(set.image(0).contributingPixels()));
    EXPECT_EQ(rows * cols, cv::countNonZero(set.image(0).red() == 40));
}

TEST(FeatherBlenderTest, PixelsWithOneValidImageTakeItsColourInFull)
{
    // Image 0 is valid only on the left; image 1 contributes everywhere but
    // holds data only on the right. Image 0 also claims an invalid column.
    const int rows = 6, cols = 12;
    MaskedImageSet set;
    set.addImage(grey(filled(rows, cols, 60), columns(rows, cols, 0, 6), columns(rows, cols, 11, 12)));
    set.addImage(grey(filled(rows, cols, 180), columns(rows, cols, 6, 11), filled(rows, cols, 255)));
    MaskedImage result = FeatherBlender().blend(set);

    for (int c = 0; c < 11; ++c) {
        EXPECT_EQ(c < 6 ? 60 : 180, result.green().at<uchar>(2, c)) << c;
    }
    // No data anywhere: no weight and no colour, though a contribution marks it.
    EXPECT_EQ(0, result.green().at<uchar>(2, 11));
    EXPECT_EQ(255, result.contributingPixelAt(2, 11));
}

TEST(FeatherBlenderTest, SumsSaturateUncoveredPixelsStayEmptyAndAnEmptySetThrows)
{
    // Three overlapping full contributions: each weight is 255 and the weight
    // sum saturates at 255, as do the colour sums.
    MaskedImageSet set;
    for (uchar colour : {50, 60, 100}) {
        set.addImage(flat(5, 5, colour));
    }
    EXPECT_EQ(25, cv::countNonZero(FeatherBlender().blend(set).red() == 210));

    MaskedImageSet empty;
    empty.addImage(flat(5, 5, 70, 0, 0));
    empty.addImage(flat(5, 5, 90, 0, 0));
    MaskedImage nothing = FeatherBlender().blend(empty);
    EXPECT_EQ(0, cv::countNonZero(nothing.red()));
    EXPECT_EQ(0, cv::countNonZero(nothing.validPixels()));

    EXPECT_EQ("MaskedImageSet getImage() imageNumber out of range",
              messageOf([] { FeatherBlender().blend(MaskedImageSet()); }));
}

} // namespace
} // namespace orb
