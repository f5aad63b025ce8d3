#include "StitchLib/input/CalibrationFile.h"
#include "sim/VideoTake.h"
#include "sync/AudioSync.h"
#include "sync/PictureSync.h"
#include "sync/VideoFrames.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <string>

using namespace orb::sync;

// The simulator's video take and the sync share no code: the offsets the simulator
// delayed its cameras by must come back from both the sound and the pictures.
TEST(VideoTakeSync, SimulatedCameraVideosGiveBackTheirOffsets)
{
    const std::string dir = std::string(QUADSTITCH_TEST_TMP) + "/sync-video-take";
    std::filesystem::remove_all(dir);
    orb::sim::TakeSettings take;
    take.picture.cameraWidth = take.picture.cameraHeight = 96;
    take.picture.supersample = 1;
    take.picture.seed = 9;
    take.frames = 36;
    take.frameRate = 25.0;
    take.offsets = {2.0, 5.0, -1.0, 7.0};  // relative to camera 1: 0, 3, -3, 5
    take.degreesPerFrame = -4.0;
    take.truth = false;
    take.images = true;
    orb::sim::generateVideoTake(dir, take);
    std::vector<std::string> videos;
    for (int c = 1; c <= 4; ++c)
        videos.push_back(dir + "/" + orb::sim::cameraVideoName(c));

    const CameraOffsets heard = audioOffsetsOfFiles(videos, 25.0);
    EXPECT_EQ(heard.wholeFrames(), (std::vector<int>{0, 3, -3, 5}));
    for (int c = 1; c < 4; ++c)
        EXPECT_NEAR(heard.frames[static_cast<std::size_t>(c)], heard.wholeFrames()[static_cast<std::size_t>(c)],
                    0.01);

    VideoFrames frames(videos);
    EXPECT_DOUBLE_EQ(frames.frameRate(), 25.0);
    PictureSyncSettings settings;
    settings.maxOffset = 6;
    settings.window = 20;
    settings.panoramaHeight = 96;
    const orb::Rig rig(orb::input::readCalibration(dir + "/calibration.yaml", 4), 0);
    EXPECT_EQ(pictureOffsets(rig, frames, settings).wholeFrames(), (std::vector<int>{0, 3, -3, 5}));

    // The videos hold the take's pictures, within the encoder's loss, and all of them.
    VideoFrames again(videos);
    for (int i : {0, 17, 35}) {
        const cv::Mat decoded = again.frame(2, i);
        cv::Mat original = cv::imread(dir + "/00000000" + (i < 10 ? "0" : "") + std::to_string(i) + "-3.png",
                                      cv::IMREAD_GRAYSCALE);
        ASSERT_FALSE(original.empty());
        ASSERT_EQ(decoded.size(), original.size());
        EXPECT_LT(cv::norm(decoded, original, cv::NORM_L1) / decoded.total(), 4.0) << "frame " << i;
    }
    EXPECT_TRUE(again.frame(2, 36).empty());
}
