#pragma once

#include <opencv2/core.hpp>

namespace orb {
namespace FeatherRows {

// The feather blend one row at a time, shared by the blender and by the
// spline's fused level pass.

// One image's row: colour planes, masks, and its blurred contribution.
struct Input {
    const uchar* colour[3];
    const uchar* valid;
    const uchar* contributing;
    const uchar* weight;
};

// Rows on either side of a row that its blurred contribution reads.
constexpr int kReach = 2;

// The contribution mask's rows [first, last) blurred as the blend weighs
// them, computed on a copy of those rows: exact for every row at least kReach
// rows inside the copy, or with no more rows to reach beyond the image edge.
void blurRows(const cv::Mat& contributing, int first, int last, cv::Mat& blurred);

// The blend of count images in one row of cols pixels: colour into out[0..2],
// and 255 into covered, a row of zeros, where any image contributes. Each
// pixel of out is read before it is written, so out may be an input's own
// row; values equal to what out already holds are not written. covered is
// only written, never read, so that its untouched pages cost nothing.
void blendRow(const Input* inputs, int count, int cols, uchar* const* out, uchar* covered);

} // namespace FeatherRows
} // namespace orb
