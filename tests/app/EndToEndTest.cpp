// Runs both stitch modes on one simulated rig frame with a known answer. The
// simulator renders by ray tracing and shares no code with the stitcher, so a
// fault in the mappers cannot cancel out.
#include "BaseLib/ImportIntrinsics.h"
#include "StitchLib/blending/BlendingOpenCV.h"
#include "StitchLib/mapping/FastStitch.h"
#include "StitchLib/pipeline/DepthAlignedImages.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#ifdef QUADSTITCH_SIM_BIN

namespace fs = boost::filesystem;

namespace {

std::string shellQuote(const std::string& s) { return "'" + s + "'"; }

int run(const std::string& command)
{
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::map<std::string, double> score(const fs::path& panorama, const fs::path& frame)
{
    const fs::path out = frame / "score.txt";
    EXPECT_EQ(run(shellQuote(QUADSTITCH_SIM_BIN) + " score " + shellQuote(panorama.string()) + " " +
                  shellQuote(frame.string()) + " >" + shellQuote(out.string())),
              0);
    std::map<std::string, double> values;
    std::ifstream in(out.string());
    std::string key;
    double value;
    while (in >> key >> value) values[key] = value;
    return values;
}

// Pixels where some part is fully opaque over its whole 3x3 neighbourhood
// (outside the image counts as opaque): where the blended panorama must be opaque.
cv::Mat expectedAlpha(const std::vector<cv::Mat>& parts)
{
    cv::Mat expected = cv::Mat::zeros(parts[0].size(), CV_8U);
    for (const cv::Mat& part : parts) {
        cv::Mat alpha, opaque;
        cv::extractChannel(part, alpha, 3);
        cv::compare(alpha, 255, opaque, cv::CMP_EQ);
        cv::erode(opaque, opaque, cv::Mat::ones(3, 3, CV_8U), cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
                  cv::morphologyDefaultBorderValue());
        expected |= opaque;
    }
    return expected;
}

class SimulatedFrame : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // One frame per process: ctest may run these tests side by side.
        frame = new fs::path(fs::path(QUADSTITCH_TEST_TMP) / ("e2e-" + std::to_string(::getpid())));
        fs::remove_all(*frame);
        ASSERT_EQ(run(shellQuote(QUADSTITCH_SIM_BIN) + " generate " + shellQuote(frame->string()) + " >/dev/null"),
                  0);
        for (int k = 1; k <= 4; ++k) {
            images.push_back(cv::imread((*frame / ("0000000000-" + std::to_string(k) + ".png")).string(),
                                        cv::IMREAD_UNCHANGED));
        }
        cameras = orb::BaseApi::importIntrinsics((*frame / "calibration.yaml").string());
    }
    static void TearDownTestSuite()
    {
        images.clear();
        fs::remove_all(*frame);
        delete frame;
        frame = nullptr;
    }

    static fs::path* frame;
    static std::vector<cv::Mat> images;
    static std::vector<orb::CameraIntrinsics> cameras;
};

fs::path* SimulatedFrame::frame = nullptr;
std::vector<cv::Mat> SimulatedFrame::images;
std::vector<orb::CameraIntrinsics> SimulatedFrame::cameras;

} // namespace

TEST_F(SimulatedFrame, EachCameraFillsItsOwnSector)
{
    ASSERT_EQ(cameras.size(), 4u);
    // Column ranges of cameras 1 to 4 at height 1000 (camera 3 wraps over the edges).
    const std::vector<std::vector<cv::Range>> sectors = {
        {cv::Range(750, 1250)}, {cv::Range(1250, 1750)}, {cv::Range(1750, 2000), cv::Range(0, 250)},
        {cv::Range(250, 750)}};
    for (int dark = 0; dark < 4; ++dark) {
        std::vector<cv::Mat> input;
        for (int k = 0; k < 4; ++k) input.push_back(k == dark ? cv::Mat::zeros(images[k].size(), CV_8UC3) : images[k]);
        const cv::Mat pano = orb::FastStitch::makeFastStitchImage(cameras, 1000, input, 0);
        for (int k = 0; k < 4; ++k) {
            for (const cv::Range& cols : sectors[k]) {
                const cv::Mat sector = pano(cv::Range::all(), cols);
                cv::Mat grey;
                cv::cvtColor(sector, grey, cv::COLOR_BGR2GRAY);
                const double lit = cv::countNonZero(grey) / static_cast<double>(grey.total());
                if (k == dark) {
                    EXPECT_EQ(lit, 0.0) << "camera " << k + 1 << " darkened";
                } else {
                    // The lenses see down to about 63 degrees below the horizon.
                    EXPECT_GT(lit, 0.8) << "camera " << k + 1 << " with camera " << dark + 1 << " darkened";
                }
            }
        }
    }
}

TEST_F(SimulatedFrame, FullStitchBeatsFastStitchOnNearObjects)
{
    const fs::path panorama = *frame / "0000000000.png";
    ASSERT_EQ(run(shellQuote(QUADSTITCH_BIN) + " -d " + shellQuote(frame->string()) + " -s 1"), 0);
    const auto fast = score(panorama, *frame);
    fs::rename(panorama, *frame / "fast.png");

    ASSERT_EQ(run(shellQuote(QUADSTITCH_BIN) + " -d " + shellQuote(frame->string())), 0);
    const cv::Mat full = cv::imread(panorama.string(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(full.type(), CV_8UC4);
    ASSERT_EQ(full.size(), cv::Size(10000, 5000));
    const auto blended = score(panorama, *frame);

    // Both cover what the cameras see; the fast stitch already lines up the far room.
    EXPECT_GT(fast.at("coverage"), 0.8);
    EXPECT_GT(blended.at("coverage"), 0.8);
    EXPECT_GT(fast.at("psnr"), 15.0);
    EXPECT_GT(fast.at("psnr_far"), 18.0);
    // Depth alignment and blending must pay off clearly where the scene is near.
    EXPECT_GT(blended.at("psnr_near"), fast.at("psnr_near") + 5.0);
    EXPECT_GT(blended.at("psnr"), fast.at("psnr"));

    // Alpha is opaque exactly where some part's eroded valid mask is.
    std::vector<cv::Mat> parts = orb::Stereo::makeStereoDepthAlignedImages(cameras, images, 5000, 0);
    const cv::Mat expected = expectedAlpha(parts);
    parts.clear();
    cv::Mat alpha;
    cv::extractChannel(full, alpha, 3);
    EXPECT_EQ(cv::countNonZero(alpha != expected), 0);
}

TEST_F(SimulatedFrame, BlendingIsRepeatableAndOpaqueExactlyWhereAPartIsValid)
{
    // The same path as the full stitch at a fifth of the size.
    std::vector<cv::Mat> parts = orb::Stereo::makeStereoDepthAlignedImages(cameras, images, 1000, 0);
    const std::vector<cv::Mat> copy = parts;
    const cv::Mat expected = expectedAlpha(parts);
    orb::BlendingOpenCV blending;
    const cv::Mat first = blending.process(parts);
    std::vector<cv::Mat> again = orb::Stereo::makeStereoDepthAlignedImages(cameras, images, 1000, 0);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(cv::norm(again[k], copy[k], cv::NORM_INF), 0.0);
    const cv::Mat second = blending.process(again);
    ASSERT_EQ(first.type(), CV_8UC4);
    EXPECT_EQ(cv::norm(first, second, cv::NORM_INF), 0.0);
    cv::Mat alpha;
    cv::extractChannel(first, alpha, 3);
    EXPECT_EQ(cv::countNonZero(alpha != expected), 0);
    EXPECT_GT(cv::countNonZero(alpha), static_cast<int>(alpha.total() / 2));
}

#endif
