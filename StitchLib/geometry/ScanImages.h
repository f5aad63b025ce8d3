#pragma once

#include <opencv2/core.hpp>

namespace orb {

// The per-frame depth model in panorama geometry: inverse distance from the rig
// origin per panorama pixel (0, negative or NaN marks a gap), a companion 8-bit
// intensity image, and how many rows from the top the depth applies to.
// Copies share pixel buffers: gap filling writes through a by-value copy.
class ScanImages {
public:
    ScanImages();
    ~ScanImages();
    ScanImages(const ScanImages& other);
    ScanImages& operator=(const ScanImages& other);

    cv::Mat_<uchar> intensity;
    cv::Mat_<float> inverseDepth;
    int validRows;
};

} // namespace orb
