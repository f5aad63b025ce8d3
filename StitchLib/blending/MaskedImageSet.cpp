#include "StitchLib/blending/MaskedImageSet.h"

#include "StitchLib/blending/ParallelUnits.h"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <stdexcept>

namespace orb {

namespace {

// Settles one row of the contribution masks: contributing[k] and valid[k]
// point at the row in image k's masks.
void settleRow(unsigned char* const* contributing, const unsigned char* const* valid, int count, int colCount,
               bool lastWins)
{
    const int last = count - 1;
    int first = 0;
#if CV_SIMD128
    // Sixteen pixels at a time: images in the order in which they win a
    // contested pixel, each losing what an image before it took; then open
    // pixels to the first valid image in that order. Blocks are stored only
    // where something changes, as the pixel loop writes only changes.
    const cv::v_uint8x16 zero = cv::v_setzero_u8();
    for (; first + 16 <= colCount; first += 16) {
        cv::v_uint8x16 taken = zero;
        for (int i = 0; i <= last; ++i) {
            unsigned char* mask = contributing[lastWins ? last - i : i] + first;
            const cv::v_uint8x16 value = cv::v_load(mask);
            const cv::v_uint8x16 has = ~(value == zero);
            const cv::v_uint8x16 lost = has & taken;
            if (cv::v_check_any(lost)) {
                cv::v_store(mask, value & ~lost);
            }
            taken = taken | has;
        }
        cv::v_uint8x16 open = ~taken;
        for (int i = 0; i <= last && cv::v_check_any(open); ++i) {
            const int k = lastWins ? last - i : i;
            const cv::v_uint8x16 pick = open & ~(cv::v_load(valid[k] + first) == zero);
            if (cv::v_check_any(pick)) {
                // Open pixels hold 0 in every contribution mask.
                cv::v_store(contributing[k] + first, cv::v_load(contributing[k] + first) | pick);
                open = open & ~pick;
            }
        }
    }
#endif
    for (int c = first; c < colCount; ++c) {
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
        // Uncovered: hand the pixel to an image that has data for it, searching
        // from the end that wins contested pixels.
        for (int i = 0; i <= last; ++i) {
            const int k = lastWins ? last - i : i;
            if (valid[k][c] != 0) {
                contributing[k][c] = 255;
                break;
            }
        }
    }
}

// True when every row of the masks (all of one size) lies in memory that no
// other row of any of them reaches: masks are disjoint or the very same view.
bool rowsIndependent(const std::vector<const cv::Mat*>& masks)
{
    for (std::size_t i = 0; i < masks.size(); ++i) {
        for (std::size_t j = i + 1; j < masks.size(); ++j) {
            const cv::Mat& a = *masks[i];
            const cv::Mat& b = *masks[j];
            if (a.data == b.data && a.step[0] == b.step[0]) {
                continue;
            }
            const unsigned char* aEnd = a.ptr<unsigned char>(a.rows - 1) + a.cols;
            const unsigned char* bEnd = b.ptr<unsigned char>(b.rows - 1) + b.cols;
            if (a.data < bEnd && b.data < aEnd) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

MaskedImageSet::MaskedImageSet(std::vector<cv::Mat>& parts, bool erodeMask)
{
    if (parts.empty()) {
        throw std::runtime_error("MaskedImageSet MaskedImageSet(std::vector<cv::Mat *>) no images provided");
    }
    // The parts are independent; a bad part throws its own error, that of the
    // first bad part when there are several.
    images.resize(parts.size());
    runIndependent(static_cast<int>(parts.size()),
                   [&](int i, int) { images[static_cast<std::size_t>(i)] = MaskedImage(parts[i], erodeMask); });
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

    if (rowCount == 0 || colCount == 0) {
        return;
    }

    // Each pixel is settled from its own column of mask values, so bands of
    // rows can go to different threads, unless masks overlap in memory as
    // anything but the same view: then a write in one row could reach another.
    std::vector<const cv::Mat*> masks;
    for (MaskedImage& image : images) {
        masks.push_back(&image.validPixels());
        masks.push_back(&image.contributingPixels());
    }
    const auto settleRows = [&](const cv::Range& range) {
        std::vector<unsigned char*> contributing(count);
        std::vector<const unsigned char*> valid(count);
        for (int r = range.start; r < range.end; ++r) {
            for (std::size_t k = 0; k < count; ++k) {
                contributing[k] = images[k].contributingPixels().ptr<unsigned char>(r);
                valid[k] = images[k].validPixels().ptr<unsigned char>(r);
            }
            settleRow(contributing.data(), valid.data(), static_cast<int>(count), colCount, lastWins);
        }
    };
    if (rowsIndependent(masks)) {
        cv::parallel_for_(cv::Range(0, rowCount), settleRows);
    } else {
        settleRows(cv::Range(0, rowCount));
    }
}

MaskedImageSet takeParts(std::vector<cv::Mat>& parts, bool erodeMask)
{
    const bool allConvertible = !parts.empty() && std::all_of(parts.begin(), parts.end(), [](const cv::Mat& part) {
        return part.type() == CV_8UC3 || part.type() == CV_8UC4;
    });
    if (!allConvertible) {
        // Throws the set's or the image's own error.
        MaskedImageSet set(parts, erodeMask);
        parts.clear();
        return set;
    }
    MaskedImageSet set;
    for (cv::Mat& part : parts) {
        set.addImage(MaskedImage(part, erodeMask));
        part.release();
    }
    parts.clear();
    return set;
}

MaskedImageSet MaskedImageSet::bandPassFilter()
{
    std::vector<MaskedImage> bands(images.size());
    runIndependent(static_cast<int>(images.size()), [&](int i, int) {
        const std::size_t k = static_cast<std::size_t>(i);
        bands[k] = images[k].bandPassFilter();
    });
    MaskedImageSet filtered;
    filtered.images = std::move(bands);
    return filtered;
}

} // namespace orb
