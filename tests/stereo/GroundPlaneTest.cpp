#include "StitchLib/stereo/GroundPlane.h"

#include <gtest/gtest.h>

using namespace orb;

TEST(GroundPlane, InverseDepthPerRow)
{
    EXPECT_FLOAT_EQ(Stereo::groundPlaneInverseDepth(1.25f, 4999, 5000), 0.8f);
    EXPECT_LT(Stereo::groundPlaneInverseDepth(1.25f, 2499, 5000), 0.0f);
    EXPECT_GT(Stereo::groundPlaneInverseDepth(1.25f, 2500, 5000), 0.0f);
    // 45 degrees below the horizon the plane lies sqrt(2) heights away.
    EXPECT_NEAR(Stereo::groundPlaneInverseDepth(2.0f, 3, 4), 0.5f * std::sin(3.0f * 3.1415927f / 8.0f), 1e-6f);
}

TEST(GroundPlane, BlendsFromRow3611AndReplacesFrom4166)
{
    const int n = 5000;
    ScanImages scan;
    scan.inverseDepth = cv::Mat_<float>(n, 6, 0.5f);
    scan.intensity = cv::Mat_<uchar>(n, 6, uchar(9));
    scan.validRows = n;
    for (int r = 4100; r < 4110; ++r)
        scan.inverseDepth(r, 2) = 0.0f;
    Stereo::addGroundPlane(scan);

    for (int r : {0, 2500, 3610, 3611})
        for (int c = 0; c < 6; ++c)
            EXPECT_EQ(scan.inverseDepth(r, c), 0.5f) << r;
    const float g3612 = Stereo::groundPlaneInverseDepth(1.25f, 3612, n);
    const float w3612 = 1.0f / 555.0f;
    EXPECT_FLOAT_EQ(scan.inverseDepth(3612, 0), 0.5f * (1.0f - w3612) + w3612 * g3612);
    EXPECT_NE(scan.inverseDepth(3612, 0), 0.5f);
    const float w4105 = 494.0f / 555.0f;
    EXPECT_FLOAT_EQ(scan.inverseDepth(4105, 2), w4105 * Stereo::groundPlaneInverseDepth(1.25f, 4105, n));
    EXPECT_NE(scan.inverseDepth(4165, 0), Stereo::groundPlaneInverseDepth(1.25f, 4165, n));
    for (int r : {4166, 4500, 4999})
        for (int c = 0; c < 6; ++c)
            EXPECT_EQ(scan.inverseDepth(r, c), Stereo::groundPlaneInverseDepth(1.25f, r, n)) << r;
    EXPECT_FLOAT_EQ(scan.inverseDepth(4999, 5), 0.8f);
    EXPECT_EQ(cv::countNonZero(scan.intensity != 9), 0);
}

TEST(GroundPlane, TinyAndEmptyImages)
{
    // For one or two rows the blend band is empty: only rows from its end
    // (row 0 of 1, row 1 of 2) become plane.
    ScanImages one;
    one.inverseDepth = cv::Mat_<float>(1, 3, 7.0f);
    Stereo::addGroundPlane(one);
    EXPECT_EQ(one.inverseDepth(0, 1), Stereo::groundPlaneInverseDepth(1.25f, 0, 1));

    ScanImages two;
    two.inverseDepth = cv::Mat_<float>(2, 3, 7.0f);
    Stereo::addGroundPlane(two);
    EXPECT_EQ(two.inverseDepth(0, 0), 7.0f);
    EXPECT_EQ(two.inverseDepth(1, 2), Stereo::groundPlaneInverseDepth(1.25f, 1, 2));

    ScanImages empty;
    EXPECT_NO_THROW(Stereo::addGroundPlane(empty));
}
