// The batch tool against what goes wrong around a take: signals in every thread,
// reports that cannot or must not be written, links planted at temporary names,
// panoramas left incomplete, other processes on the same folder, impossible heights.
#include "TakeFixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#if defined(QUADSTITCH_SIM_BIN) && defined(QUADSTITCH_BATCH_BIN)

namespace fs = std::filesystem;

namespace {

using taketest::contains;
using taketest::quote;
using taketest::readText;
using taketest::run;

std::vector<std::string> hiddenFiles(const fs::path& dir)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string()[0] == '.')
            found.push_back(entry.path().filename().string());
    }
    return found;
}

// Three small frames (128-pixel cameras, 64-row truths): the tests are about files, not pixels.
class SafeTake : public taketest::SimulatedTake<SafeTake> {
public:
    static std::string prefix() { return "safe-take-"; }
    static std::string simArguments() { return "--camera-size 128 --truth-height 64"; }
};

// Blocked signals of every thread of `pid` ("SigBlk:" of /proc/PID/task/*/status), by
// thread id, but for threads waiting in sigwait, whose waited signals the kernel shows
// as unblocked while they wait; those are counted in `waiting`.
std::vector<std::pair<std::string, unsigned long long>> blockedMasks(pid_t pid, int* waiting = nullptr)
{
    std::vector<std::pair<std::string, unsigned long long>> masks;
    const std::string sigwait = std::to_string(SYS_rt_sigtimedwait) + " ";
    if (waiting != nullptr)
        *waiting = 0;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        if (readText(task.path() / "syscall").compare(0, sigwait.size(), sigwait) == 0) {
            if (waiting != nullptr)
                ++*waiting;
            continue;
        }
        std::istringstream status(readText(task.path() / "status"));
        const std::string name = task.path().filename().string();
        for (std::string line; std::getline(status, line);) {
            if (line.compare(0, 7, "SigBlk:") == 0)
                masks.emplace_back(name, std::stoull(line.substr(7), nullptr, 16));
        }
    }
    return masks;
}

// The process and the worker processes it started (full stitches side by side).
std::vector<pid_t> withWorkers(pid_t pid)
{
    std::vector<pid_t> processes{pid};
    std::istringstream children(readText("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    for (pid_t child; children >> child;)
        processes.push_back(child);
    return processes;
}

// Whether a thread of `pid` is inside write(2, ...).
bool writingToStderr(pid_t pid)
{
    const std::string prefix = std::to_string(SYS_write) + " 0x2 ";
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        if (readText(task.path() / "syscall").compare(0, prefix.size(), prefix) == 0)
            return true;
    }
    return false;
}

// Fills a pipe to capacity (without blocking).
void fillPipe(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::fcntl(fd, F_SETFL, flags);
}

} // namespace

// Every thread, OpenCV's pool threads included, must leave SIGINT, SIGTERM and SIGHUP
// to the one thread that stops the take cleanly. The tool is held, deterministically,
// at its first progress line by a full stderr pipe (all its threads are running by
// then), its threads' masks are read, and SIGTERM must then end it with the report.
TEST_F(SafeTake, EveryThreadLeavesStopSignalsToTheTakeInBothModes)
{
    // Frame 0 fails at once, so the first progress line comes early in either mode.
    std::ofstream(dir / "0000000000-2.png", std::ios::trunc) << "not a picture";
    for (const char* mode : {"1", "0"}) {
        SCOPED_TRACE(std::string("-s ") + mode);
        const std::string report = (dir / (std::string("report-") + mode + ".json")).string();
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        fillPipe(pipeFds[1]);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(pipeFds[1], 2);
            ::close(pipeFds[0]);
            ::execl(QUADSTITCH_BATCH_BIN, QUADSTITCH_BATCH_BIN, "-d", dir.c_str(), "-s", mode, "-t", "400", "-j", "2",
                    "--report", report.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        std::string output;
        char buffer[65536];
        // Until it is stuck writing its first line with at least its workers running:
        // should an earlier line be what blocks, let it through and wait for the next.
        std::size_t threads = 0;
        for (int tries = 0; tries < 600000; ++tries) {
            threads = 0;
            for (pid_t process : withWorkers(child))
                threads += blockedMasks(process).size();
            if (writingToStderr(child) && threads >= 2)
                break;
            if (writingToStderr(child)) {
                const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
                ASSERT_GT(n, 0);
                fillPipe(pipeFds[1]);
            }
            ::usleep(100);
        }
        ASSERT_GE(threads, 2u) << "main and workers";
        const unsigned long long stop = (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1)) | (1ull << (SIGHUP - 1));
        int waiting = 0;
        for (const auto& [thread, mask] : blockedMasks(child, &waiting))
            EXPECT_EQ(mask & stop, stop) << "thread " << thread << " takes stop signals";
        EXPECT_EQ(waiting, 1) << "one thread of the take's process waits for the signals";
        // A worker process stops at them too, once it has ended the write it is in.
        const std::vector<pid_t> processes = withWorkers(child);
        for (std::size_t k = 1; k < processes.size(); ++k) {
            for (const auto& [thread, mask] : blockedMasks(processes[k], &waiting))
                EXPECT_EQ(mask & stop, stop) << "thread " << thread << " of worker " << processes[k];
            EXPECT_LE(waiting, 1) << "worker " << processes[k];
        }
        EXPECT_EQ(processes.size(), std::string(mode) == "0" ? 3u : 1u) << "full stitches run in worker processes";

        ::kill(child, SIGTERM);
        ::close(pipeFds[1]);
        for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
            output.append(buffer, static_cast<std::size_t>(n));
        ::close(pipeFds[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 130);
        EXPECT_TRUE(contains(output, "quadstitch-batch: interrupted;")) << output.substr(output.rfind('x') + 1);
        EXPECT_TRUE(contains(readText(report), "\"status\":\"interrupted\"")) << readText(report);
        EXPECT_TRUE(hiddenFiles(dir).empty()) << hiddenFiles(dir).front();
    }
}

// A report that cannot be written, or would replace one of the take's own files, is
// refused before any frame is stitched; a written report is whole JSON.
TEST_F(SafeTake, ReportsGoOnlyWhereTheyCanAndNeverOntoTheTake)
{
    const std::string calibration = readText(dir / "calibration.yaml");
    fs::create_directories(dir / "out");
    const std::string panorama = "finished panorama";
    std::ofstream(dir / "out" / "0000000002.png") << panorama;
    const struct {
        std::string path;
        const char* reason;
    } refused[] = {
        {(dir / "missing" / "r.json").string(), "its folder '"},
        {(dir / "calibration.yaml" / "r.json").string(), "is not a folder"},
        {(dir / "out").string(), "is a folder"},
        {(dir / "calibration.yaml").string(), "is the take's calibration"},
        // The same file by another spelling of its folder.
        {(dir / "out" / ".." / "0000000001-3.png").string(), "is a camera image of the take"},
        {(dir / "out" / "0000000002.png").string(), "is a panorama of the take"},
        {(dir / "out" / "0000000002.overlays.json").string(), "is an overlay of the take"},
        {(dir / "out" / "0000000002.depth.png").string(), "is an overlay of the take"},
        {(dir / "out" / ".0000000002.claim").string(), "is a working file of the take"},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(batch("-s 1 -t 64 -o " + quote((dir / "out").string()) + " --report " + quote(r.path)), 1) << r.path;
        EXPECT_TRUE(contains(errors(), r.reason)) << errors();
        EXPECT_FALSE(fs::exists(dir / "out" / "0000000000.png")) << "stitched despite the refusal";
    }
    const std::string fifo = (dir / "fifo.json").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(batch("-s 1 -t 64 --report " + quote(fifo)), 1);
    EXPECT_TRUE(contains(errors(), "is not a regular file")) << errors();
    EXPECT_EQ(readText(dir / "calibration.yaml"), calibration);
    EXPECT_EQ(readText(dir / "out" / "0000000002.png"), panorama);

    // Into the output folder the run makes.
    ASSERT_EQ(batch("-s 1 -t 64 --frames 0 -o " + quote((dir / "new").string()) + " --report " +
                    quote((dir / "new" / "r.json").string())),
              0)
        << errors();
    EXPECT_TRUE(fs::exists(dir / "new" / "r.json"));
    // Names that only resemble the take's (nine digits, another camera image type) are free.
    for (const fs::path& free : {dir / "out" / "000000002.png", dir / "0000000001-3.jpg"}) {
        EXPECT_EQ(batch("-s 1 -t 64 --frames 0 -o " + quote((dir / "out").string()) + " --report " +
                        quote(free.string())),
                  0)
            << errors();
        EXPECT_TRUE(fs::exists(free));
    }

    // A report beside the take, replacing an older one.
    const fs::path report = dir / "r.json";
    std::ofstream(report) << "old";
    ASSERT_EQ(batch("-s 1 -t 64 --frames 0 --report " + quote(report.string())), 0) << errors();
    const std::string json = readText(report);
    EXPECT_EQ(json.compare(0, 11, "{\"frames\":["), 0) << json;
    EXPECT_EQ(json.substr(json.size() - 3), "}}\n") << json;
}

// Temporary files are made anew: a link planted at any name the tool writes through
// (the panorama's, the overlays', the report's old fixed name) is never followed.
TEST_F(SafeTake, LinksPlantedAtTemporaryNamesAreNotFollowed)
{
    const fs::path victim = dir / "victim.txt";
    std::ofstream(victim) << "precious";
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Waits until the links naming its process id are in place.
        char c;
        ::close(go[1]);
        if (::read(go[0], &c, 1) != 1)
            ::_exit(126);
        const std::string errorsPath = (dir / "stderr.txt").string();
        ::freopen(errorsPath.c_str(), "w", stderr);
        const std::string report = (dir / "r.json").string();
        ::execl(QUADSTITCH_BATCH_BIN, QUADSTITCH_BATCH_BIN, "-d", dir.c_str(), "-s", "1", "-t", "64", "--frames",
                "1", "--overlays", "-q", "--report", report.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(go[0]);
    const std::string pid = std::to_string(child);
    const std::vector<std::string> planted = {
        ".0000000001.partial-" + pid + ".png", ".0000000001.seams.partial-" + pid + ".png",
        ".0000000001.overlays.partial-" + pid + ".json", "r.json.partial-" + pid};
    for (const std::string& name : planted)
        fs::create_symlink(victim, dir / name);
    ASSERT_EQ(::write(go[1], "x", 1), 1);
    ::close(go[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << errors();
    EXPECT_EQ(readText(victim), "precious");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "0000000001.png")));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "0000000001.seams.png")));
    EXPECT_TRUE(contains(readText(dir / "r.json"), "\"status\":\"ok\""));
}

// A frame counts as done only when whole, with its overlays when they are asked
// for; temporaries of killed runs go, overlays' included.
TEST_F(SafeTake, ResumeRedoesWhatIsIncomplete)
{
    ASSERT_EQ(batch("-s 1 -t 64 -q --overlays"), 0) << errors();
    const std::string whole = readText(dir / "0000000001.png");
    std::ofstream(dir / "0000000000.png", std::ios::trunc); // empty
    std::ofstream(dir / "0000000001.png", std::ios::trunc) << whole.substr(0, whole.size() - 20); // cut short
    fs::remove(dir / "0000000002.overlays.json"); // its overlays failed
    std::ofstream(dir / ".0000000002.seams.partial-999999999.png") << "left by a killed run";
    std::ofstream(dir / ".0000000002.overlays.partial-999999999.json") << "left by a killed run";
    ASSERT_EQ(batch("-s 1 -t 64 --overlays --report " + quote((dir / "r.json").string())), 0) << errors();
    const std::string report = readText(dir / "r.json");
    for (const char* frame : {"0", "1", "2"})
        EXPECT_TRUE(contains(report, std::string("{\"frame\":") + frame + ",\"status\":\"ok\"")) << report;
    EXPECT_EQ(readText(dir / "0000000001.png"), whole);
    EXPECT_TRUE(fs::exists(dir / "0000000002.overlays.json"));
    EXPECT_TRUE(hiddenFiles(dir).empty()) << hiddenFiles(dir).front();

    // Whole and with overlays: nothing to do. Without --overlays, their absence is no reason.
    ASSERT_EQ(batch("-s 1 -t 64 --overlays --report " + quote((dir / "r.json").string())), 0) << errors();
    EXPECT_TRUE(contains(readText(dir / "r.json"), "\"summary\":{\"frames\":3,\"skipped\":3}"));
    fs::remove(dir / "0000000002.overlays.json");
    ASSERT_EQ(batch("-s 1 -t 64 --report " + quote((dir / "r.json").string())), 0) << errors();
    EXPECT_TRUE(contains(readText(dir / "r.json"), "\"skipped\":3"));
}

// Frames are claimed, so that several processes can share one output folder: a frame
// another live process holds is left to it; a claim whose process is gone is taken over.
TEST_F(SafeTake, ClaimedFramesAreLeftToTheirLiveOwner)
{
    char host[256] = "";
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    std::ofstream(dir / ".0000000001.claim") << ::getpid() << " " << host << "\n";
    std::ofstream(dir / ".0000000002.claim") << "999999999 " << host << "\n";
    ASSERT_EQ(batch("-s 1 -t 64 --report " + quote((dir / "r.json").string())), 0) << errors();
    EXPECT_TRUE(fs::exists(dir / "0000000000.png"));
    EXPECT_FALSE(fs::exists(dir / "0000000001.png")) << "stitched a frame another process holds";
    EXPECT_TRUE(fs::exists(dir / "0000000002.png")) << "a dead process's claim was not taken over";
    EXPECT_TRUE(contains(errors(), "1 being stitched by other processes")) << errors();
    const std::string report = readText(dir / "r.json");
    EXPECT_TRUE(contains(report, "\"status\":\"claimed\"")) << report;
    EXPECT_TRUE(contains(report, "being stitched by process " + std::to_string(::getpid()))) << report;
    // Its own claims are released; the live owner's stays.
    EXPECT_EQ(hiddenFiles(dir), std::vector<std::string>{".0000000001.claim"});

    // Once released, the next run stitches it.
    fs::remove(dir / ".0000000001.claim");
    ASSERT_EQ(batch("-s 1 -t 64 -q"), 0) << errors();
    EXPECT_TRUE(fs::exists(dir / "0000000001.png"));
}

// A height OpenCV's remap cannot take is refused at once, by both tools.
TEST_F(SafeTake, HeightsBeyondTheRemapLimitAreRefusedAtOnce)
{
    EXPECT_EQ(batch("-s 1 -t 32767"), 1);
    EXPECT_TRUE(contains(errors(), "--height-faststitch '32767': expected an integer from 4 to 32766")) << errors();
    const std::string quadstitchErrors = (dir / "quadstitch.txt").string();
    EXPECT_EQ(run(quote(QUADSTITCH_BIN) + " -d " + quote(dir.string()) + " -s 1 -t 32767 -f 0 2>" +
                  quote(quadstitchErrors)),
              1);
    EXPECT_TRUE(contains(readText(quadstitchErrors), "it must be at most 32766")) << readText(quadstitchErrors);
    EXPECT_FALSE(fs::exists(dir / "0000000000.png"));
    EXPECT_EQ(run(quote(QUADSTITCH_BATCH_BIN) + " --help >" + quote((dir / "help.txt").string())), 0);
    EXPECT_TRUE(contains(readText(dir / "help.txt"), "4 to 32766")) << readText(dir / "help.txt");
}

#endif
