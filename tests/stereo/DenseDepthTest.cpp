// Dense depth from the pairs' overlaps, its gap filling, and depth held over frames.
#include "BaseLib/CoordinateSystems.h"
#include "BaseLib/LensParameters.h"
#include "StitchLib/stereo/DenseDepth.h"
#include "StitchLib/stereo/TemporalDepth.h"
#include "tests/support/SyntheticRig.h"
#include "tests/support/TestRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace orb {
namespace {

class DenseDepthRig : public ::testing::Test {
protected:
    synthetic::RigLayout layout = [] {
        synthetic::RigLayout l;
        l.imageSize = 480;
        l.k0 = 150.0f;
        return l;
    }();
    synthetic::DirectionTexture texture{0.7};
    float maxAngle = maxAngleForLensVersion(0);

    Stereo::DenseDepthSettings settings()
    {
        Stereo::DenseDepthSettings s;
        s.viewRows = 384;
        s.panoramaRows = 128;
        return s;
    }
};

TEST_F(DenseDepthRig, SphereIsMeasuredInTheOverlapsAtItsDistance)
{
    const std::vector<CameraIntrinsics> cameras = synthetic::makeRig(layout);
    const double radius = 1.5;
    const std::vector<cv::Mat> images = synthetic::renderSphere(cameras, layout, texture, radius);
    const Stereo::DepthPanorama depth = Stereo::measureDenseDepth(images, cameras, maxAngle, settings());
    ASSERT_EQ(depth.inverseDepth.size(), cv::Size(256, 128));
    ASSERT_EQ(depth.weight.size(), depth.inverseDepth.size());

    std::vector<float> measured;
    int nearPairAxis = 0;
    for (int r = 0; r < 128; ++r)
        for (int c = 0; c < 256; ++c)
            if (depth.weight(r, c) > 0.0f) {
                measured.push_back(depth.inverseDepth(r, c));
                // Columns 32 +- 8 lie around -135 degrees (pair 2), 160 +- 8 around 45 (pair 0).
                nearPairAxis += (std::abs(c - 32) < 8 || std::abs(c - 160) < 8) && std::abs(r - 64) < 20;
            }
    // Most of the panorama is seen by two cameras, and the pairs' centres always.
    // Matching reaches the edges of each overlap: searching no farther than the part
    // both cameras see measures about 5 % fewer cells.
    EXPECT_GT(measured.size(), 256u * 128u * 3 / 5);
    EXPECT_GT(nearPairAxis, 2 * 15 * 39 * 8 / 10);
    std::sort(measured.begin(), measured.end());
    const float truth = static_cast<float>(1.0 / radius);
    EXPECT_NEAR(measured[measured.size() / 2], truth, 0.03f * truth);
    EXPECT_NEAR(measured[measured.size() / 10], truth, 0.15f * truth);
    EXPECT_NEAR(measured[measured.size() * 9 / 10], truth, 0.15f * truth);
}

TEST_F(DenseDepthRig, CamerasAtOnePointMeasureNothingAndFillFar)
{
    layout.radius = 0.0f;
    const std::vector<CameraIntrinsics> cameras = synthetic::makeRig(layout);
    const std::vector<cv::Mat> images = synthetic::renderSphere(cameras, layout, texture, 1.5);
    Stereo::DepthPanorama depth = Stereo::measureDenseDepth(images, cameras, maxAngle, settings());
    EXPECT_EQ(cv::countNonZero(depth.weight), 0);
    Stereo::fillDepthGaps(depth);
    double lowest = 0.0, highest = 0.0;
    cv::minMaxLoc(depth.inverseDepth, &lowest, &highest);
    EXPECT_GT(lowest, 0.0);
    EXPECT_LT(highest, 1e-5);

    EXPECT_THROW(Stereo::measureDenseDepth({images[0]}, cameras, maxAngle, settings()), std::runtime_error);
}

TEST_F(DenseDepthRig, ViewsThatContradictTheCalibrationFallBackPairByPair)
{
    const std::vector<CameraIntrinsics> cameras = synthetic::makeRig(layout);
    const std::vector<cv::Mat> images = synthetic::renderSphere(cameras, layout, texture, 1.5);
    const Stereo::DepthPanorama exact = Stereo::measureDenseDepth(images, cameras, maxAngle, settings());
    ASSERT_EQ(exact.pairFallback.size(), 4u);
    for (double share : exact.pairFallback)
        EXPECT_EQ(share, 0.0);
    EXPECT_EQ(cv::countNonZero(exact.fallback), 0);

    // The first camera looks 2 degrees higher than its calibration says: the rows of
    // its two pairs no longer line up, the other two pairs are untouched.
    std::vector<CameraIntrinsics> believed = cameras;
    const float centre = 0.5f * (layout.imageSize - 1);
    believed[0] = testrig::makeCamera(0.0, layout.k0, centre, centre, layout.radius, 0.f, 0.f, 0.f, layout.pitch - 2.0);
    const Stereo::DepthPanorama off = Stereo::measureDenseDepth(images, believed, maxAngle, settings());
    EXPECT_GT(off.pairFallback[0], 0.3);
    EXPECT_GT(off.pairFallback[3], 0.3);
    EXPECT_EQ(off.pairFallback[1], 0.0);
    EXPECT_EQ(off.pairFallback[2], 0.0);
    // The matches where the pair fell back are dropped: what is left in those cells
    // comes from the blocks beside them, at their edge.
    ASSERT_EQ(off.fallback.size(), off.weight.size());
    const int marked = cv::countNonZero(off.fallback);
    EXPECT_GT(marked, 0);
    EXPECT_LT(cv::countNonZero((off.weight > 0.0f) & off.fallback), marked / 5);
    EXPECT_GT(cv::countNonZero((exact.weight > 0.0f) & off.fallback), marked * 4 / 5);

    // The pairs' geometry kept from frame to frame gives the same bits, and is built
    // again when the calibration changes (a stale one would keep measuring the old rig).
    const auto same = [](const Stereo::DepthPanorama& x, const Stereo::DepthPanorama& y) {
        return cv::norm(x.inverseDepth, y.inverseDepth, cv::NORM_INF) == 0.0 &&
               cv::norm(x.weight, y.weight, cv::NORM_INF) == 0.0 &&
               cv::norm(x.fallback, y.fallback, cv::NORM_INF) == 0.0 && x.pairFallback == y.pairFallback;
    };
    Stereo::DenseDepthGeometry geometry;
    const std::vector<CameraIntrinsics>* exactRig = &cameras;
    for (const std::vector<CameraIntrinsics>* rig : {exactRig, exactRig, &std::as_const(believed), exactRig})
        EXPECT_TRUE(same(Stereo::measureDenseDepth(images, *rig, maxAngle, settings(), &geometry),
                         rig == exactRig ? exact : off));
}

// A panorama of rows x 2 rows with the given cells measured.
Stereo::DepthPanorama panorama(int rows)
{
    Stereo::DepthPanorama d;
    d.inverseDepth = cv::Mat_<float>(rows, 2 * rows, 0.0f);
    d.weight = cv::Mat_<float>(rows, 2 * rows, 0.0f);
    return d;
}

// Rows [rowBegin, rowEnd) measured: `left` before column gapBegin, `right` from
// gapEnd on, and the gap between them unmeasured.
void measureRowsAroundGap(Stereo::DepthPanorama& d, int rowBegin, int rowEnd, int gapBegin, int gapEnd, float left,
                          float right)
{
    for (int r = rowBegin; r < rowEnd; ++r)
        for (int c = 0; c < d.inverseDepth.cols; ++c)
            if (c < gapBegin || c >= gapEnd)
                d.inverseDepth(r, c) = c < gapBegin ? left : right;
}

TEST(DenseDepthFallBack, MarkedCellsTakeTheSeedDepthFeatheredAndNothingElseMoves)
{
    Stereo::DepthPanorama d = panorama(90);
    d.inverseDepth.setTo(0.5f);
    const cv::Mat_<float> seed(90, 180, 0.25f);
    Stereo::fallBack(d, seed);  // nothing marked: unchanged
    EXPECT_EQ(cv::countNonZero(d.inverseDepth != 0.5f), 0);
    // Marked across the azimuth seam, so the feather must wrap.
    d.fallback = cv::Mat::zeros(90, 180, CV_8U);
    d.fallback(cv::Rect(0, 40, 10, 10)).setTo(255);
    d.fallback(cv::Rect(170, 40, 10, 10)).setTo(255);
    Stereo::fallBack(d, seed);
    EXPECT_NEAR(d.inverseDepth(45, 0), 0.25f, 1e-4f);
    EXPECT_NEAR(d.inverseDepth(45, 179), 0.25f, 1e-4f);
    // Between the two depths just outside, and untouched a few degrees away.
    EXPECT_GT(d.inverseDepth(45, 12), 0.25f);
    EXPECT_LT(d.inverseDepth(45, 11), 0.5f);
    EXPECT_EQ(d.inverseDepth(45, 30), 0.5f);
    EXPECT_EQ(d.inverseDepth(10, 0), 0.5f);
    EXPECT_THROW(Stereo::fallBack(d, cv::Mat_<float>(10, 20, 0.25f)), std::runtime_error);
}

TEST(DenseDepthFill, NearObjectsDoNotSpreadIntoLongGaps)
{
    // Around the horizon (rows 28..35 of 64): a wall at 0.25 with a near object
    // (1.0) at the end of a measured stretch, then a long unmeasured stretch, and a
    // second wall stretch at 0.3 beyond it; a short gap inside the first wall.
    Stereo::DepthPanorama d = panorama(64);
    for (int r = 28; r < 36; ++r) {
        for (int c = 0; c < 40; ++c)
            d.inverseDepth(r, c) = c >= 30 ? 1.0f : 0.25f;
        d.inverseDepth(r, 12) = 0.0f;  // one-cell gap inside the wall
        for (int c = 80; c < 128; ++c)
            d.inverseDepth(r, c) = 0.3f;
    }
    Stereo::fillDepthGaps(d);
    for (int r = 28; r < 36; ++r) {
        EXPECT_NEAR(d.inverseDepth(r, 12), 0.25f, 1e-6f);
        // The long gap (columns 40..79) blends the two sides' far values.
        for (int c = 41; c < 79; ++c) {
            ASSERT_GE(d.inverseDepth(r, c), 0.25f - 1e-5f) << r << "," << c;
            ASSERT_LE(d.inverseDepth(r, c), 0.3f + 1e-5f) << r << "," << c;
        }
        // Measurements stay as they were, object included (the median keeps edges).
        EXPECT_FLOAT_EQ(d.inverseDepth(r, 35), 1.0f);
        EXPECT_FLOAT_EQ(d.inverseDepth(r, 100), 0.3f);
    }
    // Rows with nothing measured copy their nearest row, but no ray that leaves the
    // horizon sees beyond the farthest measured floor or ceiling: none here (all
    // measurements lie within 20 degrees of the horizon), so the rows are copies.
    EXPECT_NEAR(d.inverseDepth(2, 5), d.inverseDepth(28, 5), 1e-6f);
    EXPECT_NEAR(d.inverseDepth(60, 100), d.inverseDepth(35, 100), 1e-6f);
}

TEST(DenseDepthFill, FloorBoundsUnmeasuredCellsBelow)
{
    // Measured floor 1.5 below the rig from 25 to 45 degrees down, nothing lower.
    const int rows = 90;  // two degrees per row
    Stereo::DepthPanorama d = panorama(rows);
    const auto elevation = [rows](int r) { return (0.5 - (r + 0.5) / rows) * CV_PI; };
    for (int r = 0; r < rows; ++r) {
        const double e = elevation(r);
        for (int c = 0; c < 2 * rows; ++c) {
            if (e < -25 * CV_PI / 180 && e > -45 * CV_PI / 180)
                d.inverseDepth(r, c) = static_cast<float>(std::sin(-e) / 1.5);
            else if (std::fabs(e) < 20 * CV_PI / 180)
                d.inverseDepth(r, c) = 0.3f;  // walls
        }
    }
    Stereo::fillDepthGaps(d);
    // Towards the nadir the depth follows the floor plane, not the last measured row.
    for (int r = 70; r < rows; ++r) {
        const float floorValue = static_cast<float>(std::sin(-elevation(r)) / 1.5);
        EXPECT_NEAR(d.inverseDepth(r, 7), floorValue, 0.02f * floorValue) << r;
    }
}

TEST(DenseDepthFill, PlanesTakeTheirFittedValueAndUprightSurfacesGoOnDownwards)
{
    // A floor 1.5 below a rig tilted by 3 degrees about its forward axis, measured
    // with +-2 % noise from 25 to 70 degrees down; walls at 0.3 about the horizon;
    // an object (inverse depth 1.0 at the horizon, upright) in columns 40..49,
    // measured down to 30 degrees below the horizon, unmeasured from there to 50;
    // a low box on the floor in columns 120..131, 6 % nearer than the floor; two
    // more in columns 60..65 and 85..90 with the floor between them unmeasured (one
    // camera's view), so that filling along the rows carries their depth across it.
    const int rows = 90;  // two degrees per row
    Stereo::DepthPanorama d = panorama(rows);
    const double tilt = 3.0 * CV_PI / 180.0;
    const cv::Vec3d n(0.0, -std::sin(tilt) / 1.5, std::cos(tilt) / 1.5);  // n . X = 1 on the floor
    const auto direction = [rows](int r, int c) {
        const double e = (0.5 - (r + 0.5) / rows) * CV_PI;
        const double a = ((c + 0.5) / (2 * rows) - 0.5) * 2.0 * CV_PI;
        return cv::Vec3d(std::cos(a) * std::cos(e), std::sin(a) * std::cos(e), -std::sin(e));
    };
    cv::RNG rng(3);
    for (int r = 0; r < rows; ++r) {
        const double e = (0.5 - (r + 0.5) / rows) * 180.0;
        for (int c = 0; c < 2 * rows; ++c) {
            const bool object = c >= 40 && c < 50;
            if (object && e > -30.0 && e < 20.0)
                d.inverseDepth(r, c) = static_cast<float>(std::cos(e * CV_PI / 180.0));
            else if (object && e > -50.0)
                continue;  // its foot, seen by one camera only
            else if (((c >= 120 && c < 132) || (c >= 60 && c < 66) || (c >= 85 && c < 91)) && e < -40.0 &&
                     e > -64.0)
                d.inverseDepth(r, c) = static_cast<float>(n.dot(direction(r, c)) * 1.06);
            else if (c >= 66 && c < 85 && e < -40.0 && e > -64.0)
                continue;
            else if (e < -25.0 && e > -70.0)
                d.inverseDepth(r, c) = static_cast<float>(n.dot(direction(r, c)) * rng.uniform(0.98, 1.02));
            else if (std::fabs(e) < 20.0)
                d.inverseDepth(r, c) = 0.3f;
        }
    }
    Stereo::fillDepthGaps(d);
    // The floor away from the object: its plane, noise gone, tilt followed.
    for (int r = 60; r < rows; r += 3)
        for (int c = 100; c < 180; c += 7) {
            if (c >= 118 && c < 134)
                continue;  // the box
            const float plane = static_cast<float>(n.dot(direction(r, c)));
            ASSERT_NEAR(d.inverseDepth(r, c), plane, 0.01f * plane) << r << "," << c;
        }
    // Below the object's last measured row (row 59, -29 degrees) its surface goes on
    // at its horizontal distance, 1 m, for 12 degrees, wherever that is nearer than
    // the floor; the cells beside it (columns 36, 53) stay far.
    for (int r = 61; r <= 64; ++r) {
        const double e = (0.5 - (r + 0.5) / rows) * CV_PI;
        const float upright = static_cast<float>(std::cos(e));
        const float floorValue = static_cast<float>(n.dot(direction(r, 45)));
        EXPECT_NEAR(d.inverseDepth(r, 45), std::max(upright, floorValue), 0.02f) << r;
        EXPECT_LT(d.inverseDepth(r, 36), 0.9f * upright) << r;
        EXPECT_LT(d.inverseDepth(r, 53), 0.9f * upright) << r;
    }
    // The measured objects are not taken for floor, not even the low boxes.
    EXPECT_NEAR(d.inverseDepth(55, 45), std::cos(-20.0 * CV_PI / 180.0), 0.02f);
    for (int r = 68; r <= 74; r += 2)
        for (int c : {62, 88, 123, 128})
            EXPECT_NEAR(d.inverseDepth(r, c), 1.06 * n.dot(direction(r, c)), 0.01) << r << "," << c;
    // Between the two small boxes nothing shows anything but floor: the depth carried
    // across from them is a guess, and the plane is the better one.
    for (int r = 68; r <= 74; r += 2)
        for (int c = 70; c <= 80; c += 5) {
            const float plane = static_cast<float>(n.dot(direction(r, c)));
            EXPECT_NEAR(d.inverseDepth(r, c), plane, 0.01f * plane) << r << "," << c;
        }
}

TEST(DenseDepthFill, UnmeasuredFeetFollowTheirSurfaceNotTheirNeighboursOrStrayMatches)
{
    // Two degrees per row. Walls at 0.3 within 20 degrees of the horizon, no floor.
    // Columns 40..49: an upright object 1 m away measured down to 30 degrees below
    // the horizon, its last cell 10 % too near (a noisy match); below it, unmeasured,
    // while its nearer neighbours in columns 30..39 and 50..59 (a curved object's
    // middle) are measured down to 50 degrees, 10 % nearer. Columns 120..129: the wall
    // measured above an object whose top is unmeasured, with the object (0.9 m away)
    // measured beside it in columns 110..119 and 130..139 from 22 to 40 degrees down.
    // Columns 150..159: the first object again, its last cell right, and lone false
    // matches (far, every other column) in its unmeasured foot.
    const int rows = 90;
    Stereo::DepthPanorama d = panorama(rows);
    const auto elevation = [rows](int r) { return (0.5 - (r + 0.5) / rows) * 180.0; };
    const auto upright = [&](int r, double distance) {
        return static_cast<float>(std::cos(elevation(r) * CV_PI / 180.0) / distance);
    };
    for (int r = 0; r < rows; ++r) {
        const double e = elevation(r);
        for (int c = 0; c < 2 * rows; ++c) {
            const bool object = (c >= 40 && c < 50) || (c >= 150 && c < 160);
            const bool beside = (c >= 30 && c < 40) || (c >= 50 && c < 60);
            const bool besideTop = (c >= 110 && c < 120) || (c >= 130 && c < 140);
            if (object && e > -30.0 && e < 20.0)
                d.inverseDepth(r, c) = upright(r, 1.0) * (e < -28.0 && c < 50 ? 1.1f : 1.0f);
            else if (beside && e < -30.0 && e > -50.0)
                d.inverseDepth(r, c) = upright(r, 1.0) * 1.1f;
            else if (besideTop && e < -22.0 && e > -40.0)
                d.inverseDepth(r, c) = upright(r, 0.9);
            else if (std::fabs(e) < 20.0)
                d.inverseDepth(r, c) = 0.3f;
        }
    }
    for (int c = 150; c < 160; c += 2)
        d.inverseDepth(61, c) = 0.06f;
    Stereo::fillDepthGaps(d);
    // Within the 12 degrees the surface is carried (rows 60..65), clear of the 5 x 5
    // median's reach beyond them: the object's own surface, neither its neighbours'
    // nor its noisy cell's, and lone matches do not start a surface of their own.
    for (int r = 60; r <= 63; ++r) {
        EXPECT_NEAR(d.inverseDepth(r, 45), upright(r, 1.0), 0.02f * upright(r, 1.0)) << r;
        EXPECT_NEAR(d.inverseDepth(r, 155), upright(r, 1.0), 0.02f * upright(r, 1.0)) << r;
    }
    // A much nearer fill is another surface in front of the wall: it stays.
    for (int r = 57; r <= 63; ++r)
        EXPECT_GT(d.inverseDepth(r, 125), 0.9f * upright(r, 0.9)) << r;
}

TEST(DenseDepthFill, FillingAlongRowsLeavesNoSurfaceHangingOverTheFloor)
{
    // A floor 1.5 below the rig measured from 25 to 70 degrees down, except columns
    // 40..139 between 30 and 50 degrees down (one camera only). In the rows from 38
    // to 44 degrees down everything measured reads 1.0, as a stripe of false matches
    // would; filling those rows across the gap carries that into it.
    const int rows = 90;  // two degrees per row
    Stereo::DepthPanorama d = panorama(rows);
    const auto elevation = [rows](int r) { return (0.5 - (r + 0.5) / rows) * 180.0; };
    const auto floorValue = [&](int r) { return static_cast<float>(std::sin(-elevation(r) * CV_PI / 180.0) / 1.5); };
    for (int r = 0; r < rows; ++r) {
        const double e = elevation(r);
        for (int c = 0; c < 2 * rows; ++c) {
            if (c >= 40 && c < 140 && e < -30.0 && e > -50.0)
                continue;
            if (e < -38.0 && e > -44.0)
                d.inverseDepth(r, c) = 1.0f;
            else if (e < -25.0 && e > -70.0)
                d.inverseDepth(r, c) = floorValue(r);
            else if (std::fabs(e) < 20.0)
                d.inverseDepth(r, c) = 0.3f;
        }
    }
    Stereo::fillDepthGaps(d);
    int stripeRows = 0;
    for (int r = 0; r < rows; ++r) {
        if (!(elevation(r) < -38.0 && elevation(r) > -44.0))
            continue;
        ++stripeRows;
        // Within the gap, the floor beneath the stripe; the measured stripe stays.
        for (int c = 50; c < 130; c += 5)
            ASSERT_NEAR(d.inverseDepth(r, c), floorValue(r), 0.02f * floorValue(r)) << r << "," << c;
        EXPECT_FLOAT_EQ(d.inverseDepth(r, 10), 1.0f) << r;
    }
    EXPECT_EQ(stripeRows, 3);
}

TEST(DenseDepthFill, OcclusionGapsSplitBetweenTheNearSideAndTheFarSide)
{
    // Gaps up to 1/120 of a turn are occlusions: 6 of 1024 columns. Without a known
    // baseline, the near half is the near surface's side: it recedes from the edge,
    // by its end a quarter of the way to the far side, and the rest is the far side.
    Stereo::DepthPanorama d = panorama(512);
    measureRowsAroundGap(d, 250, 262, 20, 26, 1.0f, 0.25f);  // columns 20..25 unmeasured
    Stereo::fillDepthGaps(d);
    for (int r = 253; r < 259; ++r) {
        for (int c = 20; c < 23; ++c) {
            EXPECT_LT(d.inverseDepth(r, c), c == 20 ? 1.0f : d.inverseDepth(r, c - 1)) << r << "," << c;
            EXPECT_GE(d.inverseDepth(r, c), 1.0f - 0.25f * 0.75f) << r << "," << c;
        }
        for (int c = 23; c < 26; ++c)
            EXPECT_FLOAT_EQ(d.inverseDepth(r, c), 0.25f) << r << "," << c;
    }
    // The same with the near surface on the right: the side still recedes from it.
    Stereo::DepthPanorama m = panorama(512);
    measureRowsAroundGap(m, 250, 262, 20, 26, 0.25f, 1.0f);
    Stereo::fillDepthGaps(m);
    for (int r = 253; r < 259; ++r) {
        for (int c = 20; c < 23; ++c)
            EXPECT_FLOAT_EQ(m.inverseDepth(r, c), 0.25f) << r << "," << c;
        for (int c = 23; c < 26; ++c) {
            EXPECT_LT(m.inverseDepth(r, c), c == 25 ? 1.0f : m.inverseDepth(r, c + 1)) << r << "," << c;
            EXPECT_GE(m.inverseDepth(r, c), 1.0f - 0.25f * 0.75f) << r << "," << c;
        }
    }
}

TEST(DenseDepthFill, GapsAsWideAsANearObjectsParallaxAreOcclusions)
{
    // 20 of 1024 columns is more than 1/120 of a turn, but less than the parallax
    // across a 15 cm baseline between inverse depths 1.0 and 0.2 (about 20 columns,
    // 24 with the margin): beside a near object that gap is the strip one camera of
    // the pair cannot see, split between the two sides. Between 0.25 and 0.2 the
    // parallax is a column or two, and the same gap blends as one camera's view.
    Stereo::DepthPanorama d = panorama(512);
    d.baseline = 0.15f;
    measureRowsAroundGap(d, 240, 252, 100, 120, 1.0f, 0.2f);
    measureRowsAroundGap(d, 260, 272, 400, 420, 0.25f, 0.2f);
    // Seen from the centre, the background in the strip spans half the parallax
    // between the far side and the end of the near side's side (at 0.8): 7 columns.
    // A gap no wider than that is all background, whichever side is near.
    measureRowsAroundGap(d, 280, 292, 600, 606, 1.0f, 0.2f);
    measureRowsAroundGap(d, 300, 312, 700, 706, 0.2f, 1.0f);
    Stereo::fillDepthGaps(d);
    for (int r = 243; r < 249; ++r) {
        for (int c = 100; c < 113; ++c) {
            EXPECT_LT(d.inverseDepth(r, c), 1.0f) << r << "," << c;
            EXPECT_GE(d.inverseDepth(r, c), 1.0f - 0.25f * 0.8f) << r << "," << c;
        }
        for (int c = 113; c < 120; ++c)
            EXPECT_FLOAT_EQ(d.inverseDepth(r, c), 0.2f) << r << "," << c;
    }
    for (int r = 263; r < 269; ++r) {
        EXPECT_GT(d.inverseDepth(r, 410), 0.21f) << r;
        EXPECT_LT(d.inverseDepth(r, 410), 0.24f) << r;
    }
    // All far, to within 5 %: below the horizon the far side also goes on upright
    // beneath the measured rows above it.
    for (int c = 600; c < 606; ++c)
        for (int r = 283; r < 289; ++r)
            EXPECT_NEAR(d.inverseDepth(r, c), 0.2f, 0.01f) << r << "," << c;
    for (int c = 700; c < 706; ++c)
        for (int r = 303; r < 309; ++r)
            EXPECT_NEAR(d.inverseDepth(r, c), 0.2f, 0.01f) << r << "," << c;
}

TEST_F(DenseDepthRig, CoverageStaysWhatItIsForFarContent)
{
    const std::vector<CameraIntrinsics> cameras = synthetic::makeRig(layout);
    const std::vector<cv::Size> sizes(4, cv::Size(layout.imageSize, layout.imageSize));
    const float cosMaxAngle = std::cos(maxAngle);
    // Whether any camera sees the point at inverse depth rho along cell (r, c).
    const auto seen = [&](int rows, int r, int c, float rho) {
        const double e = (0.5 - (r + 0.5) / rows) * CV_PI;
        const double a = ((c + 0.5) / (2 * rows) - 0.5) * 2.0 * CV_PI;
        const float point[4] = {static_cast<float>(std::cos(a) * std::cos(e)),
                                static_cast<float>(std::sin(a) * std::cos(e)), static_cast<float>(-std::sin(e)), rho};
        for (const CameraIntrinsics& camera : cameras) {
            float xy[2];
            coordinateSystems::calculateUv<false, float, float>(point, camera.tmBToC.val, camera.lensCoeffs.val,
                                                               camera.centre.val, xy, maxAngle, cosMaxAngle);
            if (xy[0] >= 1.0f && xy[1] >= 1.0f && xy[0] <= layout.imageSize - 2.0f &&
                xy[1] <= layout.imageSize - 2.0f)
                return true;
        }
        return false;
    };
    // A sphere 0.4 m around the rig: near the edge of the views the cameras, 5 cm off
    // the centre, lose some rays that they see at a distance.
    const int rows = 90;
    const float nearRho = 2.5f;
    cv::Mat_<float> depth(rows, 2 * rows, nearRho);
    int lost = 0, farCovered = 0;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < 2 * rows; ++c)
            if (seen(rows, r, c, 1e-6f)) {
                ++farCovered;
                lost += !seen(rows, r, c, nearRho);
            }
    ASSERT_GT(lost, 20);
    Stereo::keepCoverage(depth, cameras, sizes, maxAngle);
    int kept = 0, unchanged = 0;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < 2 * rows; ++c) {
            if (seen(rows, r, c, 1e-6f))
                kept += seen(rows, r, c, depth(r, c));
            if (seen(rows, r, c, nearRho))
                unchanged += depth(r, c) == nearRho;
        }
    // Every ray seen at a distance is seen again; rays the cameras saw at the sphere
    // keep its depth (but where another camera's part is needed for them).
    EXPECT_EQ(kept, farCovered);
    EXPECT_GT(unchanged, (farCovered - lost) * 95 / 100);
    EXPECT_THROW(Stereo::keepCoverage(depth, cameras, {sizes[0]}, maxAngle), std::runtime_error);
}

TEST(DenseDepthScan, UpsamplesLinearlyAndWrapsInAzimuth)
{
    cv::Mat_<float> low(2, 4, 0.5f);
    low(0, 0) = 0.2f;
    low(0, 3) = 0.6f;
    const ScanImages scan = Stereo::depthToScan(low, 8);
    ASSERT_EQ(scan.inverseDepth.size(), cv::Size(16, 8));
    EXPECT_EQ(scan.validRows, 8);
    EXPECT_EQ(cv::countNonZero(scan.intensity), 0);
    // Output column 0 sits at low column -0.375: between low column 3 (wrapped) and 0.
    EXPECT_NEAR(scan.inverseDepth(0, 0), 0.625f * 0.2f + 0.375f * 0.6f, 1e-6f);
    EXPECT_NEAR(scan.inverseDepth(0, 15), 0.625f * 0.6f + 0.375f * 0.2f, 1e-6f);
    EXPECT_NEAR(scan.inverseDepth(7, 8), 0.5f, 1e-6f);
    // Never below the floor, so that every pixel is mapped.
    const ScanImages zero = Stereo::depthToScan(cv::Mat_<float>(2, 4, 0.0f), 4);
    double lowest = 0.0;
    cv::minMaxLoc(zero.inverseDepth, &lowest);
    EXPECT_GT(lowest, 0.0);
    EXPECT_THROW(Stereo::depthToScan(cv::Mat_<float>(3, 3, 0.1f), 4), std::runtime_error);
}

TEST_F(DenseDepthRig, HistoryKeepsDepthWhereTheViewIsUnchanged)
{
    const std::vector<CameraIntrinsics> cameras = synthetic::makeRig(layout);
    const std::vector<cv::Mat> images = synthetic::renderSphere(cameras, layout, texture, 2.0);
    Stereo::DepthHistory history(8);
    cv::Mat_<float> first(64, 128, 0.4f);
    history.stabilise(first, images, cameras, maxAngle);
    EXPECT_EQ(history.keptShare(), 0.0);
    EXPECT_TRUE(history.unchangedCells().empty());
    EXPECT_FLOAT_EQ(first(10, 10), 0.4f);

    // Same view with a little noise, new depth: the new frame weighs an eighth, the
    // first stands in for the rest of the window.
    std::vector<cv::Mat> noisy;
    for (const cv::Mat& image : images) {
        cv::Mat n(image.size(), image.type());
        cv::randn(n, cv::Scalar::all(0), cv::Scalar::all(3));
        noisy.push_back(image + n);
    }
    cv::Mat_<float> second(64, 128, 0.7f);
    history.stabilise(second, noisy, cameras, maxAngle);
    EXPECT_EQ(history.keptShare(), 1.0);
    EXPECT_EQ(cv::countNonZero(cv::abs(second - 0.4375f) > 1e-6f), 0);

    // Something moves in front of camera 0 (forward): the cells it covers take the
    // new depth, the backward sector keeps the old.
    std::vector<cv::Mat> moved = noisy;
    moved[0] = noisy[0].clone();
    moved[0](cv::Rect(200, 200, 80, 80)).setTo(cv::Scalar::all(255));
    cv::Mat_<float> third(64, 128, 0.9f);
    history.stabilise(third, moved, cameras, maxAngle);
    EXPECT_GT(history.keptShare(), 0.8);
    EXPECT_LT(history.keptShare(), 1.0);
    EXPECT_FLOAT_EQ(third(32, 64), 0.9f);  // straight ahead
    EXPECT_FLOAT_EQ(third(32, 2), (6 * 0.4f + 0.7f + 0.9f) / 8);  // behind
    EXPECT_EQ(cv::countNonZero(history.unchangedCells() == 0), cv::countNonZero(third == 0.9f));

    // Another panorama size starts afresh.
    cv::Mat_<float> other(32, 64, 0.1f);
    history.stabilise(other, moved, cameras, maxAngle);
    EXPECT_EQ(history.keptShare(), 0.0);
    EXPECT_THROW(Stereo::DepthHistory(0), std::runtime_error);
}

TEST_F(DenseDepthRig, HistoryFollowsANewCalibrationAtOnce)
{
    // The projections of the cells into the cameras are kept from frame to frame; a
    // frame with another calibration must be compared through its own. Frames 0 and 1
    // hold a white square in camera 0 that frame 2 no longer has; from frame 2 on the
    // rig's calibration has camera 0 turned by 10 degrees, so the cells that see the
    // square move. A history that saw frames 0 and 1 with the old calibration gives
    // frame 2 what one that saw them with the new one gives.
    const std::vector<CameraIntrinsics> before = synthetic::makeRig(layout);
    std::vector<CameraIntrinsics> after = before;
    const cv::Matx44f turn(std::cos(0.17f), -std::sin(0.17f), 0, 0, std::sin(0.17f), std::cos(0.17f), 0, 0, 0, 0,
                           1, 0, 0, 0, 0, 1);
    after[0].tmBToC = before[0].tmBToC * turn;
    const std::vector<cv::Mat> images = synthetic::renderSphere(before, layout, texture, 2.0);
    std::vector<std::vector<cv::Mat>> take(3, std::vector<cv::Mat>());
    for (int f = 0; f < 3; ++f) {
        for (const cv::Mat& image : images)
            take[static_cast<std::size_t>(f)].push_back(image.clone());
        if (f < 2)
            take[static_cast<std::size_t>(f)][0](cv::Rect(180, 200, 120, 120)).setTo(cv::Scalar::all(255));
    }
    const cv::Mat_<float> depth(64, 128, 0.3f);
    const auto heldAtFrame2 = [&](const std::vector<CameraIntrinsics>& first) {
        Stereo::DepthHistory history(3);
        for (int f = 0; f < 2; ++f) {
            cv::Mat_<float> d = depth.clone();
            history.stabilise(d, take[static_cast<std::size_t>(f)], first, maxAngle);
        }
        cv::Mat_<float> d = depth.clone();
        history.stabilise(d, take[2], after, maxAngle);
        return history.heldFrames().clone();
    };
    const cv::Mat changed = heldAtFrame2(before), fresh = heldAtFrame2(after);
    EXPECT_EQ(cv::countNonZero(changed != fresh), 0);
    // The square is seen: some cells hold only frame 2, and not the same cells under
    // the two calibrations.
    Stereo::DepthHistory old(3);
    for (int f = 0; f < 3; ++f) {
        cv::Mat_<float> d = depth.clone();
        old.stabilise(d, take[static_cast<std::size_t>(f)], before, maxAngle);
    }
    EXPECT_GT(cv::countNonZero(fresh == 1), 0);
    EXPECT_GT(cv::countNonZero((old.heldFrames() == 1) != (fresh == 1)), 0);
}

TEST_F(DenseDepthRig, HistoryDependsOnItsWindowOnlyAndComparesEveryHeldFrameWithTheCurrentOne)
{
    const std::vector<CameraIntrinsics> cameras = synthetic::makeRig(layout);
    const std::vector<cv::Mat> images = synthetic::renderSphere(cameras, layout, texture, 2.0);
    cv::RNG rng(17);
    // Frame f: the same view with fresh noise of sigma 4 (after reduction a change
    // counts from about 3 levels on); camera 0 (forward) has a noiseless patch that
    // brightens by 2 levels a frame and, in frames 0 to 2 only, a white square; a
    // depth of its own per frame.
    const cv::Rect patch(200, 200, 80, 80);
    const auto frameImages = [&](int f) {
        std::vector<cv::Mat> out;
        for (const cv::Mat& image : images) {
            cv::Mat n(image.size(), CV_16SC3);
            rng.fill(n, cv::RNG::NORMAL, 0, 4);
            cv::Mat noisy;
            cv::add(image, n, noisy, cv::noArray(), image.type());
            out.push_back(noisy);
        }
        cv::Mat brighter = images[0](patch) + cv::Scalar::all(2 * f);
        brighter.copyTo(out[0](patch));
        if (f <= 2)
            out[0](cv::Rect(100, 300, 60, 60)).setTo(cv::Scalar::all(255));
        return out;
    };
    const auto frameDepth = [&](int f) {
        cv::Mat_<float> d(64, 128);
        rng.fill(d, cv::RNG::UNIFORM, 0.2f + 0.1f * f, 0.3f + 0.1f * f);
        return d;
    };
    std::vector<std::vector<cv::Mat>> take;
    std::vector<cv::Mat_<float>> raw;
    for (int f = 0; f < 7; ++f) {
        take.push_back(frameImages(f));
        raw.push_back(frameDepth(f));
    }

    // One run over the take, window 3.
    Stereo::DepthHistory single(3);
    std::vector<cv::Mat_<float>> out;
    std::vector<cv::Mat> counts;
    for (int f = 0; f < 7; ++f) {
        out.push_back(raw[f].clone());
        single.stabilise(out.back(), take[f], cameras, maxAngle);
        counts.push_back(single.heldFrames().clone());
    }
    EXPECT_EQ(single.window(), 3);
    const cv::Point ahead(64, 32), behind(2, 32);
    // Behind, nothing changes: the weights of the window.
    EXPECT_EQ(counts[1].at<uchar>(behind), 2);
    EXPECT_NEAR(out[1](behind), (2 * raw[0](behind) + raw[1](behind)) / 3, 1e-6f);
    EXPECT_EQ(counts[6].at<uchar>(behind), 3);
    EXPECT_NEAR(out[6](behind), (raw[4](behind) + raw[5](behind) + raw[6](behind)) / 3, 1e-6f);
    // Ahead, the slow brightening is seen against every held frame: two frames back it
    // has added up to 4 levels, so only the previous frame is held.
    for (int f = 2; f < 7; ++f)
        EXPECT_EQ(counts[f].at<uchar>(ahead), 2) << "frame " << f;
    EXPECT_NEAR(out[6](ahead), (2 * raw[5](ahead) + raw[6](ahead)) / 3, 1e-6f);

    // Where the white square left at frame 3, frames 0 to 2 are held nowhere.
    cv::Mat square(64, 128, CV_8U, cv::Scalar(0));
    for (int r = 0; r < 64; ++r)
        for (int c = 0; c < 128; ++c) {
            const double el = (0.5 - (r + 0.5) / 64) * CV_PI, az = ((c + 0.5) / 128 - 0.5) * 2 * CV_PI;
            const double dirB[3] = {std::cos(az) * std::cos(el), std::sin(az) * std::cos(el), -std::sin(el)};
            float u[3], xy[2];
            float* p = xy;
            for (int i = 0; i < 3; ++i)
                u[i] = static_cast<float>(cameras[0].tmBToC(i, 0) * dirB[0] + cameras[0].tmBToC(i, 1) * dirB[1] +
                                          cameras[0].tmBToC(i, 2) * dirB[2]);
            coordinateSystems::unitVecCToFisheye<false>(u, cameras[0].lensCoeffs.val, cameras[0].centre.val, maxAngle,
                                                        std::cos(maxAngle), p);
            square.at<uchar>(r, c) = xy[0] >= 110 && xy[0] < 150 && xy[1] >= 310 && xy[1] < 350 ? 255 : 0;
        }
    ASSERT_GT(cv::countNonZero(square), 0);
    EXPECT_EQ(cv::countNonZero((counts[3] != 1) & square), 0);
    EXPECT_EQ(cv::countNonZero((counts[4] != 2) & square), 0);
    EXPECT_EQ(cv::countNonZero((cv::abs(out[3] - raw[3]) > 0.0f) & square), 0);

    // A run that starts at frame 5 after remembering frames 3 and 4 gives frames 5
    // and 6 exactly; frames it saw before (0, 1) are not held, however long ago.
    Stereo::DepthHistory split(3);
    for (int f : {0, 1}) {
        cv::Mat_<float> d = raw[f].clone();
        split.stabilise(d, take[f], cameras, maxAngle);
    }
    for (int f : {3, 4})
        split.remember(raw[f], take[f], cameras);
    for (int f : {5, 6}) {
        cv::Mat_<float> d = raw[f].clone();
        split.stabilise(d, take[f], cameras, maxAngle);
        EXPECT_EQ(cv::norm(d, out[f], cv::NORM_INF), 0.0) << "frame " << f;
    }
    // Without the frames before it, the run's first frame is another.
    Stereo::DepthHistory fresh(3);
    cv::Mat_<float> alone = raw[5].clone();
    fresh.remember(raw[4], take[4], cameras);
    fresh.stabilise(alone, take[5], cameras, maxAngle);
    EXPECT_GT(cv::norm(alone, out[5], cv::NORM_INF), 0.01);
    EXPECT_THROW(Stereo::DepthHistory(65), std::runtime_error);
}

} // namespace
} // namespace orb
