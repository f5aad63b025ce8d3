#pragma once

// What the batch tool's end-to-end tests share: running a command, reading what it
// wrote, and a take of small simulated frames made once per suite, copied per test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace taketest {

namespace fs = std::filesystem;

inline std::string quote(const std::string& s) { return "'" + s + "'"; }

// The command's exit status through the shell; -1 when it did not exit.
inline int run(const std::string& command)
{
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

inline std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

#if defined(QUADSTITCH_SIM_BIN) && defined(QUADSTITCH_BATCH_BIN)
// A take of three simulated frames (seeds 1 to 3), made once per suite with
// `Derived::simArguments()` in a folder named after `Derived::prefix()`; each test
// works in its own copy of the camera images and the calibration, `dir`.
template <class Derived>
class SimulatedTake : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        source = new fs::path(fs::path(QUADSTITCH_TEST_TMP) / (Derived::prefix() + std::to_string(::getpid())));
        fs::create_directories(*source);
        for (int f = 0; f < 3; ++f) {
            ASSERT_EQ(run(quote(QUADSTITCH_SIM_BIN) + " generate " + quote(source->string()) + " --frame " +
                          std::to_string(f) + " --seed " + std::to_string(f + 1) + " " + Derived::simArguments() +
                          " >/dev/null"),
                      0);
        }
    }
    static void TearDownTestSuite()
    {
        fs::remove_all(*source);
        delete source;
        source = nullptr;
    }
    void SetUp() override
    {
        dir = source->string() + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir);
        fs::create_directories(dir);
        for (const auto& entry : fs::directory_iterator(*source)) {
            const std::string name = entry.path().filename().string();
            if (name.find("-") == 10 || name == "calibration.yaml")
                fs::copy_file(entry.path(), dir / name);
        }
    }
    void TearDown() override { fs::remove_all(dir); }

    // The batch tool on this test's take; its standard error goes to errors().
    int batch(const std::string& arguments)
    {
        return run(quote(QUADSTITCH_BATCH_BIN) + " -d " + quote(dir.string()) + " " + arguments + " 2>" +
                   quote((dir / "stderr.txt").string()));
    }
    std::string errors() { return readText(dir / "stderr.txt"); }

    static inline fs::path* source = nullptr;
    fs::path dir;
};
#endif

} // namespace taketest
