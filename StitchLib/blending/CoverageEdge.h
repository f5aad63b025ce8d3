#pragma once

#include "StitchLib/blending/PyramidGeneratorBase.h"

#include <opencv2/core.hpp>

namespace orb {

// Restores the colour of a remapped part's soft rim. Remapping with a transparent
// border mixes the border's zeros into the rim pixels in proportion to their alpha,
// so colour * 255 / alpha is the colour of the samples that did fall inside the
// image. Rim pixels with alpha of at least minAlpha become opaque with that colour;
// fainter ones become fully transparent. An 8-bit BGRA part is changed in place;
// any other type is rejected with std::runtime_error.
void restoreRim(cv::Mat& part, int minAlpha);

// Rim pixels fainter than this carry too little of the image to restore.
constexpr int kMinRimAlpha = 64;

// Mask-normalised pyramid steps with the default rules (a resampled pixel is valid
// where validShare of 255 of its filter's weight fell on valid pixels), carried out
// in 16 bits. In 8 bits, the masked colour and the filtered mask are both rounded
// before one is divided by the other; where only a small share of the filter is
// valid, as along the edge of the coverage, the quotient is off by tens of levels,
// and the spline turns that into a washed-out fringe along the edge.
class PrecisePyramidGenerator : public PyramidGeneratorBase {
public:
    explicit PrecisePyramidGenerator(int validShare = 128);
    MaskedImage scaleUp(MaskedImage image, int rows, int cols) override;
    MaskedImage scaleDown(MaskedImage image) override;

private:
    double validThreshold;
};

} // namespace orb
