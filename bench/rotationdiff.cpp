// quadstitch-rotation-diff A.yaml B.yaml: per camera the angle (degrees) of the
// rotation between A's and B's camera orientations, then their median.
#include "StitchLib/input/CalibrationFile.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: quadstitch-rotation-diff A.yaml B.yaml\n");
        return 1;
    }
    try {
        const auto a = orb::input::readCalibration(argv[1], 4);
        const auto b = orb::input::readCalibration(argv[2], 4);
        std::vector<double> angles;
        for (std::size_t c = 0; c < a.size(); ++c) {
            const cv::Matx33d ra(orb::rotationBToC(a[c])), rb(orb::rotationBToC(b[c]));
            const cv::Matx33d d = ra * rb.t();
            // atan2 of sine and cosine: acos alone loses small angles to rounding.
            const double sine = 0.5 * std::sqrt((d(2, 1) - d(1, 2)) * (d(2, 1) - d(1, 2)) +
                                                (d(0, 2) - d(2, 0)) * (d(0, 2) - d(2, 0)) +
                                                (d(1, 0) - d(0, 1)) * (d(1, 0) - d(0, 1)));
            angles.push_back(std::atan2(sine, (cv::trace(d) - 1.0) / 2.0) * 180.0 / CV_PI);
            std::printf("camera %zu: %.4f deg\n", c + 1, angles.back());
        }
        std::vector<double> sorted = angles;
        std::sort(sorted.begin(), sorted.end());
        std::printf("median: %.4f deg\n", 0.5 * (sorted[1] + sorted[2]));
        std::printf("largest: %.4f deg\n", sorted.back());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quadstitch-rotation-diff: %s\n", e.what());
        return 2;
    }
    return 0;
}
