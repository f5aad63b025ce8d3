#include "StitchLib/blending/QualitySeamFinder.h"

#include "tests/blending/TestImages.h"

#include <gtest/gtest.h>

namespace orb {
namespace {

using namespace test;

cv::Mat fullMask(int rows, int cols) { return filled(rows, cols, 255); }

// Valid and contributing as given; the contribution is the caller's buffer.
MaskedImage makeImage(const cv::Mat& red, const cv::Mat& green, const cv::Mat& blue, const cv::Mat& contributing)
{
    return MaskedImage(red, green, blue, contributing.clone(), contributing);
}

MaskedImage randomImage(int rows, int cols, unsigned seed, const cv::Mat& contributing)
{
    return makeImage(randomMat(rows, cols, CV_8UC1, seed), randomMat(rows, cols, CV_8UC1, seed + 1),
                     randomMat(rows, cols, CV_8UC1, seed + 2), contributing);
}

// Column where A hands over to B in row r, over columns [first, last]: A must
// hold a prefix and B the rest, each pixel exactly one of the two.
int handover(const cv::Mat& maskA, const cv::Mat& maskB, int r, int first, int last)
{
    int end = first - 1;
    bool seenB = false;
    for (int x = first; x <= last; ++x) {
        const bool a = maskA.at<uchar>(r, x) == 255;
        const bool b = maskB.at<uchar>(r, x) == 255;
        EXPECT_NE(a, b) << "row " << r << " column " << x;
        if (a) {
            EXPECT_FALSE(seenB) << "A after B in row " << r << " column " << x;
            end = x;
        }
        seenB = seenB || b;
    }
    return end;
}

TEST(SimplifyMaskTest, ColumnsBecomeSingleRunsAcrossTheMiddle)
{
    struct Case {
        int rows;
        cv::Point gap;
        cv::Rect cleared;
    };
    const Case cases[] = {
        {8, {3, 4}, {3, 0, 1, 8}},    // a gap in the middle band clears the column
        {8, {3, 0}, {3, 0, 1, 1}},    // a gap at the very top only removes itself
        {16, {2, 1}, {2, 0, 1, 2}},   // a gap near the top clears what lies above
        {16, {5, 14}, {5, 14, 1, 2}}, // a gap near the bottom clears what lies below
        {16, {4, 3}, {4, 0, 1, 16}},  // the middle band of 16 rows is rows 3..13
        {16, {4, 13}, {4, 0, 1, 16}},
        {8, {7, 4}, {7, 4, 1, 1}},    // the last column is never touched
    };
    for (const Case& c : cases) {
        cv::Mat mask = fullMask(c.rows, 8);
        mask.at<uchar>(c.gap) = 0;
        const uchar* data = mask.data;
        SeamFinderBase::simplifyMask(mask);
        cv::Mat expected = fullMask(c.rows, 8);
        expected(c.cleared).setTo(0);
        EXPECT_TRUE(same(expected, mask)) << c.rows << " rows, gap at " << c.gap;
        EXPECT_EQ(data, mask.data);
    }
}

TEST(FindSeamPairTest, IdenticalImagesSplitAtTheFirstColumn)
{
    const int rows = 10, cols = 12;
    MaskedImage a = randomImage(rows, cols, 3, fullMask(rows, cols));
    MaskedImage b = makeImage(a.red().clone(), a.green().clone(), a.blue().clone(), fullMask(rows, cols));
    const uchar* dataA = a.contributingPixels().data;
    const uchar* dataB = b.contributingPixels().data;

    QualitySeamFinder finder;
    finder.findSeamPair(a, b);

    // Written into the caller's buffers, not into replacement matrices.
    EXPECT_EQ(a.contributingPixels().data, dataA);
    EXPECT_EQ(b.contributingPixels().data, dataB);

    // Rows 0..H-2: A keeps column 0, B columns 1..W-3; the last row and the
    // last two columns are left to both.
    cv::Mat expectedA = fullMask(rows, cols);
    cv::Mat expectedB = fullMask(rows, cols);
    expectedA(cv::Rect(1, 0, cols - 3, rows - 1)).setTo(0);
    expectedB(cv::Rect(0, 0, 1, rows - 1)).setTo(0);
    EXPECT_TRUE(same(expectedA, a.contributingPixels()));
    EXPECT_TRUE(same(expectedB, b.contributingPixels()));
    // Valid masks are not the seam's business.
    EXPECT_EQ(cv::countNonZero(a.validPixels()), rows * cols);
}

TEST(FindSeamPairTest, SeamStaysInsideTheErodedOverlap)
{
    // A contributes in columns 0..14, B in 6..23: the overlap 6..14 loses three
    // columns on each side to the erosion, leaving 9..11 as the only cheap cut.
    const int rows = 12, cols = 24;
    MaskedImage a = randomImage(rows, cols, 5, columns(rows, cols, 0, 15));
    MaskedImage b = makeImage(a.red(), a.green(), a.blue(), columns(rows, cols, 6, 24));

    QualitySeamFinder().findSeamPair(a, b);

    for (int r = 0; r < rows - 1; ++r) {
        EXPECT_EQ(handover(a.contributingPixels(), b.contributingPixels(), r, 6, 14), 9) << "row " << r;
        EXPECT_EQ(cv::countNonZero(a.contributingPixels().row(r).colRange(0, 6)), 6);
        EXPECT_EQ(cv::countNonZero(b.contributingPixels().row(r).colRange(15, cols)), cols - 15);
    }
    // The last row is not decided by the seam.
    EXPECT_EQ(cv::countNonZero(a.contributingPixels().row(rows - 1)), 15);
    EXPECT_EQ(cv::countNonZero(b.contributingPixels().row(rows - 1)), cols - 6);
}

// Two images over a full overlap whose red planes differ by the given amount
// per pixel; returns the seam column in every row but the last.
std::vector<int> seamFor(const cv::Mat& redDifference)
{
    const int rows = redDifference.rows, cols = redDifference.cols;
    const cv::Mat other = filled(rows, cols, 90);
    MaskedImage a = makeImage(filled(rows, cols, 0), other, other, fullMask(rows, cols));
    MaskedImage b = makeImage(redDifference, other, other, fullMask(rows, cols));
    QualitySeamFinder().findSeamPair(a, b);

    std::vector<int> seam;
    for (int r = 0; r < rows - 1; ++r) {
        seam.push_back(handover(a.contributingPixels(), b.contributingPixels(), r, 0, cols - 3));
    }
    return seam;
}

// The same with one difference per column, over 8 rows.
std::vector<int> seamFor(const std::vector<int>& columnDifference)
{
    cv::Mat difference(8, static_cast<int>(columnDifference.size()), CV_8UC1);
    for (int x = 0; x < difference.cols; ++x) {
        difference.col(x).setTo(columnDifference[x]);
    }
    return seamFor(difference);
}

// Walls of difference 200 with two one-pixel channels, at columns 3 and 8,
// each followed by an agreeing column; the seam takes the cheaper channel.
int race(int leftDifference, int rightDifference)
{
    std::vector<int> profile(14, 200);
    profile[3] = leftDifference;
    profile[4] = 0;
    profile[8] = rightDifference;
    profile[9] = 0;
    const std::vector<int> seam = seamFor(profile);
    for (int column : seam) {
        EXPECT_EQ(column, seam.front());
    }
    return seam.front();
}

TEST(FindSeamPairTest, CostRisesWithDifferenceAndSaturates)
{
    EXPECT_EQ(race(18, 0), 3);   // up to 18 is noise: as free as agreement
    EXPECT_EQ(race(19, 19), 3);  // equal cost: leftmost
    EXPECT_EQ(race(19, 18), 8);  // 19 costs more than 18
    EXPECT_EQ(race(20, 19), 8);  // and less than 20
    EXPECT_EQ(race(145, 146), 3);
    EXPECT_EQ(race(146, 145), 8);  // 146 costs as much as a wall, 145 less
    // From 146 on both channels are as dear as the walls: no wrap-around to a
    // cheap value, so the leftmost column of all wins.
    EXPECT_EQ(race(146, 146), 0);
    EXPECT_EQ(race(255, 200), 0);
}

TEST(FindSeamPairTest, WalkTakesTheRightNeighbourWhenBothAreCheaper)
{
    // Differences chosen so that the cheapest seam ends at column 5, and in the
    // row above both neighbours of column 5 are cheaper than it, the left one
    // (cut cost 40) more so than the right one (90). The walk still goes right.
    const cv::Mat difference = (cv::Mat_<uchar>(4, 12) <<
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 200, 0, 38, 48, 33, 200, 200, 200, 200,
        200, 200, 200, 200, 200, 0, 0, 200, 200, 200, 200, 200,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(seamFor(difference), (std::vector<int>{6, 6, 5}));
}

TEST(FindSeamPairTest, SeamFollowsWhereTheImagesAgree)
{
    // Textured images that differ by 128 everywhere except in a three-column
    // band that runs diagonally to the left edge and back, one column per row.
    const int rows = 40, cols = 48;
    MaskedImage a = randomImage(rows, cols, 11, fullMask(rows, cols));
    auto bandStart = [](int r) { return r < 20 ? 20 - r : r - 20; };
    std::vector<cv::Mat> planesB;
    for (cv::Mat* plane : {&a.red(), &a.green(), &a.blue()}) {
        cv::Mat b = *plane ^ cv::Scalar(0x80);
        for (int r = 0; r < rows; ++r) {
            const cv::Rect band(bandStart(r), r, 3, 1);
            (*plane)(band).copyTo(b(band));
        }
        planesB.push_back(b);
    }
    MaskedImage b = makeImage(planesB[0], planesB[1], planesB[2], fullMask(rows, cols));

    QualitySeamFinder().findSeamPair(a, b);

    for (int r = 0; r < rows - 1; ++r) {
        const int seam = handover(a.contributingPixels(), b.contributingPixels(), r, 0, cols - 3);
        EXPECT_GE(seam, bandStart(r)) << "row " << r;
        EXPECT_LE(seam, bandStart(r) + 1) << "row " << r;
    }
}

TEST(FindSeamTest, RefusesOtherThanFourImages)
{
    for (int count : {3, 5}) {
        std::vector<cv::Mat> parts = makeSyntheticRigParts(200);
        parts.push_back(parts[0].clone());
        parts.resize(count);
        MaskedImageSet set(parts, true);
        std::vector<cv::Mat> before;
        for (int i = 0; i < count; ++i) {
            before.push_back(set.image(i).contributingPixels().clone());
        }
        EXPECT_EQ("QualitySeamFinder findSeam() requires four images",
                  messageOf([&] { QualitySeamFinder().findSeam(set); }));
        for (int i = 0; i < count; ++i) {
            EXPECT_TRUE(same(before[i], set.image(i).contributingPixels())) << "image " << i;
        }
    }
}

TEST(FindSeamTest, RigOverlapsEndExclusiveWithOneHandoverPerRow)
{
    const int rows = 200, cols = 400;
    std::vector<cv::Mat> parts = makeSyntheticRigParts(rows);
    MaskedImageSet set(parts, true);
    std::vector<const uchar*> data;
    std::vector<cv::Mat> before;
    for (int i = 0; i < 4; ++i) {
        data.push_back(set.image(i).contributingPixels().data);
        before.push_back(set.image(i).contributingPixels().clone());
    }

    QualitySeamFinder().findSeam(set);

    cv::Mat anyValid(rows, cols, CV_8UC1, cv::Scalar(0));
    cv::Mat contributors(rows, cols, CV_8UC1, cv::Scalar(0));
    for (int i = 0; i < 4; ++i) {
        MaskedImage& image = set.image(i);
        EXPECT_EQ(image.contributingPixels().data, data[i]) << "mask of image " << i << " replaced";
        EXPECT_GT(cv::countNonZero(image.contributingPixels() != before[i]), 0) << "image " << i;
        // Seams only take pixels away; what is handed back is valid data.
        EXPECT_EQ(cv::countNonZero(image.contributingPixels() & ~image.validPixels()), 0) << "image " << i;
        anyValid |= image.validPixels();
        cv::add(contributors, image.contributingPixels() / 255, contributors);
    }
    EXPECT_EQ(cv::countNonZero(contributors > 1), 0);
    EXPECT_EQ(cv::countNonZero((contributors == 1) != anyValid), 0);

    // Each overlap column range, with the left-hand camera first: in every row
    // the seam decides, the left camera holds a prefix and the right one the rest.
    const int quarter = cols / 4, half = quarter / 2 + quarter / 10;
    struct Overlap { int left, right, first, last; };
    const Overlap overlaps[] = {
        {0, 1, 3 * quarter - half, 2 * quarter + half - 1},
        {1, 2, cols - half, 3 * quarter + half - 1},
        {2, 3, quarter - half, half - 1},
        {3, 0, 2 * quarter - half, quarter + half - 1},
    };
    for (const Overlap& o : overlaps) {
        for (int r = 0; r < rows - 1; ++r) {
            handover(set.image(o.left).contributingPixels(), set.image(o.right).contributingPixels(), r, o.first,
                     o.last);
        }
    }
}

} // namespace
} // namespace orb
