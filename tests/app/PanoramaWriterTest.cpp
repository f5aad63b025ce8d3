#include "app/PanoramaWriter.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tests/app/RunQuadstitch.h"

#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

class PanoramaWriter : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(QUADSTITCH_TEST_TMP) / "writer" /
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir);
        fs::create_directories(dir);
        destination = dir / "0000000001.png";
        temporary = dir / ".0000000001.partial-1.png";
    }
    fs::path dir, destination, temporary;
};

} // namespace

TEST_F(PanoramaWriter, ReplacesTheDestinationWithTheCompleteImage)
{
    { std::ofstream old(destination.string()); old << "previous run"; }
    const cv::Mat panorama(6, 12, CV_8UC4, cv::Scalar(1, 2, 3, 255));
    writePanoramaAtomically(panorama, destination, temporary);
    const cv::Mat back = cv::imread(destination.string(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(back.type(), CV_8UC4);
    EXPECT_EQ(cv::norm(back, panorama, cv::NORM_INF), 0.0);
    EXPECT_FALSE(fs::exists(temporary));
}

TEST_F(PanoramaWriter, FailuresLeaveTheDestinationAloneAndNoTemporaryFile)
{
    { std::ofstream old(destination.string()); old << "previous run"; }
    // An empty result is a failure, not an image.
    EXPECT_THROW(writePanoramaAtomically(cv::Mat(), destination, temporary), std::runtime_error);
    EXPECT_FALSE(fs::exists(temporary));

    // The encoder cannot write into a directory that does not exist.
    const cv::Mat panorama(4, 8, CV_8UC3, cv::Scalar::all(9));
    EXPECT_THROW(writePanoramaAtomically(panorama, destination, dir / "missing" / "x.png"), std::runtime_error);

    // The rename fails when a directory stands in the destination's place.
    const fs::path blocked = dir / "blocked.png";
    fs::create_directories(blocked / "inside");
    try {
        writePanoramaAtomically(panorama, blocked, temporary);
        FAIL() << "expected a failure";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(blocked.string()), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(temporary));

    std::ifstream in(destination.string());
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "previous run");
}

namespace {

// Runs `child` in a forked process and returns its raw wait status.
int inChild(const std::function<void()>& child)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        child();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

void touch(const fs::path& path) { std::ofstream(path.string()) << "partial"; }

} // namespace

TEST_F(PanoramaWriter, SignalsRemoveGuardedFilesAndStillEndTheProcess)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const fs::path guarded = dir / ("guarded-" + std::to_string(signal));
        const fs::path released = dir / ("released-" + std::to_string(signal));
        const int status = inChild([&] {
            touch(released);
            { const TemporaryFileGuard done(released); }
            touch(guarded);
            const TemporaryFileGuard guard(guarded);
            ::raise(signal);
            ::_exit(3);  // not reached: the signal ends the process
        });
        ASSERT_TRUE(WIFSIGNALED(status)) << signal << ": the signal was swallowed";
        EXPECT_EQ(WTERMSIG(status), signal);
        EXPECT_FALSE(fs::exists(guarded)) << signal;
        EXPECT_TRUE(fs::exists(released)) << signal << ": a file no longer guarded was removed";
    }
}

TEST_F(PanoramaWriter, GuardsFromManyThreadsAreAllHonoured)
{
    constexpr int threads = 8, perThread = 20;
    const int status = inChild([&] {
        std::vector<std::unique_ptr<TemporaryFileGuard>> guards(threads * perThread);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) {
                    const fs::path path = dir / (".f" + std::to_string(t) + "-" + std::to_string(i));
                    touch(path);
                    guards[t * perThread + i] = std::make_unique<TemporaryFileGuard>(path);
                }
            });
        }
        for (auto& w : workers) w.join();
        ::raise(SIGTERM);
    });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(listDirectory(dir), std::vector<std::string>{}) << "guarded files survived the signal";
}

TEST_F(PanoramaWriter, AnIgnoredSignalStaysIgnoredAndAHandlerOfTheCallerStillRuns)
{
    const fs::path file = dir / "kept";
    int status = inChild([&] {
        std::signal(SIGHUP, SIG_IGN);
        touch(file);
        const TemporaryFileGuard guard(file);
        ::raise(SIGHUP);
        ::_exit(7);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);

    status = inChild([&] {
        std::signal(SIGTERM, [](int) { ::_exit(9); });
        touch(file);
        const TemporaryFileGuard guard(file);
        ::raise(SIGTERM);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 9);
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(PanoramaWriter, StaleTemporariesOfTheSameFrameAreRemovedWhenTheirProcessIsGone)
{
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const std::string gone = std::to_string(dead);
    const fs::path stale = dir / (".0000000001.partial-" + gone + ".png");
    const std::vector<fs::path> kept = {dir / (".0000000001.partial-" + std::to_string(::getppid()) + ".png"),
                                        dir / (".0000000002.partial-" + gone + ".png"),
                                        dir / (".0000000001.partial-" + gone + ".jpg"),
                                        dir / (".0000000001.partial-x" + gone + ".png")};
    touch(stale);
    for (const auto& k : kept) touch(k);
    const fs::path mine = dir / (".0000000001.partial-" + std::to_string(::getpid()) + ".png");
    writePanoramaAtomically(cv::Mat(4, 8, CV_8UC3, cv::Scalar::all(1)), destination, mine);
    EXPECT_FALSE(fs::exists(stale));
    for (const auto& k : kept) EXPECT_TRUE(fs::exists(k)) << k;
    EXPECT_FALSE(fs::exists(mine));
    EXPECT_TRUE(fs::exists(destination));
}

TEST_F(PanoramaWriter, FailuresSayWhyAndFormatsAreCheckedBeforehand)
{
    const cv::Mat panorama(4, 8, CV_8UC3, cv::Scalar::all(9));
    try {
        writePanoramaAtomically(panorama, destination, dir / "missing" / ".x.partial-1.png");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos) << e.what();
    }
    EXPECT_NO_THROW(checkPanoramaEncodable(dir / "a.png", 4));
    EXPECT_NO_THROW(checkPanoramaEncodable(dir / "a.ppm", 3));
    for (const auto& c : {std::make_pair("a.ppm", "cannot hold an image of 4 channels"),
                          std::make_pair("a.xyz", "no image encoder for the extension '.xyz'")}) {
        try {
            checkPanoramaEncodable(dir / c.first, 4);
            FAIL() << c.first;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.second), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.first), std::string::npos) << e.what();
        }
    }
    // The encoded bytes are the file's bytes.
    const std::vector<uchar> bytes = encodePanorama(panorama, ".png");
    EXPECT_EQ(cv::norm(cv::imdecode(bytes, cv::IMREAD_UNCHANGED), panorama, cv::NORM_INF), 0.0);
}

// A temporary that is a FIFO holds the writer in open() with its guard armed, so the
// signal is sure to arrive while the panorama is being written.
TEST_F(PanoramaWriter, ASignalDuringTheWriteRemovesTheTemporary)
{
    const fs::path fifo = dir / "blocked.partial.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        writePanoramaAtomically(cv::Mat(4, 8, CV_8UC3, cv::Scalar::all(1)), destination, fifo);
        ::_exit(3);
    }
    ASSERT_GT(pid, 0);
    // Wait until the child catches SIGTERM (its guard is armed), then until it is held
    // in open() by the FIFO.
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    bool caught = false;
    for (int i = 0; i < 500 && !caught; ++i) {
        std::ifstream in(status);
        std::string line;
        while (std::getline(in, line)) {
            if (line.compare(0, 7, "SigCgt:") == 0)
                caught = (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
        }
        if (!caught)
            ::usleep(10000);
    }
    const std::string syscall = "/proc/" + std::to_string(pid) + "/syscall";
    bool opening = false;
    for (int i = 0; i < 3000 && caught && !opening; ++i) {
        std::ifstream in(syscall);
        long number = -1;
        opening = (in >> number) && number == SYS_openat;
        if (!opening)
            ::usleep(1000);
    }
    EXPECT_TRUE(opening) << "the writer never reached open()";
    ::kill(pid, SIGTERM);
    int result = 0;
    ::waitpid(pid, &result, 0);
    ASSERT_TRUE(caught);
    ASSERT_TRUE(WIFSIGNALED(result));
    EXPECT_EQ(WTERMSIG(result), SIGTERM);
    EXPECT_FALSE(fs::exists(fifo));
    EXPECT_FALSE(fs::exists(destination));
}
