#include "StitchLib/stereo/DepthModel.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace orb {
namespace Stereo {

float sigmoid(float a, float b, float c, float d, float x)
{
    const float mid = (d - c) * 0.5f + c;
    const float half = 0.5f * (d - c);
    const float k = ((x - a) * half) / b;
    const float u = (x - a) / b;
    // powf, not std::pow(float, int): the latter widens to double.
    const float r = std::sqrt(1.0f + std::pow(u, 2.0f));
    return k / r + mid;
}

float smoothingSchedule(int t)
{
    const float x = static_cast<float>(t);
    return sigmoid(4.0f, 4.0f, 40.0f, 0.0f, x) + sigmoid(28.0f, 2.0f, 1.0f, 40.0f, x);
}

cv::Mat makeTransitionMatrix(int n, float s)
{
    cv::Mat result(n, n, CV_32F);
    const double sd = static_cast<double>(s / static_cast<float>(n));
    const double vs = sd * sd;
    std::vector<double> p(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double mu = (i + 0.5) / n;
        // Capping the variance keeps alpha and beta non-negative; large spreads
        // then give U-shaped columns, which is intended.
        const double v = std::min(std::min(vs, mu / 2.0), (1.0 - mu) / 2.0);
        const double alpha = mu * mu * ((1.0 - mu) / v - 1.0 / mu);
        const double beta = (1.0 / mu - 1.0) * alpha;
        double sum = 0.0;
        for (int j = 0; j < n; ++j) {
            const double x = (j + 0.5) / n;
            p[j] = std::pow(x, alpha - 1.0) * std::pow(1.0 - x, beta - 1.0);
            sum += p[j];
        }
        for (int k = 0; k < n; ++k)
            result.at<float>(k, i) = static_cast<float>(p[k] / sum);
    }
    return result;
}

namespace {

// Mean and spread of the prior, in hypotheses, over band numbers counted from 1.
float priorMean(float x)
{
    return sigmoid(28.0f, 2.0f, 0.0f, 35.0f, x) + sigmoid(8.0f, 4.0f, 35.0f, 10.0f, x);
}

float priorSpread(float x)
{
    return sigmoid(28.0f, 2.0f, 0.0f, 10.0f, x) + sigmoid(8.0f, 4.0f, 19.5f, 6.0f, x);
}

} // namespace

cv::Mat makePrior(int bands, int n)
{
    cv::Mat result(bands, n, CV_32F);
    const float nf = static_cast<float>(n);
    for (int t = 0; t < bands; ++t) {
        const float x = static_cast<float>(t + 1);
        const float mu = (priorMean(x) - 0.5f) / nf;
        const float v = std::pow(priorSpread(x) / nf, 2.0f);
        const float alpha = std::pow(mu, 2.0f) * ((1.0f - mu) / v - 1.0f / mu);
        const float beta = (1.0f / mu - 1.0f) * alpha;
        float* row = result.ptr<float>(t);
        float sum = 0.0f;
        for (int j = 0; j < n; ++j) {
            const float xj = (static_cast<float>(j) + 0.5f) / nf;
            row[j] = std::pow(1.0f - xj, beta - 1.0f) * std::pow(xj, alpha - 1.0f);
            sum += row[j];
        }
        for (int j = 0; j < n; ++j)
            row[j] = row[j] / sum;
    }
    return result;
}

void normalizeRows(cv::Mat& m)
{
    if (m.empty())
        return;
    if (m.type() != CV_32F)
        throw std::runtime_error("Stereo normalizeRows() requires a single-channel float matrix");
    // Row pointers rather than one flat index: identical for continuous
    // matrices, and a strided view is not read across its row gaps.
    for (int i = 0; i < m.rows; ++i) {
        float* row = m.ptr<float>(i);
        float sum = 0.0f;
        for (int j = 0; j < m.cols; ++j)
            sum += row[j];
        for (int j = 0; j < m.cols; ++j)
            row[j] = row[j] / sum;
    }
}

} // namespace Stereo
} // namespace orb
