#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <string>

// Names of the files of one frame inside the working directory.
namespace FrameFiles {

// "%010d" of the frame number, e.g. 42 -> "0000000042".
std::string frameStem(uint32_t frameNumber);

// <dir>/<stem>-<camera><extension>; the extension is appended verbatim.
boost::filesystem::path cameraImagePath(const std::string& workingDirectory, const std::string& extension,
                                        uint32_t frameNumber, unsigned cameraNumber);

// <dir>/<stem><extension>
boost::filesystem::path panoramaPath(const std::string& workingDirectory, const std::string& extension,
                                     uint32_t frameNumber);

// Hidden sibling of the panorama that is written first and renamed into place,
// so an interrupted run never leaves a truncated panorama. It keeps the
// extension because the encoder is chosen from it.
boost::filesystem::path temporaryPanoramaPath(const std::string& workingDirectory, const std::string& extension,
                                              uint32_t frameNumber, long processId);

} // namespace FrameFiles
