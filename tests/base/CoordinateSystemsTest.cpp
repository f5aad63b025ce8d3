#include "BaseLib/CoordinateSystems.h"
#include "BaseLib/LensParameters.h"

#include <opencv2/core.hpp>

#include <gtest/gtest.h>

#include <cmath>

namespace orb {
namespace {

using Vec3 = Matrix<float, 3, 1>;
namespace cs = coordinateSystems;

const float kLens[4] = {300.f, 0.f, 0.f, 0.f};      // equidistant, 300 px per radian
const float kCentre[2] = {640.5f, 480.25f};
const double kDegree = 3.14159265358979323846 / 180.0;

struct Projection {
    float x;
    float y;
};

Projection project(const Vec3& u, const float* lens, float maxAngle)
{
    float result[2] = {0.f, 0.f};
    float* out = result;
    cs::unitVecCToFisheye<false>(u, lens, kCentre, maxAngle, std::cos(maxAngle), out);
    return {result[0], result[1]};
}

// Unit direction at `angle` from the optical axis, turned towards image x.
Vec3 offAxis(double angle)
{
    return Vec3(static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle)), 0.f);
}

TEST(CoordinateSystems, GetUnitVec)
{
    const Vec3 zero = cs::getUnitVec(Vec3(0.f, 0.f, 0.f));
    EXPECT_EQ(zero[0], 1.f);
    EXPECT_EQ(zero[1], 0.f);
    EXPECT_EQ(zero[2], 0.f);

    // A fourth (homogeneous) component is ignored.
    const Vec3 z = cs::getUnitVec(Matrix<float, 4, 1>(0.f, 0.f, 2.f, 5.f));
    EXPECT_EQ(z[0], 0.f);
    EXPECT_EQ(z[1], 0.f);
    EXPECT_EQ(z[2], 1.f);

    Vec3 out;
    cs::getUnitVec(Vec3(3.f, -4.f, 0.f), out);
    EXPECT_FLOAT_EQ(out[0], 0.6f);
    EXPECT_FLOAT_EQ(out[1], -0.8f);
    EXPECT_EQ(out[2], 0.f);

    // The squares are added in float (115888384, not 115888390); root and division in double.
    const Vec3 big(8631.f, 1527.f, 6250.f);
    const Vec3 unit = cs::getUnitVec(big);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(unit[i], static_cast<float>(big[i] / std::sqrt(115888384.0))) << i;

    // A NaN length is not the zero vector: it propagates.
    const Vec3 nan = cs::getUnitVec(Vec3(NAN, 0.f, 0.f));
    EXPECT_TRUE(std::isnan(nan[0]));
}

TEST(CoordinateSystems, RadialPolynomial)
{
    for (double theta : {0.0, 0.3, 1.0, 1.6})
        EXPECT_DOUBLE_EQ(cs::fisheye_radial_f(theta, kLens), 300.0 * theta);

    const float k[4] = {250.f, -0.05f, 0.002f, -0.0001f};
    const double theta = 1.2;
    const double expected = 250.0 * (theta - 0.05 * std::pow(theta, 3) + 0.002 * std::pow(theta, 5) -
                                     0.0001 * std::pow(theta, 7));
    EXPECT_NEAR(cs::fisheye_radial_f(theta, k), expected, 1e-6);
}

TEST(CoordinateSystems, OpticalAxisMapsToCentre)
{
    const Projection p = project(Vec3(1.f, 0.f, 0.f), kLens, 1.4486f);
    EXPECT_EQ(p.x, kCentre[0]);
    EXPECT_EQ(p.y, kCentre[1]);
}

TEST(CoordinateSystems, EquidistantRadiusAndDirection)
{
    const double angle = 40 * kDegree;
    const Projection right = project(offAxis(angle), kLens, 1.4486f);
    EXPECT_NEAR(right.x, kCentre[0] + 300.0 * angle, 1e-3);
    EXPECT_NEAR(right.y, kCentre[1], 1e-4);

    // Axis 2 runs along the image rows.
    const Vec3 down(static_cast<float>(std::cos(angle)), 0.f, static_cast<float>(std::sin(angle)));
    const Projection below = project(down, kLens, 1.4486f);
    EXPECT_NEAR(below.x, kCentre[0], 1e-4);
    EXPECT_NEAR(below.y, kCentre[1] + 300.0 * angle, 1e-3);

    // Both vector kinds project the same way.
    const float raw[3] = {down[0], down[1], down[2]};
    const float* rawPtr = raw;
    float result[2];
    float* out = result;
    cs::unitVecCToFisheye<false>(rawPtr, kLens, kCentre, 1.4486f, std::cos(1.4486f), out);
    EXPECT_EQ(result[0], below.x);
    EXPECT_EQ(result[1], below.y);
}

TEST(CoordinateSystems, FieldOfViewBoundary)
{
    const float maxAngle = maxAngleForLensVersion(0);
    EXPECT_EQ(maxAngle, 1.4486f);
    const Projection beyond = project(offAxis(83.1 * kDegree), kLens, maxAngle);
    EXPECT_EQ(beyond.x, -1.f);
    EXPECT_EQ(beyond.y, -1.f);
    const Projection inside = project(offAxis(82.9 * kDegree), kLens, maxAngle);
    EXPECT_NEAR(inside.x, kCentre[0] + 300.0 * 82.9 * kDegree, 1e-2);

    // Exactly at the float cosine the ray is still mapped (the test is strict).
    const float c = std::cos(maxAngle);
    const Vec3 atLimit(c, std::sqrt(1.f - c * c), 0.f);
    EXPECT_NE(project(atLimit, kLens, maxAngle).x, -1.f);
    const Vec3 justBeyond(std::nextafter(c, 0.f), std::sqrt(1.f - c * c), 0.f);
    EXPECT_EQ(project(justBeyond, kLens, maxAngle).x, -1.f);

    // Sideways (90 degrees): outside lens version 0, inside lens version 1.
    EXPECT_EQ(project(Vec3(0.f, 1.f, 0.f), kLens, maxAngle).x, -1.f);
    const Projection wide = project(Vec3(0.f, 1.f, 0.f), kLens, maxAngleForLensVersion(1));
    EXPECT_NEAR(wide.x, kCentre[0] + 300.0 * 3.14159265358979 / 2, 1e-3);
    EXPECT_EQ(wide.y, kCentre[1]);
}

TEST(CoordinateSystems, CalculateUvUsesRotationForDirectionsAndTranslationForPoints)
{
    // Camera looking along rig y (right): B's y is its optical axis, B's x its -image-x.
    cv::Matx<float, 4, 4> t = cv::Matx<float, 4, 4>::zeros();
    t(0, 1) = 1.f;
    t(1, 0) = -1.f;
    t(2, 2) = 1.f;
    t(3, 3) = 1.f;
    const float maxAngle = 1.4486f;
    const float cosMax = std::cos(maxAngle);
    float out[2];

    const float right[4] = {0.f, 1.f, 0.f, 0.f};
    cs::calculateUv<false, float, float>(right, t.val, kLens, kCentre, out, maxAngle, cosMax);
    EXPECT_EQ(out[0], kCentre[0]);
    EXPECT_EQ(out[1], kCentre[1]);

    const float behind[4] = {0.f, -1.f, 0.f, 0.f};
    cs::calculateUv<false, float, float>(behind, t.val, kLens, kCentre, out, maxAngle, cosMax);
    EXPECT_EQ(out[0], -1.f);
    EXPECT_EQ(out[1], -1.f);

    // Give the camera a translation of (0, 1, 0) in its frame: the point 1 m out along
    // its axis is now seen 45 degrees off-axis, while the direction stays on the axis.
    t(1, 3) = 1.f;
    const float pointOnAxis[4] = {0.f, 1.f, 0.f, 1.f};
    cs::calculateUv<false, float, float>(pointOnAxis, t.val, kLens, kCentre, out, maxAngle, cosMax);
    EXPECT_NEAR(out[0], kCentre[0] + 300.0 * 3.14159265358979 / 4, 1e-3);
    EXPECT_NEAR(out[1], kCentre[1], 1e-4);
    cs::calculateUv<false, float, float>(right, t.val, kLens, kCentre, out, maxAngle, cosMax);
    EXPECT_EQ(out[0], kCentre[0]);
}

TEST(LensParametersDeathTest, UnknownVersionStops)
{
    EXPECT_EQ(maxAngleForLensVersion(1), 1.6580628f);
    EXPECT_DEATH(maxAngleForLensVersion(2), "");
}

} // namespace
} // namespace orb
