#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

namespace orb {
namespace sim {

// Procedural surface texture over metric surface coordinates (u along the surface,
// v upwards on vertical surfaces). Every style carries colour variation over metres
// and luminance detail down to about a centimetre, so that stereo matching and seam
// finding find structure everywhere; the style adds its own pattern on top.
// Colours are BGR in [0, 1] and never pure black.
class Texture {
public:
    enum class Style {
        Plaster,   // mottled paint
        Bricks,    // staggered bricks with mortar
        Stripes,   // wallpaper with stripes of irregular width
        Tiles,     // floor tiles with grout and speckle
        Panels,    // ceiling panels with perforation dots
        Checker,   // irregular coloured checks
        Labels     // object wrapped in text-covered labels
    };

    Texture(Style style, std::uint64_t seed, const cv::Vec3f& colourA, const cv::Vec3f& colourB,
            bool posters);

    cv::Vec3f colour(double u, double v) const;

    // colour() in two steps, so that the slowly varying part can be evaluated on a
    // coarse grid and interpolated: baseColour varies over tens of centimetres and
    // more, finish adds everything finer.
    cv::Vec3f baseColour(double u, double v) const;
    cv::Vec3f finish(const cv::Vec3f& base, double u, double v) const;

private:
    float pattern(float u, float v, cv::Vec3f& tint) const;
    bool poster(float u, float v, cv::Vec3f& out) const;

    Style style_;
    std::uint32_t seed_;
    cv::Vec3f colourA_, colourB_;
    bool posters_;
};

// Value noise and fractal sums of it in [0, 1]; deterministic for a seed.
float valueNoise(float x, float y, std::uint32_t seed);
float fractalNoise(float x, float y, int octaves, std::uint32_t seed);

} // namespace sim
} // namespace orb
