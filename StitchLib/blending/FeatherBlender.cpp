#include "StitchLib/blending/FeatherBlender.h"

#include "StitchLib/blending/PlaneKernels.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <vector>

namespace orb {

namespace {

const cv::Size kFeatherSize(5, 5);
const double kFeatherSigma = 1.0;
// Rows on either side that the blur reaches.
const int kFeatherReach = kFeatherSize.height / 2;

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
    // Read first, so that an empty set reports the set's own error.
    images.image(0);
    const int rowCount = images.image(0).rows();
    const int colCount = images.image(0).cols();
    std::vector<MaskedImage*> sources;
    for (int j = 0; j < count; ++j) {
        MaskedImage& image = images.image(j);
        // Checked as the whole-plane operations would check them.
        for (const cv::Mat* plane : {&image.red(), &image.green(), &image.blue(), &image.validPixels(),
                                     &image.contributingPixels()}) {
            CV_Assert(plane->type() == CV_8UC1 && plane->rows == rowCount && plane->cols == colCount);
        }
        sources.push_back(&image);
    }

    cv::Mat planes[3];
    for (cv::Mat& plane : planes) {
        PlaneKernels::createPlane(plane, rowCount, colCount, CV_8UC1);
    }
    cv::Mat coverage;
    PlaneKernels::createPlane(coverage, rowCount, colCount, CV_8UC1);
    if (rowCount == 0 || colCount == 0) {
        return MaskedImage(planes[0], planes[1], planes[2], coverage, coverage);
    }

    const PlaneKernels::ByteTable& weightedColour = PlaneKernels::weighted();
    const PlaneKernels::ByteTable& normalised = PlaneKernels::normalised();
    const bool plain =
        PlaneKernels::keepsFullAndClearsNone(weightedColour) && PlaneKernels::keepsFullAndClearsNone(normalised);
    const int bandRows = PlaneKernels::bandRowsFor(colCount, 5 * count + 4);

    PlaneKernels::forRowBands(rowCount, bandRows, [&](int begin, int end) {
        // The blurred contributions of the band's rows, from the band and the
        // two rows on either side (the kernel's reach); at the image's edges
        // the blur reflects as it does on the whole plane.
        const int first = std::max(begin - kFeatherReach, 0);
        const int last = std::min(end + kFeatherReach, rowCount);
        std::vector<cv::Mat> blurred(static_cast<std::size_t>(count));
        for (int j = 0; j < count; ++j) {
            // A copy, not a view: on a view the blur would take another path
            // with other rounding. The band's own border is out of reach.
            const cv::Mat source =
                sources[static_cast<std::size_t>(j)]->contributingPixels().rowRange(first, last).clone();
            cv::GaussianBlur(source, blurred[static_cast<std::size_t>(j)], kFeatherSize, kFeatherSigma, 0.0,
                             cv::BORDER_DEFAULT);
        }
        std::vector<const uchar*> colour[3];
        std::vector<const uchar*> valid(static_cast<std::size_t>(count));
        std::vector<const uchar*> contributing(static_cast<std::size_t>(count));
        std::vector<const uchar*> weight(static_cast<std::size_t>(count));
        for (auto& c : colour) {
            c.resize(static_cast<std::size_t>(count));
        }
        for (int r = begin; r < end; ++r) {
            for (int j = 0; j < count; ++j) {
                const std::size_t k = static_cast<std::size_t>(j);
                MaskedImage& image = *sources[k];
                colour[0][k] = image.red().ptr<uchar>(r);
                colour[1][k] = image.green().ptr<uchar>(r);
                colour[2][k] = image.blue().ptr<uchar>(r);
                valid[k] = image.validPixels().ptr<uchar>(r);
                contributing[k] = image.contributingPixels().ptr<uchar>(r);
                weight[k] = blurred[k].ptr<uchar>(r - first);
            }
            uchar* out[3] = {planes[0].ptr<uchar>(r), planes[1].ptr<uchar>(r), planes[2].ptr<uchar>(r)};
            uchar* covered = coverage.ptr<uchar>(r);
            const auto blendPixel = [&](int c) {
                // Where any image contributes, and how many hold data (a mask
                // counts as 1 from 128 on, as it does divided by 255).
                bool any = false;
                int holders = 0;
                for (std::size_t k = 0; k < sources.size(); ++k) {
                    any = any || contributing[k][c] != 0;
                    holders += valid[k][c] >= 128 ? 1 : 0;
                }
                // Where at most one image has data it takes the full weight,
                // whatever the blurred seam says.
                const int single = (holders <= 1 && any) ? 255 : 0;
                int sums[3] = {0, 0, 0};
                int weightSum = 0;
                for (std::size_t k = 0; k < sources.size(); ++k) {
                    if (valid[k][c] < 128) {
                        continue; // no weight outside the image's own data
                    }
                    const uchar w = static_cast<uchar>(std::min(weight[k][c] + single, 255));
                    for (int p = 0; p < 3; ++p) {
                        sums[p] = std::min(sums[p] + weightedColour(colour[p][k][c], w), 255);
                    }
                    weightSum = std::min(weightSum + w, 255);
                }
                for (int p = 0; p < 3; ++p) {
                    out[p][c] = normalised(static_cast<uchar>(sums[p]), static_cast<uchar>(weightSum));
                }
                covered[c] = any ? 255 : 0;
            };
            int done = 0;
#if CV_SIMD128
            if (plain) {
                // Runs where no image or exactly one contributing image holds
                // data: the colour is that image's own (weight 255), or 0.
                const cv::v_uint8x16 zero = cv::v_setzero_u8();
                const cv::v_uint8x16 one = cv::v_setall_u8(1);
                const cv::v_uint8x16 half = cv::v_setall_u8(128);
                for (; done + 16 <= colCount; done += 16) {
                    cv::v_uint8x16 any = zero;
                    cv::v_uint8x16 holders = zero;
                    cv::v_uint8x16 held[3] = {zero, zero, zero};
                    for (std::size_t k = 0; k < sources.size(); ++k) {
                        const cv::v_uint8x16 isValid = cv::v_load(valid[k] + done) >= half;
                        holders = holders + (isValid & one);
                        any = any | ~(cv::v_load(contributing[k] + done) == zero);
                        for (int p = 0; p < 3; ++p) {
                            held[p] = held[p] | (cv::v_load(colour[p][k] + done) & isValid);
                        }
                    }
                    const cv::v_uint8x16 simple = (holders == zero) | ((holders == one) & any);
                    if (!cv::v_check_all(simple)) {
                        for (int c = done; c < done + 16; ++c) blendPixel(c);
                        continue;
                    }
                    for (int p = 0; p < 3; ++p) {
                        cv::v_store(out[p] + done, held[p]);
                    }
                    cv::v_store(covered + done, any);
                }
            }
#endif
            for (int c = done; c < colCount; ++c) {
                blendPixel(c);
            }
        }
    });
    return MaskedImage(planes[0], planes[1], planes[2], coverage, coverage);
}

} // namespace orb
