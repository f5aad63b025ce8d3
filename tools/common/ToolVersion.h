#pragma once

#include <string>
#include <vector>

namespace tools {

// What `--version` prints: the tool with the project's version, then the libraries
// it was built with (OpenCV, and `libraries` such as FFmpeg's for the tools that
// use them), one a line.
std::string versionText(const std::string& tool, const std::vector<std::string>& libraries = {});

} // namespace tools
