#pragma once

// Straightforward whole-plane implementations of the blending steps, one
// OpenCV call per step on one thread, kept as the yardstick that the fused,
// banded passes of the library must match bit for bit.

#include "StitchLib/blending/MaskedImage.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

namespace orb {
namespace reference {

inline cv::Mat unit(const cv::Mat& mask)
{
    cv::Mat u;
    mask.convertTo(u, CV_8U, 1.0 / 255.0);
    return u;
}

inline MaskedImage fromImage(const cv::Mat& image, bool erodeMask)
{
    cv::Mat red(image.size(), CV_8UC1), green(image.size(), CV_8UC1), blue(image.size(), CV_8UC1),
        valid(image.size(), CV_8UC1);
    const int channels = image.channels();
    cv::Mat planes[] = {red, green, blue, valid};
    const int pairs[] = {0, 0, 1, 1, 2, 2, 3, 3};
    cv::mixChannels(&image, 1, planes, channels, pairs, channels);
    if (channels == 3) {
        valid.setTo(255);
    } else {
        if (erodeMask) {
            cv::erode(valid, valid, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)), cv::Point(-1, -1), 1,
                      cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
        }
        cv::threshold(valid, valid, 254.0, 255.0, cv::THRESH_BINARY);
        const cv::Mat u = unit(valid);
        cv::multiply(red, u, red, 1.0, red.type());
        cv::multiply(green, u, green, 1.0, green.type());
        cv::multiply(blue, u, blue, 1.0, blue.type());
    }
    return MaskedImage(red, green, blue, valid, valid.clone());
}

inline MaskedImage combined(MaskedImage a, MaskedImage b, bool subtract)
{
    cv::Mat planes[3];
    cv::Mat* aPlanes[] = {&a.red(), &a.green(), &a.blue()};
    cv::Mat* bPlanes[] = {&b.red(), &b.green(), &b.blue()};
    const cv::Mat u = unit(a.validPixels());
    for (int p = 0; p < 3; ++p) {
        if (subtract) {
            cv::subtract(*aPlanes[p], *bPlanes[p], planes[p]);
        } else {
            cv::add(*aPlanes[p], *bPlanes[p], planes[p]);
        }
        cv::multiply(planes[p], u, planes[p], 1.0, planes[p].type());
    }
    return MaskedImage(planes[0], planes[1], planes[2], a.validPixels().clone(), a.contributingPixels().clone());
}

inline MaskedImage resample(MaskedImage image, bool down, cv::Size size)
{
    const cv::Mat u = unit(image.validPixels());
    cv::Mat planes[4];
    cv::Mat* sources[] = {&image.red(), &image.green(), &image.blue(), &image.contributingPixels()};
    const auto pyr = [&](const cv::Mat& in, cv::Mat& out) {
        if (down) {
            cv::pyrDown(in, out, cv::Size(), cv::BORDER_DEFAULT);
        } else {
            cv::pyrUp(in, out, size, cv::BORDER_DEFAULT);
        }
    };
    for (int p = 0; p < 4; ++p) {
        cv::Mat masked;
        cv::multiply(*sources[p], u, masked, 1.0, CV_8U);
        pyr(masked, planes[p]);
    }
    cv::Mat filteredValid;
    pyr(image.validPixels(), filteredValid);
    for (int p = 0; p < 3; ++p) {
        cv::divide(planes[p], filteredValid, planes[p], 255.0);
    }
    cv::Mat valid;
    cv::threshold(filteredValid, valid, 128.0, 255.0, cv::THRESH_BINARY);
    cv::threshold(planes[3], planes[3], 128.0, 255.0, cv::THRESH_BINARY);
    cv::multiply(planes[3], unit(valid), planes[3], 1.0, CV_8U);
    return MaskedImage(planes[0], planes[1], planes[2], valid, planes[3]);
}

inline MaskedImage feather(std::vector<MaskedImage> images)
{
    const std::size_t n = images.size();
    cv::Mat coverage = images[0].contributingPixels().clone();
    cv::Mat single = unit(images[0].validPixels());
    for (std::size_t i = 1; i < n; ++i) {
        cv::add(coverage, images[i].contributingPixels(), coverage);
        cv::add(single, unit(images[i].validPixels()), single);
    }
    cv::threshold(coverage, coverage, 0.0, 255.0, cv::THRESH_BINARY);
    cv::threshold(single, single, 1.0, 255.0, cv::THRESH_BINARY_INV);
    cv::multiply(single, unit(coverage), single, 1.0, single.type());
    cv::Mat sums[3], weightSum;
    for (std::size_t j = 0; j < n; ++j) {
        cv::Mat w;
        cv::GaussianBlur(images[j].contributingPixels(), w, cv::Size(5, 5), 1.0, 0.0, cv::BORDER_DEFAULT);
        cv::add(w, single, w);
        cv::multiply(w, unit(images[j].validPixels()), w, 1.0, w.type());
        cv::Mat* planes[] = {&images[j].red(), &images[j].green(), &images[j].blue()};
        for (int p = 0; p < 3; ++p) {
            cv::Mat weighted;
            cv::multiply(*planes[p], w, weighted, 1.0 / 255.0, CV_8U);
            if (j == 0) {
                sums[p] = weighted;
            } else {
                cv::add(sums[p], weighted, sums[p]);
            }
        }
        if (j == 0) {
            weightSum = w;
        } else {
            cv::add(weightSum, w, weightSum);
        }
    }
    for (int p = 0; p < 3; ++p) {
        cv::divide(sums[p], weightSum, sums[p], 255.0);
    }
    return MaskedImage(sums[0], sums[1], sums[2], coverage, coverage);
}

// The seam finder's cut cost of a pair: (H - 1) x (W - 1) floats.
inline cv::Mat cutCost(MaskedImage a, MaskedImage b)
{
    const double inverse255 = 0.003921568859368563;
    cv::Mat overlap = a.contributingPixels().mul(b.contributingPixels(), inverse255);
    cv::erode(overlap, overlap, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(7, 7)), cv::Point(-1, -1), 1,
              cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
    cv::Mat* aPlanes[] = {&a.red(), &a.green(), &a.blue()};
    cv::Mat* bPlanes[] = {&b.red(), &b.green(), &b.blue()};
    cv::Mat cost;
    for (int p = 0; p < 3; ++p) {
        cv::Mat d1, d2, d;
        cv::subtract(*aPlanes[p], *bPlanes[p], d1);
        cv::subtract(*bPlanes[p], *aPlanes[p], d2);
        cv::add(d1, d2, d);
        cv::multiply(d, overlap, d, inverse255);
        cv::addWeighted(d, 1.0, overlap, -1.0, 255.0, d);
        cv::Mat t;
        cv::subtract(d, cv::Scalar(4), t);
        cv::Mat sum;
        cv::add(t, d, sum, cv::noArray(), CV_16S);
        sum.convertTo(d, CV_8U, 1.0, -32.0);
        if (p == 0) {
            cost = d;
        } else {
            cv::add(cost, d, cost);
        }
    }
    const cv::Rect left(0, 0, cost.cols - 1, cost.rows - 1);
    cv::Mat pairSum;
    cv::add(cost(left), cost(left + cv::Point(1, 0)), pairSum);
    cv::Mat cut;
    pairSum.convertTo(cut, CV_32F);
    return cut;
}

} // namespace reference
} // namespace orb
