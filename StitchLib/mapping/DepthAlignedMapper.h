#pragma once

#include "BaseLib/CameraIntrinsics.h"
#include "StitchLib/geometry/EqrRowColToUnitVecE.h"
#include "StitchLib/geometry/EqrToFisheye.h"

#include <opencv2/core.hpp>

namespace orb {

// The depth-aligned panorama-to-camera mapping of EqrToFisheye<true, true>, bit
// for bit, with the float and double arithmetic of four pixels at a time in
// vector registers where the processor has them (AVX2): the divisions and
// square roots of neighbouring pixels then share instructions instead of
// queueing one after the other. The arctangent and the lens polynomial stay the
// scalar functions the mapping uses. Pixels on the optical axis, at a zero
// direction or outside the depth image are handed to EqrToFisheye itself.
// Same interface as the mappers ImageMapping fills maps with.
class DepthAlignedMapper {
public:
    DepthAlignedMapper(const CameraIntrinsics& intrinsics, const cv::Matx<float, 4, 4>& extrinsic,
                       const cv::Mat& inverseDepth, int validRows, float maxAngle);

    void setRow(int row);
    void getCoords(int col, float* out) const { scalar.getCoords(col, out); }
    // Columns first .. first + count - 1 of the current row, two floats each.
    void getRowCoords(int first, int count, float* out) const;

    // Whether the vector path runs on this processor (otherwise every pixel
    // goes through EqrToFisheye).
    static bool vectorised();

private:
    EqrToFisheye<true, true> scalar;
    cv::Matx<float, 4, 4> transform;
    cv::Matx<float, 4, 1> lens;
    cv::Vec2f centre;
    float cosMaxAngle;
    cv::Mat inverseDepth;
    int validRows;
    EqrRowColToUnitVecE rowColToUnitVec;
    const float* depthRow = nullptr;
};

} // namespace orb
