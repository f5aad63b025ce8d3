#include "StitchLib/stereo/GapInterpolation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

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

// A row of `width` values `fill` with `run` written from column `first` on.
template <typename T>
std::vector<T> rowOf(int width, T fill, int first = 0, std::vector<T> run = {})
{
    std::vector<T> row(width, fill);
    std::copy(run.begin(), run.end(), row.begin() + first);
    return row;
}

struct Pixel {
    int col;
    float depth;
    uchar intensity;
};

struct GapCase {
    const char* name;
    int width;
    int maxGap;
    bool wrap;
    float background; // inverse depth of every pixel not listed
    std::vector<Pixel> pixels;
    std::vector<float> depth; // expected row
    std::vector<int> intensity;
};

} // namespace

TEST(GapInterpolation, FillsGapsUpToTheLimitLinearly)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const GapCase cases[] = {
        {"single valid pixel fills the row", 40, 40, true, 0.f, {{5, 0.3f, 77}}, rowOf(40, 0.3f), rowOf(40, 77)},
        // Without wrap-around the edges have only one neighbour and stay missing.
        {"interior gap", 30, 3, false, 0.f, {{10, 1.f, 100}, {14, 2.f, 200}},
         rowOf(30, 0.f, 10, {1.f, 1.25f, 1.5f, 1.75f, 2.f}), rowOf(30, 0, 10, {100, 125, 150, 175, 200})},
        {"gap of maxGap", 20, 4, false, 0.f, {{2, 1.f, 10}, {7, 1.f, 10}}, rowOf(20, 0.f, 2, {1, 1, 1, 1, 1, 1}),
         rowOf(20, 0, 2, {10, 10, 10, 10, 10, 10})},
        {"gap of maxGap + 1", 20, 4, false, 0.f, {{2, 1.f, 10}, {8, 1.f, 10}}, rowOf(20, 0.f, 2, {1, 0, 0, 0, 0, 0, 1}),
         rowOf(20, 0, 2, {10, 0, 0, 0, 0, 0, 10})},
        // Columns 8, 9, 0, 1 run from column 7 over the edge to column 2.
        {"wrap", 10, 10, true, 0.f, {{2, 1.f, 10}, {7, 2.f, 60}},
         {1.4f, 1.2f, 1.f, 1.2f, 1.4f, 1.6f, 1.8f, 2.f, 1.8f, 1.6f}, {30, 20, 10, 20, 30, 40, 50, 60, 50, 40}},
        {"no wrap", 10, 10, false, 0.f, {{2, 1.f, 10}, {7, 2.f, 60}}, {0, 0, 1.f, 1.2f, 1.4f, 1.6f, 1.8f, 2.f, 0, 0},
         {0, 0, 10, 20, 30, 40, 50, 60, 0, 0}},
        // Negative and NaN are gaps; 0.25, 0.5, 0.75 round to 0, 1 (half away from zero), 1.
        {"negative and NaN", 8, 3, false, -1.f, {{3, nan, 0}, {1, 1.f, 0}, {5, 1.f, 1}},
         {-1.f, 1.f, 1.f, 1.f, 1.f, 1.f, -1.f, -1.f}, {0, 0, 0, 1, 1, 1, 0, 0}},
        // A limit far above the row width must not overflow the gap distances.
        {"oversized limit", 50, 65535, false, 0.f, {{20, 1.f, 10}, {30, 3.f, 30}},
         rowOf(50, 0.f, 20, {1.f, 1.2f, 1.4f, 1.6f, 1.8f, 2.f, 2.2f, 2.4f, 2.6f, 2.8f, 3.f}),
         rowOf(50, 0, 20, {10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30})},
    };
    for (const GapCase& test : cases) {
        SCOPED_TRACE(test.name);
        // Row 1 has no valid pixel and is left alone.
        ScanImages scan = emptyScan(2, test.width);
        scan.inverseDepth.row(0).setTo(test.background);
        for (const Pixel& p : test.pixels) {
            scan.inverseDepth(0, p.col) = p.depth;
            scan.intensity(0, p.col) = p.intensity;
        }
        // Filling works through assigned and copied records: they share pixels.
        ScanImages assigned;
        assigned = scan;
        ScanImages copy(assigned);
        EXPECT_EQ(copy.validRows, 2);
        BaseApi::interpolateSmallGaps(copy, test.maxGap, test.wrap);
        for (int c = 0; c < test.width; ++c) {
            EXPECT_FLOAT_EQ(scan.inverseDepth(0, c), test.depth[c]) << c;
            EXPECT_EQ(scan.intensity(0, c), test.intensity[c]) << c;
            EXPECT_EQ(scan.inverseDepth(1, c), 0.f) << c;
            EXPECT_EQ(scan.intensity(1, c), 0) << c;
        }
    }
}

TEST(GapInterpolation, EmptyIsNoOpAndMismatchedSizesThrow)
{
    ScanImages empty = emptyScan(0, 0);
    EXPECT_NO_THROW(BaseApi::interpolateSmallGaps(empty, 10, true));

    ScanImages mismatched = emptyScan(2, 10);
    mismatched.inverseDepth = cv::Mat_<float>::zeros(1, 10);
    EXPECT_THROW(BaseApi::interpolateSmallGaps(mismatched, 10, true), std::runtime_error);
}
