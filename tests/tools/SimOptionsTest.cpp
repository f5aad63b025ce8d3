// Simulator options for quality measurements: sensor noise, camera gains, the
// no-parallax rig, and the sector/band/temporal scores.
#include "sim/Generator.h"
#include "sim/Renderer.h"
#include "sim/Rig.h"
#include "sim/Scene.h"
#include "sim/Scorer.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const orb::sim::Scene& scene()
{
    static const orb::sim::Scene s = orb::sim::Scene::makeRoom(6, true, 0.01);
    return s;
}

struct Truth {
    cv::Mat colour, depth;
};

const Truth& truth()
{
    static const Truth t = [] {
        Truth out;
        orb::sim::Renderer(scene(), 1).renderTruth(90, out.colour, out.depth);
        return out;
    }();
    return t;
}

} // namespace

TEST(SimOptions, NoiseHasTheAskedSpreadAndChangesWithTheFrameOnly)
{
    const cv::Mat grey(200, 200, CV_8UC3, cv::Scalar::all(128));
    cv::Mat a = grey.clone(), again = grey.clone(), nextFrame = grey.clone(), otherCamera = grey.clone();
    orb::sim::addSensorNoise(a, 3.0, 7, 0, 1);
    orb::sim::addSensorNoise(again, 3.0, 7, 0, 1);
    orb::sim::addSensorNoise(nextFrame, 3.0, 7, 1, 1);
    orb::sim::addSensorNoise(otherCamera, 3.0, 7, 0, 2);
    EXPECT_EQ(cv::norm(a, again, cv::NORM_INF), 0.0);
    EXPECT_GT(cv::norm(a, nextFrame, cv::NORM_L1), 0.0);
    EXPECT_GT(cv::norm(a, otherCamera, cv::NORM_L1), 0.0);

    cv::Mat diff;
    a.convertTo(diff, CV_32F);
    diff -= cv::Scalar::all(128);
    cv::Scalar mean, stddev;
    cv::meanStdDev(diff.reshape(1), mean, stddev);
    EXPECT_NEAR(mean[0], 0.0, 0.1);
    // Rounding adds 1/12 of a level squared.
    EXPECT_NEAR(stddev[0], std::sqrt(9.0 + 1.0 / 12.0), 0.1);

    // Saturates instead of wrapping at black.
    cv::Mat black(50, 50, CV_8UC3, cv::Scalar::all(0));
    orb::sim::addSensorNoise(black, 20.0, 1, 0, 1);
    double minV, maxV;
    cv::minMaxLoc(black.reshape(1), &minV, &maxV);
    EXPECT_LT(maxV, 100.0);
    EXPECT_GT(cv::mean(black)[0], 5.0);
}

TEST(SimOptions, RigRadiusScalesPositionsOnlyAndGainsScaleExposure)
{
    const cv::Size size(320, 320);
    const auto nominal = orb::sim::makeRig(size, 5);
    const auto same = orb::sim::makeRig(size, 5, orb::sim::kNominalRigRadius);
    const auto centred = orb::sim::makeRig(size, 5, 0.0);
    const auto wide = orb::sim::makeRig(size, 5, 0.10);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(same[k].position(), nominal[k].position());
        EXPECT_EQ(centred[k].position(), cv::Vec3d(0, 0, 0));
        EXPECT_LT(cv::norm(wide[k].position() - 2.0 * nominal[k].position()), 1e-12);
        EXPECT_EQ(centred[k].rotation(), nominal[k].rotation());
        EXPECT_EQ(centred[k].lens().coeffs(), nominal[k].lens().coeffs());
        EXPECT_EQ(centred[k].exposure(), nominal[k].exposure());
    }
    EXPECT_THROW(orb::sim::makeRig(size, 5, -0.01), std::runtime_error);

    const auto gained = orb::sim::withGains(nominal, {1.08, 0.92, 1.0, 1.08});
    EXPECT_DOUBLE_EQ(gained[0].exposure(), nominal[0].exposure() * 1.08);
    EXPECT_DOUBLE_EQ(gained[1].exposure(), nominal[1].exposure() * 0.92);
    EXPECT_THROW(orb::sim::withGains(nominal, {1.0, 1.0, 1.0}), std::runtime_error);
    EXPECT_THROW(orb::sim::withGains(nominal, {1.0, 0.0, 1.0, 1.0}), std::runtime_error);

    // The rendered image follows the gain (away from saturation).
    const orb::sim::Renderer renderer(scene(), 1);
    const double plain = cv::mean(renderer.renderCamera(nominal[1]))[1];
    const double darker = cv::mean(renderer.renderCamera(gained[1]))[1];
    EXPECT_NEAR(darker / plain, 0.92, 0.01);
}

TEST(SimOptions, SectorsAndBandsLocaliseErrors)
{
    const cv::Mat& t = truth().colour;
    // Spoil the right sector (azimuth 45..135 degrees: columns 112.5..157.5 of 180).
    cv::Mat spoiled = t.clone();
    spoiled.colRange(118, 152).setTo(cv::Scalar(0, 0, 255));
    const orb::sim::Score s = orb::sim::scorePanorama(spoiled, t, truth().depth, 90);
    ASSERT_EQ(s.sectors.size(), 4u);
    EXPECT_TRUE(std::isinf(s.sectors[0].psnr));
    EXPECT_TRUE(std::isfinite(s.sectors[1].psnr));
    EXPECT_TRUE(std::isinf(s.sectors[2].psnr));
    EXPECT_TRUE(std::isinf(s.sectors[3].psnr));
    EXPECT_EQ(s.sectors[1].pixels, 45 * 90);
    EXPECT_EQ(s.sectors[0].coverage, 1.0);

    // Spoil rows 70..74 of 90: elevations -51 to -59 at their centres.
    cv::Mat low = t.clone();
    low.rowRange(70, 75).setTo(cv::Scalar(255, 0, 0));
    cv::Mat bgra;
    cv::cvtColor(low, bgra, cv::COLOR_BGR2BGRA);
    bgra.rowRange(0, 5).setTo(cv::Scalar::all(0));  // uncovered zenith cap
    const orb::sim::Score b = orb::sim::scorePanorama(bgra, t, truth().depth, 90);
    ASSERT_EQ(b.bands.size(), 20u);
    for (const orb::sim::BandScore& band : b.bands) {
        const bool holdsSpoiled = band.lowDeg <= -55 && -55 < band.highDeg;
        SCOPED_TRACE(band.lowDeg);
        EXPECT_EQ(std::isfinite(band.psnr), holdsSpoiled);
        EXPECT_EQ(band.coverage, band.lowDeg == 80 ? 0.0 : 1.0);
    }
    EXPECT_EQ(b.bands[18].lowDeg, -30);
    EXPECT_EQ(b.bands[19].highDeg, -40);
    const std::string text = orb::sim::formatScoreDetail(b);
    EXPECT_NE(text.find("sector_back_psnr_far inf\n"), std::string::npos);
    EXPECT_NE(text.find("band_-70_-40_coverage 1.000000\n"), std::string::npos);
}

TEST(SimOptions, ComparisonMeasuresReducedDifferenceAndCoverageChanges)
{
    // 88 x 176 reduces to whole 8 x 8 blocks.
    cv::Mat a;
    cv::cvtColor(truth().colour(cv::Rect(0, 0, 176, 88)), a, cv::COLOR_BGR2BGRA);
    cv::Mat b = a.clone();
    orb::sim::Comparison c = orb::sim::comparePanoramas(a, b, 8);
    EXPECT_EQ(c.maxDifference, 0.0);
    EXPECT_EQ(c.coverageDiffering, 0);
    EXPECT_EQ(c.compared, 11 * 22);

    // One pixel off by 64 shows as 1 level after 8x8 averaging; a whole block by 64.
    b.at<cv::Vec4b>(3, 3)[1] = static_cast<uchar>(a.at<cv::Vec4b>(3, 3)[1] > 128 ? a.at<cv::Vec4b>(3, 3)[1] - 64
                                                                                  : a.at<cv::Vec4b>(3, 3)[1] + 64);
    EXPECT_NEAR(orb::sim::comparePanoramas(a, b, 8).maxDifference, 1.0, 1e-4);
    EXPECT_NEAR(orb::sim::comparePanoramas(a, b, 1).maxDifference, 64.0, 1e-4);

    // Alpha changes are counted at full size, and the blocks they touch are not compared.
    b = a.clone();
    b(cv::Rect(40, 40, 2, 3)).setTo(cv::Scalar(9, 9, 9, 0));
    c = orb::sim::comparePanoramas(a, b, 8);
    EXPECT_EQ(c.coverageDiffering, 6);
    EXPECT_EQ(c.compared, 11 * 22 - 1);
    EXPECT_EQ(c.maxDifference, 0.0);

    EXPECT_THROW(orb::sim::comparePanoramas(a, b.colRange(0, 10), 8), std::runtime_error);
}

TEST(SimOptions, NearComparisonCountsPixelsThatGotWorseOrWentMissing)
{
    const cv::Mat& t = truth().colour;
    const cv::Mat near = truth().depth > 0.5f;
    const long long nearCount = cv::countNonZero(near);
    // "Other" spoils the left half of the near pixels by 40 levels, "this" the right
    // half by 5.
    cv::Mat other = t.clone(), self = t.clone();
    cv::Mat left = near.clone(), right = near.clone();
    left.colRange(90, 180).setTo(0);
    right.colRange(0, 90).setTo(0);
    cv::add(other, cv::Scalar::all(40), other, left);
    cv::add(self, cv::Scalar::all(5), self, right);
    const orb::sim::NearVersus v = orb::sim::compareNear(self, other, t, truth().depth, 90, 8.0);
    EXPECT_EQ(v.compared, nearCount);
    EXPECT_EQ(v.worse, 0);  // 5 levels stay inside a tolerance of 8
    EXPECT_GE(v.worseStrict, cv::countNonZero(right) * 9 / 10);
    EXPECT_GE(v.better, cv::countNonZero(left) * 9 / 10);
    const orb::sim::NearVersus w = orb::sim::compareNear(other, self, t, truth().depth, 90, 8.0);
    EXPECT_NEAR(w.worse, v.better, nearCount / 100);  // black texels count as holes
    const long long beyondThree = orb::sim::compareNear(self, other, t, truth().depth, 90, 3.0).worse;
    EXPECT_GE(beyondThree, cv::countNonZero(right) * 9 / 10);
    EXPECT_LE(beyondThree, v.worseStrict);

    // A panorama darker throughout is brought to the truth's level first: 6 % less
    // light is no worse than the exact truth, though it is 6 % of the colour off.
    cv::Mat darker;
    t.convertTo(darker, -1, 0.94);
    const orb::sim::NearVersus level = orb::sim::compareNear(darker, t, t, truth().depth, 90, 1.0);
    EXPECT_EQ(level.worse, 0);
    EXPECT_NEAR(level.level[1], 1.0 / 0.94, 0.005);
    EXPECT_DOUBLE_EQ(level.otherLevel[1], 1.0);

    // Near pixels the other panorama covers and this one does not are worse at any
    // tolerance, and are drawn in magenta; worse ones in red.
    cv::Mat holed = t.clone();
    holed.setTo(cv::Scalar::all(0), right);
    cv::Mat picture;
    const orb::sim::NearVersus h = orb::sim::compareNear(holed, t, t, truth().depth, 90, 255.0, &picture);
    ASSERT_EQ(picture.size(), cv::Size(180, 90));
    EXPECT_EQ(h.uncovered, cv::countNonZero(right));
    EXPECT_EQ(h.worse, h.uncovered);
    EXPECT_DOUBLE_EQ(h.share(h.worse), static_cast<double>(h.uncovered) / static_cast<double>(nearCount));
    cv::Mat magenta;
    cv::inRange(picture, cv::Scalar(255, 0, 255), cv::Scalar(255, 0, 255), magenta);
    EXPECT_EQ(cv::countNonZero(magenta), h.uncovered);
    cv::Mat drawn;
    orb::sim::compareNear(self, t, t, truth().depth, 90, 3.0, &drawn);
    cv::Mat red;
    cv::inRange(drawn, cv::Scalar(0, 0, 96), cv::Scalar(0, 0, 255), red);
    EXPECT_EQ(cv::countNonZero(red & right), cv::countNonZero(red));
    EXPECT_GE(cv::countNonZero(red), cv::countNonZero(right) * 9 / 10);
    EXPECT_NE(orb::sim::formatNearVersus(h).find("near_worse_strict_share "), std::string::npos);
    EXPECT_THROW(orb::sim::compareNear(self, t, t, truth().depth, 90, -1.0), std::runtime_error);

    // Per kind of near surface the counts add up; spoiling the near pixels above the
    // horizon makes the ceiling worse throughout and the floor nowhere.
    cv::Mat above = near.clone();
    above.rowRange(45, 90).setTo(0);
    cv::Mat upper = t.clone();
    cv::add(upper, cv::Scalar::all(40), upper, above);
    const orb::sim::NearVersus k = orb::sim::compareNear(upper, t, t, truth().depth, 90, 3.0);
    using V = orb::sim::NearVersus;
    long long compared = 0, worse = 0;
    for (int kind = 0; kind < V::kKinds; ++kind) {
        compared += k.comparedOf[kind];
        worse += k.worseOf[kind];
    }
    EXPECT_EQ(compared, k.compared);
    EXPECT_EQ(worse, k.worse);
    ASSERT_GT(k.comparedOf[V::kCeiling], 0);
    ASSERT_GT(k.comparedOf[V::kFloor], 0);
    EXPECT_GE(k.worseOf[V::kCeiling], k.comparedOf[V::kCeiling] * 9 / 10);
    EXPECT_EQ(k.worseOf[V::kFloor], 0);
    EXPECT_NE(orb::sim::formatNearVersus(k).find("near_floor_worse_share 0.000000"), std::string::npos);
    EXPECT_EQ(orb::sim::formatNearVersus(k).find("near_unseen"), std::string::npos);

    // With a sighting count, the pixels split by it too, at the fewest under each
    // reduced pixel: reduced row 10 is half unseen, half seen once, and counts as unseen.
    cv::Mat seen(t.size(), CV_8UC1, cv::Scalar(4));
    seen.rowRange(0, 21).setTo(0);
    seen.rowRange(21, 60).setTo(1);
    const orb::sim::NearVersus bySight =
        orb::sim::compareNear(upper, t, t, truth().depth, 45, 3.0, nullptr, seen);
    cv::Mat reducedDepth;
    cv::resize(truth().depth, reducedDepth, cv::Size(90, 45), 0, 0, cv::INTER_AREA);
    const cv::Mat reducedNear = reducedDepth > 0.5f;
    ASSERT_TRUE(bySight.sightKnown);
    EXPECT_EQ(bySight.comparedBySight[0], cv::countNonZero(reducedNear.rowRange(0, 11)));
    EXPECT_EQ(bySight.comparedBySight[1], cv::countNonZero(reducedNear.rowRange(11, 30)));
    EXPECT_EQ(bySight.comparedBySight[2], cv::countNonZero(reducedNear.rowRange(30, 45)));
    EXPECT_EQ(bySight.worseBySight[0] + bySight.worseBySight[1] + bySight.worseBySight[2], bySight.worse);
    EXPECT_EQ(bySight.worseBySight[2], 0);  // below the horizon nothing was spoiled
    EXPECT_GT(bySight.worseBySight[0], 0);
    EXPECT_NE(orb::sim::formatNearVersus(bySight).find("near_seen_twice_worse_share "), std::string::npos);
    EXPECT_THROW(orb::sim::compareNear(upper, t, t, truth().depth, 90, 3.0, nullptr, seen.rowRange(0, 10)),
                 std::runtime_error);
}

TEST(SimOptions, SightingsCountTheCamerasThatSeeEachTrueSurface)
{
    const orb::sim::Renderer renderer(scene(), 1);
    const cv::Size size(64, 64);
    const double maxTheta = orb::sim::kStitchedMaxTheta;
    // How many cameras have the true surface point of each truth pixel within their
    // angle, whatever stands in between.
    const auto inAngle = [&](const std::vector<orb::sim::RigCamera>& rig) {
        cv::Mat count(truth().depth.size(), CV_8UC1, cv::Scalar(0));
        for (int r = 0; r < count.rows; ++r)
            for (int c = 0; c < count.cols; ++c) {
                const cv::Vec3d point = orb::sim::panoramaDirection(r, c, count.rows) / truth().depth.at<float>(r, c);
                for (const orb::sim::RigCamera& camera : rig) {
                    const cv::Vec3d v = point - camera.position();
                    count.at<uchar>(r, c) += v.dot(camera.opticalAxis()) >= std::cos(maxTheta) * std::sqrt(v.dot(v));
                }
            }
        return count;
    };
    const std::vector<orb::sim::RigCamera> centredRig = orb::sim::makeRig(size, 6, 0.0);
    const std::vector<orb::sim::RigCamera> offsetRig = orb::sim::makeRig(size, 6, 0.5);
    const cv::Mat centred = renderer.renderSightings(90, centredRig, maxTheta);
    const cv::Mat offset = renderer.renderSightings(90, offsetRig, maxTheta);
    ASSERT_EQ(centred.size(), cv::Size(180, 90));
    ASSERT_EQ(centred.type(), CV_8UC1);
    // Straight ahead at the horizon one camera sees the wall, half way to the next
    // camera two do, and below about -63 degrees none does.
    EXPECT_EQ(centred.at<uchar>(45, 90), 1);
    EXPECT_EQ(centred.at<uchar>(45, 112), 2);
    EXPECT_EQ(cv::countNonZero(centred.rowRange(80, 90)), 0);
    // From the rig centre nothing can hide what a camera points at; off the centre
    // the near objects hide parts of the room from some cameras.
    EXPECT_EQ(cv::countNonZero(centred != inAngle(centredRig)), 0);
    const cv::Mat angleOnly = inAngle(offsetRig);
    EXPECT_EQ(cv::countNonZero(offset > angleOnly), 0);
    EXPECT_GT(cv::countNonZero(offset < angleOnly), 20);
}

TEST(SimOptions, MovingTakesKeepOneTruthPerFrameAndStartWhereAStillFrameStands)
{
    const std::string dir = ::testing::TempDir() + "/sim-moving-take";
    std::filesystem::remove_all(dir);
    orb::sim::FrameSettings settings;
    settings.cameraWidth = settings.cameraHeight = 64;
    settings.truthHeight = 40;
    settings.supersample = 1;
    settings.seed = 6;
    const std::vector<std::string> still = orb::sim::generateFrame(dir + "/still", settings);
    EXPECT_EQ(std::filesystem::path(still[5]).filename(), "truth.png");
    settings.moving = true;
    settings.degreesPerFrame = 1.8;
    std::vector<std::vector<std::string>> take;
    for (std::uint32_t frame : {0u, 5u}) {
        settings.frame = frame;
        take.push_back(orb::sim::generateFrame(dir + "/take", settings));
    }
    EXPECT_EQ(std::filesystem::path(take[1][5]).filename(), "truth-0000000005.png");
    EXPECT_EQ(std::filesystem::path(take[1][6]).filename(), "truth-invdepth-0000000005.tiff");
    EXPECT_EQ(std::filesystem::path(take[1][7]).filename(), "truth-seen-0000000005.png");
    // Frame 0 of a moving take is the still frame; frame 5 has moved, both in the
    // cameras and in the truth, and its truth was not overwritten by the other frame's.
    for (int i : {0, 5, 6}) {
        const cv::Mat s = cv::imread(still[i], cv::IMREAD_UNCHANGED);
        const cv::Mat first = cv::imread(take[0][i], cv::IMREAD_UNCHANGED);
        const cv::Mat moved = cv::imread(take[1][i], cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(s.empty());
        EXPECT_EQ(cv::norm(s, first, cv::NORM_INF), 0.0) << take[0][i];
        EXPECT_GT(cv::norm(s, moved, cv::NORM_INF), 0.0) << take[1][i];
    }
    // Far above the objects (the ceiling) nothing moves.
    const cv::Mat a = cv::imread(take[0][5]), b = cv::imread(take[1][5]);
    EXPECT_EQ(cv::norm(a.rowRange(0, 8), b.rowRange(0, 8), cv::NORM_INF), 0.0);
    std::filesystem::remove_all(dir);
}
