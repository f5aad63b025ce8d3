#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/CameraImages.h"
#include "StitchLib/pipeline/StitchPipeline.h"
#include "StitchLib/mapping/FastStitch.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#ifdef QUADSTITCH_SIM_BIN

namespace fs = std::filesystem;
using namespace orb;
using orb::pipeline::Stage;

namespace {

std::uint64_t pixelChecksum(const cv::Mat& m)
{
    std::uint64_t h = 1469598103934665603ull; // FNV-1a over the decoded pixels, row by row
    for (int r = 0; r < m.rows; ++r) {
        const uchar* p = m.ptr<uchar>(r);
        for (std::size_t i = 0; i < m.cols * m.elemSize(); ++i) {
            h ^= p[i];
            h *= 1099511628211ull;
        }
    }
    return h;
}

// One small simulated frame (320 x 320 cameras, near objects on the seams), made once.
class SmallFrame : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new fs::path(fs::path(QUADSTITCH_TEST_TMP) / ("pipeline-frame-" + std::to_string(::getpid())));
        fs::create_directories(*dir);
        const std::string command = std::string("'") + QUADSTITCH_SIM_BIN + "' generate '" + dir->string() +
                                    "' --camera-size 320 --truth-height 200 >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    static void TearDownTestSuite()
    {
        fs::remove_all(*dir);
        delete dir;
    }

    static std::vector<cv::Mat> images()
    {
        std::vector<std::string> paths;
        for (int k = 1; k <= 4; ++k)
            paths.push_back((*dir / ("0000000000-" + std::to_string(k) + ".png")).string());
        return input::readCameraImages(paths);
    }
    static Rig rig(int lensVersion) { return Rig(input::readCalibration((*dir / "calibration.yaml").string(), 4), lensVersion); }

    static fs::path* dir;
};
fs::path* SmallFrame::dir = nullptr;

// Records the stage sequence and what the intermediates looked like.
struct Recorder : pipeline::PipelineObserver {
    void stageStarted(Stage s) override { started.push_back(s); }
    void stageFinished(Stage s, double seconds) override
    {
        finished.push_back(s);
        EXPECT_GE(seconds, 0.0);
    }
    void scanReady(const ScanImages& scan) override { scanSize = scan.inverseDepth.size(); }
    void partsReady(const std::vector<cv::Mat>& parts) override { partCount = parts.size(); }
    void seamsReady(const MaskedImageSet& set) override { seamImages = static_cast<int>(set.numImages()); }
    std::vector<Stage> started, finished;
    cv::Size scanSize;
    std::size_t partCount = 0;
    int seamImages = 0;
};

} // namespace

// Decoded-pixel checksums of a reduced-size full stitch (both lens versions) and of fast
// stitches, recorded with the stitcher as it was before the stages had one owner. Any
// change to the stitch's arithmetic or order of stages shows up here.
TEST_F(SmallFrame, PanoramasKeepTheirPixels)
{
    const std::vector<cv::Mat> camera = images();
    pipeline::StitchPipeline lens0(rig(0));
    EXPECT_EQ(pixelChecksum(lens0.fullStitch(camera, 400)), 0x916801b66476c05cull);
    pipeline::StitchPipeline lens1(rig(1));
    EXPECT_EQ(pixelChecksum(lens1.fullStitch(camera, 400)), 0x21e0e8cd3b4e4aecull);

    EXPECT_EQ(pixelChecksum(lens0.fastStitch(camera, 300)), 0xade030ec4bcd54feull);
    EXPECT_EQ(pixelChecksum(lens0.fastStitch(camera, 97)), 0x653ea32d4abcfa3aull);
    // Odd heights take the other branches of every pyramid step (recorded with the
    // stitcher as it was before the performance work), and one thread gives the
    // same bits as all of them.
    EXPECT_EQ(pixelChecksum(lens0.fullStitch(camera, 201)), 0x3fee4522ab6a6a5bull);
    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    EXPECT_EQ(pixelChecksum(lens1.fullStitch(camera, 333)), 0xc73651cf72455954ull);
    EXPECT_EQ(pixelChecksum(lens0.fullStitch(camera, 400)), 0x916801b66476c05cull);
    cv::setNumThreads(threads);
    // A take keeps its maps from frame to frame; the pixels stay the same.
    pipeline::StitchOptions keep;
    keep.keepFastMaps = true;
    pipeline::StitchPipeline take(rig(0), keep);
    for (int frame = 0; frame < 2; ++frame) {
        EXPECT_EQ(pixelChecksum(take.fastStitch(camera, 300)), 0xade030ec4bcd54feull);
        EXPECT_EQ(pixelChecksum(take.fastStitch(camera, 97)), 0x653ea32d4abcfa3aull);
    }
    // Pipelines of one take share one set of maps, built once per height.
    pipeline::StitchOptions share;
    share.sharedFastMaps = std::make_shared<pipeline::SharedFastMaps>();
    pipeline::StitchPipeline first(rig(0), share), second(rig(0), share);
    EXPECT_EQ(pixelChecksum(first.fastStitch(camera, 300)), 0xade030ec4bcd54feull);
    const auto maps = share.sharedFastMaps->get(rig(0), 300);
    EXPECT_EQ(pixelChecksum(second.fastStitch(camera, 300)), 0xade030ec4bcd54feull);
    EXPECT_EQ(maps, share.sharedFastMaps->get(rig(0), 300));
    EXPECT_EQ(pixelChecksum(second.fastStitch(camera, 97)), 0x653ea32d4abcfa3aull);
    EXPECT_EQ(share.sharedFastMaps->get(rig(0), 97)->height(), 97);
}

TEST_F(SmallFrame, StagesRunInOrderAndHandOutIntermediates)
{
    const std::vector<cv::Mat> camera = images();
    for (int lensVersion : {0, 1}) {
        Recorder recorder;
        pipeline::StitchPipeline stitcher(rig(lensVersion), pipeline::StitchOptions(), &recorder);
        const cv::Mat whole = stitcher.fullStitch(camera, 200);

        std::vector<Stage> expected{Stage::Scan, Stage::Parts, Stage::Masks, Stage::Seams, Stage::Spline};
        if (lensVersion == 1) // only the wide lens adds the ground plane
            expected.insert(expected.begin() + 1, Stage::GroundPlane);
        EXPECT_EQ(recorder.started, expected);
        EXPECT_EQ(recorder.finished, expected);
        EXPECT_EQ(recorder.scanSize, cv::Size(400, 200));
        EXPECT_EQ(recorder.partCount, 4u);
        EXPECT_EQ(recorder.seamImages, 4);

        // Calling the stages one by one gives the same panorama as the whole run.
        ScanImages scan = stitcher.scan(camera, 200);
        stitcher.groundPlane(scan);
        std::vector<cv::Mat> parts = stitcher.parts(scan, camera);
        MaskedImageSet set = stitcher.masks(parts);
        EXPECT_TRUE(parts.empty());
        stitcher.seams(set);
        const cv::Mat stepwise = stitcher.spline(set);
        EXPECT_EQ(pixelChecksum(stepwise), pixelChecksum(whole)) << "lens version " << lensVersion;
    }
}

TEST_F(SmallFrame, BadInputIsNamed)
{
    std::vector<cv::Mat> camera = images();
    pipeline::StitchPipeline stitcher(rig(0));
    std::vector<cv::Mat> three(camera.begin(), camera.begin() + 3);
    EXPECT_THROW(stitcher.fastStitch(three, 100), std::invalid_argument);
    EXPECT_THROW(stitcher.blend(three), std::invalid_argument);

    std::vector<std::string> paths{(*dir / "0000000000-1.png").string(), (*dir / "0000000099-2.png").string()};
    try {
        input::readCameraImages(paths);
        FAIL() << "a missing camera image was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("0000000099-2.png"), std::string::npos) << e.what();
    }
    try {
        input::readCalibration((*dir / "calibration.yaml").string(), 5);
        FAIL() << "a calibration of four cameras was accepted for five";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("calibration.yaml"), std::string::npos) << e.what();
    }
    EXPECT_THROW(Rig(std::vector<CameraIntrinsics>(3), 0), std::invalid_argument);
}

#endif
