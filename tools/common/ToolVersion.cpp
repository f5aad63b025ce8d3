#include "ToolVersion.h"

#include <opencv2/core/version.hpp>

namespace tools {

std::string versionText(const std::string& tool, const std::vector<std::string>& libraries)
{
    std::string text = tool + " (quadstitch) " QUADSTITCH_VERSION "\nOpenCV " CV_VERSION "\n";
    for (const std::string& library : libraries)
        text += library + "\n";
    return text;
}

} // namespace tools
