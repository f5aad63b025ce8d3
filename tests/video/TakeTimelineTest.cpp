#include "TakeTimeline.h"

#include "VideoTestFiles.h"

#include <gtest/gtest.h>

namespace {

using video::FramePicker;
using video::TakeTimeline;
using video::VideoReader;

// The take is the time all cameras cover: a camera started earlier (larger offset)
// has its first frames cut, one started later shortens the end.
TEST(TakeTimeline, CoversTheTimeAllCamerasShare)
{
    const double rate = 25;
    const TakeTimeline t({1.0, 1.0, 1.0, 1.0}, {0.0, 2 / rate, 0.0, -1 / rate}, rate);
    EXPECT_NEAR(t.start(), 1 / rate, 1e-12);                       // camera 4 starts 1 frame late
    EXPECT_NEAR(t.end(), 1.0 - 2 / rate, 1e-12);                   // camera 2 ends 2 frames early
    EXPECT_EQ(t.frameCount(), 22);                                  // 25 - 2 - 1
    EXPECT_NEAR(t.cameraSeconds(0, 0), 1 / rate, 1e-12);
    EXPECT_NEAR(t.cameraSeconds(1, 0), 3 / rate, 1e-12);
    EXPECT_NEAR(t.cameraSeconds(3, 0), 0.0, 1e-12);
    EXPECT_NEAR(t.cameraSeconds(2, 10), 11 / rate, 1e-12);
    // Cameras that never overlap give an empty take, not a negative count.
    EXPECT_EQ(TakeTimeline({1.0, 1.0}, {0.0, 2.0}, rate).frameCount(), 0);
}

// A dropped frame is filled by the nearest frame (reused); a faster camera has frames
// passed over (skipped); both counted, and the pictures are the right ones.
TEST(FramePicker, NearestFrameByTimeWithDropsAndFasterCameras)
{
    const auto dir = videotest::scratch("picker");
    ASSERT_TRUE(videotest::makeVideo(dir / "dropped.mp4", 64, 9, 25,
                                     "-c:v libx264 -preset ultrafast -pix_fmt yuv420p",
                                     "-vf select='not(eq(n\\,4))' -fps_mode passthrough"));
    ASSERT_TRUE(videotest::makeVideo(dir / "fast.mp4", 64, 20, 50));
    std::vector<cv::Mat> fastFrames;
    {
        VideoReader all((dir / "fast.mp4").string());
        video::VideoFrame f;
        while (all.read(f))
            fastFrames.push_back(f.image);
    }
    ASSERT_EQ(fastFrames.size(), 20u);

    VideoReader dropped((dir / "dropped.mp4").string());
    FramePicker picker(dropped);
    std::vector<double> served;
    for (int i = 0; i < 10; ++i)
        served.push_back(picker.at(i / 25.0).seconds * 25.0);
    // Frame 4 is missing: 3 and 5 are equally near, the earlier one serves.
    const std::vector<double> expected = {0, 1, 2, 3, 3, 5, 6, 7, 8, 9};
    for (int i = 0; i < 10; ++i)
        EXPECT_NEAR(served[static_cast<std::size_t>(i)], expected[static_cast<std::size_t>(i)], 1e-3) << i;
    EXPECT_EQ(picker.reused(), 1);
    EXPECT_EQ(picker.skipped(), 0);

    VideoReader fast((dir / "fast.mp4").string());
    FramePicker fastPicker(fast);
    for (int i = 0; i < 10; ++i) {
        const video::VideoFrame& frame = fastPicker.at(i / 25.0);
        EXPECT_NEAR(frame.seconds, i / 25.0, 1e-3);
        EXPECT_EQ(cv::norm(frame.image, fastFrames[static_cast<std::size_t>(2 * i)], cv::NORM_INF), 0.0) << i;
    }
    EXPECT_EQ(fastPicker.skipped(), 9);
    EXPECT_EQ(fastPicker.reused(), 0);
}

// Jumping ahead (a later segment, another shard) lands on the same pictures as
// reading the whole way there.
TEST(FramePicker, JumpGivesTheSamePicturesAsReadingOn)
{
    const auto dir = videotest::scratch("picker-jump");
    ASSERT_TRUE(videotest::makeVideo(dir / "gop.mp4", 64, 150, 25, "-c:v libx264 -preset ultrafast -g 12 -pix_fmt yuv420p"));
    VideoReader a((dir / "gop.mp4").string()), b((dir / "gop.mp4").string());
    FramePicker reading(a), jumping(b);
    for (int i = 0; i < 137; ++i)
        reading.at(i / 25.0);
    jumping.jumpTo(137 / 25.0);
    for (int i = 137; i < 145; ++i) {
        const video::VideoFrame& x = reading.at(i / 25.0);
        const video::VideoFrame& y = jumping.at(i / 25.0);
        EXPECT_NEAR(x.seconds, y.seconds, 1e-9);
        EXPECT_EQ(cv::norm(x.image, y.image, cv::NORM_INF), 0.0) << i;
    }
}

} // namespace
