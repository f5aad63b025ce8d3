#include "StitchLib/blending/SeamFinderBase.h"

#include <algorithm>

namespace orb {

namespace {

// Clears target[c] wherever neighbour[c] is 0, for c in [0, count).
inline void propagateZeros(const unsigned char* neighbour, unsigned char* target, int count)
{
    for (int c = 0; c < count; ++c) {
        target[c] = neighbour[c] == 0 ? 0 : target[c];
    }
}

} // namespace

void SeamFinderBase::simplifyMask(cv::Mat& mask)
{
    const int rows = mask.rows;
    const int columns = mask.cols - 1; // the last column is left as it is

    // The row bounds are clamped so that masks too short for the rule are
    // still only touched inside; for five rows or more they change nothing.
    for (int r = std::max(rows / 4, 1); r < rows; ++r) {
        propagateZeros(mask.ptr<unsigned char>(r - 1), mask.ptr<unsigned char>(r), columns);
    }
    for (int r = std::min((3 * rows) / 4, rows - 2); r >= 0; --r) {
        propagateZeros(mask.ptr<unsigned char>(r + 1), mask.ptr<unsigned char>(r), columns);
    }
}

} // namespace orb
