#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// Encodes a panorama for the file extension given (".png", ".jpg", ...; case
// does not matter). The decoded pixels are those cv::imencode would give.
// 8-bit PNG (1, 3 or 4 channels) is compressed in independent bands of rows
// on all cores and joined into one valid stream; the bytes do not depend on
// the number of threads. Every other case goes to cv::imencode. Throws
// std::runtime_error ("the '<ext>' encoder failed...") when the format has no
// encoder or cannot hold the image. The panorama writer encodes through it.
std::vector<uchar> encodePanorama(const cv::Mat& panorama, const std::string& extension);
