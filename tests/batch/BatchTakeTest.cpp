#include "BatchReport.h"
#include "BatchRunner.h"
#include "PanoramaMetadata.h"
#include "TakeFixture.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#if defined(QUADSTITCH_SIM_BIN) && defined(QUADSTITCH_BATCH_BIN)

namespace fs = std::filesystem;

namespace {

using taketest::quote;
using taketest::readText;
using taketest::run;

bool samePixels(const fs::path& a, const fs::path& b)
{
    const cv::Mat x = cv::imread(a.string(), cv::IMREAD_UNCHANGED);
    const cv::Mat y = cv::imread(b.string(), cv::IMREAD_UNCHANGED);
    return !x.empty() && x.size() == y.size() && x.type() == y.type() && cv::norm(x, y, cv::NORM_INF) == 0;
}

std::vector<std::string> partialFiles(const fs::path& dir)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().find(".partial-") != std::string::npos)
            found.push_back(entry.path().filename().string());
    }
    return found;
}

// Three frames of 256-pixel cameras.
class Take : public taketest::SimulatedTake<Take> {
public:
    static std::string prefix() { return "take-"; }
    static std::string simArguments() { return "--camera-size 256"; }
};

} // namespace

TEST_F(Take, FastStitchEqualsQuadstitchAndCarriesThe360Properties)
{
    ASSERT_EQ(batch("-s 1 -t 200 -o " + quote((dir / "out").string()) + " -j 2 --report " +
                    quote((dir / "r.json").string())),
              0)
        << errors();
    // More frames than workers: panoramas are written behind the workers, and each frame
    // is done (written, reported, its claim gone) only once its panorama is.
    const std::string report = readText(dir / "r.json");
    EXPECT_NE(report.find("\"summary\":{\"frames\":3,\"ok\":3}"), std::string::npos) << report;
    std::size_t writes = 0;
    for (std::size_t at = report.find("\"write\":"); at != std::string::npos; at = report.find("\"write\":", at + 1))
        ++writes;
    EXPECT_EQ(writes, 3u) << report;
    for (const auto& entry : fs::directory_iterator(dir / "out"))
        EXPECT_EQ(entry.path().filename().string().rfind('.', 0), std::string::npos) << entry.path();
    for (int f = 0; f < 3; ++f) {
        ASSERT_EQ(run(quote(QUADSTITCH_BIN) + " -d " + quote(dir.string()) + " -s 1 -t 200 -f " + std::to_string(f)),
                  0);
        const std::string name = "000000000" + std::to_string(f) + ".png";
        EXPECT_TRUE(samePixels(dir / name, dir / "out" / name)) << name;
    }
    // Fewer frames than workers asked for: once one frame is done, its core joins the
    // other's loops; the pixels stay the same.
    ASSERT_EQ(batch("-s 1 -t 200 --frames 1-2 -j 4 -o " + quote((dir / "few").string())), 0) << errors();
    for (const char* name : {"0000000001.png", "0000000002.png"})
        EXPECT_TRUE(samePixels(dir / name, dir / "few" / name)) << name;
    // One frame: no shared maps, each sector mapped and sampled in one go, as quadstitch.
    ASSERT_EQ(batch("-s 1 -t 200 --frames 0 -o " + quote((dir / "one").string())), 0) << errors();
    EXPECT_TRUE(samePixels(dir / "0000000000.png", dir / "one" / "0000000000.png"));
    const auto properties = batch::readXmpProperties((dir / "out" / "0000000001.png").string());
    EXPECT_EQ(properties.at("Xmp.GPano.ProjectionType"), "equirectangular");
    EXPECT_EQ(properties.at("Xmp.GPano.UsePanoramaViewer"), "True");
    EXPECT_EQ(properties.at("Xmp.GPano.FullPanoWidthPixels"), "400");
    EXPECT_EQ(properties.at("Xmp.GPano.FullPanoHeightPixels"), "200");
    EXPECT_EQ(properties.at("Xmp.GPano.CroppedAreaImageWidthPixels"), "400");
    EXPECT_EQ(properties.at("Xmp.GPano.CroppedAreaTopPixels"), "0");

    // JPEG carries them too, and the pixels are what the encoder makes of the same panorama.
    ASSERT_EQ(batch("-s 1 -t 200 --frames 2 --format jpg"), 0) << errors();
    EXPECT_EQ(batch::readXmpProperties((dir / "0000000002.jpg").string()).at("Xmp.GPano.ProjectionType"),
              "equirectangular");
    // So does TIFF; a lower JPEG quality makes a smaller file, and applies to JPEG only.
    ASSERT_EQ(batch("-s 1 -t 200 --frames 2 --format tif"), 0) << errors();
    EXPECT_EQ(batch::readXmpProperties((dir / "0000000002.tif").string()).at("Xmp.GPano.ProjectionType"),
              "equirectangular");
    ASSERT_EQ(batch("-s 1 -t 200 --frames 2 --format jpg --jpeg-quality 20 -o " + quote((dir / "q20").string())), 0)
        << errors();
    EXPECT_LT(fs::file_size(dir / "q20" / "0000000002.jpg"), fs::file_size(dir / "0000000002.jpg"));
    EXPECT_EQ(batch("-s 1 -t 200 --jpeg-quality 20"), 1);
    EXPECT_EQ(batch("-s 1 -t 200 --format jpg --jpeg-quality 0"), 1);
}

TEST_F(Take, FullStitchEqualsQuadstitch)
{
    // One worker, two frames: the second reuses the planes the first freed.
    ASSERT_EQ(batch("--frames 0-1 -j 1 -q --overlays -o " + quote((dir / "out").string())), 0) << errors();
    for (const char* frame : {"0", "1"}) {
        ASSERT_EQ(run(quote(QUADSTITCH_BIN) + " -d " + quote(dir.string()) + " -f " + frame), 0);
        const std::string name = std::string("000000000") + frame + ".png";
        EXPECT_TRUE(samePixels(dir / name, dir / "out" / name)) << name;
    }
    EXPECT_TRUE(errors().empty()) << "--quiet printed: " << errors();
    // Two workers, one frame each: each runs on its own thread until the other is
    // done, then on every core (fewer frames than workers).
    ASSERT_EQ(batch("--frames 0-1 -j 2 -q -o " + quote((dir / "two").string()) + " --report " +
                    quote((dir / "two" / "r.json").string())),
              0)
        << errors();
    for (const char* name : {"0000000000.png", "0000000001.png"})
        EXPECT_TRUE(samePixels(dir / name, dir / "two" / name)) << name;
    // One frame: no memory kept for a next one, the library's own pool.
    ASSERT_EQ(batch("--frames 1 -q -o " + quote((dir / "one").string())), 0) << errors();
    EXPECT_TRUE(samePixels(dir / "0000000001.png", dir / "one" / "0000000001.png"));
    // The reported coverage is the share of the panorama's alpha that is set.
    const std::string report = readText(dir / "two" / "r.json");
    const std::size_t at = report.find("\"coverage\":");
    ASSERT_NE(at, std::string::npos) << report;
    std::vector<cv::Mat> channels;
    cv::split(cv::imread((dir / "0000000000.png").string(), cv::IMREAD_UNCHANGED), channels);
    ASSERT_EQ(channels.size(), 4u);
    const double alpha = static_cast<double>(cv::countNonZero(channels[3])) / static_cast<double>(channels[3].total());
    EXPECT_LT(alpha, 0.99) << "the test take should leave part of the panorama uncovered";
    EXPECT_NEAR(std::stod(report.substr(at + 11)), alpha, 0.0005) << report;
    // The overlays describe this panorama, at reduced size.
    for (const char* overlay : {"seams", "depth", "disagreement"}) {
        const cv::Mat picture =
            cv::imread((dir / "out" / ("0000000001." + std::string(overlay) + ".png")).string(), cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(picture.empty()) << overlay;
        EXPECT_EQ(picture.size(), cv::Size(1024, 512)) << overlay;
        EXPECT_GT(cv::countNonZero(picture.reshape(1) > 0), 0) << overlay << " is blank";
    }
    EXPECT_NE(readText(dir / "out" / "0000000001.overlays.json").find("nearMetres"), std::string::npos);
}

TEST_F(Take, ResumesWhereItStoppedAndCleansUpAfterAKilledRun)
{
    ASSERT_EQ(batch("-s 1 -t 100 --frames 0-1"), 0) << errors();
    const auto stamp = fs::last_write_time(dir / "0000000000.png");
    // A run killed while writing left its temporary file; a live process's file stays.
    std::ofstream(dir / ".0000000002.partial-999999999.png") << "half";
    std::ofstream(dir / ".0000000002.partial-1.png") << "someone else's";
    ASSERT_EQ(batch("-s 1 -t 100 --report " + quote((dir / "r.json").string())), 0) << errors();
    EXPECT_EQ(fs::last_write_time(dir / "0000000000.png"), stamp) << "a finished frame was stitched again";
    EXPECT_TRUE(fs::exists(dir / "0000000002.png"));
    EXPECT_FALSE(fs::exists(dir / ".0000000002.partial-999999999.png"));
    EXPECT_TRUE(fs::exists(dir / ".0000000002.partial-1.png"));
    const std::string report = readText(dir / "r.json");
    EXPECT_NE(report.find("{\"frame\":0,\"status\":\"skipped\""), std::string::npos) << report;
    EXPECT_NE(report.find("{\"frame\":2,\"status\":\"ok\""), std::string::npos) << report;

    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(batch("-s 1 -t 100 --frames 0 --force"), 0) << errors();
    EXPECT_NE(fs::last_write_time(dir / "0000000000.png"), stamp) << "--force did not stitch again";
}

TEST_F(Take, ABadFrameFailsAloneWithItsReason)
{
    std::ofstream(dir / "0000000001-3.png", std::ios::trunc) << "not a picture";
    ASSERT_EQ(batch("-s 1 -t 100 --report " + quote((dir / "r.json").string())), 2);
    EXPECT_TRUE(fs::exists(dir / "0000000000.png"));
    EXPECT_TRUE(fs::exists(dir / "0000000002.png"));
    EXPECT_FALSE(fs::exists(dir / "0000000001.png"));
    EXPECT_TRUE(partialFiles(dir).empty());
    EXPECT_NE(errors().find("failed frames: 1"), std::string::npos) << errors();
    EXPECT_NE(errors().find("0000000001-3.png"), std::string::npos) << errors();
    const std::string report = readText(dir / "r.json");
    EXPECT_NE(report.find("\"status\":\"failed\""), std::string::npos);
    EXPECT_NE(report.find("0000000001-3.png"), std::string::npos) << report;

    // A frame asked for by number that has no images fails with the file's name.
    ASSERT_EQ(batch("-s 1 -t 100 --frames 7"), 2);
    EXPECT_NE(errors().find("0000000007-1.png"), std::string::npos) << errors();

    // A command line that cannot be used stops before any work.
    for (const char* bad : {"-s -1", "-s 2", "-t 3", "-t -4294967292", "--frames 5-2", "--shard 3/2", "-j 0",
                            "--format bmp", "stray", "--quality fancy", "--quality best"})
        EXPECT_EQ(batch(std::string("-s 1 ") + bad), 1) << bad;
}

// Full stitches side by side run in worker processes; what becomes of their frames
// reaches the take's report and exit status, also when a worker dies.
TEST_F(Take, WorkerProcessesReportFailuresAndADeadWorkersFrame)
{
    std::ofstream(dir / "0000000001-3.png", std::ios::trunc) << "not a picture";
    const fs::path report = dir / "r.json";
    ASSERT_EQ(batch("--frames 0-1 -j 2 -q --report " + quote(report.string())), 2) << errors();
    EXPECT_TRUE(fs::exists(dir / "0000000000.png"));
    EXPECT_TRUE(taketest::contains(errors(), "failed frames: 1")) << errors();
    EXPECT_TRUE(taketest::contains(readText(report), "0000000001-3.png")) << readText(report);
    EXPECT_TRUE(taketest::contains(readText(report), "\"summary\":{\"frames\":2,\"failed\":1,\"ok\":1}"))
        << readText(report);

    // A worker killed while it stitches: its frame fails naming the signal, the other
    // worker takes the rest, and no claim or temporary file is left behind.
    fs::remove(dir / "0000000000.png");
    fs::copy_file(dir / "0000000000-3.png", dir / "0000000001-3.png", fs::copy_options::overwrite_existing);
    const pid_t take = ::fork();
    ASSERT_GE(take, 0);
    if (take == 0) {
        ::freopen("/dev/null", "w", stderr);
        ::execl(QUADSTITCH_BATCH_BIN, QUADSTITCH_BATCH_BIN, "-d", dir.c_str(), "-j", "2", "--report",
                report.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Once both workers hold a frame (a full stitch takes seconds), kill one of them:
    // they are the children of the take's process.
    pid_t worker = 0;
    int status = 0;
    while (worker == 0) {
        ASSERT_EQ(::waitpid(take, &status, WNOHANG), 0) << "the take ended before two frames were in flight";
        int claims = 0;
        for (const auto& e : fs::directory_iterator(dir))
            claims += e.path().extension() == ".claim";
        std::istringstream children(readText("/proc/" + std::to_string(take) + "/task/" + std::to_string(take) +
                                             "/children"));
        if (claims == 2)
            children >> worker;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(worker, SIGKILL);
    ASSERT_EQ(::waitpid(take, &status, 0), take);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    const std::string killed = readText(report);
    EXPECT_TRUE(taketest::contains(killed, "\"failed\":1,\"ok\":2}")) << killed;
    EXPECT_TRUE(taketest::contains(killed, "ended by signal 9")) << killed;
    EXPECT_TRUE(partialFiles(dir).empty());
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_NE(e.path().extension(), ".claim") << e.path();
}

TEST_F(Take, AFrameMissingACameraImageFailsInsteadOfVanishing)
{
    fs::remove(dir / "0000000001-3.png");
    ASSERT_EQ(batch("-s 1 -t 100 --report " + quote((dir / "r.json").string())), 2) << errors();
    EXPECT_TRUE(fs::exists(dir / "0000000000.png"));
    EXPECT_TRUE(fs::exists(dir / "0000000002.png"));
    EXPECT_NE(errors().find("3 frames: 2 stitched"), std::string::npos) << errors();
    EXPECT_NE(errors().find("failed frames: 1"), std::string::npos) << errors();
    const std::string report = readText(dir / "r.json");
    EXPECT_NE(report.find("{\"frame\":1,\"status\":\"failed\""), std::string::npos) << report;
    EXPECT_NE(report.find("0000000001-3.png"), std::string::npos) << report;

    // Left out by the user, the incomplete frame is no failure.
    EXPECT_EQ(batch("-s 1 -t 100 --frames 2-9 --force"), 0) << errors();
    // A range that selects nothing is an error, in a shard too.
    for (const char* shard : {"1/1", "2/3"}) {
        EXPECT_EQ(batch(std::string("-s 1 -t 100 --frames 20-30 --shard ") + shard), 2) << shard;
        EXPECT_NE(errors().find("20-30"), std::string::npos) << errors();
    }
}

TEST_F(Take, FastStitchReportsTheShareOfThePanoramaItCovers)
{
    ASSERT_EQ(batch("-s 1 -t 200 --frames 0 --report " + quote((dir / "r.json").string())), 0) << errors();
    const std::string report = readText(dir / "r.json");
    const std::size_t at = report.find("\"coverage\":");
    ASSERT_NE(at, std::string::npos) << report;
    const double reported = std::stod(report.substr(at + 11));
    // The simulated scene has no black pixels, so black is where no camera reaches.
    const cv::Mat panorama = cv::imread((dir / "0000000000.png").string(), cv::IMREAD_COLOR);
    ASSERT_FALSE(panorama.empty());
    cv::Mat grey;
    cv::cvtColor(panorama, grey, cv::COLOR_BGR2GRAY);
    const double shown = static_cast<double>(cv::countNonZero(grey)) / static_cast<double>(grey.total());
    EXPECT_LT(shown, 0.99) << "the test take should leave part of the panorama black";
    EXPECT_NEAR(reported, shown, 0.005);
}

TEST_F(Take, ACalibrationForSmallerImagesIsRefusedByEveryTool)
{
    // Frames of twice the size with the take's calibration: each camera's piece would
    // land in the wrong place.
    const fs::path big = dir / "big";
    fs::create_directories(big);
    for (int k = 1; k <= 4; ++k) {
        const std::string name = "0000000000-" + std::to_string(k) + ".png";
        cv::Mat image = cv::imread((dir / name).string(), cv::IMREAD_UNCHANGED);
        cv::resize(image, image, cv::Size(), 2.0, 2.0, cv::INTER_LINEAR);
        ASSERT_TRUE(cv::imwrite((big / name).string(), image));
    }
    // The simulator records the image size: refused naming both sizes.
    fs::copy_file(dir / "calibration.yaml", big / "calibration.yaml");
    const std::string log = quote((dir / "quadstitch.txt").string());
    EXPECT_EQ(run(quote(QUADSTITCH_BATCH_BIN) + " -d " + quote(big.string()) + " -s 1 -t 100 2>" + log), 2);
    EXPECT_NE(readText(dir / "quadstitch.txt").find("made for images of 256 x 256 (imageSize), but the camera images "
                                                    "are 512 x 512"),
              std::string::npos)
        << readText(dir / "quadstitch.txt");
    // Without the recorded size, the tools judge by the calibration's values.
    std::istringstream recorded(readText(dir / "calibration.yaml"));
    std::ofstream unrecorded(big / "calibration.yaml", std::ios::trunc);
    for (std::string line; std::getline(recorded, line);) {
        if (line.find("imageSize") == std::string::npos)
            unrecorded << line << "\n";
    }
    unrecorded.close();
    EXPECT_EQ(run(quote(QUADSTITCH_BIN) + " -d " + quote(big.string()) + " -s 1 -t 100 2>" + log), 2);
    EXPECT_NE(readText(dir / "quadstitch.txt").find("512 x 512"), std::string::npos) << readText(dir / "quadstitch.txt");
    EXPECT_FALSE(fs::exists(big / "0000000000.png"));
    EXPECT_EQ(run(quote(QUADSTITCH_BATCH_BIN) + " -d " + quote(big.string()) + " -s 1 -t 100 2>" + log), 2);
    const std::string message = readText(dir / "quadstitch.txt");
    EXPECT_NE(message.find("camera images, which are 512 x 512; the calibration looks made for images of about"),
              std::string::npos)
        << message;
    EXPECT_FALSE(fs::exists(big / "0000000000.png"));
}

TEST_F(Take, StartingMistakesHaveTheStitchersStatusAndLeaveNoFolder)
{
    // A missing folder or calibration is input that cannot be stitched: status 2, as quadstitch.
    EXPECT_EQ(run(quote(QUADSTITCH_BATCH_BIN) + " -d " + quote((dir / "nowhere").string()) + " 2>/dev/null"), 2);
    fs::remove(dir / "calibration.yaml");
    EXPECT_EQ(batch("-s 1 -t 100 -o " + quote((dir / "out").string())), 2);
    EXPECT_NE(errors().find("calibration.yaml"), std::string::npos) << errors();
    EXPECT_FALSE(fs::exists(dir / "out")) << "a take that cannot start left its output folder";
    // Camera images named for another extension: the tool says which.
    for (int k = 1; k <= 4; ++k)
        fs::rename(dir / ("0000000000-" + std::to_string(k) + ".png"), dir / ("0000000000-" + std::to_string(k) + ".jpg"));
    fs::remove_all(dir / "0000000001-1.png");
    fs::remove_all(dir / "0000000002-1.png");
    EXPECT_EQ(batch("-s 1 -t 100"), 2);
    EXPECT_NE(errors().find("found 4 files like 0000000000-1.jpg: use -i .jpg"), std::string::npos) << errors();
}

TEST_F(Take, VersionHelpAndTheCommonHeightOption)
{
    ASSERT_EQ(run(quote(QUADSTITCH_BATCH_BIN) + " --version >" + quote((dir / "v.txt").string())), 0);
    EXPECT_EQ(readText(dir / "v.txt").rfind("quadstitch-batch (quadstitch) " QUADSTITCH_VERSION "\nOpenCV ", 0), 0u)
        << readText(dir / "v.txt");
    ASSERT_EQ(run(quote(QUADSTITCH_BATCH_BIN) + " --help >" + quote((dir / "h.txt").string())), 0);
    const std::string help = readText(dir / "h.txt");
    EXPECT_EQ(help.rfind("quadstitch-batch: stitches", 0), 0u) << help;
    EXPECT_NE(help.find("Example:\n  quadstitch-batch -d "), std::string::npos) << help;
    // --height is the fast stitch height, as -t; both at once is a mistake.
    ASSERT_EQ(batch("-s 1 --height 60 --frames 1"), 0) << errors();
    EXPECT_EQ(cv::imread((dir / "0000000001.png").string()).size(), cv::Size(120, 60));
    EXPECT_EQ(batch("-s 1 --height 60 -t 80 --frames 1"), 1);
}

TEST_F(Take, CtrlCStopsAtOnceWithoutPartialFiles)
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string report = (dir / "r.json").string();
        ::freopen("/dev/null", "w", stderr);
        ::execl(QUADSTITCH_BATCH_BIN, QUADSTITCH_BATCH_BIN, "-d", dir.c_str(), "-j", "2", "--report", report.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Signal once both workers hold a frame: their claims are on disk. A full stitch
    // takes seconds, so neither frame can be finished yet.
    const auto claims = [&] {
        int n = 0;
        for (const auto& e : fs::directory_iterator(dir))
            n += e.path().extension() == ".claim";
        return n;
    };
    int status = 0;
    while (claims() < 2) {
        ASSERT_EQ(::waitpid(child, &status, WNOHANG), 0) << "the take ended before two frames were in flight";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(child, SIGINT);
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    // Frames in flight are abandoned, not finished: no panorama, no claim, no temporary.
    EXPECT_TRUE(partialFiles(dir).empty());
    EXPECT_EQ(claims(), 0);
    for (const char* panorama : {"0000000000.png", "0000000001.png", "0000000002.png"})
        EXPECT_FALSE(fs::exists(dir / panorama)) << panorama;
    const std::string report = readText(dir / "r.json");
    EXPECT_NE(report.find("\"status\":\"interrupted\""), std::string::npos) << report;
}

TEST(BatchReport, JsonEscapesWhatErrorsContainAndCarriesDepthFigures)
{
    EXPECT_EQ(batch::jsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
    batch::FrameResult r;
    r.frame = 3;
    r.status = "failed";
    r.error = "Camera image '/x/\"y\".png' does not exist";
    r.seconds = {{"read", 0.25}, {"total", 1.5}};
    std::ostringstream out;
    batch::writeReportJson(out, {r});
    EXPECT_NE(out.str().find("\"seconds\":{\"read\":0.250,\"total\":1.500}"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("\"summary\":{\"frames\":1,\"failed\":1}"), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find("\"depth\""), std::string::npos) << "a frame without depth figures has no depth object";
    // Best quality's figures go with their frame, in the stage's order.
    r.status = "ok";
    r.depth = {{"fallback_pair_1_2", 0.125}, {"fallback_pair_4_1", 0}, {"calibration_contradicted", 1}};
    std::ostringstream best;
    batch::writeReportJson(best, {r});
    EXPECT_NE(best.str().find(",\"depth\":{\"fallback_pair_1_2\":0.125,\"fallback_pair_4_1\":0.000,"
                              "\"calibration_contradicted\":1.000},\"error\":"),
              std::string::npos)
        << best.str();
    EXPECT_EQ(best.str().find("\"warnings\""), std::string::npos) << "no warnings, no list";
    r.warnings = {"frame 9 \"x\"", "frame 10"};
    std::ostringstream warned;
    batch::writeReportJson(warned, {r});
    EXPECT_NE(warned.str().find(",\"warnings\":[\"frame 9 \\\"x\\\"\",\"frame 10\"],\"error\":"), std::string::npos)
        << warned.str();
}

TEST(BatchReport, AWorkersResultComesBackWholeAndCutBytesAreRefused)
{
    batch::FrameResult r;
    r.frame = 42;
    r.status = "ok";
    r.output = "/take/0000000042.png";
    r.mode = "full";
    r.seconds = {{"read", 0.25}, {"total", 4.5}};
    r.coverage = 0.8125;
    r.depth = {{"fallback_cells", 0.5}};
    r.error = std::string("with a \0 inside", 16);
    r.warnings = {"one", ""};
    const std::string bytes = batch::encodeResult(r);
    const batch::FrameResult back = batch::decodeResult(bytes);
    EXPECT_EQ(back.frame, r.frame);
    EXPECT_EQ(back.status, r.status);
    EXPECT_EQ(back.output, r.output);
    EXPECT_EQ(back.mode, r.mode);
    EXPECT_EQ(back.seconds, r.seconds);
    EXPECT_EQ(back.coverage, r.coverage);
    EXPECT_EQ(back.depth, r.depth);
    EXPECT_EQ(back.error, r.error);
    EXPECT_EQ(back.warnings, r.warnings);
    for (std::size_t cut : {std::size_t(0), std::size_t(3), bytes.size() / 2, bytes.size() - 1})
        EXPECT_THROW(batch::decodeResult(bytes.substr(0, cut)), std::runtime_error) << cut;
    EXPECT_THROW(batch::decodeResult(bytes + "x"), std::runtime_error);
}

TEST(Preroll, TakesTheReadableFramesBeforeARunAsASingleRunHoldsThem)
{
    using batch::prerollPositions;
    using Positions = std::vector<std::size_t>;
    // The `before` positions before the frame, none the pipeline has already seen.
    EXPECT_EQ(prerollPositions(10, 0, 3, {}), (Positions{7, 8, 9}));
    EXPECT_EQ(prerollPositions(10, 9, 3, {}), (Positions{9}));
    EXPECT_EQ(prerollPositions(2, 0, 5, {}), (Positions{0, 1}));
    EXPECT_TRUE(prerollPositions(10, 10, 3, {}).empty());
    EXPECT_TRUE(prerollPositions(10, 0, 0, {}).empty());
    // An unreadable frame is left out, and the one before the window takes its place.
    EXPECT_EQ(prerollPositions(10, 0, 3, {8}), (Positions{6, 7, 9}));
    EXPECT_EQ(prerollPositions(10, 0, 3, {7, 8, 9, 12}), (Positions{4, 5, 6}));
    // Never before what the pipeline has seen, nor before the take's start.
    EXPECT_EQ(prerollPositions(10, 8, 3, {8}), (Positions{9}));
    EXPECT_EQ(prerollPositions(3, 0, 3, {0, 2}), (Positions{1}));
}

// Best quality's pre-roll reads the frames before a run's first. One that cannot be
// read is named (it is no frame of the run, so nothing else would say so) and left out,
// and the run's frame comes out as from a run over the whole take, which fails it.
TEST_F(Take, AnUnreadableFrameBeforeARunIsNamedAndLeftOutAsASingleRunLeavesIt)
{
    std::ofstream(dir / "0000000000-2.png", std::ios::trunc) << "not a picture";
    const std::string report = (dir / "r.json").string();
    ASSERT_EQ(batch("--quality best --frames 1 -q --report " + quote(report)), 0) << errors();
    EXPECT_TRUE(taketest::contains(errors(), "warning: frame 0,")) << errors();
    EXPECT_TRUE(taketest::contains(errors(), "0000000000-2.png")) << errors();
    EXPECT_TRUE(taketest::contains(readText(report), "\"warnings\":[\"frame 0,")) << readText(report);
    fs::rename(dir / "0000000001.png", dir / "run.png");

    // The run over frames 0 and 1 on one worker: frame 0 fails on its own, no warning.
    ASSERT_EQ(batch("--quality best --frames 0-1 -j 1 -q"), 2) << errors();
    EXPECT_FALSE(taketest::contains(errors(), "warning")) << errors();
    EXPECT_TRUE(samePixels(dir / "0000000001.png", dir / "run.png"));
}

#endif
