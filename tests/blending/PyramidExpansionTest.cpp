#include "StitchLib/blending/PyramidExpansion.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

namespace orb {
namespace {

// The band by band difference against OpenCV's whole-plane expansion, at
// twice the low plane's size or one less in either direction, with noise,
// flat extremes and single rows and columns.
TEST(PyramidExpansionTest, EqualsOpenCVsExpansionAndDifferenceAtEverySizeParity)
{
    cv::RNG rng(5);
    int compared = 0;
    for (const cv::Size low : {cv::Size(1, 1), cv::Size(1, 5), cv::Size(7, 1), cv::Size(2, 2), cv::Size(9, 3),
                               cv::Size(16, 16), cv::Size(17, 40), cv::Size(250, 33), cv::Size(1001, 70)}) {
        for (const int fewerCols : {0, 1}) {
            for (const int fewerRows : {0, 1}) {
                const cv::Size size(2 * low.width - fewerCols, 2 * low.height - fewerRows);
                if (size.width < 1 || size.height < 1) {
                    continue;
                }
                for (int content = 0; content < 3; ++content) {
                    cv::Mat reduced(low, CV_8UC1);
                    cv::Mat plane(size, CV_8UC1);
                    if (content == 0) {
                        rng.fill(reduced, cv::RNG::UNIFORM, 0, 256);
                        rng.fill(plane, cv::RNG::UNIFORM, 0, 256);
                    } else {
                        // Saturated sums, and differences at both ends.
                        reduced.setTo(content == 1 ? 255 : 0);
                        plane.setTo(content == 1 ? 0 : 255);
                        reduced.at<uchar>(low.height / 2, low.width / 2) = 128;
                    }
                    cv::Mat expanded, expected;
                    cv::pyrUp(reduced, expanded, size, cv::BORDER_DEFAULT);
                    cv::absdiff(plane, expanded, expected);
                    PyramidExpansion::subtractExpanded(reduced, plane);
                    EXPECT_EQ(0, cv::norm(plane, expected, cv::NORM_INF)) << low << " into " << size << " " << content;
                    ++compared;
                }
            }
        }
    }
    EXPECT_GT(compared, 90);
}

} // namespace
} // namespace orb
