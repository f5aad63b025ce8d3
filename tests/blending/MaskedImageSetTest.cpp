#include "StitchLib/blending/MaskedImageSet.h"

#include "tests/blending/TestImages.h"

#include <gtest/gtest.h>

namespace orb {
namespace {

using namespace test;

// A set of 1x1 images with the given per-image mask values.
MaskedImageSet pixelSet(const std::vector<uchar>& valid, const std::vector<uchar>& contributing)
{
    MaskedImageSet set;
    for (std::size_t k = 0; k < valid.size(); ++k) {
        set.addImage(flat(1, 1, 50, valid[k], contributing[k]));
    }
    return set;
}

std::vector<int> contributions(MaskedImageSet& set)
{
    std::vector<int> values;
    for (std::size_t k = 0; k < set.numImages(); ++k) {
        values.push_back(set.image(static_cast<int>(k)).contributingPixelAt(0, 0));
    }
    return values;
}

TEST(MaskedImageSetTest, FixMaskOverlapsExamples)
{
    struct Case {
        std::vector<uchar> valid, contributing;
        bool lastWins;
        std::vector<int> expected;
    };
    const Case cases[] = {
        // Contested pixels go to the first or the last contributor.
        {{255, 255, 255, 255}, {255, 0, 255, 0}, false, {255, 0, 0, 0}},
        {{255, 255, 255, 255}, {255, 0, 255, 0}, true, {0, 0, 255, 0}},
        {{0, 0, 0, 0}, {255, 255, 0, 255}, true, {0, 0, 0, 255}},
        // Uncovered pixels go to the first or the last valid image.
        {{0, 255, 255, 0}, {0, 0, 0, 0}, false, {0, 255, 0, 0}},
        {{0, 255, 255, 0}, {0, 0, 0, 0}, true, {0, 0, 255, 0}},
        {{0, 0, 0}, {0, 0, 0}, true, {0, 0, 0}},
        // A contribution without valid data is kept, not moved to a valid image.
        {{0, 255}, {255, 0}, false, {255, 0}},
    };
    for (const Case& c : cases) {
        MaskedImageSet set = pixelSet(c.valid, c.contributing);
        set.fixMaskOverlaps(c.lastWins);
        EXPECT_EQ(c.expected, contributions(set)) << "lastWins " << c.lastWins;
    }
}

TEST(MaskedImageSetTest, FixesEveryPixelOfLargerMasks)
{
    // Random masks over a non-continuous region: afterwards each pixel has at
    // most one contributor, and exactly one where any image is valid.
    const int rows = 23, cols = 31;
    cv::RNG rng(7);
    for (bool lastWins : {false, true}) {
        MaskedImageSet set;
        std::vector<cv::Mat> before;
        for (int k = 0; k < 4; ++k) {
            cv::Mat valid(rows + 4, cols + 6, CV_8UC1), contributing(rows + 4, cols + 6, CV_8UC1);
            rng.fill(valid, cv::RNG::UNIFORM, 0, 2);
            rng.fill(contributing, cv::RNG::UNIFORM, 0, 2);
            valid *= 255;
            contributing *= 255;
            const cv::Rect inner(3, 2, cols, rows);
            const cv::Mat plane = filled(rows, cols, 0);
            set.addImage(MaskedImage(plane, plane, plane, valid(inner), contributing(inner)));
            before.push_back(contributing(inner).clone());
        }
        set.fixMaskOverlaps(lastWins);
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) {
                int holders = 0, anyValid = 0, winner = -1, firstBefore = -1, lastBefore = -1;
                for (int k = 0; k < 4; ++k) {
                    if (set.image(k).contributingPixelAt(r, c)) {
                        ++holders;
                        winner = k;
                    }
                    anyValid |= set.image(k).validPixelAt(r, c);
                    if (before[k].at<uchar>(r, c)) {
                        lastBefore = k;
                        firstBefore = firstBefore < 0 ? k : firstBefore;
                    }
                }
                if (firstBefore >= 0) {
                    EXPECT_EQ(lastWins ? lastBefore : firstBefore, winner);
                }
                EXPECT_EQ(anyValid || firstBefore >= 0 ? 1 : 0, holders) << r << "," << c;
            }
        }
    }
}

TEST(MaskedImageSetTest, FixMaskOverlapsKeepsEveryValueTheRuleGivesOnWideRows)
{
    // Rows wide enough for the sixteen-pixel blocks and a tail, masks of any
    // value (a kept contribution keeps its value), sparse and dense
    // contributions, one to five images: exactly the pixel rule's result.
    cv::RNG rng(26);
    for (const int count : {1, 2, 4, 5}) {
        for (const bool lastWins : {false, true}) {
            for (const int density : {1, 5}) {
                const int rows = 9, cols = 61;
                MaskedImageSet set;
                std::vector<cv::Mat> valid, contributing;
                for (int k = 0; k < count; ++k) {
                    valid.emplace_back(rows, cols, CV_8UC1);
                    contributing.emplace_back(rows, cols, CV_8UC1);
                    rng.fill(valid.back(), cv::RNG::UNIFORM, 0, 256);
                    rng.fill(contributing.back(), cv::RNG::UNIFORM, 0, 256);
                    valid.back().setTo(0, valid.back() < 128);
                    contributing.back().setTo(0, contributing.back() < 256 - 40 * density);
                    const cv::Mat plane = filled(rows, cols, 0);
                    set.addImage(MaskedImage(plane, plane, plane, valid.back().clone(), contributing.back().clone()));
                }
                set.fixMaskOverlaps(lastWins);
                for (int r = 0; r < rows; ++r) {
                    for (int c = 0; c < cols; ++c) {
                        std::vector<int> expected(static_cast<std::size_t>(count), 0);
                        int holder = -1;
                        for (int i = 0; i < count && holder < 0; ++i) {
                            const int k = lastWins ? count - 1 - i : i;
                            if (contributing[k].at<uchar>(r, c) != 0) holder = k;
                        }
                        if (holder >= 0) {
                            expected[holder] = contributing[holder].at<uchar>(r, c);
                        } else {
                            for (int i = 0; i < count; ++i) {
                                const int k = lastWins ? count - 1 - i : i;
                                if (valid[k].at<uchar>(r, c) != 0) {
                                    expected[k] = 255;
                                    break;
                                }
                            }
                        }
                        for (int k = 0; k < count; ++k) {
                            ASSERT_EQ(expected[k], set.image(k).contributingPixelAt(r, c))
                                << count << " images, lastWins " << lastWins << " at " << r << "," << c;
                        }
                    }
                }
            }
        }
    }
}

TEST(MaskedImageSetTest, BuildsFromPartsInOrderAndReportsMisuse)
{
    std::vector<cv::Mat> parts = {cv::Mat(3, 4, CV_8UC3, cv::Scalar(1, 2, 3)),
                                  cv::Mat(3, 4, CV_8UC3, cv::Scalar(4, 5, 6))};
    MaskedImageSet set(parts, true);
    ASSERT_EQ(2u, set.numImages());
    EXPECT_EQ(cv::Size(4, 3), cv::Size(set.cols(), set.rows()));
    EXPECT_EQ(4, set.image(1).red().at<uchar>(2, 3));
    EXPECT_EQ(12, cv::countNonZero(set.image(1).validPixels()));

    std::vector<cv::Mat> none;
    EXPECT_EQ("MaskedImageSet MaskedImageSet(std::vector<cv::Mat *>) no images provided",
              messageOf([&] { MaskedImageSet bad(none, true); }));
    std::vector<cv::Mat> badType = {cv::Mat(2, 2, CV_8UC3), cv::Mat(2, 2, CV_32FC3)};
    EXPECT_EQ("MaskedImage MaskedImage(cv::Mat) image type not 8UC3 or 8UC4",
              messageOf([&] { MaskedImageSet bad(badType, false); }));

    MaskedImageSet empty;
    EXPECT_EQ(0u, empty.numImages());
    EXPECT_EQ("MaskedImageSet rows() set is empty", messageOf([&] { empty.rows(); }));
    EXPECT_EQ("MaskedImageSet cols() set is empty", messageOf([&] { empty.cols(); }));
    EXPECT_EQ("MaskedImageSet rows() set is empty", messageOf([&] { empty.fixMaskOverlaps(false); }));
    for (int index : {-1, 2}) {
        EXPECT_EQ("MaskedImageSet getImage() imageNumber out of range", messageOf([&] { set.image(index); }));
    }
}

TEST(MaskedImageSetTest, RefusesMasksThatDoNotMatchTheFirstImage)
{
    MaskedImageSet set;
    set.addImage(flat(4, 4, 50));
    set.addImage(flat(3, 4, 50));
    EXPECT_EQ("MaskedImageSet fixMaskOverlaps() image masks differ in size or type",
              messageOf([&] { set.fixMaskOverlaps(false); }));
    // Nothing was written before the check failed.
    EXPECT_EQ(16, cv::countNonZero(set.image(0).contributingPixels()));
    EXPECT_EQ(12, cv::countNonZero(set.image(1).contributingPixels()));

    MaskedImageSet wrongType;
    wrongType.addImage(flat(2, 2, 50));
    wrongType.image(0).validPixels() = cv::Mat(2, 2, CV_16UC1, cv::Scalar(255));
    EXPECT_THROW(wrongType.fixMaskOverlaps(true), std::runtime_error);
}

TEST(MaskedImageSetTest, CopiesAndBandPassShareBuffers)
{
    MaskedImageSet set = pixelSet({255, 255}, {255, 255});
    MaskedImageSet copy(set);
    MaskedImageSet assigned;
    assigned = set;
    set.image(0).contributingPixelAt(0, 0) = 0;
    EXPECT_EQ(0, copy.image(0).contributingPixelAt(0, 0));
    EXPECT_EQ(0, assigned.image(0).contributingPixelAt(0, 0));
    // Fixing overlaps through a copy reaches the original.
    copy.fixMaskOverlaps(true);
    EXPECT_EQ(255, set.image(1).contributingPixelAt(0, 0));
    // Added images are shared, and the copy keeps its own image list.
    MaskedImage outside = flat(1, 1, 50, 255, 0);
    set.addImage(outside);
    set.image(2).contributingPixelAt(0, 0) = 255;
    EXPECT_EQ(255, outside.contributingPixelAt(0, 0));
    EXPECT_EQ(2u, copy.numImages());

    // The band pass keeps the order of the images and shares their masks.
    std::vector<cv::Mat> parts = {cv::Mat(20, 20, CV_8UC3, cv::Scalar::all(3)),
                                  cv::Mat(20, 20, CV_8UC3, cv::Scalar::all(200))};
    parts[1](cv::Rect(0, 0, 10, 20)).setTo(cv::Scalar::all(0));
    MaskedImageSet parted(parts, false);
    MaskedImageSet filtered = parted.bandPassFilter();
    ASSERT_EQ(2u, filtered.numImages());
    EXPECT_EQ(0, cv::countNonZero(filtered.image(0).red()));
    EXPECT_GT(cv::countNonZero(filtered.image(1).red()), 0);
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(parted.image(k).contributingPixels().data, filtered.image(k).contributingPixels().data);
        EXPECT_EQ(parted.image(k).validPixels().data, filtered.image(k).validPixels().data);
    }
}

} // namespace
} // namespace orb
