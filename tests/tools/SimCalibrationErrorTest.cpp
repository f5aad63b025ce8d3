#include "sim/Generator.h"
#include "sim/Rig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

// Rotation vector of R (a proper rotation), radians.
cv::Vec3d rotationVector(const cv::Matx33d& r)
{
    const cv::Vec3d axis(r(2, 1) - r(1, 2), r(0, 2) - r(2, 0), r(1, 0) - r(0, 1));
    const double sine = 0.5 * cv::norm(axis);
    const double angle = std::atan2(sine, 0.5 * (cv::trace(r) - 1.0));
    return sine > 0 ? axis * (angle / (2.0 * sine)) : cv::Vec3d(0, 0, 0);
}

std::string fileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

// The erroneous calibration turns each camera's view by a rotation of about sigma
// per axis, the turns summing to zero (the rig as a whole keeps its frame), and
// changes nothing else; the seed fixes it.
TEST(SimCalibrationError, TurnsCamerasByZeroSumRotationsOfSigma)
{
    const cv::Size size(640, 480);
    const auto rig = orb::sim::makeRig(size, 2);
    double sumSquares = 0;
    int count = 0;
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        const auto off = orb::sim::withRotationErrors(rig, 2.0, seed);
        ASSERT_EQ(off.size(), rig.size());
        cv::Vec3d sum(0, 0, 0);
        for (std::size_t c = 0; c < rig.size(); ++c) {
            // Views turn in the rig frame: R'^T = turn R^T.
            const cv::Vec3d turn = rotationVector(off[c].rotation().t() * rig[c].rotation());
            sum += turn;
            for (int a = 0; a < 3; ++a)
                sumSquares += turn[a] * turn[a];
            count += 3;
            EXPECT_EQ(off[c].position(), rig[c].position());
            EXPECT_EQ(off[c].lens().coeffs(), rig[c].lens().coeffs());
            EXPECT_EQ(off[c].lens().centre(), rig[c].lens().centre());
            EXPECT_EQ(off[c].exposure(), rig[c].exposure());
            EXPECT_EQ(off[c].imageSize(), size);
        }
        // Within the float rounding of the stored rotations.
        EXPECT_LT(cv::norm(sum), 1e-6) << "seed " << seed;
    }
    const double sigmaDegrees = std::sqrt(sumSquares / count) * 180.0 / CV_PI;
    EXPECT_NEAR(sigmaDegrees, 2.0, 0.15);
    const auto again = orb::sim::withRotationErrors(rig, 2.0, 5);
    const auto other = orb::sim::withRotationErrors(rig, 2.0, 6);
    EXPECT_EQ(again[0].rotation(), orb::sim::withRotationErrors(rig, 2.0, 5)[0].rotation());
    EXPECT_NE(again[0].rotation(), other[0].rotation());
}

// With an error the frame's images stay those of the true rig, whose calibration goes
// beside the erroneous one; both record the image size.
TEST(SimCalibrationError, KeepsTheTrueCalibrationBeside)
{
    const fs::path plain = fs::path(QUADSTITCH_TEST_TMP) / "sim-calerr-plain";
    const fs::path off = fs::path(QUADSTITCH_TEST_TMP) / "sim-calerr-off";
    fs::remove_all(plain);
    fs::remove_all(off);
    orb::sim::FrameSettings settings;
    settings.cameraWidth = 96;
    settings.cameraHeight = 64;
    settings.truthHeight = 16;
    settings.seed = 3;
    orb::sim::generateFrame(plain.string(), settings);
    settings.calibrationErrorDegrees = 1.0;
    const auto written = orb::sim::generateFrame(off.string(), settings);
    EXPECT_EQ(written[5], (off / "calibration-true.yaml").string());
    EXPECT_EQ(fileBytes(off / "calibration-true.yaml"), fileBytes(plain / "calibration.yaml"));
    EXPECT_NE(fileBytes(off / "calibration.yaml"), fileBytes(plain / "calibration.yaml"));
    EXPECT_EQ(fileBytes(off / "0000000000-2.png"), fileBytes(plain / "0000000000-2.png"));
    EXPECT_FALSE(fs::exists(plain / "calibration-true.yaml"));
    cv::FileStorage storage((off / "calibration.yaml").string(), cv::FileStorage::READ);
    cv::Size size;
    storage["cameras"][3]["imageSize"] >> size;
    EXPECT_EQ(size, cv::Size(96, 64));
    settings.calibrationErrorDegrees = -1.0;
    EXPECT_THROW(orb::sim::generateFrame(off.string(), settings), std::runtime_error);
}
