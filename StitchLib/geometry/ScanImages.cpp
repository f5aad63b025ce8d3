#include "StitchLib/geometry/ScanImages.h"

namespace orb {

ScanImages::ScanImages() : validRows(0) {}

ScanImages::~ScanImages()
{
    intensity.release();
    inverseDepth.release();
}

ScanImages::ScanImages(const ScanImages& other)
    : intensity(other.intensity), inverseDepth(other.inverseDepth), validRows(other.validRows)
{
}

ScanImages& ScanImages::operator=(const ScanImages& other)
{
    intensity = other.intensity;
    inverseDepth = other.inverseDepth;
    validRows = other.validRows;
    return *this;
}

} // namespace orb
