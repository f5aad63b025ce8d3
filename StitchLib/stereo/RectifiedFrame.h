#pragma once

#include "BaseLib/Matrix.h"

namespace orb {
namespace ImageMapping {

// Axes of the rectified view of a camera pair, as the rows of the result, in
// the rig frame: row 0 the unit baseline from the first camera to the second,
// row 2 the view axis (horizontal and perpendicular to the baseline, then raised
// by tilt radians about it), row 1 completes the frame (downward at tilt 0).
// The camera positions are three floats each. A vertical baseline has no
// horizontal perpendicular and is rejected.
Matrix<float, 3, 3> getRectifiedFrame(float* firstCamPos, float* secondCamPos, float tilt);

} // namespace ImageMapping
} // namespace orb
