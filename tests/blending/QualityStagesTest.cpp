// Opt-in blending stages of the best quality: exposure matching, gains over frames,
// the clean coverage edge.
#include "StitchLib/blending/CleanEdgeSpline.h"
#include "StitchLib/blending/CoverageEdge.h"
#include "StitchLib/blending/ExposureCompensator.h"
#include "StitchLib/blending/FeatherBlender.h"
#include "StitchLib/blending/MultiResolutionSpline.h"
#include "StitchLib/blending/MaskedImageSet.h"
#include "StitchLib/blending/OpenCVPyramidGenerator.h"
#include "StitchLib/blending/QualitySeamFinder.h"
#include "StitchLib/blending/TemporalGains.h"

#include "tests/blending/TestImages.h"

#include <gtest/gtest.h>

namespace orb {
namespace {

using namespace test;

// Mid-grey rig parts (colours 60..190), so gains of 10 % never saturate.
std::vector<cv::Mat> midParts(int rows, unsigned seed = 7)
{
    std::vector<cv::Mat> parts = makeSyntheticRigParts(rows, seed);
    for (cv::Mat& part : parts)
        part.forEach<cv::Vec4b>([](cv::Vec4b& p, const int*) {
            for (int k = 0; k < 3; ++k)
                p[k] = static_cast<uchar>(60 + p[k] / 2);
        });
    return parts;
}

TEST(ExposureCompensatorTest, GainsUndoPerCameraExposureAndKeepTheLevel)
{
    std::vector<cv::Mat> parts = midParts(200);
    const std::vector<cv::Mat> original = [&] {
        std::vector<cv::Mat> copy;
        for (const cv::Mat& p : parts)
            copy.push_back(p.clone());
        return copy;
    }();
    // Same scene, equal gains: nothing to correct.
    for (const cv::Vec3d& g : ExposureCompensator(4).estimate(parts))
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(g[k], 1.0, 0.02);

    const double exposure[4] = {1.1, 0.9, 1.1, 0.9};
    ExposureCompensator::apply(parts, {cv::Vec3d::all(exposure[0]), cv::Vec3d::all(exposure[1]),
                                       cv::Vec3d::all(exposure[2]), cv::Vec3d::all(exposure[3])});
    // Alpha is left alone.
    std::vector<cv::Mat> alphaBefore(1), alphaAfter(1);
    cv::extractChannel(original[1], alphaBefore[0], 3);
    cv::extractChannel(parts[1], alphaAfter[0], 3);
    EXPECT_TRUE(same(alphaBefore[0], alphaAfter[0]));

    const std::vector<cv::Vec3d> gains = ExposureCompensator(4).estimate(parts);
    ASSERT_EQ(gains.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < 3; ++k) {
            // Every product gain * exposure is the same: the overlaps agree again...
            EXPECT_NEAR(gains[i][k] * exposure[i], gains[0][k] * exposure[0], 0.015) << i;
        }
    }
    // ...at the cameras' average (geometric mean) exposure.
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(gains[0][k] * exposure[0], std::sqrt(1.1 * 0.9), 0.005);
}

// Parts that hold nothing outside their rig regions: reducing them only where two
// parts' regions meet must give the very gains of reducing them whole, for reduced
// sizes that cut cells at the regions' edges and whole factors alike.
TEST(ExposureCompensatorTest, GainsFromTheRegionsOverlapsAreTheWholePartsGains)
{
    for (const int rows : {125, 211, 320}) {
        std::vector<cv::Mat> parts = midParts(rows, 5);
        const double exposure[4] = {1.08, 0.93, 1.0, 0.97};
        for (int i = 0; i < 4; ++i)
            parts[static_cast<std::size_t>(i)].forEach<cv::Vec4b>([&](cv::Vec4b& p, const int*) {
                for (int k = 0; k < 3; ++k)
                    p[k] = cv::saturate_cast<uchar>(p[k] * exposure[i]);
            });
        // A soft, partly transparent rim on one part, as the remap leaves.
        parts[1].col(parts[1].cols / 2).forEach<cv::Vec4b>([](cv::Vec4b& p, const int*) { p[3] = 128; });
        std::vector<std::vector<cv::Rect>> regions;
        for (int i = 0; i < 4; ++i)
            regions.push_back(syntheticRigRegions(i, rows));
        for (const int reduction : {8, 3, 5}) {
            const ExposureCompensator compensator(reduction);
            const std::vector<cv::Vec3d> whole = compensator.estimate(parts);
            const std::vector<cv::Vec3d> within = compensator.estimate(parts, regions);
            ASSERT_EQ(within.size(), whole.size());
            for (std::size_t i = 0; i < whole.size(); ++i)
                EXPECT_EQ(within[i], whole[i]) << rows << " " << reduction << " " << i;
            // The exposures differ, so the gains are not all 1 and say something.
            EXPECT_NE(whole[0], cv::Vec3d(1, 1, 1)) << rows << " " << reduction;
        }
    }
    std::vector<cv::Mat> parts = midParts(100);
    EXPECT_THROW(ExposureCompensator().estimate(parts, {}), std::runtime_error);
}

TEST(ExposureCompensatorTest, SaturatedSamplesDarkenToTheMiddleOfWhatTheyCanBe)
{
    // A camera 10 % too bright saturates the scene's values above 232; its gain of
    // 1 / 1.1 must bring every sample back as near the scene's value as it can.
    cv::Mat scene(1, 256, CV_8UC4), part(1, 256, CV_8UC4);
    for (int c = 0; c < 256; ++c) {
        scene.at<cv::Vec4b>(0, c) = cv::Vec4b(static_cast<uchar>(c), 100, 0, 255);
        part.at<cv::Vec4b>(0, c) = cv::Vec4b(cv::saturate_cast<uchar>(1.1 * c), 110, 0, 255);
    }
    cv::Mat brighter(1, 1, CV_8UC4, cv::Vec4b(255, 255, 100, 255));
    std::vector<cv::Mat> parts{part, brighter};
    ExposureCompensator::apply(parts, {cv::Vec3d::all(1.0 / 1.1), cv::Vec3d::all(1.1)});
    double worst = 0.0;
    for (int c = 0; c < 256; ++c) {
        const cv::Vec4b got = parts[0].at<cv::Vec4b>(0, c);
        if (c <= 231) {  // unsaturated: scaled as ever, to within rounding
            ASSERT_NEAR(got[0], c, 1) << c;
        }
        worst = std::max(worst, std::fabs(got[0] - c));
        EXPECT_EQ(got[1], 100) << c;
        EXPECT_EQ(got[3], 255) << c;
    }
    // Scaled down like the rest, a saturated 255 would read 232 for scene values up
    // to 255: an error of 23. The middle of 232..255 halves it.
    EXPECT_LE(worst, 12.0);
    // A gain that brightens keeps saturated samples saturated.
    EXPECT_EQ(parts[1].at<cv::Vec4b>(0, 0), cv::Vec4b(255, 255, 110, 255));
}

TEST(ExposureCompensatorTest, PartsWithoutOverlapKeepUnitGainAndBadInputsAreRefused)
{
    std::vector<cv::Mat> parts = midParts(100);
    // The last part loses everything: no overlap to learn from.
    parts[3].setTo(cv::Scalar::all(0));
    const std::vector<cv::Vec3d> gains = ExposureCompensator(2).estimate(parts);
    EXPECT_EQ(gains[3], cv::Vec3d(1, 1, 1));

    std::vector<cv::Mat> grey{cv::Mat(10, 20, CV_8UC1, cv::Scalar(5))};
    EXPECT_THROW(ExposureCompensator().estimate(grey), std::runtime_error);
    EXPECT_THROW(ExposureCompensator::apply(parts, {cv::Vec3d(1, 1, 1)}), std::runtime_error);
    EXPECT_THROW(ExposureCompensator(0), std::runtime_error);
}

TEST(GainHistoryTest, SmallChangesAreSmoothedLargeOnesTakenAtOnce)
{
    GainHistory history(0.8, 0.03);
    const std::vector<cv::Vec3d> first{cv::Vec3d(1.0, 1.0, 1.0)};
    EXPECT_EQ(history.smooth(first)[0], first[0]);
    // A noisy 0.01 step moves a fifth of the way.
    EXPECT_NEAR(history.smooth({cv::Vec3d(1.01, 1.0, 1.0)})[0][0], 1.002, 1e-12);
    // A real change of exposure is followed at once, per channel.
    const cv::Vec3d jumped = history.smooth({cv::Vec3d(1.2, 1.0, 0.9)})[0];
    EXPECT_DOUBLE_EQ(jumped[0], 1.2);
    EXPECT_DOUBLE_EQ(jumped[1], 1.0);
    EXPECT_DOUBLE_EQ(jumped[2], 0.9);
    // Another number of parts starts afresh.
    const std::vector<cv::Vec3d> two{cv::Vec3d(0.5, 0.5, 0.5), cv::Vec3d(2, 2, 2)};
    EXPECT_EQ(history.smooth(two), two);
    EXPECT_THROW(GainHistory(1.0, 0.1), std::runtime_error);
}

TEST(CoverageEdgeTest, RimColourIsRestoredFromItsAlpha)
{
    cv::Mat part(1, 4, CV_8UC4);
    part.at<cv::Vec4b>(0, 0) = cv::Vec4b(100, 50, 200, 255);  // opaque: kept
    part.at<cv::Vec4b>(0, 1) = cv::Vec4b(50, 25, 100, 128);   // half covered: doubled, opaque
    part.at<cv::Vec4b>(0, 2) = cv::Vec4b(10, 10, 10, 40);     // too faint: dropped
    part.at<cv::Vec4b>(0, 3) = cv::Vec4b(0, 0, 0, 0);
    restoreRim(part, kMinRimAlpha);
    EXPECT_EQ(part.at<cv::Vec4b>(0, 0), cv::Vec4b(100, 50, 200, 255));
    EXPECT_EQ(part.at<cv::Vec4b>(0, 1), cv::Vec4b(100, 50, 199, 255));
    EXPECT_EQ(part.at<cv::Vec4b>(0, 2), cv::Vec4b(0, 0, 0, 0));
    EXPECT_EQ(part.at<cv::Vec4b>(0, 3), cv::Vec4b(0, 0, 0, 0));
    cv::Mat bgr(2, 2, CV_8UC3);
    EXPECT_THROW(restoreRim(bgr, 64), std::runtime_error);
}

// Two textured parts of one scene whose coverage ends in a curved lower edge,
// splined: away from the seam the panorama must reproduce the scene up to its very
// edge. The default spline drops the dark half of the bands along the edge (it keeps
// it only where the coarser level's expansion is valid) and misses by tens of levels
// there; the clean-edge spline keeps within the rounding of 8-bit resampling.
TEST(CoverageEdgeTest, CleanEdgeSplineKeepsDetailUpToTheCoverageEdge)
{
    const int rows = 256, cols = 512;
    cv::Mat scene(rows, cols, CV_8U);
    cv::RNG(3).fill(scene, cv::RNG::UNIFORM, 60, 200);
    cv::GaussianBlur(scene, scene, cv::Size(3, 3), 0.8);
    cv::Mat left = filled(rows, cols, 0), right = filled(rows, cols, 0);
    for (int c = 0; c < cols; ++c) {
        const int height = 150 + static_cast<int>(30 * std::cos((c - 128) / 40.0));
        if (c < 300)
            left(cv::Rect(c, 0, 1, height)).setTo(255);
        if (c >= 280)
            right(cv::Rect(c, 0, 1, height)).setTo(255);
    }
    const auto worstAwayFromSeam = [&](bool clean) {
        MaskedImageSet set;
        set.addImage(grey(scene & left, left, left));
        set.addImage(grey(scene & right, right, right));
        set.fixMaskOverlaps(false);
        FeatherBlender blender;
        OpenCVPyramidGenerator generator;
        MaskedImage result;
        if (clean) {
            CleanEdgeSpline spline(generator, blender);
            result = spline.spline(set);
        } else {
            MultiResolutionSpline spline(generator, blender);
            result = spline.spline(set);
        }
        cv::Mat diff;
        cv::absdiff(result.green(), scene, diff);
        cv::Mat counted = result.contributingPixels().clone();
        counted.colRange(280, 316).setTo(0);  // the seam and its feathering
        double worst = 0.0;
        cv::minMaxLoc(diff, nullptr, &worst, nullptr, nullptr, counted);
        // The panorama covers exactly what the parts cover.
        EXPECT_TRUE(same(result.contributingPixels(), left | right));
        return worst;
    };
    EXPECT_LE(worstAwayFromSeam(true), 2.0);
    EXPECT_GT(worstAwayFromSeam(false), 20.0);
}

// The same generator, but not the standard type: the spline then runs step by step.
struct StepByStepGenerator : OpenCVPyramidGenerator {
};

TEST(CoverageEdgeTest, CleanEdgeSplineFusedPassesGiveTheStepByStepBits)
{
    // Odd sizes leave a level one column and row over; the interleaved result, with
    // and without alpha, must be the step-by-step spline's bits.
    for (const int rows : {100, 130, 67}) {
        const auto set = [rows] {
            std::vector<cv::Mat> parts = makeSyntheticRigParts(rows, 11);
            for (cv::Mat& part : parts) {
                // A hole no part covers, with a soft rim, so that the result has
                // transparent pixels and an edge of coverage.
                cv::Mat alpha(part.size(), CV_8U, cv::Scalar(255));
                cv::circle(alpha, cv::Point(part.cols / 3, part.rows - 5), rows / 4, cv::Scalar(0), -1);
                cv::GaussianBlur(alpha, alpha, cv::Size(5, 5), 1.5);
                cv::Mat own;
                cv::extractChannel(part, own, 3);
                cv::insertChannel(cv::min(own, alpha), part, 3);
                restoreRim(part, kMinRimAlpha);
            }
            MaskedImageSet images(parts, false);
            QualitySeamFinder().findSeam(images);
            return images;
        };
        FeatherBlender blender;
        OpenCVPyramidGenerator standard;
        StepByStepGenerator stepByStep;
        MaskedImageSet referenceSet = set();
        MaskedImage reference = CleanEdgeSpline(stepByStep, blender).spline(referenceSet);
        MaskedImageSet fusedSet = set();
        const cv::Mat fused = CleanEdgeSpline(standard, blender).spline(fusedSet).cvMat(true);
        ASSERT_EQ(fused.size(), cv::Size(reference.cols(), reference.rows()));
        EXPECT_EQ(cv::norm(fused, reference.cvMat(true), cv::NORM_INF), 0.0) << rows;
        EXPECT_GT(cv::countNonZero(fused.reshape(1) != 0), 0);
        // Some pixels are covered, some not: alpha is tested, not constant.
        EXPECT_GT(cv::countNonZero(reference.contributingPixels() == 0), 0);
        for (const bool withAlpha : {true, false}) {
            MaskedImageSet interleavedSet = set();
            const cv::Mat interleaved = CleanEdgeSpline(standard, blender).splineImage(interleavedSet, withAlpha);
            ASSERT_EQ(interleaved.type(), CV_8UC(withAlpha ? 4 : 3));
            EXPECT_EQ(cv::norm(interleaved, reference.cvMat(withAlpha), cv::NORM_INF), 0.0) << rows << withAlpha;
            MaskedImageSet stepSet = set();
            const cv::Mat stepImage = CleanEdgeSpline(stepByStep, blender).splineImage(stepSet, withAlpha);
            EXPECT_EQ(cv::norm(stepImage, reference.cvMat(withAlpha), cv::NORM_INF), 0.0) << rows << withAlpha;
        }
    }
}

} // namespace
} // namespace orb
