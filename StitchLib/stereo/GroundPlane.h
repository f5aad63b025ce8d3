#pragma once

#include "StitchLib/geometry/ScanImages.h"

namespace orb {
namespace Stereo {

// Inverse distance, along the ray through the centre of panorama row `row` of
// `rows`, to a horizontal plane cameraHeight below the rig centre (negative
// above the horizon).
float groundPlaneInverseDepth(float cameraHeight, int row, int rows);

// Replaces the depth from 60 degrees below the horizon down by a ground plane
// 1.25 units below the rig, blending linearly into it from 40 degrees down.
// Only inverseDepth changes.
void addGroundPlane(ScanImages& scan);

} // namespace Stereo
} // namespace orb
