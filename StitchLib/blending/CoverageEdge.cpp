#include "StitchLib/blending/CoverageEdge.h"

#include <opencv2/core/utility.hpp>

#include <stdexcept>

namespace orb {

void restoreRim(cv::Mat& part, int minAlpha)
{
    if (part.type() != CV_8UC4)
        throw std::runtime_error("restoreRim() needs an 8-bit BGRA part");
    cv::parallel_for_(cv::Range(0, part.rows), [&part, minAlpha](const cv::Range& rows) {
        for (int r = rows.start; r < rows.end; ++r) {
            cv::Vec4b* p = part.ptr<cv::Vec4b>(r);
            for (int c = 0; c < part.cols; ++c) {
                const int a = p[c][3];
                if (a == 255 || a == 0)
                    continue;
                if (a < minAlpha) {
                    p[c] = cv::Vec4b(0, 0, 0, 0);
                    continue;
                }
                for (int k = 0; k < 3; ++k)
                    p[c][k] = cv::saturate_cast<uchar>(p[c][k] * 255.0 / a);
                p[c][3] = 255;
            }
        }
    });
}

} // namespace orb
