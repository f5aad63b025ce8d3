#include "Progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using batch::Progress;

namespace {

std::string written(std::FILE* file)
{
    std::fflush(file);
    std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(&text[0], 1, text.size(), file));
    return text;
}

} // namespace

TEST(Progress, TheLiveLineShowsStagesInFlightAndFitsTheTerminal)
{
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    Progress progress(12, Progress::Style::Live, out);
    progress.frameStage(5, "seams");
    progress.frameStage(6, "read");
    progress.frameStage(6, "scan");
    const std::string wide = progress.liveLine(32.0, 200);
    EXPECT_EQ(wide.rfind("0/12  0.0/min  elapsed 0:32  left ?", 0), 0u) << wide;
    EXPECT_NE(wide.find("frame 5 seams 0:0"), std::string::npos) << wide;
    EXPECT_NE(wide.find("frame 6 scan 0:0"), std::string::npos) << wide;
    EXPECT_EQ(wide.find("read"), std::string::npos) << "a stage left behind is shown: " << wide;
    // Never as wide as the terminal: the last column would wrap to a new line.
    EXPECT_EQ(progress.liveLine(32.0, 40), wide.substr(0, 39));
    EXPECT_EQ(progress.liveLine(32.0, 0), "");

    // A failure goes whole on a line of its own; the live line no longer names the frame.
    const std::string message(150, 'x');
    progress.frameDone(5, "failed", message);
    const std::string text = written(out);
    EXPECT_NE(text.find("\r\033[Kframe 0000000005 failed: " + message + "\n"), std::string::npos);
    EXPECT_EQ(progress.liveLine(40.0, 200).find("frame 5 "), std::string::npos);
    std::fclose(out);
}
