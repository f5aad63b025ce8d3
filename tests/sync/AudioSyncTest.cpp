#include "sync/AudioDecode.h"
#include "sync/AudioSync.h"
#include "sync/SyncError.h"

#include "tests/sync/SyncSignals.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

using namespace orb::sync;

namespace {

std::string tempDir(const std::string& name)
{
    const std::string dir = std::string(QUADSTITCH_TEST_TMP) + "/sync-" + name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// The SyncError of f, or a failure when it throws none.
template <typename F>
SyncError syncErrorOf(F f)
{
    try {
        f();
    } catch (const SyncError& e) {
        return e;
    }
    ADD_FAILURE() << "no SyncError";
    return SyncError("none");
}

} // namespace

TEST(AudioSync, RecoversDelaysEitherWayToASmallPartOfAFrame)
{
    const int rate = 8000;
    const std::vector<float> sound = synctest::eventSound(rate, 14.0, 3);
    // Camera 1 started 2 s into the sound; the others earlier or later (up to 1 s).
    const long delays[4] = {0, 7993, -4000, 1};
    std::vector<AudioTrack> tracks;
    for (int c = 0; c < 4; ++c) {
        AudioTrack t;
        t.path = "cam" + std::to_string(c + 1);
        t.sampleRate = rate;
        t.samples = synctest::recording(sound, delays[c] - 2 * rate, 10 * rate, 0.02, 0x9e3779b97f4a7c15ULL * (c + 1));
        tracks.push_back(t);
    }
    const CameraOffsets offsets = audioOffsets(tracks, 30.0);
    ASSERT_EQ(offsets.frames.size(), 4u);
    for (int c = 1; c < 4; ++c) {
        EXPECT_NEAR(offsets.milliseconds(c), delays[c] * 1000.0 / rate, 0.2) << "camera " << c + 1;
        EXPECT_GT(offsets.confidence[c], 2.0);
    }
    EXPECT_EQ(offsets.wholeFrames(), (std::vector<int>{0, 30, -15, 0}));
}

TEST(AudioSync, UnrelatedOrRepeatingSoundIsAnErrorNamingTheCamera)
{
    const int rate = 8000;
    const std::vector<float> sound = synctest::eventSound(rate, 8.0, 5);
    const std::vector<float> other = synctest::eventSound(rate, 8.0, 6);
    AudioTrack a{"first.mp4", rate, synctest::recording(sound, 0, 6 * rate, 0.02, 0x1111)};
    AudioTrack same{"second.mp4", rate, synctest::recording(sound, 400, 6 * rate, 0.02, 0x22222)};
    AudioTrack unrelated{"third.mp4", rate, synctest::recording(other, 0, 6 * rate, 0.02, 0x333333)};
    const SyncError weak = syncErrorOf([&] { audioOffsets({a, same, unrelated}, 25.0); });
    EXPECT_EQ(weak.camera(), 3);
    EXPECT_NE(std::string(weak.what()).find("camera 3 ('third.mp4')"), std::string::npos) << weak.what();
    EXPECT_NE(std::string(weak.what()).find("no clear sound"), std::string::npos) << weak.what();

    // A metronome: every half second the same click, so every half second matches.
    std::vector<float> ticks(10 * rate, 0.0f);
    for (int k = 0; k < 20; ++k)
        for (int i = 0; i < 16; ++i)
            ticks[static_cast<std::size_t>(k * rate / 2 + i)] = (i % 2 ? -0.6f : 0.6f);
    AudioTrack t1{"tick1.mp4", rate, synctest::recording(ticks, 0, 8 * rate, 0.01, 0x4444)};
    AudioTrack t2{"tick2.mp4", rate, synctest::recording(ticks, 1200, 8 * rate, 0.01, 0x55555)};
    const SyncError ambiguous = syncErrorOf([&] { audioOffsets({t1, t2}, 25.0); });
    EXPECT_EQ(ambiguous.camera(), 2);
    EXPECT_NE(std::string(ambiguous.what()).find("camera 2 ('tick2.mp4') is ambiguous"), std::string::npos)
        << ambiguous.what();

    // Silence against sound is no match either, not a division by zero.
    AudioTrack quiet{"quiet.mp4", rate, std::vector<float>(6 * rate, 0.0f)};
    EXPECT_EQ(syncErrorOf([&] { audioOffsets({a, quiet}, 25.0); }).camera(), 2);
}

TEST(AudioSync, FilesAreDecodedResampledAndMatchedToASample)
{
    const std::string dir = tempDir("audio-files");
    const int rate = 48000;
    const std::vector<float> sound = synctest::eventSound(rate, 9.0, 11);
    // 1601 samples at 48 kHz is 33.35 ms, just over a frame at 30 fps; in the 8 kHz
    // comparison it falls between samples.
    const long delays[4] = {0, 1601, -24000, 12345};
    std::vector<std::string> paths;
    for (int c = 0; c < 4; ++c) {
        paths.push_back(dir + "/cam" + std::to_string(c + 1) + ".wav");
        synctest::writeWav(paths.back(), synctest::recording(sound, delays[c] - rate, 7 * rate, 0.01, 0x9e3779b97f4a7c15ULL * (c + 7)), rate);
    }
    const AudioTrack decoded = decodeAudio(paths[0], 8000, 2.5);
    EXPECT_EQ(decoded.samples.size(), 20000u);  // only what was asked for
    EXPECT_EQ(decoded.path, paths[0]);

    const CameraOffsets offsets = audioOffsetsOfFiles(paths, 30.0);
    for (int c = 1; c < 4; ++c)
        EXPECT_NEAR(offsets.milliseconds(c), delays[c] * 1000.0 / rate, 0.05) << "camera " << c + 1;
    EXPECT_EQ(offsets.wholeFrames(), (std::vector<int>{0, 1, -15, 8}));

    // Sound that starts half a second after the pictures in its file (as a camera may
    // write it) keeps its place against them: the offset is the pictures'.
    const std::string late = dir + "/late-sound.mkv";
    const std::string make = "ffmpeg -v error -y -f lavfi -i color=c=gray:s=64x64:r=25:d=7 -itsoffset 0.5 -i '"
                             + paths[1] + "' -map 0:v -map 1:a -c:v mpeg4 -c:a pcm_s16le '" + late + "'";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;
    const CameraOffsets shifted = audioOffsetsOfFiles({paths[0], late}, 30.0);
    EXPECT_NEAR(shifted.milliseconds(1), delays[1] * 1000.0 / rate + 500.0, 0.1);
}

TEST(AudioSync, FilesWithoutUsableAudioAreErrorsNamingTheFile)
{
    const std::string dir = tempDir("audio-bad");
    const std::string text = dir + "/notes.mp4";
    std::ofstream(text) << "not a video at all\n";
    const SyncError notMedia = syncErrorOf([&] { decodeAudio(text, 8000, 1.0); });
    EXPECT_NE(std::string(notMedia.what()).find("'" + text + "'"), std::string::npos) << notMedia.what();

    // A video with no sound: what a camera with its microphone off records.
    const std::string silent = dir + "/silent.mp4";
    const std::string make = "ffmpeg -v error -y -f lavfi -i color=c=gray:s=64x64:r=10:d=0.5 -c:v mpeg4 '" + silent + "'";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;
    const SyncError noAudio = syncErrorOf([&] { decodeAudio(silent, 8000, 1.0); });
    EXPECT_NE(std::string(noAudio.what()).find("'" + silent + "' has no audio stream (it holds video mpeg4)"),
              std::string::npos)
        << noAudio.what();
}
