#include "StitchLib/blending/FeatherBlender.h"
#include "StitchLib/blending/MultiResolutionSpline.h"
#include "StitchLib/blending/OpenCVPyramidGenerator.h"

#include "tests/blending/TestImages.h"

#include <gtest/gtest.h>

namespace orb {
namespace {

using namespace test;

// Records the rows of every reduction and forwards to the real generator;
// throws on expansion number failAt (0: never).
class RecordingGenerator : public PyramidGeneratorBase {
public:
    MaskedImage scaleUp(MaskedImage image, int rows, int cols) override
    {
        if (++scaleUps == failAt) {
            throw std::runtime_error("expansion failed");
        }
        return inner.scaleUp(image, rows, cols);
    }
    MaskedImage scaleDown(MaskedImage image) override
    {
        reducedRows.push_back(image.rows());
        reducedContributing.push_back(cv::countNonZero(image.contributingPixels()) > 0);
        MaskedImage reduced = inner.scaleDown(image);
        if (contestEveryPixel) {
            reduced.contributingPixels().setTo(255);
        }
        return reduced;
    }

    std::vector<int> reducedRows;
    std::vector<bool> reducedContributing; // whether each reduced image contributed anywhere
    bool contestEveryPixel = false;         // every reduced image claims every pixel
    int scaleUps = 0;
    int failAt = 0;

private:
    OpenCVPyramidGenerator inner;
};

// Counts both blend forms and the rows of the sets blended whole.
class RecordingBlender : public BlenderBase {
public:
    MaskedImage blend(MaskedImage first, MaskedImage second) override
    {
        ++pairBlends;
        MaskedImage result = inner.blend(first, second);
        pairResultMasks.push_back(result.contributingPixels().data);
        return result;
    }
    MaskedImage blend(MaskedImageSet images) override
    {
        setRows.push_back(images.rows());
        setSizes.push_back(images.numImages());
        return inner.blend(images);
    }

    int pairBlends = 0;
    std::vector<const uchar*> pairResultMasks;
    std::vector<int> setRows;
    std::vector<std::size_t> setSizes;

private:
    FeatherBlender inner;
};

MaskedImage smoothImage(int rows, int cols, uchar base, const cv::Mat& valid, const cv::Mat& contributing)
{
    cv::Mat planes[3];
    for (int p = 0; p < 3; ++p) {
        planes[p].create(rows, cols, CV_8UC1);
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) {
                planes[p].at<uchar>(r, c) = cv::saturate_cast<uchar>(base + 2 * r + c + 10 * p);
            }
        }
        planes[p].setTo(0, valid == 0);
    }
    return MaskedImage(planes[0], planes[1], planes[2], valid.clone(), contributing.clone());
}

// Two overlapping parts split at a vertical seam, like neighbouring cameras.
MaskedImageSet twoParts(int rows, int cols)
{
    MaskedImageSet set;
    set.addImage(smoothImage(rows, cols, 30, columns(rows, cols, 0, cols * 2 / 3), columns(rows, cols, 0, cols / 2)));
    set.addImage(smoothImage(rows, cols, 60, columns(rows, cols, cols / 3, cols), columns(rows, cols, cols / 2, cols)));
    return set;
}

MaskedImageSet oneFullImage(int rows, int cols)
{
    MaskedImageSet set;
    set.addImage(smoothImage(rows, cols, 20, filled(rows, cols, 255), filled(rows, cols, 255)));
    return set;
}

TEST(MultiResolutionSplineTest, LevelsStopOnceALevelHasAtMost32Rows)
{
    struct Case {
        int rows;
        std::vector<int> levels;
        int coarsest;
    };
    const std::vector<Case> cases = {
        {16, {16}, 8},
        {32, {32}, 16},
        {33, {33, 17}, 9},
        {5000, {5000, 2500, 1250, 625, 313, 157, 79, 40, 20}, 10},
    };
    for (const Case& c : cases) {
        RecordingGenerator generator;
        RecordingBlender blender;
        MultiResolutionSpline spline(generator, blender);
        MaskedImageSet set = oneFullImage(c.rows, 8);
        MaskedImage result = spline.spline(set);
        EXPECT_EQ(c.levels, generator.reducedRows) << c.rows;
        EXPECT_EQ(2 * static_cast<int>(c.levels.size()), generator.scaleUps) << c.rows;
        EXPECT_EQ(std::vector<int>{c.coarsest}, blender.setRows) << c.rows;
        EXPECT_EQ(c.coarsest, set.rows()) << c.rows;
        EXPECT_EQ(cv::Size(8, c.rows), result.red().size()) << c.rows;
    }
}

TEST(MultiResolutionSplineTest, ContestedPixelsGoToTheLastThenTheFirstImageByTurns)
{
    // Every reduced image claims every pixel, so each level's overlap fixing alone
    // decides which image the next level reduces with a contribution: the last image
    // after the first level, the first after the second, and so on.
    RecordingGenerator generator;
    generator.contestEveryPixel = true;
    RecordingBlender blender;
    MultiResolutionSpline spline(generator, blender);
    MaskedImageSet set;
    set.addImage(flat(100, 8, 40));
    set.addImage(flat(100, 8, 200));
    spline.spline(set);
    ASSERT_EQ((std::vector<int>{100, 100, 50, 50, 25, 25}), generator.reducedRows);
    EXPECT_EQ((std::vector<bool>{true, true, false, true, true, false}), generator.reducedContributing);
    // The coarsest set was fixed a third time, with the last image winning again.
    EXPECT_EQ(0, cv::countNonZero(set.image(0).contributingPixels()));
    EXPECT_EQ(static_cast<int>(set.image(1).contributingPixels().total()),
              cv::countNonZero(set.image(1).contributingPixels()));
}

TEST(MultiResolutionSplineTest, OneImageIsRebuiltWithoutPairBlends)
{
    RecordingGenerator generator;
    RecordingBlender blender;
    MultiResolutionSpline spline(generator, blender);
    MaskedImageSet set = oneFullImage(70, 90);
    const cv::Mat expected = set.image(0).cvMat(true);
    MaskedImage result = spline.spline(set);

    EXPECT_EQ(0, blender.pairBlends);
    EXPECT_EQ(std::vector<std::size_t>{1}, blender.setSizes);
    // Every band restores exactly where all levels are valid.
    EXPECT_TRUE(same(expected, result.cvMat(true)));
    // The caller's set now holds the coarsest level.
    EXPECT_EQ(1u, set.numImages());
    EXPECT_EQ(9, set.rows());
}

TEST(MultiResolutionSplineTest, BlendsPartsAcrossTheSeamAndLeavesTheCoarsestSet)
{
    const int rows = 64, cols = 96;
    RecordingGenerator generator;
    RecordingBlender blender;
    MultiResolutionSpline spline(generator, blender);
    MaskedImageSet set = twoParts(rows, cols);
    MaskedImageSet reference = twoParts(rows, cols);
    MaskedImage result = spline.spline(set);

    // Two levels (64, 32), two pair blends per level for the second part.
    EXPECT_EQ(4, blender.pairBlends);
    ASSERT_EQ(2u, set.numImages());
    EXPECT_EQ(16, set.rows());
    EXPECT_EQ(24, set.cols());
    // The reduced contributions do not overlap, and the coarsest images keep
    // the input order: image 0 is the left part.
    EXPECT_EQ(0, cv::countNonZero(set.image(0).contributingPixels() & set.image(1).contributingPixels()));
    EXPECT_EQ(255, set.image(0).validPixelAt(8, 0));
    EXPECT_EQ(0, set.image(1).validPixelAt(8, 0));
    EXPECT_EQ(255, set.image(1).validPixelAt(8, 23));
    // The alpha is the very mask of the first blend: the finest plus band.
    ASSERT_FALSE(blender.pairResultMasks.empty());
    EXPECT_EQ(blender.pairResultMasks.front(), result.contributingPixels().data);

    // Alpha covers both parts' contributions; far from the seam each side
    // shows its own part.
    const cv::Mat out = result.cvMat(true);
    EXPECT_EQ(rows * cols, cv::countNonZero(result.contributingPixels() == 255));
    for (int c : {5, 20, 70, 90}) {
        const int source = c < cols / 2 ? 0 : 1;
        const int expected = reference.image(source).red().at<uchar>(30, c);
        EXPECT_NEAR(expected, out.at<cv::Vec4b>(30, c)[0], 2) << c;
        EXPECT_EQ(255, out.at<cv::Vec4b>(30, c)[3]);
    }
}

TEST(MultiResolutionSplineTest, RepeatedAndFailedCallsLeaveNoStaleLevels)
{
    RecordingGenerator generator;
    FeatherBlender blender;
    MultiResolutionSpline spline(generator, blender);
    const auto splineOf = [](MultiResolutionSpline& s) {
        MaskedImageSet set = twoParts(40, 50);
        return s.spline(set).cvMat(true);
    };
    const cv::Mat first = splineOf(spline);
    EXPECT_TRUE(same(first, splineOf(spline)));

    MaskedImageSet empty;
    EXPECT_EQ("MaskedImageSet rows() set is empty", messageOf([&] { spline.spline(empty); }));
    // 80 rows make three levels with two expansions each; the seventh is the
    // first of the reconstruction, when all levels are held.
    generator.scaleUps = 0;
    generator.failAt = 7;
    MaskedImageSet failing = twoParts(80, 40);
    EXPECT_THROW(spline.spline(failing), std::runtime_error);
    generator.failAt = 0;
    EXPECT_TRUE(same(first, splineOf(spline)));

    OpenCVPyramidGenerator freshGenerator;
    MultiResolutionSpline fresh(freshGenerator, blender);
    EXPECT_TRUE(same(first, splineOf(fresh)));
}

} // namespace
} // namespace orb
