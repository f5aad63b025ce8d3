#pragma once

#include "StitchLib/geometry/ScanImages.h"

namespace orb {
namespace BaseApi {

// Fills, row by row, every run of at most maxGap missing pixels (inverse depth
// 0, negative or NaN) by linear interpolation between the nearest valid pixels
// on its left and right, in both inverseDepth and intensity. With wrapAround
// the row is cyclic, so the run over the right edge into the left edge counts as
// one gap. The record is taken by value: its images share the caller's pixels,
// which are filled in place. Rows without a valid pixel stay unchanged.
void interpolateSmallGaps(ScanImages scan, int maxGap, bool wrapAround);

} // namespace BaseApi
} // namespace orb
