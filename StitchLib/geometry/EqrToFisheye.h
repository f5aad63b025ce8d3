#pragma once

#include "BaseLib/CameraIntrinsics.h"
#include "BaseLib/CoordinateSystems.h"
#include "StitchLib/geometry/EqrRowColToUnitVecE.h"

#include <opencv2/core.hpp>

#include <algorithm>
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

    // getCoords for columns first, first + 1, ... first + count - 1 of the current row,
    // two floats each into out, with the same bits. The row is taken in short runs,
    // stage by stage, so that the square roots and divisions of neighbouring pixels
    // overlap instead of waiting on each other and on the arctangent.
    void getRowCoords(int first, int count, float* out) const
    {
        constexpr int kRun = 64;
        for (int start = 0; start < count; start += kRun) {
            const int n = std::min(kRun, count - start);
            coordsRun(first + start, n, out + 2 * start);
        }
    }

    int getCurrentRow() const { return currentRow; }

private:
    // One run of at most 64 columns: the camera-frame direction of every pixel first,
    // then the arctangents, then the lens polynomial and the pixel position. Each
    // step is getCoords' own arithmetic, in its order and precision.
    void coordsRun(int first, int n, float* out) const
    {
        // What becomes of each pixel: no position, the optical axis, or the lens.
        enum Kind : unsigned char { kNone, kAxis, kLens };
        Kind kind[64];
        float u0[64], u1[64], u2[64];
        double r[64], theta[64];
        const float* m = transform.val;
        for (int k = 0; k < n; ++k) {
            const int col = first + k;
            float direction[4];
            if constexpr (DepthAligned) {
                if (depthRow == nullptr || col < 0 || col >= inverseDepth.cols) {
                    kind[k] = kNone;
                    continue;
                }
                rowColToUnitVec.GetUnitVect(col, direction);
                direction[3] = depthRow[col];
            } else {
                rowColToUnitVec.GetUnitVect(col, direction);
                direction[3] = 0.0f;
            }
            float p[3];
            for (int i = 0; i < 3; ++i) {
                float sum = m[4 * i] * direction[0];
                sum += m[4 * i + 1] * direction[1];
                sum += m[4 * i + 2] * direction[2];
                sum += m[4 * i + 3] * direction[3];
                p[i] = sum;
            }
            const float squares = p[0] * p[0] + p[1] * p[1] + p[2] * p[2];
            const double norm = std::sqrt(static_cast<double>(squares));
            if (norm == 0.0) {
                u0[k] = 1.0f;
                u1[k] = 0.0f;
                u2[k] = 0.0f;
            } else {
                u0[k] = static_cast<float>(static_cast<double>(p[0]) / norm);
                u1[k] = static_cast<float>(static_cast<double>(p[1]) / norm);
                u2[k] = static_cast<float>(static_cast<double>(p[2]) / norm);
            }
            if (cosMaxAngle > u0[k]) {
                kind[k] = kNone;
                continue;
            }
            r[k] = std::sqrt(static_cast<double>(u1[k] * u1[k] + u2[k] * u2[k]));
            kind[k] = r[k] == 0.0 ? kAxis : kLens;
        }
        for (int k = 0; k < n; ++k) {
            if (kind[k] == kLens) {
                theta[k] = std::atan2(r[k], static_cast<double>(u0[k]));
            }
        }
        const float* lens = intrinsics.lensCoeffs.val;
        const float* centre = intrinsics.centre.val;
        for (int k = 0; k < n; ++k) {
            float* at = out + 2 * k;
            if (kind[k] == kNone) {
                at[0] = -1.0f;
                at[1] = -1.0f;
            } else if (kind[k] == kAxis) {
                at[0] = centre[0] + lens[0] * u1[k];
                at[1] = centre[1] + lens[0] * u2[k];
            } else {
                const double d = coordinateSystems::fisheye_radial_f(theta[k], lens);
                at[0] = static_cast<float>(static_cast<double>(centre[0]) + static_cast<double>(u1[k]) * d / r[k]);
                at[1] = static_cast<float>(static_cast<double>(centre[1]) + static_cast<double>(u2[k]) * d / r[k]);
            }
        }
    }

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
