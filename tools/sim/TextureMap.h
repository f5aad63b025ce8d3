#pragma once

#include "sim/Texture.h"

#include <opencv2/core.hpp>

namespace orb {
namespace sim {

// A texture evaluated once over a rectangle of surface coordinates and then sampled
// bilinearly: tracing tens of millions of rays stays fast while every camera still
// sees the same surface. Outside the rectangle the edge texels repeat. The texture's
// slowly varying base colour is itself interpolated from a 4 cm grid.
class TextureMap {
public:
    // Texel centres lie at uMin + (j + 0.5) texelSize, vMin + (i + 0.5) texelSize.
    TextureMap(const Texture& texture, const cv::Rect2d& uvArea, double texelSize);

    cv::Vec3f sample(double u, double v) const;
    const cv::Mat& texels() const { return texels_; }

private:
    cv::Mat texels_;  // CV_16UC3, BGR scaled to 0..65535: precise and half the size of float
    double uMin_, vMin_, scale_;
};

} // namespace sim
} // namespace orb
