#include "TakeFixture.h"
#include "VideoModule.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

#if defined(QUADSTITCH_BATCH_BIN)

namespace fs = std::filesystem;

using taketest::contains;
using taketest::quote;
using taketest::readText;
using taketest::run;

namespace {

// The shared objects the loader maps for a program, without running it.
std::string loadedObjects(const fs::path& program, const fs::path& listing)
{
    EXPECT_EQ(run("LD_TRACE_LOADED_OBJECTS=1 " + quote(program.string()) + " >" + quote(listing.string())), 0);
    return readText(listing);
}

fs::path scratch(const std::string& name)
{
    const fs::path dir = fs::path(QUADSTITCH_TEST_TMP) / (name + "-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

} // namespace

// An image take starts without FFmpeg's, x264's or the solver's libraries; the module
// carries them. (x265 comes with OpenCV's image codecs, to quadstitch as well.)
TEST(VideoModule, ImageTakesLoadNoVideoOrSolverLibrary)
{
    const fs::path dir = scratch("video-module-libraries");
    const std::string tool = loadedObjects(QUADSTITCH_BATCH_BIN, dir / "tool.txt");
    EXPECT_TRUE(contains(tool, "libopencv_core")) << tool;
    for (const char* library : {"libavcodec", "libavformat", "libswscale", "libx264", "libceres"})
        EXPECT_FALSE(contains(tool, library)) << library << " in\n" << tool;
    const fs::path module = fs::path(QUADSTITCH_BATCH_BIN).parent_path() / batch::kVideoModuleName;
    EXPECT_TRUE(contains(loadedObjects(module, dir / "module.txt"), "libavcodec"));
    fs::remove_all(dir);
}

// Without its module the tool still stitches image takes and answers --help; what
// needs the module fails with status 2, naming it and where it was looked for.
TEST(VideoModule, AMissingModuleIsNamedAndImageTakesDoNotNeedIt)
{
    const fs::path dir = scratch("video-module-missing");
    const fs::path alone = dir / "quadstitch-batch";
    fs::copy_file(QUADSTITCH_BATCH_BIN, alone);
    const std::string errors = quote((dir / "stderr.txt").string());
    EXPECT_EQ(run(quote(alone.string()) + " --help >/dev/null"), 0);
    EXPECT_EQ(run(quote(alone.string()) + " -d " + quote((dir / "none").string()) + " 2>" + errors), 2);
    EXPECT_TRUE(contains(readText(dir / "stderr.txt"), "does not exist")) << readText(dir / "stderr.txt");
    for (const std::string arguments : {"--version", "--video a b c d -o x.mp4", "-d . --check-calibration"}) {
        EXPECT_EQ(run(quote(alone.string()) + " " + arguments + " >/dev/null 2>" + errors), 2) << arguments;
        const std::string said = readText(dir / "stderr.txt");
        EXPECT_TRUE(contains(said, "quadstitch-batch-video, which is not installed")) << said;
        EXPECT_TRUE(contains(said, (dir / "quadstitch-batch-video").string())) << said;
    }
    // A usage mistake is still found before the module is looked for.
    EXPECT_EQ(run(quote(alone.string()) + " --video a b c d --bogus 2>/dev/null"), 1);
    fs::remove_all(dir);
}

#endif
