#include "sim/Renderer.h"
#include "sim/Scene.h"
#include "sim/Scorer.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <stdexcept>

using orb::sim::Score;

namespace {

struct Truth {
    cv::Mat colour, depth;
};

const Truth& truth()
{
    static const Truth t = [] {
        Truth out;
        const orb::sim::Scene scene = orb::sim::Scene::makeRoom(6, true, 0.01);
        orb::sim::Renderer(scene, 2).renderTruth(128, out.colour, out.depth);
        return out;
    }();
    return t;
}

} // namespace

TEST(SimScorer, TruthAgainstItselfIsPerfect)
{
    const Score s = orb::sim::scorePanorama(truth().colour, truth().colour, truth().depth, 64);
    EXPECT_EQ(s.pixels, 64 * 128);
    EXPECT_EQ(s.covered, s.pixels);
    EXPECT_EQ(s.coverage, 1.0);
    EXPECT_TRUE(std::isinf(s.psnr) && s.psnr > 0);
    EXPECT_TRUE(std::isinf(s.psnrNear) && s.psnrNear > 0);
    // Near pixels: the objects, and floor and ceiling wherever they are within 2 m
    // (below about -49 and above about 37 degrees of elevation), but not the walls.
    EXPECT_GT(s.near, s.pixels / 2);
    EXPECT_LT(s.near, s.pixels * 3 / 4);
    EXPECT_EQ(s.nearCovered, s.near);

    // An opaque four-channel copy scores the same.
    cv::Mat bgra;
    cv::cvtColor(truth().colour, bgra, cv::COLOR_BGR2BGRA);
    const Score s4 = orb::sim::scorePanorama(bgra, truth().colour, truth().depth, 64);
    EXPECT_EQ(s4.covered, s.pixels);
    EXPECT_TRUE(std::isinf(s4.psnr));
}

TEST(SimScorer, MisplacedOrBlurredPanoramasScoreLower)
{
    cv::Mat shifted, blurred;
    const cv::Mat& t = truth().colour;
    // One column of azimuth shift, wrapping around the panorama's edge.
    cv::hconcat(t.colRange(1, t.cols), t.colRange(0, 1), shifted);
    cv::GaussianBlur(t, blurred, cv::Size(), 1.5);
    const Score s1 = orb::sim::scorePanorama(shifted, t, truth().depth, 128);
    const Score s2 = orb::sim::scorePanorama(blurred, t, truth().depth, 128);
    EXPECT_EQ(s1.coverage, 1.0);
    EXPECT_TRUE(std::isfinite(s1.psnr));
    EXPECT_TRUE(std::isfinite(s2.psnr));
    EXPECT_LT(s1.psnr, 30.0);
    EXPECT_LT(s2.psnr, 35.0);
    EXPECT_GT(s1.psnr, 5.0);
    // A smaller reduced size forgives small misplacement.
    const Score coarse = orb::sim::scorePanorama(shifted, t, truth().depth, 32);
    EXPECT_GT(coarse.psnr, s1.psnr);
}

TEST(SimScorer, CoverageCountsOnlyFullyCoveredReducedPixels)
{
    const cv::Mat& t = truth().colour;
    // Three channels: the left quarter black, and one stray black pixel.
    cv::Mat pano = t.clone();
    pano.colRange(0, 64).setTo(cv::Scalar::all(0));
    pano.at<cv::Vec3b>(100, 201) = cv::Vec3b(0, 0, 0);
    // Nearly black but not black still counts as covered.
    pano.at<cv::Vec3b>(10, 150) = cv::Vec3b(0, 0, 1);
    Score s = orb::sim::scorePanorama(pano, t, truth().depth, 64);
    // Reduced by 2: 32 of 128 columns lost, and the one 2x2 block holding the stray pixel.
    EXPECT_EQ(s.covered, 64 * 96 - 1);
    EXPECT_NEAR(s.coverage, (64.0 * 96 - 1) / (64 * 128), 1e-12);
    EXPECT_TRUE(std::isfinite(s.psnr));  // the nearly black pixel is a real error

    // Four channels: alpha decides, whatever the colour.
    cv::Mat bgra;
    cv::cvtColor(t, bgra, cv::COLOR_BGR2BGRA);
    std::vector<cv::Mat> planes;
    cv::split(bgra, planes);
    planes[3].rowRange(96, 128).setTo(0);
    planes[0].rowRange(0, 32).setTo(0);
    planes[1].rowRange(0, 32).setTo(0);
    planes[2].rowRange(0, 32).setTo(0);
    cv::merge(planes, bgra);
    s = orb::sim::scorePanorama(bgra, t, truth().depth, 64);
    EXPECT_EQ(s.covered, 48 * 128);
    EXPECT_TRUE(std::isfinite(s.psnr));

    // Nothing covered: no PSNR to report.
    s = orb::sim::scorePanorama(cv::Mat::zeros(t.size(), CV_8UC3), t, truth().depth, 64);
    EXPECT_EQ(s.covered, 0);
    EXPECT_EQ(s.coverage, 0.0);
    EXPECT_TRUE(std::isnan(s.psnr));
}

TEST(SimScorer, NearAndFarErrorsAreSeparated)
{
    // Spoil only the near pixels: the far score stays perfect.
    const cv::Mat& t = truth().colour;
    cv::Mat spoiled = t.clone();
    spoiled.setTo(cv::Scalar(0, 0, 255), truth().depth > 0.5f);
    const Score s = orb::sim::scorePanorama(spoiled, t, truth().depth, t.rows);
    ASSERT_GT(s.nearCovered, 0);
    EXPECT_TRUE(std::isinf(s.psnrFar));
    EXPECT_LT(s.psnrNear, 20.0);
}

TEST(SimScorer, RejectsUnusableInputsAndFormatsStably)
{
    const cv::Mat& t = truth().colour;
    EXPECT_THROW(orb::sim::scorePanorama(cv::Mat(100, 100, CV_8UC3, cv::Scalar::all(9)), t, truth().depth),
                 std::runtime_error);
    EXPECT_THROW(orb::sim::scorePanorama(cv::Mat(t.size(), CV_8UC1, cv::Scalar(9)), t, truth().depth),
                 std::runtime_error);
    EXPECT_THROW(orb::sim::scorePanorama(t, t, cv::Mat(t.size(), CV_8UC1)), std::runtime_error);

    Score s;
    s.coverage = 0.5;
    s.psnr = std::numeric_limits<double>::infinity();
    s.psnrNear = std::numeric_limits<double>::quiet_NaN();
    s.psnrFar = 12.5;
    s.pixels = 8;
    s.covered = 4;
    s.near = 2;
    s.nearCovered = 0;
    EXPECT_EQ(orb::sim::formatScore(s),
              "coverage 0.500000\npsnr inf\npsnr_near nan\npsnr_far 12.500\npixels 8\ncovered 4\nnear 2\nnear_covered 0\n");
}

TEST(SimScorer, TilesWorseThanTheOtherPanoramaAreCountedWhereverTheyLie)
{
    // Truth at 180 x 360: a tile is 10 x 10 pixels. A slightly noisy copy is the
    // other panorama; this one has one far tile (a wall at the horizon) wrecked.
    cv::Mat colour;
    cv::resize(truth().colour, colour, cv::Size(360, 180), 0, 0, cv::INTER_AREA);
    cv::Mat depth;
    cv::resize(truth().depth, depth, cv::Size(360, 180), 0, 0, cv::INTER_AREA);
    cv::Mat other = colour.clone(), noise(colour.size(), CV_16SC3);
    cv::RNG(3).fill(noise, cv::RNG::NORMAL, 0, 2);
    other.convertTo(other, CV_16SC3);
    other += noise;
    other.convertTo(other, CV_8UC3);
    cv::Mat worse = colour.clone();
    worse(cv::Rect(10, 80, 10, 10)).setTo(cv::Scalar(0, 255, 0));
    const orb::sim::NearVersus v = orb::sim::compareNear(worse, other, colour, depth, 180);
    EXPECT_EQ(v.tilesCompared, 18 * 36);
    EXPECT_EQ(v.tilesWorse, 1);
    EXPECT_GT(v.worstTileDb, 10.0);
    // The other way round every tile but that one is worse (noise against none), and
    // the exact copy is worse nowhere.
    EXPECT_EQ(orb::sim::compareNear(other, worse, colour, depth, 180).tilesWorse, 18 * 36 - 1);
    EXPECT_EQ(orb::sim::compareNear(colour, other, colour, depth, 180).tilesWorse, 0);
    // Tiles half uncovered in either panorama are not compared.
    cv::Mat holed;
    cv::cvtColor(worse, holed, cv::COLOR_BGR2BGRA);
    holed(cv::Rect(0, 80, 30, 10)).setTo(cv::Scalar(0, 0, 0, 0));
    const orb::sim::NearVersus h = orb::sim::compareNear(holed, other, colour, depth, 180);
    EXPECT_EQ(h.tilesCompared, 18 * 36 - 3);
    EXPECT_EQ(h.tilesWorse, 0);
    EXPECT_NE(orb::sim::formatNearVersus(h).find("tiles_worse_share 0.000000\n"), std::string::npos);
}
