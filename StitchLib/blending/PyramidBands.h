#pragma once

#include "StitchLib/blending/MaskedImage.h"

#include <opencv2/core.hpp>

namespace orb {
namespace PyramidBands {

// The pyramid generator's reduction (down) or expansion to resultSize, for
// the result rows [begin, end) only: colour and contribution masked by the
// valid mask, all five planes resampled from the source rows those result
// rows depend on, colour normalised by the resampled valid mask, masks
// thresholded. Result row r goes to row r - rowOffset of results[0..4]
// (red, green, blue, valid, contributing), which must exist; without
// withContribution results[4] is neither computed nor touched. Bit-identical
// to the whole-image steps; bands of rows are independent.
void resampleRows(MaskedImage& image, bool down, cv::Size resultSize, int begin, int end, cv::Mat* results,
                  int rowOffset, bool withContribution);

// A band height for resampleRows.
int bandRows(MaskedImage& image, bool down, cv::Size resultSize);

// Throws unless all five planes are 8-bit, non-empty and of one size.
void checkPlanes(MaskedImage& image);

} // namespace PyramidBands
} // namespace orb
