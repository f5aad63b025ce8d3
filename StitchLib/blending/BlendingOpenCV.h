#pragma once

#include "StitchLib/blending/BlendingBase.h"

namespace orb {

// Seams chosen by detail agreement, then a multi-resolution spline of 8-bit
// Laplacian bands with a feathered blend per band. Independent planes, images
// and bands of rows run on all cores; the panorama is the same bit for bit
// whatever the thread count.
class BlendingOpenCV : public BlendingBase {
public:
    BlendingOpenCV() = default;
    ~BlendingOpenCV() override = default;

    // Blends exactly four parts in rig order; any other count gives an empty
    // matrix and leaves the vector alone.
    cv::Mat process(std::vector<cv::Mat>& parts) override;

    // CV_8UC4 panorama of the parts' size; alpha 255 where any part
    // contributes. Takes the parts over: on success the vector is empty.
    cv::Mat blend(std::vector<cv::Mat>& parts);
};

} // namespace orb
