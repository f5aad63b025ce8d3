#pragma once

#include "StitchLib/blending/LaplacianPyramidLevel.h"
#include "StitchLib/blending/MaskedImage.h"

namespace orb {
namespace SplineLevels {

// The spline's level passes for the standard generator and blender, each one
// pass over bands of rows giving the same bits as the step-by-step form: the
// expansions and bands exist only a band at a time, zero planes are written
// only where they hold something, and blends are written over the running
// images, which the spline alone holds.

// Where an image's minus band (its expansion minus the image) is kept, and
// which valid mask it carries: the expansion's (the default spline) or the
// image's own (the clean-edge spline, which then leaves no halo where a
// part's valid region ends).
enum class MinusBand { OverExpansion, OverImage };

// One image's share of a pyramid level: its expansion E of `reduced`, its plus
// band image - E and minus band E - image, blended into the running plus and
// minus images (or becoming them, for the first image). With borrowMasks the
// first image's bands take its very mask buffers rather than copies (the
// spline releases the image right after); the next image then writes its
// blend's masks into buffers of its own, never into them.
void addLevelBands(MaskedImage& image, MaskedImage& reduced, bool firstImage, bool borrowMasks, MinusBand minusBand,
                   MaskedImage& plus, MaskedImage& minus);

// One step of the reconstruction: (plus + expanded result) - minus, masked by
// the plus band's valid mask and carrying copies of the plus band's masks.
MaskedImage collapseLevel(MaskedImage& result, LaplacianPyramidLevel& level);

// The same step's colour interleaved into one 8-bit image of 3 channels, or
// 4 with the plus band's contribution as the last: collapseLevel(...).cvMat,
// without the five full-size planes in between.
cv::Mat collapseLevelInterleaved(MaskedImage& result, LaplacianPyramidLevel& level, bool withAlpha);

} // namespace SplineLevels
} // namespace orb
