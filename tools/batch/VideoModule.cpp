#include "VideoModule.h"

#include "BatchRunner.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace batch {

std::vector<fs::path> videoModuleCandidates(const fs::path& self)
{
    const fs::path bin = self.parent_path();
    return {bin / kVideoModuleName, (bin / QUADSTITCH_LIBEXEC_FROM_BIN / kVideoModuleName).lexically_normal()};
}

int runVideoModule(char** argv)
{
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        std::cerr << "quadstitch-batch: cannot find " << kVideoModuleName
                  << " (video takes, the calibration check, --version): /proc/self/exe: " << error.message() << "\n";
        return kExitFailed;
    }
    std::string tried;
    for (const fs::path& module : videoModuleCandidates(self)) {
        if (::access(module.c_str(), X_OK) == 0) {
            ::execv(module.c_str(), argv);
            const int cause = errno;
            std::cerr << "quadstitch-batch: cannot run " << module.string() << ": " << std::strerror(cause) << "\n";
            return kExitFailed;
        }
        tried += (tried.empty() ? "" : " nor ") + module.string();
    }
    std::cerr << "quadstitch-batch: video takes, the calibration check and --version need " << kVideoModuleName
              << ", which is not installed: found neither " << tried << "\n";
    return kExitFailed;
}

} // namespace batch
