#pragma once
// Small camera videos for the video tests, made with the ffmpeg command line.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace videotest {

inline std::filesystem::path scratch(const std::string& name)
{
    const std::filesystem::path dir = std::filesystem::path(QUADSTITCH_TEST_TMP) / "video" / (name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

inline int run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// `frames` frames of a moving test pattern, size x size, at `rate` frames/s, with the
// given codec arguments and ffmpeg filter (frames are numbered by the pattern's clock).
inline bool makeVideo(const std::filesystem::path& file, int size, int frames, int rate,
                      const std::string& codec = "-c:v libx264 -preset ultrafast -pix_fmt yuv420p",
                      const std::string& extra = "")
{
    const std::string command = "ffmpeg -nostdin -y -f lavfi -i testsrc2=size=" + std::to_string(size) + "x" +
                                std::to_string(size) + ":rate=" + std::to_string(rate) + " -frames:v " +
                                std::to_string(frames) + " " + extra + " " + codec + " '" + file.string() + "'";
    return run(command) == 0;
}

} // namespace videotest
