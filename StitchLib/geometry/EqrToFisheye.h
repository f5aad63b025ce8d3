#pragma once

#include "BaseLib/CameraIntrinsics.h"
#include "BaseLib/CoordinateSystems.h"
#include "StitchLib/geometry/EqrRowColToUnitVecE.h"

#include <opencv2/core.hpp>

#include <cmath>
#include <stdexcept>
#include <type_traits>

namespace orb {

// Maps a panorama pixel to the position in one fisheye camera image that sees it,
// or (-1, -1). Two kinds exist:
//   EqrToFisheye<false, false>: plain, every scene point infinitely far away;
//   EqrToFisheye<true, true>:   depth-aligned, the scene point at the distance given
//                               by a per-pixel inverse-depth image, seen from the camera.
// Cheap to copy: the inverse-depth image is shared, not duplicated.
template <bool DepthAligned, bool RowLimited>
class EqrToFisheye {
    static_assert(DepthAligned == RowLimited, "only the plain and the depth-aligned mapper exist");

public:
    // Depth-aligned: panorama size from the inverse-depth image (single-channel float);
    // rows from validRows down are left unmapped.
    template <bool D = DepthAligned, typename = std::enable_if_t<D>>
    EqrToFisheye(const CameraIntrinsics& intrinsics, const cv::Matx<float, 4, 4>& extrinsic,
                 const cv::Mat& inverseDepth, int validRows, float maxAngle)
        : intrinsics(intrinsics), transform(intrinsics.tmBToC * extrinsic), inverseDepth(inverseDepth),
          rowColToUnitVec(inverseDepth.rows, inverseDepth.cols), validRows(validRows), currentRow(0),
          maxAngle(maxAngle), cosMaxAngle(std::cos(maxAngle)), depthRow(nullptr)
    {
        if (!inverseDepth.empty() && inverseDepth.type() != CV_32FC1)
            throw std::runtime_error("EqrToFisheye EqrToFisheye() inverse depth must be a single-channel float image");
    }

    // Plain: panorama of rows x cols; validRows is kept but never consulted.
    template <bool D = DepthAligned, typename = std::enable_if_t<!D>>
    EqrToFisheye(const CameraIntrinsics& intrinsics, const cv::Matx<float, 4, 4>& extrinsic, int rows, int cols,
                 int validRows, float maxAngle)
        : intrinsics(intrinsics), transform(intrinsics.tmBToC * extrinsic), rowColToUnitVec(rows, cols),
          validRows(validRows), currentRow(0), maxAngle(maxAngle), cosMaxAngle(std::cos(maxAngle)),
          depthRow(nullptr)
    {
    }

    void setRow(int row)
    {
        currentRow = row;
        rowColToUnitVec.setRow(row);
        if constexpr (DepthAligned) {
            // Rows outside the depth image have no depth to read: treat them as unmapped
            // rather than read past the buffer.
            const bool mapped = row >= 0 && row < validRows && row < inverseDepth.rows;
            depthRow = mapped ? inverseDepth.ptr<float>(row) : nullptr;
        }
    }

    void getCoords(int col, float* out) const
    {
        float direction[4];
        if constexpr (DepthAligned) {
            if (depthRow == nullptr || col < 0 || col >= inverseDepth.cols) {
                out[0] = -1.0f;
                out[1] = -1.0f;
                return;
            }
            rowColToUnitVec.GetUnitVect(col, direction);
            direction[3] = depthRow[col];
        } else {
            rowColToUnitVec.GetUnitVect(col, direction);
            direction[3] = 0.0f;
        }
        coordinateSystems::calculateUv<false, float, float>(direction, transform.val, intrinsics.lensCoeffs.val,
                                                           intrinsics.centre.val, out, maxAngle, cosMaxAngle);
    }

    int getCurrentRow() const { return currentRow; }

private:
    CameraIntrinsics intrinsics;
    cv::Matx<float, 4, 4> transform;
    cv::Mat inverseDepth;
    EqrRowColToUnitVecE rowColToUnitVec;
    int validRows;
    int currentRow;
    float maxAngle;
    float cosMaxAngle;
    // Depth row of currentRow, or null where the row is not mapped.
    const float* depthRow;
};

// ---- Builders ----

inline EqrToFisheye<true, true> makeEqrToFisheye(const CameraIntrinsics& intrinsics,
                                                 const cv::Matx<float, 4, 4>& extrinsic,
                                                 const cv::Mat& inverseDepth, int validRows, float maxAngle)
{
    return EqrToFisheye<true, true>(intrinsics, extrinsic, inverseDepth, validRows, maxAngle);
}

inline EqrToFisheye<false, false> makeEqrToFisheye(const CameraIntrinsics& intrinsics,
                                                   const cv::Matx<float, 4, 4>& extrinsic, int rows, int cols,
                                                   float maxAngle)
{
    return EqrToFisheye<false, false>(intrinsics, extrinsic, rows, cols, 0, maxAngle);
}

} // namespace orb
