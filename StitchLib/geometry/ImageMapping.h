#pragma once

#include <opencv2/core.hpp>

#include <type_traits>
#include <utility>

namespace orb {
namespace ImageMapping {

// Remap-map builders: fill a CV_32FC2 map with, for every pixel of a rectangle of the
// output image, the (x, y) a mapper gives for it ((-1, -1) where it has none). Any
// mapper with setRow(int) and getCoords(int, float*) will do. Map element (i, j)
// belongs to output pixel (roi.y + i, roi.x + j).

namespace detail {

// The per-row inner loop shared by the serial and the parallel builder.
// Mappers that can fill a run of a row at once (getRowCoords) do so; the others
// go pixel by pixel.
template <typename Mapper, typename = void>
struct FillsRuns : std::false_type {};
template <typename Mapper>
struct FillsRuns<Mapper, std::void_t<decltype(std::declval<const Mapper&>().getRowCoords(0, 0, nullptr))>>
    : std::true_type {};

template <typename Mapper>
inline void fillMapRows(const cv::Rect& roi, Mapper& mapper, cv::Mat& map, int firstRow, int endRow)
{
    for (int i = firstRow; i < endRow; ++i) {
        mapper.setRow(roi.y + i);
        float* out = map.ptr<float>(i);
        if constexpr (FillsRuns<Mapper>::value) {
            mapper.getRowCoords(roi.x, roi.width, out);
        } else {
            for (int j = 0; j < roi.width; ++j)
                mapper.getCoords(roi.x + j, out + 2 * j);
        }
    }
}

} // namespace detail

// Serial builder; advances the caller's mapper, which is left at the rectangle's last row.
template <typename Mapper>
void initMap(const cv::Rect& roi, Mapper& mapper, cv::Mat& map)
{
    map.create(roi.height, roi.width, CV_32FC2);
    detail::fillMapRows(roi, mapper, map, 0, roi.height);
}

// The rectangle of the given size at the origin.
template <typename Mapper>
void initMap(const cv::Size& size, Mapper& mapper, cv::Mat& map)
{
    initMap(cv::Rect(0, 0, size.width, size.height), mapper, map);
}

// The same map built over row ranges in parallel, each worker with its own copy of
// the mapper; bit-identical to initMap. The caller's mapper ends at the rectangle's
// last row, as with initMap.
template <typename Mapper>
void initMapParallel(const cv::Rect& roi, Mapper& mapper, cv::Mat& map)
{
    map.create(roi.height, roi.width, CV_32FC2);
    if (roi.height <= 0 || roi.width <= 0) {
        detail::fillMapRows(roi, mapper, map, 0, roi.height);
        return;
    }
    const Mapper& prototype = mapper;
    cv::parallel_for_(cv::Range(0, roi.height), [&roi, &prototype, &map](const cv::Range& rows) {
        Mapper local = prototype;
        detail::fillMapRows(roi, local, map, rows.start, rows.end);
    });
    mapper.setRow(roi.y + roi.height - 1);
}

// The same map, computed on copies of the rectangle and the mapper: the caller's
// mapper is left as it was.
template <typename Mapper>
void initFastMap(cv::Rect roi, Mapper mapper, cv::Mat& map)
{
    initMapParallel(roi, mapper, map);
}

} // namespace ImageMapping
} // namespace orb
