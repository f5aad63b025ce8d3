#include "StitchLib/blending/MaskedImage.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <stdexcept>
#include <string>

namespace orb {
namespace {

cv::Mat randomImage(int rows, int cols, int type, unsigned seed)
{
    cv::Mat image(rows, cols, type);
    cv::RNG rng(seed);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

int countNonZero(const cv::Mat& m) { return cv::countNonZero(m); }
int countEqual(const cv::Mat& m, int value) { return cv::countNonZero(m == value); }

bool equal(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

TEST(MaskedImageTest, ThreeChannelImageIsFullyValidAndRoundTrips)
{
    cv::Mat image = randomImage(5, 6, CV_8UC3, 1);
    for (bool erode : {false, true}) {
        MaskedImage masked(image, erode);
        EXPECT_EQ(5, masked.rows());
        EXPECT_EQ(6, masked.cols());
        EXPECT_EQ(30, countEqual(masked.validPixels(), 255));
        EXPECT_EQ(30, countEqual(masked.contributingPixels(), 255));
        cv::Mat channels[3];
        cv::split(image, channels);
        EXPECT_TRUE(equal(channels[0], masked.red()));
        EXPECT_TRUE(equal(channels[1], masked.green()));
        EXPECT_TRUE(equal(channels[2], masked.blue()));
        EXPECT_TRUE(equal(image, masked.cvMat(false)));
    }
}

TEST(MaskedImageTest, OnlyFullyOpaquePixelsAreValidAndKeepTheirColour)
{
    cv::Mat image(3, 3, CV_8UC4, cv::Scalar(10, 20, 30, 255));
    image.at<cv::Vec4b>(1, 1) = cv::Vec4b(40, 50, 60, 254);
    image.at<cv::Vec4b>(0, 2) = cv::Vec4b(70, 80, 90, 0);
    MaskedImage masked(image, false);

    EXPECT_EQ(0, masked.validPixelAt(1, 1));
    EXPECT_EQ(0, masked.contributingPixelAt(1, 1));
    EXPECT_EQ(0, masked.red().at<uchar>(1, 1));
    EXPECT_EQ(0, masked.green().at<uchar>(1, 1));
    EXPECT_EQ(0, masked.blue().at<uchar>(1, 1));
    EXPECT_EQ(0, masked.validPixelAt(0, 2));
    EXPECT_EQ(0, masked.red().at<uchar>(0, 2));

    EXPECT_EQ(255, masked.validPixelAt(0, 0));
    EXPECT_EQ(255, masked.contributingPixelAt(2, 2));
    EXPECT_EQ(10, masked.red().at<uchar>(2, 2));
    EXPECT_EQ(20, masked.green().at<uchar>(2, 2));
    EXPECT_EQ(30, masked.blue().at<uchar>(2, 2));
    EXPECT_EQ(7, countNonZero(masked.validPixels()));
}

TEST(MaskedImageTest, ErosionSparesTheImageBorderButNotNeighboursOfTransparency)
{
    cv::Mat image(6, 6, CV_8UC4, cv::Scalar(1, 2, 3, 255));
    image.at<cv::Vec4b>(3, 3)[3] = 200;
    MaskedImage eroded(image, true);
    MaskedImage plain(image, false);

    // The 3x3 block around the partly transparent pixel goes, the rest stays,
    // including the opaque image border.
    for (int r = 0; r < 6; ++r) {
        for (int c = 0; c < 6; ++c) {
            const bool nearHole = r >= 2 && r <= 4 && c >= 2 && c <= 4;
            EXPECT_EQ(nearHole ? 0 : 255, eroded.validPixelAt(r, c)) << r << "," << c;
            EXPECT_EQ(nearHole ? 0 : 1, eroded.red().at<uchar>(r, c)) << r << "," << c;
        }
    }
    EXPECT_EQ(35, countNonZero(plain.validPixels()));
    // The contribution is an independent copy of the valid mask.
    eroded.contributingPixelAt(0, 0) = 0;
    EXPECT_EQ(255, eroded.validPixelAt(0, 0));
}

TEST(MaskedImageTest, RejectsOtherTypesWithTheClassMessage)
{
    for (int type : {CV_8UC1, CV_8UC2, CV_16UC3, CV_32FC3, CV_16UC4}) {
        cv::Mat image(4, 4, type, cv::Scalar::all(7));
        const cv::Mat before = image.clone();
        try {
            MaskedImage masked(image, true);
            FAIL() << "type " << type << " accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string("MaskedImage MaskedImage(cv::Mat) image type not 8UC3 or 8UC4"), error.what());
        }
        EXPECT_EQ(0, cv::norm(image, before, cv::NORM_INF));
    }
}

TEST(MaskedImageTest, CopiesShareBuffersAndReleaseDropsOnlyOwnReferences)
{
    cv::Mat image = randomImage(4, 5, CV_8UC3, 2);
    MaskedImage original(image, false);
    MaskedImage copy(original);
    MaskedImage assigned;
    assigned = original;

    copy.contributingPixelAt(1, 2) = 0;
    EXPECT_EQ(0, original.contributingPixelAt(1, 2));
    EXPECT_EQ(0, assigned.contributingPixelAt(1, 2));
    assigned.red().at<uchar>(0, 0) = 99;
    EXPECT_EQ(99, original.red().at<uchar>(0, 0));
    EXPECT_EQ(original.validPixels().data, copy.validPixels().data);

    cv::Mat r(2, 2, CV_8UC1), g(2, 2, CV_8UC1), b(2, 2, CV_8UC1), v(2, 2, CV_8UC1), k(2, 2, CV_8UC1);
    MaskedImage adopted(r, g, b, v, k);
    EXPECT_EQ(r.data, adopted.red().data);
    EXPECT_EQ(k.data, adopted.contributingPixels().data);

    copy.release();
    EXPECT_TRUE(copy.red().empty());
    EXPECT_TRUE(copy.contributingPixels().empty());
    EXPECT_EQ(0, copy.rows());
    EXPECT_EQ(4, original.rows());
    EXPECT_EQ(99, original.red().at<uchar>(0, 0));
}

MaskedImage uniform(int rows, int cols, uchar value, uchar valid, uchar contributing)
{
    return MaskedImage(cv::Mat(rows, cols, CV_8UC1, cv::Scalar(value)),
                       cv::Mat(rows, cols, CV_8UC1, cv::Scalar(value)),
                       cv::Mat(rows, cols, CV_8UC1, cv::Scalar(value)),
                       cv::Mat(rows, cols, CV_8UC1, cv::Scalar(valid)),
                       cv::Mat(rows, cols, CV_8UC1, cv::Scalar(contributing)));
}

TEST(MaskedImageTest, DifferenceAndSumSaturateAndFollowThisImagesMasks)
{
    MaskedImage low = uniform(2, 3, 10, 255, 255);
    low.validPixelAt(0, 1) = 0;
    low.contributingPixelAt(1, 2) = 0;
    MaskedImage mid = uniform(2, 3, 20, 0, 0);
    MaskedImage high = uniform(2, 3, 200, 255, 255);
    MaskedImage hundred = uniform(2, 3, 100, 255, 255);

    MaskedImage difference = low - mid;
    EXPECT_EQ(0, countNonZero(difference.red()));
    MaskedImage reverse = mid - low;
    // The argument's masks play no part; this image's masks are all 0.
    EXPECT_EQ(0, countNonZero(reverse.green()));

    MaskedImage positive = mid + low;
    EXPECT_EQ(0, countNonZero(positive.blue()));
    MaskedImage sum = low + high;
    EXPECT_EQ(210, sum.red().at<uchar>(0, 0));
    EXPECT_EQ(0, sum.red().at<uchar>(0, 1));
    EXPECT_EQ(0, sum.validPixelAt(0, 1));
    EXPECT_EQ(0, sum.contributingPixelAt(1, 2));
    EXPECT_EQ(255, sum.contributingPixelAt(0, 1));

    MaskedImage saturated = high + hundred;
    EXPECT_EQ(6, countEqual(saturated.green(), 255));
    MaskedImage gap = hundred - low;
    EXPECT_EQ(6, countEqual(gap.blue(), 90));

    // Result masks are copies, not the operand's buffers.
    EXPECT_NE(sum.validPixels().data, low.validPixels().data);
    sum.validPixelAt(0, 0) = 0;
    EXPECT_EQ(255, low.validPixelAt(0, 0));
}

TEST(MaskedImageTest, FourChannelConversionCarriesTheContributingMask)
{
    cv::Mat image(3, 4, CV_8UC4, cv::Scalar(5, 6, 7, 255));
    MaskedImage masked(image, false);
    masked.contributingPixelAt(2, 1) = 0;
    const cv::Mat out = masked.cvMat(true);
    ASSERT_EQ(CV_8UC4, out.type());
    EXPECT_EQ(cv::Vec4b(5, 6, 7, 0), out.at<cv::Vec4b>(2, 1));
    EXPECT_EQ(cv::Vec4b(5, 6, 7, 255), out.at<cv::Vec4b>(0, 0));
    EXPECT_EQ(255, masked.validPixelAt(2, 1));
}

TEST(MaskedImageTest, BandPassOfFlatPlanesIsZeroAndSharesMasks)
{
    cv::Mat image(40, 50, CV_8UC3, cv::Scalar(90, 140, 230));
    MaskedImage masked(image, false);
    MaskedImage band = masked.bandPassFilter();
    ASSERT_EQ(40, band.rows());
    ASSERT_EQ(50, band.cols());
    EXPECT_EQ(0, countNonZero(band.red()));
    EXPECT_EQ(0, countNonZero(band.green()));
    EXPECT_EQ(0, countNonZero(band.blue()));
    EXPECT_EQ(masked.validPixels().data, band.validPixels().data);
    EXPECT_EQ(masked.contributingPixels().data, band.contributingPixels().data);
    EXPECT_NE(masked.red().data, band.red().data);
}

TEST(MaskedImageTest, BandPassRespondsToDetail)
{
    // A step edge leaves a band response, on odd sizes too; a single pixel
    // has no detail at all.
    cv::Mat image(61, 77, CV_8UC3, cv::Scalar::all(20));
    image(cv::Rect(38, 0, 39, 61)).setTo(cv::Scalar::all(220));
    MaskedImage band = MaskedImage(image, false).bandPassFilter();
    EXPECT_GT(cv::norm(band.red(), cv::NORM_INF), 20);
    EXPECT_GT(cv::norm(band.blue(), cv::NORM_INF), 20);

    cv::Mat tiny(1, 1, CV_8UC3, cv::Scalar::all(9));
    MaskedImage tinyBand = MaskedImage(tiny, false).bandPassFilter();
    EXPECT_EQ(0, tinyBand.red().at<uchar>(0, 0));
}

TEST(MaskedImageHelpersTest, UnitMaskRoundsToNearest)
{
    cv::Mat mask = (cv::Mat_<uchar>(1, 5) << 0, 127, 128, 254, 255);
    const cv::Mat unit = unitMask(mask);
    const cv::Mat expectedUnit = (cv::Mat_<uchar>(1, 5) << 0, 0, 1, 1, 1);
    EXPECT_EQ(0, cv::norm(unit, expectedUnit, cv::NORM_INF));
    // The reusing form writes into a buffer of the right size in place.
    cv::Mat reused(1, 5, CV_8UC1, cv::Scalar(9));
    const uchar* buffer = reused.data;
    unitMask(mask, reused);
    EXPECT_EQ(buffer, reused.data);
    EXPECT_EQ(0, cv::norm(reused, expectedUnit, cv::NORM_INF));
}

} // namespace
} // namespace orb
