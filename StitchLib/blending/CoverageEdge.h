#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace orb {

// Restores the colour of a remapped part's soft rim. Remapping with a transparent
// border mixes the border's zeros into the rim pixels in proportion to their alpha,
// so colour * 255 / alpha is the colour of the samples that did fall inside the
// image. Rim pixels with alpha of at least minAlpha become opaque with that colour;
// fainter ones become fully transparent. An 8-bit BGRA part is changed in place;
// any other type is rejected with std::runtime_error.
void restoreRim(cv::Mat& part, int minAlpha);
// The same for a part that holds nothing outside its rectangles `regions`: only
// they are gone over.
void restoreRim(cv::Mat& part, int minAlpha, const std::vector<cv::Rect>& regions);

// Rim pixels fainter than this carry too little of the image to restore.
constexpr int kMinRimAlpha = 64;

} // namespace orb
