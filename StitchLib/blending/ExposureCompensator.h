#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace orb {

// Matches the exposure of the cameras before blending: one gain per part and
// colour channel, chosen so that where two parts overlap their colours agree; the
// gains of overlapping parts multiply to 1, so the panorama keeps the cameras'
// average level.
class ExposureCompensator {
public:
    // Parts are reduced by this factor (area averaging) before they are compared.
    explicit ExposureCompensator(int reduction = 8);

    // Gains (B, G, R) per part from the overlaps of 8-bit BGRA parts of one size:
    // pixels every part of a pair holds fully (alpha 255 after reduction), except
    // those where the two differ grossly (misaligned content says nothing about
    // exposure). Parts without any overlap keep gain 1.
    std::vector<cv::Vec3d> estimate(const std::vector<cv::Mat>& parts) const;
    // The same gains for parts that hold nothing (four zero bytes) outside their
    // rectangles regions[i]: only where a part's regions meet another's is it
    // reduced, which for the sectors of a rig is a third of it.
    std::vector<cv::Vec3d> estimate(const std::vector<cv::Mat>& parts,
                                    const std::vector<std::vector<cv::Rect>>& regions) const;

    // Multiplies each part's colour by its gains, saturating; alpha is kept. A
    // saturated sample (255) under a gain below 1 becomes the middle of the values it
    // can stand for (255 * gain up to 255) instead of the lowest of them.
    static void apply(std::vector<cv::Mat>& parts, const std::vector<cv::Vec3d>& gains);
    // The same for parts that hold nothing outside their disjoint rectangles
    // regions[i]: only those are gone over.
    static void apply(std::vector<cv::Mat>& parts, const std::vector<cv::Vec3d>& gains,
                      const std::vector<std::vector<cv::Rect>>& regions);

private:
    std::vector<cv::Vec3d> estimateWithin(const std::vector<cv::Mat>& parts,
                                          const std::vector<std::vector<cv::Rect>>* regions) const;

    int reduction;
};

} // namespace orb
