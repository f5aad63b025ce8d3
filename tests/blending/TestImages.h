#pragma once

#include "StitchLib/blending/MaskedImage.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orb {
namespace test {

inline cv::Mat filled(int rows, int cols, uchar value) { return cv::Mat(rows, cols, CV_8UC1, cv::Scalar(value)); }

inline cv::Mat randomMat(int rows, int cols, int type, unsigned seed)
{
    cv::Mat image(rows, cols, type);
    cv::RNG(seed).fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

// 255 in columns [first, last), 0 elsewhere.
inline cv::Mat columns(int rows, int cols, int first, int last)
{
    cv::Mat mask = filled(rows, cols, 0);
    mask.colRange(first, last).setTo(255);
    return mask;
}

// Image with three copies of one colour plane and copies of the masks.
inline MaskedImage grey(const cv::Mat& colour, const cv::Mat& valid, const cv::Mat& contributing)
{
    return MaskedImage(colour.clone(), colour.clone(), colour.clone(), valid.clone(), contributing.clone());
}

inline MaskedImage flat(int rows, int cols, uchar colour, uchar valid = 255, uchar contributing = 255)
{
    return grey(filled(rows, cols, colour), filled(rows, cols, valid), filled(rows, cols, contributing));
}

// Same size, type and values.
inline bool same(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0);
}

inline std::string messageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no exception";
}

// Four CV_8UC4 parts laid out like those of the depth-aligned remapping: each
// camera opaque over the top strip and over its own sector with margins
// (camera 2 split over both edges), transparent elsewhere, with a one-pixel
// half-transparent rim around every sector. The colour is one shared textured
// scene, shifted by a few columns per camera to mimic parallax.
// The regions of a rig's camera part (rows x 2 rows): a top strip and its sector
// with a tenth of a quarter turn of margin either side.
inline std::vector<cv::Rect> syntheticRigRegions(int camera, int rows)
{
    const int cols = 2 * rows;
    const int quarter = cols / 4;
    const int margin = quarter / 10;
    const int regionWidth = quarter + 2 * margin;
    const int half = quarter / 2 + margin;
    const int top = rows / 100;
    std::vector<cv::Rect> regions{cv::Rect(0, 0, cols, top)};
    if (camera == 2) {
        regions.emplace_back(0, top, half, rows - top);
        regions.emplace_back(cols - half, top, half, rows - top);
    } else {
        const int centre = ((camera + 2) % 4) * quarter;
        regions.emplace_back(centre - half, top, regionWidth, rows - top);
    }
    return regions;
}

inline std::vector<cv::Mat> makeSyntheticRigParts(int rows, unsigned seed = 7)
{
    const int cols = 2 * rows;
    const int top = rows / 100;

    cv::Mat scene(rows, cols + 8, CV_8UC3);
    cv::RNG(seed).fill(scene, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::GaussianBlur(scene, scene, cv::Size(5, 5), 1.5);

    std::vector<cv::Mat> parts;
    for (int camera = 0; camera < 4; ++camera) {
        cv::Mat colour = scene(cv::Rect(2 * camera, 0, cols, rows));
        cv::Mat part(rows, cols, CV_8UC4, cv::Scalar::all(0));
        const std::vector<cv::Rect> regions = syntheticRigRegions(camera, rows);
        for (const cv::Rect& region : regions) {
            if (region.area() > 0) {
                cv::Mat view = part(region);
                cv::cvtColor(colour(region), view, cv::COLOR_BGR2BGRA);
            }
        }
        // Soft rim where the camera's area ends inside the panorama.
        const auto rim = [&](int x) {
            part(cv::Rect(x, top, 1, rows - top)).forEach<cv::Vec4b>([](cv::Vec4b& p, const int*) { p[3] = 128; });
        };
        for (const cv::Rect& region : regions) {
            if (region.x > 0) {
                rim(region.x);
            }
            if (region.x + region.width < cols) {
                rim(region.x + region.width - 1);
            }
        }
        parts.push_back(part);
    }
    return parts;
}

} // namespace test
} // namespace orb
