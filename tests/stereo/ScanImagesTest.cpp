#include "StitchLib/stereo/ScanImages.h"

#include <gtest/gtest.h>

using namespace orb;

TEST(ScanImages, CopiesSharePixelsAndDefaultIsEmpty)
{
    ScanImages empty;
    EXPECT_TRUE(empty.inverseDepth.empty());
    EXPECT_TRUE(empty.intensity.empty());

    ScanImages scan;
    scan.inverseDepth = cv::Mat_<float>::zeros(4, 8);
    scan.intensity = cv::Mat_<uchar>::zeros(4, 8);
    scan.validRows = 4;
    ScanImages copy(scan);
    copy.inverseDepth(1, 2) = 0.25f;
    copy.intensity(3, 7) = 9;
    EXPECT_EQ(scan.inverseDepth(1, 2), 0.25f);
    EXPECT_EQ(scan.intensity(3, 7), 9);
    EXPECT_EQ(copy.validRows, 4);

    ScanImages assigned;
    assigned = scan;
    assigned.inverseDepth(0, 0) = 2.0f;
    EXPECT_EQ(scan.inverseDepth(0, 0), 2.0f);
}
