#pragma once

#include "BaseLib/CoordinateSystems.h"
#include "BaseLib/Matrix.h"

#include <cmath>

namespace orb {

// Pixel of a rectified stereo view to a unit direction in the rig frame. Rows
// are uniform in angle about the baseline (so both cameras of a pair see a
// scene point on the same row), columns are a tangent coordinate along the
// baseline (so depth shows as a pure column shift).
class HybridRowColToUnitVecB {
public:
    HybridRowColToUnitVecB(float focalLength, float centreColumn, float centreRow,
                           const Matrix<float, 3, 3>& rectifiedFrame)
        : focalLength(focalLength), centreColumn(centreColumn), centreRow(centreRow), rowCoordinate(0.0f)
    {
        const Matrix<float, 3, 3> inversePinhole(1.0f / focalLength, 0.0f, -centreColumn / focalLength,
                                                 0.0f, 1.0f / focalLength, -centreRow / focalLength,
                                                 0.0f, 0.0f, 1.0f);
        pixelToB = transpose(rectifiedFrame) * inversePinhole;
    }

    // The row's angle about the baseline becomes a tangent-plane coordinate,
    // once per row.
    void SetRow(int row)
    {
        const float q = (static_cast<float>(row) - centreRow) / focalLength;
        rowCoordinate = static_cast<float>(static_cast<double>(centreRow) +
                                           static_cast<double>(focalLength) * std::tan(static_cast<double>(q)));
    }

    Matrix<float, 3, 1> GetUnitVecB(int column) const
    {
        const Matrix<float, 3, 1> pixel(static_cast<float>(column), rowCoordinate, 1.0f);
        return coordinateSystems::getUnitVec(pixelToB * pixel);
    }

    float focalLength;
    float centreColumn;
    float centreRow;
    Matrix<float, 3, 3> pixelToB;
    float rowCoordinate;
};

} // namespace orb
