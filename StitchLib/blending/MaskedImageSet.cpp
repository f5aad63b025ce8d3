#include "StitchLib/blending/MaskedImageSet.h"

#include <stdexcept>

namespace orb {

MaskedImageSet::MaskedImageSet(std::vector<cv::Mat>& parts, bool erodeMask)
{
    if (parts.empty()) {
        throw std::runtime_error("MaskedImageSet MaskedImageSet(std::vector<cv::Mat *>) no images provided");
    }
    images.reserve(parts.size());
    for (cv::Mat& part : parts) {
        images.emplace_back(part, erodeMask);
    }
}

int MaskedImageSet::rows() const
{
    if (images.empty()) {
        throw std::runtime_error("MaskedImageSet rows() set is empty");
    }
    return images.front().rows();
}

int MaskedImageSet::cols() const
{
    if (images.empty()) {
        throw std::runtime_error("MaskedImageSet cols() set is empty");
    }
    return images.front().cols();
}

MaskedImage& MaskedImageSet::image(int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= images.size()) {
        throw std::runtime_error("MaskedImageSet getImage() imageNumber out of range");
    }
    return images[static_cast<std::size_t>(index)];
}

void MaskedImageSet::addImage(MaskedImage image)
{
    images.push_back(std::move(image));
}

void MaskedImageSet::fixMaskOverlaps(bool lastWins)
{
    const int rowCount = rows();
    const int colCount = cols();
    const std::size_t count = images.size();

    // The walk below uses raw row pointers, so a mask of another size or type
    // would be read and written out of bounds.
    for (MaskedImage& image : images) {
        for (const cv::Mat* mask : {&image.validPixels(), &image.contributingPixels()}) {
            if (mask->type() != CV_8UC1 || mask->rows != rowCount || mask->cols != colCount) {
                throw std::runtime_error("MaskedImageSet fixMaskOverlaps() image masks differ in size or type");
            }
        }
    }

    std::vector<unsigned char*> contributing(count);
    std::vector<const unsigned char*> valid(count);
    const int last = static_cast<int>(count) - 1;
    for (int r = 0; r < rowCount; ++r) {
        for (std::size_t k = 0; k < count; ++k) {
            contributing[k] = images[k].contributingPixels().ptr<unsigned char>(r);
            valid[k] = images[k].validPixels().ptr<unsigned char>(r);
        }
        for (int c = 0; c < colCount; ++c) {
            int holder = -1;
            for (int k = 0; k <= last; ++k) {
                if (contributing[k][c] == 0) {
                    continue;
                }
                if (holder < 0) {
                    holder = k;
                } else if (lastWins) {
                    contributing[holder][c] = 0;
                    holder = k;
                } else {
                    contributing[k][c] = 0;
                }
            }
            if (holder >= 0) {
                continue;
            }
            // Uncovered: hand the pixel to an image that has data for it.
            if (lastWins) {
                for (int k = last; k >= 0; --k) {
                    if (valid[k][c] != 0) {
                        contributing[k][c] = 255;
                        break;
                    }
                }
            } else {
                for (int k = 0; k <= last; ++k) {
                    if (valid[k][c] != 0) {
                        contributing[k][c] = 255;
                        break;
                    }
                }
            }
        }
    }
}

MaskedImageSet MaskedImageSet::bandPassFilter()
{
    MaskedImageSet filtered;
    filtered.images.reserve(images.size());
    for (MaskedImage& image : images) {
        filtered.addImage(image.bandPassFilter());
    }
    return filtered;
}

} // namespace orb
