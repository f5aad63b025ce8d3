#include "StitchLib/stereo/DisparityRefinement.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace orb {
namespace {

// Bit for bit, NaN included.
bool sameBits(const cv::Mat_<float>& a, const cv::Mat_<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data, b.data, a.total() * sizeof(float)) == 0;
}

// A textured second view and the first view it shifts to by `shift` pixels, with a
// flat (textureless) band, and matcher-like disparities in sixteenths with gaps, a
// depth edge, values that walk windows off either side, and rows whose refined
// windows are not a multiple of four.
struct Views {
    cv::Mat a, b;
    cv::Mat_<float> disparity;

    Views(cv::Size size, float shift, std::uint64_t seed)
    {
        cv::RNG rng(seed);
        cv::Mat noise(size, CV_32F);
        rng.fill(noise, cv::RNG::UNIFORM, 0.0, 255.0);
        cv::GaussianBlur(noise, noise, cv::Size(5, 5), 1.2);
        noise.convertTo(b, CV_8U);
        b(cv::Rect(0, size.height / 2, size.width, 3)).setTo(90);
        const cv::Mat m = (cv::Mat_<double>(2, 3) << 1, 0, shift, 0, 1, 0);
        cv::warpAffine(b, a, m, size, cv::INTER_LINEAR, cv::BORDER_REFLECT);
        disparity.create(size);
        for (int y = 0; y < size.height; ++y)
            for (int x = 0; x < size.width; ++x) {
                float d = std::round((shift + static_cast<float>(rng.uniform(-0.4, 0.4))) * 16.0f) / 16.0f;
                if (x > size.width * 2 / 3)
                    d += 3.0f;  // a depth edge
                disparity(y, x) = d;
            }
        // Gaps: a block, and single pixels now and then.
        disparity(cv::Rect(size.width / 3, 0, 3, 4) & cv::Rect(cv::Point(), size))
            .setTo(std::numeric_limits<float>::quiet_NaN());
        for (int k = 0; k < size.area() / 150; ++k)
            disparity(rng.uniform(0, size.height), rng.uniform(0, size.width)) =
                std::numeric_limits<float>::quiet_NaN();
        // Windows that step past the first or last column of the second view.
        disparity(3, 2) = -2.0f;
        disparity(4, size.width - 3) = static_cast<float>(size.width);
        if (size.height > 5)
            disparity(5, 3) = 4.5f;
    }
};

TEST(DisparityRefinement, FourWindowsAtOnceGiveThePlainBitsAndMoveTowardsTheShift)
{
    const struct {
        cv::Size size;
        float shift;
    } cases[] = {{{61, 23}, 2.3f}, {{37, 9}, 1.7f}, {{5, 5}, 0.4f}, {{6, 7}, 0.5f}, {{128, 40}, -1.35f}, {{2100, 12}, 0.7f}};
    for (const auto& c : cases) {
        const Views v(c.size, c.shift, 7);
        const cv::Mat_<float> plain = Stereo::refineDisparityPlain(v.a, v.b, v.disparity);
        const cv::Mat_<float> fast = Stereo::refineDisparity(v.a, v.b, v.disparity);
        EXPECT_TRUE(sameBits(plain, fast)) << c.size;
    }
    // On a smooth shift the refined values are nearer the truth than the matcher's
    // (which are off by up to 0.4 px) in the interior, away from the depth edge.
    const Views v({96, 32}, 2.3f, 11);
    const cv::Mat_<float> refined = Stereo::refineDisparity(v.a, v.b, v.disparity);
    double before = 0.0, after = 0.0;
    int changed = 0;
    for (int y = 4; y < 28; ++y)
        for (int x = 6; x < 56; ++x) {
            if (std::isnan(v.disparity(y, x)) || (y >= 14 && y <= 20))
                continue;
            before += std::fabs(v.disparity(y, x) - 2.3f);
            after += std::fabs(refined(y, x) - 2.3f);
            changed += refined(y, x) != v.disparity(y, x);
        }
    EXPECT_GT(changed, 100);
    EXPECT_LT(after, 0.5 * before);
    // Gaps stay gaps, and nothing moves by more than a pixel.
    for (int y = 0; y < refined.rows; ++y)
        for (int x = 0; x < refined.cols; ++x) {
            EXPECT_EQ(std::isnan(refined(y, x)), std::isnan(v.disparity(y, x)));
            if (!std::isnan(refined(y, x))) {
                EXPECT_LE(std::fabs(refined(y, x) - v.disparity(y, x)), 1.0f);
            }
        }
    EXPECT_THROW(Stereo::refineDisparity(v.a, v.b(cv::Rect(0, 0, 10, 10)), v.disparity), std::runtime_error);
}

} // namespace
} // namespace orb
