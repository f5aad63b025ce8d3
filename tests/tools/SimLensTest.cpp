#include "sim/Lens.h"
#include "sim/Rig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

using orb::sim::FisheyeLens;
using orb::sim::RigCamera;

namespace {

const double kDeg = CV_PI / 180.0;

std::vector<RigCamera> fullSizeRig(std::uint64_t seed = 0) { return orb::sim::makeRig(cv::Size(1280, 1280), seed); }

} // namespace

TEST(SimLens, InverseUndoesRadiusOverWholeField)
{
    for (std::uint64_t seed : {0ULL, 7ULL}) {
        for (const RigCamera& cam : fullSizeRig(seed)) {
            const FisheyeLens& lens = cam.lens();
            double worst = 0.0;
            for (int i = 0; i <= 9500; ++i) {
                const double theta = i * 0.01 * kDeg;
                worst = std::max(worst, std::abs(lens.theta(lens.radius(theta)) - theta));
            }
            EXPECT_LT(worst, 1e-9) << "camera " << cam.number() << " seed " << seed;
        }
    }
}

TEST(SimLens, ProjectAndUnprojectAgree)
{
    for (const RigCamera& cam : fullSizeRig()) {
        const FisheyeLens& lens = cam.lens();
        for (double thetaDeg : {0.0, 0.3, 20.0, 60.0, 83.0, 94.9}) {
            for (double phiDeg : {0.0, 37.0, 135.0, 250.0}) {
                const double t = thetaDeg * kDeg, p = phiDeg * kDeg;
                const cv::Vec3d dir(std::cos(t), std::sin(t) * std::cos(p), std::sin(t) * std::sin(p));
                cv::Point2d px;
                ASSERT_TRUE(lens.project(dir, px));
                // The image point lies along the direction's azimuth at the polynomial radius.
                EXPECT_NEAR(cv::norm(px - lens.centre()), lens.radius(t), 1e-9);
                cv::Vec3d back;
                ASSERT_TRUE(lens.unproject(px, back));
                EXPECT_LT(cv::norm(back - dir), 1e-9) << thetaDeg << " " << phiDeg;
            }
        }
        cv::Point2d px;
        EXPECT_FALSE(lens.project(cv::Vec3d(std::cos(95.5 * kDeg), std::sin(95.5 * kDeg), 0.0), px));
        EXPECT_FALSE(lens.project(cv::Vec3d(-1.0, 0.0, 0.0), px));
        cv::Vec3d dir;
        EXPECT_FALSE(lens.unproject(lens.centre() + cv::Point2d(lens.maxRadius() + 0.5, 0.0), dir));
    }
}

TEST(SimLens, GeneratedLensesAreRealisticAndFitTheImage)
{
    for (const RigCamera& cam : fullSizeRig()) {
        const FisheyeLens& lens = cam.lens();
        const cv::Vec4d& k = lens.coeffs();
        EXPECT_NE(k[1], 0.0);
        EXPECT_NE(k[2], 0.0);
        EXPECT_NE(k[3], 0.0);
        EXPECT_LT(std::abs(k[1]), 0.05);
        // The 83-degree ray, the stitcher's default field, lands inside the image.
        const double r83 = lens.radius(1.4486);
        EXPECT_LT(r83, 620.0);
        EXPECT_GT(r83, 500.0);
        const cv::Point2d c = lens.centre();
        EXPECT_GT(std::min({c.x, c.y, 1279.0 - c.x, 1279.0 - c.y}), r83);
        double previous = -1.0;
        for (int i = 0; i <= 950; ++i) {
            const double r = lens.radius(i * 0.1 * kDeg);
            EXPECT_GT(r, previous);
            previous = r;
        }
    }
}

TEST(SimLens, RejectsLensThatFoldsBack)
{
    // k1 = -0.2 makes the radius fall again before 95 degrees.
    EXPECT_THROW(FisheyeLens(cv::Vec4d(400.0, -0.2, 0.0, 0.0), cv::Point2d(640, 640), 95.0 * kDeg),
                 std::runtime_error);
    EXPECT_THROW(FisheyeLens(cv::Vec4d(0.0, 0.0, 0.0, 0.0), cv::Point2d(640, 640), 95.0 * kDeg),
                 std::runtime_error);
}
