#include "sim/CameraVideo.h"
#include "sim/SoundTrack.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

using orb::sim::CameraVideo;
using orb::sim::SoundTrack;

TEST(SimVideoTake, SoundIsTheSameEventsShiftedByEachCamerasDelay)
{
    const SoundTrack sound(7, -1.0, 3.0, 8000);
    EXPECT_GT(sound.eventCount(), 6u);
    const std::vector<float> early = sound.recording(0.0, 16000, 0.0, 1);
    const std::vector<float> late = sound.recording(0.25, 16000, 0.0, 1);
    double energy = 0.0, moved = 0.0;
    for (std::size_t i = 0; i < 16000; ++i) {
        energy += std::abs(early[i]);
        if (i >= 2000)
            moved += std::abs(late[i] - early[i - 2000]);
    }
    EXPECT_GT(energy, 10.0);
    EXPECT_EQ(moved, 0.0);  // 0.25 s is exactly 2000 samples later, nothing else changes
    // Hiss is each camera's own.
    const std::vector<float> a = sound.recording(0.0, 1000, 0.01, 1), b = sound.recording(0.0, 1000, 0.01, 2);
    EXPECT_NE(a, b);
}

TEST(SimVideoTake, AnUnfinishedVideoLeavesNoFileAndOddSizesAreRefused)
{
    const std::string dir = std::string(QUADSTITCH_TEST_TMP) + "/sim-video";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    CameraVideo::Settings s;
    s.width = s.height = 32;
    {
        CameraVideo video(dir + "/cam1.mp4", s);
        video.writeFrame(cv::Mat(32, 32, CV_8UC3, cv::Scalar(10, 20, 30)));
        const std::vector<float> tone(3000, 0.1f);
        video.writeAudio(tone.data(), tone.size());
    }  // dropped, as when rendering a later frame fails
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    {
        CameraVideo video(dir + "/cam2.mp4", s);
        for (int i = 0; i < 3; ++i)
            video.writeFrame(cv::Mat(32, 32, CV_8UC3, cv::Scalar(10, 20, 30 * i)));
        EXPECT_THROW(video.writeFrame(cv::Mat(30, 32, CV_8UC3)), std::runtime_error);
        video.finish();
    }
    EXPECT_TRUE(std::filesystem::exists(dir + "/cam2.mp4"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/cam2.mp4.partial"));
    s.width = 33;
    EXPECT_THROW(CameraVideo(dir + "/cam3.mp4", s), std::runtime_error);
}
