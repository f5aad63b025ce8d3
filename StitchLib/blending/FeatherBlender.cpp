#include "StitchLib/blending/FeatherBlender.h"

#include <opencv2/imgproc.hpp>

namespace orb {

namespace {

const cv::Size kFeatherSize(5, 5);
const double kFeatherSigma = 1.0;
const double kInverse255 = 1.0 / 255.0;

} // namespace

MaskedImage FeatherBlender::blend(MaskedImage first, MaskedImage second)
{
    MaskedImageSet pair;
    pair.addImage(first);
    pair.addImage(second);
    return blend(pair);
}

MaskedImage FeatherBlender::blend(MaskedImageSet images)
{
    const int count = static_cast<int>(images.numImages());
    // Scratch buffers reused across images: full-size allocations are costly.
    cv::Mat unit;

    // Where any image contributes, and how many images hold data.
    cv::Mat coverage = images.image(0).contributingPixels().clone();
    cv::Mat single = unitMask(images.image(0).validPixels());
    for (int i = 1; i < count; ++i) {
        cv::add(coverage, images.image(i).contributingPixels(), coverage);
        unitMask(images.image(i).validPixels(), unit);
        cv::add(single, unit, single);
    }
    cv::threshold(coverage, coverage, 0.0, 255.0, cv::THRESH_BINARY);
    // Where at most one image has data it takes the full weight, whatever the
    // blurred seam says.
    cv::threshold(single, single, 1.0, 255.0, cv::THRESH_BINARY_INV);
    unitMask(coverage, unit);
    cv::multiply(single, unit, single, 1.0, single.type());

    cv::Mat sums[3];
    cv::Mat weightSum;
    cv::Mat weight;
    cv::Mat weighted;
    for (int j = 0; j < count; ++j) {
        MaskedImage& image = images.image(j);
        cv::Mat& w = j == 0 ? weightSum : weight;
        cv::GaussianBlur(image.contributingPixels(), w, kFeatherSize, kFeatherSigma, 0.0, cv::BORDER_DEFAULT);
        cv::add(w, single, w);
        unitMask(image.validPixels(), unit);
        cv::multiply(w, unit, w, 1.0, w.type());

        const cv::Mat* planes[] = {&image.red(), &image.green(), &image.blue()};
        for (int p = 0; p < 3; ++p) {
            if (j == 0) {
                cv::multiply(*planes[p], w, sums[p], kInverse255, planes[p]->type());
            } else {
                cv::multiply(*planes[p], w, weighted, kInverse255, planes[p]->type());
                cv::add(sums[p], weighted, sums[p]);
            }
        }
        if (j > 0) {
            cv::add(weightSum, weight, weightSum);
        }
    }
    unit.release();
    single.release();
    weight.release();
    weighted.release();

    for (cv::Mat& sum : sums) {
        cv::divide(sum, weightSum, sum, 255.0);
    }
    return MaskedImage(sums[0], sums[1], sums[2], coverage, coverage);
}

} // namespace orb
