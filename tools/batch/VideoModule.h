#pragma once

// quadstitch-batch-video is the batch tool with what needs FFmpeg's and Ceres'
// libraries: video takes, the calibration check and --version (which names them).
// quadstitch-batch hands those command lines to it, so that an image take starts
// without loading about a hundred shared libraries it never calls.
#include <filesystem>
#include <vector>

namespace batch {

inline constexpr const char* kVideoModuleName = "quadstitch-batch-video";

// Where the module is looked for, in order, for the program at `self`: beside it
// (the build tree), then in the installed prefix's libexec/quadstitch.
std::vector<std::filesystem::path> videoModuleCandidates(const std::filesystem::path& self);

// Replaces this process with the module, run on the same arguments (its output and
// exit status are the tool's). Returns only when it cannot be run, after saying why
// and where it was looked for on stderr, with the exit status.
int runVideoModule(char** argv);

} // namespace batch
