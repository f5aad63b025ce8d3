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

    // Where any image contributes, and how many images hold data.
    cv::Mat coverage = images.image(0).contributingPixels().clone();
    cv::Mat validCount = unitMask(images.image(0).validPixels());
    for (int i = 1; i < count; ++i) {
        cv::add(coverage, images.image(i).contributingPixels(), coverage);
        cv::add(validCount, unitMask(images.image(i).validPixels()), validCount);
    }
    cv::threshold(coverage, coverage, 0.0, 255.0, cv::THRESH_BINARY);
    // Where at most one image has data it takes the full weight, whatever the
    // blurred seam says.
    cv::Mat single;
    cv::threshold(validCount, single, 1.0, 255.0, cv::THRESH_BINARY_INV);
    validCount.release();
    cv::multiply(single, unitMask(coverage), single, 1.0, single.type());

    cv::Mat sums[3];
    cv::Mat weightSum;
    for (int j = 0; j < count; ++j) {
        MaskedImage& image = images.image(j);
        cv::Mat weight;
        cv::GaussianBlur(image.contributingPixels(), weight, kFeatherSize, kFeatherSigma, 0.0, cv::BORDER_DEFAULT);
        cv::add(weight, single, weight);
        cv::multiply(weight, unitMask(image.validPixels()), weight, 1.0, weight.type());

        const cv::Mat* planes[] = {&image.red(), &image.green(), &image.blue()};
        for (int p = 0; p < 3; ++p) {
            if (j == 0) {
                cv::multiply(*planes[p], weight, sums[p], kInverse255, planes[p]->type());
            } else {
                cv::Mat weighted;
                cv::multiply(*planes[p], weight, weighted, kInverse255, planes[p]->type());
                cv::add(sums[p], weighted, sums[p]);
            }
        }
        if (j == 0) {
            weightSum = weight;
        } else {
            cv::add(weightSum, weight, weightSum);
        }
    }
    single.release();

    for (cv::Mat& sum : sums) {
        cv::divide(sum, weightSum, sum, 255.0);
    }
    return MaskedImage(sums[0], sums[1], sums[2], coverage, coverage);
}

} // namespace orb
