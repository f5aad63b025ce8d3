#include "StitchLib/blending/PlaneKernels.h"

#include <algorithm>

namespace orb {
namespace PlaneKernels {

namespace {

// 1/255 rounded to single precision, the seam finder's mask scale.
constexpr double kInverse255Single = 0.003921568859368563;

} // namespace

ByteTable::ByteTable(const Operation& operation)
{
    // Row a of both operands: a repeated, and 0..255. One call covers the table.
    cv::Mat a(256, 256, CV_8UC1);
    cv::Mat b(256, 256, CV_8UC1);
    for (int i = 0; i < 256; ++i) {
        uchar* rowA = a.ptr<uchar>(i);
        uchar* rowB = b.ptr<uchar>(i);
        for (int j = 0; j < 256; ++j) {
            rowA[j] = static_cast<uchar>(i);
            rowB[j] = static_cast<uchar>(j);
        }
    }
    cv::Mat result;
    operation(a, b, result);
    CV_Assert(result.type() == CV_8UC1 && result.size() == a.size() && result.isContinuous());
    std::copy(result.ptr<uchar>(0), result.ptr<uchar>(0) + values.size(), values.begin());
}

const ByteTable& weighted()
{
    static const ByteTable table(
        [](const cv::Mat& a, const cv::Mat& b, cv::Mat& r) { cv::multiply(a, b, r, 1.0 / 255.0, CV_8U); });
    return table;
}

const ByteTable& normalised()
{
    static const ByteTable table(
        [](const cv::Mat& a, const cv::Mat& b, cv::Mat& r) { cv::divide(a, b, r, 255.0, CV_8U); });
    return table;
}

const ByteTable& maskedSingle()
{
    static const ByteTable table(
        [](const cv::Mat& a, const cv::Mat& b, cv::Mat& r) { r = a.mul(b, kInverse255Single); });
    return table;
}

bool keepsFullAndClearsNone(const ByteTable& table)
{
    for (int x = 0; x < 256; ++x) {
        const uchar value = static_cast<uchar>(x);
        if (table(value, 255) != value || table(value, 0) != 0) {
            return false;
        }
    }
    return true;
}

void forRowBands(int rows, int bandRows, const std::function<void(int begin, int end)>& body)
{
    if (rows <= 0) {
        return;
    }
    bandRows = std::max(1, bandRows);
    const int bands = (rows + bandRows - 1) / bandRows;
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
        for (int band = range.start; band < range.end; ++band) {
            body(band * bandRows, std::min(rows, (band + 1) * bandRows));
        }
    });
}

int bandRowsFor(int cols, int planes)
{
    const long bytesPerBand = 512L * 1024L;
    const long perRow = std::max(1L, static_cast<long>(cols) * std::max(1, planes));
    return static_cast<int>(std::max(4L, std::min(256L, bytesPerBand / perRow)));
}

} // namespace PlaneKernels
} // namespace orb
