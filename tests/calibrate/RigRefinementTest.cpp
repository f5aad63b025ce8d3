#include "calibrate/CalibrationCheck.h"
#include "calibrate/LensRays.h"
#include "calibrate/OverlapMatches.h"
#include "calibrate/RigRefinement.h"

#include "sim/Rig.h"

#include "StitchLib/input/CalibrationFile.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <opencv2/calib3d.hpp>

#include <cmath>
#include <filesystem>

namespace fs = std::filesystem;
using namespace calibrate;

namespace {

constexpr double kDeg = CV_PI / 180.0;

// The simulator's rig as the stitcher reads it: through its calibration file.
std::vector<orb::CameraIntrinsics> asCalibration(const std::vector<orb::sim::RigCamera>& rig, const std::string& name)
{
    const fs::path dir = fs::path(QUADSTITCH_TEST_TMP) / ("calibrate-refine-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / (name + ".yaml")).string();
    orb::sim::writeCalibration(path, rig);
    return orb::input::readCalibration(path, 4);
}

double rotationAngle(const orb::CameraIntrinsics& a, const orb::CameraIntrinsics& b)
{
    cv::Vec3d v;
    cv::Rodrigues(cv::Matx33d(rigToCamera(a) * rigToCamera(b).t()), v);
    return cv::norm(v);
}

// Matches of points at 1 to 6 m in each pair's overlap, seen by the true cameras,
// with pixel noise and a share of wrong partners.
std::vector<PairMatches> syntheticMatches(const std::vector<orb::CameraIntrinsics>& truth, cv::Size size,
                                          int perPair, double noisePixels, double outlierShare)
{
    cv::RNG rng(1234);
    std::vector<PairMatches> pairs;
    for (int a = 0; a < 4; ++a) {
        PairMatches pair;
        pair.cameraA = a;
        pair.cameraB = (a + 1) % 4;
        const orb::CameraIntrinsics& ca = truth[pair.cameraA];
        const orb::CameraIntrinsics& cb = truth[pair.cameraB];
        const double bisector = (a + 0.5) * CV_PI / 2;
        while (static_cast<int>(pair.matches.size()) < perPair) {
            const double azimuth = bisector + rng.uniform(-0.7, 0.7);
            const double elevation = rng.uniform(-1.0, 1.3);
            const cv::Vec3d dir(std::cos(elevation) * std::cos(azimuth), std::cos(elevation) * std::sin(azimuth),
                                -std::sin(elevation));
            const cv::Vec3d point = dir * rng.uniform(1.0, 6.0);
            PixelMatch m;
            if (!rayToPixel(ca, rigToCamera(ca) * (point - cameraCentre(ca)), 1.4486, m.a) ||
                !rayToPixel(cb, rigToCamera(cb) * (point - cameraCentre(cb)), 1.4486, m.b) ||
                !cv::Rect2d(0, 0, size.width - 1, size.height - 1).contains(m.a) ||
                !cv::Rect2d(0, 0, size.width - 1, size.height - 1).contains(m.b))
                continue;
            m.a += cv::Point2d(rng.gaussian(noisePixels), rng.gaussian(noisePixels));
            m.b += cv::Point2d(rng.gaussian(noisePixels), rng.gaussian(noisePixels));
            if (rng.uniform(0.0, 1.0) < outlierShare)
                m.b += cv::Point2d(rng.uniform(-40.0, 40.0), rng.uniform(-40.0, 40.0));
            pair.matches.push_back(m);
            pair.candidates++;
        }
        pairs.push_back(pair);
    }
    return pairs;
}

class RigSolve : public ::testing::Test {
protected:
    const cv::Size size{640, 640};
    const std::vector<orb::sim::RigCamera> rig = orb::sim::makeRig(size, 3);
    const std::vector<orb::CameraIntrinsics> truth = asCalibration(rig, "truth");
};

} // namespace

// Rotation errors of 1 and 3 degrees per axis come back to within a hundredth of a
// degree from noisy matches with wrong partners among them; the rig's camera
// centres stay where they were and the rig as a whole does not turn.
TEST_F(RigSolve, RecoversRotationErrorsAndKeepsTheRigsFrameAndCentres)
{
    const std::vector<PairMatches> matches = syntheticMatches(truth, size, 800, 0.1, 0.1);
    for (double sigma : {1.0, 3.0}) {
        const std::vector<orb::CameraIntrinsics> off =
            asCalibration(orb::sim::withRotationErrors(rig, sigma, 7), "off");
        double before = 0;
        for (int c = 0; c < 4; ++c)
            before = std::max(before, rotationAngle(off[c], truth[c]));
        ASSERT_GT(before, 0.5 * sigma * kDeg);

        const calibrate::Refinement result = refineRig(off, matches, RefineMode::Rotation);
        ASSERT_TRUE(result.converged);
        cv::Vec3d sum(0, 0, 0);
        for (int c = 0; c < 4; ++c) {
            EXPECT_LT(rotationAngle(result.cameras[c], truth[c]), 0.01 * kDeg) << "camera " << c + 1 << ", sigma " << sigma;
            EXPECT_LT(cv::norm(cameraCentre(result.cameras[c]) - cameraCentre(truth[c])), 1e-5);
            EXPECT_EQ(result.cameras[c].lensCoeffs, off[c].lensCoeffs);
            EXPECT_EQ(result.cameras[c].centre, off[c].centre);
            sum += result.corrections[c].rotation;
        }
        EXPECT_LT(cv::norm(sum), 1e-9);
        for (const PairResidual& p : result.pairs) {
            EXPECT_EQ(p.matches, 800u);
            EXPECT_GT(p.beforeDegrees, 5 * p.afterDegrees);
            // What the pixel noise alone leaves: two rays' 0.03 degrees.
            EXPECT_LT(p.afterDegrees, 0.04);
        }
    }
}

// A lens centre off by a few pixels: rotations alone cannot explain the matches,
// rotations and centres can.
TEST_F(RigSolve, LensCentreRefinedOnlyWhenAsked)
{
    const std::vector<PairMatches> matches = syntheticMatches(truth, size, 400, 0.1, 0.0);
    std::vector<orb::CameraIntrinsics> off = truth;
    off[1].centre(0) += 4.0f;
    off[1].centre(1) -= 3.0f;
    const calibrate::Refinement rotation = refineRig(off, matches, RefineMode::Rotation);
    const calibrate::Refinement centres = refineRig(off, matches, RefineMode::RotationCentre);
    ASSERT_TRUE(centres.converged);
    EXPECT_EQ(rotation.cameras[1].centre, off[1].centre);
    for (int p : {0, 1}) {  // the pairs camera 2 is in
        EXPECT_LT(centres.pairs[p].afterDegrees, 0.5 * rotation.pairs[p].afterDegrees);
        EXPECT_LT(centres.pairs[p].afterDegrees, 0.03);
    }
    const cv::Vec2d shift = centres.corrections[1].centreShift;
    EXPECT_NEAR(shift[0], -4.0, 0.6);
    EXPECT_NEAR(shift[1], 3.0, 0.6);
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(centres.corrections[c].k0Scale, 1.0);
}

// The geometric check keeps matches that one relative rotation and the baseline
// explain, near and far alike, and drops wrong partners and rays that would meet
// behind the cameras.
TEST(GeometricCheck, KeepsConsistentMatchesAndDropsTheRest)
{
    cv::RNG rng(99);
    const cv::Vec3d centreA(0.05, 0, 0), centreB(0, 0.05, 0);
    cv::Matx33d turn;
    cv::Rodrigues(cv::Vec3d(0.02, -0.03, 0.04), turn);  // B's rays off by about 3 degrees
    std::vector<cv::Vec3d> raysA, raysB;
    std::vector<bool> good;
    for (int i = 0; i < 300; ++i) {
        const double azimuth = CV_PI / 4 + rng.uniform(-0.6, 0.6), elevation = rng.uniform(-1.0, 1.0);
        const cv::Vec3d dir(std::cos(elevation) * std::cos(azimuth), std::cos(elevation) * std::sin(azimuth),
                            std::sin(elevation));
        const cv::Vec3d point = dir * rng.uniform(0.8, 20.0);
        cv::Vec3d a = cv::normalize(point - centreA), b = cv::normalize(point - centreB);
        const int kind = i % 10;
        if (kind == 0) {  // a wrong partner
            b = cv::normalize(b + cv::Vec3d(rng.uniform(-0.1, 0.1), rng.uniform(-0.1, 0.1), rng.uniform(-0.1, 0.1)));
        } else if (kind == 1) {  // rays that diverge: they would meet behind the cameras
            b = cv::normalize(point + centreB - 2 * centreA);
        }
        raysA.push_back(a);
        raysB.push_back(turn.t() * b);
        good.push_back(kind > 1);
    }
    const std::vector<std::size_t> kept = consistentMatches(raysA, raysB, centreB - centreA, 0.05 * kDeg, 0.25);
    std::size_t goodKept = 0, badKept = 0;
    for (std::size_t i : kept)
        (good[i] ? goodKept : badKept)++;
    EXPECT_EQ(goodKept, 240u);
    // A wrong partner can fall on its epipolar plane by chance; one in a hundred at most.
    EXPECT_LE(badKept, 1u);
}

TEST(GeometricCheck, TooFewMatchesNameThePair)
{
    std::vector<PairMatches> pairs(4);
    for (int p = 0; p < 4; ++p) {
        pairs[p].cameraA = p;
        pairs[p].cameraB = (p + 1) % 4;
        pairs[p].matches.resize(p == 1 ? kMinimumMatches - 1 : kMinimumMatches);
        pairs[p].candidates = 500;
    }
    try {
        requireMatches(pairs, kMinimumMatches);
        FAIL() << "no error";
    } catch (const TooFewMatchesError& e) {
        EXPECT_EQ(e.cameraA, 1);
        EXPECT_EQ(e.cameraB, 2);
        EXPECT_NE(std::string(e.what()).find("cameras 2 and 3 (right and back)"), std::string::npos) << e.what();
    }
    pairs[1].matches.resize(kMinimumMatches);
    EXPECT_NO_THROW(requireMatches(pairs, kMinimumMatches));
}

// The check passes the calibration the matches were made with and fails one whose
// cameras are off by a tenth of a degree; its threshold follows the lens scale.
TEST_F(RigSolve, CheckTellsAFittingCalibrationFromOneOff)
{
    const std::vector<PairMatches> matches = syntheticMatches(truth, size, 300, 0.1, 0.05);
    const CheckResult fits = checkResiduals(truth, matches);
    EXPECT_TRUE(fits.passed) << checkSummary(fits);
    EXPECT_NEAR(fits.thresholdDegrees, kCheckThresholdPixels / truth[0].lensCoeffs(0) * 180 / CV_PI,
                0.05 * fits.thresholdDegrees);
    ASSERT_EQ(fits.pairs.size(), 4u);
    const CheckResult off = checkResiduals(asCalibration(orb::sim::withRotationErrors(rig, 0.1, 8), "off"), matches);
    EXPECT_FALSE(off.passed) << checkSummary(off);
    EXPECT_GT(off.worstDegrees, fits.worstDegrees);
    EXPECT_EQ(off.thresholdDegrees, fits.thresholdDegrees);
}
