#include "StitchLib/geometry/EqrRowColToUnitVecE.h"
#include "StitchLib/geometry/EqrToFisheye.h"
#include "StitchLib/geometry/ImageMapping.h"
#include "BaseLib/LensParameters.h"
#include "tests/support/TestRig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace orb {
namespace {

const double kPi = 3.14159265358979323846;
const double kDeg = kPi / 180.0;
const cv::Matx<float, 4, 4> kIdentity = cv::Matx<float, 4, 4>::eye();

using testrig::sameBits;

TEST(EqrRowColToUnitVecE, RowsAndColumnsOfAFourRowPanorama)
{
    EqrRowColToUnitVecE geometry(4, 8);
    const double elevations[4] = {67.5, 22.5, -22.5, -67.5};
    const double azimuths[8] = {-157.5, -112.5, -67.5, -22.5, 22.5, 67.5, 112.5, 157.5};
    for (int r = 0; r < 4; ++r) {
        geometry.setRow(r);
        for (int c = 0; c < 8; ++c) {
            float d[3];
            geometry.GetUnitVect(c, d);
            EXPECT_NEAR(d[0] * d[0] + d[1] * d[1] + d[2] * d[2], 1.0, 1e-6);
            // z points down, so up is -z.
            EXPECT_NEAR(std::asin(-d[2]) / kDeg, elevations[r], 1e-4) << r << "," << c;
            EXPECT_NEAR(std::atan2(d[1], d[0]) / kDeg, azimuths[c], 1e-4) << r << "," << c;
        }
    }
}

TEST(EqrToFisheye, IdentityCameraSeesForwardAtItsCentre)
{
    const int H = 100, W = 200;
    const float k0 = 300.f, cx = 640.f, cy = 480.f;
    const CameraIntrinsics camera = testrig::makeCamera(0.0, k0, cx, cy);
    auto mapper = makeEqrToFisheye(camera, kIdentity, H, W, maxAngleForLensVersion(0));

    // The four pixels around forward are half a pixel (0.9 degrees) off in each axis.
    const double halfPixel = k0 * kPi / W;
    float out[2];
    const int rows[2] = {H / 2 - 1, H / 2};
    const int cols[2] = {W / 2 - 1, W / 2};
    for (int r : rows) {
        mapper.setRow(r);
        for (int c : cols) {
            mapper.getCoords(c, out);
            EXPECT_NEAR(std::abs(out[0] - cx), halfPixel, 0.01) << r << "," << c;
            EXPECT_NEAR(std::abs(out[1] - cy), halfPixel, 0.01) << r << "," << c;
            // Right of forward is right in the image; below the horizon is below the centre.
            EXPECT_EQ(out[0] > cx, c == W / 2);
            EXPECT_EQ(out[1] > cy, r == H / 2);
        }
    }

    // 90 degrees to the right is beyond an 83 degree lens, 45 degrees is not.
    mapper.setRow(H / 2);
    mapper.getCoords(3 * W / 4, out);
    EXPECT_EQ(out[0], -1.f);
    EXPECT_EQ(out[1], -1.f);
    mapper.getCoords(5 * W / 8, out);
    EXPECT_NEAR(out[0], cx + k0 * 45.9 * kDeg, 1.0);
    mapper.setRow(0); // looking almost straight up
    mapper.getCoords(W / 2, out);
    EXPECT_EQ(out[0], -1.f);
}

class DepthAlignedMapper : public ::testing::Test {
protected:
    static constexpr int H = 40, W = 80;
    // A camera off the rig origin with a real polynomial, so depth matters.
    CameraIntrinsics camera = testrig::makeCamera(90.0, 250.f, 500.f, 400.f, 0.1f, -0.02f, 0.001f, 0.f);
    float maxAngle = maxAngleForLensVersion(0);

    cv::Mat plainMap()
    {
        auto plain = makeEqrToFisheye(camera, kIdentity, H, W, maxAngle);
        cv::Mat map;
        ImageMapping::initMap(cv::Rect(0, 0, W, H), plain, map);
        return map;
    }
};

TEST_F(DepthAlignedMapper, ZeroInverseDepthIsThePlainMappingAboveValidRows)
{
    const cv::Mat zero = cv::Mat::zeros(H, W, CV_32F);
    const cv::Mat plain = plainMap();
    for (int validRows : {H, H - 10}) {
        auto aligned = makeEqrToFisheye(camera, kIdentity, zero, validRows, maxAngle);
        cv::Mat map;
        ImageMapping::initMap(cv::Rect(0, 0, W, H), aligned, map);
        EXPECT_TRUE(sameBits(map.rowRange(0, validRows).clone(), plain.rowRange(0, validRows).clone())) << validRows;
        for (int r = validRows; r < H; ++r)
            for (int c = 0; c < W; ++c)
                ASSERT_EQ(map.at<cv::Vec2f>(r, c), cv::Vec2f(-1.f, -1.f)) << r << "," << c;
    }

    // The plain mapper has no row limit, whatever it was given.
    EqrToFisheye<false, false> limited(camera, kIdentity, H, W, 3, maxAngle);
    cv::Mat limitedMap;
    ImageMapping::initMap(cv::Rect(0, 0, W, H), limited, limitedMap);
    EXPECT_TRUE(sameBits(limitedMap, plain));
}

TEST_F(DepthAlignedMapper, NearPointIsSeenFromTheCameraCentre)
{
    // Scene 2 m away everywhere; the camera sits 0.1 m right of the rig origin.
    const cv::Mat depth(H, W, CV_32F, cv::Scalar(0.5f));
    auto aligned = makeEqrToFisheye(camera, kIdentity, depth, H, maxAngle);
    const int r = 15, c = 55;
    aligned.setRow(r);
    float out[2];
    aligned.getCoords(c, out);

    // Independent reference in double precision.
    const double el = (H / 2.0 - r - 0.5) * kPi / H, az = (c + 0.5 - W / 2.0) * 2 * kPi / W;
    const double X[3] = {2 * std::cos(az) * std::cos(el), 2 * std::sin(az) * std::cos(el), -2 * std::sin(el)};
    const double inCamera[3] = {X[1] - 0.1, -X[0], X[2]}; // axis, image x, image y
    const double norm = std::sqrt(inCamera[0] * inCamera[0] + inCamera[1] * inCamera[1] + inCamera[2] * inCamera[2]);
    const double lateral = std::hypot(inCamera[1], inCamera[2]);
    const double theta = std::acos(inCamera[0] / norm);
    const double radius = 250.0 * (theta - 0.02 * std::pow(theta, 3) + 0.001 * std::pow(theta, 5));
    EXPECT_NEAR(out[0], 500.0 + inCamera[1] / lateral * radius, 0.01);
    EXPECT_NEAR(out[1], 400.0 + inCamera[2] / lateral * radius, 0.01);

    // And it differs from the point at infinity by a visible parallax.
    auto plain = makeEqrToFisheye(camera, kIdentity, H, W, maxAngle);
    plain.setRow(r);
    float far[2];
    plain.getCoords(c, far);
    EXPECT_GT(std::abs(out[0] - far[0]), 1.0);
}

TEST_F(DepthAlignedMapper, NeverReadsOutsideTheDepthImage)
{
    // validRows beyond the image and rectangles reaching past it give (-1, -1)
    // instead of reading memory that is not the depth image.
    const cv::Mat zero = cv::Mat::zeros(H, W, CV_32F);
    auto aligned = makeEqrToFisheye(camera, kIdentity, zero, H + 50, maxAngle);
    cv::Mat map;
    ImageMapping::initMap(cv::Rect(W - 5, H - 5, 10, 10), aligned, map);
    const cv::Mat plain = plainMap();
    for (int i = 0; i < 10; ++i) {
        for (int j = 0; j < 10; ++j) {
            const bool inside = i < 5 && j < 5;
            const cv::Vec2f expected = inside ? plain.at<cv::Vec2f>(H - 5 + i, W - 5 + j) : cv::Vec2f(-1.f, -1.f);
            EXPECT_EQ(map.at<cv::Vec2f>(i, j), expected) << i << "," << j;
        }
    }
    aligned.setRow(-1);
    float out[2];
    aligned.getCoords(3, out);
    EXPECT_EQ(out[0], -1.f);

    EXPECT_THROW(makeEqrToFisheye(camera, kIdentity, cv::Mat::zeros(H, W, CV_64F), H, maxAngle),
                 std::runtime_error);
}

} // namespace
} // namespace orb
