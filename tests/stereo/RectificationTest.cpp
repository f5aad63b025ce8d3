#include "StitchLib/stereo/CameraPosition.h"
#include "StitchLib/stereo/HybridRowColToUnitVecB.h"
#include "StitchLib/stereo/HybridToFisheye.h"
#include "StitchLib/stereo/RectifiedFrame.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace orb;

namespace {

constexpr float kDeg = 3.1415927f / 180.0f;

void expectRow(const Matrix<float, 3, 3>& m, std::size_t r, float x, float y, float z)
{
    EXPECT_NEAR(m(r, 0), x, 1e-6f) << "row " << r;
    EXPECT_NEAR(m(r, 1), y, 1e-6f) << "row " << r;
    EXPECT_NEAR(m(r, 2), z, 1e-6f) << "row " << r;
}

Matrix<float, 3, 3> identity3() { return Matrix<float, 3, 3>(1, 0, 0, 0, 1, 0, 0, 0, 1); }

} // namespace

TEST(CameraPosition, CentreIsMinusRotatedTranslation)
{
    CameraIntrinsics camera;
    camera.tmBToC = cv::Matx<float, 4, 4>::eye();
    camera.tmBToC(0, 3) = 1.0f;
    camera.tmBToC(1, 3) = 2.0f;
    camera.tmBToC(2, 3) = 3.0f;
    EXPECT_EQ(BaseApi::getCamPosB(camera), cv::Vec3f(-1, -2, -3));

    // Camera looking right (B y axis is its optical axis) placed at (0, 0.05, 0):
    // the transform must send that point to the camera origin.
    CameraIntrinsics right;
    right.tmBToC = cv::Matx<float, 4, 4>(0, 1, 0, -0.05f,
                                         -1, 0, 0, 0,
                                         0, 0, 1, 0,
                                         0, 0, 0, 1);
    const cv::Matx<float, 3, 1> p = BaseApi::getCamPosB(right);
    EXPECT_NEAR(p(0), 0.0f, 1e-7f);
    EXPECT_NEAR(p(1), 0.05f, 1e-7f);
    EXPECT_NEAR(p(2), 0.0f, 1e-7f);
}

TEST(RectifiedFrame, LevelAndTiltedViewAxes)
{
    float first[3] = {0, 0, 0};
    float second[3] = {1, 0, 0};
    const Matrix<float, 3, 3> level = ImageMapping::getRectifiedFrame(first, second, 0.0f);
    expectRow(level, 0, 1, 0, 0);
    expectRow(level, 1, 0, 0, 1);
    expectRow(level, 2, 0, -1, 0);

    const float tilt = 21.0f * kDeg;
    const Matrix<float, 3, 3> tilted = ImageMapping::getRectifiedFrame(first, second, tilt);
    expectRow(tilted, 0, 1, 0, 0);
    expectRow(tilted, 1, 0, -std::sin(tilt), std::cos(tilt));
    expectRow(tilted, 2, 0, -std::cos(tilt), -std::sin(tilt));

    // Baseline length does not matter; for the forward/right pair of a ring rig
    // the view axis points outward at 45 degrees azimuth.
    float front[3] = {0.05f, 0, 0};
    float right[3] = {0, 0.05f, 0};
    const Matrix<float, 3, 3> pair = ImageMapping::getRectifiedFrame(front, right, 0.0f);
    const float h = std::sqrt(0.5f);
    expectRow(pair, 0, -h, h, 0);
    expectRow(pair, 2, h, h, 0);
}

TEST(RectifiedFrame, VerticalBaselineIsRejected)
{
    float first[3] = {0.1f, 0.2f, 0.0f};
    float below[3] = {0.1f, 0.2f, 0.5f};
    EXPECT_THROW(ImageMapping::getRectifiedFrame(first, below, 0.0f), std::runtime_error);
}

TEST(HybridRowColToUnitVecB, RowsAreAnglesColumnsAreTangents)
{
    HybridRowColToUnitVecB mapper(100.0f, 64.5f, 512.5f, identity3());
    mapper.SetRow(512);
    const Matrix<float, 3, 1> v = mapper.GetUnitVecB(64);
    const double n = std::sqrt(0.005 * 0.005 * 2 + 1);
    EXPECT_NEAR(v[0], -0.005 / n, 1e-6);
    EXPECT_NEAR(v[1], -0.005 / n, 1e-6);
    EXPECT_NEAR(v[2], 1.0 / n, 1e-6);

    // 100 rows below the centre row the ray is 1 radian about the baseline,
    // whatever the column.
    HybridRowColToUnitVecB wide(100.0f, 50.0f, 200.0f, identity3());
    wide.SetRow(300);
    for (int column : {0, 50, 97}) {
        const Matrix<float, 3, 1> d = wide.GetUnitVecB(column);
        EXPECT_NEAR(std::atan2(d[1], d[2]), 1.0, 1e-5) << column;
        EXPECT_NEAR(d[0] / d[2], (column - 50.0f) / 100.0f, 1e-5) << column;
    }
}

TEST(HybridToFisheye, ProjectsThroughRotationOnlyAndRespectsFieldOfView)
{
    // Rectified frame of the pair (0,0,0)->(1,0,0) at tilt 0: the view axis is -y.
    float first[3] = {0, 0, 0};
    float second[3] = {1, 0, 0};
    const HybridRowColToUnitVecB view(100.0f, 64.5f, 512.5f, ImageMapping::getRectifiedFrame(first, second, 0.0f));

    // A camera looking along B's -y with an equidistant lens, translated far
    // away: the translation must play no part.
    CameraIntrinsics camera;
    camera.lensCoeffs = cv::Matx<float, 4, 1>(200.0f, 0, 0, 0);
    camera.centre = cv::Matx<float, 2, 1>(320.0f, 240.0f);
    camera.tmBToC = cv::Matx<float, 4, 4>(0, -1, 0, 7,
                                          -1, 0, 0, 8,
                                          0, 0, -1, 9,
                                          0, 0, 0, 1);
    HybridToFisheye mapper(camera, view, 1.4486f);
    float out[2];
    // Row 512 and column 64 lie half a pixel (0.005 rad) towards -x and -z of
    // the view axis; the camera's columns run along -x and its rows along -z.
    mapper.setRow(512);
    mapper.getCoords(64, out);
    EXPECT_NEAR(out[0], 321.0f, 0.01f);
    EXPECT_NEAR(out[1], 241.0f, 0.01f);
    // 0.995 rad about the baseline (row 612, towards +z): equidistant radius
    // 199 up the image.
    mapper.setRow(612);
    mapper.getCoords(64, out);
    EXPECT_NEAR(out[1], 240.0f - 199.0f, 0.05f);
    EXPECT_NEAR(out[0], 320.65f, 0.02f);
    // 90 degrees about the baseline is beyond an 83-degree lens.
    mapper.setRow(512 + 158);
    mapper.getCoords(64, out);
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(out[1], -1.0f);
}
