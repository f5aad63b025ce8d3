#pragma once

#include "BaseLib/CameraIntrinsics.h"
#include "BaseLib/CoordinateSystems.h"
#include "BaseLib/Matrix.h"
#include "StitchLib/stereo/HybridRowColToUnitVecB.h"

#include <cmath>

namespace orb {

// Pixel of a rectified stereo view to the fisheye image position of one camera
// that sees the same direction, or (-1, -1) beyond the lens's field. Each
// camera renders from its own centre: only the rotation of tmBToC is used.
class HybridToFisheye {
public:
    HybridToFisheye(const CameraIntrinsics& intrinsics, const HybridRowColToUnitVecB& rowColToUnitVec,
                    float maxAngle)
        : intrinsics(intrinsics), rowColToUnitVec(rowColToUnitVec), maxAngle(maxAngle),
          cosMaxAngle(std::cos(maxAngle))
    {
        const cv::Matx<float, 3, 3> rotation = orb::rotationBToC(intrinsics);
        for (std::size_t r = 0; r < 3; ++r)
            for (std::size_t c = 0; c < 3; ++c)
                rotationBToC(r, c) = rotation(static_cast<int>(r), static_cast<int>(c));
    }

    void setRow(int row) { rowColToUnitVec.SetRow(row); }

    void getCoords(int column, float* out) const
    {
        const Matrix<float, 3, 1> directionB = rowColToUnitVec.GetUnitVecB(column);
        const Matrix<float, 3, 1> directionC = rotationBToC * directionB;
        coordinateSystems::unitVecCToFisheye<false>(directionC, intrinsics.lensCoeffs.val, intrinsics.centre.val,
                                                    maxAngle, cosMaxAngle, out);
    }

    CameraIntrinsics intrinsics;
    HybridRowColToUnitVecB rowColToUnitVec;
    Matrix<float, 3, 3> rotationBToC;
    float maxAngle;
    float cosMaxAngle;
};

} // namespace orb
