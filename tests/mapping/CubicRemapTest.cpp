#include "StitchLib/mapping/CubicRemap.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <stdexcept>

namespace orb {
namespace {

cv::Mat reference(const cv::Mat& source, const cv::Mat& map)
{
    cv::Mat out;
    cv::remap(source, out, map, cv::noArray(), cv::INTER_CUBIC, cv::BORDER_REPLICATE);
    return out;
}

// The kernel must give the library's cubic remap bit for bit: every sub-pixel
// position (its 15-bit weight table, including the rounding fix-up), saturation
// at hard edges, the replicated border and positions far outside the image.
TEST(CubicRemap, SameBitsAsTheLibrarysCubicRemap)
{
    cv::RNG rng(7);
    cv::Mat source(37, 53, CV_8UC4);
    rng.fill(source, cv::RNG::UNIFORM, 0, 256);
    // Hard black and white blocks drive the negative lobes into saturation.
    source(cv::Rect(10, 10, 8, 8)).setTo(cv::Scalar::all(255));
    source(cv::Rect(14, 12, 3, 3)).setTo(cv::Scalar::all(0));

    // Every one of the 32 x 32 sub-pixel positions, inside the image.
    cv::Mat grid(32, 32, CV_32FC2);
    for (int i = 0; i < 32; ++i)
        for (int j = 0; j < 32; ++j)
            grid.at<cv::Vec2f>(i, j) = cv::Vec2f(12.0f + j / 32.0f, 11.0f + i / 32.0f);
    // Random positions from well outside the image to well beyond it, the map's
    // (-1, -1) for "no position", and halfway positions that round either way.
    cv::Mat scattered(24, 40, CV_32FC2);
    rng.fill(scattered, cv::RNG::UNIFORM, cv::Scalar(-6, -6), cv::Scalar(60, 44));
    scattered.at<cv::Vec2f>(0, 0) = cv::Vec2f(-1.0f, -1.0f);
    scattered.at<cv::Vec2f>(0, 1) = cv::Vec2f(3.0f + 1.0f / 64.0f, 5.0f + 3.0f / 64.0f);
    scattered.at<cv::Vec2f>(0, 2) = cv::Vec2f(52.9f, 36.99f);
    for (const cv::Mat& map : {grid, scattered}) {
        cv::Mat target(map.size(), CV_8UC4, cv::Scalar::all(9));
        BaseApi::remapCubicReplicate(source, target, map);
        EXPECT_EQ(cv::norm(target, reference(source, map), cv::NORM_INF), 0.0);
    }

    // Into a view of a larger matrix: nothing outside the view is touched.
    cv::Mat big(30, 50, CV_8UC4, cv::Scalar::all(1));
    cv::Mat view = big(cv::Rect(5, 3, 40, 24));
    BaseApi::remapCubicReplicate(source, view, scattered);
    EXPECT_EQ(cv::norm(view, reference(source, scattered), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::countNonZero(big.row(0).reshape(1) != 1), 0);

    // Images smaller than the kernel replicate their border on every side.
    cv::Mat tiny(2, 3, CV_8UC4);
    rng.fill(tiny, cv::RNG::UNIFORM, 0, 256);
    cv::Mat out(scattered.size(), CV_8UC4);
    BaseApi::remapCubicReplicate(tiny, out, scattered);
    EXPECT_EQ(cv::norm(out, reference(tiny, scattered), cv::NORM_INF), 0.0);

    // Rows of odd widths (pixels taken eight and two at a time, and a tail one by
    // one), where neighbours alternate between taps inside the image and taps
    // beyond its edge, and positions far out of range.
    for (const int cols : {1, 7, 9, 10, 31, 45}) {
        cv::Mat mixed(5, cols, CV_32FC2);
        rng.fill(mixed, cv::RNG::UNIFORM, cv::Scalar(-3, -3), cv::Scalar(56, 40));
        for (int c = 0; c < cols; c += 3)
            mixed.at<cv::Vec2f>(1, c) = cv::Vec2f(0.5f + c % 2, 35.7f);
        for (int c = 0; c < cols; ++c)
            mixed.at<cv::Vec2f>(2, c) = cv::Vec2f(c % 2 ? 1.0f + c / 8.0f : 51.2f - c / 16.0f, 2.0f + c / 32.0f);
        mixed.at<cv::Vec2f>(3, cols - 1) = cv::Vec2f(-4.0e9f, 3.0e9f);
        cv::Mat wide(7, cols + 3, CV_8UC4, cv::Scalar::all(5));
        cv::Mat into = wide(cv::Rect(1, 1, cols, 5));
        BaseApi::remapCubicReplicate(source, into, mixed);
        EXPECT_EQ(cv::norm(into, reference(source, mixed), cv::NORM_INF), 0.0) << cols;
        EXPECT_EQ(cv::countNonZero(wide.row(0).reshape(1) != 5), 0) << cols;
        EXPECT_EQ(cv::countNonZero(wide.col(cols + 2).reshape(1) != 5), 0) << cols;
    }

    cv::Mat wrong(scattered.size(), CV_8UC3);
    EXPECT_THROW(BaseApi::remapCubicReplicate(source, wrong, scattered), std::runtime_error);
}

} // namespace
} // namespace orb
