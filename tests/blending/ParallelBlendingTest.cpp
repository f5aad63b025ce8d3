#include "StitchLib/blending/BlendingOpenCV.h"

#include "tests/blending/SyntheticRigParts.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <cstring>
#include <vector>

namespace orb {
namespace {

// Puts OpenCV's thread count back however the test ends.
class ThreadCountGuard {
public:
    ThreadCountGuard() : saved(cv::getNumThreads()) {}
    ~ThreadCountGuard() { cv::setNumThreads(saved); }
    ThreadCountGuard(const ThreadCountGuard&) = delete;
    ThreadCountGuard& operator=(const ThreadCountGuard&) = delete;

    const int saved;
};

cv::Mat blendOnThreads(int threads, const std::vector<cv::Mat>& source)
{
    cv::setNumThreads(threads);
    std::vector<cv::Mat> parts;
    for (const cv::Mat& part : source) {
        parts.push_back(part.clone());
    }
    return BlendingOpenCV().process(parts);
}

bool sameBytes(const cv::Mat& a, const cv::Mat& b)
{
    if (a.type() != b.type() || a.size() != b.size()) {
        return false;
    }
    const std::size_t rowBytes = a.cols * a.elemSize();
    for (int r = 0; r < a.rows; ++r) {
        if (std::memcmp(a.ptr(r), b.ptr(r), rowBytes) != 0) {
            return false;
        }
    }
    return true;
}

// Masks, seams and spline split their work into planes, images and bands of
// rows that run on all cores; the panorama must not show how it was split.
TEST(ParallelBlendingTest, PanoramaIsBitIdenticalOnOneThreadAndOnAll)
{
    ThreadCountGuard threads;
    if (threads.saved < 2) {
        GTEST_SKIP() << "needs at least two threads to compare with one";
    }
    // 300 rows: five pyramid levels; the parts differ by parallax, so the
    // seams wander, and a hole seen by no camera leaves pixels uncovered.
    std::vector<cv::Mat> parts = makeSyntheticRigParts(300, 11);
    for (cv::Mat& part : parts) {
        part(cv::Rect(200, 150, 60, 40)).setTo(cv::Scalar::all(0));
    }

    const cv::Mat serial = blendOnThreads(1, parts);
    const cv::Mat parallel = blendOnThreads(threads.saved, parts);

    ASSERT_EQ(serial.type(), CV_8UC4);
    ASSERT_EQ(serial.size(), cv::Size(600, 300));
    cv::Mat alpha;
    cv::extractChannel(serial, alpha, 3);
    const int opaque = cv::countNonZero(alpha);
    ASSERT_GT(opaque, 0);
    ASSERT_LT(opaque, alpha.rows * alpha.cols);
    EXPECT_TRUE(sameBytes(serial, parallel));
}

} // namespace
} // namespace orb
