#include "StitchLib/blending/SeamOverlap.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

namespace orb {
namespace {

// The product of the masks and OpenCV's 7 x 7 erosion with its default
// border, step by step.
cv::Mat wholePlaneOverlap(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat overlap = a.mul(b, static_cast<float>(1.0 / 255.0));
    cv::erode(overlap, overlap, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(7, 7)), cv::Point(-1, -1), 1,
              cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
    return overlap;
}

// 0/255 masks with overlapping column bands and holes (the vector path),
// masks of arbitrary values (the table), and sizes below and around the
// erosion's reach.
TEST(SeamOverlapTest, EqualsTheProductErodedByOpenCV)
{
    cv::RNG rng(9);
    int compared = 0;
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(2, 9), cv::Size(6, 3), cv::Size(7, 7), cv::Size(22, 5),
                                cv::Size(40, 31), cv::Size(301, 120)}) {
        for (int kind = 0; kind < 3; ++kind) {
            cv::Mat a(size, CV_8UC1, cv::Scalar(0));
            cv::Mat b(size, CV_8UC1, cv::Scalar(0));
            if (kind == 2) {
                rng.fill(a, cv::RNG::UNIFORM, 0, 256);
                rng.fill(b, cv::RNG::UNIFORM, 0, 256);
            } else {
                a.colRange(0, std::max(1, size.width * 2 / 3)).setTo(255);
                b.colRange(size.width / 3, size.width).setTo(255);
                if (kind == 1) {
                    // Holes, and a few values that are neither 0 nor 255.
                    for (int i = 0; i < size.area() / 8 + 1; ++i) {
                        a.at<uchar>(rng.uniform(0, size.height), rng.uniform(0, size.width)) = 0;
                        b.at<uchar>(rng.uniform(0, size.height), rng.uniform(0, size.width)) =
                            static_cast<uchar>(rng.uniform(1, 255));
                    }
                }
            }
            const cv::Mat expected = wholePlaneOverlap(a, b);
            const cv::Mat got = SeamOverlap::overlap(a, b);
            ASSERT_EQ(expected.size(), got.size());
            EXPECT_EQ(0, cv::norm(expected, got, cv::NORM_INF)) << size << " kind " << kind;
            ++compared;
        }
    }
    EXPECT_EQ(21, compared);
}

} // namespace
} // namespace orb
