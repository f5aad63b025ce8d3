// Runs quadstitch on a small simulated frame made hostile one way at a time:
// every case must end with status 1 (command line) or 2 (data), a message naming
// the option, file or camera, no panorama and no temporary file, and in seconds.
#include "tests/app/RunQuadstitch.h"

#include "BaseLib/ImportIntrinsics.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <functional>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#ifdef QUADSTITCH_SIM_BIN

namespace fs = boost::filesystem;

namespace {

class HostileInput : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        source = new fs::path(fs::path(QUADSTITCH_TEST_TMP) / ("hostile-source-" + std::to_string(::getpid())));
        fs::remove_all(*source);
        const std::string cmd = quote(QUADSTITCH_SIM_BIN) + " generate " + quote(source->string()) +
                                " --camera-size 256 --truth-height 16 >/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        fs::remove(*source / "truth.png");
        fs::remove(*source / "truth-invdepth.tiff");
    }
    static void TearDownTestSuite()
    {
        fs::remove_all(*source);
        delete source;
    }
    void SetUp() override
    {
        dir = fs::path(QUADSTITCH_TEST_TMP) / "hostile" / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir);
        fs::create_directories(dir);
        for (const auto& entry : fs::directory_iterator(*source))
            fs::copy_file(entry.path(), dir / entry.path().filename());
    }

    fs::path image(int camera, const std::string& ext = ".png") const
    {
        return dir / ("0000000000-" + std::to_string(camera) + ext);
    }

    // Runs and checks what every refused run must do; returns the message.
    std::string refused(const std::string& args, int status)
    {
        const auto before = listDirectory(dir);
        const auto start = std::chrono::steady_clock::now();
        const RunResult r = runQuadstitch(dir, args, "timeout 60");
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(r.status, status) << args << ": " << r.err;
        EXPECT_EQ(r.out, "") << args;
        EXPECT_LT(seconds, 30.0) << args; // a hang guard: refusals take well under a second
        EXPECT_EQ(listDirectory(dir), before) << args << ": a panorama or temporary file was left";
        return r.err;
    }

    void rewriteCalibration(const std::function<void(std::vector<orb::CameraIntrinsics>&)>& change)
    {
        auto cameras = orb::BaseApi::importIntrinsics((*source / "calibration.yaml").string());
        ASSERT_EQ(cameras.size(), 4u);
        change(cameras);
        cv::FileStorage out((dir / "calibration.yaml").string(), cv::FileStorage::WRITE);
        out << "cameras" << "[";
        for (const auto& c : cameras)
            out << "{" << "lensCoeffs" << cv::Mat(c.lensCoeffs) << "centre" << cv::Mat(c.centre) << "tmBToC"
                << cv::Mat(c.tmBToC) << "}";
        out << "]";
    }

    static fs::path* source;
    fs::path dir;
};

fs::path* HostileInput::source = nullptr;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<uchar> bytesOf(const fs::path& path)
{
    const std::string s = readFile(path);
    return std::vector<uchar>(s.begin(), s.end());
}

void writeBytes(const fs::path& path, const std::vector<uchar>& bytes)
{
    std::ofstream(path.string(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                          static_cast<std::streamsize>(bytes.size()));
}

} // namespace

TEST_F(HostileInput, TheUntouchedFrameStitches)
{
    ASSERT_EQ(runQuadstitch(dir, "-s 1 -t 64").status, 0);
    EXPECT_EQ(cv::imread((dir / "0000000000.png").string()).size(), cv::Size(128, 64));
}

TEST_F(HostileInput, NegativeAndUnusableOptionValuesAreCommandLineErrors)
{
    // The stock conversion wrapped these round: frame 4294967295, a fast stitch, an 8 x 4 panorama.
    EXPECT_TRUE(contains(refused("-f -1", 1), "--frameNumber"));
    EXPECT_TRUE(contains(refused("-s -1", 1), "--stitch-type"));
    EXPECT_TRUE(contains(refused("-s 1 -t -4294967292", 1), "--height-faststitch"));
    EXPECT_TRUE(contains(refused("-t -4", 1), "--height-faststitch"));
    for (const char* height : {"0", "1", "3"})
        EXPECT_TRUE(contains(refused(std::string("-s 1 -t ") + height, 1), "at least 4")) << height;
    // Terabytes: refused before any work instead of failing to allocate.
    EXPECT_TRUE(contains(refused("-s 1 -t 1000000", 1), "cannot be allocated"));
}

TEST_F(HostileInput, CalibrationValuesAreCheckedWhenRead)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Infinite pose in a full stitch: once a crash in depth estimation.
    rewriteCalibration([&](auto& c) { c[1].tmBToC(0, 3) = inf; });
    EXPECT_TRUE(contains(refused("", 2), "calibration.yaml', camera 2: tmBToC(0, 3) is inf"));
    struct Case {
        std::function<void(std::vector<orb::CameraIntrinsics>&)> change;
        const char* expected;
    };
    const Case cases[] = {
        {[&](auto& c) { c[0].lensCoeffs(1) = nan; }, "camera 1: lens coefficient k1 is nan"},
        {[](auto& c) { c[3].lensCoeffs(0) = 0; }, "camera 4: lens coefficient k0"},
        {[&](auto& c) { c[2].centre(0) = nan; }, "camera 3: centre (nan"},
        {[](auto& c) { c[2].tmBToC = cv::Matx44f::zeros(); }, "camera 3: tmBToC's last row"},
        {[](auto& c) { c[0].tmBToC = c[0].tmBToC * 2.0f; }, "camera 1: tmBToC's last row"},
        {[](auto& c) { for (int k = 0; k < 3; ++k) c[0].tmBToC(0, k) *= 1.1f; }, "camera 1: tmBToC's rotation"},
    };
    for (const Case& c : cases) {
        rewriteCalibration(c.change);
        const std::string message = refused("-s 1 -t 64", 2);
        EXPECT_TRUE(contains(message, c.expected)) << message;
    }
}

TEST_F(HostileInput, CalibrationTextsThatHungOrCrashedTheParserFailAtOnce)
{
    const fs::path calibration = dir / "calibration.yaml";
    std::ofstream(calibration.string()) << "%YAML:1.0\n---\n{}ac\n   - {y\n";
    EXPECT_TRUE(contains(refused("-s 1 -t 200", 2), "is valid (not valid YAML"));
    std::ofstream(calibration.string()) << "%YAML:1.0\n---\n" << std::string(33000, '[');
    EXPECT_TRUE(contains(refused("-s 1 -t 200", 2), "calibration.yaml"));
}

TEST_F(HostileInput, CalibrationThatIsNoFileIsNamedForWhatItIs)
{
    const fs::path calibration = dir / "calibration.yaml";
    fs::remove(calibration);
    fs::create_directory(calibration);
    EXPECT_TRUE(contains(refused("-s 1 -t 64", 2), "calibration.yaml' is a directory"));
    fs::remove(calibration);
    ASSERT_EQ(::mkfifo(calibration.c_str(), 0644), 0);
    EXPECT_TRUE(contains(refused("-s 1 -t 64", 2), "calibration.yaml' is not a regular file"));
    fs::remove(calibration);
    // Unreadable (for root too): it once read as a file of no camera records.
    fs::create_symlink("calibration.yaml", calibration);
    EXPECT_TRUE(contains(refused("-s 1 -t 64", 2), "calibration.yaml' cannot be read: Too many levels"));
}

TEST_F(HostileInput, ImagesOfUnusableSizesAreRefused)
{
    const cv::Mat original = cv::imread(image(3).string());
    cv::Mat half;
    cv::resize(original, half, cv::Size(128, 128));
    ASSERT_TRUE(cv::imwrite(image(3).string(), half));
    EXPECT_TRUE(contains(refused("-s 1 -t 64", 2), "all cameras of a frame must have one size"));

    for (int k = 1; k <= 4; ++k) ASSERT_TRUE(cv::imwrite(image(k).string(), cv::Mat(1, 1, CV_8UC3, cv::Scalar::all(9))));
    EXPECT_TRUE(contains(refused("-s 1 -t 64", 2), "0000000000-1.png' is 1 x 1 pixels"));
}

TEST_F(HostileInput, DecompressionBombsAreRefusedFromTheirHeaders)
{
    // A PNG whose header claims 30000 x 30000 (with a correct header checksum).
    std::vector<uchar> png = bytesOf(image(2));
    const uchar size[8] = {0, 0, 0x75, 0x30, 0, 0, 0x75, 0x30};
    std::copy(size, size + 8, png.begin() + 16);
    unsigned long crc = 0;
    {
        // CRC-32 of "IHDR" and its 13 data bytes, bit by bit.
        crc = 0xffffffffUL;
        for (int i = 12; i < 29; ++i) {
            crc ^= png[i];
            for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xedb88320UL & (0 - (crc & 1)));
        }
        crc ^= 0xffffffffUL;
    }
    for (int i = 0; i < 4; ++i) png[29 + i] = static_cast<uchar>(crc >> (24 - 8 * i));
    writeBytes(image(2), png);
    EXPECT_TRUE(contains(refused("-s 1 -t 64", 2), "0000000000-2.png' is 30000 x 30000 pixels"));

    // The same claim in a JPEG's frame header.
    for (int k = 1; k <= 4; ++k) {
        const fs::path png = *source / image(k).filename();
        ASSERT_TRUE(cv::imwrite(image(k, ".jpg").string(), cv::imread(png.string())));
    }
    std::vector<uchar> jpeg = bytesOf(image(4, ".jpg"));
    for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xff && jpeg[i + 1] == 0xc0) {
            jpeg[i + 5] = jpeg[i + 7] = 0x75;
            jpeg[i + 6] = jpeg[i + 8] = 0x30;
            break;
        }
    }
    writeBytes(image(4, ".jpg"), jpeg);
    EXPECT_TRUE(contains(refused("-s 1 -t 64 -i .jpg", 2), "0000000000-4.jpg' is 30000 x 30000 pixels"));
}

TEST_F(HostileInput, TruncatedAndCorruptImagesAreRefused)
{
    for (int k = 1; k <= 4; ++k) ASSERT_TRUE(cv::imwrite(image(k, ".jpg").string(), cv::imread(image(k).string())));
    ASSERT_EQ(runQuadstitch(dir, "-s 1 -t 64 -i .jpg").status, 0);
    fs::remove(dir / "0000000000.jpg");

    const std::vector<uchar> whole = bytesOf(image(1, ".jpg"));
    writeBytes(image(1, ".jpg"), std::vector<uchar>(whole.begin(), whole.begin() + whole.size() / 2));
    EXPECT_TRUE(contains(refused("-s 1 -t 64 -i .jpg", 2), "0000000000-1.jpg' is damaged or cut short"));

    std::vector<uchar> corrupt = whole;
    corrupt.insert(corrupt.end() - 2, 64, 0x5a);
    writeBytes(image(1, ".jpg"), corrupt);
    EXPECT_TRUE(contains(refused("-s 1 -t 64 -i .jpg", 2), "Corrupt JPEG data"));

    const std::vector<uchar> png = bytesOf(image(3));
    writeBytes(image(3), std::vector<uchar>(png.begin(), png.end() - 100));
    EXPECT_TRUE(contains(refused("-s 1 -t 64", 2), "0000000000-3.png' is cut short"));
}

TEST_F(HostileInput, AFormatThatCannotHoldTheFullPanoramaFailsBeforeTheStitch)
{
    for (int k = 1; k <= 4; ++k) ASSERT_TRUE(cv::imwrite(image(k, ".ppm").string(), cv::imread(image(k).string())));
    // Seconds before the stitch instead of after it (refused() bounds the time).
    EXPECT_TRUE(contains(refused("-i .ppm", 2), "cannot hold an image of 4 channels"));
    // The fast panorama has three channels, which the format holds.
    EXPECT_EQ(runQuadstitch(dir, "-i .ppm -s 1 -t 64").status, 0);
}

TEST_F(HostileInput, AnUnwritablePanoramaSaysWhy)
{
    fs::create_directories(dir / "0000000000.png" / "occupied");
    EXPECT_TRUE(contains(refused("-s 1 -t 64", 2), "Could not write panorama './0000000000.png': cannot rename"));
    EXPECT_TRUE(contains(refused("-s 1 -t 64", 2), "Is a directory"));
}

TEST_F(HostileInput, TemporariesOfDeadRunsOfTheFrameAreRemoved)
{
    // A process id that is surely gone: a child that has exited and been reaped.
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ASSERT_GT(dead, 0);
    ::waitpid(dead, nullptr, 0);
    const std::string gone = std::to_string(dead);
    const std::string alive = std::to_string(::getpid());
    for (const std::string& name : {".0000000000.partial-" + gone + ".png", ".0000000000.partial-" + alive + ".png",
                                   ".0000000001.partial-" + gone + ".png", ".0000000000.partial-" + gone + ".jpg"})
        std::ofstream((dir / name).string()) << "left by a killed run";
    ASSERT_EQ(runQuadstitch(dir, "-s 1 -t 64").status, 0);
    EXPECT_FALSE(fs::exists(dir / (".0000000000.partial-" + gone + ".png")));
    // A live writer's file, another frame's and another format's stay.
    EXPECT_TRUE(fs::exists(dir / (".0000000000.partial-" + alive + ".png")));
    EXPECT_TRUE(fs::exists(dir / (".0000000001.partial-" + gone + ".png")));
    EXPECT_TRUE(fs::exists(dir / (".0000000000.partial-" + gone + ".jpg")));
}

#endif
