// A take's panoramas are streamed into a temporary file and renamed into place: what
// goes wrong on the way must leave neither a panorama nor a temporary file behind.
#include "TakeOutput.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TakeOutputTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::string read(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    const fs::path dir = fs::path(QUADSTITCH_TEST_TMP) / ("take-output-" + std::to_string(::getpid()));
};

// Pieces of 64 KiB, numbered by their first byte.
std::vector<unsigned char> piece(int n) { return std::vector<unsigned char>(64 << 10, static_cast<unsigned char>(n)); }

} // namespace

// A producer that fails after some pieces, and a disk that takes no more (the file size
// limit, as a full disk would, unprivileged): the error comes out, the temporary file
// is gone and the panorama already there is untouched.
TEST_F(TakeOutputTest, AFailureMidStreamLeavesNoFileBehind)
{
    batch::TakeOutput output(dir.string());
    std::ofstream(output.panoramaPath(3, "png")) << "the previous panorama";
    EXPECT_THROW(output.write(3, "png",
                              [](const auto& sink) {
                                  sink(piece(1));
                                  sink(piece(2));
                                  throw std::runtime_error("the encoder failed");
                              }),
                 std::runtime_error);
    EXPECT_EQ(files(), std::vector<std::string>{"0000000003.png"});
    EXPECT_EQ(read(output.panoramaPath(3, "png")), "the previous panorama");

    // In a process of its own: the limit and the signal it raises are per process.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{200 << 10, 200 << 10};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        int pieces = 0;
        try {
            output.write(4, "png", [&](const auto& sink) {
                for (pieces = 0; pieces < 16; ++pieces)
                    sink(piece(pieces));
            });
            ::_exit(1); // reported as written
        } catch (const std::runtime_error& e) {
            const std::string message = e.what();
            if (message.find("cannot write '" + output.temporaryPath(4, "png", ::getpid()) + "'") ==
                std::string::npos)
                ::_exit(2);
        }
        ::_exit(pieces == 3 && !fs::exists(output.temporaryPath(4, "png", ::getpid())) &&
                        !fs::exists(output.panoramaPath(4, "png"))
                    ? 0
                    : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "1: a failed write was reported as written, 2: the wrong error, "
                            "3: the writing went on or left a file";
    EXPECT_EQ(files(), std::vector<std::string>{"0000000003.png"});
}

// Streamed and dropped unfinished, or unfinished when the take is interrupted, a
// panorama is removed and never renamed.
TEST_F(TakeOutputTest, UnfinishedStreamsAreRemoved)
{
    batch::TakeOutput output(dir.string());
    const auto two = [](const auto& sink) {
        sink(piece(0));
        sink(piece(1));
    };
    std::unique_ptr<batch::TakeOutput::Pending> pending = output.stream(2, "png", two);
    EXPECT_TRUE(pending && fs::file_size(output.temporaryPath(2, "png", ::getpid())) == 2u << 16);
    pending.reset();
    EXPECT_TRUE(files().empty());

    // An interruption holds the writes for good, as the process ends next.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::unique_ptr<batch::TakeOutput::Pending> waiting = output.stream(5, "png", two);
        const bool streamed = waiting && fs::exists(output.temporaryPath(5, "png", ::getpid()));
        output.interrupt();
        ::_exit(streamed && !fs::exists(output.temporaryPath(5, "png", ::getpid())) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(files().empty());
}
