// Seams held over the frames of a take: they keep the way most recent frames took where
// the view stayed the same, follow it where it changed, and depend on the window only.
#include "StitchLib/blending/QualitySeamFinder.h"
#include "StitchLib/blending/StableSeams.h"

#include "tests/blending/TestImages.h"

#include <gtest/gtest.h>

namespace orb {
namespace {

using namespace test;

std::vector<cv::Mat> seamsOf(StableSeamFinder& finder, unsigned seed, const cv::Mat& held, int rows = 200)
{
    std::vector<cv::Mat> parts = makeSyntheticRigParts(rows, seed);
    MaskedImageSet set(parts, true);
    finder.setHeldFrames(held);
    finder.findSeam(set);
    std::vector<cv::Mat> out;
    for (int i = 0; i < 4; ++i)
        out.push_back(set.image(i).contributingPixels().clone());
    return out;
}

std::vector<cv::Mat> freshSeamsOf(unsigned seed, int rows = 200)
{
    std::vector<cv::Mat> parts = makeSyntheticRigParts(rows, seed);
    MaskedImageSet set(parts, true);
    QualitySeamFinder().findSeam(set);
    std::vector<cv::Mat> out;
    for (int i = 0; i < 4; ++i)
        out.push_back(set.image(i).contributingPixels().clone());
    return out;
}

// The same contributions from row `first` down.
bool allSame(const std::vector<cv::Mat>& a, const std::vector<cv::Mat>& b, int first = 0)
{
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i].rowRange(first, a[i].rows), b[i].rowRange(first, b[i].rows)))
            return false;
    return true;
}

TEST(StableSeamsTest, AFrameWhoseSeamsTookAnotherWayIsOutvotedWhereTheViewStayed)
{
    const std::vector<cv::Mat> usual = freshSeamsOf(3);
    const std::vector<cv::Mat> other = freshSeamsOf(4);
    ASSERT_FALSE(allSame(usual, other));
    const cv::Mat stayed = filled(20, 40, 24);

    StableSeamFinder finder(5);
    EXPECT_EQ(finder.framesBefore(), 4);
    // The first frame: its own seams. (Compared below the strip at the zenith, where
    // all four parts meet and nothing is held.)
    EXPECT_TRUE(allSame(seamsOf(finder, 3, cv::Mat()), usual));
    EXPECT_EQ(finder.heldRows(), 0);
    // The next frame's seams go elsewhere (as noise makes them): the first frame
    // stands in for the rest of the window, and so on while the seams flip every
    // other frame.
    EXPECT_TRUE(allSame(seamsOf(finder, 4, stayed), usual, 2));
    EXPECT_GT(finder.heldRows(), 100);
    EXPECT_TRUE(allSame(seamsOf(finder, 3, stayed), usual, 2));
    EXPECT_TRUE(allSame(seamsOf(finder, 4, stayed), usual, 2));
    EXPECT_TRUE(allSame(seamsOf(finder, 3, stayed), usual, 2));
    // With the window full, the majority (4, 3, 4, 3 and this 4) wins.
    EXPECT_TRUE(allSame(seamsOf(finder, 4, stayed), other, 2));

    // Where the view changed over the last frame, the frame's own seams.
    StableSeamFinder moving(5);
    seamsOf(moving, 3, cv::Mat());
    EXPECT_TRUE(allSame(seamsOf(moving, 4, filled(20, 40, 1)), other));
    EXPECT_EQ(moving.heldRows(), 0);
    // Changed two frames ago: the frame after the change stands for the window.
    StableSeamFinder settling(5);
    seamsOf(settling, 4, cv::Mat());
    seamsOf(settling, 3, filled(20, 40, 1));
    EXPECT_TRUE(allSame(seamsOf(settling, 4, filled(20, 40, 2)), usual, 2));

    // A window of one finds every frame afresh.
    StableSeamFinder none(1);
    seamsOf(none, 3, cv::Mat());
    EXPECT_TRUE(allSame(seamsOf(none, 4, stayed), other));

    EXPECT_THROW(finder.setHeldFrames(filled(20, 20, 1)), std::runtime_error);
    EXPECT_THROW(StableSeamFinder(0), std::runtime_error);
}

TEST(StableSeamsTest, SeamsDependOnTheLastWindowOfFramesOnly)
{
    // A take whose frames' own seams vary; a run that sees only the last window of it
    // chooses the same seams for the last frame as a run over the whole take.
    const unsigned take[] = {4, 4, 4, 3, 5, 3, 4, 3};
    const cv::Mat stayed = filled(20, 40, 30);
    StableSeamFinder whole(3);
    StableSeamFinder late(3);
    std::vector<cv::Mat> fromWhole, fromLate;
    long long heldRows = 0;
    for (std::size_t f = 0; f < 8; ++f) {
        fromWhole = seamsOf(whole, take[f], f == 0 ? cv::Mat() : stayed);
        heldRows += whole.heldRows();
        if (f >= 8 - 3)
            fromLate = seamsOf(late, take[f], f == 8 - 3 ? cv::Mat() : stayed);
    }
    EXPECT_GT(heldRows, 0);
    EXPECT_TRUE(allSame(fromWhole, fromLate));
    // A different size starts afresh.
    EXPECT_TRUE(allSame(seamsOf(whole, 5, filled(20, 40, 30), 100), freshSeamsOf(5, 100)));
}

// The band a pair's seam may be held in: both masks' shared columns as one run, found
// sixteen columns at a time with a remainder, so runs are placed across every group edge.
TEST(StableSeamsTest, SharedRunFindsOneRunAndRefusesSeveral)
{
    const int cols = 53;  // three groups of sixteen and a remainder
    for (int first = 0; first < cols; ++first)
        for (int last = first; last < cols; ++last) {
            std::vector<unsigned char> a(cols, 0), b(cols, 0);
            // A wider than the run, B exactly the run, any non-zero value counting.
            for (int c = std::max(0, first - 2); c <= std::min(cols - 1, last + 3); ++c)
                a[static_cast<std::size_t>(c)] = static_cast<unsigned char>(1 + c % 255);
            for (int c = first; c <= last; ++c)
                b[static_cast<std::size_t>(c)] = 255;
            SharedRun run = sharedRun(a.data(), b.data(), cols);
            ASSERT_EQ(first, run.first) << first << ".." << last;
            ASSERT_EQ(last, run.last) << first << ".." << last;

            // A hole inside the run, or a second shared column apart from it, is no band.
            if (last - first >= 2) {
                std::vector<unsigned char> holed = b;
                holed[static_cast<std::size_t>(first + 1)] = 0;
                run = sharedRun(a.data(), holed.data(), cols);
                ASSERT_EQ(-1, run.first) << first << ".." << last;
            }
            const int apart = last + 5 < cols ? last + 5 : first - 5;
            if (apart >= 0) {
                a[static_cast<std::size_t>(apart)] = 7;
                b[static_cast<std::size_t>(apart)] = 9;
                run = sharedRun(a.data(), b.data(), cols);
                ASSERT_EQ(-1, run.first) << first << ".." << last << " and " << apart;
                ASSERT_EQ(-1, run.last);
            }
        }
    // Nothing shared: both hold data, but never in the same column.
    std::vector<unsigned char> a(cols, 0), b(cols, 0);
    for (int c = 0; c < cols; ++c)
        (c % 2 ? a : b)[static_cast<std::size_t>(c)] = 255;
    EXPECT_EQ(-1, sharedRun(a.data(), b.data(), cols).first);
    EXPECT_EQ(-1, sharedRun(a.data(), b.data(), 0).first);
}

} // namespace
} // namespace orb
