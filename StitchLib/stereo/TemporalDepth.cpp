#include "StitchLib/stereo/TemporalDepth.h"

#include "BaseLib/CoordinateSystems.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace orb {
namespace Stereo {

namespace {

// A change spreads this far (in cells), since filling carries depth sideways.
const int kChangeMargin = 3;
// Enough for any window a take would use, and the frame counts fit a byte.
const int kLongestWindow = 64;
// Reduced grey differences count as change above this many times the frames' noise
// (two frames of a static take with sensor noise of sigma 3, PNG or JPEG, differ by
// at most 4.5 noise sigmas over a camera's reduced pixels), and above kLeastChange
// levels in any case.
const double kNoiseMultiple = 6.0;
const double kLeastChange = 1.0;
// Grey level below which a reduced pixel is taken to see nothing (outside the lens).
const float kDark = 8.0f;

cv::Mat reducedGrey(const cv::Mat& image, int reduction)
{
    cv::Mat grey;
    if (image.channels() == 1)
        grey = image;
    else
        cv::cvtColor(image, grey, image.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    // Kept in floating point: the reduction averages sensor noise down to a fraction of
    // a level, which rounding would hide from the noise estimate below.
    cv::Mat wide, small;
    grey.convertTo(wide, CV_32F);
    cv::resize(wide, small, cv::Size(std::max(1, grey.cols / reduction), std::max(1, grey.rows / reduction)), 0, 0,
               cv::INTER_AREA);
    return small;
}

// The level a reduced grey difference must pass to count as a change: a multiple of
// the two frames' noise, estimated from the median difference over the pixels that
// see something (the black outside the lens circle would hide it), never below
// kLeastChange (rendering and rounding) nor above `most` (a scene in motion inflates
// the median).
double changeLevel(const cv::Mat& diff, const cv::Mat& current, double most)
{
    std::vector<float> seen;
    seen.reserve(diff.total());
    for (int r = 0; r < diff.rows; ++r) {
        const float* d = diff.ptr<float>(r);
        const float* g = current.ptr<float>(r);
        for (int c = 0; c < diff.cols; ++c)
            if (g[c] > kDark)
                seen.push_back(d[c]);
    }
    if (seen.empty())
        return most;
    auto middle = seen.begin() + static_cast<std::ptrdiff_t>(seen.size() / 2);
    std::nth_element(seen.begin(), middle, seen.end());
    // The median of |N(0, s)| is 0.6745 s.
    const double noise = *middle / 0.6745;
    return std::min(most, std::max(kLeastChange, kNoiseMultiple * noise));
}

std::vector<cv::Mat> reducedGreys(const std::vector<cv::Mat>& images, std::size_t cameras, int reduction)
{
    if (images.size() < cameras)
        throw std::runtime_error("DepthHistory needs an image per camera");
    std::vector<cv::Mat> greys;
    for (std::size_t k = 0; k < cameras; ++k)
        greys.push_back(reducedGrey(images[k], reduction));
    return greys;
}

} // namespace

DepthHistory::DepthHistory(int window, int reduction, double threshold)
    : windowFrames(window), reduction(reduction), threshold(threshold)
{
    if (window < 1 || window > kLongestWindow || reduction < 1 || !(threshold >= 0.0))
        throw std::runtime_error("DepthHistory needs a window of 1 to " + std::to_string(kLongestWindow) +
                                 " frames, a positive reduction and a non-negative threshold");
}

void DepthHistory::reset()
{
    frames.clear();
    unchanged.release();
    held.release();
    kept = 0.0;
}

bool DepthHistory::fits(const cv::Size& depthSize, const std::vector<cv::Mat>& greys) const
{
    if (frames.empty())
        return false;
    const Frame& last = frames.back();
    if (last.depth.size() != depthSize || last.greys.size() != greys.size())
        return false;
    for (std::size_t k = 0; k < greys.size(); ++k) {
        if (last.greys[k].size() != greys[k].size())
            return false;
    }
    return true;
}

void DepthHistory::push(Frame frame)
{
    if (!fits(frame.depth.size(), frame.greys))
        frames.clear();
    frames.push_back(std::move(frame));
    // The next frame joins the window; these are the ones before it.
    while (frames.size() > static_cast<std::size_t>(windowFrames - 1))
        frames.pop_front();
}

void DepthHistory::remember(const cv::Mat_<float>& filledDepth, const std::vector<cv::Mat>& images,
                            const std::vector<CameraIntrinsics>& cameras)
{
    push(Frame{reducedGreys(images, cameras.size(), reduction), filledDepth.clone()});
}

cv::Mat DepthHistory::sameViewFrames(const cv::Size& size, const std::vector<cv::Mat>& greys,
                                     const std::vector<CameraIntrinsics>& cameras, float maxAngle) const
{
    // Per camera and reduced pixel: how many frames, counting back from this one, all
    // lie within the threshold of this one (1: only this frame).
    const std::size_t earlier = frames.size();
    std::vector<cv::Mat> same(greys.size());
    for (std::size_t k = 0; k < greys.size(); ++k) {
        same[k] = cv::Mat(greys[k].size(), CV_8U, cv::Scalar(1));
        cv::Mat alive(greys[k].size(), CV_8U, cv::Scalar(1));
        for (std::size_t back = 1; back <= earlier; ++back) {
            cv::Mat diff, agrees;
            cv::absdiff(greys[k], frames[earlier - back].greys[k], diff);
            cv::compare(diff, changeLevel(diff, greys[k], threshold), agrees, cv::CMP_LE);
            // A change reaches the neighbouring reduced pixels too.
            cv::erode(agrees, agrees, cv::Mat());
            cv::min(alive, agrees / 255, alive);
            if (cv::countNonZero(alive) == 0)
                break;
            same[k] += alive;
        }
    }
    const std::vector<int>& seenAt = sightings(size, greys, cameras, maxAngle);
    const std::size_t count = greys.size();
    const auto all = static_cast<uchar>(earlier + 1);
    cv::Mat cells(size, CV_8U, cv::Scalar(all));
    cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            uchar* out = cells.ptr<uchar>(r);
            const int* at = &seenAt[static_cast<std::size_t>(r) * static_cast<std::size_t>(size.width) * count];
            for (int c = 0; c < size.width; ++c, at += count)
                for (std::size_t k = 0; k < count && out[c] > 1; ++k)
                    if (at[k] >= 0)
                        out[c] = std::min(out[c], same[k].ptr<uchar>()[at[k]]);
        }
    });
    cv::erode(cells, cells,
              cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * kChangeMargin + 1, 2 * kChangeMargin + 1)));
    return cells;
}

const std::vector<int>& DepthHistory::sightings(const cv::Size& size, const std::vector<cv::Mat>& greys,
                                                const std::vector<CameraIntrinsics>& cameras, float maxAngle) const
{
    // Compared bit for bit: a camera's calibration either is the same or is not.
    std::vector<float> key{maxAngle, static_cast<float>(size.width), static_cast<float>(size.height),
                           static_cast<float>(greys.size())};
    for (std::size_t k = 0; k < greys.size(); ++k) {
        key.push_back(static_cast<float>(greys[k].cols));
        key.push_back(static_cast<float>(greys[k].rows));
        key.insert(key.end(), cameras[k].lensCoeffs.val, cameras[k].lensCoeffs.val + 4);
        key.insert(key.end(), cameras[k].centre.val, cameras[k].centre.val + 2);
        key.insert(key.end(), cameras[k].tmBToC.val, cameras[k].tmBToC.val + 16);
    }
    if (key.size() == sightingsKey.size() &&
        std::memcmp(key.data(), sightingsKey.data(), key.size() * sizeof(float)) == 0)
        return sightingsAt;
    const std::size_t count = greys.size();
    sightingsAt.assign(static_cast<std::size_t>(size.area()) * count, -1);
    const float cosMaxAngle = std::cos(maxAngle);
    cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            const double elevation = (0.5 - (r + 0.5) / size.height) * CV_PI;
            int* at = &sightingsAt[static_cast<std::size_t>(r) * static_cast<std::size_t>(size.width) * count];
            for (int c = 0; c < size.width; ++c, at += count) {
                const double azimuth = ((c + 0.5) / size.width - 0.5) * 2.0 * CV_PI;
                const double dirB[3] = {std::cos(azimuth) * std::cos(elevation),
                                        std::sin(azimuth) * std::cos(elevation), -std::sin(elevation)};
                for (std::size_t k = 0; k < count; ++k) {
                    const CameraIntrinsics& cam = cameras[k];
                    float u[3];
                    for (int i = 0; i < 3; ++i)
                        u[i] = static_cast<float>(cam.tmBToC(i, 0) * dirB[0] + cam.tmBToC(i, 1) * dirB[1] +
                                                  cam.tmBToC(i, 2) * dirB[2]);
                    float xy[2];
                    float* p = xy;
                    coordinateSystems::unitVecCToFisheye<false>(u, cam.lensCoeffs.val, cam.centre.val, maxAngle,
                                                                cosMaxAngle, p);
                    if (xy[0] < 0.0f || xy[1] < 0.0f)
                        continue;
                    const int x = static_cast<int>(xy[0] / reduction);
                    const int y = static_cast<int>(xy[1] / reduction);
                    if (x < greys[k].cols && y < greys[k].rows)
                        at[k] = y * greys[k].cols + x;
                }
            }
        }
    });
    sightingsKey = std::move(key);
    return sightingsAt;
}

void DepthHistory::stabilise(cv::Mat_<float>& filledDepth, const std::vector<cv::Mat>& images,
                             const std::vector<CameraIntrinsics>& cameras, float maxAngle)
{
    Frame frame{reducedGreys(images, cameras.size(), reduction), filledDepth.clone()};
    kept = 0.0;
    unchanged.release();
    held.release();
    if (fits(filledDepth.size(), frame.greys)) {
        held = sameViewFrames(filledDepth.size(), frame.greys, cameras, maxAngle);
        const int newest = static_cast<int>(frames.size());  // this frame's index once pushed
        const int window = windowFrames;
        cv::parallel_for_(cv::Range(0, filledDepth.rows), [&](const cv::Range& range) {
            for (int r = range.start; r < range.end; ++r) {
                const uchar* count = held.ptr<uchar>(r);
                float* out = filledDepth.ptr<float>(r);
                for (int c = 0; c < filledDepth.cols; ++c) {
                    const int n = count[c];
                    if (n <= 1)
                        continue;
                    // The mean over the window, where the oldest frame of the same view
                    // also stands in for the frames before it that the window would
                    // hold: each frame moves the result by at most 1 / window of its
                    // difference from the frame it replaces, also while the view's
                    // history builds up after a change.
                    const float oldest = frames[static_cast<std::size_t>(newest - (n - 1))].depth(r, c);
                    double sum = static_cast<double>(window - n + 1) * oldest + out[c];
                    for (int i = 1; i < n - 1; ++i)
                        sum += frames[static_cast<std::size_t>(newest - i)].depth(r, c);
                    out[c] = static_cast<float>(sum / window);
                }
            }
        });
        unchanged = held > 1;
        kept = static_cast<double>(cv::countNonZero(unchanged)) / static_cast<double>(unchanged.total());
    }
    push(std::move(frame));
}

} // namespace Stereo
} // namespace orb
