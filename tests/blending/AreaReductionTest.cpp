#include "StitchLib/blending/AreaReduction.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace orb {
namespace {

// The reduction must give the library's area resize bit for bit on images that are
// mostly transparent zeros with content in blocks (a part of a panorama): whole
// factors, a fractional factor on one axis (a 2500-row panorama reduced by 8) and on
// both, and factors that leave a partial cell at the end.
TEST(AreaReduction, SameBitsAsTheLibrarysAreaResize)
{
    cv::RNG rng(3);
    const struct {
        cv::Size in, out;
    } cases[] = {{{200, 96}, {25, 12}},  {{200, 100}, {25, 12}}, {{203, 101}, {25, 12}},
                 {{160, 80}, {20, 10}},  {{37, 29}, {5, 3}},     {{64, 48}, {64, 48}}};
    for (const auto& c : cases) {
        cv::Mat image = cv::Mat::zeros(c.in, CV_8UC4);
        cv::Mat block = image(cv::Rect(c.in.width / 4, c.in.height / 8, c.in.width / 2, c.in.height * 3 / 4));
        rng.fill(block, cv::RNG::UNIFORM, 0, 256);
        image.row(1).setTo(cv::Scalar(200, 100, 50, 255));
        // Right below the block, two blocks in the same rows with transparent columns
        // between them, where the rows above had content.
        const int below = c.in.height / 8 + c.in.height * 3 / 4;
        image(cv::Rect(0, below, 3, 4)).setTo(cv::Scalar(1, 2, 3, 255));
        image(cv::Rect(c.in.width - 2, below + 1, 2, 2)).setTo(cv::Scalar(90, 80, 70, 255));
        // Pixels with zero colour but some alpha, and the reverse, are not skipped.
        image.at<cv::Vec4b>(2, 3) = cv::Vec4b(0, 0, 0, 255);
        image.at<cv::Vec4b>(c.in.height - 1, c.in.width - 1) = cv::Vec4b(9, 0, 0, 0);
        cv::Mat expected;
        cv::resize(image, expected, c.out, 0, 0, cv::INTER_AREA);
        const cv::Mat reduced = reduceByArea(image, c.out);
        ASSERT_EQ(reduced.size(), c.out);
        EXPECT_EQ(cv::norm(reduced, expected, cv::NORM_INF), 0.0) << c.in << " -> " << c.out;

        // Computed only inside rectangles (overlapping ones, two in the same rows
        // with a gap between them, one reaching past the image): the same samples
        // there, four zero bytes elsewhere.
        const std::vector<cv::Rect> within = {cv::Rect(1, 0, 3, 2), cv::Rect(2, 1, c.out.width / 2, 2),
                                              cv::Rect(c.out.width - 2, 0, 5, c.out.height),
                                              cv::Rect(0, c.out.height - 1, 1, 1)};
        cv::Mat inside = cv::Mat::zeros(c.out, CV_8UC1);
        for (const cv::Rect& r : within)
            inside(r & cv::Rect(cv::Point(), c.out)).setTo(255);
        cv::Mat wanted = cv::Mat::zeros(c.out, CV_8UC4);
        expected.copyTo(wanted, inside);
        const cv::Mat partial = reduceByArea(image, c.out, within);
        EXPECT_EQ(cv::norm(partial, wanted, cv::NORM_INF), 0.0) << c.in << " -> " << c.out;
        EXPECT_EQ(cv::countNonZero(reduceByArea(image, c.out, {}).reshape(1)), 0);
    }
    EXPECT_THROW(reduceByArea(cv::Mat::zeros(8, 8, CV_8UC3), cv::Size(2, 2)), std::runtime_error);
    EXPECT_THROW(reduceByArea(cv::Mat::zeros(8, 8, CV_8UC4), cv::Size(9, 2)), std::runtime_error);
}

} // namespace
} // namespace orb
