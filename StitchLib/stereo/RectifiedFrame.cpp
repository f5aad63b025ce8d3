#include "StitchLib/stereo/RectifiedFrame.h"

#include "BaseLib/CoordinateSystems.h"

#include <cmath>
#include <stdexcept>

namespace orb {
namespace ImageMapping {

Matrix<float, 3, 3> getRectifiedFrame(float* firstCamPos, float* secondCamPos, float tilt)
{
    const Matrix<float, 3, 1>& first = mapMatrix<3, 1>(firstCamPos);
    const Matrix<float, 3, 1>& second = mapMatrix<3, 1>(secondCamPos);
    const Matrix<float, 3, 1> a0 = coordinateSystems::getUnitVec(second - first);
    const Matrix<float, 3, 1> y = cross(a0, Matrix<float, 3, 1>(0.0f, 0.0f, 1.0f));
    // A vertical baseline leaves y (and with it both view axes) zero: every
    // rectified pixel would look along the baseline.
    if (y[0] == 0.0f && y[1] == 0.0f && y[2] == 0.0f)
        throw std::runtime_error("ImageMapping getRectifiedFrame() baseline is vertical");
    const Matrix<float, 3, 1> z = cross(y, a0);
    // y and z are deliberately not normalised: for the ring rig the baseline is
    // horizontal and they are unit length already.
    const float c = static_cast<float>(std::cos(static_cast<double>(tilt)));
    const float s = static_cast<float>(std::sin(static_cast<double>(tilt)));
    const Matrix<float, 3, 1> a1 = y * s + z * c;
    const Matrix<float, 3, 1> a2 = y * c - z * s;
    return transpose(hcat(a0, a1, a2));
}

} // namespace ImageMapping
} // namespace orb
