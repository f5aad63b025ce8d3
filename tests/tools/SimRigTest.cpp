#include "sim/Renderer.h"
#include "sim/Rig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

using orb::sim::RigCamera;

namespace {

const double kDeg = CV_PI / 180.0;

std::string tempDir(const std::string& name)
{
    const std::filesystem::path dir = std::filesystem::path(QUADSTITCH_TEST_TMP) / name;
    std::filesystem::create_directories(dir);
    return dir.string();
}

double azimuthDeg(const cv::Vec3d& v) { return std::atan2(v[1], v[0]) / kDeg; }
double elevationDeg(const cv::Vec3d& v) { return std::asin(-v[2] / cv::norm(v)) / kDeg; }

} // namespace

TEST(SimRig, CamerasFaceForwardRightBackLeftPitchedUp)
{
    const std::vector<RigCamera> rig = orb::sim::makeRig(cv::Size(1280, 1280), 3);
    ASSERT_EQ(rig.size(), 4u);
    const double expectedAz[4] = {0.0, 90.0, 180.0, -90.0};
    for (int k = 0; k < 4; ++k) {
        const RigCamera& cam = rig[k];
        EXPECT_EQ(cam.number(), k + 1);
        const cv::Matx33d r = cam.rotation();
        EXPECT_LT(cv::norm(r * r.t() - cv::Matx33d::eye()), 1e-6);
        EXPECT_NEAR(cv::determinant(r), 1.0, 1e-6);
        double daz = azimuthDeg(cam.opticalAxis()) - expectedAz[k];
        daz -= 360.0 * std::round(daz / 360.0);
        EXPECT_LT(std::abs(daz), 1.0);
        EXPECT_NEAR(elevationDeg(cam.opticalAxis()), 20.0, 1.0);
        // A few centimetres out along the camera's own viewing direction.
        const cv::Vec3d p = cam.position();
        EXPECT_NEAR(std::hypot(p[0], p[1]), 0.05, 0.005);
        double dpos = azimuthDeg(p) - expectedAz[k];
        dpos -= 360.0 * std::round(dpos / 360.0);
        EXPECT_LT(std::abs(dpos), 1.0);
        const double baseline = cv::norm(rig[(k + 1) % 4].position() - p);
        EXPECT_NEAR(baseline, 0.0707, 0.006);
    }
    // No two cameras are the same camera turned: lens, centre and exposure all differ.
    for (int a = 0; a < 4; ++a) {
        for (int b = a + 1; b < 4; ++b) {
            EXPECT_NE(rig[a].lens().coeffs()[1], rig[b].lens().coeffs()[1]);
            EXPECT_NE(rig[a].lens().centre(), rig[b].lens().centre());
            EXPECT_NE(rig[a].exposure(), rig[b].exposure());
        }
    }
}

TEST(SimRig, ImageAxesRunRightAndDown)
{
    // A mirrored or upside-down camera would still pass round-trip tests; this would not.
    for (const RigCamera& cam : orb::sim::makeRig(cv::Size(640, 480), 0)) {
        const cv::Point2d c = cam.lens().centre();
        cv::Vec3d o, centre, right, below;
        ASSERT_TRUE(orb::sim::Renderer::cameraRay(cam, c, o, centre));
        ASSERT_TRUE(orb::sim::Renderer::cameraRay(cam, c + cv::Point2d(100, 0), o, right));
        ASSERT_TRUE(orb::sim::Renderer::cameraRay(cam, c + cv::Point2d(0, 100), o, below));
        EXPECT_LT(cv::norm(centre - cam.opticalAxis()), 1e-6);
        // Right in the image is clockwise seen from above (azimuth grows), down is +z.
        double daz = azimuthDeg(right) - azimuthDeg(centre);
        daz -= 360.0 * std::round(daz / 360.0);
        EXPECT_GT(daz, 5.0);
        EXPECT_LT(elevationDeg(below), elevationDeg(centre) - 5.0);
        EXPECT_EQ(o, cam.position());
    }
}

TEST(SimRig, CalibrationFileReadsBackAndDescribesTheCameras)
{
    const std::vector<RigCamera> rig = orb::sim::makeRig(cv::Size(1280, 1280), 11);
    const std::string path = tempDir("sim-rig") + "/calibration.yaml";
    orb::sim::writeCalibration(path, rig);

    cv::FileStorage fs(path, cv::FileStorage::READ);
    ASSERT_TRUE(fs.isOpened());
    const cv::FileNode cameras = fs["cameras"];
    ASSERT_TRUE(cameras.isSeq());
    ASSERT_EQ(cameras.size(), 4u);
    for (int k = 0; k < 4; ++k) {
        cv::Mat lens, centre, tm;
        cameras[k]["lensCoeffs"] >> lens;
        cameras[k]["centre"] >> centre;
        cameras[k]["tmBToC"] >> tm;
        ASSERT_EQ(lens.type(), CV_32F);
        ASSERT_EQ(centre.type(), CV_32F);
        ASSERT_EQ(tm.type(), CV_32F);
        ASSERT_EQ(lens.size(), cv::Size(1, 4));
        ASSERT_EQ(centre.size(), cv::Size(1, 2));
        ASSERT_EQ(tm.size(), cv::Size(4, 4));
        const RigCamera& cam = rig[k];
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(lens.at<float>(i), static_cast<float>(cam.lens().coeffs()[i]));
        EXPECT_EQ(centre.at<float>(0), static_cast<float>(cam.lens().centre().x));
        EXPECT_EQ(centre.at<float>(1), static_cast<float>(cam.lens().centre().y));

        cv::Matx44d m;
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                m(r, c) = tm.at<float>(r, c);
        const cv::Vec3d p = cam.position();
        const cv::Vec4d atCentre = m * cv::Vec4d(p[0], p[1], p[2], 1.0);
        EXPECT_LT(cv::norm(cv::Vec3d(atCentre[0], atCentre[1], atCentre[2])), 1e-6);
        EXPECT_DOUBLE_EQ(atCentre[3], 1.0);
        const cv::Vec3d a = cam.opticalAxis();
        const cv::Vec4d axis = m * cv::Vec4d(a[0], a[1], a[2], 0.0);
        EXPECT_LT(cv::norm(cv::Vec4d(axis[0] - 1.0, axis[1], axis[2], axis[3])), 1e-6);
        EXPECT_EQ(cv::Vec4d(m(3, 0), m(3, 1), m(3, 2), m(3, 3)), cv::Vec4d(0, 0, 0, 1));
    }
}
