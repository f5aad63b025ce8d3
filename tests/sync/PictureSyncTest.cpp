#include "StitchLib/input/CalibrationFile.h"
#include "sim/Renderer.h"
#include "sim/Rig.h"
#include "sim/Scene.h"
#include "sync/ImageFileFrames.h"
#include "sync/PictureSync.h"
#include "sync/SyncError.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

using namespace orb::sync;

namespace {

// Cameras started at different moments, rendered as the sync asks for their frames:
// camera c's frame i shows the scene at frame i - offsets[c] of its clock, the near
// objects turned by degreesPerFrame per frame. Camera images are small and rendered
// without supersampling, so a test stays quick.
class SimulatedTake : public FrameSource {
public:
    SimulatedTake(int size, std::vector<double> offsets, double degreesPerFrame, int frames)
        : rig_(orb::sim::makeRig(cv::Size(size, size), 4)),
          still_(orb::sim::Scene::makeRoom(4, true, 0.03)),
          offsets_(std::move(offsets)),
          degreesPerFrame_(degreesPerFrame),
          frames_(frames)
    {
    }

    cv::Mat frame(int camera, int index) override
    {
        ++reads;
        if (index >= frames_)
            return cv::Mat();
        const orb::sim::Scene scene =
            still_.withNearTurned(degreesPerFrame_ * (index - offsets_[static_cast<std::size_t>(camera)]));
        return orb::sim::Renderer(scene, 1).renderCamera(rig_[static_cast<std::size_t>(camera)]);
    }

    orb::Rig rig(const std::string& dir) const
    {
        std::filesystem::create_directories(dir);
        orb::sim::writeCalibration(dir + "/calibration.yaml", rig_);
        return orb::Rig(orb::input::readCalibration(dir + "/calibration.yaml", 4), 0);
    }

    int reads = 0;

private:
    std::vector<orb::sim::RigCamera> rig_;
    orb::sim::Scene still_;
    std::vector<double> offsets_;
    double degreesPerFrame_;
    int frames_;
};

std::string tempDir(const std::string& name)
{
    const std::string dir = std::string(QUADSTITCH_TEST_TMP) + "/sync-" + name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

PictureSyncSettings smallSettings()
{
    PictureSyncSettings s;
    s.maxOffset = 8;
    s.window = 16;
    s.panoramaHeight = 96;
    s.frameRate = 30.0;
    return s;
}

} // namespace

TEST(PictureSync, MovingObjectsAcrossTheOverlapsGiveEachCamerasOffset)
{
    // Offsets either way, two at the search's edges, so that cameras 2 and 3 are the
    // largest lag apart; parallax of the near objects shifts every overlap's best lag
    // alike (here beyond that largest lag), which must not leak into the offsets.
    const std::vector<double> truth{0.0, -8.0, 8.0, 3.0};
    SimulatedTake take(96, truth, 4.0, 40);
    const orb::Rig rig = take.rig(tempDir("picture-moving"));
    std::vector<PairAgreement> pairs;
    const CameraOffsets found = pictureOffsets(rig, take, smallSettings(), &pairs);
    ASSERT_EQ(found.frames.size(), 4u);
    for (int c = 1; c < 4; ++c) {
        EXPECT_NEAR(found.frames[static_cast<std::size_t>(c)], truth[static_cast<std::size_t>(c)], 0.35)
            << "camera " << c + 1;
        EXPECT_GT(found.confidence[static_cast<std::size_t>(c)], 1.0);
    }
    EXPECT_EQ(found.wholeFrames(), (std::vector<int>{0, -8, 8, 3}));
    // Each camera is read once, in order: window + 2 maxOffset frames.
    EXPECT_EQ(take.reads, 4 * 32);
    // Every overlap agrees strongly at its lag and hardly two frames away.
    ASSERT_EQ(pairs.size(), 4u);
    for (const PairAgreement& p : pairs) {
        const double lag = truth[static_cast<std::size_t>(p.right)] - truth[static_cast<std::size_t>(p.left)];
        double peak = -1.0;
        for (int d = -1; d <= 1; ++d)
            peak = std::max(peak, p.byLag[static_cast<std::size_t>(lag + d + p.maxLag)]);
        EXPECT_GT(peak, 0.5) << "cameras " << p.left + 1 << "-" << p.right + 1;
        EXPECT_LT(p.byLag[static_cast<std::size_t>(lag + 4 + p.maxLag)], 0.5 * peak);
    }
}

TEST(PictureSync, StillScenesAndShortRecordingsAreErrorsNamingTheCamera)
{
    // Nothing moves: every offset agrees equally well, so none may be chosen.
    SimulatedTake still(96, {0.0, 2.0, 0.0, 0.0}, 0.0, 40);
    const orb::Rig rig = still.rig(tempDir("picture-still"));
    try {
        pictureOffsets(rig, still, smallSettings());
        ADD_FAILURE() << "a still take was synchronised";
    } catch (const SyncError& e) {
        EXPECT_EQ(e.camera(), 2);
        EXPECT_NE(std::string(e.what()).find("camera 2 shows no motion"), std::string::npos) << e.what();
    }
    // Too few frames to compare a whole window at every offset.
    SimulatedTake shortTake(96, {0.0, 2.0, 0.0, 0.0}, 4.0, 12);
    try {
        pictureOffsets(rig, shortTake, smallSettings());
        ADD_FAILURE() << "a 12-frame take was synchronised over a 16-frame window";
    } catch (const SyncError& e) {
        EXPECT_EQ(e.camera(), 1);
        EXPECT_NE(std::string(e.what()).find("camera 1 has 12 frames"), std::string::npos) << e.what();
    }
}

TEST(PictureSync, ImageFilesAreFramesUntilTheFirstMissingOne)
{
    const std::string dir = tempDir("picture-files");
    const cv::Mat grey(8, 8, CV_8UC3, cv::Scalar(90, 90, 90));
    cv::imwrite(dir + "/0000000005-2.png", grey);
    cv::imwrite(dir + "/0000000006-2.png", grey);
    std::ofstream(dir + "/0000000007-2.png") << "broken";
    ImageFileFrames frames(dir, ".png", 5);
    EXPECT_EQ(frames.frame(1, 0).size(), cv::Size(8, 8));
    EXPECT_EQ(frames.frame(1, 1).size(), cv::Size(8, 8));
    EXPECT_TRUE(frames.frame(0, 0).empty());  // camera 1 has none
    EXPECT_TRUE(frames.frame(1, 3).empty());
    try {
        frames.frame(1, 2);
        ADD_FAILURE() << "a broken image was read";
    } catch (const SyncError& e) {
        EXPECT_NE(std::string(e.what()).find("0000000007-2.png"), std::string::npos) << e.what();
    }
}
