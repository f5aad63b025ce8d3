#include "BaseLib/Matrix.h"

#include <opencv2/core.hpp>

#include <gtest/gtest.h>

namespace orb {
namespace {

using Vec3 = Matrix<float, 3, 1>;
using Mat3 = Matrix<float, 3, 3>;

void expectVec(const Vec3& v, float x, float y, float z)
{
    EXPECT_EQ(v[0], x);
    EXPECT_EQ(v[1], y);
    EXPECT_EQ(v[2], z);
}

TEST(Matrix, LayoutIsRowMajorAndBare)
{
    static_assert(sizeof(Matrix<float, 4, 4>) == 16 * sizeof(float));
    float p[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const Mat3 fromPointer(p);
    const Mat3 fromValues(1.f, 2.f, 3.f, 4.f, 5.f, 6.f, 7.f, 8.f, 9.f);
    EXPECT_EQ(fromPointer(0, 2), 3.f);
    EXPECT_EQ(fromPointer(2, 0), 7.f);
    EXPECT_EQ(fromPointer(1, 2), 6.f);
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c)
            EXPECT_EQ(fromPointer(r, c), fromValues(r, c));
}

TEST(Matrix, CrossProduct)
{
    expectVec(cross(Vec3(1.f, 0.f, 0.f), Vec3(0.f, 1.f, 0.f)), 0.f, 0.f, 1.f);
    expectVec(cross(Vec3(0.f, 1.f, 0.f), Vec3(1.f, 0.f, 0.f)), 0.f, 0.f, -1.f);
    const Vec3 a(2.f, -3.f, 5.f);
    expectVec(cross(a, a), 0.f, 0.f, 0.f);
    expectVec(cross(a, Vec3(1.f, 4.f, -2.f)), -3.f * -2.f - 5.f * 4.f, 5.f * 1.f - 2.f * -2.f, 2.f * 4.f - -3.f * 1.f);
}

TEST(Matrix, HcatTransposeAndProducts)
{
    const Vec3 c0(1.f, 2.f, 3.f), c1(4.f, 5.f, 6.f), c2(7.f, 8.f, 9.f);
    const Mat3 identity = hcat(Vec3(1.f, 0.f, 0.f), Vec3(0.f, 1.f, 0.f), Vec3(0.f, 0.f, 1.f));
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c)
            EXPECT_EQ(identity(r, c), r == c ? 1.f : 0.f);

    const Mat3 columns = hcat(c0, c1, c2);
    EXPECT_EQ(columns(0, 1), 4.f);
    EXPECT_EQ(columns(2, 0), 3.f);
    const Mat3 rows = transpose(columns);
    EXPECT_EQ(rows(0, 1), 2.f);
    EXPECT_EQ(rows(1, 0), 4.f);
    EXPECT_EQ(rows(2, 2), 9.f);

    // Matrix product and matrix times vector against hand-computed values.
    const Mat3 product = rows * columns; // Gram matrix of c0, c1, c2
    EXPECT_EQ(product(0, 0), 14.f);
    EXPECT_EQ(product(0, 1), 32.f);
    EXPECT_EQ(product(2, 1), 122.f);
    expectVec(columns * Vec3(1.f, 0.f, -1.f), -6.f, -6.f, -6.f);
    expectVec(rows * Vec3(1.f, 1.f, 1.f), 6.f, 15.f, 24.f);

    expectVec(c0 + c1, 5.f, 7.f, 9.f);
    expectVec(c0 - c1, -3.f, -3.f, -3.f);
    expectVec(c0 * 0.5f, 0.5f, 1.f, 1.5f);
}

TEST(Matrix, ProductAccumulatesInFloatInIndexOrder)
{
    // 1e8 + 1 - 1e8 is 0 in float accumulated left to right, 1 in double.
    const Matrix<float, 1, 3> a(1.f, 1.f, 1.f);
    const Vec3 b(1e8f, 1.f, -1e8f);
    EXPECT_EQ((a * b)(0, 0), 0.f);
}

TEST(Matrix, ViewsAliasTheArray)
{
    const cv::Matx<float, 4, 4> eye = cv::Matx<float, 4, 4>::eye();
    const float v[4] = {1.5f, -2.f, 3.25f, 0.5f};
    const Matrix<float, 4, 1> result = mapMatrix<4, 4>(eye.val) * mapMatrix<4, 1>(v);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(result[i], v[i]);

    cv::Matx<float, 4, 4> shifted = eye;
    shifted(0, 3) = 10.f; // translation along x acts on the homogeneous part
    EXPECT_EQ((mapMatrix<4, 4>(shifted.val) * mapMatrix<4, 1>(v))[0], 1.5f + 10.f * 0.5f);

    float raw[3] = {0.f, 0.f, 0.f};
    Vec3& view = mapMatrix<3, 1>(raw);
    view[1] = 7.f;
    view = view + Vec3(1.f, 1.f, 1.f);
    EXPECT_EQ(raw[0], 1.f);
    EXPECT_EQ(raw[1], 8.f);
    EXPECT_EQ(raw[2], 1.f);
}

} // namespace
} // namespace orb
