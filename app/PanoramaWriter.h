#pragma once

#include <boost/filesystem/path.hpp>
#include <opencv2/core.hpp>

// Writes a panorama so that the destination is either the complete new image or
// untouched: the image is encoded into `temporary` (same directory, same
// extension, since the encoder follows the extension) and renamed into place.
// An empty matrix is never written. Throws std::runtime_error naming the
// destination; the temporary file never survives a failure.
void writePanoramaAtomically(const cv::Mat& panorama, const boost::filesystem::path& destination,
                             const boost::filesystem::path& temporary);
