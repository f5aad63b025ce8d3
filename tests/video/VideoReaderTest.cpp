#include "VideoReader.h"
#include "VideoWriter.h"

#include "VideoTestFiles.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <fstream>
#include <vector>

namespace {

using video::VideoFrame;
using video::VideoReader;

std::vector<VideoFrame> readAll(const std::string& path, const VideoReader::Options& options = {})
{
    VideoReader reader(path, options);
    std::vector<VideoFrame> frames;
    VideoFrame f;
    while (reader.read(f))
        frames.push_back(f);
    return frames;
}

// Any container and codec: every picture once, in presentation order, with its time.
TEST(VideoReader, ReadsEveryFrameOfCommonContainersAndCodecs)
{
    const auto dir = videotest::scratch("reader-formats");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"h264.mp4", "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -bf 2"},
        {"hevc.mkv", "-c:v libx265 -preset ultrafast -pix_fmt yuv420p -x265-params log-level=none"},
        {"mjpeg.mov", "-c:v mjpeg -q:v 3"},
    };
    for (const auto& [name, codec] : cases) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(videotest::makeVideo(dir / name, 64, 12, 25, codec));
        VideoReader reader((dir / name).string());
        EXPECT_EQ(reader.width(), 64);
        EXPECT_EQ(reader.height(), 64);
        EXPECT_NEAR(reader.frameRate(), 25.0, 1e-9);
        EXPECT_FALSE(reader.hasAudio());
        std::vector<VideoFrame> frames;
        VideoFrame f;
        while (reader.read(f))
            frames.push_back(f);
        ASSERT_EQ(frames.size(), 12u);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].index, static_cast<std::int64_t>(i));
            EXPECT_NEAR(frames[i].seconds, static_cast<double>(i) / 25.0, 1e-3);
            EXPECT_EQ(frames[i].image.type(), CV_8UC3);
        }
        // The pattern moves: consecutive pictures differ (a repeated buffer would not).
        EXPECT_GT(cv::norm(frames[3].image, frames[4].image, cv::NORM_L1), 0.0);
        EXPECT_FALSE(reader.read(f));
    }
}

// A dropped frame leaves a gap in the presentation times rather than shifting the rest.
TEST(VideoReader, DroppedFrameLeavesAGapInTheTimes)
{
    const auto dir = videotest::scratch("reader-dropped");
    const auto file = dir / "dropped.mp4";
    ASSERT_TRUE(videotest::makeVideo(file, 64, 9, 25, "-c:v libx264 -preset ultrafast -pix_fmt yuv420p",
                                     "-vf select='not(eq(n\\,4))' -fps_mode passthrough"));
    const auto frames = readAll(file.string());
    ASSERT_EQ(frames.size(), 9u);
    EXPECT_NEAR(frames[3].seconds, 3 / 25.0, 1e-3);
    EXPECT_NEAR(frames[4].seconds, 5 / 25.0, 1e-3);
    EXPECT_NEAR(frames[8].seconds, 9 / 25.0, 1e-3);
}

// Inputs that are not whole videos fail with the file's name, never with pictures.
TEST(VideoReader, RefusesFilesThatAreNotWholeVideos)
{
    const auto dir = videotest::scratch("reader-bad");
    const auto good = dir / "good.mp4";
    ASSERT_TRUE(videotest::makeVideo(good, 64, 24, 25, "-c:v libx264 -preset ultrafast -pix_fmt yuv420p",
                                     "-movflags +faststart"));
    {
        std::ofstream(dir / "text.mp4") << "not a video at all\n";
    }
    ASSERT_EQ(videotest::run("ffmpeg -nostdin -y -f lavfi -i testsrc2=size=64x64 -frames:v 1 '" +
                             (dir / "still.png").string() + "'"),
              0);
    // Cut the file in its media data: the index (at the front) still promises every frame.
    const auto size = std::filesystem::file_size(good);
    std::filesystem::copy_file(good, dir / "truncated.mp4");
    std::filesystem::resize_file(dir / "truncated.mp4", size * 2 / 3);
    // A moov-at-the-end file cut short has no index at all.
    ASSERT_TRUE(videotest::makeVideo(dir / "tail.mp4", 64, 24, 25));
    std::filesystem::resize_file(dir / "tail.mp4", std::filesystem::file_size(dir / "tail.mp4") / 2);

    for (const char* name : {"text.mp4", "still.png", "truncated.mp4", "tail.mp4", "missing.mp4"}) {
        SCOPED_TRACE(name);
        const std::string path = (dir / name).string();
        try {
            readAll(path);
            ADD_FAILURE() << "read without an error";
        } catch (const video::VideoError& e) {
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(readAll(good.string()).size(), 24u);
}

// Bytes overwritten in the middle of a stream stop the reader instead of passing on a
// concealed picture.
TEST(VideoReader, CorruptDataIsAnError)
{
    const auto dir = videotest::scratch("reader-corrupt");
    const auto file = dir / "corrupt.mkv";
    ASSERT_TRUE(videotest::makeVideo(file, 64, 24, 25, "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 4"));
    {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        const auto size = static_cast<std::streamoff>(std::filesystem::file_size(file));
        for (std::streamoff at = size / 3; at < size * 2 / 3; at += 97) {
            f.seekp(at);
            f.put(static_cast<char>(0xA5));
        }
    }
    EXPECT_THROW(readAll(file.string()), video::VideoError);
}

// 4:2:0 planes: a 4:2:0 stream's own (the BGR pictures are made from them), any other
// stream's converted from its BGR pictures; the writer takes them as they are.
TEST(VideoReader, PlanarPicturesAreTheStreamsOwnPlanes)
{
    const auto dir = videotest::scratch("reader-planar");
    VideoReader::Options planar;
    planar.planar = true;
    for (const std::string name : {"h264.mp4", "mjpeg.mov"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(videotest::makeVideo(dir / name, 64, 6, 25,
                                         name == "h264.mp4" ? "-c:v libx264 -preset ultrafast -pix_fmt yuv420p"
                                                            : "-c:v mjpeg -q:v 3"));
        const std::vector<VideoFrame> bgr = readAll((dir / name).string()), planes = readAll((dir / name).string(), planar);
        ASSERT_EQ(planes.size(), bgr.size());
        for (std::size_t i = 0; i < bgr.size(); ++i) {
            ASSERT_EQ(planes[i].image.type(), CV_8UC1);
            ASSERT_EQ(planes[i].image.size(), cv::Size(64, 96));
            EXPECT_EQ(planes[i].seconds, bgr[i].seconds);
            cv::Mat converted;
            if (name == "h264.mp4") {
                cv::cvtColor(planes[i].image, converted, cv::COLOR_YUV2BGR_I420);
                EXPECT_EQ(cv::norm(bgr[i].image, converted, cv::NORM_INF), 0.0) << "frame " << i;
            } else {
                cv::cvtColor(bgr[i].image, converted, cv::COLOR_BGR2YUV_I420);
                EXPECT_EQ(cv::norm(planes[i].image, converted, cv::NORM_INF), 0.0) << "frame " << i;
            }
        }
    }

    // Lossless through the writer's planes and back.
    const std::vector<VideoFrame> source = readAll((dir / "h264.mp4").string(), planar);
    video::EncoderSettings settings;
    settings.crf = 0;
    settings.preset = "ultrafast";
    settings.width = 64;
    settings.height = 64;
    {
        video::VideoWriter writer((dir / "planes.mkv").string(), settings);
        for (const VideoFrame& f : source)
            writer.writeI420(f.image);
        EXPECT_THROW(writer.writeI420(cv::Mat(64, 64, CV_8UC1)), std::invalid_argument);
        writer.finish();
    }
    const std::vector<VideoFrame> back = readAll((dir / "planes.mkv").string(), planar);
    ASSERT_EQ(back.size(), source.size());
    for (std::size_t i = 0; i < back.size(); ++i)
        EXPECT_EQ(cv::norm(back[i].image, source[i].image, cv::NORM_INF), 0.0) << "frame " << i;

    VideoReader::Options both = planar;
    both.grey = true;
    EXPECT_THROW(VideoReader((dir / "h264.mp4").string(), both), std::logic_error);
}

} // namespace
