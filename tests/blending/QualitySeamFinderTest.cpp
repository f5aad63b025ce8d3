#include "StitchLib/blending/QualitySeamFinder.h"

#include "tests/blending/SyntheticRigParts.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace orb {
namespace {

const unsigned char kOn = 255;

cv::Mat fullMask(int rows, int cols) { return cv::Mat(rows, cols, CV_8UC1, cv::Scalar(kOn)); }

// Mask that is 255 in columns [first, last] and 0 elsewhere.
cv::Mat columnMask(int rows, int cols, int first, int last)
{
    cv::Mat mask(rows, cols, CV_8UC1, cv::Scalar(0));
    mask.colRange(first, last + 1).setTo(kOn);
    return mask;
}

MaskedImage makeImage(const cv::Mat& red, const cv::Mat& green, const cv::Mat& blue, const cv::Mat& contributing)
{
    return MaskedImage(red, green, blue, contributing.clone(), contributing);
}

cv::Mat randomPlane(int rows, int cols, cv::RNG& rng)
{
    cv::Mat plane(rows, cols, CV_8UC1);
    rng.fill(plane, cv::RNG::UNIFORM, 0, 256);
    return plane;
}

// Column where A hands over to B in row r, over columns [first, last]: A must
// hold a prefix and B the rest, each pixel exactly one of the two.
int handover(const cv::Mat& maskA, const cv::Mat& maskB, int r, int first, int last)
{
    int end = first - 1;
    bool seenB = false;
    for (int x = first; x <= last; ++x) {
        const bool a = maskA.at<unsigned char>(r, x) == kOn;
        const bool b = maskB.at<unsigned char>(r, x) == kOn;
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
    // A gap in the middle band clears the whole column.
    cv::Mat mask = fullMask(8, 8);
    mask.at<unsigned char>(4, 3) = 0;
    SeamFinderBase::simplifyMask(mask);
    cv::Mat expected = fullMask(8, 8);
    expected.col(3).setTo(0);
    EXPECT_EQ(cv::countNonZero(mask != expected), 0);

    // A gap at the very top only removes itself.
    mask = fullMask(8, 8);
    mask.at<unsigned char>(0, 3) = 0;
    expected = mask.clone();
    SeamFinderBase::simplifyMask(mask);
    EXPECT_EQ(cv::countNonZero(mask != expected), 0);

    // A gap near the top clears what lies above it:
    // column 2 of 16 rows = on, off, on, on ... -> off, off, on, on ...
    mask = fullMask(16, 8);
    mask.at<unsigned char>(1, 2) = 0;
    expected = mask.clone();
    expected.at<unsigned char>(0, 2) = 0;
    SeamFinderBase::simplifyMask(mask);
    EXPECT_EQ(cv::countNonZero(mask != expected), 0);

    // A gap near the bottom clears everything below it.
    mask = fullMask(16, 8);
    mask.at<unsigned char>(14, 5) = 0;
    expected = mask.clone();
    expected(cv::Rect(5, 14, 1, 2)).setTo(0);
    SeamFinderBase::simplifyMask(mask);
    EXPECT_EQ(cv::countNonZero(mask != expected), 0);

    // The middle band of 16 rows is rows 3..13: a gap on either edge of it
    // already clears the column.
    for (int row : {3, 13}) {
        mask = fullMask(16, 8);
        mask.at<unsigned char>(row, 4) = 0;
        SeamFinderBase::simplifyMask(mask);
        EXPECT_EQ(cv::countNonZero(mask.col(4)), 0) << "gap at row " << row;
        EXPECT_EQ(cv::countNonZero(mask), 16 * 7) << "gap at row " << row;
    }

    // The last column is never touched, and the buffer stays the same.
    mask = fullMask(8, 8);
    mask.at<unsigned char>(4, 7) = 0;
    const unsigned char* data = mask.data;
    SeamFinderBase::simplifyMask(mask);
    EXPECT_EQ(mask.data, data);
    EXPECT_EQ(cv::countNonZero(mask), 63);
}

TEST(FindSeamPairTest, IdenticalImagesSplitAtTheFirstColumn)
{
    const int rows = 10, cols = 12;
    cv::RNG rng(3);
    const cv::Mat red = randomPlane(rows, cols, rng), green = randomPlane(rows, cols, rng),
                  blue = randomPlane(rows, cols, rng);
    MaskedImage a = makeImage(red, green, blue, fullMask(rows, cols));
    MaskedImage b = makeImage(red.clone(), green.clone(), blue.clone(), fullMask(rows, cols));
    const unsigned char* dataA = a.contributingPixels().data;
    const unsigned char* dataB = b.contributingPixels().data;

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
    EXPECT_EQ(cv::countNonZero(a.contributingPixels() != expectedA), 0);
    EXPECT_EQ(cv::countNonZero(b.contributingPixels() != expectedB), 0);
    // Valid masks are not the seam's business.
    EXPECT_EQ(cv::countNonZero(a.validPixels()), rows * cols);
}

TEST(FindSeamPairTest, SeamStaysInsideTheErodedOverlap)
{
    // A contributes in columns 0..14, B in 6..23: the overlap 6..14 loses three
    // columns on each side to the erosion, leaving 9..11 as the only cheap cut.
    const int rows = 12, cols = 24;
    cv::RNG rng(5);
    const cv::Mat red = randomPlane(rows, cols, rng), green = randomPlane(rows, cols, rng),
                  blue = randomPlane(rows, cols, rng);
    MaskedImage a = makeImage(red, green, blue, columnMask(rows, cols, 0, 14));
    MaskedImage b = makeImage(red, green, blue, columnMask(rows, cols, 6, 23));

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
    const cv::Mat redA(rows, cols, CV_8UC1, cv::Scalar(0));
    const cv::Mat other(rows, cols, CV_8UC1, cv::Scalar(90));
    MaskedImage a = makeImage(redA, other, other, fullMask(rows, cols));
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
    cv::Mat difference(4, 12, CV_8UC1, cv::Scalar(0));
    const int middleRow[] = {0, 0, 0, 200, 0, 38, 48, 33, 200, 200, 200, 200};
    const int bottomRow[] = {200, 200, 200, 200, 200, 0, 0, 200, 200, 200, 200, 200};
    for (int x = 0; x < 12; ++x) {
        difference.at<unsigned char>(1, x) = static_cast<unsigned char>(middleRow[x]);
        difference.at<unsigned char>(2, x) = static_cast<unsigned char>(bottomRow[x]);
    }
    EXPECT_EQ(seamFor(difference), (std::vector<int>{6, 6, 5}));
}

TEST(FindSeamPairTest, SeamFollowsWhereTheImagesAgree)
{
    // Textured images that differ by 128 everywhere except in a three-column
    // band that runs diagonally to the left edge and back, one column per row.
    const int rows = 40, cols = 48;
    cv::RNG rng(11);
    MaskedImage a = makeImage(randomPlane(rows, cols, rng), randomPlane(rows, cols, rng),
                              randomPlane(rows, cols, rng), fullMask(rows, cols));
    auto bandStart = [](int r) { return r < 20 ? 20 - r : r - 20; };
    std::vector<cv::Mat> planesB;
    for (cv::Mat* plane : {&a.red(), &a.green(), &a.blue()}) {
        cv::Mat b = *plane ^ cv::Scalar(0x80);
        for (int r = 0; r < rows; ++r) {
            plane->row(r).colRange(bandStart(r), bandStart(r) + 3).copyTo(b.row(r).colRange(bandStart(r), bandStart(r) + 3));
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
        try {
            QualitySeamFinder().findSeam(set);
            ADD_FAILURE() << count << " images accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "QualitySeamFinder findSeam() requires four images");
        }
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(cv::countNonZero(set.image(i).contributingPixels() != before[i]), 0) << "image " << i;
        }
    }
}

TEST(FindSeamTest, RigOverlapsEndExclusiveWithOneHandoverPerRow)
{
    const int rows = 200, cols = 400;
    std::vector<cv::Mat> parts = makeSyntheticRigParts(rows);
    MaskedImageSet set(parts, true);
    std::vector<const unsigned char*> data;
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
