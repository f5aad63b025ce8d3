#include "sim/Generator.h"
#include "sim/Renderer.h"
#include "sim/Rig.h"
#include "sim/Scene.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;
using orb::sim::FrameSettings;

namespace {

std::string freshDir(const std::string& name)
{
    const fs::path dir = fs::path(QUADSTITCH_TEST_TMP) / name;
    fs::remove_all(dir);
    return dir.string();
}

FrameSettings tinyFrame(std::uint64_t seed)
{
    FrameSettings s;
    s.seed = seed;
    s.cameraWidth = s.cameraHeight = 128;
    s.truthHeight = 64;
    return s;
}

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TEST(SimGenerator, WritesNamedFilesAndIsDeterministic)
{
    FrameSettings settings = tinyFrame(9);
    settings.frame = 42;
    const std::string dirA = freshDir("sim-gen-a") + "/nested";
    const std::vector<std::string> a = orb::sim::generateFrame(dirA, settings);
    ASSERT_EQ(a.size(), 8u);
    const char* names[8] = {"0000000042-1.png", "0000000042-2.png", "0000000042-3.png", "0000000042-4.png",
                            "calibration.yaml", "truth.png", "truth-invdepth.tiff", "truth-seen.png"};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(fs::path(a[i]), fs::path(dirA) / names[i]);

    // Parallel rendering must not leak thread scheduling into the output.
    const std::vector<std::string> b = orb::sim::generateFrame(freshDir("sim-gen-b"), settings);
    settings.parallel = false;
    const std::vector<std::string> serial = orb::sim::generateFrame(freshDir("sim-gen-serial"), settings);
    for (int i = 0; i < 8; ++i) {
        const std::string bytes = fileBytes(a[i]);
        ASSERT_FALSE(bytes.empty()) << a[i];
        EXPECT_EQ(bytes, fileBytes(b[i])) << names[i];
        EXPECT_EQ(bytes, fileBytes(serial[i])) << names[i];
    }
    // Another seed gives another frame.
    const std::vector<std::string> other = orb::sim::generateFrame(freshDir("sim-gen-c"), tinyFrame(10));
    EXPECT_NE(fileBytes(a[0]), fileBytes(other[0]));
    EXPECT_NE(fileBytes(a[4]), fileBytes(other[4]));

    EXPECT_EQ(orb::sim::cameraImageName(4294967295u, 3, ".jpg"), "4294967295-3.jpg");
    FrameSettings bad = tinyFrame(1);
    bad.extension = "png";
    EXPECT_THROW(orb::sim::generateFrame(freshDir("sim-gen-bad"), bad), std::runtime_error);
    bad.extension = ".nosuchformat";
    EXPECT_THROW(orb::sim::generateFrame(freshDir("sim-gen-bad"), bad), std::runtime_error);
}

TEST(SimRenderer, CameraImageIsBlackOutsideTheImageCircleOnly)
{
    const orb::sim::Scene scene = orb::sim::Scene::makeRoom(2, true, 0.04);
    const orb::sim::Renderer renderer(scene, 2);
    for (const orb::sim::RigCamera& cam : orb::sim::makeRig(cv::Size(160, 128), 2)) {
        const cv::Mat image = renderer.renderCamera(cam);
        ASSERT_EQ(image.type(), CV_8UC3);
        ASSERT_EQ(image.size(), cv::Size(160, 128));
        const cv::Point2d c = cam.lens().centre();
        const double rMax = cam.lens().maxRadius();
        for (int y = 0; y < image.rows; ++y) {
            for (int x = 0; x < image.cols; ++x) {
                const double r = std::hypot(x - c.x, y - c.y);
                const bool black = image.at<cv::Vec3b>(y, x) == cv::Vec3b(0, 0, 0);
                if (r > rMax + 1.0) {
                    EXPECT_TRUE(black) << x << "," << y;
                } else if (r < rMax - 1.0) {
                    EXPECT_FALSE(black) << x << "," << y;
                }
            }
        }
    }
}

TEST(SimRenderer, TruthDepthMatchesRoomAndSurvivesTheTiffFile)
{
    const std::string dir = freshDir("sim-truth");
    const std::vector<std::string> files = orb::sim::generateFrame(dir, tinyFrame(3));
    const cv::Mat colour = cv::imread(files[5], cv::IMREAD_UNCHANGED);
    const cv::Mat depth = cv::imread(files[6], cv::IMREAD_UNCHANGED);
    ASSERT_EQ(colour.type(), CV_8UC3);
    ASSERT_EQ(colour.size(), cv::Size(128, 64));
    ASSERT_EQ(depth.type(), CV_32FC1);
    ASSERT_EQ(depth.size(), cv::Size(128, 64));

    // Depth does not depend on texture, so a scene with other texels renders the same.
    const orb::sim::Scene scene = orb::sim::Scene::makeRoom(3, true, 0.05);
    cv::Mat c2, d2;
    orb::sim::Renderer(scene, 3).renderTruth(64, c2, d2);
    EXPECT_EQ(cv::norm(depth, d2, cv::NORM_INF), 0.0) << "float TIFF must round-trip exactly";

    // Pixel (32, 64) looks half a pixel right of forward and half a pixel below the
    // horizon, at the front wall 4.5 m away; the top row sees the ceiling, the bottom
    // row the floor.
    const cv::Vec3d d = orb::sim::panoramaDirection(32, 64, 64);
    const double half = CV_PI / 128;
    EXPECT_NEAR(d[1], std::sin(half) * std::cos(half), 1e-12);
    EXPECT_NEAR(d[2], std::sin(half), 1e-12);
    EXPECT_NEAR(depth.at<float>(32, 64), d[0] / 4.5, 1e-6);
    for (int c = 0; c < 128; ++c) {
        const double upSine = -orb::sim::panoramaDirection(0, c, 64)[2];
        const double downSine = orb::sim::panoramaDirection(63, c, 64)[2];
        EXPECT_NEAR(depth.at<float>(0, c), upSine / 1.2, 1e-6);
        EXPECT_NEAR(depth.at<float>(63, c), downSine / 1.5, 1e-6);
    }
    // The near objects show up as inverse depth above 0.5 near the horizon at +-45, +-135.
    for (double az : {45.0, 135.0, -135.0, -45.0}) {
        const int col = static_cast<int>((az / 360.0 + 0.5) * 128);
        EXPECT_GT(depth.at<float>(31, col), 0.6f) << az;
    }
}

TEST(SimRenderer, PanoramaPixelCentresSampleEvenly)
{
    // 4 rows by 8 columns: elevations 67.5 to -67.5 in steps of 45 degrees, azimuths
    // -157.5 to 157.5; forward lies between columns 3 and 4.
    const double deg = CV_PI / 180.0;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 8; ++c) {
            const cv::Vec3d d = orb::sim::panoramaDirection(r, c, 4);
            const double el = (67.5 - 45.0 * r) * deg, az = (-157.5 + 45.0 * c) * deg;
            EXPECT_LT(cv::norm(d - cv::Vec3d(std::cos(az) * std::cos(el), std::sin(az) * std::cos(el),
                                             -std::sin(el))),
                      1e-12);
        }
    }
}

// Reprojects the true panorama into every camera using only what the files say (the
// calibration's matrices and lens polynomial, the true inverse depth) and compares
// colours. This is the simulator's promise to the stitcher: the calibration file
// describes the images exactly. The colour error must be smallest with no offset:
// half a pixel either way (a wrong pixel-centre convention) already does worse.
TEST(SimRenderer, CalibrationFileMapsTruthOntoCameraImages)
{
    FrameSettings settings = tinyFrame(4);
    settings.cameraWidth = settings.cameraHeight = 384;
    settings.truthHeight = 256;
    const std::string dir = freshDir("sim-reproject");
    const std::vector<std::string> files = orb::sim::generateFrame(dir, settings);
    cv::Mat truth = cv::imread(files[5]);
    const cv::Mat depth = cv::imread(files[6], cv::IMREAD_UNCHANGED);
    // Both images are softened alike, so that their different pixel grids matter less.
    cv::GaussianBlur(truth, truth, cv::Size(), 1.2);

    const cv::Point2f offsets[6] = {{0, 0}, {0.5f, 0}, {-0.5f, 0}, {0, 0.5f}, {0, -0.5f}, {3, 0}};
    cv::FileStorage calib(files[4], cv::FileStorage::READ);
    const int H = truth.rows, W = truth.cols;
    for (int k = 0; k < 4; ++k) {
        cv::Mat image = cv::imread(files[k]);
        cv::GaussianBlur(image, image, cv::Size(), 1.2);
        cv::Mat lens, centre, tm;
        calib["cameras"][k]["lensCoeffs"] >> lens;
        calib["cameras"][k]["centre"] >> centre;
        calib["cameras"][k]["tmBToC"] >> tm;
        cv::Matx44d m;
        for (int i = 0; i < 16; ++i)
            m.val[i] = tm.at<float>(i / 4, i % 4);
        double err[6] = {0, 0, 0, 0, 0, 0};
        int count = 0;
        for (int r = 4; r < H - 4; r += 2) {
            for (int c = 0; c < W; c += 2) {
                const double el = (H / 2.0 - r - 0.5) * CV_PI / H, az = (c + 0.5 - W / 2.0) * 2 * CV_PI / W;
                const double dist = 1.0 / depth.at<float>(r, c);
                const cv::Vec4d q = m * cv::Vec4d(dist * std::cos(az) * std::cos(el),
                                                  dist * std::sin(az) * std::cos(el), -dist * std::sin(el), 1.0);
                const double rho = std::hypot(q[1], q[2]), theta = std::atan2(rho, q[0]);
                if (theta > 1.35 || rho == 0.0)
                    continue;
                const double radius = lens.at<float>(0) * (theta + lens.at<float>(1) * std::pow(theta, 3.0)
                                                           + lens.at<float>(2) * std::pow(theta, 5.0)
                                                           + lens.at<float>(3) * std::pow(theta, 7.0));
                const cv::Point2f at(static_cast<float>(centre.at<float>(0) + radius * q[1] / rho),
                                     static_cast<float>(centre.at<float>(1) + radius * q[2] / rho));
                const cv::Vec3d want(truth.at<cv::Vec3b>(r, c));
                for (int i = 0; i < 6; ++i) {
                    cv::Mat seen;
                    cv::getRectSubPix(image, cv::Size(1, 1), at + offsets[i], seen);
                    err[i] += cv::norm(cv::Vec3d(seen.at<cv::Vec3b>(0)) - want, cv::NORM_L1) / 3;
                }
                ++count;
            }
        }
        ASSERT_GT(count, 3000) << "camera " << k + 1;
        for (double& e : err)
            e /= count;
        // What is left is resampling blur and the few-percent exposure difference.
        EXPECT_LT(err[0], 12.0) << "camera " << k + 1;
        for (int i = 1; i < 5; ++i)
            EXPECT_LT(err[0], err[i]) << "camera " << k + 1 << " offset " << offsets[i];
        EXPECT_LT(err[0], 0.5 * err[5]) << "camera " << k + 1;
    }
}
