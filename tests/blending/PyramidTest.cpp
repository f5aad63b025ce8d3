#include "StitchLib/blending/LaplacianPyramidLevel.h"
#include "StitchLib/blending/OpenCVPyramidGenerator.h"

#include "tests/blending/TestImages.h"

#include <gtest/gtest.h>

namespace orb {
namespace {

using namespace test;

bool onlyZeroOr255(const cv::Mat& mask) { return cv::countNonZero(mask) == cv::countNonZero(mask == 255); }

cv::Size sizeOf(MaskedImage& image) { return cv::Size(image.cols(), image.rows()); }

TEST(OpenCVPyramidGeneratorTest, SizesHalveRoundingUpAndScaleUpChecksTheTarget)
{
    OpenCVPyramidGenerator generator;
    MaskedImage reduced = generator.scaleDown(flat(5, 7, 3));
    for (cv::Mat* plane : {&reduced.red(), &reduced.green(), &reduced.blue(), &reduced.validPixels(),
                           &reduced.contributingPixels()}) {
        EXPECT_EQ(cv::Size(4, 3), plane->size());
    }
    MaskedImage single = generator.scaleDown(flat(1, 1, 3));
    EXPECT_EQ(cv::Size(1, 1), sizeOf(single));
    MaskedImage odd = generator.scaleUp(flat(3, 4, 3), 5, 7);
    EXPECT_EQ(cv::Size(7, 5), sizeOf(odd));
    EXPECT_EQ(cv::Size(7, 5), odd.contributingPixels().size());
    MaskedImage even = generator.scaleUp(flat(3, 4, 3), 6, 8);
    EXPECT_EQ(cv::Size(8, 6), sizeOf(even));

    for (cv::Size target : {cv::Size(7, 4), cv::Size(8, 7), cv::Size(9, 5), cv::Size(0, 0)}) {
        EXPECT_EQ("OpenCVPyramidGenerator scaleUp() invalid image size",
                  messageOf([&] { generator.scaleUp(flat(3, 4, 3), target.height, target.width); }))
            << target;
    }
}

TEST(OpenCVPyramidGeneratorTest, FullMasksStayFullAndColourIsKept)
{
    OpenCVPyramidGenerator generator;
    MaskedImage source = flat(21, 34, 140);
    MaskedImage reduced = generator.scaleDown(source);
    MaskedImage expanded = generator.scaleUp(reduced, 21, 34);
    for (MaskedImage* image : {&reduced, &expanded}) {
        const int pixels = image->rows() * image->cols();
        EXPECT_EQ(pixels, cv::countNonZero(image->validPixels() == 255));
        EXPECT_EQ(pixels, cv::countNonZero(image->contributingPixels() == 255));
        EXPECT_EQ(pixels, cv::countNonZero(image->red() == 140));
    }
    // The argument is left as it was, and results own new buffers.
    EXPECT_EQ(21 * 34, cv::countNonZero(source.red() == 140));
    EXPECT_NE(source.validPixels().data, reduced.validPixels().data);
}

TEST(OpenCVPyramidGeneratorTest, ColourNextToInvalidPixelsDoesNotDarken)
{
    // Left half valid with colour 200, right half invalid and black.
    const int rows = 24, cols = 40;
    const cv::Mat valid = columns(rows, cols, 0, 20);
    OpenCVPyramidGenerator generator;
    MaskedImage reduced = generator.scaleDown(grey(valid * (200.0 / 255.0), valid, valid));
    MaskedImage expanded = generator.scaleUp(reduced, rows, cols);
    for (MaskedImage* image : {&reduced, &expanded}) {
        EXPECT_TRUE(onlyZeroOr255(image->validPixels()));
        EXPECT_TRUE(onlyZeroOr255(image->contributingPixels()));
        double low = 0, high = 0;
        cv::minMaxLoc(image->red(), &low, &high, nullptr, nullptr, image->validPixels());
        EXPECT_GE(low, 198);
        EXPECT_LE(high, 202);
    }
    // The valid edge moves by at most a pixel or so, not by the filter width.
    EXPECT_EQ(10 * 12, cv::countNonZero(reduced.validPixels()));
}

TEST(OpenCVPyramidGeneratorTest, WeaklyCoveredPixelsKeepColourButLoseValidity)
{
    // A single valid column: the reduced pixel that sees it with only a quarter
    // of the filter weight is invalid but keeps the column's colour.
    const cv::Mat valid = columns(4, 8, 5, 6);
    MaskedImage reduced = OpenCVPyramidGenerator().scaleDown(grey(valid * (90.0 / 255.0), valid, valid));
    // Reduced column 3 is centred on source column 6.
    EXPECT_EQ(0, reduced.validPixelAt(1, 3));
    EXPECT_EQ(0, reduced.contributingPixelAt(1, 3));
    EXPECT_NEAR(90, reduced.red().at<uchar>(1, 3), 2);
    // Column 0 sees no valid pixel at all: colour 0.
    EXPECT_EQ(0, reduced.red().at<uchar>(1, 0));
}

TEST(OpenCVPyramidGeneratorTest, ContributionIsCutBackToTheValidMask)
{
    OpenCVPyramidGenerator generator;
    MaskedImage reduced = generator.scaleDown(grey(filled(16, 16, 50), columns(16, 16, 0, 8), filled(16, 16, 255)));
    MaskedImage expanded = generator.scaleUp(grey(filled(8, 8, 50), columns(8, 8, 0, 4), filled(8, 8, 255)), 16, 16);
    EXPECT_EQ(cv::countNonZero(reduced.validPixels()), cv::countNonZero(reduced.contributingPixels()));
    for (MaskedImage* image : {&reduced, &expanded}) {
        EXPECT_GT(cv::countNonZero(image->validPixels()), 0);
        EXPECT_EQ(0, cv::countNonZero(image->contributingPixels() & ~image->validPixels()));
    }
}

TEST(LaplacianPyramidLevelTest, BandsRestoreTheImage)
{
    // Random colour over a valid region with a hole; the level is formed as
    // the spline forms it.
    const int rows = 30, cols = 44;
    cv::Mat valid = columns(rows, cols, 0, 30);
    valid.at<uchar>(5, 5) = 0;
    cv::Mat colour = randomMat(rows, cols, CV_8UC1, 3);
    colour.setTo(0, valid == 0);
    MaskedImage image = grey(colour, valid, valid);

    OpenCVPyramidGenerator generator;
    MaskedImage expanded = generator.scaleUp(generator.scaleDown(image), rows, cols);
    expanded.contributingPixels() = image.contributingPixels();
    LaplacianPyramidLevel level(image - expanded, expanded - image);
    EXPECT_TRUE(same(level.minusDelta().validPixels(), expanded.validPixels()));

    MaskedImage restored = (level.plusDelta() + expanded) - level.minusDelta();
    int bothValid = 0, onlyImage = 0;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const int original = colour.at<uchar>(r, c);
            const int value = restored.red().at<uchar>(r, c);
            if (!valid.at<uchar>(r, c)) {
                EXPECT_EQ(0, value) << r << "," << c;
            } else if (expanded.validPixelAt(r, c)) {
                ++bothValid;
                EXPECT_EQ(original, value) << r << "," << c;
            } else {
                ++onlyImage;
                EXPECT_EQ(std::max<int>(original, expanded.red().at<uchar>(r, c)), value) << r << "," << c;
            }
        }
    }
    EXPECT_GT(bothValid, 0);
    EXPECT_GT(onlyImage, 0);
}

} // namespace
} // namespace orb
