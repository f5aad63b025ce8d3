#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

namespace orb {

// Four CV_8UC4 parts laid out like those of the depth-aligned remapping: each
// camera opaque over the top strip and over its own sector with margins
// (camera 2 split over both edges), transparent elsewhere, with a one-pixel
// half-transparent rim around every sector. The colour is one shared textured
// scene, shifted by a few columns per camera to mimic parallax.
inline std::vector<cv::Mat> makeSyntheticRigParts(int rows, unsigned seed = 7)
{
    const int cols = 2 * rows;
    const int quarter = cols / 4;
    const int margin = quarter / 10;
    const int regionWidth = quarter + 2 * margin;
    const int half = quarter / 2 + margin;
    const int top = rows / 100;

    cv::Mat scene(rows, cols + 8, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(scene, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::GaussianBlur(scene, scene, cv::Size(5, 5), 1.5);

    std::vector<cv::Mat> parts;
    for (int camera = 0; camera < 4; ++camera) {
        cv::Mat colour = scene(cv::Rect(2 * camera, 0, cols, rows));
        cv::Mat part(rows, cols, CV_8UC4, cv::Scalar::all(0));
        std::vector<cv::Rect> regions{cv::Rect(0, 0, cols, top)};
        if (camera == 2) {
            regions.emplace_back(0, top, half, rows - top);
            regions.emplace_back(cols - half, top, half, rows - top);
        } else {
            const int centre = ((camera + 2) % 4) * quarter;
            regions.emplace_back(centre - half, top, regionWidth, rows - top);
        }
        for (const cv::Rect& region : regions) {
            if (region.area() == 0) {
                continue;
            }
            cv::Mat view = part(region);
            cv::cvtColor(colour(region), view, cv::COLOR_BGR2BGRA);
        }
        // Soft rim where the camera's area ends inside the panorama.
        for (const cv::Rect& region : regions) {
            if (region.x > 0) {
                part(cv::Rect(region.x, top, 1, rows - top)).forEach<cv::Vec4b>(
                    [](cv::Vec4b& p, const int*) { p[3] = 128; });
            }
            if (region.x + region.width < cols) {
                part(cv::Rect(region.x + region.width - 1, top, 1, rows - top)).forEach<cv::Vec4b>(
                    [](cv::Vec4b& p, const int*) { p[3] = 128; });
            }
        }
        parts.push_back(part);
    }
    return parts;
}

} // namespace orb
