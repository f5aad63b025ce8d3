#include "StitchLib/mapping/RemapParts.h"

#include "StitchLib/blending/PlaneKernels.h"
#include "StitchLib/mapping/CubicRemap.h"
#include "StitchLib/mapping/DepthAlignedMapper.h"
#include "StitchLib/geometry/EqrToFisheye.h"
#include "StitchLib/geometry/ImageMapping.h"
#include "StitchLib/geometry/Rig.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace orb {
namespace BaseApi {

namespace {

// A rows x cols CV_8UC4 matrix of zeros (fully transparent). A large one is a
// fresh mapping, whose pages are only stored once a camera's region is written
// into them: each camera covers about a third of its part, so most of the
// part's transparent zeros never take memory, nor time to write.
cv::Mat transparentPart(int rows, int cols)
{
    cv::Mat part;
    PlaneKernels::createZeroPlane(part, rows, cols, CV_8UC4);
    return part;
}

// Share of a linear kernel at x that falls on samples 0 .. size - 1.
inline float insideShare(float x, int size)
{
    return std::min(1.0f, std::max(0.0f, std::min(x + 1.0f, static_cast<float>(size) - x)));
}

// Cubic resampling of a BGRA image into target. The image's border is replicated, so
// no zeros outside it darken (or, through the kernel's negative lobes, brighten) the
// samples near its edge; the rim then gets the alpha of linear resampling with a
// transparent border, and its colour is mixed with zeros in the same proportion.
void remapSharp(const cv::Mat& bgra, cv::Mat& target, const cv::Mat& map)
{
    remapCubicReplicate(bgra, target, map);
#if defined(__SSE2__)
    const __m128 width = _mm_set1_ps(static_cast<float>(bgra.cols));
    const __m128 height = _mm_set1_ps(static_cast<float>(bgra.rows));
#endif
    cv::parallel_for_(cv::Range(0, target.rows), [&](const cv::Range& rows) {
        for (int r = rows.start; r < rows.end; ++r) {
            const cv::Vec2f* m = map.ptr<cv::Vec2f>(r);
            cv::Vec4b* p = target.ptr<cv::Vec4b>(r);
            int c = 0;
            while (c < target.cols) {
#if defined(__SSE2__)
                // Almost every pixel samples well inside the image: four at a time
                // are passed over when each one's share is whole. The share is whole
                // exactly when x + 1 and size - x reach 1 on both axes, the same
                // float operations insideShare() takes.
                if (c + 4 <= target.cols) {
                    const __m128 one = _mm_set1_ps(1.0f);
                    const __m128 a = _mm_loadu_ps(&m[c][0]);
                    const __m128 b = _mm_loadu_ps(&m[c + 2][0]);
                    const __m128 xs = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
                    const __m128 ys = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
                    const __m128 whole = _mm_and_ps(
                        _mm_and_ps(_mm_cmpge_ps(_mm_add_ps(xs, one), one), _mm_cmpge_ps(_mm_sub_ps(width, xs), one)),
                        _mm_and_ps(_mm_cmpge_ps(_mm_add_ps(ys, one), one), _mm_cmpge_ps(_mm_sub_ps(height, ys), one)));
                    if (_mm_movemask_ps(whole) == 0xF) {
                        c += 4;
                        continue;
                    }
                }
#endif
                const int end = std::min(target.cols, c + 4);
                for (; c < end; ++c) {
                    const float share = insideShare(m[c][0], bgra.cols) * insideShare(m[c][1], bgra.rows);
                    if (share >= 1.0f)
                        continue;
                    const int alpha = static_cast<int>(std::lround(255.0f * share));
                    for (int k = 0; k < 3; ++k)
                        p[c][k] = static_cast<uchar>((p[c][k] * alpha + 127) / 255);
                    p[c][3] = static_cast<uchar>(alpha);
                }
            }
        }
    });
}

// Rows of a region whose map is built and used at once: the map of a band
// (a few hundred kilobytes) stays in cache, and no map of the whole region
// (over 100 MB at full size) is written, faulted in and read back.
constexpr int kBandRows = 8;

// Columns [first, end) of the band's map that hold a position; (-1, -1)
// elsewhere. Empty (first == end) when none do.
void mappedColumns(const cv::Mat& map, int& first, int& end)
{
    first = map.cols;
    end = 0;
    for (int r = 0; r < map.rows; ++r) {
        const cv::Vec2f* m = map.ptr<cv::Vec2f>(r);
        int c = 0;
        while (c < first && m[c][0] == -1.0f && m[c][1] == -1.0f)
            ++c;
        first = std::min(first, c);
        int last = map.cols;
        while (last > end && m[last - 1][0] == -1.0f && m[last - 1][1] == -1.0f)
            --last;
        end = std::max(end, last);
    }
    if (end < first)
        end = first;
}

// Remaps one region of a part, band by band on all cores, each band's map
// built just before it is used. A pixel whose map holds no position,
// (-1, -1), would be remapped to transparent zeros, which the part already
// holds there: only the columns between the band's first and last mapped
// pixel are remapped, so that the part's pages outside its camera's view are
// never written. Each pixel is remapped from its own map entry alone, so the
// bands give the bits of one remap of the whole region.
template <typename Mapper>
void remapRegion(const cv::Mat& bgra, cv::Mat& part, const cv::Rect& region, const Mapper& mapper, bool sharp)
{
    const int bands = (region.height + kBandRows - 1) / kBandRows;
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
        Mapper local = mapper;
        cv::Mat buffer(kBandRows, region.width, CV_32FC2);
        for (int b = range.start; b < range.end; ++b) {
            const int begin = b * kBandRows;
            const int rows = std::min(kBandRows, region.height - begin);
            const cv::Rect band(region.x, region.y + begin, region.width, rows);
            cv::Mat map = buffer.rowRange(0, rows);
            ImageMapping::detail::fillMapRows(band, local, map, 0, rows);
            int first = 0;
            int end = 0;
            mappedColumns(map, first, end);
            if (first == end)
                continue;
            const cv::Mat spanMap = map.colRange(first, end);
            cv::Mat target = part(cv::Rect(band.x + first, band.y, end - first, rows));
            if (sharp) {
                remapSharp(bgra, target, spanMap);
                continue;
            }
            cv::remap(bgra, target, spanMap, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
        }
    });
}

} // namespace

std::vector<cv::Mat> remapPartsWithExtrinsics(const cv::Matx44f& extrinsic, const ScanImages& scan,
                                              const std::vector<CameraIntrinsics>& cameras,
                                              const std::vector<cv::Mat>& images, float maxAngle, bool sharp)
{
    if (images.size() < cameras.size())
        throw std::runtime_error("BaseApi remapPartsWithExtrinsics() fewer images than cameras");

    const int rows = scan.inverseDepth.rows;
    const int cols = scan.inverseDepth.cols;
    std::vector<cv::Mat> parts;

    for (std::size_t i = 0; i < cameras.size(); ++i) {
        const std::vector<cv::Rect> regions = Rig::partRegions(static_cast<int>(i), rows, cols);

        cv::Mat bgra;
        cv::cvtColor(images[i], bgra, cv::COLOR_BGR2BGRA);
        // A remap into a part view of another type would reallocate the view and leave
        // the part empty without a word.
        if (bgra.type() != CV_8UC4)
            throw std::runtime_error("BaseApi remapPartsWithExtrinsics() image " + std::to_string(i) +
                                     " is not an 8-bit colour image");

        const DepthAlignedMapper mapper(cameras[i], extrinsic, scan.inverseDepth, scan.validRows, maxAngle);
        cv::Mat part = transparentPart(rows, 2 * rows);

        for (const cv::Rect& region : regions) {
            if (region.width <= 0 || region.height <= 0)
                continue;
            remapRegion(bgra, part, region, mapper, sharp);
        }
        parts.push_back(part);
    }
    return parts;
}

} // namespace BaseApi
} // namespace orb
