#include "StitchLib/blending/LaplacianPyramidLevel.h"
#include "StitchLib/blending/OpenCVPyramidGenerator.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <stdexcept>
#include <string>

namespace orb {
namespace {

MaskedImage planesOf(const cv::Mat& colour, const cv::Mat& valid, const cv::Mat& contributing)
{
    return MaskedImage(colour.clone(), colour.clone(), colour.clone(), valid.clone(), contributing.clone());
}

MaskedImage flat(int rows, int cols, uchar colour)
{
    const cv::Mat plane(rows, cols, CV_8UC1, cv::Scalar(colour));
    const cv::Mat full(rows, cols, CV_8UC1, cv::Scalar(255));
    return planesOf(plane, full, full);
}

bool onlyZeroOr255(const cv::Mat& mask)
{
    return cv::countNonZero(mask) == cv::countNonZero(mask == 255);
}

TEST(OpenCVPyramidGeneratorTest, SizesHalveRoundingUp)
{
    OpenCVPyramidGenerator generator;
    MaskedImage reduced = generator.scaleDown(flat(5, 7, 3));
    EXPECT_EQ(3, reduced.rows());
    EXPECT_EQ(4, reduced.cols());
    for (cv::Mat* plane : {&reduced.green(), &reduced.blue(), &reduced.validPixels(), &reduced.contributingPixels()}) {
        EXPECT_EQ(cv::Size(4, 3), plane->size());
    }
    MaskedImage single = generator.scaleDown(flat(1, 1, 3));
    EXPECT_EQ(1, single.rows());
    EXPECT_EQ(1, single.cols());

    MaskedImage odd = generator.scaleUp(flat(3, 4, 3), 5, 7);
    EXPECT_EQ(5, odd.rows());
    EXPECT_EQ(7, odd.cols());
    EXPECT_EQ(cv::Size(7, 5), odd.contributingPixels().size());
    MaskedImage even = generator.scaleUp(flat(3, 4, 3), 6, 8);
    EXPECT_EQ(6, even.rows());
    EXPECT_EQ(8, even.cols());
}

TEST(OpenCVPyramidGeneratorTest, ScaleUpRejectsSizesThatDoNotHalveToTheImage)
{
    OpenCVPyramidGenerator generator;
    for (cv::Size target : {cv::Size(7, 4), cv::Size(8, 7), cv::Size(9, 5), cv::Size(0, 0)}) {
        try {
            generator.scaleUp(flat(3, 4, 3), target.height, target.width);
            FAIL() << target;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string("OpenCVPyramidGenerator scaleUp() invalid image size"), error.what());
        }
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
    cv::Mat colour(rows, cols, CV_8UC1, cv::Scalar(0));
    cv::Mat valid(rows, cols, CV_8UC1, cv::Scalar(0));
    colour(cv::Rect(0, 0, 20, rows)).setTo(200);
    valid(cv::Rect(0, 0, 20, rows)).setTo(255);
    OpenCVPyramidGenerator generator;
    MaskedImage source = planesOf(colour, valid, valid);

    MaskedImage reduced = generator.scaleDown(source);
    ASSERT_GT(cv::countNonZero(reduced.validPixels()), 0);
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
    cv::Mat colour(4, 8, CV_8UC1, cv::Scalar(0));
    cv::Mat valid(4, 8, CV_8UC1, cv::Scalar(0));
    colour.col(5).setTo(90);
    valid.col(5).setTo(255);
    OpenCVPyramidGenerator generator;
    MaskedImage reduced = generator.scaleDown(planesOf(colour, valid, valid));
    // Reduced column 3 is centred on source column 6.
    EXPECT_EQ(0, reduced.validPixelAt(1, 3));
    EXPECT_EQ(0, reduced.contributingPixelAt(1, 3));
    EXPECT_NEAR(90, reduced.red().at<uchar>(1, 3), 2);
    // Column 0 sees no valid pixel at all: colour 0.
    EXPECT_EQ(0, reduced.red().at<uchar>(1, 0));
}

TEST(OpenCVPyramidGeneratorTest, ContributionIsCutBackToTheValidMask)
{
    const int rows = 16, cols = 16;
    cv::Mat colour(rows, cols, CV_8UC1, cv::Scalar(50));
    cv::Mat valid(rows, cols, CV_8UC1, cv::Scalar(0));
    valid(cv::Rect(0, 0, 8, rows)).setTo(255);
    const cv::Mat everywhere(rows, cols, CV_8UC1, cv::Scalar(255));
    OpenCVPyramidGenerator generator;

    MaskedImage reduced = generator.scaleDown(planesOf(colour, valid, everywhere));
    EXPECT_EQ(0, cv::countNonZero(reduced.contributingPixels() & ~reduced.validPixels()));
    EXPECT_EQ(cv::countNonZero(reduced.validPixels()), cv::countNonZero(reduced.contributingPixels()));

    cv::Mat smallValid(8, 8, CV_8UC1, cv::Scalar(0));
    smallValid(cv::Rect(0, 0, 4, 8)).setTo(255);
    MaskedImage expanded = generator.scaleUp(
        planesOf(cv::Mat(8, 8, CV_8UC1, cv::Scalar(50)), smallValid, cv::Mat(8, 8, CV_8UC1, cv::Scalar(255))),
        rows, cols);
    EXPECT_GT(cv::countNonZero(expanded.validPixels()), 0);
    EXPECT_EQ(0, cv::countNonZero(expanded.contributingPixels() & ~expanded.validPixels()));
}

TEST(LaplacianPyramidLevelTest, BandsRestoreTheImage)
{
    // Random colour over a valid region with a hole; the level is formed as
    // the spline forms it.
    const int rows = 30, cols = 44;
    cv::Mat colour(rows, cols, CV_8UC1);
    cv::RNG(3).fill(colour, cv::RNG::UNIFORM, 0, 256);
    cv::Mat valid(rows, cols, CV_8UC1, cv::Scalar(255));
    valid(cv::Rect(30, 0, 14, rows)).setTo(0);
    valid.at<uchar>(5, 5) = 0;
    colour.setTo(0, valid == 0);
    MaskedImage image = planesOf(colour, valid, valid);

    OpenCVPyramidGenerator generator;
    MaskedImage expanded = generator.scaleUp(generator.scaleDown(image), rows, cols);
    expanded.contributingPixels() = image.contributingPixels();
    LaplacianPyramidLevel level(image - expanded, expanded - image);
    EXPECT_EQ(rows, level.rows());
    EXPECT_EQ(cols, level.cols());
    EXPECT_EQ(image.contributingPixels().data, expanded.contributingPixels().data);
    EXPECT_EQ(0, cv::norm(level.minusDelta().validPixels(), expanded.validPixels(), cv::NORM_INF));

    MaskedImage restored = level.plusDelta() + expanded;
    restored = restored - level.minusDelta();
    int bothValid = 0, onlyImage = 0;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const int original = colour.at<uchar>(r, c);
            const int value = restored.red().at<uchar>(r, c);
            const bool imageValid = valid.at<uchar>(r, c) != 0;
            const bool expandedValid = expanded.validPixelAt(r, c) != 0;
            if (!imageValid) {
                EXPECT_EQ(0, value) << r << "," << c;
            } else if (expandedValid) {
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

    // Copies share the deltas' buffers.
    LaplacianPyramidLevel copy(level);
    copy.plusDelta().red().at<uchar>(0, 0) = 77;
    EXPECT_EQ(77, level.plusDelta().red().at<uchar>(0, 0));
}

} // namespace
} // namespace orb
