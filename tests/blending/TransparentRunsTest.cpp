// The passes over a part that skip its transparent (or fully opaque) runs many
// pixels at a time must change exactly the pixels that a pixel-by-pixel pass does.
#include "StitchLib/blending/AreaReduction.h"
#include "StitchLib/blending/CoverageEdge.h"
#include "StitchLib/blending/ExposureCompensator.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

namespace orb {
namespace {

// A part of odd width whose rows hold runs of content that start and end on either
// side of 16-pixel boundaries, rim alphas among them, single pixels at the first and
// last column, colour under zero alpha, alpha without colour, and empty rows.
cv::Mat awkwardPart(int rows, int cols, std::uint64_t seed)
{
    cv::RNG rng(seed);
    cv::Mat part = cv::Mat::zeros(rows, cols, CV_8UC4);
    for (int r = 0; r < rows; ++r) {
        if (r % 5 == 4)
            continue;
        const int runs = rng.uniform(1, 4);
        for (int k = 0; k < runs; ++k) {
            const int start = rng.uniform(0, cols);
            const int length = std::min(cols - start, rng.uniform(1, 40));
            for (int c = start; c < start + length; ++c) {
                cv::Vec4b& p = part.at<cv::Vec4b>(r, c);
                for (int ch = 0; ch < 3; ++ch)
                    p[ch] = static_cast<uchar>(rng.uniform(0, 256));
                const int kind = rng.uniform(0, 8);
                p[3] = kind == 0 ? static_cast<uchar>(rng.uniform(1, 255)) : kind == 1 ? 0 : 255;
            }
        }
        part.at<cv::Vec4b>(r, r % 2 ? 0 : cols - 1) = cv::Vec4b(200, 10, 255, static_cast<uchar>(30 + r));
    }
    // Pixels on either side of a 16-pixel boundary, where the part is wide enough.
    const auto put = [&](int r, int c, const cv::Vec4b& p) {
        if (r < rows && c < cols)
            part.at<cv::Vec4b>(r, c) = p;
    };
    put(0, 16, cv::Vec4b(0, 0, 0, 255));
    put(1, 15, cv::Vec4b(40, 50, 60, 0));
    put(1, 31, cv::Vec4b(0, 0, 0, 128));
    return part;
}

TEST(TransparentRuns, GainsAndTheRestoredRimChangeWhatAPixelByPixelPassChanges)
{
    for (const cv::Size size : {cv::Size(157, 23), cv::Size(16, 6), cv::Size(33, 7), cv::Size(5, 4)}) {
        const cv::Mat original = awkwardPart(size.height, size.width, 5);
        // Gains: every pixel with some alpha gets its table value, none other changes.
        // Gains that darken, keep, brighten past saturation, and one too large for
        // 16-bit arithmetic.
        for (const cv::Vec3d& gains : {cv::Vec3d(0.8, 1.0, 1.3), cv::Vec3d(2.2, 0.05, 1.0001), cv::Vec3d(1, 70, 1)}) {
            std::vector<cv::Mat> parts{original.clone()};
            ExposureCompensator::apply(parts, {gains});
            cv::Mat expected = original.clone();
            expected.forEach<cv::Vec4b>([&](cv::Vec4b& p, const int*) {
                if (p[3] == 0)
                    return;
                for (int k = 0; k < 3; ++k) {
                    const int scale = static_cast<int>(std::lround(gains[k] * 65536.0));
                    p[k] = p[k] == 255 ? cv::saturate_cast<uchar>(gains[k] < 1.0 ? 127.5 * (1.0 + gains[k]) : 255.0)
                                       : cv::saturate_cast<uchar>((p[k] * scale + 32768) >> 16);
                }
            });
            EXPECT_EQ(cv::norm(parts[0], expected, cv::NORM_INF), 0.0) << size << " " << gains;
        }

        // The rim: alpha below the limit clears the pixel, other partial alpha is
        // undone from the colour; alpha 0 and 255 stay as they are.
        cv::Mat rim = original.clone();
        restoreRim(rim, 64);
        cv::Mat expected = original.clone();
        expected.forEach<cv::Vec4b>([](cv::Vec4b& p, const int*) {
            if (p[3] == 0 || p[3] == 255)
                return;
            if (p[3] < 64) {
                p = cv::Vec4b(0, 0, 0, 0);
                return;
            }
            for (int k = 0; k < 3; ++k)
                p[k] = cv::saturate_cast<uchar>(p[k] * 255.0 / p[3]);
            p[3] = 255;
        });
        EXPECT_EQ(cv::norm(rim, expected, cv::NORM_INF), 0.0) << size;
    }
}

// A part that holds nothing outside its regions gets the same bits from the passes
// over the regions alone as from the passes over the whole part: regions at the
// part's edges, one reaching past it, and a strip across the top as a rig's parts have.
TEST(TransparentRuns, PassesOverARigPartsRegionsGiveTheWholePassBits)
{
    const cv::Size size(157, 23);
    const std::vector<std::vector<cv::Rect>> regions{
        {cv::Rect(0, 0, 157, 2), cv::Rect(40, 2, 61, 21)},
        {cv::Rect(0, 0, 157, 2), cv::Rect(0, 2, 30, 21), cv::Rect(127, 2, 40, 21)},
    };
    std::vector<cv::Mat> confined;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const cv::Mat full = awkwardPart(size.height, size.width, 11 + i);
        cv::Mat part = cv::Mat::zeros(size, CV_8UC4);
        for (const cv::Rect& region : regions[i]) {
            const cv::Rect inside = region & cv::Rect(cv::Point(), size);
            full(inside).copyTo(part(inside));
        }
        ASSERT_GT(cv::countNonZero(part.reshape(1) != 0), 500);
        confined.push_back(part);
    }
    const std::vector<cv::Vec3d> gains{cv::Vec3d(0.8, 1.0, 1.3), cv::Vec3d(2.2, 0.05, 1.0001)};
    std::vector<cv::Mat> whole{confined[0].clone(), confined[1].clone()};
    std::vector<cv::Mat> byRegion{confined[0].clone(), confined[1].clone()};
    ExposureCompensator::apply(whole, gains);
    ExposureCompensator::apply(byRegion, gains, regions);
    for (std::size_t i = 0; i < whole.size(); ++i) {
        EXPECT_GT(cv::norm(whole[i], confined[i], cv::NORM_INF), 0.0) << i;  // the gains did change it
        EXPECT_EQ(cv::norm(whole[i], byRegion[i], cv::NORM_INF), 0.0) << i;
        cv::Mat rim = confined[i].clone();
        cv::Mat rimByRegion = confined[i].clone();
        restoreRim(rim, 64);
        restoreRim(rimByRegion, 64, regions[i]);
        EXPECT_GT(cv::norm(rim, confined[i], cv::NORM_INF), 0.0) << i;
        EXPECT_EQ(cv::norm(rim, rimByRegion, cv::NORM_INF), 0.0) << i;
    }
    EXPECT_THROW(ExposureCompensator::apply(byRegion, gains, {regions[0]}), std::runtime_error);
}

TEST(TransparentRuns, AreaReductionOfRunsGivesTheLibrarysBits)
{
    // Fractional factors both ways (as a 2500-row panorama reduced by 8), whole ones,
    // and an image no larger than its reduction.
    const struct {
        cv::Size in, out;
    } cases[] = {{{157, 23}, {19, 2}}, {{333, 41}, {41, 5}}, {{160, 24}, {20, 3}}, {{33, 7}, {33, 7}}};
    for (const auto& c : cases) {
        const cv::Mat image = awkwardPart(c.in.height, c.in.width, 9);
        cv::Mat expected;
        cv::resize(image, expected, c.out, 0, 0, cv::INTER_AREA);
        EXPECT_EQ(cv::norm(reduceByArea(image, c.out), expected, cv::NORM_INF), 0.0) << c.in << " -> " << c.out;
    }
}

} // namespace
} // namespace orb
