#include "StitchLib/blending/FeatherBlender.h"

#include "StitchLib/blending/ParallelUnits.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <vector>

namespace orb {

namespace {

const cv::Size kFeatherSize(5, 5);
const double kFeatherSigma = 1.0;
const double kInverse255 = 1.0 / 255.0;

cv::Mat& colourPlane(MaskedImage& image, int plane)
{
    return plane == 0 ? image.red() : plane == 1 ? image.green() : image.blue();
}

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
    // Read on this thread, so that an empty set reports the set's own error.
    const cv::Mat& firstContributing = images.image(0).contributingPixels();
    const cv::Mat& firstValid = images.image(0).validPixels();
    // One scratch plane per worker, reused: full-size allocations are costly.
    std::vector<cv::Mat> scratch(static_cast<std::size_t>(independentWorkers(std::max(2 + count, 4))));

    // Independent: where any image contributes, how many images hold data,
    // and the blurred contribution of each image.
    cv::Mat coverage;
    cv::Mat single;
    std::vector<cv::Mat> weights(static_cast<std::size_t>(count));
    runIndependent(2 + count, [&](int k, int worker) {
        if (k == 0) {
            coverage = firstContributing.clone();
            for (int i = 1; i < count; ++i) {
                cv::add(coverage, images.image(i).contributingPixels(), coverage);
            }
            cv::threshold(coverage, coverage, 0.0, 255.0, cv::THRESH_BINARY);
        } else if (k == 1) {
            cv::Mat& unit = scratch[static_cast<std::size_t>(worker)];
            single = unitMask(firstValid);
            for (int i = 1; i < count; ++i) {
                unitMask(images.image(i).validPixels(), unit);
                cv::add(single, unit, single);
            }
            // Where at most one image has data it takes the full weight,
            // whatever the blurred seam says.
            cv::threshold(single, single, 1.0, 255.0, cv::THRESH_BINARY_INV);
        } else {
            const int j = k - 2;
            cv::GaussianBlur(images.image(j).contributingPixels(), weights[static_cast<std::size_t>(j)],
                             kFeatherSize, kFeatherSigma, 0.0, cv::BORDER_DEFAULT);
        }
    });
    unitMask(coverage, scratch[0]);
    cv::multiply(single, scratch[0], single, 1.0, single.type());

    // Each image's weight: none outside its own data.
    runIndependent(count, [&](int j, int worker) {
        cv::Mat& w = weights[static_cast<std::size_t>(j)];
        cv::Mat& unit = scratch[static_cast<std::size_t>(worker)];
        cv::add(w, single, w);
        unitMask(images.image(j).validPixels(), unit);
        cv::multiply(w, unit, w, 1.0, w.type());
    });
    single.release();

    // Independent: the weighted colour of each plane summed over the images,
    // and the weights summed, each in image order.
    cv::Mat sums[3];
    cv::Mat weightSum;
    runIndependent(4, [&](int p, int worker) {
        if (p == 3) {
            // Into a buffer of its own: the colour sums still read the weights.
            if (count == 1) {
                weightSum = weights[0];
                return;
            }
            cv::add(weights[0], weights[1], weightSum);
            for (int j = 2; j < count; ++j) {
                cv::add(weightSum, weights[static_cast<std::size_t>(j)], weightSum);
            }
            return;
        }
        cv::Mat& weighted = scratch[static_cast<std::size_t>(worker)];
        for (int j = 0; j < count; ++j) {
            const cv::Mat& plane = colourPlane(images.image(j), p);
            const cv::Mat& w = weights[static_cast<std::size_t>(j)];
            if (j == 0) {
                cv::multiply(plane, w, sums[p], kInverse255, plane.type());
            } else {
                cv::multiply(plane, w, weighted, kInverse255, plane.type());
                cv::add(sums[p], weighted, sums[p]);
            }
        }
    });
    runIndependent(3, [&](int p, int) { cv::divide(sums[p], weightSum, sums[p], 255.0); });
    return MaskedImage(sums[0], sums[1], sums[2], coverage, coverage);
}

} // namespace orb
