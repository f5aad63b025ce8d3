#include "sim/Texture.h"

#include <algorithm>
#include <cmath>

namespace orb {
namespace sim {

namespace {

inline std::uint32_t mixBits(std::uint32_t h)
{
    h ^= h >> 16;
    h *= 0x7feb352dU;
    h ^= h >> 15;
    h *= 0x846ca68bU;
    h ^= h >> 16;
    return h;
}

inline std::uint32_t hash2(int x, int y, std::uint32_t seed)
{
    std::uint32_t h = static_cast<std::uint32_t>(x) * 0x8da6b343U ^ static_cast<std::uint32_t>(y) * 0xd8163841U
                      ^ seed * 0xcb1ab31fU;
    h ^= h >> 15;
    h *= 0x2c1b3c6dU;
    h ^= h >> 12;
    h *= 0x297a2d39U;
    h ^= h >> 15;
    return h;
}

inline float unitFloat(std::uint32_t h) { return static_cast<float>(h >> 8) * (1.0f / 16777216.0f); }

inline float fade(float t) { return t * t * (3.0f - 2.0f * t); }

inline float clamp01(float x) { return std::min(1.0f, std::max(0.0f, x)); }

// std::floor is a library call without SSE4.1; this is the hot path of texture baking.
inline int floorInt(float x)
{
    const int i = static_cast<int>(x);
    return x < static_cast<float>(i) ? i - 1 : i;
}

inline cv::Vec3f lerp(const cv::Vec3f& a, const cv::Vec3f& b, float t) { return a + (b - a) * t; }

// Spreads a fractal sum (which clusters around 0.5) over most of [0, 1].
inline float stretch(float n, float gain) { return clamp01(0.5f + (n - 0.5f) * gain); }

inline cv::Vec3f tintFromHash(std::uint32_t h, float spread)
{
    return cv::Vec3f(1.0f + spread * (unitFloat(mixBits(h + 1)) - 0.5f),
                     1.0f + spread * (unitFloat(mixBits(h + 2)) - 0.5f),
                     1.0f + spread * (unitFloat(mixBits(h + 3)) - 0.5f));
}

// Text-like ink: lines of glyphs, each glyph a random 3 x 5 block pattern, with gaps
// between words and between lines.
bool textInk(float u, float v, float glyphW, float glyphH, std::uint32_t seed)
{
    const float pitch = glyphH * 1.7f;
    const int line = floorInt(v / pitch);
    const float lv = (v - line * pitch) / glyphH;
    if (lv >= 1.0f)
        return false;
    const int glyph = floorInt(u / glyphW);
    const float gu = (u - glyph * glyphW) / glyphW;
    const std::uint32_t h = hash2(glyph, line, seed);
    if (h % 6U == 0U)
        return false;  // word gap
    if (gu < 0.15f || gu >= 0.85f)
        return false;  // letter spacing
    const int col = std::min(2, static_cast<int>((gu - 0.15f) / 0.7f * 3.0f));
    const int row = std::min(4, static_cast<int>(lv * 5.0f));
    return ((mixBits(h) >> (col * 5 + row)) & 1U) != 0U;
}

} // namespace

float valueNoise(float x, float y, std::uint32_t seed)
{
    const int ix = floorInt(x), iy = floorInt(y);
    const float fx = static_cast<float>(ix), fy = static_cast<float>(iy);
    const float tx = fade(x - fx), ty = fade(y - fy);
    const float a = unitFloat(hash2(ix, iy, seed));
    const float b = unitFloat(hash2(ix + 1, iy, seed));
    const float c = unitFloat(hash2(ix, iy + 1, seed));
    const float d = unitFloat(hash2(ix + 1, iy + 1, seed));
    const float top = a + (b - a) * tx;
    const float bottom = c + (d - c) * tx;
    return top + (bottom - top) * ty;
}

float fractalNoise(float x, float y, int octaves, std::uint32_t seed)
{
    float sum = 0.0f, norm = 0.0f, amp = 1.0f;
    for (int i = 0; i < octaves; ++i) {
        // Rotating each octave a little hides the lattice axes.
        sum += amp * valueNoise(x, y, seed + 101U * static_cast<std::uint32_t>(i));
        norm += amp;
        amp *= 0.5f;
        const float nx = 1.6f * x - 1.2f * y + 17.3f;
        const float ny = 1.2f * x + 1.6f * y - 9.1f;
        x = nx;
        y = ny;
    }
    return sum / norm;
}

Texture::Texture(Style style, std::uint64_t seed, const cv::Vec3f& colourA, const cv::Vec3f& colourB,
                 bool posters)
    : style_(style), seed_(static_cast<std::uint32_t>(seed ^ (seed >> 32))), colourA_(colourA),
      colourB_(colourB), posters_(posters)
{
}

float Texture::pattern(float u, float v, cv::Vec3f& tint) const
{
    switch (style_) {
    case Style::Plaster:
        return 0.8f + 0.4f * valueNoise(u * 30.0f, v * 4.0f, seed_ + 41U);
    case Style::Bricks: {
        const float bw = 0.24f, bh = 0.075f, mortar = 0.011f;
        const int row = floorInt(v / bh);
        const float uu = u + ((row & 1) ? 0.5f * bw : 0.0f);
        const int col = floorInt(uu / bw);
        const float lu = uu - col * bw, lv = v - row * bh;
        if (lu < mortar || lv < mortar) {
            tint = cv::Vec3f(1.0f, 1.0f, 1.0f);
            return 1.35f;
        }
        const std::uint32_t h = hash2(col, row, seed_ + 5U);
        tint = tintFromHash(h, 0.35f);
        return 0.7f + 0.4f * unitFloat(h);
    }
    case Style::Stripes: {
        // Warped cells so stripe widths never repeat exactly.
        const float uu = u + 0.05f * valueNoise(u * 2.0f, v * 0.4f, seed_ + 9U);
        const float w = 0.045f;
        const int cell = floorInt(uu / w);
        const float lu = (uu - cell * w) / w;
        const std::uint32_t h = hash2(cell, 0, seed_ + 11U);
        if (lu < 0.09f && (h & 1U))
            return 0.35f;  // pinstripe
        const float split = 0.25f + 0.5f * unitFloat(mixBits(h + 7));
        const std::uint32_t hs = lu < split ? h : mixBits(h + 99);
        tint = tintFromHash(hs, 0.6f);
        return 0.75f + 0.5f * unitFloat(hs);
    }
    case Style::Tiles: {
        const float size = 0.4f, grout = 0.012f;
        const int ti = floorInt(u / size), tj = floorInt(v / size);
        const float lu = u - ti * size, lv = v - tj * size;
        if (lu < grout || lv < grout)
            return 0.45f;
        const std::uint32_t h = hash2(ti, tj, seed_ + 21U);
        tint = tintFromHash(h, 0.3f);
        const float speck = valueNoise(u * 140.0f, v * 140.0f, seed_ + 23U);
        const float vein = std::abs(std::sin((u + v) * 9.0f + 6.0f * valueNoise(u * 5.0f, v * 5.0f, h)));
        return (0.8f + 0.3f * unitFloat(h)) * (speck > 0.78f ? 0.55f : 1.0f) * (0.85f + 0.3f * vein);
    }
    case Style::Panels: {
        const float size = 0.6f, seam = 0.01f;
        const int pi = floorInt(u / size), pj = floorInt(v / size);
        const float lu = u - pi * size, lv = v - pj * size;
        if (lu < seam || lv < seam)
            return 0.4f;
        tint = tintFromHash(hash2(pi, pj, seed_ + 31U), 0.2f);
        const float pitch = 0.025f;
        const int di = floorInt(u / pitch), dj = floorInt(v / pitch);
        const float du = u - (di + 0.5f) * pitch, dv = v - (dj + 0.5f) * pitch;
        const std::uint32_t hd = hash2(di, dj, seed_ + 33U);
        if ((hd & 3U) != 0U && du * du + dv * dv < 0.0055f * 0.0055f)
            return 0.3f;
        return 1.0f;
    }
    case Style::Checker: {
        const float uu = u + 0.02f * valueNoise(u * 4.0f, v * 4.0f, seed_ + 43U);
        const float vv = v + 0.02f * valueNoise(u * 4.0f + 7.0f, v * 4.0f, seed_ + 45U);
        const float size = 0.06f;
        const int ci = floorInt(uu / size), cj = floorInt(vv / size);
        const std::uint32_t h = hash2(ci, cj, seed_ + 47U);
        tint = tintFromHash(h, 0.9f);
        return ((ci + cj) & 1) ? 1.2f : 0.6f + 0.3f * unitFloat(h);
    }
    case Style::Labels: {
        const float band = 0.16f;
        const int bi = floorInt(v / band);
        const float lv = v - bi * band;
        if (lv < 0.008f)
            return 0.35f;
        const std::uint32_t h = hash2(bi, 0, seed_ + 51U);
        tint = tintFromHash(h, 0.8f);
        const float glyph = 0.02f + 0.02f * unitFloat(mixBits(h + 5));
        if (lv > 0.025f && lv < band - 0.02f
            && textInk(u + 0.3f * unitFloat(h), lv - 0.025f, glyph, glyph * 1.35f, seed_ + h))
            return 0.25f;
        return 1.15f;
    }
    }
    return 1.0f;
}

bool Texture::poster(float u, float v, cv::Vec3f& out) const
{
    const float cw = 1.3f, ch = 1.0f;
    const int pi = floorInt(u / cw), pj = floorInt(v / ch);
    const std::uint32_t h = hash2(pi, pj, seed_ + 61U);
    if ((h & 3U) == 0U)
        return false;
    const float left = 0.05f + 0.3f * unitFloat(mixBits(h + 1)), right = 0.05f + 0.3f * unitFloat(mixBits(h + 2));
    const float bottom = 0.05f + 0.25f * unitFloat(mixBits(h + 3)), top = 0.05f + 0.25f * unitFloat(mixBits(h + 4));
    const float lu = u - pi * cw, lv = v - pj * ch;
    if (lu < left || lu > cw - right || lv < bottom || lv > ch - top)
        return false;
    const float pu = lu - left, pv = (ch - top) - lv;  // pv: down from the poster's top edge
    const float pw = cw - right - left, ph = ch - top - bottom;
    const cv::Vec3f paper = cv::Vec3f(0.82f, 0.85f, 0.88f).mul(tintFromHash(h, 0.25f));
    const cv::Vec3f ink = cv::Vec3f(0.15f, 0.1f, 0.12f).mul(tintFromHash(h + 9, 1.2f));
    if (pu < 0.012f || pv < 0.012f || pw - pu < 0.012f || ph - pv < 0.012f) {
        out = ink;
        return true;
    }
    const float shade = 0.9f + 0.2f * valueNoise(u * 40.0f, v * 40.0f, seed_ + 63U);
    // Title in large glyphs, then a picture block or more text, then body text.
    if (pv < 0.13f) {
        out = (pv > 0.03f && textInk(pu - 0.03f, pv - 0.03f, 0.06f, 0.08f, h)) ? ink : paper * shade;
        return true;
    }
    if ((h & 4U) && pv < 0.13f + 0.4f * ph && pu > 0.05f && pu < pw - 0.05f) {
        const float n = fractalNoise(u * 12.0f, v * 12.0f, 3, h);
        out = lerp(colourB_, cv::Vec3f(1.0f, 1.0f, 1.0f) - colourA_ * 0.7f, stretch(n, 2.5f)) * shade;
        return true;
    }
    const bool inkHere = pu > 0.03f && textInk(pu - 0.03f, pv, 0.022f, 0.03f, h + 17U);
    out = inkHere ? ink : paper * shade;
    return true;
}

cv::Vec3f Texture::baseColour(double u, double v) const
{
    const float fu = static_cast<float>(u), fv = static_cast<float>(v);
    const float large = stretch(fractalNoise(fu * 0.8f, fv * 0.8f, 3, seed_), 2.2f);
    const float hue = stretch(fractalNoise(fu * 2.1f + 17.0f, fv * 2.1f - 5.0f, 2, seed_ + 7U), 2.0f);
    const cv::Vec3f c = lerp(colourA_, colourB_, large);
    const cv::Vec3f rotated(c[1], c[2], c[0]);
    return lerp(c, rotated, 0.45f * hue);
}

cv::Vec3f Texture::finish(const cv::Vec3f& base, double u, double v) const
{
    const float fu = static_cast<float>(u), fv = static_cast<float>(v);
    cv::Vec3f c;
    if (!(posters_ && poster(fu, fv, c))) {
        const float detail = stretch(fractalNoise(fu * 7.0f, fv * 7.0f, 4, seed_ + 13U), 1.8f);
        const float grain = valueNoise(fu * 90.0f, fv * 90.0f, seed_ + 29U);
        cv::Vec3f tint(1.0f, 1.0f, 1.0f);
        const float p = pattern(fu, fv, tint);
        c = base.mul(tint) * ((0.55f + 0.6f * detail) * (0.88f + 0.24f * grain) * p);
    }
    for (int i = 0; i < 3; ++i)
        c[i] = std::min(1.0f, std::max(0.03f, c[i]));
    return c;
}

cv::Vec3f Texture::colour(double u, double v) const
{
    return finish(baseColour(u, v), u, v);
}

} // namespace sim
} // namespace orb
