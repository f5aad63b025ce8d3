#pragma once

#include "StitchLib/blending/MaskedImage.h"

#include <opencv2/core.hpp>

#include <cstddef>
#include <vector>

namespace orb {

// The parts being blended, in a meaningful order: it breaks ties between
// overlapping contributions. Copies share the images' pixel buffers.
class MaskedImageSet {
public:
    MaskedImageSet() = default;
    // One MaskedImage per matrix, in order; the matrices are only read.
    MaskedImageSet(std::vector<cv::Mat>& parts, bool erodeMask);

    int rows() const;
    int cols() const;
    std::size_t numImages() const { return images.size(); }

    MaskedImage& image(int index);
    void addImage(MaskedImage image);

    // Leaves every pixel with at most one contributing image, and with exactly
    // one where any image is valid. Contested pixels go to the first image, or
    // to the last one with lastWins. Writes the masks in place.
    void fixMaskOverlaps(bool lastWins);

    MaskedImageSet bandPassFilter();

private:
    std::vector<MaskedImage> images;
};

// ---- Helpers ----

// The set MaskedImageSet(parts, erodeMask) makes, built part by part: each part
// is released as soon as it is converted, so that the parts and the planes of
// all of them are never held at once. The vector is empty afterwards. A part
// of the wrong type (or no part at all) throws the constructor's error before
// anything is converted, and the caller keeps its parts.
MaskedImageSet takeParts(std::vector<cv::Mat>& parts, bool erodeMask);

} // namespace orb
