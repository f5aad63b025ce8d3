// quadstitch-batch --video end to end, on small camera videos made by ffmpeg.
#include "PlanarFastStitch.h"
#include "TakeFixture.h"
#include "VideoReader.h"

#include "tests/support/TestRig.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <opencv2/core.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

#if defined(QUADSTITCH_BATCH_BIN)

namespace fs = std::filesystem;

namespace {

using taketest::quote;
using taketest::readText;
using taketest::run;

std::string capture(const std::string& command)
{
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    char buffer[512];
    while (pipe && fgets(buffer, sizeof buffer, pipe.get()))
        out += buffer;
    return out;
}

std::vector<cv::Mat> decodeAll(const fs::path& file, bool planar = false)
{
    video::VideoReader::Options options;
    options.planar = planar;
    video::VideoReader reader(file.string(), options);
    std::vector<cv::Mat> frames;
    video::VideoFrame f;
    while (reader.read(f))
        frames.push_back(f.image);
    return frames;
}

bool sameFrames(const std::vector<cv::Mat>& a, const std::vector<cv::Mat>& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].size() != b[i].size() || cv::norm(a[i], b[i], cv::NORM_INF) != 0)
            return false;
    }
    return true;
}

void writeCalibration(const fs::path& file, float centre)
{
    cv::FileStorage out(file.string(), cv::FileStorage::WRITE);
    out << "cameras" << "[";
    for (const orb::CameraIntrinsics& c : orb::testrig::makeRig(80.f, centre, centre, 0.05f)) {
        out << "{" << "lensCoeffs" << cv::Mat(c.lensCoeffs) << "centre" << cv::Mat(c.centre) << "tmBToC"
            << cv::Mat(c.tmBToC) << "}";
    }
    out << "]";
}

// Camera k's recording starts at frame kStarts[k] of one moving pattern (hue turned
// per camera), 24 frames at 24 frames/s, 256 pixels; camera 1 also records a tone.
constexpr std::array<int, 4> kStarts = {2, 0, 3, 1};
constexpr int kFrames = 24;
constexpr int kCameraSize = 256;

class VideoTake : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        source = new fs::path(fs::path(QUADSTITCH_TEST_TMP) / "video-take" / ("source-" + std::to_string(::getpid())));
        fs::remove_all(*source);
        fs::create_directories(*source);
        for (int k = 0; k < 4; ++k) {
            const std::string audio = k == 0 ? " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -c:a aac -shortest" : "";
            const std::string command =
                "ffmpeg -nostdin -y -loglevel error -f lavfi -i testsrc2=size=" + std::to_string(kCameraSize) + "x" +
                std::to_string(kCameraSize) + ":rate=24" + audio + " -vf trim=start_frame=" +
                std::to_string(kStarts[k]) + ",setpts=PTS-STARTPTS,hue=h=" + std::to_string(90 * k) +
                " -frames:v " + std::to_string(kFrames) + " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 6 " +
                quote((*source / ("cam" + std::to_string(k + 1) + ".mp4")).string());
            ASSERT_EQ(run(command), 0) << command;
        }
        writeCalibration(*source / "calibration.yaml", 0.5f * (kCameraSize - 1));
    }
    static void TearDownTestSuite()
    {
        fs::remove_all(*source);
        delete source;
    }
    void SetUp() override
    {
        dir = source->string() + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir);
        fs::copy(*source, dir);
    }
    void TearDown() override
    {
        if (!HasFailure())
            fs::remove_all(dir);
    }

    std::string cameras() const
    {
        std::string list;
        for (int k = 1; k <= 4; ++k)
            list += " " + quote((dir / ("cam" + std::to_string(k) + ".mp4")).string());
        return list;
    }
    // The batch tool on this take's videos; stderr into `err` when given.
    int batch(const std::string& args, const std::string& out = "out.mp4", std::string* err = nullptr) const
    {
        const fs::path log = dir / "stderr.txt";
        const int status = run(quote(QUADSTITCH_BATCH_BIN) + " --video" + cameras() + " -o " +
                               quote((dir / out).string()) + " -s 1 -t 64 --preset ultrafast -j 2 -q " + args +
                               " 2>" + quote(log.string()));
        if (err)
            *err = readText(log);
        return status;
    }

    static fs::path* source;
    fs::path dir;
};
fs::path* VideoTake::source = nullptr;

// The offsets put one instant into every camera: the output is the fast stitch of the
// cameras' matching frames over the time all four cover, with the 360 metadata and
// camera 1's audio.
TEST_F(VideoTake, OffsetsPutOneInstantInEveryCamera)
{
    // Camera k started at pattern frame kStarts[k]: the earlier it started, the later
    // things happen in its video.
    std::string err;
    ASSERT_EQ(batch("--crf 0 --offsets 1,3,0,2 --report " + quote((dir / "report.json").string()), "out.mp4", &err), 0)
        << err;
    const std::vector<cv::Mat> output = decodeAll(dir / "out.mp4");
    const int covered = kFrames - 3; // the latest start against the earliest end
    ASSERT_EQ(static_cast<int>(output.size()), covered);

    const std::string probe = capture("ffprobe -hide_banner " + quote((dir / "out.mp4").string()) + " 2>&1");
    EXPECT_NE(probe.find("spherical: equirectangular"), std::string::npos) << probe;
    EXPECT_NE(probe.find("Audio: aac"), std::string::npos) << probe;
    EXPECT_NE(probe.find("128x64"), std::string::npos) << probe;
    const std::string report = readText(dir / "report.json");
    // Offsets count from camera 1's.
    EXPECT_NE(report.find("\"frames\": [0, 2, -1, 1]"), std::string::npos) << report;

    // The stitch of the right frames, bit for bit (a fast stitch at the video's size
    // works on the decoded planes, and CRF 0 is lossless), against a stitch one frame off
    // for camera 2.
    const std::vector<cv::Mat> planes = decodeAll(dir / "out.mp4", true);
    ASSERT_EQ(planes.size(), output.size());
    std::vector<std::vector<cv::Mat>> cams;
    for (int k = 1; k <= 4; ++k)
        cams.push_back(decodeAll(dir / ("cam" + std::to_string(k) + ".mp4"), true));
    const batch::PlanarFastStitch stitch(orb::Rig(orb::testrig::makeRig(80.f, 127.5f, 127.5f, 0.05f), 0), 64);
    for (int i : {0, 7, covered - 1}) {
        std::vector<cv::Mat> right, wrong;
        for (int k = 0; k < 4; ++k) {
            const int index = i + 3 - kStarts[static_cast<std::size_t>(k)];
            right.push_back(cams[static_cast<std::size_t>(k)][static_cast<std::size_t>(index)]);
            wrong.push_back(cams[static_cast<std::size_t>(k)][static_cast<std::size_t>(k == 1 ? index - 1 : index)]);
        }
        const cv::Mat& got = planes[static_cast<std::size_t>(i)];
        const cv::Size size(kCameraSize, kCameraSize);
        EXPECT_EQ(cv::norm(got, stitch.stitch(right, size), cv::NORM_INF), 0.0) << "frame " << i;
        EXPECT_LT(cv::PSNR(got, stitch.stitch(wrong, size)), 40.0) << "frame " << i;
    }
}

// With sound in every camera the offsets come from it (the default), are printed as a
// reusable option, and give the video that option gives.
TEST_F(VideoTake, AudioSyncFindsTheOffsets)
{
    for (int k = 0; k < 4; ++k) {
        // One noise recording, each camera starting kStarts[k] frames into it.
        const double from = kStarts[static_cast<std::size_t>(k)] / 24.0;
        const std::string command =
            "ffmpeg -nostdin -y -loglevel error -i " + quote((dir / ("cam" + std::to_string(k + 1) + ".mp4")).string()) +
            " -f lavfi -i anoisesrc=duration=3:color=pink:seed=5:sample_rate=48000 -map 0:v -map 1:a -c:v copy "
            "-af atrim=start=" + std::to_string(from) + ",asetpts=PTS-STARTPTS -c:a aac -shortest " +
            quote((dir / ("sound" + std::to_string(k + 1) + ".mp4")).string());
        ASSERT_EQ(run(command), 0) << command;
    }
    std::string list;
    for (int k = 1; k <= 4; ++k)
        list += " " + quote((dir / ("sound" + std::to_string(k) + ".mp4")).string());
    const fs::path log = dir / "stderr.txt";
    const std::string common = " --calibration " + quote((dir / "calibration.yaml").string()) +
                               " -s 1 -t 64 --preset ultrafast -j 2 ";
    ASSERT_EQ(run(quote(QUADSTITCH_BATCH_BIN) + " --video" + list + " -o " + quote((dir / "synced.mp4").string()) +
                  common + " 2>" + quote(log.string())),
              0)
        << readText(log);
    const std::string err = readText(log);
    EXPECT_NE(err.find("audio sync: --offsets 0,2,-1,1"), std::string::npos) << err;
    ASSERT_EQ(run(quote(QUADSTITCH_BATCH_BIN) + " --video" + list + " -o " + quote((dir / "given.mp4").string()) +
                  common + " -q --offsets 0,2,-1,1"),
              0);
    EXPECT_TRUE(sameFrames(decodeAll(dir / "synced.mp4"), decodeAll(dir / "given.mp4")));
}

// Shards encode disjoint segments; the join copies them into the same video as one
// run, and refuses (naming them) while segments are missing. A run after an
// interruption keeps the finished segments and removes a dead process's partial file.
TEST_F(VideoTake, ShardsJoinAndResumeGiveTheSameVideoAsOneRun)
{
    const std::string options = " --offsets 0,0,0,0 --segment-seconds 0.25"; // 6 frames, 4 segments
    ASSERT_EQ(batch(options, "one.mp4"), 0);
    const std::vector<cv::Mat> one = decodeAll(dir / "one.mp4");
    ASSERT_EQ(one.size(), static_cast<std::size_t>(kFrames));

    ASSERT_EQ(batch(options + " --shard 2/4"), 0);
    ASSERT_EQ(batch(options + " --shard 4/4"), 0);
    EXPECT_FALSE(fs::exists(dir / "out.mp4")); // a share does not join
    std::string err;
    EXPECT_EQ(batch(options + " --join", "out.mp4", &err), 2);
    EXPECT_NE(err.find("2 of 4 segments are not finished"), std::string::npos) << err;
    EXPECT_NE(err.find(": 1, 3"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "out.mp4"));
    ASSERT_EQ(batch(options + " --shard 1/4"), 0);
    ASSERT_EQ(batch(options + " --shard 3/4"), 0);
    ASSERT_EQ(batch(options + " --join"), 0);
    EXPECT_TRUE(sameFrames(decodeAll(dir / "out.mp4"), one));

    // Other settings must not mix with these segments.
    EXPECT_EQ(batch(" --offsets 0,1,0,0 --segment-seconds 0.25 --join", "out.mp4", &err), 2);
    EXPECT_NE(err.find("other settings"), std::string::npos) << err;

    // An interrupted run: segment 3 never finished, its writer's partial file is left.
    const fs::path segments = dir / "out.mp4.segments";
    fs::remove(dir / "out.mp4");
    fs::remove(segments / "segment-000003.mp4");
    const fs::path stale = segments / ".segment-000003.partial-999999999.mp4";
    std::ofstream(stale) << "half a segment";
    struct stat before {};
    ASSERT_EQ(::stat((segments / "segment-000001.mp4").c_str(), &before), 0);
    ASSERT_EQ(batch(options + " --report " + quote((dir / "resume.json").string())), 0);
    const std::string report = readText(dir / "resume.json");
    EXPECT_NE(report.find("\"encoded\": [3], \"alreadyThere\": [1, 2, 4]"), std::string::npos) << report;
    struct stat after {};
    ASSERT_EQ(::stat((segments / "segment-000001.mp4").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(sameFrames(decodeAll(dir / "out.mp4"), one));
}

// Each unusable input ends with status 2 and a message naming the file, before any
// output (or segment folder) exists; a size beyond the codec is a command-line error.
TEST_F(VideoTake, BadInputsEndWithStatusTwoAndNoOutput)
{
    std::ofstream(dir / "notvideo.mp4") << "this is text\n";
    // Cut in its media data, with the index at the front promising every frame.
    ASSERT_EQ(run("ffmpeg -nostdin -y -loglevel error -i " + quote((dir / "cam2.mp4").string()) +
                  " -c copy -movflags +faststart " + quote((dir / "front.mp4").string())),
              0);
    fs::copy_file(dir / "front.mp4", dir / "truncated.mp4");
    fs::resize_file(dir / "truncated.mp4", fs::file_size(dir / "front.mp4") * 3 / 4);
    ASSERT_EQ(run("ffmpeg -nostdin -y -loglevel error -f lavfi -i testsrc2=size=128x128:rate=24 -frames:v 24 "
                  "-c:v libx264 -preset ultrafast -pix_fmt yuv420p " + quote((dir / "small.mp4").string())),
              0);
    writeCalibration(dir / "big.yaml", 511.5f); // centres of 1024-pixel cameras

    struct Case {
        std::string name;
        std::string args;
        std::string named; // the file the message must name
    };
    const std::string c = quote((dir / "cam1.mp4").string()) + " " + quote((dir / "cam2.mp4").string()) + " " +
                          quote((dir / "cam3.mp4").string()) + " ";
    const std::vector<Case> cases = {
        {"not a video", "--offsets 0,0,0,0 --video " + c + quote((dir / "notvideo.mp4").string()), "notvideo.mp4"},
        {"truncated", "--offsets 0,0,0,0 --video " + quote((dir / "cam1.mp4").string()) + " " +
                          quote((dir / "truncated.mp4").string()) + " " + quote((dir / "cam3.mp4").string()) + " " +
                          quote((dir / "cam4.mp4").string()),
         "truncated.mp4"},
        {"other size", "--offsets 0,0,0,0 --video " + c + quote((dir / "small.mp4").string()), "small.mp4"},
        {"calibration", "--offsets 0,0,0,0 --calibration " + quote((dir / "big.yaml").string()) + " --video " + c +
                            quote((dir / "cam4.mp4").string()),
         "big.yaml"},
        {"no audio", "--sync audio --video " + c + quote((dir / "cam4.mp4").string()), "cam2.mp4"},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        const fs::path log = dir / "stderr.txt";
        const int status = run(quote(QUADSTITCH_BATCH_BIN) + " " + t.args + " -o " + quote((dir / "out.mp4").string()) +
                               " -s 1 -t 64 --preset ultrafast -q 2>" + quote(log.string()));
        const std::string err = readText(log);
        EXPECT_EQ(status, 2) << err;
        EXPECT_NE(err.find(t.named), std::string::npos) << err;
        EXPECT_FALSE(fs::exists(dir / "out.mp4"));
        EXPECT_FALSE(fs::exists(dir / "out.mp4.segments"));
        fs::remove_all(dir / "out.mp4.segments");
    }
    std::string err;
    EXPECT_EQ(batch("--offsets 0,0,0,0 --size 10000x5000", "out.mp4", &err), 1);
    EXPECT_NE(err.find("H.264 level 6.2"), std::string::npos) << err;
}

// A camera whose stream changes its picture size for a frame (a real stream may, at any
// key frame): that output frame fails like a failed frame of an image take, named in
// the messages and the report, and the video keeps its frame count with the previous
// panorama there, also where the failed frame starts a segment (the panorama before it
// is stitched afresh, as another machine encoding that segment would); black where
// nothing comes before. The frames after it are stitched again; the run ends with status 2.
TEST_F(VideoTake, FrameThatFailsMidTakeShowsThePreviousPanorama)
{
    // Raw H.264 streams cut together: frames 9 and 12 of 128 pixels, the rest of 256.
    std::string parts;
    int from = 0;
    for (const auto& [size, count] : std::vector<std::pair<int, int>>{
             {kCameraSize, 9}, {kCameraSize / 2, 1}, {kCameraSize, 2}, {kCameraSize / 2, 1}, {kCameraSize, 11}}) {
        const fs::path part = dir / ("part" + std::to_string(from) + ".h264");
        ASSERT_EQ(run("ffmpeg -nostdin -y -loglevel error -f lavfi -i testsrc2=size=" + std::to_string(size) + "x" +
                      std::to_string(size) + ":rate=24 -vf trim=start_frame=" + std::to_string(from) +
                      ",setpts=PTS-STARTPTS -frames:v " + std::to_string(count) +
                      " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -f h264 " + quote(part.string())),
                  0);
        parts += " " + quote(part.string());
        from += count;
    }
    ASSERT_EQ(from, kFrames);
    ASSERT_EQ(run("cat" + parts + " > " + quote((dir / "all.h264").string())), 0);
    ASSERT_EQ(run("ffmpeg -nostdin -y -loglevel error -framerate 24 -i " + quote((dir / "all.h264").string()) +
                  " -c copy " + quote((dir / "cam2.mp4").string())),
              0);

    // Segments of 6 frames: frame 9 inside the second, frame 12 the first of the third.
    std::string err;
    EXPECT_EQ(batch("--crf 0 --offsets 0,0,0,0 --segment-seconds 0.25 --report " +
                        quote((dir / "report.json").string()),
                    "out.mp4", &err),
              2)
        << err;
    for (const std::string frame : {"9", "12"}) {
        EXPECT_NE(err.find("frame " + frame + " failed (camera 2's picture is 128x128, not 256x256 like the rest of '" +
                           (dir / "cam2.mp4").string() + "'); the previous panorama is repeated there"),
                  std::string::npos)
            << err;
    }
    EXPECT_NE(err.find("2 frames failed and show a stand-in: 9 12"), std::string::npos) << err;
    const std::string report = readText(dir / "report.json");
    EXPECT_NE(report.find("\"failedFrames\": [{\"frame\": 9, "), std::string::npos) << report;
    EXPECT_NE(report.find("\"shown\": \"previous panorama\"}, {\"frame\": 12, "), std::string::npos) << report;
    EXPECT_NE(report.find("\"status\": \"frames failed\""), std::string::npos) << report;

    const std::vector<cv::Mat> output = decodeAll(dir / "out.mp4", true);
    ASSERT_EQ(output.size(), static_cast<std::size_t>(kFrames));
    for (int failed : {9, 12}) {
        SCOPED_TRACE(failed);
        EXPECT_EQ(cv::norm(output[failed], output[failed - 1], cv::NORM_INF), 0.0);
        EXPECT_GT(cv::norm(output[failed + 1], output[failed], cv::NORM_INF), 0.0);
        EXPECT_GT(cv::norm(output[failed - 1], output[failed - 2], cv::NORM_INF), 0.0); // the pattern moves
    }

    // The take's first frame has nothing before it.
    EXPECT_EQ(batch("--crf 0 --offsets 0,0,0,0 --frames 9-10", "first.mp4", &err), 2) << err;
    EXPECT_NE(err.find("frame 9 failed (camera 2's picture is 128x128"), std::string::npos) << err;
    EXPECT_NE(err.find("it is black (no panorama before it)"), std::string::npos) << err;
    const std::vector<cv::Mat> first = decodeAll(dir / "first.mp4", true);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(cv::countNonZero(first[0].rowRange(0, 64) != 16), 0);
    EXPECT_EQ(cv::countNonZero(first[0].rowRange(64, 96) != 128), 0);
}

#if defined(QUADSTITCH_SIM_BIN)
// A silent take: the offsets come from the pictures (the default without sound), over
// the 90-frame window and 30 frames either way they need, here on 64-pixel cameras.
// They are printed as a reusable option and reported, and give the video that option
// gives.
TEST(VideoTakePictureSync, SilentTakeIsSynchronisedFromItsPictures)
{
    const fs::path dir =
        fs::path(QUADSTITCH_TEST_TMP) / "video-take" / ("picture-sync-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    ASSERT_EQ(run(quote(QUADSTITCH_SIM_BIN) + " take " + quote(dir.string()) +
                  " --frames 160 --camera-size 64 --supersample 1 --offsets 0,7,-5,12 --move 4 --no-audio "
                  "--no-truth --seed 3 >/dev/null"),
              0);
    std::string cameras;
    for (int k = 1; k <= 4; ++k)
        cameras += " " + quote((dir / ("cam" + std::to_string(k) + ".mp4")).string());
    const std::string common = quote(QUADSTITCH_BATCH_BIN) + " --video" + cameras +
                               " -s 1 -t 64 --preset ultrafast --crf 0 --frames 0-5 -j 2 ";
    const fs::path log = dir / "stderr.txt";
    ASSERT_EQ(run(common + "-o " + quote((dir / "synced.mp4").string()) + " --report " +
                  quote((dir / "report.json").string()) + " 2>" + quote(log.string())),
              0)
        << readText(log);
    const std::string err = readText(log);
    EXPECT_NE(err.find("picture sync: --offsets 0,7,-5,12"), std::string::npos) << err;
    const std::string report = readText(dir / "report.json");
    EXPECT_NE(report.find("\"source\": \"picture\""), std::string::npos) << report;
    ASSERT_EQ(run(common + "-q --offsets 0,7,-5,12 -o " + quote((dir / "given.mp4").string())), 0);
    const std::vector<cv::Mat> synced = decodeAll(dir / "synced.mp4", true);
    ASSERT_EQ(synced.size(), 6u);
    // The estimate lies within a fraction of a frame of the whole frames given, and each
    // output frame takes every camera's nearest frame: the same video.
    EXPECT_TRUE(sameFrames(synced, decodeAll(dir / "given.mp4", true)));
    if (!::testing::Test::HasFailure())
        fs::remove_all(dir);
}
#endif

} // namespace

#endif
