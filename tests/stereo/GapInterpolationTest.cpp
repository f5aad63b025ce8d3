#include "StitchLib/stereo/GapInterpolation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace orb;

namespace {

ScanImages emptyScan(int rows, int cols)
{
    ScanImages scan;
    scan.intensity = cv::Mat_<uchar>::zeros(rows, cols);
    scan.inverseDepth = cv::Mat_<float>::zeros(rows, cols);
    scan.validRows = rows;
    return scan;
}

void setPixel(ScanImages& scan, int r, int c, float depth, uchar intensity)
{
    scan.inverseDepth(r, c) = depth;
    scan.intensity(r, c) = intensity;
}

} // namespace

TEST(GapInterpolation, SingleValidPixelFillsWholeRowWithWrap)
{
    ScanImages scan = emptyScan(2, 40);
    setPixel(scan, 0, 5, 0.3f, 77);
    BaseApi::interpolateSmallGaps(scan, 40, true);
    for (int c = 0; c < 40; ++c) {
        EXPECT_NEAR(scan.inverseDepth(0, c), 0.3f, 1e-6f) << c;
        EXPECT_EQ(scan.intensity(0, c), 77) << c;
        // The row without any valid pixel is left alone.
        EXPECT_EQ(scan.inverseDepth(1, c), 0.0f);
        EXPECT_EQ(scan.intensity(1, c), 0);
    }
}

TEST(GapInterpolation, InteriorGapIsLinearAndWritesThroughCopy)
{
    ScanImages scan = emptyScan(1, 30);
    setPixel(scan, 0, 10, 1.0f, 100);
    setPixel(scan, 0, 14, 2.0f, 200);
    ScanImages copy = scan;
    BaseApi::interpolateSmallGaps(copy, 3, false);
    // The caller's own record sees the fill: the images share pixels.
    EXPECT_FLOAT_EQ(scan.inverseDepth(0, 11), 1.25f);
    EXPECT_FLOAT_EQ(scan.inverseDepth(0, 12), 1.5f);
    EXPECT_FLOAT_EQ(scan.inverseDepth(0, 13), 1.75f);
    EXPECT_EQ(scan.intensity(0, 11), 125);
    EXPECT_EQ(scan.intensity(0, 12), 150);
    EXPECT_EQ(scan.intensity(0, 13), 175);
    EXPECT_FLOAT_EQ(scan.inverseDepth(0, 10), 1.0f);
    EXPECT_FLOAT_EQ(scan.inverseDepth(0, 14), 2.0f);
    // Without wrap-around the edges have only one neighbour and stay missing.
    EXPECT_EQ(scan.inverseDepth(0, 0), 0.0f);
    EXPECT_EQ(scan.inverseDepth(0, 9), 0.0f);
    EXPECT_EQ(scan.inverseDepth(0, 15), 0.0f);
    EXPECT_EQ(scan.inverseDepth(0, 29), 0.0f);
}

TEST(GapInterpolation, GapLimitIsInclusive)
{
    ScanImages scan = emptyScan(2, 20);
    // Row 0: gap of 4 (columns 3..6); row 1: gap of 5 (columns 3..7).
    setPixel(scan, 0, 2, 1.0f, 10);
    setPixel(scan, 0, 7, 1.0f, 10);
    setPixel(scan, 1, 2, 1.0f, 10);
    setPixel(scan, 1, 8, 1.0f, 10);
    BaseApi::interpolateSmallGaps(scan, 4, false);
    for (int c = 3; c <= 6; ++c)
        EXPECT_FLOAT_EQ(scan.inverseDepth(0, c), 1.0f) << c;
    for (int c = 3; c <= 7; ++c)
        EXPECT_EQ(scan.inverseDepth(1, c), 0.0f) << c;
}

TEST(GapInterpolation, WrapJoinsTheGapAcrossTheEdge)
{
    for (bool wrap : {true, false}) {
        ScanImages scan = emptyScan(1, 10);
        setPixel(scan, 0, 2, 1.0f, 10);
        setPixel(scan, 0, 7, 2.0f, 60);
        BaseApi::interpolateSmallGaps(scan, 10, wrap);
        // Columns 3..6 lie between the two pixels either way.
        EXPECT_FLOAT_EQ(scan.inverseDepth(0, 3), 1.2f);
        EXPECT_FLOAT_EQ(scan.inverseDepth(0, 6), 1.8f);
        EXPECT_EQ(scan.intensity(0, 4), 30);
        // Columns 8, 9, 0, 1 run from column 7 over the edge to column 2.
        const int cols[] = {8, 9, 0, 1};
        const float depths[] = {1.8f, 1.6f, 1.4f, 1.2f};
        const int intensities[] = {50, 40, 30, 20};
        for (int i = 0; i < 4; ++i) {
            if (wrap) {
                EXPECT_FLOAT_EQ(scan.inverseDepth(0, cols[i]), depths[i]) << cols[i];
                EXPECT_EQ(scan.intensity(0, cols[i]), intensities[i]) << cols[i];
            } else {
                EXPECT_EQ(scan.inverseDepth(0, cols[i]), 0.0f) << cols[i];
                EXPECT_EQ(scan.intensity(0, cols[i]), 0) << cols[i];
            }
        }
    }
}

TEST(GapInterpolation, NegativeAndNaNAreGapsAndGetOverwritten)
{
    ScanImages scan = emptyScan(1, 8);
    for (int c = 0; c < 8; ++c)
        scan.inverseDepth(0, c) = -1.0f;
    scan.inverseDepth(0, 3) = std::numeric_limits<float>::quiet_NaN();
    setPixel(scan, 0, 1, 1.0f, 0);
    setPixel(scan, 0, 5, 1.0f, 1);
    BaseApi::interpolateSmallGaps(scan, 3, false);
    for (int c = 1; c <= 5; ++c)
        EXPECT_FLOAT_EQ(scan.inverseDepth(0, c), 1.0f) << c;
    EXPECT_EQ(scan.inverseDepth(0, 0), -1.0f);
    EXPECT_EQ(scan.inverseDepth(0, 7), -1.0f);
    // 0.25, 0.5, 0.75 round to 0, 1 (half away from zero), 1.
    EXPECT_EQ(scan.intensity(0, 2), 0);
    EXPECT_EQ(scan.intensity(0, 3), 1);
    EXPECT_EQ(scan.intensity(0, 4), 1);
}

TEST(GapInterpolation, OversizedLimitStillLeavesUnboundedEdgesAndEmptyIsNoOp)
{
    // A limit far above the row width must not overflow the gap distances.
    ScanImages scan = emptyScan(1, 50);
    setPixel(scan, 0, 20, 1.0f, 10);
    setPixel(scan, 0, 30, 3.0f, 30);
    BaseApi::interpolateSmallGaps(scan, 65535, false);
    EXPECT_FLOAT_EQ(scan.inverseDepth(0, 25), 2.0f);
    for (int c : {0, 19, 31, 49})
        EXPECT_EQ(scan.inverseDepth(0, c), 0.0f) << c;

    ScanImages empty = emptyScan(0, 0);
    EXPECT_NO_THROW(BaseApi::interpolateSmallGaps(empty, 10, true));

    ScanImages mismatched = emptyScan(2, 10);
    mismatched.inverseDepth = cv::Mat_<float>::zeros(1, 10);
    EXPECT_THROW(BaseApi::interpolateSmallGaps(mismatched, 10, true), std::runtime_error);
}
