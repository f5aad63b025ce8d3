#include "app/FrameFiles.h"

#include <boost/format.hpp>

namespace FrameFiles {

std::string frameStem(uint32_t frameNumber)
{
    return (boost::format("%010d") % frameNumber).str();
}

boost::filesystem::path cameraImagePath(const std::string& workingDirectory, const std::string& extension,
                                        uint32_t frameNumber, unsigned cameraNumber)
{
    return boost::filesystem::path(workingDirectory) /
           (frameStem(frameNumber) + "-" + std::to_string(cameraNumber) + extension);
}

boost::filesystem::path panoramaPath(const std::string& workingDirectory, const std::string& extension,
                                     uint32_t frameNumber)
{
    return boost::filesystem::path(workingDirectory) / (frameStem(frameNumber) + extension);
}

boost::filesystem::path temporaryPanoramaPath(const std::string& workingDirectory, const std::string& extension,
                                              uint32_t frameNumber, long processId)
{
    return boost::filesystem::path(workingDirectory) /
           ("." + frameStem(frameNumber) + ".partial-" + std::to_string(processId) + extension);
}

} // namespace FrameFiles
